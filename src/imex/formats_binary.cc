// The binary formats: MARC 21 in ISO 2709 records and MAB records in the
// band layout. Both translate each value, not the whole record text.
#include <cstdio>
#include <functional>

#include "imex/formats.h"
#include "imex/iso2709.h"
#include "util/unicode.h"

namespace corvanta::imex {
namespace {

constexpr char kRS = '\x1e';
constexpr char kGS = '\x1d';
constexpr char kUS = '\x1f';

bool control_tag(std::string_view tag) {
  return tag.size() == 3 && tag[0] == '0' && tag[1] == '0';
}

std::string_view trimmed_indicators(std::string_view ind) {
  while (!ind.empty() && static_cast<unsigned char>(ind.back()) <= ' ') ind.remove_suffix(1);
  return ind;
}

// Appends the field's content for writing to `out`: subfields as the
// delimiter, code and translated value (code "L" left out), or the
// translated content.
template <typename Translate>
void append_values(records::RecordHandle& h, const records::FieldDesc& f, char delimiter, bool skip_links,
                   Translate&& tr, std::string& out) {
  records::FieldDesc s;
  if (records::sfl_first(h, f, s).code() == 0) {
    do {
      if (skip_links && s.tag == "L") continue;
      out += delimiter;
      out += s.tag;
      tr(s.content(), out);
    } while (records::sfl_next(h, f, s).code() == 0);
  } else {
    tr(f.content(), out);
  }
}

std::string leader_of(records::RecordHandle& h) {
  records::FieldDesc f;
  f.tag = "LDR";
  f.occurrence = 1;
  if (records::fld_get(h, f).code() == 0 && f.content().size() == kLeaderSize)
    return std::string(f.content());
  return std::string(kLeaderSize, ' ');
}

class Marc21Reader final : public RecordReader {
 public:
  Marc21Reader(const FormatOptions& o, InputFile& in) : RecordReader(o), iso_(in) {}

  ResultCode next(records::RecordHandle& h) override {
    const ResultCode rc = iso_.next(m_, text_, problem_, kMaxRecordText);
    if (rc.code() == 1) return kEndOfInput;
    if (rc.code() == kBadRecord) return kUnreadable;
    if (rc.failed()) return rc;
    start(h);
    type_ = m_.leader[6];
    // CHARSET=AUTO: leader position 9 "a" is UTF-8 already.
    const bool utf8 = options_.translate_by_leader && m_.leader.size() > 9 && m_.leader[9] == 'a';
    const auto tr = [this, utf8](std::string_view v) -> std::string_view {
      if (options_.translation.empty() || utf8) return v;
      scratch_ = translated(v);  // the builder copies it at once
      return scratch_;
    };
    const dict::FileDef* file = options_.file;
    if (file == nullptr || file->find_tag("LDR") != nullptr) {
      builder_.field("LDR", {});
      builder_.text(m_.leader);
    }
    for (const MarcField& f : m_.fields) {
      if (f.tag == "IDN") {
        take_idn(h, f.content);
        continue;
      }
      const dict::TagDef* def = file != nullptr ? file->find_tag(f.tag) : nullptr;
      if (file != nullptr && def == nullptr) {
        ++left_out_[f.tag];
        continue;
      }
      builder_.field(f.tag, trimmed_indicators(f.indicators));
      if (control_tag(f.tag)) {
        builder_.text(tr(f.content));
      } else {
        add_delimited(builder_, f.content, options_.subfield, def, &left_out_, tr);
      }
    }
    return built(h, std::to_string(text_.size()));
  }

 private:
  Iso2709Reader iso_;
  MarcRecord m_;
  std::string scratch_;
};

class Marc21Writer final : public RecordWriter {
 public:
  using RecordWriter::RecordWriter;
  ResultCode write(records::RecordHandle& h) override {
    const auto tr = [this](std::string_view v, std::string& out) { append_translated(v, out); };
    if (!marc21_record(h, options_.subfield, tr, options_.translation.empty(), true, m_))
      return cannot_write(h);
    iso2709_encode(m_, image_);
    if (image_.size() > kMaxRecordText) return cannot_write(h);
    out_.write(image_);
    return 1;
  }

 private:
  ResultCode cannot_write(records::RecordHandle& h) {
    problem_ = {kMsgRecordTooLong, std::to_string(h.idn)};
    return kUnreadable;
  }
  MarcRecord m_;
  std::string image_;
};

class MabiReader final : public RecordReader {
 public:
  MabiReader(const FormatOptions& o, InputFile& in) : RecordReader(o), in_(in) {}

  ResultCode next(records::RecordHandle& h) override {
    std::size_t length = 0;
    for (;;) {
      // Bytes below 29 between records are passed over.
      for (;;) {
        const std::string_view b = in_.peek(1);
        if (b.empty() || static_cast<unsigned char>(b[0]) >= 29) break;
        in_.consume(1);
      }
      if (in_.at_end()) return in_.failed() ? ResultCode(kCannotRead) : ResultCode(kEndOfInput);
      const std::string_view head = in_.peek(5);
      bool number = head.size() == 5;
      length = 0;
      for (const char c : head) {
        if (c < '0' || c > '9') number = false;
        length = length * 10 + static_cast<std::size_t>(c - '0');
      }
      if (!number) {
        problem_ = {kMsgLengthNotNumber, std::string(head)};
        return skip_to_terminator(0);
      }
      if (length > 4) break;
      in_.consume(5);  // an empty record
    }
    const std::string_view whole = in_.peek(length);
    if (whole.size() < length || whole.back() != kGS || length < kLeaderSize + 1) {
      problem_ = {kMsgLengthMismatch, std::to_string(length)};
      return skip_to_terminator(5);
    }
    text_.assign(whole);
    in_.consume(length);
    if (length > kMaxRecordText) return unreadable(kMsgRecordTooLong, std::to_string(length));
    std::string_view image = text_;
    while (!image.empty() && static_cast<unsigned char>(image.back()) < 29) image.remove_suffix(1);
    if (!image.empty() && image.back() == kGS) image.remove_suffix(1);
    start(h);
    const auto tr = [this](std::string_view v) -> std::string_view {
      if (options_.translation.empty()) return v;
      scratch_ = translated(v);  // the builder copies it at once
      return scratch_;
    };
    const std::string_view leader = image.substr(0, kLeaderSize);
    type_ = leader.size() == kLeaderSize ? leader[23] : 0;
    builder_.field("LDR", {});
    builder_.text(leader);
    std::size_t at = kLeaderSize;
    while (at + 3 <= image.size() && static_cast<unsigned char>(image[at]) >= '#') {
      std::size_t end = image.find(kRS, at);
      if (end == std::string_view::npos) end = image.size();
      const std::string_view field = image.substr(at, end - at);
      at = end + 1;
      const std::string_view tag = field.substr(0, 3);
      const char ind = field.size() > 3 ? field[3] : ' ';
      const std::string_view content = field.size() > 4 ? field.substr(4) : std::string_view();
      if (tag == "IDN") {
        take_idn(h, content);
        continue;
      }
      builder_.field(tag, static_cast<unsigned char>(ind) <= ' ' ? std::string_view() : field.substr(3, 1));
      add_delimited(builder_, content, kUS, nullptr, nullptr, tr);
    }
    return built(h, std::to_string(length));
  }

 private:
  ResultCode skip_to_terminator(std::size_t from) {
    text_.clear();
    for (;;) {
      const std::string_view chunk = in_.peek(from + 4096);
      const std::size_t end = chunk.find(kGS, from);
      if (end != std::string_view::npos || chunk.size() < from + 4096) {
        const std::size_t stop = end == std::string_view::npos ? chunk.size() : end + 1;
        keep(chunk.substr(0, stop));
        in_.consume(stop);
        return kUnreadable;
      }
      keep(chunk);
      in_.consume(chunk.size());
      from = 0;
    }
  }
  // Keeps bytes of a bad record for the error file, up to kMaxKeptText.
  void keep(std::string_view bytes) {
    if (text_.size() < kMaxKeptText) text_.append(bytes.substr(0, kMaxKeptText - text_.size()));
  }
  InputFile& in_;
  std::string scratch_;
};

class MabiWriter final : public RecordWriter {
 public:
  using RecordWriter::RecordWriter;
  ResultCode write(records::RecordHandle& h) override {
    std::string leader = leader_of(h);
    for (char& c : leader) {
      if (c == '-') c = ' ';
    }
    const auto tr = [this](std::string_view v, std::string& out) { append_translated(v, out); };
    std::string body;
    records::FieldDesc f;
    for (ResultCode rc = records::fld_first(h, f); rc.code() == 0; rc = records::fld_next(h, f)) {
      if (f.tag == "LDR") continue;
      body += f.tag;
      body += f.indicators.empty() ? ' ' : f.indicators[0];
      append_values(h, f, kUS, false, tr, body);
      body += kRS;
    }
    const std::size_t total = leader.size() + body.size() + 1;
    if (total > kMaxRecordText) {
      problem_ = {kMsgRecordTooLong, std::to_string(h.idn)};
      return kUnreadable;
    }
    char number[8];
    std::snprintf(number, sizeof number, "%05zu", total);
    leader.replace(0, 5, number);
    out_.write(leader);
    out_.write(body);
    out_.write("\x1d\n");
    return 1;
  }
};

}  // namespace

bool marc21_record(records::RecordHandle& h, char delimiter,
                   const std::function<void(std::string_view, std::string&)>& translate, bool untranslated,
                   bool digit_tags_only, MarcRecord& out) {
  out.leader = leader_of(h);
  std::size_t count = 0;
  records::FieldDesc f;
  for (ResultCode rc = records::fld_first(h, f); rc.code() == 0; rc = records::fld_next(h, f)) {
    if (f.tag == "LDR" || (digit_tags_only && !marc21_field(f.tag))) continue;
    if (count == out.fields.size()) out.fields.emplace_back();
    MarcField& m = out.fields[count++];
    m.tag = f.tag;
    m.indicators.clear();
    if (!control_tag(f.tag)) {
      m.indicators = f.indicators;
      m.indicators.resize(2, ' ');
    }
    m.content.clear();
    // A data field holds subfields: plain content is written as $a.
    records::FieldDesc probe;
    if (!control_tag(f.tag) && records::sfl_first(h, f, probe).code() != 0) {
      m.content += delimiter;
      m.content += 'a';
    }
    append_values(h, f, delimiter, true, translate, m.content);
    if (m.indicators.size() + m.content.size() + 1 > 9999) {
      out.fields.resize(count);
      return false;
    }
  }
  out.fields.resize(count);
  // Position 9 says UTF-8 when nothing translates the values and they are
  // UTF-8, without the escape sequences of MARC-8.
  bool utf8 = untranslated;
  for (std::size_t i = 0; i < count && utf8; ++i)
    utf8 = is_valid_utf8(out.fields[i].content) && out.fields[i].content.find('\x1b') == std::string::npos;
  marc21_leader(out.leader, utf8);
  return true;
}

std::unique_ptr<RecordReader> make_marc21_reader(const FormatOptions& options, InputFile& in) {
  return std::make_unique<Marc21Reader>(options, in);
}
std::unique_ptr<RecordReader> make_mabi_reader(const FormatOptions& options, InputFile& in) {
  return std::make_unique<MabiReader>(options, in);
}
std::unique_ptr<RecordWriter> make_marc21_writer(const FormatOptions& options, OutputFile& out) {
  return std::make_unique<Marc21Writer>(options, out);
}
std::unique_ptr<RecordWriter> make_mabi_writer(const FormatOptions& options, OutputFile& out) {
  return std::make_unique<MabiWriter>(options, out);
}

}  // namespace corvanta::imex
