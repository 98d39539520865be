#include "config/dict_reader.h"

#include <climits>
#include <cstdio>

#include "util/posix_io.h"
#include "util/text.h"

namespace corvanta::dict {
namespace {

// Lines of one dictionary file, read with the line limit; a longer line goes
// on as the next line.
class LineSource {
 public:
  explicit LineSource(std::FILE* in) : in_(in) {}

  std::optional<std::string> next() {
    std::string line;
    int c;
    bool any = false;
    while (line.size() < kMaxDictionaryLine && (c = std::getc(in_)) != EOF) {
      any = true;
      if (c == '\n') break;
      line += static_cast<char>(c);
    }
    if (!any) return std::nullopt;
    ++number_;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return line;
  }
  long number() const { return number_; }

 private:
  std::FILE* in_;
  long number_ = 0;
};

bool starts_statement(std::string_view line) {
  return !line.empty() && static_cast<unsigned char>(line.front()) > ' ' && line.front() != '*';
}

bool continues_statement(std::string_view line) {
  return !line.empty() && (line.front() == ' ' || line.front() == '\t');
}

// Splits a line (or its continuation) into items; texts that begin with no
// keyword are skipped. Commas inside single quotes do not separate items.
void add_items(std::string_view text, long line, const std::string& line_text, std::vector<Item>& items) {
  std::size_t i = 0;
  while (i <= text.size()) {
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
    const std::size_t start = i;
    bool quoted = false;
    while (i < text.size() && (quoted || text[i] != ',')) {
      if (text[i] == '\'') quoted = !quoted;
      ++i;
    }
    const std::string_view piece = text.substr(start, i - start);
    if (const auto kw = match_keyword(piece)) {
      items.push_back({*kw, std::string(piece.substr(keyword_text(*kw).size())), line, line_text});
    }
    ++i;  // past the comma
  }
}

ResultCode read_file(const std::string& path, ErrorOutput errors, const ReaderCallbacks& callbacks) {
  std::FILE* in = open_regular_file(path);
  if (in == nullptr) {
    report_error(errors, kCannotOpen, path, 0, "");
    return kCannotOpen;
  }
  LineSource lines(in);
  ResultCode first_error = 0;
  std::optional<std::string> pending = lines.next();
  while (pending) {
    const std::string line = std::move(*pending);
    const long line_no = lines.number();
    pending = lines.next();
    if (!starts_statement(line)) continue;
    if (line.front() == '(') {
      const std::size_t close = line.find(')');
      callbacks.label(std::string(cut_to(std::string_view(line).substr(
                                             1, close == std::string::npos ? std::string::npos : close - 1),
                                         kMaxLabel)),
                      path, line_no);
      continue;
    }
    if (!match_keyword(line)) continue;  // a line without keyword is skipped silently

    Statement statement{path, {}};
    add_items(line, line_no, line, statement.items);
    while (pending && (continues_statement(*pending) || (!pending->empty() && pending->front() == '*'))) {
      if (pending->front() != '*') add_items(*pending, lines.number(), *pending, statement.items);
      pending = lines.next();
    }
    std::size_t failed = 0;
    const ResultCode rc = callbacks.statement(statement, failed);
    if (rc.failed()) {
      const Item& item = statement.items[failed < statement.items.size() ? failed : 0];
      report_error(errors, rc.code(), path, item.line, item.line_text);
      if (first_error.ok()) first_error = rc;
      if (errors.stream == nullptr || rc.code() == kOutOfMemory) break;
    }
  }
  std::fclose(in);
  return first_error;
}

}  // namespace

void report_error(ErrorOutput errors, std::int32_t code, std::string_view file, long line,
                  std::string_view text) {
  if (errors.stream == nullptr) return;
  std::fprintf(errors.stream, "\nERROR-%d IN %.*s LINE %ld:\n %.*s", code < 0 ? -code : code,
               static_cast<int>(file.size()), file.data(), line, static_cast<int>(text.size()), text.data());
  std::fflush(errors.stream);
}

void report_text(ErrorOutput errors, std::string_view text) {
  if (errors.stream == nullptr) return;
  std::fwrite(text.data(), 1, text.size(), errors.stream);
  std::fflush(errors.stream);
}

ResultCode read_dictionary_files(const std::vector<std::string>& paths, ErrorOutput errors,
                                 const ReaderCallbacks& callbacks) {
  ResultCode first_error = 0;
  for (const std::string& path : paths) {
    const ResultCode rc = read_file(path, errors, callbacks);
    if (rc.failed() && first_error.ok()) first_error = rc;
    if (rc.failed() && (errors.stream == nullptr || rc.code() == kOutOfMemory)) break;
  }
  return first_error;
}

// ---------------------------------------------------------------------------

std::uint32_t value_number(std::string_view v, bool hex) {
  std::uint64_t n = 0;
  if (hex && !v.empty() && (v.front() == 'X' || v.front() == 'x')) {
    for (std::size_t i = 1; i < v.size(); ++i) {
      const char c = ascii_upper(v[i]);
      const int digit = c >= '0' && c <= '9' ? c - '0' : (c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1);
      if (digit < 0) break;
      n = n * 16 + static_cast<unsigned>(digit);
      if (n > UINT32_MAX) return UINT32_MAX;
    }
    return static_cast<std::uint32_t>(n);
  }
  for (char c : v) {
    if (c < '0' || c > '9') break;
    n = n * 10 + static_cast<unsigned>(c - '0');
    if (n > UINT32_MAX) return UINT32_MAX;
  }
  return static_cast<std::uint32_t>(n);
}

std::uint16_t value_u16(std::string_view v) {
  const std::uint32_t n = value_number(v);
  return static_cast<std::uint16_t>(n > 65535 ? 65535 : n);
}

std::optional<char> value_char(std::string_view v) {
  if (v.empty()) return std::nullopt;
  if (v.size() >= 4 && v[0] == '#' && v[1] >= '0' && v[1] <= '9' && v[2] >= '0' && v[2] <= '9' &&
      v[3] >= '0' && v[3] <= '9') {
    const int code = (v[1] - '0') * 100 + (v[2] - '0') * 10 + (v[3] - '0');
    if (code > 255) return std::nullopt;
    return static_cast<char>(code);
  }
  if (v.size() >= 3 && v[0] == '\'' && v[2] == '\'') return v[1];
  return v.front();
}

std::string value_name(std::string_view v, std::size_t max, char terminator) {
  std::string out;
  if (!v.empty() && v.front() == '\'') {
    for (std::size_t i = 1; i < v.size() && out.size() < max; ++i) {
      if (v[i] == '\'') {
        if (i + 1 < v.size() && v[i + 1] == '\'') {
          out += '\'';
          ++i;
          continue;
        }
        break;
      }
      out += v[i];
    }
    return out;
  }
  for (char c : v) {
    if (c == ' ' || c == ',' || c == ':' || c == '\t' || (terminator != 0 && c == terminator)) break;
    if (out.size() == max) break;
    out += c;
  }
  return out;
}

std::string value_word(std::string_view v, std::size_t max) {
  std::string out;
  for (char c : v) {
    if (c == ' ' || c == ',' || c == '\t' || out.size() == max) break;
    out += c;
  }
  return out;
}

std::optional<std::uint8_t> value_mask(std::string_view v) {
  v = trim_blanks(v);
  if (v == "0") return std::uint8_t{0};
  if (v.substr(0, 3) == "ALL") return kAllAccess;
  std::uint8_t mask = 0;
  bool any = false;
  for (std::size_t i = 0; i < v.size();) {
    if (v[i] == '+' || v[i] == ' ') {
      ++i;
      continue;
    }
    if (v[i] < '1' || v[i] > '8' || (i + 1 < v.size() && v[i + 1] >= '0' && v[i + 1] <= '9')) {
      return std::nullopt;
    }
    mask = static_cast<std::uint8_t>(mask | (1u << (v[i] - '1')));
    any = true;
    ++i;
  }
  if (!any) return std::nullopt;
  return mask;
}

std::optional<bool> value_yes_no(std::string_view v) {
  const std::string w = value_word(v, 3);
  if (w == "YES" || w == "Y") return true;
  if (w == "NO" || w == "N") return false;
  return std::nullopt;
}

std::optional<ValueType> value_type(std::string_view v) {
  struct Name {
    std::string_view word;
    std::uint8_t code;
  };
  // DATETIME stands before DATE: a value is taken by the first word it
  // begins with.
  constexpr Name kNames[] = {{"CHAR", 1}, {"DATETIME", 6}, {"DATE", 5}, {"NUMBER", 4}, {"LINK", 2},
                             {"MAIN", 0}, {"IDNR", 2},     {"URL", 7},  {"YEAR", 1}};
  ValueType type;
  std::size_t used = 0;
  bool found = false;
  for (const Name& n : kNames) {
    if (v.substr(0, n.word.size()) == n.word) {
      type.code = n.code;
      type.link = n.word == "LINK";
      type.main = n.word == "MAIN";
      type.year = n.word == "YEAR";
      used = n.word.size();
      found = true;
      break;
    }
  }
  if (!found) return std::nullopt;
  std::string_view rest = v.substr(used);
  if (!rest.empty() && rest.front() == '(') {
    const std::size_t close = rest.find(')');
    if (close == std::string_view::npos) return std::nullopt;
    const std::string_view inside = rest.substr(1, close - 1);
    type.length = value_u16(inside);
    const std::size_t colon = inside.find(':');
    if (colon != std::string_view::npos) {
      const std::uint32_t d = value_number(inside.substr(colon + 1), false);
      type.decimals = static_cast<std::uint8_t>(d > 255 ? 255 : d);
    }
  }
  return type;
}

std::optional<std::string> value_tag(std::string_view v, std::size_t tag_length,
                                     std::uint16_t& max_occurrence) {
  max_occurrence = 1;
  if (v.size() < tag_length) return std::nullopt;
  const std::string tag(v.substr(0, tag_length));
  for (char c : tag) {
    if (static_cast<unsigned char>(c) <= ' ' || c == ',' || c == '(' || c == '\'') return std::nullopt;
  }
  std::string_view rest = trim_blanks(v.substr(tag_length));
  if (rest.empty()) return tag;
  if (rest.front() != '(') return std::nullopt;
  if (rest.substr(0, 3) == "(*)") {
    max_occurrence = 100;
  } else {
    const std::uint16_t n = value_u16(rest.substr(1));
    if (n == 0 || rest.find(')') == std::string_view::npos) return std::nullopt;
    max_occurrence = n;
  }
  return tag;
}

}  // namespace corvanta::dict
