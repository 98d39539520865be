// How values are written: by the bare top-level expression, by print and its
// variants, and by printf with a checked format.
#pragma once
#include <string>
#include <string_view>

#include "psi/value.h"

namespace corvanta::psi {

// Each formatted piece (one number, one string, one array element, one
// formatted value) is cut to this many bytes.
inline constexpr std::size_t kMaxPiece = 1023;

// A bare top-level expression's value: a tab, the value, a newline; arrays
// element by element with their index.
std::string format_top(const Value& v);

// Appends `v` as print writes it: strings unchanged, numbers as "%.8g",
// number arrays without separator, string arrays one element a line
// (absent elements skipped).
void append_print(std::string& out, const Value& v);

// Appends `v` formatted by the printf-style `format`, element by element for
// an array. The format may hold at most one conversion, and it must fit the
// value: "s" for strings; "e f g a" (either case) for numbers, and "d i o u x
// X c" with the number truncated to an integer. Returns false, appending
// nothing, when it does not.
bool append_printf(std::string& out, std::string_view format, const Value& v);

}  // namespace corvanta::psi
