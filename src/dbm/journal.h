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
// Decodes one record at the start of `bytes`; `size` receives its length.
// False when the bytes do not hold a whole record.
bool decode_journal_record(std::span<const unsigned char> bytes, JournalRecord& r, std::size_t& size);

// Appends the record to the save file at `path`, opening and closing it for
// this one record: 0, -226 (cannot open), -229 (full or write failed) or
// -227 (cannot close). An empty path journals nothing.
ResultCode journal_write(FileSystem& fs, const std::string& path, const JournalRecord& r);

}  // namespace corvanta::dbm
