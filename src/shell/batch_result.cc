#include "shell/batch_result.h"

#include <algorithm>
#include <cstdio>
#include <vector>

namespace corvanta {
namespace {

std::string digits(std::size_t value, int width) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%0*zu", width, value);
  return buf;
}

// Reads a fixed-width decimal number; -1 when a byte is not a digit.
long read_number(std::string_view s) {
  long v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return -1;
    v = v * 10 + (c - '0');
  }
  return v;
}

std::string padded(std::string_view s, std::size_t width) {
  std::string out(s.substr(0, std::min(width, s.size())));
  out.resize(width, ' ');
  return out;
}

// One field of a row as printed: its text and its column width.
struct Cell {
  std::string_view text;
  std::size_t width;
};

// The output lines of a row: each field cut or padded to its width, fields
// separated by one blank. A field whose text holds line breaks (such as a
// listing in one field) continues on further lines in its own column.
std::string format_row(const std::vector<Cell>& cells) {
  std::vector<std::vector<std::string_view>> parts;
  std::size_t height = 1;
  for (const Cell& cell : cells) {
    std::vector<std::string_view> lines;
    std::string_view text = cell.text;
    for (std::size_t nl; (nl = text.find('\n')) != std::string_view::npos;) {
      lines.push_back(text.substr(0, nl));
      text.remove_prefix(nl + 1);
    }
    if (!text.empty() || lines.empty()) lines.push_back(text);
    height = std::max(height, lines.size());
    parts.push_back(std::move(lines));
  }
  std::string out;
  for (std::size_t l = 0; l < height; ++l) {
    for (std::size_t f = 0; f < cells.size(); ++f) {
      if (f > 0) out += ' ';
      out += padded(l < parts[f].size() ? parts[f][l] : std::string_view(), cells[f].width);
    }
    out += '\n';
  }
  return out;
}

}  // namespace

RowWriter::RowWriter(BatchResult& result, char row_type) : result_(result), start_(result.buffer.length()) {
  result_.buffer.append("0000000");
  result_.buffer.append(std::string_view(&row_type, 1));
}

void RowWriter::add_field(std::string_view text, const FieldStyle& style) {
  const std::size_t used = result_.buffer.length() - start_;
  const std::size_t room =
      kMaxRowLength > used + kFieldHeaderLength ? kMaxRowLength - used - kFieldHeaderLength : 0;
  if (room == 0 && used + kFieldHeaderLength > kMaxRowLength) return;  // no room for a header
  text = text.substr(0, std::min(text.size(), room));
  std::string header = digits(kFieldHeaderLength + text.size(), 4);
  const int width = std::clamp(style.width_percent, 0, 999);
  header += digits(static_cast<std::size_t>(width), 3);
  if (style.picture) {
    header += text.empty() ? " itmap" : "bitmap";
  } else {
    header += text.empty() ? ' ' : style.attribute;
    header += padded(style.code2, 2);
    header += padded(style.code3, 3);
  }
  result_.buffer.append(header);
  result_.buffer.append(text);
  ++fields_;
}

void RowWriter::finish() {
  const std::size_t length = std::min(result_.buffer.length() - start_, kMaxRowLength);
  result_.buffer.overwrite(start_, digits(length, 4) + digits(static_cast<std::size_t>(fields_), 3));
  ++result_.rows;
}

void add_text_row(BatchResult& result, std::string_view text) {
  RowWriter row(result);
  row.add_field(text);
  row.finish();
}

void print_rows(const BatchResult& result, std::FILE* out, std::FILE* pause_input) {
  const std::string_view data = result.buffer.view();
  if (data.empty()) return;
  std::fputs("---\n", out);
  std::size_t pos = 0;
  for (std::uint32_t printed = 0; printed < result.rows && pos < data.size(); ++printed) {
    const long row_length = read_number(data.substr(pos, 4));
    const long field_count = read_number(data.substr(pos + 4, 3));
    if (row_length < static_cast<long>(kRowHeaderLength) || field_count < 0 ||
        pos + static_cast<std::size_t>(row_length) > data.size()) {
      break;  // a damaged row ends the printing
    }
    const std::string_view row = data.substr(pos, static_cast<std::size_t>(row_length));
    std::vector<Cell> cells;
    std::size_t fpos = kRowHeaderLength;
    for (long f = 0; f < field_count && fpos + kFieldHeaderLength <= row.size(); ++f) {
      const long flen = read_number(row.substr(fpos, 4));
      const long percent = read_number(row.substr(fpos + 4, 3));
      if (flen < static_cast<long>(kFieldHeaderLength) || percent < 0 ||
          fpos + static_cast<std::size_t>(flen) > row.size()) {
        break;
      }
      const std::string_view text =
          row.substr(fpos + kFieldHeaderLength, static_cast<std::size_t>(flen) - kFieldHeaderLength);
      cells.push_back({text, static_cast<std::size_t>(std::max(0L, (80 - field_count) * percent / 100))});
      fpos += static_cast<std::size_t>(flen);
    }
    const std::string lines = format_row(cells);
    std::fwrite(lines.data(), 1, lines.size(), out);
    pos += static_cast<std::size_t>(row_length);
    if (printed > 0 && printed % 20 == 0) {
      std::fputs("\n...", out);
      std::fflush(out);
      // The answer's newline ends the "..." line on a terminal; without one
      // the service ends it itself.
      if (pause_input != nullptr)
        (void)std::getc(pause_input);
      else
        std::fputc('\n', out);
    }
  }
  std::fputs("---\n", out);
  std::fflush(out);
}

}  // namespace corvanta
