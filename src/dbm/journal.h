// The journal (save file) of a pool: one record per change, appended before
// the change is applied.
//
//   offset width  field
//        0    4   time of the change, seconds since 1970
//        4    4   user value: 0 for changes made by this system
//        8    4   pool name, zero-padded
//       12    2   file number
//       14    1   0
//       15    1   operation code (below)
//       16    1   1 for operation records, 0 for commit records
//       17    1   key length (INDEXLEN of the file that owns the index);
//                 0 for operation 6
//       18    4   value length; 0 for operation 6
//       22    k   key
//     22+k    v   value
//
// Operation codes: 0 commit, 1 insert or load (data, record), 2 list insert
// or load, 3 update, 4 delete (data, record), 5 list delete, 6 delete file.
// A commit record is the time and user value followed by 14 zero bytes.
// All integers big-endian. A save file never grows beyond 2147481599 bytes.
#pragma once

#include <cstdint>
#include <cstdio>
#include <span>
#include <string>
#include <vector>

#include "dbm/file_io.h"
#include "util/result.h"

namespace corvanta::dbm {

inline constexpr std::size_t kJournalHeaderSize = 22;
inline constexpr std::uint64_t kMaxJournalSize = 2147481599;

enum class JournalOp : std::uint8_t {
  Commit = 0,
  Insert = 1,
  ListInsert = 2,
  Update = 3,
  Delete = 4,
  ListDelete = 5,
  DeleteFile = 6,
};

struct JournalRecord {
  std::uint32_t time = 0;
  std::uint32_t user = 0;
  std::string pool;  // at most 4 characters
  std::uint16_t file = 0;
  JournalOp op = JournalOp::Commit;
  std::vector<unsigned char> key;
  std::vector<unsigned char> value;
};

std::vector<unsigned char> encode_journal_record(const JournalRecord& r);
// Decodes a record's fixed header: the record without key and value, whose
// lengths go to `key_length` and `value_length` (both 0 for a commit).
JournalRecord decode_journal_header(const unsigned char* head, std::size_t& key_length,
                                    std::size_t& value_length);

// Reads the records of a save file one by one, in file order.
class JournalReader {
 public:
  explicit JournalReader(std::FILE* in) : in_(in) {}

  // True with a whole record. False at the end of the journal, or at a
  // damaged record: a cut header, a key longer than 128 bytes, a value
  // longer than a journal may be, or a cut key or value.
  bool next(JournalRecord& r);
  bool damaged() const { return damaged_; }
  // Whole records read so far.
  long count() const { return count_; }

 private:
  std::FILE* in_;
  bool damaged_ = false;
  long count_ = 0;
};

// Appends the record to the save file at `path`, opening and closing it for
// this one record: 0, -226 (cannot open), -229 (full or write failed) or
// -227 (cannot close). An empty path journals nothing.
ResultCode journal_write(FileSystem& fs, const std::string& path, const JournalRecord& r);

}  // namespace corvanta::dbm
