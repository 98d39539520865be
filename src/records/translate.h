// Character translation tables: byte sequences to byte sequences.
//
// A table file holds lines "SOURCE TARGET", each a sequence of up to 8
// decimal byte values joined by "+" (a value above 255 counts as 0; a 0 ends
// the sequence), for example
//
//   LETPASS=ALL        (before the first mapping: no UTF-8 check)
//   196  65+101        (the byte 196 becomes "Ae")
//   97+101  228        ("ae" becomes the byte 228)
//
// Lines not beginning with a digit are ignored. A byte maps to one byte
// through a table of 256 entries (0: no mapping; 255: the sequence list
// decides); sequences go into a list searched in order. With the UTF-8
// check on, a sequence's target is written only when it is exactly one
// well-formed UTF-8 character.
//
// A Unicode-based table (a definition of type UTF8) instead decodes a
// character set into UTF-8 (NFC) with a decoder of charset.h: MARC-8 or
// ISO 5426, named by the definition's PATH. It has no byte map and ignores
// the escape modes.
//
// Translations is the registry of loaded tables, looked up by name in load
// order; the service owns one. Single-threaded.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "records/charset.h"
#include "util/result.h"

namespace corvanta::dict {
class DataDictionary;
}

namespace corvanta::records {

inline constexpr std::size_t kMaxSequence = 8;
inline constexpr std::int32_t kTranslationFailed = -147;

// Translation modes.
inline constexpr int kPlain = 0;
inline constexpr int kReadEscapes = 1;
inline constexpr int kWriteEscapes = 2;
inline constexpr int kBothEscapes = 3;

struct Sequence {
  std::string source;  // 1 to 8 bytes
  std::string target;  // 0 to 8 bytes
};

class TranslationTable {
 public:
  explicit TranslationTable(std::string name);
  // A Unicode-based table: decodes `set` into UTF-8.
  TranslationTable(std::string name, Charset set);

  // Reads a table file; false when it cannot be opened.
  bool load_file(const std::string& path, char escape);
  void load_text(std::string_view text, char escape);

  std::string translate(std::string_view input, int mode, char escape) const;

  const std::string& name() const { return name_; }
  const std::array<std::uint8_t, 256>& map() const { return map_; }
  const std::vector<Sequence>& sequences() const { return sequences_; }
  bool utf8_check() const { return utf8_check_; }
  // The decoder of a Unicode-based table; none for a byte table.
  std::optional<Charset> charset() const { return charset_; }

 private:
  void read_line(std::string_view line, char escape);
  void add_sequence(Sequence entry);

  std::string name_;
  std::array<std::uint8_t, 256> map_{};
  std::vector<Sequence> sequences_;
  bool utf8_check_ = true;
  bool mapping_seen_ = false;
  std::optional<Charset> charset_;
};

class Translations {
 public:
  // Loads a table under `name`: 0, or -1 when the file cannot be opened.
  ResultCode load(const std::string& name, const std::string& path, char escape);
  // Registers the tables of the pool definitions (TRANSL=) in their order,
  // a definition of type UTF8 as a Unicode-based table whose PATH names its
  // character set; the first that cannot be loaded (or names no known set)
  // ends it with -147.
  ResultCode register_definitions(const dict::DataDictionary& data, char escape);
  const TranslationTable* find(std::string_view name) const;
  // Translates through the table of that name; a name without table gives
  // the empty text.
  std::string translate(std::string_view name, std::string_view input, int mode, char escape) const;
  void clear() { tables_.clear(); }

 private:
  std::vector<TranslationTable> tables_;
};

// True when `bytes` is exactly one well-formed UTF-8 character.
bool is_one_utf8_character(std::string_view bytes);

}  // namespace corvanta::records
