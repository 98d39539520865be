// Parameter lists: the grammar of a batch command line.
//
// A command line is a command word followed by parameters NAME=VALUE, as in
//   SEARCH POOL=A FILE=001 NO=1
// Parse() turns such a line into a ParamList; handlers read it with get() and
// get_into(), and callers extend it with add(). This module is the one place
// that fixes separators, quoting, case and lengths:
//   - the command word runs from the first character to the first one with a
//     code of 32 or less, is cut to 19 characters and upper-cased;
//   - names run to "=" or a code of 32 or less, cut to 14, upper-cased;
//   - values are read by scan_value(): at most 200 characters, unquoted up to
//     a blank, or in double quotes with "" standing for one quote.
// What does not fit the grammar ends the list quietly. A list has room for a
// fixed number of entries (24 for command lines); further parameters are
// ignored.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace corvanta {

inline constexpr std::size_t kMaxCommandWord = 19;
inline constexpr std::size_t kMaxParamName = 14;
inline constexpr std::size_t kMaxParamValue = 200;
inline constexpr std::size_t kCommandLineEntries = 24;

struct ParamEntry {
  std::string name;   // upper-case, at most 14 characters
  std::string value;  // case as written, at most 200 characters
  bool cut = false;   // the line's value was longer and was cut
};

class ParamList {
 public:
  // A list with room for `capacity` entries; 0 makes a list without entry
  // room, which parse() and add() leave without entries.
  explicit ParamList(std::size_t capacity = kCommandLineEntries) : capacity_(capacity) {}

  // Fills the list from a line; parse({}) empties it.
  void parse(std::string_view line);
  // Value of the first entry named `name` (any case); empty when none.
  std::string_view get(std::string_view name) const;
  // True when an entry of that name exists, even with an empty value.
  bool has(std::string_view name) const;
  // True when that entry's value was cut at 200 characters (commands whose
  // meaning a cut would change refuse it).
  bool was_cut(std::string_view name) const;
  // The entry's value, else `fallback`, cut to `max_len` and optionally
  // upper-cased. An entry present with an empty value gives the empty text.
  std::string get_into(std::string_view name, std::string_view fallback, std::size_t max_len,
                       bool upper_case) const;
  // Appends NAME=text unless an entry of that name exists; `text` is read by
  // scan_value() like a value typed on a command line.
  void add(std::string_view name, std::string_view text);

  const std::string& command() const { return command_; }
  const std::vector<ParamEntry>& entries() const { return entries_; }
  std::size_t count() const { return entries_.size(); }
  std::size_t capacity() const { return capacity_; }
  std::uint32_t job_no = 0;  // set by the dispatcher when the command runs as a job

 private:
  const ParamEntry* find(std::string_view name) const;

  std::string command_;
  std::vector<ParamEntry> entries_;
  std::size_t capacity_;
};

// Reads one value from `source` into `destination` by the value rules and
// returns the number of source characters consumed, quotes included.
// `cut`, when given, says whether the value was cut at 200 characters.
std::size_t scan_value(std::string& destination, std::string_view source, bool* cut = nullptr);

}  // namespace corvanta
