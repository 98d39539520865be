// Files that commands name in their parameters (DATA, PATH, COMMAND,
// OUTPUT).
//
// Two rules hold for every such file:
//  - A command never writes one of the service's own files: a loaded
//    configuration, a file of section Files (users table, logs, job
//    protocols, job and sequence files, dictionaries, set files), a message
//    or text file, a pool's files and extents, its journal, its save set in
//    the configured save directory, or the temporary names these are
//    rewritten under.
//  - With Directories/CommandFiles set (one directory a line, the key
//    repeated), commands read and write only inside those directories;
//    they also read, but never write, inside those of Directories/ReadFiles
//    (the installation's exchange tables and stylesheets).
// Paths are compared resolved: symbolic links and ".." as far as the path
// exists, then lexically; an existing file is also compared by device and
// inode, so a hard link to an own file is refused as well.
//
// A refusal is reported with the path and ends the command with its code.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

#include "util/result.h"

namespace corvanta {

class Service;

enum class FileUse {
  Read,
  Write,
  // Reading for someone who may not read the service's own files either (a
  // script that runs for a user without ADM): -172 for an own file.
  ReadNotOwn,
};

// The rules alone, nothing reported: 0 or the refusal code of
// check_command_file. `within_directories` false leaves out the directory
// rule (a script an administrator runs may reach any directory).
ResultCode command_file_rule(const Service& service, const std::string& path, FileUse use,
                             bool within_directories = true, std::string_view save_set_pool = {});
// The directory rule for a directory a script lists or makes (Write) or
// probes (Read).
ResultCode command_directory_rule(const Service& service, const std::string& dir, FileUse use);

// 0 when a command may use the file `path` as `use`; otherwise the refusal,
// reported: -11 (no path at all), -167 (an own file, for writing), -168 (outside the allowed
// directories) or -240 (there, but no regular file). `save_set_pool` names
// the pool whose save set the command itself writes (SAVE).
ResultCode check_command_file(Service& service, const std::string& path, FileUse use,
                              std::string_view save_set_pool = {});
// 0 when a command may write files in the directory `dir`; -168 (reported)
// when the installation's directories do not include it.
ResultCode check_command_directory(Service& service, const std::string& dir);

// Opens a file named by a parameter for reading. nullptr and `rc` set, the
// failure reported, when it is refused or cannot be opened (-13).
std::FILE* open_command_input(Service& service, const std::string& path, ResultCode& rc);

// A file a command writes. It is written under a temporary name beside its
// place and renamed there by commit(), so that a command that fails half-way
// leaves the previous file as it was and no half-written one.
class CommandOutput {
 public:
  CommandOutput() = default;
  ~CommandOutput();
  CommandOutput(const CommandOutput&) = delete;
  CommandOutput& operator=(const CommandOutput&) = delete;

  // Checks `path` and creates the temporary file: 0, a refusal of
  // check_command_file, or -13; failures are reported.
  ResultCode open(Service& service, const std::string& path);
  std::FILE* stream() const { return stream_; }
  const std::string& path() const { return path_; }
  // Notes that writing failed (reported once, -16); commit() then keeps the
  // old file.
  void write_failed(Service& service);
  bool failed() const { return failed_; }
  // Flushes, syncs and closes the temporary file and renames it into place:
  // 0 or -16 (reported). After a failure the temporary file is removed.
  ResultCode commit(Service& service);

 private:
  void discard();

  std::string path_;
  std::string temp_;
  std::FILE* stream_ = nullptr;
  bool failed_ = false;
};

}  // namespace corvanta
