// Exchange files read and written in buffered pieces through the database
// manager's file interface (so that tests can make reads and writes fail),
// with memory that stays flat however long the file is.
//
// InputFile serves the readers: bytes to look at before taking them (a
// record's length first), lines, and the byte order mark EF BB BF skipped
// at the start. OutputFile serves the writers: a new file is written under
// a temporary name and renamed into place by commit(), so that a failed
// export leaves what was there; an appended file (error and duplicate
// files) grows in place. A failed read or write is remembered and reported
// once (failed()), never silently dropped.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

#include "dbm/file_io.h"
#include "util/result.h"

namespace corvanta::imex {

inline constexpr std::int32_t kCannotOpen = -13;
inline constexpr std::int32_t kCannotRead = -15;
inline constexpr std::int32_t kCannotWrite = -16;

class InputFile {
 public:
  InputFile() = default;
  explicit InputFile(dbm::FileSystem& fs) : fs_(&fs) {}
  // Opens a file: 0 or -13.
  ResultCode open(const std::string& path);
  // Reads from a text in memory instead (tests, fuzzing).
  void open_text(std::string text);
  // Passes over EF BB BF at the current position.
  void skip_bom();

  // Up to `n` bytes from the current position, fewer only at the end.
  std::string_view peek(std::size_t n);
  void consume(std::size_t n);
  // The next line without its line feed: false at the end. A line longer
  // than `limit` is cut there (`cut` set) and its rest passed over.
  bool line(std::string& out, std::size_t limit, bool& cut);
  bool at_end() { return peek(1).empty(); }
  // Bytes taken so far.
  std::size_t position() const { return taken_; }
  bool failed() const { return failed_; }

 private:
  bool fill(std::size_t n);
  dbm::FileSystem* fs_ = nullptr;
  std::unique_ptr<dbm::File> file_;
  std::string buffer_;
  std::size_t at_ = 0;  // first unread byte of buffer_
  off_t offset_ = 0;    // file offset of the end of buffer_
  std::size_t taken_ = 0;
  bool end_ = false;
  bool failed_ = false;
};

class OutputFile {
 public:
  OutputFile() = default;
  explicit OutputFile(dbm::FileSystem& fs) : fs_(&fs) {}
  ~OutputFile();
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  // A new file, written under "<path>.part" until commit(): 0 or -13.
  ResultCode create(const std::string& path);
  // A file appended to (created when missing): 0 or -13.
  ResultCode append(const std::string& path);
  bool is_open() const { return file_ != nullptr; }
  void write(std::string_view bytes);
  // Writes what is buffered: 0 or -16.
  ResultCode flush();
  // Flushes, syncs and closes; a created file then takes its name: 0 or -16.
  ResultCode commit();
  // Closes; a created file that was not committed is removed.
  void discard();
  // The size of an appended file as it is on disk now (after flush()).
  off_t size() const { return file_ != nullptr ? file_->size() : 0; }
  // Cuts an appended file back to `size` (what a failed write left behind
  // goes) and closes it; true when that worked.
  bool cut_back(off_t size);
  bool failed() const { return failed_; }
  std::size_t written() const { return written_; }

 private:
  dbm::FileSystem* fs_ = nullptr;
  std::unique_ptr<dbm::File> file_;
  std::string path_;
  std::string temporary_;  // empty when appending
  std::string buffer_;
  off_t offset_ = 0;
  std::size_t written_ = 0;
  bool failed_ = false;
};

}  // namespace corvanta::imex
