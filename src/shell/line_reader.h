// Reading command lines and prompt answers from standard input.
#pragma once

#include <cstdio>
#include <optional>
#include <string>

namespace corvanta {

// Reads one line of at most size - 1 characters. The newline is consumed but
// not stored. A longer line is consumed whole: with `too_long` it comes back
// cut and *too_long is set (a command line that is too long must not run in
// part); without, its rest is read as the next line. A line whose first
// character is "*" is a comment: it is consumed whole and reads as empty.
// The byte 255 is never stored. Returns nullopt at the end of input when
// nothing was read.
std::optional<std::string> read_line(std::FILE* in, std::size_t size, bool* too_long = nullptr);

// How a line that was too long is named in its message: its first 40
// characters and "...".
std::string overlong_line_text(const std::string& line);

}  // namespace corvanta
