#include "dbm/index.h"

#include <algorithm>
#include <cstring>

#include "dbm/codes.h"
#include "util/big_endian.h"

namespace corvanta::dbm {
namespace {

FileDescriptor& owner_of(Pool& pool, FileDescriptor& f) {
  if (f.is_sub()) {
    if (FileDescriptor* m = pool.file(f.main)) return *m;
  }
  return f;
}

bool zero(const unsigned char* p, std::size_t n) {
  return std::all_of(p, p + n, [](unsigned char c) { return c == 0; });
}

}  // namespace

Index::Index(Pool& pool, FileDescriptor& file)
    : pool_(pool),
      m_(owner_of(pool, file)),
      k_(m_.index_length),
      d_(m_.entry_data_length),
      leaf_size_(k_ + d_),
      inner_size_(k_ + 4),
      part_offset_(k_ + (file.is_sub() ? file.data_offset : 0)),
      part_len_(file.is_sub() ? file.entry_data_length : d_) {}

std::size_t Index::capacity(std::size_t entry_size) const {
  return std::min<std::size_t>(kMaxEntriesPerBlock, kDataAreaSize / entry_size);
}

ResultCode Index::view(std::uint32_t b, int level, const Frame*& out) {
  if (const ResultCode rc = pool_.index_buffers.view(pool_, m_, level, b, out); rc.failed()) return rc;
  // Blocks come from disk: their counts must fit the entry size before any
  // entry is touched.
  const std::size_t es = level == 1 ? leaf_size_ : inner_size_;
  if (out->type != kTypeIndex || out->count == 0 ||
      static_cast<std::size_t>(out->count) * es > kDataAreaSize ||
      out->free != static_cast<int>(kDataAreaSize - static_cast<std::size_t>(out->count) * es)) {
    return kIndexInconsistent;
  }
  return 0;
}

ResultCode Index::get(std::uint32_t b, int level, Frame& out) {
  const Frame* frame = nullptr;
  if (const ResultCode rc = view(b, level, frame); rc.failed()) return rc;
  out = *frame;
  return 0;
}

ResultCode Index::put(Frame& f) {
  return pool_.index_buffers.put(pool_, m_, f.level, f.block, f);
}

Index::Position Index::search(const Frame& b, const unsigned char* key, std::size_t k,
                              std::size_t entry_size) {
  int lo = 0;
  int hi = static_cast<int>(b.count) - 1;
  while (lo <= hi) {
    const int mid = (lo + hi) / 2;
    const int cmp = std::memcmp(b.data() + static_cast<std::size_t>(mid) * entry_size, key, k);
    if (cmp == 0) return {mid, 0};
    if (cmp < 0)
      lo = mid + 1;
    else
      hi = mid - 1;
  }
  if (lo >= static_cast<int>(b.count)) return {lo, -1};
  return {lo, 1};
}

bool Index::part_is_zero(const unsigned char* entry) const {
  return zero(entry + part_offset_, part_len_);
}
bool Index::data_is_zero(const unsigned char* entry) const {
  return zero(entry + k_, d_);
}

ResultCode Index::create() {
  if (k_ == 0 || leaf_size_ > kDataAreaSize) return kInvalidFileParameters;
  Frame root;
  if (const ResultCode rc = pool_.index_buffers.make_new(pool_, m_, root); rc.failed()) return rc;
  root.type = kTypeIndex;
  root.level = 1;
  root.file = m_.file;
  root.count = 1;
  std::fill_n(root.data(), k_, 0xFF);
  root.free = static_cast<std::int16_t>(kDataAreaSize - leaf_size_);
  if (const ResultCode rc = put(root); rc.failed()) return rc;
  m_.start = root.block;
  m_.level = 0;
  return pool_.write_descriptor(m_);
}

ResultCode Index::drop() {
  Frame root;
  if (const ResultCode rc = get(m_.start, m_.level + 1, root); rc.failed()) return rc;
  return pool_.index_buffers.release(pool_, m_, m_.level + 1, m_.start, root);
}

// Walks from the root to the leaf of `key` (or the leftmost leaf), recording
// the path and keeping the leaf in the cursor.
ResultCode Index::descend(KeyCursor& c, const unsigned char* key, bool leftmost) {
  c.path.fill(0);
  c.leaf = 0;
  c.data = nullptr;
  if (m_.level >= kMaxIndexLevels) return kIndexInconsistent;
  std::uint32_t block = m_.start;
  for (int level = m_.level; level >= 1; --level) {
    // Inner blocks are only read on the way down: no copy.
    const Frame* f = nullptr;
    if (const ResultCode rc = view(block, level + 1, f); rc.failed()) return rc;
    c.path[static_cast<std::size_t>(level)] = block;
    int index = 0;
    if (!leftmost) {
      const Position p = search(*f, key, k_, inner_size_);
      if (p.result < 0) return kIndexInconsistent;
      index = p.index;
    } else if (f->count == 0) {
      return kIndexInconsistent;
    }
    block = get_u32(f->data() + static_cast<std::size_t>(index) * inner_size_ + k_);
  }
  if (const ResultCode rc = get(block, 1, c.block); rc.failed()) return rc;
  c.path[0] = block;
  c.leaf = block;
  return 0;
}

ResultCode Index::find(KeyCursor& c, const unsigned char* key) {
  c.key.assign(key, key + k_);
  if (const ResultCode rc = descend(c, c.key.data(), false); rc.failed()) return rc;
  const Position p = search(c.block, c.key.data(), k_, leaf_size_);
  if (p.result < 0) return kIndexInconsistent;
  const unsigned char* entry = c.block.data() + static_cast<std::size_t>(p.index) * leaf_size_;
  if (p.result == 1) {
    c.offset = static_cast<std::uint16_t>(static_cast<std::size_t>(p.index) * leaf_size_);
    return kAbsent;
  }
  c.data = entry + part_offset_;
  c.offset = static_cast<std::uint16_t>(static_cast<std::size_t>(p.index + 1) * leaf_size_);
  return part_is_zero(entry) ? kAbsent : 0;
}

ResultCode Index::scan_forward(KeyCursor& c, std::uint32_t leaf, std::size_t offset) {
  std::uint32_t block = leaf;
  for (int guard = 0;; ++guard) {
    if (const ResultCode rc = get(block, 1, c.block); rc.failed()) return rc;
    const std::size_t end = static_cast<std::size_t>(c.block.count) * leaf_size_;
    for (std::size_t at = offset; at + leaf_size_ <= end; at += leaf_size_) {
      const unsigned char* entry = c.block.data() + at;
      if (part_is_zero(entry)) continue;
      c.key.assign(entry, entry + k_);
      c.data = entry + part_offset_;
      c.leaf = block;
      c.path[0] = block;
      c.offset = static_cast<std::uint16_t>(at + leaf_size_);
      return 0;
    }
    if (c.block.next == 0) {
      // The end: the gap stays behind the last entry, so that previous can
      // step back from here.
      c.leaf = block;
      c.path[0] = block;
      c.offset = static_cast<std::uint16_t>(end);
      c.data = nullptr;
      return kEnd;
    }
    block = c.block.next;
    offset = 0;
    if (guard > static_cast<int>(pool_.header.last)) return kIndexInconsistent;  // a looping level
  }
}

ResultCode Index::next(KeyCursor& c) {
  if (c.leaf == 0) return kEnd;
  const std::uint32_t leaf = c.leaf;
  return scan_forward(c, leaf, c.offset);
}

ResultCode Index::first(KeyCursor& c) {
  if (const ResultCode rc = descend(c, nullptr, true); rc.failed()) return rc;
  if (c.key.size() != k_) c.key.assign(k_, 0);
  const ResultCode rc = scan_forward(c, c.leaf, 0);
  return rc.code() == kEnd ? ResultCode(kAbsent) : rc;
}

// The block left of `block` on its level (`level` 0 for leaves), or 0 when
// it is the leftmost. Uses and updates the path above it.
ResultCode Index::left_neighbour(KeyCursor& c, int level, std::uint32_t block, std::uint32_t& out) {
  out = 0;
  if (level >= m_.level) return 0;  // the root has no neighbours
  const std::size_t up = static_cast<std::size_t>(level) + 1;
  Frame parent;
  if (const ResultCode rc = get(c.path[up], level + 2, parent); rc.failed()) return rc;
  int index = -1;
  for (int i = 0; i < parent.count; ++i) {
    if (get_u32(parent.data() + static_cast<std::size_t>(i) * inner_size_ + k_) == block) {
      index = i;
      break;
    }
  }
  if (index < 0) return kIndexInconsistent;
  if (index > 0) {
    out = get_u32(parent.data() + static_cast<std::size_t>(index - 1) * inner_size_ + k_);
    return 0;
  }
  std::uint32_t parent_left = 0;
  if (const ResultCode rc = left_neighbour(c, level + 1, c.path[up], parent_left); rc.failed()) return rc;
  if (parent_left == 0) return 0;
  Frame left;
  if (const ResultCode rc = get(parent_left, level + 2, left); rc.failed()) return rc;
  if (left.count == 0) return kIndexInconsistent;
  c.path[up] = parent_left;
  out = get_u32(left.data() + static_cast<std::size_t>(left.count - 1) * inner_size_ + k_);
  return 0;
}

ResultCode Index::previous(KeyCursor& c) {
  if (c.leaf == 0) return kEnd;
  if (const ResultCode rc = get(c.leaf, 1, c.block); rc.failed()) return rc;
  std::size_t offset = c.offset;
  for (int guard = 0;; ++guard) {
    for (std::size_t at = offset; at >= leaf_size_;) {
      at -= leaf_size_;
      const unsigned char* entry = c.block.data() + at;
      if (part_is_zero(entry)) continue;
      c.key.assign(entry, entry + k_);
      c.data = entry + part_offset_;
      c.offset = static_cast<std::uint16_t>(at);
      return 0;
    }
    // Move to the left neighbour. The path may be stale after forward
    // steps, so it is rebuilt by a search for this leaf's first key.
    const std::vector<unsigned char> first_key(c.block.data(), c.block.data() + k_);
    const std::uint32_t current = c.block.block;
    if (const ResultCode rc = descend(c, first_key.data(), false); rc.failed()) return rc;
    if (c.leaf != current) return kIndexInconsistent;
    std::uint32_t left = 0;
    if (const ResultCode rc = left_neighbour(c, 0, current, left); rc.failed()) return rc;
    if (left == 0 || guard > static_cast<int>(pool_.header.last)) {
      if (const ResultCode rc = get(current, 1, c.block); rc.failed()) return rc;
      c.leaf = current;
      c.offset = 0;
      c.data = nullptr;
      return kEnd;
    }
    if (const ResultCode rc = get(left, 1, c.block); rc.failed()) return rc;
    c.leaf = left;
    c.path[0] = left;
    offset = static_cast<std::size_t>(c.block.count) * leaf_size_;
  }
}

ResultCode Index::insert(KeyCursor& c, const unsigned char* key, const unsigned char* data, char mode) {
  c.key.assign(key, key + k_);
  if (const ResultCode rc = descend(c, c.key.data(), false); rc.failed()) return rc;
  Frame& leaf = c.block;
  const Position p = search(leaf, c.key.data(), k_, leaf_size_);
  if (p.result < 0) return kIndexInconsistent;
  const std::size_t at = static_cast<std::size_t>(p.index) * leaf_size_;
  // 2. The key is there: fill F's part when it is empty for F.
  if (p.result == 0) {
    unsigned char* entry = leaf.data() + at;
    if (!part_is_zero(entry)) return kIndexInconsistent;
    std::memcpy(entry + part_offset_, data, part_len_);
    return put(leaf);
  }
  // 3. Record files remember their highest IDN.
  if (m_.is_record()) {
    const std::uint32_t idn = get_u32(c.key.data());
    if (idn > m_.last) {
      m_.last = idn;
      if (const ResultCode rc = pool_.descriptor_changed(m_); rc.failed()) return rc;
    }
  }
  std::vector<unsigned char> entry(leaf_size_, 0);
  std::memcpy(entry.data(), c.key.data(), k_);
  std::memcpy(entry.data() + part_offset_, data, part_len_);
  const std::size_t used = static_cast<std::size_t>(leaf.count) * leaf_size_;
  // 4. Room in the leaf.
  if (leaf.free >= static_cast<int>(leaf_size_) && leaf.count < kMaxEntriesPerBlock) {
    std::memmove(leaf.data() + at + leaf_size_, leaf.data() + at, used - at);
    std::memcpy(leaf.data() + at, entry.data(), leaf_size_);
    ++leaf.count;
    leaf.free = static_cast<std::int16_t>(leaf.free - static_cast<int>(leaf_size_));
    return put(leaf);
  }
  // 5. A full leaf whose high entry is a shell gives that place up.
  unsigned char* high = leaf.data() + used - leaf_size_;
  if (leaf.next != 0 && data_is_zero(high)) {
    const std::vector<unsigned char> old_high(high, high + k_);
    std::memmove(leaf.data() + at + leaf_size_, leaf.data() + at, used - leaf_size_ - at);
    std::memcpy(leaf.data() + at, entry.data(), leaf_size_);
    if (const ResultCode rc = put(leaf); rc.failed()) return rc;
    const std::vector<unsigned char> new_high(high, high + k_);
    return replace_separator(c, old_high, new_high);
  }
  // 6. Split. A layout whose leaves cannot hold two entries (CREATE refuses
  // it, but the descriptor comes from disk) cannot split.
  if (2 * leaf_size_ > kDataAreaSize) return kInvalidFileParameters;
  return split(c, leaf, 1, std::move(entry), p.index, mode);
}

// Carries a changed high key of a leaf up the path.
ResultCode Index::replace_separator(KeyCursor& c, const std::vector<unsigned char>& old_key,
                                    const std::vector<unsigned char>& new_key) {
  for (int level = 1; level <= m_.level; ++level) {
    Frame parent;
    if (const ResultCode rc = get(c.path[static_cast<std::size_t>(level)], level + 1, parent); rc.failed()) {
      return rc;
    }
    const Position p = search(parent, old_key.data(), k_, inner_size_);
    if (p.result != 0) return kIndexInconsistent;
    std::memcpy(parent.data() + static_cast<std::size_t>(p.index) * inner_size_, new_key.data(), k_);
    if (const ResultCode rc = put(parent); rc.failed()) return rc;
    if (parent.next == 0 || p.index != parent.count - 1) break;
  }
  return 0;
}

ResultCode Index::split(KeyCursor& c, Frame b, int level, std::vector<unsigned char> entry, int position,
                        char mode) {
  for (;;) {
    const bool root = level > m_.level;
    if (root && level + 1 > kMaxIndexLevels) return kTooManyLevels;
    const std::size_t es = level == 1 ? leaf_size_ : inner_size_;
    // 1. The new right neighbour.
    Frame n;
    if (const ResultCode rc = pool_.index_buffers.make_new(pool_, m_, n); rc.failed()) return rc;
    n.file = m_.file;
    n.type = kTypeIndex;
    n.level = static_cast<std::uint8_t>(level);
    n.next = b.next;
    b.next = n.block;
    // 2.-3. Share the entries.
    const int count = b.count;
    int h = mode == 'L' ? count - 1 : count / 2;
    if (mode != 'L' && count % 2 == 1 && position >= h) ++h;
    const std::size_t moved = static_cast<std::size_t>(count - h) * es;
    std::memcpy(n.data(), b.data() + static_cast<std::size_t>(h) * es, moved);
    std::fill_n(b.data() + static_cast<std::size_t>(h) * es, moved, 0);
    n.count = static_cast<std::uint16_t>(count - h);
    b.count = static_cast<std::uint16_t>(h);
    // 4. The pending entry.
    Frame& target = position >= h ? n : b;
    const int at = position >= h ? position - h : position;
    const std::size_t used = static_cast<std::size_t>(target.count) * es;
    std::memmove(target.data() + static_cast<std::size_t>(at) * es + es,
                 target.data() + static_cast<std::size_t>(at) * es, used - static_cast<std::size_t>(at) * es);
    std::memcpy(target.data() + static_cast<std::size_t>(at) * es, entry.data(), es);
    ++target.count;
    b.free = static_cast<std::int16_t>(kDataAreaSize - static_cast<std::size_t>(b.count) * es);
    n.free = static_cast<std::int16_t>(kDataAreaSize - static_cast<std::size_t>(n.count) * es);
    // 5. A: N's high entry (B's former high key); S: B's new high key.
    const std::vector<unsigned char> a_key(n.data() + static_cast<std::size_t>(n.count - 1) * es,
                                           n.data() + static_cast<std::size_t>(n.count - 1) * es + k_);
    std::vector<unsigned char> s(inner_size_, 0);
    std::memcpy(s.data(), b.data() + static_cast<std::size_t>(b.count - 1) * es, k_);
    put_u32(s.data() + k_, b.block);
    if (const ResultCode rc = put(n); rc.failed()) return rc;
    if (const ResultCode rc = put(b); rc.failed()) return rc;
    if (level == 1 && c.leaf == b.block) c.block = b;
    // 6. A new root above the old one.
    if (root) return new_root(b, n, level);
    // 7. The parent now points to N where it pointed to B, and gets S.
    Frame parent;
    if (const ResultCode rc = get(c.path[static_cast<std::size_t>(level)], level + 1, parent); rc.failed()) {
      return rc;
    }
    const Position q = search(parent, a_key.data(), k_, inner_size_);
    if (q.result != 0) return kIndexInconsistent;
    put_u32(parent.data() + static_cast<std::size_t>(q.index) * inner_size_ + k_, n.block);
    if (parent.free >= static_cast<int>(inner_size_) && parent.count < kMaxEntriesPerBlock) {
      const std::size_t qat = static_cast<std::size_t>(q.index) * inner_size_;
      const std::size_t pused = static_cast<std::size_t>(parent.count) * inner_size_;
      std::memmove(parent.data() + qat + inner_size_, parent.data() + qat, pused - qat);
      std::memcpy(parent.data() + qat, s.data(), inner_size_);
      ++parent.count;
      parent.free = static_cast<std::int16_t>(parent.free - static_cast<int>(inner_size_));
      return put(parent);
    }
    // 8. The parent is full: split it in turn.
    b = parent;
    entry = std::move(s);
    position = q.index;
    ++level;
  }
}

ResultCode Index::new_root(const Frame& left, const Frame& right, int level) {
  Frame r;
  if (const ResultCode rc = pool_.index_buffers.make_new(pool_, m_, r); rc.failed()) return rc;
  r.type = kTypeIndex;
  r.file = m_.file;
  r.level = static_cast<std::uint8_t>(level + 1);
  r.count = 2;
  const std::size_t les = level == 1 ? leaf_size_ : inner_size_;
  std::memcpy(r.data(), left.data() + static_cast<std::size_t>(left.count - 1) * les, k_);
  put_u32(r.data() + k_, left.block);
  std::memcpy(r.data() + inner_size_, right.data() + static_cast<std::size_t>(right.count - 1) * les, k_);
  put_u32(r.data() + inner_size_ + k_, right.block);
  r.free = static_cast<std::int16_t>(kDataAreaSize - 2 * inner_size_);
  if (const ResultCode rc = put(r); rc.failed()) return rc;
  m_.start = r.block;
  m_.level = static_cast<std::uint16_t>(level);
  return pool_.descriptor_changed(m_);
}

ResultCode Index::remove(KeyCursor& c) {
  if (c.key.size() != k_) return kMissingArgument;
  if (const ResultCode rc = descend(c, c.key.data(), false); rc.failed()) return rc;
  Frame& leaf = c.block;
  const Position p = search(leaf, c.key.data(), k_, leaf_size_);
  if (p.result < 0) return kIndexInconsistent;
  const std::size_t at = static_cast<std::size_t>(p.index) * leaf_size_;
  unsigned char* entry = leaf.data() + at;
  if (p.result != 0 || part_is_zero(entry)) return kAbsent;
  std::fill_n(entry + part_offset_, part_len_, 0);
  if (m_.is_main() && !data_is_zero(entry)) return put(leaf);  // other subfiles still use it
  if (p.index != leaf.count - 1) {
    const std::size_t used = static_cast<std::size_t>(leaf.count) * leaf_size_;
    std::memmove(entry, entry + leaf_size_, used - at - leaf_size_);
    std::fill_n(leaf.data() + used - leaf_size_, leaf_size_, 0);
    --leaf.count;
    leaf.free = static_cast<std::int16_t>(leaf.free + static_cast<int>(leaf_size_));
    c.offset = static_cast<std::uint16_t>(at);
  } else {
    std::fill_n(entry + k_, d_, 0);  // the high entry stays as a shell
    c.offset = static_cast<std::uint16_t>(at + leaf_size_);
  }
  c.data = nullptr;
  return put(leaf);
}

ResultCode Index::update(KeyCursor& c, const unsigned char* data) {
  if (c.key.size() != k_) return kMissingArgument;
  if (const ResultCode rc = descend(c, c.key.data(), false); rc.failed()) return rc;
  Frame& leaf = c.block;
  const Position p = search(leaf, c.key.data(), k_, leaf_size_);
  if (p.result < 0) return kIndexInconsistent;
  unsigned char* entry = leaf.data() + static_cast<std::size_t>(p.index) * leaf_size_;
  if (p.result != 0 || part_is_zero(entry)) return kAbsent;
  std::memcpy(entry + part_offset_, data, part_len_);
  c.data = entry + part_offset_;
  return put(leaf);
}

ResultCode recount_idns(Pool& pool) {
  for (int n = 1; n <= kMaxFileNumber; ++n) {
    FileDescriptor* fd = pool.file(n);
    if (fd == nullptr || fd->is_sub() || !fd->is_record() || fd->index_length < 4) continue;
    Index index(pool, *fd);
    KeyCursor c;
    std::uint32_t last = 0;
    ResultCode rc = index.first(c);
    while (rc.code() == 0) {
      last = get_u32(c.key.data());
      rc = index.next(c);
    }
    if (rc.failed()) return rc;
    fd->last = last;
  }
  return 0;
}

}  // namespace corvanta::dbm
