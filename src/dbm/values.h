// Values of data, record and list files: the entry part, data blocks with
// item slots, and piece chains.
//
// A value lives first in the file's part of its index entry (E bytes). Fixed
// data fills the part. Variable data keeps c = E - 5 bytes inline and a
// 5-byte tail: the value's length when it fits, else the RecordPointer
// (block 4 bytes, slot 1 byte) of a chain of pieces in data blocks holding
// the rest. A data block holds items packed from offset 0:
//
//   2 bytes  item length L = payload + 5 (0: an emptied slot)
//   L - 5    payload
//   5 bytes  RecordPointer of the next piece (zero for the last)
//
// Slot s is the s-th item in packing order; emptied slots keep their number.
// A piece holds at most 2021 bytes (for lists, whole items only).
//
// Values works on one file F of an open pool; lists (lists.cc) build on its
// block and chain routines. Single-threaded.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "dbm/index.h"
#include "dbm/pool.h"
#include "util/result.h"

namespace corvanta::dbm {

inline constexpr std::size_t kPointerSize = 5;
inline constexpr std::size_t kMaxPiece = 2021;
inline constexpr std::uint32_t kMaxIdn = 16777215;

// Result of a read that did not fit the buffer.
inline constexpr std::int32_t kTruncated = 2;

struct RecordPointer {
  std::uint32_t block = 0;
  std::uint8_t slot = 0;  // 0: no pointer

  bool empty() const { return slot == 0; }
  static RecordPointer decode(const unsigned char* p);
  void encode(unsigned char* p) const;
  friend bool operator==(const RecordPointer&, const RecordPointer&) = default;
};

// Where a truncated list read goes on: the piece and the bytes of it already
// delivered.
struct Continuation {
  RecordPointer piece;
  std::uint16_t offset = 0;
  bool empty() const { return piece.empty(); }
};

class Values {
 public:
  Values(Pool& pool, FileDescriptor& file);

  std::size_t part_length() const { return e_; }
  std::size_t inline_capacity() const { return c_; }
  bool variable() const { return (f_.data_flags & kDataVariable) != 0; }
  bool list() const { return f_.is_list(); }
  std::size_t piece_size() const { return p_; }

  // Piece chains.
  ResultCode write_chain(std::span<const unsigned char> bytes, RecordPointer& first);
  // Reads the value of an entry part into `out` (its size is the capacity):
  // 0 complete, 2 truncated; `length` receives the bytes read. For lists a
  // truncated read fills `cont`.
  ResultCode read_value(const unsigned char* part, std::span<unsigned char> out, std::size_t& length,
                        Continuation* cont);
  ResultCode read_on(Continuation& cont, std::span<unsigned char> out, std::size_t& length);
  ResultCode value_length(const unsigned char* part, std::size_t bound, std::size_t& length);
  ResultCode rewrite_chain(RecordPointer first, std::span<const unsigned char> bytes);
  // Frees the pieces of a data value; of a list only the first piece, or all
  // of them with `whole_list`.
  ResultCode free_chain(RecordPointer first, bool whole_list = false);

  // Record rules of data and record files, with the cursor on the key.
  // `mode` is the write letter: W insert, L load, U update, D delete.
  ResultCode store_new(Index& index, KeyCursor& c, char mode, std::span<const unsigned char> value);
  ResultCode store_existing(Index& index, KeyCursor& c, char mode, std::span<const unsigned char> value,
                            bool journalled);

  // Blocks and items (shared with the lists).
  ResultCode get_block(std::uint32_t b, Frame& out);
  ResultCode put_block(Frame& f);
  ResultCode new_block(Frame& out);
  ResultCode free_block(Frame& f);
  // Offset of slot s's length field, or -219.
  static ResultCode locate(const Frame& f, int slot, std::size_t& offset);
  static std::size_t item_length(const Frame& f, std::size_t offset);  // L of the item at offset
  ResultCode append_item(Frame& f, std::span<const unsigned char> payload, RecordPointer next, int& slot);
  void remove_item(Frame& f, std::size_t offset);
  // Places a piece: into the fill block when `small_ok` and it has room,
  // else into a new block. The block is put.
  ResultCode place_piece(std::span<const unsigned char> payload, RecordPointer next, bool use_fill,
                         RecordPointer& where);

  FileDescriptor& file() { return f_; }
  Pool& pool() { return pool_; }

 private:
  // Builds the entry part of a value; the overflow is written as a chain,
  // over `reuse` when that is not empty. `reused` tells whether it was.
  ResultCode build_part(std::span<const unsigned char> value, std::vector<unsigned char>& part,
                        RecordPointer reuse, bool& reused);
  ResultCode read_chain(RecordPointer first, std::span<unsigned char> out, std::size_t& length,
                        std::size_t skip, Continuation* cont);

  Pool& pool_;
  FileDescriptor& f_;
  std::size_t e_;
  std::size_t c_;
  std::size_t p_;
};

// IDNs of a record file (on the descriptor that owns the index).
ResultCode next_idn(FileDescriptor& m, std::uint32_t& idn);
void give_back_idn(FileDescriptor& m);

}  // namespace corvanta::dbm
