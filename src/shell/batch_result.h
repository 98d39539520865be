// The result of a batch command: a short text and result rows.
//
// Handlers write rows into the BatchResult with RowWriter; the command loop
// prints them with print_rows(). A row is text, numbers in ASCII decimal with
// leading zeros, rows back to back:
//
//   row header, 8 bytes   0  4  total length of the row, header included
//                                (written last, at most 9999)
//                         4  3  number of fields
//                         7  1  row type of the display definition ("U": none)
//   field, 13 + n bytes   0  4  field length, header included
//                         4  3  column width in percent of the screen line
//                         7  1  attribute ("U": none; blank for an empty text)
//                         8  2  two-character code ("01": none)
//                        10  3  three-character code ("C01": none)
//                        13  n  the text
// A picture field has "bitmap" in bytes 7-12 (" itmap" when empty). Texts
// are cut so that no row exceeds 9999 bytes.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "util/byte_buffer.h"

namespace corvanta {

inline constexpr std::size_t kMaxRowLength = 9999;
inline constexpr std::size_t kRowHeaderLength = 8;
inline constexpr std::size_t kFieldHeaderLength = 13;
inline constexpr std::size_t kMaxResultText = 103;

struct BatchResult {
  explicit BatchResult(std::size_t row_capacity) : buffer(row_capacity) {}

  // Clears what one command leaves behind; set_no is kept between commands.
  void clear_for_command() {
    text.clear();
    first = 0;
    rows = 0;
    next = 0;
    buffer.clear();
  }

  std::string text;          // a short text of the handler's, at most 103 characters
  std::uint32_t set_no = 0;  // result set of the last retrieval
  std::uint32_t first = 0;
  std::uint32_t rows = 0;  // rows in `buffer`
  std::uint32_t next = 0;
  ByteBuffer buffer;
};

// How a field is shown: the parts of a display definition a row carries.
struct FieldStyle {
  int width_percent = 100;
  char attribute = 'U';
  std::string_view code2 = "01";
  std::string_view code3 = "C01";
  bool picture = false;  // display type "BMP"
};

// Builds one row at the end of a result's buffer. Fields are added in order;
// finish() writes the row length and counts the row.
class RowWriter {
 public:
  RowWriter(BatchResult& result, char row_type = 'U');
  void add_field(std::string_view text, const FieldStyle& style = {});
  void finish();

 private:
  BatchResult& result_;
  std::size_t start_;
  int fields_ = 0;
};

// Adds a row of one field with the given text.
void add_text_row(BatchResult& result, std::string_view text);

// Prints the rows between "---" lines. Each field gets (80 - n) * width / 100
// characters of a row of n fields, cut or blank-padded, fields separated by
// one blank; a field text with line breaks goes on in its column on further
// lines. After every 20th row (zero-based rows 20, 40, ...) prints "\n..."
// and, when `pause_input` is given, waits for one character from it.
void print_rows(const BatchResult& result, std::FILE* out, std::FILE* pause_input);

}  // namespace corvanta
