// B+-tree indexes of a pool's files.
//
// Every main file and normal file owns an index: entries sorted by key in
// index blocks (type 4), leaves at level byte 1 and inner blocks above,
// each level linked left to right. A leaf entry is the key (K bytes) and
// the entry data (D bytes); an inner entry is the key and a 4-byte child
// block number, its key the high key of the child. The rightmost leaf ends
// with the sentinel, a key of K bytes 0xFF. A subfile shares its main file's
// index and keeps its data in its slice of the entry data; an entry whose
// slice is all zero is absent for that subfile ("shell").
//
// Index works on the index of one file F (the main or normal file M itself,
// or one of M's subfiles) through the pool's index block ring. KeyCursor is
// the position: the path of the last search, the current leaf (a private
// copy, so that `data` stays valid until the next call) and the gap offset
// in it from which traversal goes on.
//
// Single-threaded. A cursor's path is valid until the index changes.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "dbm/pool.h"
#include "util/result.h"

namespace corvanta::dbm {

inline constexpr int kMaxIndexLevels = 10;
inline constexpr std::uint8_t kMaxEntriesPerBlock = 255;

// Results of traversal besides 0 (found) and negative codes.
inline constexpr std::int32_t kAbsent = 1;
inline constexpr std::int32_t kEnd = 3;

struct KeyCursor {
  std::vector<unsigned char> key;       // K bytes: searched or found key
  const unsigned char* data = nullptr;  // F's part of the current entry
  std::array<std::uint32_t, kMaxIndexLevels + 1> path{};
  std::uint32_t leaf = 0;    // current leaf, 0 when none
  std::uint16_t offset = 0;  // gap offset in the current leaf
  Frame block;               // copy of the current leaf
};

class Index {
 public:
  // The index of file F; for a subfile, its main file's index. F's
  // descriptor and the main file's must be loaded in the pool.
  Index(Pool& pool, FileDescriptor& file);

  // Builds the root: one leaf holding the sentinel.
  ResultCode create();
  // Frees the root block.
  ResultCode drop();

  // 0 found (key, data set), 1 absent (the gap before the next greater key).
  ResultCode find(KeyCursor& c, const unsigned char* key);
  // 0 with the next / previous present entry, 3 at the end / start; at the
  // end the gap stays behind the last entry.
  ResultCode next(KeyCursor& c);
  ResultCode previous(KeyCursor& c);
  // 0 with the first present entry, 1 when there is none.
  ResultCode first(KeyCursor& c);
  // Inserts key with F's part `data` (D(F) bytes); mode 'L' loads (splits
  // keep full blocks). -216 when the key is present for F.
  ResultCode insert(KeyCursor& c, const unsigned char* key, const unsigned char* data, char mode = ' ');
  // Removes the entry of the cursor's key for F; 1 when it is absent.
  ResultCode remove(KeyCursor& c);
  // Replaces F's part of the entry of the cursor's key; 1 when absent.
  ResultCode update(KeyCursor& c, const unsigned char* data);

  std::size_t key_length() const { return k_; }
  std::size_t part_length() const { return part_len_; }

 private:
  struct Position {
    int index = 0;   // entry number
    int result = 0;  // 0 exact, 1 first greater, -1 past the end
  };
  static Position search(const Frame& b, const unsigned char* key, std::size_t k, std::size_t entry_size);
  ResultCode get(std::uint32_t b, int level, Frame& out);
  ResultCode view(std::uint32_t b, int level, const Frame*& out);
  ResultCode put(Frame& f);
  ResultCode descend(KeyCursor& c, const unsigned char* key, bool leftmost);
  bool part_is_zero(const unsigned char* entry) const;
  bool data_is_zero(const unsigned char* entry) const;
  ResultCode scan_forward(KeyCursor& c, std::uint32_t leaf, std::size_t offset);
  ResultCode left_neighbour(KeyCursor& c, int level, std::uint32_t block, std::uint32_t& out);
  ResultCode replace_separator(KeyCursor& c, const std::vector<unsigned char>& old_key,
                               const std::vector<unsigned char>& new_key);
  ResultCode split(KeyCursor& c, Frame b, int level, std::vector<unsigned char> entry, int position,
                   char mode);
  ResultCode new_root(const Frame& left, const Frame& right, int level);
  std::size_t capacity(std::size_t entry_size) const;

  Pool& pool_;
  FileDescriptor& m_;  // the file that owns the index
  std::size_t k_;
  std::size_t d_;
  std::size_t leaf_size_;
  std::size_t inner_size_;
  std::size_t part_offset_;  // within a leaf entry
  std::size_t part_len_;
};

// Sets LAST of every record file that owns an index to the IDN of its last
// present key, walking each index in key order (part of the check of mode
// "C").
ResultCode recount_idns(Pool& pool);

}  // namespace corvanta::dbm
