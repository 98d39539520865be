#include "dbm/values.h"

#include <algorithm>
#include <cstring>

#include "dbm/codes.h"
#include "util/big_endian.h"

namespace corvanta::dbm {
namespace {

constexpr std::size_t kLengthField = 2;
constexpr std::size_t kItemOverhead = kLengthField + kPointerSize;  // 7

std::size_t used_bytes(const Frame& f) {
  return kDataAreaSize - static_cast<std::size_t>(std::max<int>(f.free, 0));
}

// A bound on the pieces of one chain, so that a damaged chain cannot loop.
std::uint64_t max_steps(const Pool& pool) {
  return (std::uint64_t{pool.header.last} + 1) * 255;
}

}  // namespace

RecordPointer RecordPointer::decode(const unsigned char* p) {
  return {get_u32(p), p[4]};
}

void RecordPointer::encode(unsigned char* p) const {
  put_u32(p, block);
  p[4] = slot;
}

Values::Values(Pool& pool, FileDescriptor& file)
    : pool_(pool),
      f_(file),
      e_(file.entry_data_length),
      c_(file.entry_data_length >= kPointerSize ? file.entry_data_length - kPointerSize : 0),
      p_(file.is_list() && file.item_length > 0 ? kMaxPiece / file.item_length * file.item_length
                                                : kMaxPiece) {}

// ---------------------------------------------------------------------------
// Blocks and items.

ResultCode Values::get_block(std::uint32_t b, Frame& out) {
  return pool_.data_buffers.get(pool_, f_, 0, b, out);
}
ResultCode Values::put_block(Frame& f) {
  return pool_.data_buffers.put(pool_, f_, 0, f.block, f);
}
ResultCode Values::new_block(Frame& out) {
  return pool_.data_buffers.make_new(pool_, f_, out);
}
ResultCode Values::free_block(Frame& f) {
  return pool_.data_buffers.release(pool_, f_, 0, f.block, f);
}

std::size_t Values::item_length(const Frame& f, std::size_t offset) {
  return get_u16(f.data() + offset);
}

ResultCode Values::locate(const Frame& f, int slot, std::size_t& offset) {
  if (slot < 1 || slot > f.count) return kBadRecordPointer;
  const std::size_t used = used_bytes(f);
  std::size_t at = 0;
  for (int s = 1; s < slot; ++s) {
    if (at + kLengthField > used) return kBadRecordPointer;
    at += kLengthField + item_length(f, at);
  }
  if (at + kLengthField > used) return kBadRecordPointer;
  const std::size_t length = item_length(f, at);
  if (length < kPointerSize || at + kLengthField + length > used) return kBadRecordPointer;
  offset = at;
  return 0;
}

ResultCode Values::append_item(Frame& f, std::span<const unsigned char> payload, RecordPointer next,
                               int& slot) {
  const std::size_t need = payload.size() + kItemOverhead;
  if (f.free < static_cast<int>(need) || f.count >= 255) return kNegativeFree;
  unsigned char* at = f.data() + used_bytes(f);
  put_u16(at, static_cast<std::uint16_t>(payload.size() + kPointerSize));
  if (!payload.empty()) std::memcpy(at + kLengthField, payload.data(), payload.size());
  next.encode(at + kLengthField + payload.size());
  ++f.count;
  f.free = static_cast<std::int16_t>(f.free - static_cast<int>(need));
  slot = f.count;
  return 0;
}

void Values::remove_item(Frame& f, std::size_t offset) {
  const std::size_t length = item_length(f, offset);
  const std::size_t used = used_bytes(f);
  const std::size_t end = offset + kLengthField + length;
  put_u16(f.data() + offset, 0);
  f.free = static_cast<std::int16_t>(f.free + static_cast<int>(length + kLengthField));
  if (end < used) {
    // Later items keep their slot numbers: the emptied slot stays as a zero
    // length of 2 bytes, and the items move down behind it.
    f.free = static_cast<std::int16_t>(f.free - static_cast<int>(kLengthField));
    std::memmove(f.data() + offset + kLengthField, f.data() + end, used - end);
    std::fill(f.data() + used - length, f.data() + used, 0);
  } else {
    --f.count;
    std::fill(f.data() + offset, f.data() + end, 0);
  }
}

ResultCode Values::place_piece(std::span<const unsigned char> payload, RecordPointer next, bool use_fill,
                               RecordPointer& where) {
  const std::size_t need = payload.size() + kItemOverhead;
  Frame f;
  if (use_fill && f_.fill_block != 0) {
    const std::uint32_t fill = f_.fill_block;
    const ResultCode rc = get_block(fill, f);
    if (rc.failed() && rc.code() != kWrongBlock) return rc;
    if (rc.ok() && f.free >= static_cast<int>(need) && f.count < 255) {
      int slot = 0;
      if (const ResultCode a = append_item(f, payload, next, slot); a.failed()) return a;
      if (const ResultCode p = put_block(f); p.failed()) return p;
      where = {f.block, static_cast<std::uint8_t>(slot)};
      return 0;
    }
  }
  if (const ResultCode rc = new_block(f); rc.failed()) return rc;
  int slot = 0;
  if (const ResultCode rc = append_item(f, payload, next, slot); rc.failed()) return rc;
  if (const ResultCode rc = put_block(f); rc.failed()) return rc;
  where = {f.block, static_cast<std::uint8_t>(slot)};
  return 0;
}

// ---------------------------------------------------------------------------
// Chains.

ResultCode Values::write_chain(std::span<const unsigned char> bytes, RecordPointer& first) {
  first = {};
  const std::size_t n = bytes.size();
  const std::size_t k = n / p_;
  const std::size_t r = n % p_;
  RecordPointer next{};
  for (std::size_t i = k; i-- > 0;) {
    if (const ResultCode rc = place_piece(bytes.subspan(r + i * p_, p_), next, false, next); rc.failed())
      return rc;
  }
  if (r > 0) {
    const bool fill = r + kItemOverhead <= f_.fill_free;
    if (const ResultCode rc = place_piece(bytes.subspan(0, r), next, fill, next); rc.failed()) return rc;
  }
  first = next;
  return 0;
}

ResultCode Values::read_chain(RecordPointer ptr, std::span<unsigned char> out, std::size_t& length,
                              std::size_t skip, Continuation* cont) {
  const std::size_t item = list() ? std::max<std::size_t>(f_.item_length, 1) : 1;
  for (std::uint64_t steps = 0; !ptr.empty(); ++steps) {
    if (steps > max_steps(pool_)) return kBadRecordPointer;
    Frame f;
    if (const ResultCode rc = get_block(ptr.block, f); rc.failed()) return rc;
    std::size_t at = 0;
    if (const ResultCode rc = locate(f, ptr.slot, at); rc.failed()) return rc;
    const std::size_t payload = item_length(f, at) - kPointerSize;
    if (skip > payload) return kBadRecordPointer;
    const std::size_t segment = payload - skip;
    const unsigned char* from = f.data() + at + kLengthField + skip;
    if (length + segment > out.size()) {
      std::size_t fits = (out.size() - length) / item * item;
      std::memcpy(out.data() + length, from, fits);
      length += fits;
      if (cont != nullptr && list()) *cont = {ptr, static_cast<std::uint16_t>(skip + fits)};
      return kTruncated;
    }
    if (segment > 0) std::memcpy(out.data() + length, from, segment);
    length += segment;
    skip = 0;
    ptr = RecordPointer::decode(f.data() + at + kLengthField + payload);
  }
  if (cont != nullptr) *cont = {};
  return 0;
}

ResultCode Values::read_value(const unsigned char* part, std::span<unsigned char> out, std::size_t& length,
                              Continuation* cont) {
  length = 0;
  if (cont != nullptr) *cont = {};
  if (list() && f_.item_length > 0) out = out.first(out.size() / f_.item_length * f_.item_length);
  std::size_t inline_bytes = e_;
  RecordPointer chain{};
  if (variable()) {
    const unsigned char* tail = part + c_;
    chain = RecordPointer::decode(tail);
    if (chain.empty()) {
      inline_bytes = std::min<std::size_t>(get_u32(tail), c_);
    } else {
      inline_bytes = list() ? 0 : c_;
    }
  }
  if (inline_bytes > out.size()) {
    std::memcpy(out.data(), part, out.size());
    length = out.size();
    return kTruncated;
  }
  std::memcpy(out.data(), part, inline_bytes);
  length = inline_bytes;
  return read_chain(chain, out, length, 0, cont);
}

ResultCode Values::read_on(Continuation& cont, std::span<unsigned char> out, std::size_t& length) {
  length = 0;
  if (list() && f_.item_length > 0) out = out.first(out.size() / f_.item_length * f_.item_length);
  const RecordPointer start = cont.piece;
  const std::size_t skip = cont.offset;
  return read_chain(start, out, length, skip, &cont);
}

ResultCode Values::value_length(const unsigned char* part, std::size_t bound, std::size_t& length) {
  length = e_;
  RecordPointer ptr{};
  if (variable()) {
    const unsigned char* tail = part + c_;
    ptr = RecordPointer::decode(tail);
    length = ptr.empty() ? std::min<std::size_t>(get_u32(tail), c_) : (list() ? 0 : c_);
  }
  for (std::uint64_t steps = 0; !ptr.empty(); ++steps) {
    if (bound > 0 && length / 4 > bound) break;
    if (steps > max_steps(pool_)) return kBadRecordPointer;
    Frame f;
    if (const ResultCode rc = get_block(ptr.block, f); rc.failed()) return rc;
    std::size_t at = 0;
    if (const ResultCode rc = locate(f, ptr.slot, at); rc.failed()) return rc;
    const std::size_t payload = item_length(f, at) - kPointerSize;
    length += payload;
    ptr = RecordPointer::decode(f.data() + at + kLengthField + payload);
  }
  return 0;
}

ResultCode Values::rewrite_chain(RecordPointer cur, std::span<const unsigned char> bytes) {
  std::size_t pos = 0;
  for (std::uint64_t steps = 0;; ++steps) {
    if (steps > max_steps(pool_)) return kBadRecordPointer;
    Frame f;
    if (const ResultCode rc = get_block(cur.block, f); rc.failed()) return rc;
    std::size_t at = 0;
    if (const ResultCode rc = locate(f, cur.slot, at); rc.failed()) return rc;
    const std::size_t o = item_length(f, at) - kPointerSize;
    const std::size_t m = bytes.size() - pos;
    std::size_t size = o;  // the piece's new payload length
    if (m < o) {
      size = m;
    } else if (m > o) {
      size = o + std::min<std::size_t>(m - o, static_cast<std::size_t>(std::max<int>(f.free, 0)));
    }
    if (size != o) {
      // Resize the item: the next pointer and the items behind it move.
      const std::size_t used = used_bytes(f);
      const std::size_t tail_from = at + kLengthField + o;
      std::memmove(f.data() + at + kLengthField + size, f.data() + tail_from, used - tail_from);
      put_u16(f.data() + at, static_cast<std::uint16_t>(size + kPointerSize));
      f.free = static_cast<std::int16_t>(f.free + static_cast<int>(o) - static_cast<int>(size));
    }
    std::memcpy(f.data() + at + kLengthField, bytes.data() + pos, std::min(size, m));
    if (f.block == f_.fill_block) f_.fill_free = 0;
    pos += std::min(size, m);
    unsigned char* next_field = f.data() + at + kLengthField + size;
    const RecordPointer old_next = RecordPointer::decode(next_field);
    if (pos == bytes.size()) {
      RecordPointer{}.encode(next_field);
      if (const ResultCode rc = put_block(f); rc.failed()) return rc;
      return old_next.empty() ? ResultCode(0) : free_chain(old_next);
    }
    if (old_next.empty()) {
      if (const ResultCode rc = put_block(f); rc.failed()) return rc;
      RecordPointer rest{};
      if (const ResultCode rc = write_chain(bytes.subspan(pos), rest); rc.failed()) return rc;
      // The block may have changed while the rest was written (fill block).
      Frame again;
      if (const ResultCode rc = get_block(cur.block, again); rc.failed()) return rc;
      std::size_t at2 = 0;
      if (const ResultCode rc = locate(again, cur.slot, at2); rc.failed()) return rc;
      rest.encode(again.data() + at2 + kLengthField + (item_length(again, at2) - kPointerSize));
      return put_block(again);
    }
    if (const ResultCode rc = put_block(f); rc.failed()) return rc;
    cur = old_next;
  }
}

ResultCode Values::free_chain(RecordPointer ptr, bool whole_list) {
  for (std::uint64_t steps = 0; !ptr.empty(); ++steps) {
    if (steps > max_steps(pool_)) return kBadRecordPointer;
    Frame f;
    if (const ResultCode rc = get_block(ptr.block, f); rc.failed()) return rc;
    std::size_t at = 0;
    if (const ResultCode rc = locate(f, ptr.slot, at); rc.failed()) return rc;
    const std::size_t length = item_length(f, at);
    const RecordPointer next = RecordPointer::decode(f.data() + at + kLengthField + length - kPointerSize);
    const std::size_t others = used_bytes(f) - (length + kLengthField) - kLengthField * (f.count - 1u);
    if (others == 0) {
      if (const ResultCode rc = free_block(f); rc.failed()) return rc;
    } else {
      remove_item(f, at);
      if (const ResultCode rc = put_block(f); rc.failed()) return rc;
    }
    if (list() && !whole_list) break;
    ptr = next;
  }
  return 0;
}

// ---------------------------------------------------------------------------
// Record rules.

ResultCode Values::build_part(std::span<const unsigned char> value, std::vector<unsigned char>& part,
                              RecordPointer reuse, bool& reused) {
  reused = false;
  part.assign(e_, 0);
  if (!variable()) {
    if (value.size() > e_) return kValueTooLong;
    std::memcpy(part.data(), value.data(), value.size());
    return 0;
  }
  const std::size_t inline_bytes = std::min(value.size(), c_);
  if (inline_bytes > 0) std::memcpy(part.data(), value.data(), inline_bytes);
  if (value.size() <= c_) {
    put_u32(part.data() + c_, static_cast<std::uint32_t>(value.size()));
    return 0;
  }
  const auto rest = value.subspan(c_);
  if (!reuse.empty()) {
    if (const ResultCode rc = rewrite_chain(reuse, rest); rc.failed()) return rc;
    reused = true;
    reuse.encode(part.data() + c_);
    return 0;
  }
  RecordPointer first{};
  if (const ResultCode rc = write_chain(rest, first); rc.failed()) return rc;
  first.encode(part.data() + c_);
  return 0;
}

ResultCode Values::store_new(Index& index, KeyCursor& c, char mode, std::span<const unsigned char> value) {
  if (value.empty()) return 0;
  std::vector<unsigned char> part;
  bool reused = false;
  if (const ResultCode rc = build_part(value, part, {}, reused); rc.failed()) return rc;
  const std::vector<unsigned char> key = c.key;
  return index.insert(c, key.data(), part.data(), mode == 'L' ? 'L' : ' ');
}

ResultCode Values::store_existing(Index& index, KeyCursor& c, char mode, std::span<const unsigned char> value,
                                  bool journalled) {
  const std::vector<unsigned char> stored(c.data, c.data + e_);
  // 1. The present value.
  std::vector<unsigned char> present(std::max<std::size_t>(f_.data_length, e_));
  std::size_t length = 0;
  const ResultCode read = read_value(stored.data(), present, length, nullptr);
  if (read.failed()) return read;
  if (read.code() == kTruncated) return kOutOfMemory;
  present.resize(length);
  // 2. INSERT over a value in a journalled pool.
  if (mode == 'W' && journalled) return kRecordExists;
  // 3. Nothing changes.
  std::vector<unsigned char> wanted(value.begin(), value.end());
  if (!variable() && !value.empty() && wanted.size() <= e_) wanted.resize(e_, 0);
  if (wanted == present) return 0;
  // 4.-5. The old chain; an empty value removes the key for the file.
  const RecordPointer old = variable() ? RecordPointer::decode(stored.data() + c_) : RecordPointer{};
  if (value.empty()) {
    if (const ResultCode rc = index.remove(c); rc.failed()) return rc;
    return old.empty() ? ResultCode(0) : free_chain(old);
  }
  // 6. The new entry part, reusing the old chain.
  std::vector<unsigned char> part;
  bool reused = false;
  if (const ResultCode rc = build_part(value, part, old, reused); rc.failed()) return rc;
  if (part != stored) {
    if (const ResultCode rc = index.update(c, part.data()); rc.failed()) return rc;
  }
  if (!old.empty() && !reused) return free_chain(old);
  return 0;
}

ResultCode next_idn(FileDescriptor& m, std::uint32_t& idn) {
  if (m.last > kMaxIdn - 1) return kCannotExtend;
  idn = ++m.last;
  return 0;
}

void give_back_idn(FileDescriptor& m) {
  if (m.last >= 1) --m.last;
}

}  // namespace corvanta::dbm
