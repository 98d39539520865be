// The database manager's operations: pools by name, files by number.
//
// Dbm keeps the list of open pools and carries out every operation that the
// rest of the service calls: opening and closing pools, creating, checking
// and dropping files, reading and traversing them, and the write operations,
// each journalled in the pool's save file before it changes anything. A
// failing operation prints one line to the message stream:
//
//   DBM: Mess=-212, Func=READ, Pool=A, File=0003
//
// Positions and continuations live with the caller, so several traversals of
// different files may interleave; a position stays meaningful only while its
// file is not changed between calls.
//
// Result codes: 0 success; 1 absent, 2 truncated or different, 3 end of a
// traversal; negative codes in dbm/codes.h. Single-threaded and not
// reentrant.
#pragma once

#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "dbm/file_io.h"
#include "dbm/journal.h"
#include "dbm/pool.h"
#include "dbm/values.h"

namespace corvanta::dbm {

// A value to read: `data` holds the capacity on entry; `length` receives
// the bytes read.
struct DataRef {
  std::span<unsigned char> data;
  std::size_t length = 0;
};

// A traversal position: the current leaf and the gap offset in it.
struct Position {
  std::uint32_t leaf = 0;
  std::uint16_t offset = 0;
  bool empty() const { return leaf == 0; }
};

struct FileInfo {
  char role = ' ';  // M, N, S
  char kind = ' ';  // R, D, L
  std::uint16_t key_length = 0;
  std::uint16_t data_length = 0;
};

// The definition of a file for CREATE and CHECK.
struct FileSpec {
  char role = 'N';  // M main, N normal, S subfile
  int file = 0;
  int main = 0;          // subfiles: the main file
  char kind = 'R';       // D data, L list, R record
  int key_length = 4;    // main and normal files: 4..128
  int entry_length = 0;  // entry data length, at most 256
  char key_form = 'F';   // F fixed, V variable
  int length = 0;        // data length, or item length of a list (2..64)
  char data_form = 'V';  // F fixed, V variable
};

class Dbm {
 public:
  explicit Dbm(FileSystem& fs = default_file_system(), std::FILE* messages = stdout);
  ~Dbm();
  Dbm(const Dbm&) = delete;
  Dbm& operator=(const Dbm&) = delete;

  // Pools.
  ResultCode initialize(std::string_view pool, const std::string& path);
  // 1 when the pool is open already in the same mode.
  ResultCode open(std::string_view pool, const std::string& path, char mode, char write_policy = ' ',
                  std::size_t index_frames = 0, std::size_t data_frames = 0);
  // Closes the pool and forgets its handle, also when closing failed (the
  // files are closed then too, and the failure is returned).
  ResultCode close(std::string_view pool);
  // Closes every pool; the first failure is returned.
  ResultCode close_all();
  ResultCode pool_times(std::string_view pool, std::uint32_t& initiated, std::uint32_t& closed,
                        std::uint32_t& saved);
  // Journals the pool's changes in the save file at `path` (empty: none).
  // The save file in use before is synced and closed.
  ResultCode set_save_file(std::string_view pool, const std::string& path);
  // Makes every journal record written so far durable; called at the end of
  // each command. 0 or -227.
  ResultCode sync_journals();
  ResultCode commit(std::string_view pool);
  // A unit of changes: between begin_unit and end_unit the pool's journal
  // records are kept back and written in one piece at the end, so that a
  // process killed half-way leaves none of them and a replay makes all or
  // none. begin_unit checks first that the journal can take records.
  // end_unit writes them: when that fails the pool holds changes its
  // journal lacks, and is marked damaged (it needs a RESTORE). Units nest;
  // the outermost end writes.
  ResultCode begin_unit(std::string_view pool);
  ResultCode end_unit(std::string_view pool);
  // The POOL_PROT lines of the header (file 0) or of a file's descriptor.
  ResultCode listing(std::string& out, std::string_view pool, int file);
  Pool* find_pool(std::string_view pool);
  FileSystem& file_system() { return fs_; }

  // Files.
  ResultCode create(std::string_view pool, const FileSpec& file_spec);
  // 0 same, 1 absent, 2 different (a different data length is corrected).
  ResultCode check(std::string_view pool, const FileSpec& file_spec);
  ResultCode file_info(std::string_view pool, int file, FileInfo& info);
  ResultCode count(std::string_view pool, int file, std::uint32_t& n);
  ResultCode delete_file(std::string_view pool, int file);
  ResultCode drop_file(std::string_view pool, int file);

  // Access. Keys are the file's key length (a record file's key is the IDN
  // as 4 big-endian bytes).
  ResultCode read(std::string_view pool, int file, const unsigned char* key, DataRef& value,
                  Continuation* cont = nullptr);
  ResultCode get_length(std::string_view pool, int file, const unsigned char* key, std::size_t& length);
  // SET finds the key or the next one (copied into `key`) and reads it.
  ResultCode set(std::string_view pool, int file, unsigned char* key, Position& pos, DataRef& value,
                 Continuation* cont = nullptr);
  ResultCode get(std::string_view pool, int file, unsigned char* key, Position& pos, DataRef& value,
                 Continuation* cont = nullptr);
  ResultCode prev(std::string_view pool, int file, unsigned char* key, Position& pos, DataRef& value,
                  Continuation* cont = nullptr);
  ResultCode next(std::string_view pool, int file, DataRef& value, Continuation* cont);

  ResultCode insert(std::string_view pool, int file, const unsigned char* key,
                    std::span<const unsigned char> value);
  ResultCode load(std::string_view pool, int file, const unsigned char* key,
                  std::span<const unsigned char> value);
  ResultCode update(std::string_view pool, int file, const unsigned char* key,
                    std::span<const unsigned char> value);
  ResultCode remove(std::string_view pool, int file, const unsigned char* key);
  ResultCode list_insert(std::string_view pool, int file, const unsigned char* key,
                         std::span<const unsigned char> item);
  ResultCode list_load(std::string_view pool, int file, const unsigned char* key,
                       std::span<const unsigned char> item);
  ResultCode list_delete(std::string_view pool, int file, const unsigned char* key,
                         std::span<const unsigned char> item);

  ResultCode next_idn(std::string_view pool, int file, std::uint32_t* idn);
  ResultCode give_back_idn(std::string_view pool, int file);
  ResultCode last_idn(std::string_view pool, int file, std::uint32_t& idn);

  // The time journal records carry; tests may fix it.
  void set_clock(std::uint32_t (*clock)()) { clock_ = clock; }

 private:
  struct Context {
    Pool* pool = nullptr;
    FileDescriptor* f = nullptr;
    FileDescriptor* m = nullptr;
  };
  struct OpenPool {
    std::unique_ptr<Pool> pool;
    JournalWriter* journal = nullptr;  // one of journals_; null: not journalled
    int unit_depth = 0;
    std::vector<unsigned char> unit;  // records kept back in a unit
    std::size_t unit_mark = 0;        // where the last record kept back starts
  };

  ResultCode resolve(std::string_view pool, int file, Context& ctx);
  ResultCode resolve_pool(std::string_view pool, Pool*& out);
  ResultCode fail(ResultCode rc, std::string_view func, std::string_view pool, int file = -1);
  ResultCode write_op(const char* func, char letter, std::string_view pool, int file,
                      const unsigned char* key, std::span<const unsigned char> value);
  // Removes every entry of the file (delete file without its journal record).
  ResultCode delete_entries(Context& ctx, int file);
  ResultCode read_entry(Context& ctx, const unsigned char* part, DataRef& value, Continuation* cont);
  ResultCode step(const char* func, bool forward, std::string_view pool, int file, unsigned char* key,
                  Position& pos, DataRef& value, Continuation* cont);
  // Appends the record to the pool's journal (0 without one); after 0,
  // journal_done() must follow with the result of the change.
  ResultCode journal(Pool& pool, const JournalRecord& r);
  void journal_done(Pool& pool, ResultCode rc);
  JournalWriter* journal_of(const Pool* pool) const;
  OpenPool* open_pool_of(const Pool* pool);

  // Closes the pool's journal unless another open pool writes to it.
  ResultCode release_journal(const OpenPool& p);

  FileSystem& fs_;
  std::FILE* messages_;
  std::vector<OpenPool> pools_;
  // The save files by path; they outlive the pools' opens, so that what a
  // writer has checked of a journal is not checked again.
  std::map<std::string, std::unique_ptr<JournalWriter>> journals_;
  std::uint32_t (*clock_)() = nullptr;
};

}  // namespace corvanta::dbm
