#include "imex/xml_format.h"

#include <cstdio>
#include <cstring>
#include <optional>
#include <xercesc/framework/XMLPScanToken.hpp>
#include <xercesc/sax/InputSource.hpp>
#include <xercesc/sax/SAXParseException.hpp>
#include <xercesc/sax2/Attributes.hpp>
#include <xercesc/sax2/DefaultHandler.hpp>
#include <xercesc/sax2/SAX2XMLReader.hpp>
#include <xercesc/sax2/XMLReaderFactory.hpp>
#include <xercesc/util/BinInputStream.hpp>
#include <xercesc/util/OutOfMemoryException.hpp>
#include <xercesc/util/PlatformUtils.hpp>
#include <xercesc/util/SecurityManager.hpp>
#include <xercesc/util/XMLString.hpp>
#include <xercesc/util/XMLUni.hpp>

#include "util/text.h"

namespace corvanta::imex {
namespace {

namespace x = xercesc;

constexpr XMLSize_t kEntityExpansionLimit = 10000;
constexpr int kMaxFatalErrors = 100;

// UTF-16 from the parser to UTF-8.
void append_utf8(std::string& out, const XMLCh* s, XMLSize_t n) {
  for (XMLSize_t i = 0; i < n; ++i) {
    char32_t c = s[i];
    if (c >= 0xD800 && c < 0xDC00 && i + 1 < n && s[i + 1] >= 0xDC00 && s[i + 1] < 0xE000) {
      c = 0x10000 + ((c - 0xD800) << 10) + (s[i + 1] - 0xDC00);
      ++i;
    }
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
}

std::string utf8(const XMLCh* s) {
  std::string out;
  if (s != nullptr) append_utf8(out, s, x::XMLString::stringLen(s));
  return out;
}

// The elements the reader knows, by their name without namespace prefix.
// The parser runs without namespace processing (faster), so names come as
// written ("marc:record").
enum class Element { Other, Collection, Record, Leader, Field, Subfield };

Element element_of(const XMLCh* name) {
  if (name == nullptr) return Element::Other;
  const XMLCh* local = name;
  for (const XMLCh* p = name; *p != 0; ++p) {
    if (*p == u':') local = p + 1;
  }
  const auto equals = [local](const char16_t* literal) { return x::XMLString::equals(local, literal); };
  switch (local[0]) {
    case u'c':
      if (equals(u"controlfield")) return Element::Field;
      return equals(u"collection") ? Element::Collection : Element::Other;
    case u'd':
      if (equals(u"datafield")) return Element::Field;
      return equals(u"document") ? Element::Record : Element::Other;
    case u'l': return equals(u"leader") ? Element::Leader : Element::Other;
    case u'r': return equals(u"record") ? Element::Record : Element::Other;
    case u's': return equals(u"subfield") ? Element::Subfield : Element::Other;
    default: return Element::Other;
  }
}

// The parser reads through the input file, so that reads can fail as any
// exchange file's can.
class Stream final : public x::BinInputStream {
 public:
  explicit Stream(InputFile& in) : in_(in) {}
  XMLFilePos curPos() const override { return position_; }
  XMLSize_t readBytes(XMLByte* const to, const XMLSize_t max) override {
    const std::string_view got = in_.peek(max);
    std::memcpy(to, got.data(), got.size());
    in_.consume(got.size());
    position_ += got.size();
    return got.size();
  }
  const XMLCh* getContentType() const override { return nullptr; }

 private:
  InputFile& in_;
  XMLFilePos position_ = 0;
};

class Source final : public x::InputSource {
 public:
  explicit Source(InputFile& in) : in_(in) {}
  x::BinInputStream* makeStream() const override { return new Stream(in_); }

 private:
  InputFile& in_;
};

// Builds records from the parser's events, one "document" at a time.
class Handler final : public x::DefaultHandler {
 public:
  Handler(records::RecordBuilder& builder, const dict::FileDef* file) : builder_(builder), file_(file) {}

  void startElement(const XMLCh* const, const XMLCh* const, const XMLCh* const name,
                    const x::Attributes& attrs) override {
    ++depth_;
    const Element element = element_of(name);
    const bool record = element == Element::Record;
    if (depth_ == 1 && !record) {
      if (element != Element::Collection) wrong_root = true;
      return;
    }
    // Records may stand under the root or deeper (a wrapper element), or be
    // the root themselves (a file of one MARCXML record).
    if (!in_record_) {
      if (record) {
        in_record_ = true;
        record_depth_ = depth_;
        idn = utf8(attrs.getValue(u"idn"));
        type = 0;
      }
      return;
    }
    if (!in_record_) return;
    text_.clear();
    collecting_ = false;
    if (element == Element::Leader) {
      collecting_ = true;
      kind_ = Kind::Leader;
    } else if (element == Element::Field) {
      const std::string tag = utf8(attrs.getValue(u"tag"));
      const std::string ind1 = utf8(attrs.getValue(u"ind1"));
      const std::string ind2 = utf8(attrs.getValue(u"ind2"));
      const char both[2] = {ind1.empty() ? ' ' : ind1[0], ind2.empty() ? ' ' : ind2[0]};
      std::string_view ind(both, 2);
      while (!ind.empty() && ind.back() == ' ') ind.remove_suffix(1);
      def_ = file_ != nullptr ? file_->find_tag(tag) : nullptr;
      skip_field_ = tag == "IDN" ? false : file_ != nullptr && def_ == nullptr;
      field_tag_ = tag;
      field_has_subfields_ = false;
      if (!skip_field_ && tag != "IDN") builder_.field(tag, ind);
      collecting_ = true;
      kind_ = Kind::Field;
    } else if (element == Element::Subfield) {
      const std::string code = utf8(attrs.getValue(u"code"));
      code_ = code.empty() ? ' ' : code[0];
      collecting_ = true;
      kind_ = Kind::Subfield;
      field_has_subfields_ = true;
    }
  }

  void endElement(const XMLCh* const, const XMLCh* const, const XMLCh* const name) override {
    --depth_;
    if (in_record_ && depth_ < record_depth_) {
      in_record_ = false;
      record_done = true;
      return;
    }
    const Element element = element_of(name);
    if (!in_record_ || !collecting_) {
      if (element == Element::Field) finish_field();
      return;
    }
    if (element == Element::Leader && kind_ == Kind::Leader) {
      builder_.field("LDR", {});
      builder_.text(text_);
      if (text_.size() > 6) type = text_[6];
      collecting_ = false;
    } else if (element == Element::Subfield && kind_ == Kind::Subfield) {
      const bool known = def_ == nullptr || def_->subfields.empty() || def_->find_subfield(code_) != nullptr;
      if (!skip_field_ && known) builder_.subfield(code_, text_);
      collecting_ = true;  // text after the subfield belongs to the field again
      kind_ = Kind::Field;
      text_.clear();
    } else if (element == Element::Field) {
      finish_field();
    }
  }

  void characters(const XMLCh* const chars, const XMLSize_t length) override {
    if (!collecting_) return;
    // No value may be longer than a whole record text.
    if (text_.size() > kMaxRecordText) {
      too_long = true;
      return;
    }
    append_utf8(text_, chars, length);
  }

  // A document type declaration may declare entities that expand beyond
  // any limit or name files to read: records never need one.
  void startDTD(const XMLCh* const, const XMLCh* const, const XMLCh* const) override {
    throw x::SAXException(u"document type declarations are not accepted");
  }

  void warning(const x::SAXParseException&) override {}
  void error(const x::SAXParseException& e) override { note(e); }
  void fatalError(const x::SAXParseException& e) override {
    note(e);
    // The parser goes on after an error where it can; a document that
    // keeps failing is given up.
    if (++fatal_errors_ > kMaxFatalErrors) throw x::SAXException(u"too many errors");
  }

  void reset_record() {
    record_done = false;
    too_long = false;
    error_text.clear();
  }

  bool wrong_root = false;
  bool record_done = false;
  bool too_long = false;
  std::string idn;
  char type = 0;
  std::string error_text;  // the first error in the current record

 private:
  enum class Kind { Leader, Field, Subfield };

  void finish_field() {
    if (!collecting_ || kind_ != Kind::Field) return;
    collecting_ = false;
    if (field_tag_ == "IDN") {
      idn = std::string(trim_blanks(text_));
      return;
    }
    if (skip_field_ || field_has_subfields_) return;
    builder_.text(text_);
  }

  void note(const x::SAXParseException& e) {
    if (!error_text.empty()) return;
    char where[48];
    std::snprintf(where, sizeof where, "%llu:%llu ", static_cast<unsigned long long>(e.getLineNumber()),
                  static_cast<unsigned long long>(e.getColumnNumber()));
    error_text = where + utf8(e.getMessage());
  }

  records::RecordBuilder& builder_;
  const dict::FileDef* file_;
  const dict::TagDef* def_ = nullptr;
  int depth_ = 0;
  int record_depth_ = 0;
  int fatal_errors_ = 0;
  bool in_record_ = false;
  bool collecting_ = false;
  bool skip_field_ = false;
  bool field_has_subfields_ = false;
  Kind kind_ = Kind::Field;
  char code_ = ' ';
  std::string field_tag_;
  std::string text_;
};

// The parser library's initialisation, held as long as a reader lives
// (the library counts them); it must come before any of its objects.
struct XercesUse {
  XercesUse() { x::XMLPlatformUtils::Initialize(); }
  ~XercesUse() { x::XMLPlatformUtils::Terminate(); }
  XercesUse(const XercesUse&) = delete;
  XercesUse& operator=(const XercesUse&) = delete;
};

class XmlReader final : public RecordReader {
 public:
  XmlReader(const FormatOptions& o, InputFile& in)
      : RecordReader(o),
        in_(in),
        source_(in),
        handler_(builder_, o.type == FormatType::XMarc21 ? o.file : nullptr) {}

  ResultCode next(records::RecordHandle& h) override {
    if (done_) return kEndOfInput;
    start(h);
    handler_.reset_record();
    try {
      if (parser_ == nullptr) {
        parser_.reset(x::XMLReaderFactory::createXMLReader());
        parser_->setFeature(x::XMLUni::fgSAX2CoreNameSpaces, false);
        parser_->setFeature(x::XMLUni::fgSAX2CoreValidation, false);
        parser_->setFeature(x::XMLUni::fgXercesLoadExternalDTD, false);
        parser_->setFeature(x::XMLUni::fgXercesDisableDefaultEntityResolution, true);
        parser_->setFeature(x::XMLUni::fgXercesContinueAfterFatalError, true);
        security_.setEntityExpansionLimit(kEntityExpansionLimit);
        parser_->setProperty(x::XMLUni::fgXercesSecurityManager, &security_);
        parser_->setContentHandler(&handler_);
        parser_->setErrorHandler(&handler_);
        parser_->setLexicalHandler(&handler_);
        if (!parser_->parseFirst(source_, token_)) done_ = true;
      }
      while (!done_ && !handler_.record_done && !handler_.wrong_root) {
        if (!parser_->parseNext(token_)) done_ = true;
      }
    } catch (const x::XMLException& e) {
      if (handler_.error_text.empty()) handler_.error_text = utf8(e.getMessage());
      done_ = true;
    } catch (const x::SAXException& e) {
      if (handler_.error_text.empty()) handler_.error_text = utf8(e.getMessage());
      done_ = true;
    } catch (const x::OutOfMemoryException&) {
      return records::kTargetTooSmall;
    }
    if (in_.failed()) return kCannotRead;
    if (handler_.wrong_root) {
      done_ = true;
      return kNotXmlCollection;
    }
    if (!handler_.record_done && builder_.empty() && handler_.error_text.empty()) return kEndOfInput;
    type_ = handler_.type;
    h.idn = 0;
    const std::optional<std::uint32_t> idn = idn_number(handler_.idn);
    text_.clear();
    const bool built = !handler_.too_long && builder_.build(h).ok();
    if (idn) h.idn = *idn;
    records::rec_store_header(h);
    if (!handler_.error_text.empty()) return unreadable(kMsgXmlError, handler_.error_text);
    if (!handler_.record_done) return unreadable(kMsgXmlError, "unexpected end of document");
    if (!built) return unreadable(kMsgRecordTooLong, handler_.idn);
    if (!idn) return unreadable(kMsgBadIdn, handler_.idn);
    return 0;
  }

 private:
  XercesUse xerces_;  // first: made before and gone after the parser's objects
  InputFile& in_;
  Source source_;
  x::SecurityManager security_;
  Handler handler_;
  std::unique_ptr<x::SAX2XMLReader> parser_;
  x::XMLPScanToken token_;
  bool done_ = false;
};

class XmlWriter final : public RecordWriter {
 public:
  using RecordWriter::RecordWriter;
  void begin() override { out_.write("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<collection>\n"); }
  void end() override { out_.write("</collection>\n"); }

  ResultCode write(records::RecordHandle& h) override {
    std::string text;
    char idn[16];
    std::snprintf(idn, sizeof idn, "%09lu", static_cast<unsigned long>(h.idn));
    text += "<document idn=\"";
    text += idn;
    text += '"';
    if (!options_.base.empty()) {
      text += " base=\"";
      append_escaped(text, options_.base);
      text += '"';
    }
    text += ">\n";
    records::FieldDesc f;
    for (ResultCode rc = records::fld_first(h, f); rc.code() == 0; rc = records::fld_next(h, f)) {
      if (!known(f)) continue;
      if (f.tag == "LDR") {
        text += "  <leader>";
        append_escaped(text, f.content());
        text += "</leader>\n";
        continue;
      }
      const bool control = f.tag >= "001" && f.tag <= "009";
      text += control ? "  <controlfield tag=\"" : "  <datafield tag=\"";
      append_escaped(text, f.tag);
      text += '"';
      if (!control || !f.indicators.empty()) {
        std::string ind = f.indicators;
        ind.resize(2, ' ');
        text += " ind1=\"";
        append_escaped(text, ind.substr(0, 1));
        text += "\" ind2=\"";
        append_escaped(text, ind.substr(1, 1));
        text += '"';
      }
      text += '>';
      records::FieldDesc s;
      if (records::sfl_first(h, f, s).code() == 0) {
        text += '\n';
        do {
          if (!known(f, s.tag[0])) continue;
          text += "    <subfield code=\"";
          append_escaped(text, s.tag);
          text += "\">";
          append_escaped(text, s.content());
          text += "</subfield>\n";
        } while (records::sfl_next(h, f, s).code() == 0);
        text += "  ";
      } else {
        append_escaped(text, f.content());
      }
      text += control ? "</controlfield>\n" : "</datafield>\n";
    }
    text += "</document>\n";
    out_.write(text);
    return 1;
  }
};

}  // namespace

void append_escaped(std::string& out, std::string_view text) {
  for (const char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\t': out += "&#9;"; break;
      case '\n': out += "&#10;"; break;
      case '\r': out += "&#13;"; break;
      default: out += static_cast<unsigned char>(c) < ' ' ? ' ' : c;
    }
  }
}

std::unique_ptr<RecordReader> make_xml_reader(const FormatOptions& options, InputFile& in) {
  return std::make_unique<XmlReader>(options, in);
}

std::unique_ptr<RecordWriter> make_xml_writer(const FormatOptions& options, OutputFile& out) {
  return std::make_unique<XmlWriter>(options, out);
}

}  // namespace corvanta::imex
