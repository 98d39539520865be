// Result sets: the IDNs a search found in one file of one pool, with the
// query that found them, numbered and kept in two set files so that later
// commands (of this run or another) can name them by number.
//
// The set files are the configured base path followed by "1" and "2". Set
// numbers run from 1 to max_sets; the first file holds 1..h and the second
// h+1..max_sets, h = (max_sets + 1) / 2. Each file starts with a directory
// of h + 1 words (4 bytes, big-endian): word 0 of the first file is the
// last number issued (word 0 of the second is unused); word i is the offset
// in that file of the stored set with local number i, 0 when there is none.
// A stored set is appended at the end of its file:
//
//     0  12  pool name, zero-filled
//    12   2  file number
//    14   4  set number
//    18   4  capacity of the hit list
//    22   4  number of hits n
//    26   6  three sort definition numbers (2 bytes each)
//    32   1  sort direction
//    33 251  query text, zero-filled
//   284   3  zero
//   287  4n  the IDNs, 4 bytes each in the machine's byte order
//
// Numbers cycle: the number after h empties the second file, the number
// after max_sets empties the first and starts again at 1, so half of the
// stored sets is given up each time numbering enters it.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "dbm/file_io.h"
#include "records/idn_list.h"
#include "util/result.h"

namespace corvanta::records {

inline constexpr std::int32_t kSetNoMemory = -551;
inline constexpr std::int32_t kSetFilesNotOpen = -552;
inline constexpr std::int32_t kSetUnreadable = -553;
inline constexpr std::int32_t kSetNotWritable = -554;
inline constexpr std::int32_t kSetInvalid = -555;

inline constexpr std::size_t kSetPoolName = 12;
inline constexpr std::size_t kSetQueryText = 251;  // 250 characters and a terminator
inline constexpr std::size_t kMaxSetQuery = 250;
inline constexpr std::size_t kStoredSetHeader = 287;
inline constexpr int kSortKeys = 3;

struct ResultSet {
  std::uint32_t number = 0;  // 0: not stored yet
  std::string pool;          // at most 11 characters
  std::uint16_t file = 0;
  std::string query;                            // at most 250 characters
  std::array<std::uint16_t, kSortKeys> sort{};  // sort definition numbers, 0: none
  char direction = 0;                           // 'D' descending; 0 unsorted
  bool valid = false;
  std::uint32_t capacity = 0;
  IdnList hits;
};

// An empty valid set for `pool` and `file` with room for `capacity` hits.
void set_prepare(ResultSet& set, std::string_view pool, std::uint16_t file, std::uint32_t capacity);
// Empties hits, query and sort order; keeps pool, file and number.
void set_reset(ResultSet& set);
// Frees the hit list; the set is no longer valid.
void set_release(ResultSet& set);
inline std::uint32_t set_count(const ResultSet& set) {
  return static_cast<std::uint32_t>(set.hits.size());
}

// The stored form of a set (header and IDNs), and the set read back from
// one: kSetUnreadable when the bytes do not hold together.
std::string encode_stored_set(const ResultSet& set);
ResultCode decode_stored_set(std::string_view bytes, ResultSet& set);

class SetFiles {
 public:
  explicit SetFiles(dbm::FileSystem& fs) : fs_(fs) {}
  ~SetFiles() { close(); }
  SetFiles(const SetFiles&) = delete;
  SetFiles& operator=(const SetFiles&) = delete;

  // Opens both files of `base`, creating a missing or too short one with a
  // zeroed directory: 0 or kSetFilesNotOpen.
  ResultCode open(const std::string& base, std::uint32_t max_sets);
  void close();
  bool is_open() const { return files_[0] != nullptr && files_[1] != nullptr; }
  std::uint32_t max_sets() const { return max_sets_; }
  const std::string& path(int which) const { return paths_[which]; }
  // The two files kept under the configured name `base` ("sets1", "sets2").
  static std::string file_name(const std::string& base, int which) { return base + (which == 0 ? "1" : "2"); }

  // Numbers the set when it has no number and appends it to its file.
  ResultCode store(ResultSet& set);
  // Reads stored set `number` into `set`.
  ResultCode load(std::uint32_t number, ResultSet& set);
  // Forgets stored set `number`.
  ResultCode drop(std::uint32_t number);
  // The last number issued (0: none yet).
  ResultCode last_number(std::uint32_t& number);

 private:
  std::uint32_t half() const { return (max_sets_ + 1) / 2; }
  std::size_t directory_bytes() const { return (std::size_t{half()} + 1) * 4; }
  // The file and directory word of a set number.
  int file_of(std::uint32_t number) const { return number <= half() ? 0 : 1; }
  std::uint32_t slot_of(std::uint32_t number) const { return number <= half() ? number : number - half(); }
  ResultCode read_word(int which, std::uint32_t slot, std::uint32_t& value);
  ResultCode write_word(int which, std::uint32_t slot, std::uint32_t value);
  // Zeroes the directory and drops what follows it.
  ResultCode empty_file(int which);
  ResultCode next_number(std::uint32_t& number);

  dbm::FileSystem& fs_;
  std::array<std::unique_ptr<dbm::File>, 2> files_;
  std::array<std::string, 2> paths_;
  std::uint32_t max_sets_ = 0;
};

}  // namespace corvanta::records
