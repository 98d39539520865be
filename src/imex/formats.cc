// The text formats (internal, sister system, MAB2 lines, CSV), what all
// readers and writers share, and the choice of reader and writer by type.
#include "imex/formats.h"

#include <cctype>
#include <cstdio>
#include <cstring>

#include "imex/xml_format.h"
#include "util/text.h"

namespace corvanta::imex {

// Defined in formats_binary.cc.
std::unique_ptr<RecordReader> make_marc21_reader(const FormatOptions& options, InputFile& in);
std::unique_ptr<RecordReader> make_mabi_reader(const FormatOptions& options, InputFile& in);
std::unique_ptr<RecordWriter> make_marc21_writer(const FormatOptions& options, OutputFile& out);
std::unique_ptr<RecordWriter> make_mabi_writer(const FormatOptions& options, OutputFile& out);

namespace {

constexpr std::string_view kTypeNames[] = {"CORVANTA", "MAB2",  "MARC21", "VORNA",  "MABI",
                                           "XMARC21",  "XMAB2", "CSV",    "MARCXML"};
constexpr char kRS = '\x1e';
constexpr char kUS = '\x1f';

bool is_control(char c) {
  return static_cast<unsigned char>(c) < ' ';
}

std::string_view drop_cr(std::string_view line) {
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  return line;
}

// Indicators as the record keeps them: trailing blanks removed.
std::string_view indicators_of(std::string_view ind) {
  while (!ind.empty() && (ind.back() == ' ' || is_control(ind.back()))) ind.remove_suffix(1);
  return ind;
}

std::string idn9(std::uint32_t idn) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%09lu", static_cast<unsigned long>(idn));
  return buf;
}

// Adds "$$"-subfields (or 31-subfields) of internal and sister-system
// content: a value ends at the next "$$" or control character; trailing
// blanks are removed.
void add_dollar_content(records::RecordBuilder& b, std::string_view content) {
  const auto starts_subfield = [&](std::size_t at) {
    return (content.substr(at, 2) == "$$" && at + 2 < content.size()) ||
           (content[at] == kUS && at + 1 < content.size());
  };
  if (content.empty() || !starts_subfield(0)) {
    b.text(trim_trailing_blanks(content));
    return;
  }
  std::size_t at = 0;
  while (at < content.size()) {
    if (!starts_subfield(at)) {
      ++at;
      continue;
    }
    at += content[at] == kUS ? 1 : 2;
    const char code = content[at++];
    std::size_t end = at;
    while (end < content.size() && !is_control(content[end]) && content.substr(end, 2) != "$$") ++end;
    b.subfield(code, trim_trailing_blanks(content.substr(at, end - at)));
    at = end;
  }
}

// Appends a value to a line of a line format: a line end inside it would
// end the line (and could start a record of its own), so it becomes a
// blank.
void append_on_line(std::string& out, std::string_view value) {
  const std::size_t at = out.size();
  out.append(value);
  for (std::size_t i = at; i < out.size(); ++i) {
    if (out[i] == '\n' || out[i] == '\r') out[i] = ' ';
  }
}

// Appends the field's subfields as `mark` and code and value, or its
// content; `skip_links` leaves out subfields with code "L".
void append_content(records::RecordHandle& h, const records::FieldDesc& f, std::string& out,
                    std::string_view mark, bool skip_links) {
  records::FieldDesc s;
  if (records::sfl_first(h, f, s).code() == 0) {
    do {
      if (skip_links && s.tag == "L") continue;
      out += mark;
      out += s.tag;
      append_on_line(out, s.content());
    } while (records::sfl_next(h, f, s).code() == 0);
  } else {
    append_on_line(out, f.content());
  }
}

// The first field whose values the "$$" subfield marks cannot carry: a
// value holding "$$", or ending in "$" before the next mark, would be read
// back split into other subfields. Empty when there is none.
std::string dollar_clash(records::RecordHandle& h) {
  const auto clashes = [](std::string_view v) {
    return v.find("$$") != std::string_view::npos || (!v.empty() && v.back() == '$');
  };
  records::FieldDesc f;
  for (ResultCode rc = records::fld_first(h, f); rc.code() == 0; rc = records::fld_next(h, f)) {
    records::FieldDesc s;
    if (records::sfl_first(h, f, s).code() == 0) {
      do {
        if (clashes(s.content())) return f.tag + "$" + s.tag;
      } while (records::sfl_next(h, f, s).code() == 0);
    } else if (f.content().substr(0, 2) == "$$") {
      return f.tag;
    }
  }
  return {};
}

// Whether the internal format writes subfields as "$$" and code (else as 31
// and code).
bool dollar_marks(const FormatOptions& options) {
  return options.generic || options.flags.find('S') != std::string::npos ||
         options.flags.find('I') == std::string::npos;
}

std::string two_indicators(std::string ind) {
  ind.resize(2, ' ');
  return ind;
}

// ---------------------------------------------------------------------------
// Internal exchange format.

class InternalReader final : public RecordReader {
 public:
  InternalReader(const FormatOptions& o, InputFile& in) : RecordReader(o), in_(in) {}
  std::string_view record_end() const override { return "\n"; }

  ResultCode next(records::RecordHandle& h) override {
    std::string line;
    bool cut = false;
    std::size_t length = 0;  // the record text: lines and their ends
    for (;;) {
      text_.clear();
      length = 0;
      while (in_.line(line, kMaxRecordText + 1, cut)) {
        const std::string_view l = drop_cr(line);
        if (l.size() < 2 || is_control(l[0]) || l[0] == ' ' || l[0] == '!' || l[0] == '"') break;
        length += l.size() + 1 + (cut ? 1 : 0);
        keep_line(l);
      }
      if (in_.failed()) return kCannotRead;
      if (length > kMaxRecordText) return unreadable(kMsgRecordTooLong, std::to_string(length));
      if (!text_.empty()) break;
      if (in_.at_end()) return kEndOfInput;
    }
    start(h);
    std::string record = text_;
    for (char& c : record) {
      if (c == '\n') c = kRS;
    }
    const std::string text = translated(record, options_.protyp ? records::kReadEscapes : records::kPlain);
    if (text.empty()) return kEndOfInput;  // a table that is not loaded
    const bool new_idn = !options_.flags.empty() && options_.flags[0] == 'I';
    std::size_t at = 0;
    while (at < text.size()) {
      std::size_t end = text.find(kRS, at);
      if (end == std::string::npos) end = text.size();
      const std::string_view l = std::string_view(text).substr(at, end - at);
      at = end + 1;
      if (l.size() < 3) continue;
      const std::string_view tag = l.substr(0, 3);
      const std::string_view content = l.size() > 5 ? l.substr(5) : std::string_view();
      if (tag == "IDN") {
        if (!new_idn) take_idn(h, content);
        continue;
      }
      builder_.field(tag, indicators_of(l.substr(3, 2)));
      add_dollar_content(builder_, content);
    }
    return built(h, std::to_string(length));
  }

 private:
  InputFile& in_;
};

class InternalWriter final : public RecordWriter {
 public:
  using RecordWriter::RecordWriter;
  ResultCode write(records::RecordHandle& h) override {
    if (dollar_marks(options_)) {
      if (std::string tag = dollar_clash(h); !tag.empty()) {
        problem_ = {kMsgDollarInValue, idn9(h.idn) + " " + tag};
        return kUnreadable;
      }
    }
    const std::string text = translated(internal_text(options_, h));
    if (text.size() <= 1) return 0;
    out_.write(text);
    return 1;
  }
};

// ---------------------------------------------------------------------------
// The sister system's sequential format.

// Lines of an input with one line held back: the first line of the next
// record, read to see that the record before has ended.
struct LineAhead {
  explicit LineAhead(InputFile& input) : in(input) {}
  InputFile& in;
  std::string line;
  bool held = false;  // `line` was read and not used yet
  // Reads the next line into `line`: false at the end.
  bool read() {
    bool cut = false;
    held = in.line(line, kMaxRecordText + 1, cut);
    return held;
  }
};

class VornaReader final : public RecordReader {
 public:
  VornaReader(const FormatOptions& o, InputFile& in) : RecordReader(o), in_(in) {}

  ResultCode next(records::RecordHandle& h) override {
    std::string key;
    text_.clear();
    std::size_t length = 0;
    for (;;) {
      if (!ahead_.held && !ahead_.read()) break;
      const std::string_view l = drop_cr(ahead_.line);
      if (l.size() < 2) {
        ahead_.held = false;
        continue;
      }
      const std::string_view k = l.substr(0, 9);
      if (length > 0) {
        if (k != key) break;  // the next record's first line stays pending
      } else {
        key = k;
      }
      ahead_.held = false;
      length += l.size() + 1;
      keep_line(l);
    }
    if (in_.failed()) return kCannotRead;
    if (length > kMaxRecordText) return unreadable(kMsgRecordTooLong, std::to_string(length));
    if (text_.empty()) return kEndOfInput;
    start(h);
    const std::string text = translated(text_);
    if (text.empty()) return kEndOfInput;
    const bool new_idn = !options_.flags.empty() && options_.flags[0] == 'I';
    if (!new_idn) take_idn(h, std::string_view(text).substr(0, 9));
    std::size_t at = 0;
    while (at < text.size()) {
      std::size_t end = text.find('\n', at);
      if (end == std::string::npos) end = text.size();
      const std::string_view l = std::string_view(text).substr(at, end - at);
      at = end + 1;
      if (l.size() < 13) continue;
      const std::string_view tag = l.substr(10, 3);
      const std::string_view content = l.size() > 18 ? l.substr(18) : std::string_view();
      if (tag == "IDN") {
        if (!new_idn) take_idn(h, content);
        continue;
      }
      builder_.field(tag, indicators_of(l.substr(13, 2)));
      add_dollar_content(builder_, content);
    }
    return built(h, key);
  }

 private:
  InputFile& in_;
  LineAhead ahead_{in_};
};

class VornaWriter final : public RecordWriter {
 public:
  using RecordWriter::RecordWriter;
  ResultCode write(records::RecordHandle& h) override {
    const std::string number = idn9(h.idn);
    if (std::string tag = dollar_clash(h); !tag.empty()) {
      problem_ = {kMsgDollarInValue, number + " " + tag};
      return kUnreadable;
    }
    std::string text;
    records::FieldDesc f;
    for (ResultCode rc = records::fld_first(h, f); rc.code() == 0; rc = records::fld_next(h, f)) {
      text += number + ' ' + f.tag + two_indicators(f.indicators) + " L ";
      append_content(h, f, text, "$$", false);
      text += '\n';
    }
    if (text.empty()) return 0;
    out_.write(translated(text));
    return 1;
  }
};

// ---------------------------------------------------------------------------
// MAB2 lines.

bool starts_field(std::string_view l) {
  return (l.size() >= 3 && std::isdigit(static_cast<unsigned char>(l[0])) &&
          std::isdigit(static_cast<unsigned char>(l[1])) && std::isdigit(static_cast<unsigned char>(l[2]))) ||
         (!l.empty() && l[0] == '#');
}

class Mab2Reader final : public RecordReader {
 public:
  Mab2Reader(const FormatOptions& o, InputFile& in) : RecordReader(o), in_(in) {}
  std::string_view record_end() const override { return "\n"; }

  ResultCode next(records::RecordHandle& h) override {
    // Lines before a record's "###" line are passed over.
    for (;;) {
      if (!ahead_.held && !ahead_.read())
        return in_.failed() ? ResultCode(kCannotRead) : ResultCode(kEndOfInput);
      if (drop_cr(ahead_.line).substr(0, 3) == "###") break;
      ahead_.held = false;
    }
    // The record text joins continuation lines with a blank; the lines as
    // read are kept for the error file.
    std::string record(drop_cr(ahead_.line));
    text_.clear();
    keep_line(ahead_.line);  // with its carriage return, byte for byte
    ahead_.held = false;
    while (ahead_.read()) {
      const std::string_view l = drop_cr(ahead_.line);
      if (l.substr(0, 3) == "###") break;  // stays pending
      ahead_.held = false;
      if (l.empty()) break;
      keep_line(ahead_.line);
      if (record.size() > kMaxRecordText) continue;
      record += starts_field(l) ? '\n' : ' ';
      record += l;
    }
    if (in_.failed()) return kCannotRead;
    if (record.size() > kMaxRecordText) return unreadable(kMsgRecordTooLong, record.substr(0, 28));
    start(h);
    const std::string text = translated(record);
    if (text.empty()) return kEndOfInput;
    std::size_t at = 0;
    bool first = true;
    while (at < text.size()) {
      std::size_t end = text.find('\n', at);
      if (end == std::string::npos) end = text.size();
      const std::string_view l = std::string_view(text).substr(at, end - at);
      at = end + 1;
      if (first) {
        first = false;
        if (l.size() > 27) type_ = l[27];
        builder_.field("LDR", l.size() > 3 ? indicators_of(l.substr(3, 1)) : std::string_view());
        builder_.text(l.size() > 4 ? l.substr(4) : std::string_view());
        continue;
      }
      if (l.size() < 3) continue;
      const std::string_view tag = l.substr(0, 3);
      const std::string_view content = l.size() > 4 ? l.substr(4) : std::string_view();
      if (tag == "IDN") {
        take_idn(h, content);
        continue;
      }
      builder_.field(tag, l.size() > 3 ? indicators_of(l.substr(3, 1)) : std::string_view());
      add_delimited(builder_, content, kUS, nullptr, nullptr, [](std::string_view v) { return v; });
    }
    return built(h, record.substr(0, 28));
  }

 private:
  InputFile& in_;
  LineAhead ahead_{in_};
};

class Mab2Writer final : public RecordWriter {
 public:
  using RecordWriter::RecordWriter;
  ResultCode write(records::RecordHandle& h) override {
    std::string leader;
    std::string indicator = " ";
    records::FieldDesc f;
    f.tag = "LDR";
    f.occurrence = 1;
    if (records::fld_get(h, f).code() == 0) {
      leader = f.content();
      if (!f.indicators.empty()) indicator = f.indicators.substr(0, 1);
    }
    for (char& c : leader) {
      if (c == '-') c = ' ';
    }
    char number[16];
    std::snprintf(number, sizeof number, "%05lu", static_cast<unsigned long>(++count_ % 100000));
    if (leader.size() < 5) leader.resize(5, ' ');
    leader.replace(0, 5, number);
    std::string text = "###" + indicator;
    append_on_line(text, leader);
    text += '\n';
    // The export's own fields: 004 the date, 027 the IDN.
    const std::pair<std::string, std::string> own[] = {{"004", options_.today}, {"027", idn9(h.idn)}};
    std::size_t next_own = 0;
    auto own_before = [&](std::string_view tag) {
      while (next_own < 2 && own[next_own].first <= tag) {
        text += own[next_own].first + ' ' + own[next_own].second + '\n';
        ++next_own;
      }
    };
    for (ResultCode rc = records::fld_first(h, f); rc.code() == 0; rc = records::fld_next(h, f)) {
      if (f.tag == "LDR") continue;
      own_before(f.tag);
      if (f.tag == "004" || f.tag == "027") continue;  // replaced by the export's own
      text += f.tag;
      text += f.indicators.empty() ? ' ' : f.indicators[0];
      append_content(h, f, text, std::string_view(&kUS, 1), false);
      text += '\n';
    }
    own_before("\xff\xff\xff");
    text += '\n';
    out_.write(translated(text));
    return 1;
  }

 private:
  unsigned long count_ = 0;
};

// ---------------------------------------------------------------------------
// CSV.

char csv_value(std::string_view v) {
  if (v.empty()) return 0;
  if (equal_nocase(v, "SPACE")) return ' ';
  if (equal_nocase(v, "TAB")) return '\t';
  if (equal_nocase(v, "COMMA")) return ',';
  if (v.size() >= 3 && equal_nocase(v.substr(0, 3), "SLA")) return '/';
  return v[0];
}

class CsvReader final : public RecordReader {
 public:
  CsvReader(const FormatOptions& o, InputFile& in) : RecordReader(o), in_(in), csv_(csv_options(o.flags)) {}
  std::string_view record_end() const override { return "\n"; }

  ResultCode next(records::RecordHandle& h) override {
    std::string line;
    bool cut = false;
    text_.clear();
    for (;;) {
      if (!in_.line(line, kMaxRecordText + 1, cut))
        return in_.failed() ? ResultCode(kCannotRead) : ResultCode(kEndOfInput);
      const std::string_view l = drop_cr(line);
      if (l.empty()) continue;
      text_ = l;
      break;
    }
    bool too_long = cut;
    // A quote left open takes the next lines, up to the record limit; the
    // reading goes on after the line that passes it.
    while (!too_long && csv_.quote && open_quote(text_) && in_.line(line, kMaxRecordText + 1, cut)) {
      text_ += '|';
      text_ += drop_cr(line);
      if (cut || text_.size() > kMaxRecordText) too_long = true;
    }
    if (in_.failed()) return kCannotRead;
    if (too_long || text_.size() > kMaxRecordText) return unreadable(kMsgRecordTooLong, text_.substr(0, 40));
    start(h);
    const std::string text = translated(text_);
    if (text.empty()) return kEndOfInput;
    std::size_t column = 0;
    std::size_t at = 0;
    const char sep = csv_.separator;
    while (at <= text.size() && column < kMaxCsvColumns) {
      std::string value;
      if (csv_.quote && at < text.size() && text[at] == '"') {
        ++at;
        while (at < text.size()) {
          if (text[at] == '"') {
            if (at + 1 < text.size() && text[at + 1] == '"') {
              value += '"';
              at += 2;
              continue;
            }
            ++at;
            break;
          }
          value += text[at++];
        }
        // Whatever follows the closing quote up to the separator belongs to it.
        while (at < text.size() && text[at] != sep) value += text[at++];
      } else {
        std::size_t end = sep != 0 ? text.find(sep, at) : std::string::npos;
        if (end == std::string::npos) end = text.size();
        value.assign(text, at, end - at);
        at = end;
      }
      ++at;  // the separator
      ++column;
      if (value.size() > kMaxCsvValue) value.resize(kMaxCsvValue);
      const std::string_view v = trim_trailing_blanks(value);
      if (v.empty()) continue;
      char tag[8];
      std::snprintf(tag, sizeof tag, "%03zu", column);
      builder_.field(tag, {});
      builder_.text(v);
    }
    return built(h, text_.substr(0, 40));
  }

 private:
  // Whether a quoted value of the line is still open at its end.
  bool open_quote(std::string_view l) const {
    bool open = false;
    bool value_start = true;
    for (std::size_t i = 0; i < l.size(); ++i) {
      const char c = l[i];
      if (open) {
        if (c == '"') {
          if (i + 1 < l.size() && l[i + 1] == '"') {
            ++i;
          } else {
            open = false;
          }
        }
      } else if (c == '"' && value_start) {
        open = true;
      }
      value_start = !open && c == csv_.separator;
    }
    return open;
  }
  InputFile& in_;
  CsvOptions csv_;
};

class CsvWriter final : public RecordWriter {
 public:
  CsvWriter(const FormatOptions& o, OutputFile& out) : RecordWriter(o, out), csv_(csv_options(o.flags)) {}
  ResultCode write(records::RecordHandle& h) override {
    std::string line;
    for (std::size_t n = 1; n <= options_.csv_columns; ++n) {
      char tag[8];
      std::snprintf(tag, sizeof tag, "%03zu", n);
      std::string value;
      append_on_line(value, field_text(h, tag));
      if (n > 1 && csv_.separator != 0) line += csv_.separator;
      if (value.empty()) {
        line += csv_.empty;
        continue;
      }
      const bool quote = csv_.quote || (csv_.separator != '\t' && csv_.separator != 0 &&
                                        value.find(csv_.separator) != std::string::npos);
      if (!quote) {
        line += value;
        continue;
      }
      line += '"';
      for (const char c : value) {
        if (c == '"') line += '"';
        line += c;
      }
      line += '"';
    }
    if (line.empty()) return 0;
    line += '\n';
    out_.write(translated(line));
    return 1;
  }

 private:
  CsvOptions csv_;
};

}  // namespace

std::optional<std::uint32_t> idn_number(std::string_view text) {
  text = trim_blanks(text);
  if (text.size() > 11) return std::nullopt;
  std::uint64_t n = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    n = n * 10 + static_cast<unsigned>(c - '0');
  }
  if (n > records::kMaxInsertIdn) return std::nullopt;
  return static_cast<std::uint32_t>(n);
}

std::optional<FormatType> format_type(std::string_view value) {
  if (value.empty()) return std::nullopt;
  for (std::size_t i = 0; i < std::size(kTypeNames); ++i) {
    if (value.substr(0, kTypeNames[i].size()) == kTypeNames[i]) return static_cast<FormatType>(i);
  }
  return std::nullopt;
}

std::optional<InputCharset> input_charset(std::string_view value) {
  static constexpr InputCharset kCharsets[] = {
      {"UTF8", "", false},        {"MARC8", "MARC8", false},   {"ISO5426", "ISO5426", false},
      {"MAB2", "ISO5426", false}, {"LATIN1", "LATIN1", false}, {"CP850", "CP850", false},
      {"AUTO", "MARC8", true},
  };
  for (const InputCharset& c : kCharsets) {
    if (c.value == value) return c;
  }
  return std::nullopt;
}

std::string_view format_name(FormatType type) {
  return kTypeNames[static_cast<int>(type)];
}

CsvOptions csv_options(std::string_view flags) {
  CsvOptions o;
  std::size_t at = 0;
  while (at <= flags.size()) {
    std::size_t end = flags.find('/', at);
    if (end == std::string_view::npos) end = flags.size();
    const std::string_view item = flags.substr(at, end - at);
    at = end + 1;
    if (item.size() < 2 || item[1] != '=') continue;
    const char v = csv_value(item.substr(2));
    switch (std::toupper(static_cast<unsigned char>(item[0]))) {
      case 'S': o.separator = v; break;
      case 'Q': o.quote = v == 'Y' || v == 'y'; break;
      case 'E': o.empty = v != 0 ? std::string(1, v) : std::string(); break;
      default: break;
    }
  }
  return o;
}

ResultCode RecordReader::unreadable(std::int32_t message, std::string argument) {
  problem_ = {message, std::move(argument)};
  return kUnreadable;
}

void RecordReader::keep_line(std::string_view line) {
  if (text_.size() + line.size() + 1 > kMaxKeptText) return;
  text_.append(line);
  text_ += '\n';
}

void RecordReader::take_idn(records::RecordHandle& h, std::string_view text) {
  if (const std::optional<std::uint32_t> idn = idn_number(text)) {
    h.idn = *idn;
  } else {
    bad_idn_ = std::string(trim_blanks(text.substr(0, 40)));
  }
}

ResultCode RecordReader::built(records::RecordHandle& h, std::string_view what) {
  if (builder_.build(h).failed()) return unreadable(kMsgRecordTooLong, std::string(what));
  if (!bad_idn_.empty()) return unreadable(kMsgBadIdn, bad_idn_);
  return 0;
}

std::string RecordReader::translated(std::string_view text, int mode) const {
  if (options_.translation.empty() || options_.translations == nullptr) return std::string(text);
  return options_.translations->translate(options_.translation, text, mode, options_.escape);
}

void RecordReader::start(records::RecordHandle& h) {
  records::rec_reset(h, options_.capacity, records::kExternalForm);
  h.order = options_.sorted ? 'Y' : 'N';
  records::rec_store_header(h);
  builder_.clear();
  type_ = 0;
  bad_idn_.clear();
}

std::string RecordWriter::translated(std::string_view text) const {
  if (options_.translation.empty() || options_.translations == nullptr) return std::string(text);
  return options_.translations->translate(options_.translation, text, records::kPlain, options_.escape);
}

void RecordWriter::append_translated(std::string_view text, std::string& out) const {
  if (options_.translation.empty() || options_.translations == nullptr) {
    out.append(text);
  } else {
    out += translated(text);
  }
}

bool RecordWriter::known(const records::FieldDesc& f) const {
  return options_.generic || options_.file == nullptr || options_.file->find_tag(f.tag) != nullptr;
}

bool RecordWriter::known(const records::FieldDesc& f, char code) const {
  if (options_.generic || options_.file == nullptr) return true;
  const dict::TagDef* def = options_.file->find_tag(f.tag);
  return def != nullptr && (def->subfields.empty() || def->find_subfield(code) != nullptr);
}

std::string generic_internal_text(records::RecordHandle& h) {
  FormatOptions o;
  o.generic = true;
  return internal_text(o, h);
}

std::string internal_text(const FormatOptions& options, records::RecordHandle& h) {
  const bool idn_line = options.generic ? h.idn != 0 : options.flags.find('I') != std::string::npos;
  const bool dollars = dollar_marks(options);
  const bool skip_links = !options.generic && options.flags.find('S') == std::string::npos &&
                          options.flags.find('I') == std::string::npos;
  std::string out;
  if (idn_line) out += "IDN  " + idn9(h.idn) + '\n';
  records::FieldDesc f;
  for (ResultCode rc = records::fld_first(h, f); rc.code() == 0; rc = records::fld_next(h, f)) {
    const dict::TagDef* def = options.file != nullptr ? options.file->find_tag(f.tag) : nullptr;
    if (!options.generic && options.file != nullptr && def == nullptr) continue;
    out += f.tag;
    out += two_indicators(f.indicators);
    records::FieldDesc s;
    if (records::sfl_first(h, f, s).code() == 0) {
      append_content(h, f, out, dollars ? "$$" : std::string_view(&kUS, 1), skip_links);
    } else {
      const std::string_view c = f.content();
      append_on_line(out, c.substr(0, c.find(kRS)));
    }
    out += '\n';
  }
  out += '\n';
  return out;
}

ResultCode mab_finish(records::RecordHandle& h) {
  records::FieldDesc f;
  f.tag = "LDR";
  f.occurrence = 1;
  if (records::fld_get(h, f).code() != 0) return 0;
  std::string leader(f.content());
  for (char& c : leader) {
    if (c == ' ') c = '-';
  }
  records::FieldDesc ldr;
  ldr.tag = "LDR";
  ldr.indicators = f.indicators;
  ldr.occurrence = 1;
  ldr.type = 1;
  const std::string format =
      leader.empty()
          ? std::string("M")
          : "M" + std::string(1, static_cast<char>(std::toupper(static_cast<unsigned char>(leader.back()))));
  ldr.set(leader);
  if (const ResultCode rc = records::fld_replace(h, ldr); rc.failed()) return rc;
  records::FieldDesc fmt;
  fmt.tag = "FMT";
  fmt.occurrence = 1;
  fmt.type = 1;
  fmt.set(format);
  if (records::fld_get(h, fmt).code() == 0) {
    fmt.set(format);
    return records::fld_replace(h, fmt);
  }
  fmt.set(format);
  return records::fld_put(h, fmt);
}

std::string field_text(records::RecordHandle& h, std::string_view tag) {
  records::FieldDesc f;
  f.tag = std::string(tag);
  f.occurrence = 1;
  if (records::fld_get(h, f).code() != 0) return {};
  records::FieldDesc s;
  if (records::sfl_first(h, f, s).code() != 0) return std::string(f.content());
  std::string out;
  do {
    if (!out.empty()) out += ' ';
    out += s.content();
  } while (records::sfl_next(h, f, s).code() == 0);
  return out;
}

std::unique_ptr<RecordReader> make_reader(const FormatOptions& options, InputFile& in) {
  switch (options.type) {
    case FormatType::Corvanta: return std::make_unique<InternalReader>(options, in);
    case FormatType::Mab2: return std::make_unique<Mab2Reader>(options, in);
    case FormatType::Marc21: return make_marc21_reader(options, in);
    case FormatType::Vorna: return std::make_unique<VornaReader>(options, in);
    case FormatType::Mabi: return make_mabi_reader(options, in);
    case FormatType::XMarc21:
    case FormatType::XMab2:
    case FormatType::MarcXml: return make_xml_reader(options, in);
    case FormatType::Csv: return std::make_unique<CsvReader>(options, in);
  }
  return nullptr;
}

std::unique_ptr<RecordWriter> make_writer(const FormatOptions& options, OutputFile& out) {
  switch (options.type) {
    case FormatType::Corvanta: return std::make_unique<InternalWriter>(options, out);
    case FormatType::Mab2: return std::make_unique<Mab2Writer>(options, out);
    case FormatType::Marc21: return make_marc21_writer(options, out);
    case FormatType::Vorna: return std::make_unique<VornaWriter>(options, out);
    case FormatType::Mabi: return make_mabi_writer(options, out);
    case FormatType::XMarc21:
    case FormatType::XMab2:
    case FormatType::MarcXml: return make_xml_writer(options, out);
    case FormatType::Csv: return std::make_unique<CsvWriter>(options, out);
  }
  return nullptr;
}

}  // namespace corvanta::imex
