#include "shell/command_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <vector>

#include "search/result_sets.h"
#include "shell/codes.h"
#include "shell/service.h"
#include "util/posix_io.h"
#include "util/text.h"

namespace corvanta {
namespace {

namespace fs = std::filesystem;

constexpr int kMaxExtents = 999;

// Symbolic links and ".." resolved as the system resolves them, as far as
// the path exists (a ".." after a link goes up from where the link
// points), the rest normalised lexically. A path that cannot be resolved
// gives an empty one, which lies in no directory.
fs::path resolved(const std::string& path) {
  std::error_code ec;
  const fs::path absolute = fs::absolute(fs::path(path), ec);
  if (ec) return {};
  fs::path r = fs::weakly_canonical(absolute, ec);
  return ec ? fs::path() : r;
}

// The suffixes under which the service keeps an own file's relatives:
// numbers (extents, job protocols) and its temporary names, in any chain
// (".1", ".0004", ".new", ".1.rst").
bool relative_suffix(std::string_view suffix) {
  if (suffix.empty()) return true;
  if (suffix.front() != '.') return false;
  suffix.remove_prefix(1);
  while (true) {
    const std::size_t dot = suffix.find('.');
    const std::string_view part = suffix.substr(0, dot);
    const bool digits =
        !part.empty() && std::all_of(part.begin(), part.end(), [](char c) { return c >= '0' && c <= '9'; });
    if (!digits && part != "new" && part != "rst" && part != "tmp") return false;
    if (dot == std::string_view::npos) return true;
    suffix.remove_prefix(dot + 1);
  }
}

// The name with `prefix` put before its last component ("../etc/_users.tab").
std::string with_name_prefix(const std::string& path, std::string_view prefix) {
  const std::size_t slash = path.rfind('/');
  const std::size_t first = slash == std::string::npos ? 0 : slash + 1;
  return path.substr(0, first) + std::string(prefix) + path.substr(first);
}

struct OwnFiles {
  std::vector<fs::path> families;                          // the file and its relatives
  std::vector<std::pair<fs::path, std::string>> prefixes;  // directory, name prefix
  std::vector<std::pair<dev_t, ino_t>> inodes;             // of those that exist

  void add(const std::string& path) {
    if (path.empty()) return;
    families.push_back(resolved(path));
    add_inode(path);
  }
  bool add_inode(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return false;
    inodes.emplace_back(st.st_dev, st.st_ino);
    return true;
  }

  bool cover(const fs::path& target, const struct stat* st) const {
    if (st != nullptr &&
        std::find(inodes.begin(), inodes.end(), std::make_pair(st->st_dev, st->st_ino)) != inodes.end()) {
      return true;
    }
    const std::string name = target.filename().string();
    for (const fs::path& own : families) {
      const std::string own_name = own.filename().string();
      if (target.parent_path() == own.parent_path() && name.compare(0, own_name.size(), own_name) == 0 &&
          relative_suffix(std::string_view(name).substr(own_name.size()))) {
        return true;
      }
    }
    for (const auto& [dir, prefix] : prefixes) {
      if (target.parent_path() == dir && name.compare(0, prefix.size(), prefix) == 0) return true;
    }
    return false;
  }
};

OwnFiles own_files(const Service& service, std::string_view save_set_pool) {
  OwnFiles own;
  const config::ConfigTable& configs = service.configs;
  const config::ConfigHandle server = service.state.server_config;
  for (int h = config::kMainConfig; h <= config::kHandleSlots; ++h) {
    if (configs.loaded(h)) own.add(configs.path(h));
  }
  own.add(service.job_protocol_prefix());  // configured or not
  for (const config::ConfigEntry& e : configs.enumerate(server, "Files")) {
    if (!e.has_value) continue;
    own.add(e.value);
    // The files the service keeps under a configured name are its own too.
    if (equal_nocase(e.name, "UserTab")) own.add(with_name_prefix(e.value, "_"));
    if (equal_nocase(e.name, "SetFile")) {
      for (int which = 0; which < 2; ++which) own.add(records::SetFiles::file_name(e.value, which));
    }
  }
  for (const std::string_view section : {"Messages", "Texts"}) {
    for (const config::ConfigEntry& e : configs.enumerate(server, section)) {
      if (e.has_value) own.add(e.value);
    }
  }
  const fs::path save_dir = resolved(configs.get(server, "PoolSave", "Directory"));
  for (const dict::AppPoolDef& pool : service.appl_dictionary.pools()) {
    const std::string base = service.pools.pool_value(pool, "Path");
    own.add(base);
    for (int e = 1; e <= kMaxExtents && !base.empty() && own.add_inode(base + "." + std::to_string(e)); ++e) {
    }
    const std::string journal = service.pools.pool_value(pool, "SaveFile");
    own.add(journal);
    if (!journal.empty()) own.add(with_name_prefix(journal, "T"));
    if (pool.name != save_set_pool) own.prefixes.emplace_back(save_dir, "DD" + pool.name + ".");
  }
  return own;
}

// The directories of Directories/CommandFiles, resolved, and for reading
// those of Directories/ReadFiles too; nullopt without CommandFiles (no
// limit). A directory that cannot be resolved allows nothing.
std::optional<std::vector<fs::path>> allowed_directories(const Service& service, FileUse use) {
  std::vector<fs::path> dirs;
  bool limited = false;
  for (const config::ConfigEntry& e : service.configs.enumerate(service.state.server_config, "Directories")) {
    if (!e.has_value || e.value.empty()) continue;
    const bool commands = equal_nocase(e.name, "CommandFiles");
    limited = limited || commands;
    if (commands || (use != FileUse::Write && equal_nocase(e.name, "ReadFiles"))) {
      fs::path dir = resolved(e.value);
      if (!dir.empty()) dirs.push_back(std::move(dir));
    }
  }
  if (!limited) return std::nullopt;
  return dirs;
}

bool within(const fs::path& target, const fs::path& dir) {
  auto t = target.begin();
  for (auto d = dir.begin(); d != dir.end(); ++d, ++t) {
    if (d->empty()) continue;  // the empty last piece of "dir/"
    if (t == target.end() || *t != *d) return false;
  }
  return true;
}

ResultCode refuse(Service& service, const std::string& path, std::int32_t code) {
  service.reporter.error_message(path, code);
  return code;
}

// 0, or -168 when Directories/CommandFiles are set and none of the
// directories allowed for `use` holds `target`.
ResultCode directory_rule(const Service& service, const fs::path& target, FileUse use) {
  const std::optional<std::vector<fs::path>> dirs = allowed_directories(service, use);
  if (!dirs) return 0;
  for (const fs::path& dir : *dirs) {
    if (within(target, dir)) return 0;
  }
  return codes::kOutsideDirectories;
}

// Syncs the directory holding `path`, so that a rename in it is durable.
bool sync_parent(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  const std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool ok = ::fsync(fd) == 0;
  ::close(fd);
  return ok;
}

}  // namespace

ResultCode command_file_rule(const Service& service, const std::string& path, FileUse use,
                             bool within_directories, std::string_view save_set_pool) {
  if (path.empty()) return codes::kMissingParameter;  // no file named at all
  struct stat st {};
  const bool exists = ::stat(path.c_str(), &st) == 0;
  if (exists && !S_ISREG(st.st_mode)) return codes::kNotARegularFile;
  const fs::path target = resolved(path);
  if (within_directories) {
    if (const ResultCode rc = directory_rule(service, target, use); rc.failed()) return rc;
  }
  if (use != FileUse::Read && own_files(service, save_set_pool).cover(target, exists ? &st : nullptr)) {
    return use == FileUse::Write ? codes::kOwnFile : codes::kOwnFileRead;
  }
  return 0;
}

ResultCode command_directory_rule(const Service& service, const std::string& dir, FileUse use) {
  return directory_rule(service, resolved(dir), use);
}

ResultCode check_command_file(Service& service, const std::string& path, FileUse use,
                              std::string_view save_set_pool) {
  const ResultCode rc = command_file_rule(service, path, use, true, save_set_pool);
  return rc.failed() ? refuse(service, path, rc.code()) : rc;
}

ResultCode check_command_directory(Service& service, const std::string& dir) {
  const ResultCode rc = command_directory_rule(service, dir, FileUse::Write);
  return rc.failed() ? refuse(service, dir, rc.code()) : rc;
}

std::FILE* open_command_input(Service& service, const std::string& path, ResultCode& rc) {
  rc = check_command_file(service, path, FileUse::Read);
  if (rc.failed()) return nullptr;
  std::FILE* in = open_regular_file(path);  // a FIFO put there meanwhile is refused too
  if (in == nullptr) {
    rc = errno == EINVAL ? codes::kNotARegularFile : codes::kCannotOpenFile;
    service.reporter.error_message(path, rc.code());
  }
  return in;
}

CommandOutput::~CommandOutput() {
  discard();
}

void CommandOutput::discard() {
  if (stream_ != nullptr) std::fclose(stream_);
  stream_ = nullptr;
  if (!temp_.empty()) ::unlink(temp_.c_str());
  temp_.clear();
}

ResultCode CommandOutput::open(Service& service, const std::string& path) {
  discard();
  path_ = path;
  failed_ = false;
  if (const ResultCode rc = check_command_file(service, path, FileUse::Write); rc.failed()) return rc;
  // The temporary file is new (O_EXCL), so no link put in its place is
  // followed.
  std::string temp = with_name_prefix(path, ".") + ".XXXXXX";
  const int fd = ::mkstemp(temp.data());
  if (fd >= 0) {
    // The new file keeps the permissions of the one it replaces.
    const mode_t mask = ::umask(0);
    ::umask(mask);
    struct stat st {};
    (void)::fchmod(fd, ::stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0666 & ~mask);
    stream_ = ::fdopen(fd, "wb");
    if (stream_ == nullptr) ::close(fd);
    temp_ = temp;
  }
  if (stream_ == nullptr) {
    discard();
    return refuse(service, path, codes::kCannotOpenFile);
  }
  return 0;
}

void CommandOutput::write_failed(Service& service) {
  if (!failed_) service.reporter.error_message(path_, codes::kCannotWriteFile);
  failed_ = true;
}

ResultCode CommandOutput::commit(Service& service) {
  if (stream_ == nullptr) return failed_ ? codes::kCannotWriteFile : codes::kCannotOpenFile;
  bool ok = !failed_ && std::fflush(stream_) == 0 && ::fsync(::fileno(stream_)) == 0;
  ok = std::fclose(stream_) == 0 && ok;
  stream_ = nullptr;
  ok = ok && ::rename(temp_.c_str(), path_.c_str()) == 0;
  if (ok) {
    temp_.clear();
    (void)sync_parent(path_);
    return 0;
  }
  write_failed(service);
  discard();
  return codes::kCannotWriteFile;
}

}  // namespace corvanta
