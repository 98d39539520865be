// Reading dictionary files: lines, labels, statements, items and values.
//
// Internal to the dictionary module. The reader turns the files into a
// sequence of labels and statements; the data and application dictionaries
// give each statement kind its meaning (dict_data.cc, dict_appl.cc).
//
//   - Lines are read with a limit of 99 characters; lines beginning with "*"
//     are comments.
//   - A statement begins with a keyword in column 1; its items are separated
//     by commas; it goes on over lines that begin with a blank or a tab.
//   - A line beginning with "(" is a label; its name runs to ")".
//   - A line beginning with no keyword is skipped without a message.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "config/dict_keywords.h"
#include "config/dictionary.h"

namespace corvanta::dict {

inline constexpr std::size_t kMaxDictionaryLine = 99;

struct Item {
  Kw kw;
  std::string value;      // the text after "=", up to the next comma
  long line = 0;          // line number in its file
  std::string line_text;  // the line it stands on, for error messages
};

// A statement: items[0] names its kind.
struct Statement {
  std::string file;
  std::vector<Item> items;
};

// Callbacks of the reader. A statement handler returns 0 or a code, and in
// `failed` the index of the item that failed.
struct ReaderCallbacks {
  std::function<void(const std::string& label, const std::string& file, long line)> label;
  std::function<ResultCode(const Statement& statement, std::size_t& failed)> statement;
};

// Reads the files in order. Every failing statement is reported as
// "\nERROR-%d IN %s LINE %ld:\n %s" when errors are printed and reading goes
// on with the next statement; without printing the first error ends the
// reading. Returns 0 or the first code.
ResultCode read_dictionary_files(const std::vector<std::string>& paths, ErrorOutput errors,
                                 const ReaderCallbacks& callbacks);

// Prints one error line when errors are printed.
void report_error(ErrorOutput errors, std::int32_t code, std::string_view file, long line,
                  std::string_view text);
// Prints a completion message ("\nLABEL %s NOT DEFINED" and the like).
void report_text(ErrorOutput errors, std::string_view text);

// ---------------------------------------------------------------------------
// Value forms.

// Leading decimal digits; with `hex`, a value beginning with X or x is read
// as hexadecimal after the letter. No digits give 0. Saturates.
std::uint32_t value_number(std::string_view v, bool hex = true);
std::uint16_t value_u16(std::string_view v);
// A character: itself, optionally in single quotes, or "#nnn" for code nnn.
std::optional<char> value_char(std::string_view v);
// A name of at most `max` characters, ending at a blank, ",", ":" or
// `terminator`; in single quotes blanks are allowed and '' is one quote.
std::string value_name(std::string_view v, std::size_t max, char terminator = 0);
// A word of at most `max` characters, ending at a blank or ",".
std::string value_word(std::string_view v, std::size_t max);
// "0": no access; "ALL": 255; else numbers 1 to 8 separated by "+" or blanks.
std::optional<std::uint8_t> value_mask(std::string_view v);
// YES or Y, NO or N.
std::optional<bool> value_yes_no(std::string_view v);
// A TYPE= of a tag or subfield: CHAR, DATETIME, DATE, NUMBER, LINK, MAIN,
// IDNR, URL or YEAR, optionally with "(length)" or "(length:decimals)".
std::optional<ValueType> value_type(std::string_view v);
// A tag with its occurrences: "245", "245(5)", "700(*)" (100). Returns the
// tag, or nullopt when it is not `tag_length` characters.
std::optional<std::string> value_tag(std::string_view v, std::size_t tag_length,
                                     std::uint16_t& max_occurrence);

}  // namespace corvanta::dict
