#include "util/posix_io.h"

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

}  // namespace corvanta
