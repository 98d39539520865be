// The database manager's access to files.
//
// Every byte the database manager reads or writes goes through FileSystem,
// so that tests can put a failing or short-writing implementation in its
// place (FaultFileSystem) and crash tests can drop what was not synced.
// PosixFileSystem is the real one. Failures are reported as false or -1; the
// callers turn them into the result codes of the operation they were doing
// (a failed block read is -212, a failed block write -213).
//
// Not thread-safe; one FileSystem serves one process's pools.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>

namespace corvanta::dbm {

// How a file is opened; letters as the pool's extent handles name them.
enum class OpenMode : char {
  ReadOnly = 'I',   // read only
  ReadWrite = 'U',  // read and write
  Create = 'X',     // read and write, created when missing
  Truncate = 'O',   // write only, created, emptied
  Replace = 'N',    // write only, made anew: a file or link of that name is removed first, none followed
  Append = 'E',     // written at the end only (and readable), created
};

class File {
 public:
  virtual ~File() = default;
  // Reads up to `size` bytes at `offset`; the count read (0 at the end), or
  // -1 on failure.
  virtual ssize_t read_at(void* data, std::size_t size, off_t offset) = 0;
  // Writes `size` bytes at `offset`; true only when all were written.
  virtual bool write_at(const void* data, std::size_t size, off_t offset) = 0;
  // The file's size in bytes, or -1.
  virtual off_t size() = 0;
  virtual bool sync() = 0;
  // Closes the file; false when closing failed. Further calls fail.
  virtual bool close() = 0;
  // Appends `size` bytes at the end in one write (the file must be open
  // with OpenMode::Append). Returns the bytes written: `size` on success,
  // fewer (possibly 0) when the write failed part-way.
  virtual std::size_t append(const void* data, std::size_t size) = 0;
  // Cuts the file back (or grows it with zeros) to `size` bytes.
  virtual bool truncate(off_t size) = 0;
  // Takes a lock, shared or exclusive, on `length` bytes from `start` (0:
  // to the end and beyond, so the whole file), held by this open file (not
  // by the process: another open file of the same path, even in this
  // process, conflicts with it). With `wait` the call blocks until the lock
  // is free; otherwise it fails at once when another holder has it. The
  // lock goes with unlock() of the same bytes, or close().
  virtual bool lock(bool exclusive, bool wait, off_t start = 0, off_t length = 0) = 0;
  virtual bool unlock(off_t start = 0, off_t length = 0) = 0;
  // True when `path` names this very file (not one renamed into its place).
  virtual bool is_at(const std::string& path) = 0;
  // The file's device and inode, to recognise it again; {0, 0} on failure.
  virtual std::pair<std::uint64_t, std::uint64_t> identity() = 0;
};

class FileSystem {
 public:
  virtual ~FileSystem() = default;
  // Opens `path`; nullptr on failure, and for anything but a regular file
  // (a FIFO or a device would block or never end). New files get
  // permissions 0664.
  virtual std::unique_ptr<File> open(const std::string& path, OpenMode mode) = 0;
  virtual bool remove(const std::string& path) = 0;
  virtual bool exists(const std::string& path) = 0;
  // Renames `from` to `to`, replacing `to` in one step.
  virtual bool rename(const std::string& from, const std::string& to) = 0;
  // Gives the file `from` the second name `to` (which must not exist).
  virtual bool link(const std::string& from, const std::string& to) = 0;
  // Makes the names in the directory holding `path` durable (after a
  // rename, link or create).
  virtual bool sync_directory(const std::string& path) = 0;
};

// The operating system's files.
class PosixFileSystem final : public FileSystem {
 public:
  std::unique_ptr<File> open(const std::string& path, OpenMode mode) override;
  bool remove(const std::string& path) override;
  bool exists(const std::string& path) override;
  bool rename(const std::string& from, const std::string& to) override;
  bool link(const std::string& from, const std::string& to) override;
  bool sync_directory(const std::string& path) override;
};

// The process's real file system.
FileSystem& default_file_system();

// Wraps another FileSystem and fails chosen calls: every call of the
// wrapped files (but lock, unlock and is_at) and of open, remove, rename,
// link and sync_directory is counted from 1, and the call numbered
// `fail_at` (0: none) fails. With `short_write`, a failing write or append
// writes the first half of its bytes before it fails, as a full disk would.
class FaultFileSystem final : public FileSystem {
 public:
  explicit FaultFileSystem(FileSystem& base) : base_(base) {}

  void fail_call(std::uint64_t n, bool short_write = false) {
    fail_at_ = n;
    short_write_ = short_write;
  }
  // Fails every call from the n-th on (a disk that went away).
  void fail_from(std::uint64_t n) { fail_from_ = n; }
  void clear() { fail_at_ = fail_from_ = 0; }
  std::uint64_t calls() const { return calls_; }
  bool failed() const { return failed_; }

  std::unique_ptr<File> open(const std::string& path, OpenMode mode) override;
  bool remove(const std::string& path) override;
  bool exists(const std::string& path) override;
  bool rename(const std::string& from, const std::string& to) override;
  bool link(const std::string& from, const std::string& to) override;
  bool sync_directory(const std::string& path) override;

  // True when the call now being made is to fail.
  bool next_fails();
  bool short_write() const { return short_write_; }

 private:
  FileSystem& base_;
  std::uint64_t calls_ = 0;
  std::uint64_t fail_at_ = 0;
  std::uint64_t fail_from_ = 0;
  bool short_write_ = false;
  bool failed_ = false;
};

}  // namespace corvanta::dbm
