#include "psi/print.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <optional>

namespace corvanta::psi {
namespace {

void append_cut(std::string& out, std::string_view piece) {
  out += piece.substr(0, kMaxPiece);
}

std::string number_text(double d) {
  // Whole numbers below 10^8 print as "%.8g" prints them, without the cost of
  // a floating-point conversion.
  if (d == std::trunc(d) && std::fabs(d) < 1e8 && !(d == 0 && std::signbit(d))) {
    char buf[16];
    const auto end = std::to_chars(buf, buf + sizeof buf, static_cast<long>(d)).ptr;
    return std::string(buf, end);
  }
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.8g", d);
  return buf;
}

// A printf format reduced to what it may hold: its conversion character (0 if
// none) and the format rebuilt with the argument type's length modifier.
struct CheckedFormat {
  char conversion = 0;
  std::string format;
};

// The width or precision at `i` (digits, possibly none), moved past. A piece
// is cut to kMaxPiece bytes anyway, so a larger number is taken as
// kMaxPiece: the text is the same, without formatting gigabytes first.
std::string bounded_number(std::string_view format, std::size_t& i) {
  const std::size_t start = i;
  std::size_t n = 0;
  while (i < format.size() && format[i] >= '0' && format[i] <= '9') {
    n = std::min<std::size_t>(n * 10 + static_cast<std::size_t>(format[i] - '0'), kMaxPiece);
    ++i;
  }
  return i == start ? std::string() : std::to_string(n);
}

std::optional<CheckedFormat> check_format(std::string_view format) {
  CheckedFormat checked;
  for (std::size_t i = 0; i < format.size(); ++i) {
    const char c = format[i];
    checked.format += c;
    if (c != '%') continue;
    if (i + 1 < format.size() && format[i + 1] == '%') {
      checked.format += '%';
      ++i;
      continue;
    }
    if (checked.conversion != 0) return std::nullopt;  // a second conversion
    ++i;
    while (i < format.size() && std::string_view("-+ #0").find(format[i]) != std::string_view::npos) {
      checked.format += format[i++];
    }
    checked.format += bounded_number(format, i);
    if (i < format.size() && format[i] == '.') {
      checked.format += format[i++];
      checked.format += bounded_number(format, i);
    }
    while (i < format.size() && std::string_view("hlLqjzt").find(format[i]) != std::string_view::npos) ++i;
    if (i >= format.size()) return std::nullopt;
    const char conv = format[i];
    if (std::string_view("sdiouxXceEfFgGaA").find(conv) == std::string_view::npos) return std::nullopt;
    if (std::string_view("diouxX").find(conv) != std::string_view::npos) checked.format += "ll";
    checked.format += conv;
    checked.conversion = conv;
  }
  return checked;
}

bool fits(char conversion, ValueKind kind) {
  if (conversion == 0) return true;
  if (kind == ValueKind::String || kind == ValueKind::StringArray) return conversion == 's';
  return conversion != 's';
}

void append_one(std::string& out, const CheckedFormat& f, const Value& v) {
  char buf[kMaxPiece + 1];
  const char* fmt = f.format.c_str();
  if (f.conversion == 0) {
    std::snprintf(buf, sizeof buf, fmt, 0);  // the text itself; the argument goes unused
  } else if (v.kind() == ValueKind::String) {
    std::snprintf(buf, sizeof buf, fmt, v.str().c_str());
  } else {
    const double d = v.num();
    switch (f.conversion) {
      case 'd':
      case 'i': std::snprintf(buf, sizeof buf, fmt, static_cast<long long>(to_int64(d))); break;
      case 'o':
      case 'u':
      case 'x':
      case 'X': std::snprintf(buf, sizeof buf, fmt, static_cast<unsigned long long>(to_int64(d))); break;
      case 'c': std::snprintf(buf, sizeof buf, fmt, to_int(d) & 0xFF); break;
      default: std::snprintf(buf, sizeof buf, fmt, d);
    }
  }
  out += buf;
}

}  // namespace

std::string format_top(const Value& v) {
  std::string out;
  switch (v.kind()) {
    case ValueKind::Number:
      out = '\t';
      out += number_text(v.num());
      out += '\n';
      break;
    case ValueKind::String:
      out = "\t\"";
      append_cut(out, v.str());
      out += "\"\n";
      break;
    case ValueKind::NumberArray:
      for (std::size_t i = 0; i < v.nums().size(); ++i) {
        out += '\t';
        out += std::to_string(i);
        out += ":\t";
        out += number_text(v.nums()[i]);
        out += '\n';
      }
      break;
    case ValueKind::StringArray:
      for (std::size_t i = 0; i < v.strs().size(); ++i) {
        out += '\t';
        out += std::to_string(i);
        out += ":\t\"";
        if (v.strs()[i]) append_cut(out, *v.strs()[i]);
        out += "\"\n";
      }
      break;
    default: break;
  }
  return out;
}

void append_print(std::string& out, const Value& v) {
  switch (v.kind()) {
    case ValueKind::Number: out += number_text(v.num()); break;
    case ValueKind::String: append_cut(out, v.str()); break;
    case ValueKind::NumberArray:
      for (const double d : v.nums()) out += number_text(d);
      break;
    case ValueKind::StringArray:
      for (const auto& s : v.strs()) {
        if (!s) continue;
        append_cut(out, *s);
        out += '\n';
      }
      break;
    default: break;
  }
}

bool append_printf(std::string& out, std::string_view format, const Value& v) {
  const auto checked = check_format(format);
  if (!checked || !fits(checked->conversion, v.kind())) return false;
  switch (v.kind()) {
    case ValueKind::NumberArray:
      for (const double d : v.nums()) append_one(out, *checked, Value::number(d));
      break;
    case ValueKind::StringArray:
      for (const auto& s : v.strs()) {
        if (s) append_one(out, *checked, Value::string(s));
      }
      break;
    default: append_one(out, *checked, v);
  }
  return true;
}

}  // namespace corvanta::psi
