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

#include <sys/types.h>

#include <cstdint>
#include <cstdio>
#include <memory>
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

// Whether the 22 bytes at `head` can be the header of a record a writer
// wrote: a commit with a time, or an operation record with its fixed bytes
// in range (a pool name, a file 1 to 999, operation 1 to 6, a key of at most
// 128 bytes, nothing after operation 6).
bool plausible_header(const unsigned char* head);

// Whether `rest`, the bytes from a record that does not fit (or does not
// look like a record) to the end of the file, is a torn end: zeros, or the
// beginning of one record with nothing after it that looks like a record
// of its own (a writer cut off in the middle of its write, or a crash
// before the sync; never acknowledged). Anything else is damage. At most
// kMaxTornEnd bytes can be a torn end.
inline constexpr std::size_t kMaxTornEnd = 1u << 20;
bool torn_end(std::span<const unsigned char> rest);

// Reads the records of a save file one by one, in file order. Every length
// is checked against the bytes left in the file, so a damaged record is
// reported, never read across into the next one.
class JournalReader {
 public:
  // Reads `in` from its current position; the file's size is taken now.
  explicit JournalReader(std::FILE* in);

  // True with a whole record. False at the end of the journal, which may be
  // a torn end (see torn_end), or at a damaged record: one that does not
  // look like a record, or does not fit in the bytes left, with more after
  // it.
  bool next(JournalRecord& r);
  bool damaged() const { return damaged_; }
  // The journal ended in a torn record, which was passed over.
  bool torn() const { return torn_; }
  // Whole records read so far.
  long count() const { return count_; }

 private:
  // At a record that cannot be read: the rest of the file tells a torn end
  // from damage.
  bool stop(const unsigned char* head, std::size_t head_bytes);

  std::FILE* in_;
  std::uint64_t left_ = 0;  // bytes not read yet
  bool damaged_ = false;
  bool torn_ = false;
  long count_ = 0;
};

// The save file's locks, on single bytes of it (advisory; they do not stand
// in the way of reading or writing those bytes).
inline constexpr off_t kJournalUseByte = 0;     // shared while a writer has it open; RELEASE exclusively
inline constexpr off_t kJournalAppendByte = 1;  // exclusive while one record is appended

// The save file of one path, written by the pools that journal into it.
// Records are appended while a pool is open and made durable by sync(),
// which the service calls at the end of every command, and by close().
//
// A writer holds a shared lock on the save file's use byte while it has the
// file open; RELEASE takes that byte exclusively, so it waits until no
// writer has the file open and keeps new writers waiting until the new
// journal is in place, which they then open instead.
//
// Each record goes to the end of the file in one write under an exclusive
// lock on the append byte, held until the change it describes has been made
// (finish): a change that fails after all takes its record back, and a
// write that fails part-way (a full disk) is cut back at once. So processes
// sharing a save file never interleave parts of records, and the journal
// holds exactly the changes made. Before it appends, a writer checks the
// records that others appended since it last looked; a record cut short at
// the end (a writer killed in the middle of its write, or a crash before
// the sync) was never acknowledged and is cut off.
class JournalWriter {
 public:
  JournalWriter(FileSystem& fs, std::string path) : fs_(fs), path_(std::move(path)) {}
  ~JournalWriter() { (void)close(); }
  JournalWriter(const JournalWriter&) = delete;
  JournalWriter& operator=(const JournalWriter&) = delete;

  const std::string& path() const { return path_; }
  // Appends the record: 0, -226 (cannot open or lock), -228 (the journal is
  // damaged before its end), -229 (full, or the write failed: the file is as
  // before). After 0 the append lock is held until finish().
  ResultCode append(const JournalRecord& r);
  // The same for records already encoded, appended in one write (a unit of
  // changes: all or none of them reach the file).
  ResultCode append_bytes(const std::vector<unsigned char>& bytes);
  // Whether a record could be appended now (the file opens, locks and its
  // tail is whole): 0, -226, -228 or -229. Nothing is written.
  ResultCode ready();
  // Ends an append that gave 0: with `kept` the record stays, otherwise it
  // is cut off again (the change was not made).
  void finish(bool kept);
  // Makes the records appended so far durable: 0 or -227. After a failed
  // sync the writer refuses further records.
  ResultCode sync();
  // Syncs and closes the file (what was checked is remembered): 0 or -227.
  ResultCode close();

 private:
  ResultCode open_for_use();
  bool lock_for_append();
  ResultCode lock_and_check();
  // Walks the record headers from `checked_` to `size`; cuts off a torn
  // end. 0, -212, -228 (damage: nothing is cut) or -229.
  ResultCode check_tail(off_t size);
  // Marks the record of a change that was not made as damage, when it
  // cannot be cut off: a replay must not make it.
  void spoil_record();

  FileSystem& fs_;
  std::string path_;
  std::unique_ptr<File> file_;
  std::pair<std::uint64_t, std::uint64_t> checked_file_{0, 0};  // the file that `checked_` belongs to
  off_t checked_ = 0;                                           // whole records end here
  off_t record_start_ = 0;                                      // the record of the append not finished yet
  bool pending_ = false;
  bool unsynced_ = false;
  bool broken_ = false;  // a failed write could not be cut back, or a sync failed
};

}  // namespace corvanta::dbm
