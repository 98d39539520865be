// Reading command lines and prompt answers from standard input.
#pragma once

#include <cstdio>
#include <optional>
#include <string>

namespace corvanta {

// Reads one line of at most size - 1 characters. The newline is consumed but
// not stored; a longer line is cut and its rest is read as the next line.
// A line whose first character is "*" is a comment: it is consumed whole and
// reads as empty. The byte 255 is never stored. Returns nullopt at the end
// of input when nothing was read.
std::optional<std::string> read_line(std::FILE* in, std::size_t size);

}  // namespace corvanta
