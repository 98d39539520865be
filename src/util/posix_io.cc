#include "util/posix_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace corvanta {

bool read_all_at(int fd, void* data, std::size_t size, off_t offset) {
  auto* p = static_cast<char*>(data);
  while (size > 0) {
    const ssize_t n = ::pread(fd, p, size, offset);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    size -= static_cast<std::size_t>(n);
    offset += n;
  }
  return true;
}

bool write_all_at(int fd, const void* data, std::size_t size, off_t offset) {
  const auto* p = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t n = ::pwrite(fd, p, size, offset);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    size -= static_cast<std::size_t>(n);
    offset += n;
  }
  return true;
}

std::FILE* open_regular_file(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return nullptr;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || ::fcntl(fd, F_SETFL, O_RDONLY) != 0) {
    ::close(fd);
    errno = EINVAL;
    return nullptr;
  }
  std::FILE* in = ::fdopen(fd, "rb");
  if (in == nullptr) ::close(fd);
  return in;
}

std::optional<std::string> read_regular_file(const std::string& path) {
  std::FILE* in = open_regular_file(path);
  if (in == nullptr) return std::nullopt;
  std::string text;
  char buf[8192];
  std::size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, in)) > 0) text.append(buf, n);
  const bool failed = std::ferror(in) != 0;
  std::fclose(in);
  if (failed) return std::nullopt;
  return text;
}

std::FILE* open_output_stream(const std::string& path, const char* mode) {
  const bool append = mode[0] == 'a';
  // A link in its place is not followed (it may point where the name's
  // checks never looked), and only a regular file is written.
  const int fd = ::open(
      path.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | (append ? O_APPEND : 0), 0666);
  if (fd < 0) return nullptr;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || (!append && ::ftruncate(fd, 0) != 0) ||
      ::fcntl(fd, F_SETFL, O_WRONLY | (append ? O_APPEND : 0)) != 0) {
    ::close(fd);
    errno = EINVAL;
    return nullptr;
  }
  std::FILE* out = ::fdopen(fd, append ? "ab" : "wb");
  if (out == nullptr) ::close(fd);
  return out;
}

std::FILE* create_new_file(const std::string& path) {
  if (::unlink(path.c_str()) != 0 && errno != ENOENT) return nullptr;
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
  if (fd < 0) return nullptr;
  std::FILE* out = ::fdopen(fd, "wb");
  if (out == nullptr) ::close(fd);
  return out;
}

std::FILE* open_append_stream(const std::string& path) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NONBLOCK | O_CLOEXEC, 0666);
  if (fd < 0) return nullptr;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || ::fcntl(fd, F_SETFL, O_WRONLY | O_APPEND) != 0) {
    ::close(fd);
    errno = EINVAL;
    return nullptr;
  }
  std::FILE* out = ::fdopen(fd, "a");
  if (out == nullptr) ::close(fd);
  return out;
}

}  // namespace corvanta
