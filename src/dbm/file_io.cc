#include "dbm/file_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace corvanta::dbm {
namespace {

int open_flags(OpenMode mode) {
  switch (mode) {
    case OpenMode::ReadOnly: return O_RDONLY;
    case OpenMode::ReadWrite: return O_RDWR;
    case OpenMode::Create: return O_RDWR | O_CREAT;
    case OpenMode::Truncate: return O_WRONLY | O_CREAT | O_TRUNC;
    case OpenMode::Replace: return O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW;
    // Appended files are never followed through a link: one that points
    // nowhere yet would make the file wherever it points.
    case OpenMode::Append: return O_RDWR | O_CREAT | O_APPEND | O_NOFOLLOW;  // readable for a shared lock
  }
  return O_RDONLY;
}

class PosixFile final : public File {
 public:
  explicit PosixFile(int fd) : fd_(fd) {}
  ~PosixFile() override { close(); }

  ssize_t read_at(void* data, std::size_t size, off_t offset) override {
    auto* p = static_cast<char*>(data);
    std::size_t done = 0;
    while (done < size) {
      const ssize_t n = ::pread(fd_, p + done, size - done, offset + static_cast<off_t>(done));
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return -1;
      if (n == 0) break;
      done += static_cast<std::size_t>(n);
    }
    return static_cast<ssize_t>(done);
  }

  bool write_at(const void* data, std::size_t size, off_t offset) override {
    const auto* p = static_cast<const char*>(data);
    std::size_t done = 0;
    while (done < size) {
      const ssize_t n = ::pwrite(fd_, p + done, size - done, offset + static_cast<off_t>(done));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      done += static_cast<std::size_t>(n);
    }
    return true;
  }

  off_t size() override {
    struct stat st {};
    return ::fstat(fd_, &st) == 0 ? st.st_size : -1;
  }

  bool sync() override { return ::fsync(fd_) == 0; }

  bool close() override {
    if (fd_ < 0) return false;
    const int rc = ::close(fd_);
    fd_ = -1;
    return rc == 0;
  }

  std::size_t append(const void* data, std::size_t size) override {
    for (;;) {
      const ssize_t n = ::write(fd_, data, size);
      if (n < 0 && errno == EINTR) continue;
      return n < 0 ? 0 : static_cast<std::size_t>(n);
    }
  }

  bool truncate(off_t size) override {
    for (;;) {
      if (::ftruncate(fd_, size) == 0) return true;
      if (errno != EINTR) return false;
    }
  }

  bool lock(bool exclusive, bool wait, off_t start, off_t length) override {
    return set_lock(exclusive ? F_WRLCK : F_RDLCK, wait, start, length);
  }
  bool unlock(off_t start, off_t length) override { return set_lock(F_UNLCK, false, start, length); }

  std::pair<std::uint64_t, std::uint64_t> identity() override {
    struct stat st {};
    if (::fstat(fd_, &st) != 0) return {0, 0};
    return {static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
  }

  bool is_at(const std::string& path) override {
    struct stat mine {};
    struct stat named {};
    return ::fstat(fd_, &mine) == 0 && ::stat(path.c_str(), &named) == 0 && mine.st_dev == named.st_dev &&
           mine.st_ino == named.st_ino;
  }

 private:
  // Open-file-description locks: they belong to this open file, so closing
  // another descriptor of the same file does not drop them.
  bool set_lock(short type, bool wait, off_t start, off_t length) {
    struct flock fl {};
    fl.l_type = type;
    fl.l_whence = SEEK_SET;
    fl.l_start = start;
    fl.l_len = length;
    for (;;) {
      if (::fcntl(fd_, wait ? F_OFD_SETLKW : F_OFD_SETLK, &fl) == 0) return true;
      if (errno != EINTR) return false;
    }
  }

  int fd_;
};

// A file of the FaultFileSystem: each call asks the file system first.
class FaultFile final : public File {
 public:
  FaultFile(FaultFileSystem& fs, std::unique_ptr<File> base) : fs_(fs), base_(std::move(base)) {}

  ssize_t read_at(void* data, std::size_t size, off_t offset) override {
    if (fs_.next_fails()) return -1;
    return base_->read_at(data, size, offset);
  }
  bool write_at(const void* data, std::size_t size, off_t offset) override {
    if (fs_.next_fails()) {
      if (fs_.short_write() && size > 1) (void)base_->write_at(data, size / 2, offset);
      return false;
    }
    return base_->write_at(data, size, offset);
  }
  off_t size() override { return fs_.next_fails() ? -1 : base_->size(); }
  bool sync() override { return fs_.next_fails() ? false : base_->sync(); }
  bool close() override {
    const bool fail = fs_.next_fails();
    const bool closed = base_->close();
    return closed && !fail;
  }
  std::size_t append(const void* data, std::size_t size) override {
    if (fs_.next_fails()) return fs_.short_write() && size > 1 ? base_->append(data, size / 2) : 0;
    return base_->append(data, size);
  }
  bool truncate(off_t size) override { return fs_.next_fails() ? false : base_->truncate(size); }
  bool lock(bool exclusive, bool wait, off_t start, off_t length) override {
    return base_->lock(exclusive, wait, start, length);
  }
  bool unlock(off_t start, off_t length) override { return base_->unlock(start, length); }
  bool is_at(const std::string& path) override { return base_->is_at(path); }
  std::pair<std::uint64_t, std::uint64_t> identity() override { return base_->identity(); }

 private:
  FaultFileSystem& fs_;
  std::unique_ptr<File> base_;
};

}  // namespace

std::unique_ptr<File> PosixFileSystem::open(const std::string& path, OpenMode mode) {
  // A name made anew is first cleared, so that no link or file put there
  // is written through; one put there meanwhile fails the exclusive open.
  if (mode == OpenMode::Replace && ::unlink(path.c_str()) != 0 && errno != ENOENT) return nullptr;
  // Opened without blocking, so that a FIFO is refused rather than waited on.
  const int fd = ::open(path.c_str(), open_flags(mode) | O_CLOEXEC | O_NONBLOCK, 0664);
  if (fd < 0) return nullptr;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) ||
      ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0) {
    ::close(fd);
    return nullptr;
  }
  return std::make_unique<PosixFile>(fd);
}

bool PosixFileSystem::remove(const std::string& path) {
  return ::unlink(path.c_str()) == 0;
}

bool PosixFileSystem::exists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
}

bool PosixFileSystem::rename(const std::string& from, const std::string& to) {
  return ::rename(from.c_str(), to.c_str()) == 0;
}

bool PosixFileSystem::link(const std::string& from, const std::string& to) {
  return ::link(from.c_str(), to.c_str()) == 0;
}

bool PosixFileSystem::sync_directory(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  const std::string dir = slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
  const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool ok = ::fsync(fd) == 0;
  return ::close(fd) == 0 && ok;
}

FileSystem& default_file_system() {
  static PosixFileSystem fs;
  return fs;
}

bool FaultFileSystem::next_fails() {
  ++calls_;
  const bool fail = (fail_at_ != 0 && calls_ == fail_at_) || (fail_from_ != 0 && calls_ >= fail_from_);
  if (fail) failed_ = true;
  return fail;
}

std::unique_ptr<File> FaultFileSystem::open(const std::string& path, OpenMode mode) {
  if (next_fails()) return nullptr;
  auto file = base_.open(path, mode);
  if (!file) return nullptr;
  return std::make_unique<FaultFile>(*this, std::move(file));
}

bool FaultFileSystem::remove(const std::string& path) {
  return next_fails() ? false : base_.remove(path);
}

bool FaultFileSystem::exists(const std::string& path) {
  return base_.exists(path);
}

bool FaultFileSystem::rename(const std::string& from, const std::string& to) {
  return next_fails() ? false : base_.rename(from, to);
}

bool FaultFileSystem::link(const std::string& from, const std::string& to) {
  return next_fails() ? false : base_.link(from, to);
}

bool FaultFileSystem::sync_directory(const std::string& path) {
  return next_fails() ? false : base_.sync_directory(path);
}

}  // namespace corvanta::dbm
