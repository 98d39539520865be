#include "dbm/lists.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "dbm/codes.h"
#include "util/big_endian.h"

namespace corvanta::dbm {
namespace {

constexpr int kMaxCounter = 254;
constexpr std::size_t kSmallPiece = 1010;
constexpr std::size_t kLengthField = 2;

// The counter byte of an item passed in stands for that many further
// occurrences of its value: a new item starts with it (at most 254), an
// item present counts it and the occurrence itself on, up to 254.
unsigned char first_counter(const unsigned char* item) {
  return static_cast<unsigned char>(std::min<int>(item[0], kMaxCounter));
}
unsigned char counted_on(unsigned char counter, const unsigned char* item) {
  return static_cast<unsigned char>(std::min<int>(counter + item[0] + 1, kMaxCounter));
}

struct Search {
  int result;            // 0 found, 1 first smaller at `position`, -1 smaller than all
  std::size_t position;  // item index
};

// Binary search over a run of n items in descending value order.
Search search_run(const unsigned char* run, std::size_t n, std::size_t item, const unsigned char* value) {
  std::size_t lo = 0;
  std::size_t hi = n;
  while (lo < hi) {
    const std::size_t mid = (lo + hi) / 2;
    const int cmp = std::memcmp(run + mid * item + 1, value + 1, item - 1);
    if (cmp == 0) return {0, mid};
    if (cmp > 0)
      lo = mid + 1;  // the item is greater: the value lies further on
    else
      hi = mid;
  }
  if (lo >= n) return {-1, n};
  return {1, lo};
}

// A piece of a chained list, loaded with its block.
struct Piece {
  RecordPointer ptr;
  Frame frame;
  std::size_t at = 0;      // offset of the item's length field
  std::size_t length = 0;  // payload bytes
  RecordPointer next;

  unsigned char* payload() { return frame.data() + at + kLengthField; }
};

ResultCode load(Values& v, RecordPointer ptr, Piece& p) {
  p.ptr = ptr;
  if (const ResultCode rc = v.get_block(ptr.block, p.frame); rc.failed()) return rc;
  if (const ResultCode rc = Values::locate(p.frame, ptr.slot, p.at); rc.failed()) return rc;
  p.length = Values::item_length(p.frame, p.at) - kPointerSize;
  p.next = RecordPointer::decode(p.payload() + p.length);
  return 0;
}

std::size_t used_bytes(const Frame& f) {
  return kDataAreaSize - static_cast<std::size_t>(std::max<int>(f.free, 0));
}

// Grows (delta > 0) or shrinks the piece's payload at byte `from` of it,
// moving the rest of the block.
void resize_piece(Piece& p, std::size_t from, long delta) {
  const std::size_t used = used_bytes(p.frame);
  unsigned char* start = p.payload() + from;
  const std::size_t rest = used - static_cast<std::size_t>(start - p.frame.data());
  if (delta > 0) {
    std::memmove(start + delta, start, rest);
  } else {
    std::memmove(start, start - delta, rest + static_cast<std::size_t>(delta));
    std::memset(p.frame.data() + used + delta, 0, static_cast<std::size_t>(-delta));
  }
  p.length = static_cast<std::size_t>(static_cast<long>(p.length) + delta);
  put_u16(p.frame.data() + p.at, static_cast<std::uint16_t>(p.length + kPointerSize));
  p.frame.free = static_cast<std::int16_t>(p.frame.free - delta);
}

// Sets the pointer that leads to a piece: the predecessor's next pointer, or
// the tail of the entry part (then the entry is updated).
ResultCode link_to(Values& v, Index& index, KeyCursor& c, std::vector<unsigned char>& part,
                   const RecordPointer& pred, RecordPointer target) {
  if (pred.empty()) {
    target.encode(part.data() + v.inline_capacity());
    return index.update(c, part.data());
  }
  Piece p;
  if (const ResultCode rc = load(v, pred, p); rc.failed()) return rc;
  target.encode(p.payload() + p.length);
  return v.put_block(p.frame);
}

ResultCode place(Values& v, std::span<const unsigned char> payload, RecordPointer next, bool single,
                 RecordPointer& where) {
  const std::size_t need = payload.size() + kLengthField + kPointerSize;
  const bool fill = single && need < kSmallPiece && v.file().fill_free > need;
  return v.place_piece(payload, next, fill, where);
}

ResultCode existing_inline(Values& v, Index& index, KeyCursor& c, char mode, const unsigned char* item,
                           std::vector<unsigned char>& part) {
  const std::size_t il = v.file().item_length;
  const std::size_t e = v.part_length();
  const bool variable = v.variable();
  const std::size_t length = variable ? get_u32(part.data() + v.inline_capacity()) : e / il * il;
  if (length % il != 0 || (variable && length > v.inline_capacity())) return kValueTooLong;
  const std::size_t n = length / il;
  const Search s = search_run(part.data(), n, il, item);
  unsigned char* at = part.data() + s.position * il;
  if (s.result == 0) {
    if (mode != 'D') {
      if (at[0] >= kMaxCounter) return 0;
      at[0] = counted_on(at[0], item);
      return index.update(c, part.data());
    }
    if (at[0] > 0) {
      --at[0];
      return index.update(c, part.data());
    }
    std::memmove(at, at + il, length - (s.position + 1) * il);
    std::memset(part.data() + length - il, 0, il);
    if (length == il) return index.remove(c);
    if (variable) put_u32(part.data() + v.inline_capacity(), static_cast<std::uint32_t>(length - il));
    return index.update(c, part.data());
  }
  if (mode == 'D') return kAbsent;
  if (!variable) return kValueTooLong;
  if (length + il + kPointerSize <= e) {
    std::memmove(at + il, at, length - s.position * il);
    std::memcpy(at, item, il);
    at[0] = first_counter(item);
    put_u32(part.data() + v.inline_capacity(), static_cast<std::uint32_t>(length + il));
    return index.update(c, part.data());
  }
  // Move the list out into a piece.
  std::vector<unsigned char> run(part.begin(), part.begin() + static_cast<long>(length));
  run.insert(run.begin() + static_cast<long>(s.position * il), item, item + il);
  run[s.position * il] = first_counter(item);
  RecordPointer first{};
  if (const ResultCode rc = place(v, run, {}, true, first); rc.failed()) return rc;
  std::fill(part.begin(), part.end(), 0);
  first.encode(part.data() + v.inline_capacity());
  return index.update(c, part.data());
}

ResultCode existing_chained(Values& v, Index& index, KeyCursor& c, char mode, const unsigned char* item,
                            std::vector<unsigned char>& part) {
  const std::size_t il = v.file().item_length;
  RecordPointer pred{};
  Piece p;
  if (const ResultCode rc = load(v, RecordPointer::decode(part.data() + v.inline_capacity()), p);
      rc.failed()) {
    return rc;
  }
  Search s = search_run(p.payload(), p.length / il, il, item);
  for (std::uint64_t steps = 0; s.result < 0 && !p.next.empty(); ++steps) {
    if (steps > (std::uint64_t{v.pool().header.last} + 1) * 255) return kBadRecordPointer;
    pred = p.ptr;
    if (const ResultCode rc = load(v, p.next, p); rc.failed()) return rc;
    s = search_run(p.payload(), p.length / il, il, item);
  }
  const bool single = pred.empty() && p.next.empty();
  unsigned char* at = p.payload() + s.position * il;
  if (s.result == 0) {
    if (mode != 'D') {
      if (at[0] >= kMaxCounter) return 0;
      at[0] = counted_on(at[0], item);
      return v.put_block(p.frame);
    }
    if (at[0] > 0) {
      --at[0];
      return v.put_block(p.frame);
    }
    resize_piece(p, s.position * il, -static_cast<long>(il));
    if (p.length == 0) {
      if (single) {
        if (const ResultCode rc = index.remove(c); rc.failed()) return rc;
        return v.free_chain(p.ptr);
      }
      if (const ResultCode rc = v.put_block(p.frame); rc.failed()) return rc;
      if (const ResultCode rc = link_to(v, index, c, part, pred, p.next); rc.failed()) return rc;
      return v.free_chain(p.ptr);
    }
    if (single && p.length + kPointerSize <= v.part_length()) {
      std::fill(part.begin(), part.end(), 0);
      std::memcpy(part.data(), p.payload(), p.length);
      put_u32(part.data() + v.inline_capacity(), static_cast<std::uint32_t>(p.length));
      if (const ResultCode rc = v.put_block(p.frame); rc.failed()) return rc;
      if (const ResultCode rc = index.update(c, part.data()); rc.failed()) return rc;
      return v.free_chain(p.ptr);
    }
    return v.put_block(p.frame);
  }
  if (mode == 'D') return kAbsent;
  // a. Room in the piece's block.
  if (p.frame.free >= static_cast<int>(il)) {
    resize_piece(p, s.position * il, static_cast<long>(il));
    std::memcpy(at, item, il);
    at[0] = first_counter(item);
    return v.put_block(p.frame);
  }
  std::vector<unsigned char> run(p.payload(), p.payload() + p.length);
  // b. The piece moves to a block with room.
  if (p.length + il <= v.piece_size()) {
    run.insert(run.begin() + static_cast<long>(s.position * il), item, item + il);
    run[s.position * il] = first_counter(item);
    RecordPointer moved{};
    if (const ResultCode rc = place(v, run, p.next, single, moved); rc.failed()) return rc;
    if (const ResultCode rc = link_to(v, index, c, part, pred, moved); rc.failed()) return rc;
    return v.free_chain(p.ptr);
  }
  // c. The piece splits in halves.
  const std::size_t h = p.length / 2 / il * il;
  std::vector<unsigned char> upper(run.begin() + static_cast<long>(h), run.end());
  const bool into_new = s.position * il >= h;
  if (into_new) {
    const std::size_t pos = s.position * il - h;
    upper.insert(upper.begin() + static_cast<long>(pos), item, item + il);
    upper[pos] = first_counter(item);
  }
  RecordPointer second{};
  if (const ResultCode rc = place(v, upper, p.next, false, second); rc.failed()) return rc;
  // The old piece may share its block with the new one: load it again.
  Piece old;
  if (const ResultCode rc = load(v, p.ptr, old); rc.failed()) return rc;
  resize_piece(old, h, -static_cast<long>(old.length - h));
  second.encode(old.payload() + old.length);
  if (!into_new) {
    resize_piece(old, s.position * il, static_cast<long>(il));
    unsigned char* slot = old.payload() + s.position * il;
    std::memcpy(slot, item, il);
    slot[0] = first_counter(item);
  }
  return v.put_block(old.frame);
}

}  // namespace

ResultCode list_new(Values& v, Index& index, KeyCursor& c, char mode, std::span<const unsigned char> item) {
  if (mode == 'D') return 0;
  const std::size_t il = v.file().item_length;
  if (item.size() != il || il < 2) return kInvalidFileParameters;
  std::vector<unsigned char> part(v.part_length(), 0);
  std::vector<unsigned char> first(item.begin(), item.end());
  first[0] = first_counter(item.data());
  if (!v.variable()) {
    if (part.size() < il) return kValueTooLong;
    std::memcpy(part.data(), first.data(), il);
  } else if (v.inline_capacity() >= il) {
    std::memcpy(part.data(), first.data(), il);
    put_u32(part.data() + v.inline_capacity(), static_cast<std::uint32_t>(il));
  } else {
    RecordPointer piece{};
    if (const ResultCode rc = place(v, first, {}, true, piece); rc.failed()) return rc;
    piece.encode(part.data() + v.inline_capacity());
  }
  const std::vector<unsigned char> key = c.key;
  return index.insert(c, key.data(), part.data(), mode == 'L' ? 'L' : ' ');
}

ResultCode list_existing(Values& v, Index& index, KeyCursor& c, char mode,
                         std::span<const unsigned char> item) {
  const std::size_t il = v.file().item_length;
  if (item.size() != il || il < 2) return kInvalidFileParameters;
  std::vector<unsigned char> part(c.data, c.data + v.part_length());
  const bool chained = v.variable() && !RecordPointer::decode(part.data() + v.inline_capacity()).empty();
  if (chained) return existing_chained(v, index, c, mode, item.data(), part);
  return existing_inline(v, index, c, mode, item.data(), part);
}

ResultCode list_refusal(Values& v, const KeyCursor& c, bool present, std::span<const unsigned char> item) {
  if (v.variable()) return 0;
  const std::size_t il = v.file().item_length;
  if (il < 2 || item.size() != il || v.part_length() < il) return kValueTooLong;
  if (!present) return 0;
  return search_run(c.data, v.part_length() / il, il, item.data()).result == 0 ? ResultCode(0)
                                                                               : ResultCode(kValueTooLong);
}

}  // namespace corvanta::dbm
