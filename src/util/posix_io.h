// Whole-buffer reads and writes on POSIX file descriptors, retrying short
// transfers and interrupted calls. For the shell's small binary files (job
// file, sequence file, users table); the database manager has its own file
// interface.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdio>
#include <optional>
#include <string>

namespace corvanta {

// Reads exactly `size` bytes at `offset`; false on an error or end of file.
bool read_all_at(int fd, void* data, std::size_t size, off_t offset);
// Writes exactly `size` bytes at `offset`; false on an error.
bool write_all_at(int fd, const void* data, std::size_t size, off_t offset);

// Opens `path` for reading as a stream, only when it is a regular file:
// nullptr otherwise, without blocking on a FIFO. errno tells why (ENOENT
// when it does not exist, EINVAL when it is no regular file).
std::FILE* open_regular_file(const std::string& path);
// The whole content of a regular file; nullopt as for open_regular_file or
// on a read error.
std::optional<std::string> read_regular_file(const std::string& path);
// Opens `path` as a stream for writing ("w": emptied) or appending ("a"),
// created when missing, refusing a path that names something other than a
// regular file (a FIFO, a device, a directory: nullptr with errno EINVAL)
// or a symbolic link (ELOOP). For files a script writes.
std::FILE* open_output_stream(const std::string& path, const char* mode);
// Makes `path` anew for writing: a file or link of that name is removed
// first and the new file is created exclusively, so that nothing put there
// is written through. For the program's own files that are written whole
// (temporary copies, protocols). nullptr on failure.
std::FILE* create_new_file(const std::string& path);
// Opens `path` for appending, created when missing; a FIFO, device or
// directory is refused (nullptr, errno EINVAL) without waiting. For logs.
std::FILE* open_append_stream(const std::string& path);

}  // namespace corvanta
