// The exchange formats: a reader that turns the next record of an input
// file into a record handle, and a writer that appends a record handle to
// an output file, for each format type.
//
//   CORVANTA  text, a line per field: tag, two indicators, content from the
//             sixth character, subfields "$$" and code; "IDN  %09ld" first;
//             an empty line ends a record
//   MAB2      text: a line "###" with the indicator and leader, then a line
//             per field (tag, one indicator, content, subfields as 31 and
//             code); lines that do not begin with three digits or "#"
//             continue the line before; an empty line ends a record
//   MARC21    ISO 2709 (iso2709.h)
//   VORNA     text, a line per field: IDN (9), blank, tag, indicators (2),
//             blank, "L", blank, content; lines with the same IDN form a
//             record
//   MABI      band: length (5 digits), leader, fields tag, indicator,
//             content, each ended by 30; the record ended by 29 and a line
//             feed
//   XMARC21,  the service's own XML (xml_format.h)
//   XMAB2
//   CSV       a line per record, field "%03d" of column n
//   MARCXML   standard MARCXML (xml_format.h)
//
// Common rules: a record text of more than 30,000 bytes is an error; "LDR"
// carries the leader; an input field "IDN" sets the IDN; translation (the
// import's or export's table, none when empty) applies to the whole record
// text or to each value as each format has it; subfields keep their input
// order unless the file's definition sorts them. A record that cannot be
// read is reported with what is wrong (a message of group "Import") and
// the text that was read, and the reader goes on with the next.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "config/dictionary.h"
#include "imex/exchange_file.h"
#include "imex/iso2709.h"
#include "pool/pool_service.h"
#include "records/record.h"
#include "records/translate.h"
#include "util/result.h"

namespace corvanta::imex {

enum class FormatType : int { Corvanta = 0, Mab2, Marc21, Vorna, Mabi, XMarc21, XMab2, Csv, MarcXml };

// The type whose name `value` begins with, in table order; none for any
// other value.
std::optional<FormatType> format_type(std::string_view value);
std::string_view format_name(FormatType type);
inline bool is_xml(FormatType t) {
  return t == FormatType::XMarc21 || t == FormatType::XMab2 || t == FormatType::MarcXml;
}
// Whether MARC 21 exchange records carry the field: tags of three digits
// (not "LDR", which is the leader, nor local tags such as "FMT").
inline bool marc21_field(std::string_view tag) {
  return tag.size() == 3 && tag[0] >= '0' && tag[0] <= '9' && tag[1] >= '0' && tag[1] <= '9' &&
         tag[2] >= '0' && tag[2] <= '9';
}
inline bool is_mab(FormatType t) {
  return t == FormatType::Mab2 || t == FormatType::Mabi;
}

// The character set of an input file (IMPORT CHARSET=): the installation's
// translation of that name converts it to UTF-8; UTF-8 needs none. AUTO
// (MARC 21 only) reads a record with leader position 9 "a" as UTF-8 and any
// other as MARC-8.
struct InputCharset {
  std::string_view value;        // as the parameter gives it
  std::string_view translation;  // the translation's name, empty for UTF-8
  bool by_leader;                // AUTO
};
// The character set of that (upper-case) value; none for any other value.
std::optional<InputCharset> input_charset(std::string_view value);

inline constexpr std::size_t kMaxRecordText = 30000;
// How much of a record that cannot be read is kept for the error file.
inline constexpr std::size_t kMaxKeptText = 1 << 20;
inline constexpr std::size_t kMaxCsvColumns = 200;
inline constexpr std::size_t kMaxCsvValue = 7500;

// Reader results besides 0 (a record) and failures.
inline constexpr std::int32_t kEndOfInput = 1;
inline constexpr std::int32_t kUnreadable = 2;  // a bad record, passed over
// An XML document whose root is not "collection" (nor a record). Another
// break beyond a record (a file cut short, text after the root) is
// kCannotRead. The XML reader sets problem() for both.
inline constexpr std::int32_t kNotXmlCollection = -3;
// A value the "$$" subfield marks of the line formats cannot carry.
inline constexpr std::int32_t kMsgDollarInValue = 196;
// A value that is not UTF-8 after the file's character set was applied.
inline constexpr std::int32_t kMsgNotUtf8 = 197;

// What a reader left out of the records it read because the file does not
// define it: "655" for fields, "245$h" for subfields, with how often.
using LeftOut = std::map<std::string, long>;

struct CsvOptions {
  char separator = '\t';
  bool quote = false;
  std::string empty;  // what an empty value is written as
};
// "S=", "Q=" and "E=" items of FLAGS, separated by "/".
CsvOptions csv_options(std::string_view flags);

struct FormatOptions {
  FormatType type = FormatType::Corvanta;
  const dict::FileDef* file = nullptr;  // the current file's definitions
  bool sorted = false;                  // the file keeps subfields sorted
  std::string flags;                    // FLAGS
  bool generic = false;                 // GENERIC: every field, "$$" subfields
  bool protyp = false;                  // PROTYP: read escapes in the internal format
  const records::Translations* translations = nullptr;
  std::string translation;           // TRANSLIN for a reader, TRANSLOUT for a writer
  bool translate_by_leader = false;  // MARC 21: none for leader position 9 "a"
  char escape = '\\';
  char subfield = '\x1f';  // MARC21/Subfield
  // Record buffers: room for the largest record text in record form.
  std::size_t capacity = 2 * kMaxRecordText;
  std::size_t csv_columns = 0;  // rules of the CONVOUT table
  std::string base;             // XML: the pool the records come from
  std::string today;            // YYYYMMDD, for MAB2 field 004
};

class RecordReader {
 public:
  // Every value read is stored in NFC (util/unicode.h), after translation.
  explicit RecordReader(const FormatOptions& options) : options_(options) { builder_.normalise_values(true); }
  virtual ~RecordReader() = default;
  RecordReader(const RecordReader&) = delete;
  RecordReader& operator=(const RecordReader&) = delete;

  // The next record into `h` (made anew, external form): 0; kEndOfInput;
  // kUnreadable with problem() and text() set; or a failure that ends the
  // input (-15 when the file cannot be read, kNotXmlCollection).
  virtual ResultCode next(records::RecordHandle& h) = 0;
  // The record's type character ('h', 'u', 'y' in MAB records), 0 if none.
  char record_type() const { return type_; }
  // The record text as read: what the error and duplicate files get, so
  // that a record can be mended and read again as it came.
  const std::string& text() const { return text_; }
  // What follows text() in a file of the format to end the record there
  // (an empty line in the line formats).
  virtual std::string_view record_end() const { return {}; }
  const Problem& problem() const { return problem_; }
  // Fields and subfields left out so far, undefined for the file.
  const LeftOut& left_out() const { return left_out_; }
  // The tag of the first field of the last record whose value is not
  // UTF-8 once translated, empty when all are (or nothing normalises).
  const std::string& not_utf8() const { return builder_.not_utf8(); }

 protected:
  ResultCode unreadable(std::int32_t message, std::string argument);
  // Keeps a line of the record text as read (up to kMaxKeptText).
  void keep_line(std::string_view line);
  // Takes the IDN an input record names (a bad one makes it unreadable).
  void take_idn(records::RecordHandle& h, std::string_view text);
  // The record built into `h`: 0, or unreadable when it does not fit
  // (`what` names it) or its IDN is bad.
  ResultCode built(records::RecordHandle& h, std::string_view what);
  std::string translated(std::string_view text, int mode = records::kPlain) const;
  void start(records::RecordHandle& h);

  const FormatOptions& options_;
  records::RecordBuilder builder_;
  std::string text_;
  Problem problem_;
  LeftOut left_out_;
  char type_ = 0;
  std::string bad_idn_;
};

class RecordWriter {
 public:
  RecordWriter(const FormatOptions& options, OutputFile& out) : options_(options), out_(out) {}
  virtual ~RecordWriter() = default;
  RecordWriter(const RecordWriter&) = delete;
  RecordWriter& operator=(const RecordWriter&) = delete;

  // What goes before the first record and after the last (XML).
  virtual void begin() {}
  virtual void end() {}
  // Appends the record: 1 written, 0 nothing to write, kUnreadable for a
  // record the format cannot hold (problem() says why), or a failure.
  virtual ResultCode write(records::RecordHandle& h) = 0;
  // Appends bytes as they are (a bad record's text in the error file); the
  // XML writers write them as the text of an element "unreadable".
  virtual void write_raw(std::string_view bytes) { out_.write(bytes); }
  // Why write() gave kUnreadable: a record that does not fit the format.
  const Problem& problem() const { return problem_; }
  // How many bytes or characters the last write() replaced by U+FFFD
  // (XML: util/xml_text.h), for the caller to name the record.
  std::size_t replaced() const { return replaced_; }

 protected:
  std::string translated(std::string_view text) const;
  void append_translated(std::string_view text, std::string& out) const;
  // Whether the definitions let a field or subfield be written.
  bool known(const records::FieldDesc& f) const;
  bool known(const records::FieldDesc& f, char code) const;

  const FormatOptions& options_;
  OutputFile& out_;
  Problem problem_;
  std::size_t replaced_ = 0;
};

std::unique_ptr<RecordReader> make_reader(const FormatOptions& options, InputFile& in);
std::unique_ptr<RecordWriter> make_writer(const FormatOptions& options, OutputFile& out);

// The internal exchange format's text of one record (what its writer
// appends), and in the generic variant.
std::string internal_text(const FormatOptions& options, records::RecordHandle& h);
std::string generic_internal_text(records::RecordHandle& h);

// The IDN an input record names ("IDN" field, IDN line, record number):
// a decimal number of at most 11 characters, blanks around it ignored,
// empty for 0. None when it is no number or beyond the highest IDN a pool
// can hold (such a record cannot be read).
std::optional<std::uint32_t> idn_number(std::string_view text);

// For the readers: adds content whose subfields begin with `delimiter`
// (MAB, MARC 21) to the builder's current field, each value through
// `value` (a translation); plain content when it does not begin with the
// delimiter. `def`, when it lists subfields, keeps only the codes it knows.
// Subfields `def` does not define are counted in `left_out` ("245$h") and
// left out. (A field `def` defines without subfields keeps subfields that
// arrive as its text when it is stored: records/convert.h.)
template <typename Value>
void add_delimited(records::RecordBuilder& b, std::string_view content, char delimiter,
                   const dict::TagDef* def, LeftOut* left_out, Value&& value) {
  if (content.empty() || content[0] != delimiter) {
    b.text(value(content));
    return;
  }
  std::size_t at = 1;
  while (at <= content.size()) {
    std::size_t end = content.find(delimiter, at);
    if (end == std::string_view::npos) end = content.size();
    if (end > at) {
      const char code = content[at];
      const std::string_view v = content.substr(at + 1, end - at - 1);
      if (def == nullptr || def->subfields.empty() || def->find_subfield(code) != nullptr) {
        b.subfield(code, value(v));
      } else if (left_out != nullptr) {
        std::string key = def->tag;
        key += '$';
        key += code;
        ++(*left_out)[key];
      }
    }
    at = end + 1;
  }
}

// The MARC 21 record a record handle is written as (ISO 2709 and
// MARCXML): its fields but "LDR" (with `digit_tags_only`, only tags of
// three digits), two indicators on data fields, subfields as `delimiter`,
// code and value through `translate` (link subfields "L" left out; the
// plain content of a data field as subfield a), and the leader made one
// that MARC 21 readers take, position 9 "a" when the values are UTF-8
// (`untranslated` and no MARC-8 escapes). False when a field is too long
// for a directory entry.
bool marc21_record(records::RecordHandle& h, char delimiter,
                   const std::function<void(std::string_view, std::string&)>& translate, bool untranslated,
                   bool digit_tags_only, MarcRecord& out);

// The finishing steps of MAB records after reading: blanks of "LDR" become
// "-", and "FMT" is set to "M" and the upper-cased last character of "LDR".
ResultCode mab_finish(records::RecordHandle& h);

// The text of the first occurrence of `tag` (its subfields' values joined
// by blanks), empty when there is none.
std::string field_text(records::RecordHandle& h, std::string_view tag);

}  // namespace corvanta::imex
