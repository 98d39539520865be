#include "records/translate.h"

#include <cstdio>

#include "config/dictionary.h"
#include "util/posix_io.h"

namespace corvanta::records {
namespace {

constexpr std::size_t kMaxLine = 99;
constexpr std::uint8_t kNoMapping = 0;
constexpr std::uint8_t kBySequence = 255;

bool is_digit(char c) {
  return c >= '0' && c <= '9';
}

// A sequence: decimal values joined by "+", ending at a blank, tab or the
// end; a 0 ends it; at most 8 values.
std::string read_sequence(std::string_view line, std::size_t& i) {
  std::string out;
  bool ended = false;
  while (i < line.size() && line[i] != ' ' && line[i] != '\t') {
    unsigned value = 0;
    bool any = false;
    while (i < line.size() && is_digit(line[i])) {
      value = std::min(value * 10 + static_cast<unsigned>(line[i] - '0'), 1000u);
      any = true;
      ++i;
    }
    if (any) {
      if (value > 255) value = 0;
      if (value == 0) ended = true;
      if (!ended && out.size() < kMaxSequence) out += static_cast<char>(value);
    }
    if (i < line.size() && line[i] == '+') {
      ++i;
    } else if (i < line.size() && line[i] != ' ' && line[i] != '\t') {
      ++i;  // any other character is passed over
    }
  }
  return out;
}

std::string escaped(unsigned char c, char escape) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "%c%03d", escape, c);
  return buf;
}

}  // namespace

bool is_one_utf8_character(std::string_view b) {
  if (b.empty()) return false;
  const auto c = static_cast<unsigned char>(b[0]);
  std::size_t n = 0;
  std::uint32_t cp = 0;
  if (c < 0x80) return b.size() == 1;
  if ((c & 0xE0) == 0xC0) {
    n = 2;
    cp = c & 0x1F;
  } else if ((c & 0xF0) == 0xE0) {
    n = 3;
    cp = c & 0x0F;
  } else if ((c & 0xF8) == 0xF0) {
    n = 4;
    cp = c & 0x07;
  } else {
    return false;
  }
  if (b.size() != n) return false;
  for (std::size_t i = 1; i < n; ++i) {
    const auto d = static_cast<unsigned char>(b[i]);
    if ((d & 0xC0) != 0x80) return false;
    cp = (cp << 6) | (d & 0x3F);
  }
  // No overlong forms, no surrogates, nothing past U+10FFFF.
  if ((n == 2 && cp < 0x80) || (n == 3 && cp < 0x800) || (n == 4 && cp < 0x10000)) return false;
  if (cp >= 0xD800 && cp <= 0xDFFF) return false;
  return cp <= 0x10FFFF;
}

TranslationTable::TranslationTable(std::string name) : name_(std::move(name)) {
  for (std::size_t i = 0; i < map_.size(); ++i) map_[i] = static_cast<std::uint8_t>(i);
}

TranslationTable::TranslationTable(std::string name, Charset set) : TranslationTable(std::move(name)) {
  charset_ = set;
}

bool TranslationTable::load_file(const std::string& path, char escape) {
  std::FILE* in = open_regular_file(path);
  if (in == nullptr) return false;
  std::string line;
  int c;
  while ((c = std::getc(in)) != EOF) {
    if (c == '\n') {
      read_line(line, escape);
      line.clear();
    } else {
      line += static_cast<char>(c);
      if (line.size() == kMaxLine) {
        read_line(line, escape);
        line.clear();
      }
    }
  }
  if (!line.empty()) read_line(line, escape);
  std::fclose(in);
  return true;
}

void TranslationTable::load_text(std::string_view text, char escape) {
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(start, end - start);
    while (line.size() > kMaxLine) {
      read_line(line.substr(0, kMaxLine), escape);
      line.remove_prefix(kMaxLine);
    }
    read_line(line, escape);
    start = end + 1;
  }
}

void TranslationTable::read_line(std::string_view line, char escape) {
  if (!mapping_seen_ && line.substr(0, 8) == "LETPASS=") {
    std::string_view value = line.substr(8);
    while (!value.empty() && value.front() == ' ') value.remove_prefix(1);
    if (value.substr(0, 3) == "ALL") utf8_check_ = false;
    return;
  }
  if (line.empty() || !is_digit(line[0])) return;
  std::size_t i = 0;
  const std::string source = read_sequence(line, i);
  while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
  const std::string target = read_sequence(line, i);
  if (source.empty()) return;
  mapping_seen_ = true;
  const auto first = static_cast<unsigned char>(source[0]);
  if (source.size() == 1 && target.size() <= 1 && map_[first] != kBySequence) {
    map_[first] = target.empty() ? kNoMapping : static_cast<std::uint8_t>(target[0]);
    return;
  }
  if (source.size() > 1 && map_[first] != kNoMapping && map_[first] != kBySequence &&
      map_[first] != static_cast<unsigned char>(escape)) {
    add_sequence({std::string(1, static_cast<char>(first)), std::string(1, static_cast<char>(map_[first]))});
  }
  map_[first] = kBySequence;
  add_sequence({source, target});
}

void TranslationTable::add_sequence(Sequence entry) {
  // A new entry goes before the run of entries at the end of the list that
  // share its first byte, so the later line is tried first.
  std::size_t at = sequences_.size();
  while (at > 0 && sequences_[at - 1].source[0] == entry.source[0]) --at;
  if (at == sequences_.size()) {
    sequences_.push_back(std::move(entry));
  } else {
    sequences_.insert(sequences_.begin() + static_cast<long>(at), std::move(entry));
  }
}

std::string TranslationTable::translate(std::string_view input, int mode, char escape) const {
  if (charset_) return decode_to_utf8(*charset_, input);
  std::string out;
  out.reserve(input.size());
  const bool read_escapes = mode == kReadEscapes || mode == kBothEscapes;
  const bool write_escapes = mode == kWriteEscapes || mode == kBothEscapes;
  std::size_t i = 0;
  while (i < input.size()) {
    auto byte = static_cast<unsigned char>(input[i]);
    std::size_t consumed = 1;
    if (read_escapes && input[i] == escape && i + 3 < input.size() && is_digit(input[i + 1]) &&
        is_digit(input[i + 2]) && is_digit(input[i + 3])) {
      const int value = (input[i + 1] - '0') * 100 + (input[i + 2] - '0') * 10 + (input[i + 3] - '0');
      if (value <= 255) {
        byte = static_cast<unsigned char>(value);
        consumed = 4;
      }
    }
    const std::uint8_t entry = map_[byte];
    if (entry == kBySequence) {
      const Sequence* match = nullptr;
      for (const Sequence& s : sequences_) {
        if (static_cast<unsigned char>(s.source[0]) != byte) continue;
        const std::string_view rest = input.substr(i + consumed);
        if (rest.substr(0, s.source.size() - 1) == std::string_view(s.source).substr(1)) {
          match = &s;
          break;
        }
      }
      if (match != nullptr) {
        i += consumed + match->source.size() - 1;
        if (!match->target.empty() && (!utf8_check_ || is_one_utf8_character(match->target))) {
          out += match->target;
        }
        continue;
      }
    }
    if (entry == kNoMapping || entry == kBySequence) {
      if (write_escapes) out += escaped(byte, escape);
    } else {
      out += static_cast<char>(entry);
    }
    i += consumed;
  }
  return out;
}

ResultCode Translations::load(const std::string& name, const std::string& path, char escape) {
  TranslationTable table(name);
  if (!table.load_file(path, escape)) return -1;
  tables_.push_back(std::move(table));
  return 0;
}

ResultCode Translations::register_definitions(const dict::DataDictionary& data, char escape) {
  for (const dict::TranslDef& t : data.translations()) {
    if (find(t.name) != nullptr) continue;
    if (t.type == 'U') {
      const std::optional<Charset> set = charset_named(t.path);
      if (!set) return kTranslationFailed;
      tables_.emplace_back(t.name, *set);
      continue;
    }
    if (load(t.name, t.path, escape).failed()) return kTranslationFailed;
  }
  return 0;
}

const TranslationTable* Translations::find(std::string_view name) const {
  for (const TranslationTable& t : tables_) {
    if (t.name() == name) return &t;
  }
  return nullptr;
}

std::string Translations::translate(std::string_view name, std::string_view input, int mode,
                                    char escape) const {
  const TranslationTable* table = find(name);
  return table != nullptr ? table->translate(input, mode, escape) : std::string();
}

}  // namespace corvanta::records
