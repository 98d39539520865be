#include "imex/xml_format.h"

#include <cstdio>
#include <cstring>
#include <optional>
#include <xercesc/framework/MemBufInputSource.hpp>
#include <xercesc/sax/SAXParseException.hpp>
#include <xercesc/sax2/Attributes.hpp>
#include <xercesc/sax2/DefaultHandler.hpp>
#include <xercesc/sax2/SAX2XMLReader.hpp>
#include <xercesc/sax2/XMLReaderFactory.hpp>
#include <xercesc/util/OutOfMemoryException.hpp>
#include <xercesc/util/PlatformUtils.hpp>
#include <xercesc/util/SecurityManager.hpp>
#include <xercesc/util/XMLString.hpp>
#include <xercesc/util/XMLUni.hpp>

#include "util/text.h"
#include "util/xml_text.h"

namespace corvanta::imex {
namespace {

namespace x = xercesc;

constexpr XMLSize_t kEntityExpansionLimit = 10000;

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

// Builds records from the parser's events, one "document" at a time.
class Handler final : public x::DefaultHandler {
 public:
  Handler(records::RecordBuilder& builder, const dict::FileDef* file, LeftOut& left_out)
      : builder_(builder), file_(file), left_out_(left_out) {}

  void startElement(const XMLCh* const, const XMLCh* const, const XMLCh* const name,
                    const x::Attributes& attrs) override {
    ++depth_;
    const Element element = element_of(name);
    // Each piece the parser gets is one record element.
    if (depth_ == 1) {
      in_record_ = true;
      idn = utf8(attrs.getValue(u"idn"));
      type = 0;
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
      if (skip_field_) ++left_out_[tag];
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
    if (in_record_ && depth_ == 0) {
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
      if (!skip_field_ && !known) ++left_out_[field_tag_ + "$" + code_];
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
  void fatalError(const x::SAXParseException& e) override { note(e); }

  void reset_record() {
    record_done = false;
    too_long = false;
    error_text.clear();
    idn.clear();
    type = 0;
    depth_ = 0;
    in_record_ = false;
    collecting_ = false;
    text_.clear();
  }

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
    error_line = e.getLineNumber();
    error_column = e.getColumnNumber();
    error_text = utf8(e.getMessage());
  }

 public:
  XMLFileLoc error_line = 0, error_column = 0;  // where error_text was found

 private:
  records::RecordBuilder& builder_;
  const dict::FileDef* file_;
  LeftOut& left_out_;
  const dict::TagDef* def_ = nullptr;
  int depth_ = 0;
  bool in_record_ = false;
  bool collecting_ = false;
  bool skip_field_ = false;
  bool field_has_subfields_ = false;
  Kind kind_ = Kind::Field;
  char code_ = ' ';
  std::string field_tag_;
  std::string text_;
};

// The problem of a root that is neither "collection" nor a record.
constexpr std::string_view kWrongRoot = "<collection>";

// Finds each record element of the document in the input without parsing
// it: tags, comments, CDATA sections and processing instructions are told
// apart by their delimiters, so that a record that is not well-formed ends
// at its own end tag (or where the next record begins) and the next one is
// found all the same. Only encodings that keep ASCII bytes as they are can
// be split; UTF-16 is refused.
class Splitter {
 public:
  explicit Splitter(InputFile& in) : in_(in) {}

  struct Piece {
    std::string bytes;                   // the record element as read (up to kMaxKeptText)
    bool cut = false;                    // longer than kMaxKeptText
    unsigned long line = 0, column = 0;  // where it begins in the file
  };
  enum class Step { Record, End, Broken };

  // The next record into `piece`; End after the root element; Broken
  // (problem() says why) when the document's structure is broken beyond a
  // record.
  Step next(Piece& piece) {
    for (;;) {
      if (state_ == State::Done) return Step::End;
      if (state_ == State::Broken) return Step::Broken;
      if (state_ == State::Start && !start()) return Step::Broken;
      raw_.clear();
      const Item it = item();
      if (it.kind == Kind::Eof || it.unfinished) {
        if (state_ == State::Epilog && it.kind == Kind::Eof) {
          state_ = State::Done;
          continue;
        }
        return broken(state_ == State::Prolog
                          ? std::string("no root element")
                          : at(it) + "the document ends before the end of its root element");
      }
      switch (it.kind) {
        case Kind::Misc:
          if (state_ == State::Prolog && raw_.compare(0, 5, "<?xml") == 0) take_encoding();
          continue;
        case Kind::Doctype: continue;  // its declarations are never used
        case Kind::Text:
          if (!it.blank && state_ != State::InRoot) return broken(at(it) + "text outside the root element");
          continue;
        case Kind::Close:
          if (state_ != State::InRoot) return broken(at(it) + "end tag </" + it.name + "> without its start");
          if (--depth_ == 0) state_ = State::Epilog;
          continue;
        default: break;
      }
      if (state_ == State::Epilog) return broken(at(it) + "a second root element <" + it.name + ">");
      if (is_record(it.name)) {
        if (state_ == State::Prolog) state_ = State::Epilog;  // one record as the whole document
        read_record(it, piece);
        return Step::Record;
      }
      if (state_ == State::Prolog) {
        if (local(it.name) != "collection") return broken(std::string(kWrongRoot));
        root_ = it.name;
        state_ = State::InRoot;
      }
      if (it.kind == Kind::Start) {
        ++depth_;
      } else if (depth_ == 0) {
        state_ = State::Epilog;  // <collection/>
      }
    }
  }

  const std::string& encoding() const { return encoding_; }
  const std::string& problem() const { return problem_; }

 private:
  enum class State { Start, Prolog, InRoot, Epilog, Done, Broken };
  enum class Kind { Eof, Text, Start, Empty, Close, Misc, Doctype };
  struct Item {
    Kind kind = Kind::Eof;
    std::string name;         // of a tag
    bool blank = true;        // text of white space only
    bool unfinished = false;  // the input ended inside it
    unsigned long line = 0, column = 0;
  };

  static std::string_view local(std::string_view name) {
    const std::size_t colon = name.rfind(':');
    return colon == std::string_view::npos ? name : name.substr(colon + 1);
  }
  static bool is_record(std::string_view name) {
    return local(name) == "record" || local(name) == "document";
  }
  static std::string at(const Item& it) {
    return std::to_string(it.line) + ":" + std::to_string(it.column) + " ";
  }

  Step broken(std::string why) {
    problem_ = std::move(why);
    state_ = State::Broken;
    return Step::Broken;
  }

  // The byte order mark of UTF-8 is passed over; UTF-16 is refused.
  bool start() {
    state_ = State::Prolog;
    const std::string_view head = in_.peek(4);
    if (head.substr(0, 3) == "\xEF\xBB\xBF") {
      in_.consume(3);
    } else if (head.substr(0, 2) == "\xFE\xFF" || head.substr(0, 2) == "\xFF\xFE" ||
               (head.size() >= 2 && (head[0] == 0 || head[1] == 0))) {
      broken("UTF-16 is not read; the document must be in UTF-8 or another ASCII-based encoding");
      return false;
    }
    return true;
  }

  void take_encoding() {
    const std::size_t end = raw_.find("?>");
    const std::string decl = raw_.substr(0, end);
    const std::size_t e = decl.find("encoding");
    if (e == std::string::npos) return;
    const std::size_t q = decl.find_first_of("\"'", e);
    if (q == std::string::npos) return;
    const std::size_t q2 = decl.find(decl[q], q + 1);
    if (q2 == std::string::npos) return;
    encoding_ = decl.substr(q + 1, q2 - q - 1);
  }

  // The record that begins with `it`: up to its end tag, or, when that is
  // missing, up to where the next record or the root's end tag begins, or
  // up to the end of the input.
  void read_record(const Item& it, Piece& piece) {
    piece.line = it.line;
    piece.column = it.column;
    piece.cut = false;
    for (bool open = it.kind == Kind::Start; open;) {
      const std::size_t before = raw_.size();
      const std::size_t cut_before = cut_;
      Item next = item();
      if (next.kind == Kind::Eof || next.unfinished) {
        // This record is given (and reported); the next call reports the end.
        problem_ = at(next) + "the document ends inside the record that begins at " + at(it);
        state_ = State::Broken;
        break;
      }
      const bool ends_root = next.kind == Kind::Close && next.name == root_;
      if ((next.kind != Kind::Close && next.kind != Kind::Text && is_record(next.name)) || ends_root) {
        pending_ = std::move(next);  // not this record's
        pending_raw_ = raw_.substr(before);
        raw_.resize(before);
        cut_ = cut_before;
        break;
      }
      // Only its own end tag ends the record: end tags of other names
      // (even unbalanced ones) belong to it.
      open = !(next.kind == Kind::Close && next.name == it.name);
    }
    piece.bytes = raw_;
    piece.cut = cut_ > 0;
  }

  // The next item of the document; its bytes are appended to raw_.
  Item item() {
    if (pending_) {
      Item it = std::move(*pending_);
      pending_.reset();
      raw_ += pending_raw_;
      return it;
    }
    cut_ = raw_.empty() ? 0 : cut_;
    Item it;
    int c = peek();
    it.line = line_;
    it.column = column_ + 1;
    if (c < 0) return it;
    if (c != '<') {
      it.kind = Kind::Text;
      while ((c = peek()) >= 0 && c != '<') {
        if (c != ' ' && c != '\t' && c != '\n' && c != '\r') it.blank = false;
        get();
      }
      return it;
    }
    get();
    c = peek();
    if (c == '?') {
      it.kind = Kind::Misc;
      it.unfinished = !skip_past("?>");
    } else if (c == '!') {
      get();
      if (peek() == '-') {
        it.kind = Kind::Misc;
        it.unfinished = !skip_past("-->");
      } else if (peek() == '[') {
        it.kind = Kind::Misc;
        it.unfinished = !skip_past("]]>");
      } else {
        it.kind = Kind::Doctype;
        it.unfinished = !skip_declaration();
      }
    } else if (c == '/') {
      get();
      it.kind = Kind::Close;
      it.name = name();
      while ((c = peek()) >= 0 && c != '>' && c != '<') get();
      if (c == '>') get();
      it.unfinished = c < 0;
    } else {
      it.kind = Kind::Start;
      it.name = name();
      it.unfinished = !skip_attributes(it.kind);
    }
    return it;
  }

  std::string name() {
    std::string n;
    for (int c = peek(); c > ' ' && c != '/' && c != '>' && c != '<' && c != '=' && n.size() < 256;
         c = peek()) {
      n += static_cast<char>(c);
      get();
    }
    return n;
  }

  // Up to the end of a start tag: false at the end of the input. A quoted
  // value is passed over; a "<" ends a tag that was not closed (the parser
  // reports it), so that one broken tag never takes the next ones.
  bool skip_attributes(Kind& kind) {
    for (int c = peek();; c = peek()) {
      if (c < 0) return false;
      if (c == '<') return true;
      get();
      if (c == '>') return true;
      if (c == '/' && peek() == '>') {
        get();
        kind = Kind::Empty;
        return true;
      }
      if (c == '"' || c == '\'') {
        for (int d = peek(); d != c; d = peek()) {
          if (d < 0) return false;
          if (d == '<') return true;
          get();
        }
        get();
      }
    }
  }

  bool skip_past(std::string_view end) {
    std::size_t matched = 0;
    for (int c = get(); c >= 0; c = get()) {
      if (static_cast<char>(c) == end[matched]) {
        if (++matched == end.size()) return true;
      } else {
        matched = static_cast<char>(c) == end[0] ? 1 : 0;
      }
    }
    return false;
  }

  // A declaration such as <!DOCTYPE ...[...]>: up to its ">" outside
  // brackets and quotes.
  bool skip_declaration() {
    int brackets = 0;
    char quote = 0;
    for (int c = get(); c >= 0; c = get()) {
      if (quote != 0) {
        if (c == quote) quote = 0;
      } else if (c == '"' || c == '\'') {
        quote = static_cast<char>(c);
      } else if (c == '[') {
        ++brackets;
      } else if (c == ']') {
        --brackets;
      } else if (c == '>' && brackets <= 0) {
        return true;
      }
    }
    return false;
  }

  int peek() {
    if (at_ == chunk_.size()) {
      in_.consume(at_);
      chunk_ = in_.peek(kChunk);
      at_ = 0;
      if (chunk_.empty()) return -1;
    }
    return static_cast<unsigned char>(chunk_[at_]);
  }
  int get() {
    const int c = peek();
    if (c < 0) return c;
    ++at_;
    if (raw_.size() < kMaxKeptText) {
      raw_ += static_cast<char>(c);
    } else {
      ++cut_;
    }
    if (c == '\n') {
      ++line_;
      column_ = 0;
    } else if ((c & 0xC0) != 0x80) {
      ++column_;  // columns count characters, as the parser's do
    }
    return c;
  }

  static constexpr std::size_t kChunk = 1 << 16;
  InputFile& in_;
  std::string_view chunk_;  // what the input showed, up to at_ taken
  std::size_t at_ = 0;
  unsigned long line_ = 1, column_ = 0;
  State state_ = State::Start;
  int depth_ = 0;     // elements open around the records
  std::string root_;  // the root element's name
  std::string raw_;   // the bytes of the current item or record
  std::size_t cut_ = 0;
  std::optional<Item> pending_;  // read ahead: the next record's start tag
  std::string pending_raw_;
  std::string encoding_ = "UTF-8";
  std::string problem_;
};

// The parser library's initialisation, held as long as a reader lives
// (the library counts them); it must come before any of its objects.
struct XercesUse {
  XercesUse() { x::XMLPlatformUtils::Initialize(); }
  ~XercesUse() { x::XMLPlatformUtils::Terminate(); }
  XercesUse(const XercesUse&) = delete;
  XercesUse& operator=(const XercesUse&) = delete;
};

// "line:column " of a place in the file.
std::string place(unsigned long line, unsigned long column) {
  return std::to_string(line) + ":" + std::to_string(column) + " ";
}

// Where the first byte of `bytes` that is not well-formed UTF-8 lies
// (counted from the piece's place), none when all are.
std::optional<std::string> bad_utf8(std::string_view bytes, unsigned long line, unsigned long column) {
  for (std::size_t i = 0; i < bytes.size();) {
    const std::size_t n = utf8_char_length(bytes.substr(i));
    if (n == 0) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "%02X", static_cast<unsigned char>(bytes[i]));
      return place(line, column) + "byte 0x" + hex + " is not UTF-8";
    }
    if (bytes[i] == '\n') {
      ++line;
      column = 1;
    } else {
      ++column;
    }
    i += n;
  }
  return std::nullopt;
}

class XmlReader final : public RecordReader {
 public:
  XmlReader(const FormatOptions& o, InputFile& in)
      : RecordReader(o),
        in_(in),
        splitter_(in),
        handler_(builder_, o.type == FormatType::XMab2 ? nullptr : o.file, left_out_) {}

  ResultCode next(records::RecordHandle& h) override {
    start(h);
    text_.clear();
    problem_ = {};  // a failure's problem is always this call's
    const Splitter::Step step = splitter_.next(piece_);
    if (in_.failed()) return kCannotRead;
    if (step == Splitter::Step::End) return kEndOfInput;
    if (step == Splitter::Step::Broken) {
      problem_ = {kMsgXmlError, splitter_.problem()};
      return splitter_.problem() == kWrongRoot ? kNotXmlCollection : kCannotRead;
    }
    text_ = piece_.bytes;  // what the error file gets
    if (piece_.cut) return unreadable(kMsgRecordTooLong, place(piece_.line, piece_.column));
    const bool utf8_input =
        equal_nocase(splitter_.encoding(), "UTF-8") || equal_nocase(splitter_.encoding(), "UTF8");
    if (utf8_input) {
      if (std::optional<std::string> bad = bad_utf8(piece_.bytes, piece_.line, piece_.column))
        return unreadable(kMsgXmlError, std::move(*bad));
    }
    handler_.reset_record();
    if (const ResultCode rc = parse(); rc.failed()) return rc;
    type_ = handler_.type;
    h.idn = 0;
    const std::optional<std::uint32_t> idn = idn_number(handler_.idn);
    const bool built = !handler_.too_long && builder_.build(h).ok();
    if (idn) h.idn = *idn;
    records::rec_store_header(h);
    if (!handler_.error_text.empty()) return unreadable(kMsgXmlError, error_place() + handler_.error_text);
    if (!handler_.record_done)
      return unreadable(kMsgXmlError, place(piece_.line, piece_.column) + "record not closed");
    if (!built) return unreadable(kMsgRecordTooLong, handler_.idn);
    if (!idn) return unreadable(kMsgBadIdn, handler_.idn);
    return 0;
  }

 private:
  // Parses the piece as a document of its own, in the file's encoding.
  ResultCode parse() {
    prefix_ = "<?xml version=\"1.0\" encoding=\"" + splitter_.encoding() + "\"?>";
    document_ = prefix_;
    document_ += piece_.bytes;
    try {
      if (parser_ == nullptr) {
        parser_.reset(x::XMLReaderFactory::createXMLReader());
        parser_->setFeature(x::XMLUni::fgSAX2CoreNameSpaces, false);
        parser_->setFeature(x::XMLUni::fgSAX2CoreValidation, false);
        parser_->setFeature(x::XMLUni::fgXercesLoadExternalDTD, false);
        parser_->setFeature(x::XMLUni::fgXercesDisableDefaultEntityResolution, true);
        security_.setEntityExpansionLimit(kEntityExpansionLimit);
        parser_->setProperty(x::XMLUni::fgXercesSecurityManager, &security_);
        parser_->setContentHandler(&handler_);
        parser_->setErrorHandler(&handler_);
        parser_->setLexicalHandler(&handler_);
      }
      const x::MemBufInputSource source(reinterpret_cast<const XMLByte*>(document_.data()), document_.size(),
                                        "record", false);
      parser_->parse(source);
    } catch (const x::XMLException& e) {
      if (handler_.error_text.empty()) handler_.error_text = utf8(e.getMessage());
    } catch (const x::SAXException& e) {
      if (handler_.error_text.empty()) handler_.error_text = utf8(e.getMessage());
    } catch (const x::OutOfMemoryException&) {
      return records::kTargetTooSmall;
    }
    return 0;
  }

  // Where the parser found its error, as a place in the file.
  std::string error_place() const {
    const auto line = static_cast<unsigned long>(handler_.error_line);
    const auto column = static_cast<unsigned long>(handler_.error_column);
    if (line == 0) return place(piece_.line, piece_.column);
    if (line > 1) return place(piece_.line + line - 1, column);
    const unsigned long skip = prefix_.size();
    return place(piece_.line, column > skip ? column - skip + piece_.column - 1 : piece_.column);
  }

  XercesUse xerces_;  // first: made before and gone after the parser's objects
  InputFile& in_;
  Splitter splitter_;
  Splitter::Piece piece_;
  std::string prefix_, document_;
  x::SecurityManager security_;
  Handler handler_;
  std::unique_ptr<x::SAX2XMLReader> parser_;
};

// What both XML writers share: values through the one XML text function
// (counting what it replaced), and unreadable input as escaped text.
class XmlWriterBase : public RecordWriter {
 public:
  using RecordWriter::RecordWriter;
  void write_raw(std::string_view bytes) override {
    std::string text = "<unreadable>";
    (void)append_xml_text(text, bytes, XmlTextUse::Content);
    text += "</unreadable>\n";
    out_.write(text);
  }

 protected:
  void put(std::string& out, std::string_view value) { replaced_ += append_xml_text(out, value); }
};

// The service's own XML: every field the definitions know, LDR as the
// leader, 001-009 as control fields.
class XmlWriter final : public XmlWriterBase {
 public:
  using XmlWriterBase::XmlWriterBase;
  void begin() override { out_.write("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<collection>\n"); }
  void end() override { out_.write("</collection>\n"); }

  ResultCode write(records::RecordHandle& h) override {
    replaced_ = 0;
    std::string text;
    char idn[16];
    std::snprintf(idn, sizeof idn, "%09lu", static_cast<unsigned long>(h.idn));
    text += "<document idn=\"";
    text += idn;
    text += '"';
    if (!options_.base.empty()) {
      text += " base=\"";
      put(text, options_.base);
      text += '"';
    }
    text += ">\n";
    records::FieldDesc f;
    for (ResultCode rc = records::fld_first(h, f); rc.code() == 0; rc = records::fld_next(h, f)) {
      if (!known(f)) continue;
      if (f.tag == "LDR") {
        text += "  <leader>";
        put(text, f.content());
        text += "</leader>\n";
        continue;
      }
      const bool control = f.tag >= "001" && f.tag <= "009";
      text += control ? "  <controlfield tag=\"" : "  <datafield tag=\"";
      put(text, f.tag);
      text += '"';
      if (!control || !f.indicators.empty()) {
        std::string ind = f.indicators;
        ind.resize(2, ' ');
        text += " ind1=\"";
        put(text, ind.substr(0, 1));
        text += "\" ind2=\"";
        put(text, ind.substr(1, 1));
        text += '"';
      }
      text += '>';
      records::FieldDesc s;
      if (records::sfl_first(h, f, s).code() == 0) {
        text += '\n';
        do {
          if (!known(f, s.tag[0])) continue;
          text += "    <subfield code=\"";
          put(text, s.tag);
          text += "\">";
          put(text, s.content());
          text += "</subfield>\n";
        } while (records::sfl_next(h, f, s).code() == 0);
        text += "  ";
      } else {
        put(text, f.content());
      }
      text += control ? "</controlfield>\n" : "</datafield>\n";
    }
    text += "</document>\n";
    out_.write(text);
    return 1;
  }
};

// Standard MARCXML: the fields a MARC 21 record carries (tags of three
// digits; no "L" link subfields), the leader first.
class MarcXmlWriter final : public XmlWriterBase {
 public:
  using XmlWriterBase::XmlWriterBase;
  void begin() override {
    out_.write(
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<collection "
        "xmlns=\"http://www.loc.gov/MARC21/slim\">\n");
  }
  void end() override { out_.write("</collection>\n"); }

  ResultCode write(records::RecordHandle& h) override {
    replaced_ = 0;
    const auto as_is = [](std::string_view v, std::string& out) { out.append(v); };
    if (!marc21_record(h, kSubfieldDelimiter, as_is, true, true, m_)) {
      problem_ = {kMsgRecordTooLong, std::to_string(h.idn)};
      return kUnreadable;
    }
    iso2709_encode(m_, image_);  // for the leader's numbers
    std::string leader = image_.substr(0, kLeaderSize);
    leader[9] = 'a';  // what this writer writes is UTF-8
    std::string body;
    for (const MarcField& m : m_.fields) {
      const bool control = m.tag < "010";
      body += control ? "  <controlfield tag=\"" : "  <datafield tag=\"";
      body += m.tag;
      body += '"';
      if (!control) {
        body += " ind1=\"";
        put(body, m.indicators.substr(0, 1));
        body += "\" ind2=\"";
        put(body, m.indicators.substr(1, 1));
        body += '"';
      }
      body += '>';
      if (control) {
        put(body, m.content);
      } else {
        body += '\n';
        std::string_view rest(m.content);
        while (!rest.empty()) {
          rest.remove_prefix(1);  // the delimiter
          const std::size_t end = std::min(rest.find(kSubfieldDelimiter), rest.size());
          const std::string_view sub = rest.substr(0, end);
          rest.remove_prefix(end);
          if (sub.empty()) continue;
          body += "    <subfield code=\"";
          put(body, sub.substr(0, 1));
          body += "\">";
          put(body, sub.substr(1));
          body += "</subfield>\n";
        }
        body += "  ";
      }
      body += control ? "</controlfield>\n" : "</datafield>\n";
    }
    std::string text = "<record>\n  <leader>";
    put(text, leader);
    text += "</leader>\n";
    text += body;
    text += "</record>\n";
    out_.write(text);
    return 1;
  }

 private:
  MarcRecord m_;
  std::string image_;
};

}  // namespace

std::unique_ptr<RecordReader> make_xml_reader(const FormatOptions& options, InputFile& in) {
  return std::make_unique<XmlReader>(options, in);
}

std::unique_ptr<RecordWriter> make_xml_writer(const FormatOptions& options, OutputFile& out) {
  if (options.type == FormatType::MarcXml) return std::make_unique<MarcXmlWriter>(options, out);
  return std::make_unique<XmlWriter>(options, out);
}

}  // namespace corvanta::imex
