#include "output/printout.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "imex/exchange_file.h"
#include "records/record.h"
#include "util/posix_io.h"
#include "util/xml_text.h"

namespace corvanta {

namespace {

constexpr int kMaxLinkDepth = 2;  // linked records of linked records, no further

bool regular_file(const std::string& path) {
  struct stat st {};
  return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// The stylesheet pattern with `name` in place of its first "%s"; other
// conversions are taken as text, so a pattern cannot read past its argument.
std::string style_path(std::string_view pattern, std::string_view name) {
  const std::size_t at = pattern.find("%s");
  if (at == std::string_view::npos) return std::string(pattern);
  std::string out(pattern.substr(0, at));
  out += name;
  out += pattern.substr(at + 2);
  return out;
}

std::string joined(const records::FormattedLine& line) {
  std::string out;
  for (const std::string& column : line) {
    if (!out.empty()) out += ' ';
    out += column;
  }
  return out;
}

}  // namespace

void Printout::append_escaped(std::string& out, std::string_view text) {
  // Runs of text between the printout's own marks go through the one XML
  // text function (bytes that are no UTF-8 become U+FFFD).
  std::size_t run = 0;
  const auto flush = [&](std::size_t to) {
    (void)append_xml_text(out, text.substr(run, to - run), XmlTextUse::Content);
  };
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\'') {
      flush(i);
      out += "&apos;";
      run = i + 1;
    } else if (text[i] == '#' && i + 1 < text.size() && text[i + 1] == '#') {
      flush(i);
      out += "<LF />";
      run = i + 2;
      ++i;
    }
  }
  flush(text.size());
}

void Printout::reset() {
  type_.clear();
  action_.clear();
  program_.clear();
  address_.clear();
  subject_.clear();
  style_.clear();
  form_.clear();
  language_.clear();
  translation_.clear();
  transform_ = form_headers_ = list_header_ = list_footer_ = true;
  std::string().swap(content_);
  open_.clear();
  if (language_switched_ && env_.select_language) env_.select_language(previous_language_);
  language_switched_ = false;
}

namespace {

// A value of the header block on one line: control characters (a line end
// would start another header line) become blanks.
std::string header_value(std::string_view value) {
  std::string out(value);
  for (char& c : out) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = ' ';
  }
  return out;
}

}  // namespace

ResultCode Printout::set(int number, std::string_view raw) {
  const std::string value = number == kPrintPath ? std::string(raw) : header_value(raw);
  switch (number) {
    case kPrintPlain:
      type_ = "PLAIN";
      transform_ = false;
      if (state_ != 0) {
        content_.clear();
        open_.clear();
      }
      break;
    case kPrintNoFormHeaders: form_headers_ = false; break;
    case kPrintHtml:
      type_ = "HTML";
      if (!value.empty() && std::isalpha(static_cast<unsigned char>(value.front()))) style_ = value;
      break;
    case kPrintXml:
      type_ = "RAW_XML\n";
      transform_ = false;
      break;
    case kPrintMessage: action_ = "MESSAGE"; break;
    case kPrintExecute:
      if (value.empty()) break;
      action_ = "EXECUTE";
      program_ = value;
      break;
    case kPrintPreview: action_ = "PREVIEW"; break;
    case kPrintSaveAs: action_ = "SAVE_AS"; break;
    case kPrintEdit: action_ = "EDIT"; break;
    case kPrintEmail:
      if (value.empty()) break;
      action_ = "EMAIL_ADDRESS";
      address_ = value;
      apply_subject_default();
      break;
    case kPrintSubject: subject_ = value; break;
    case kPrintLanguage:
      language_ = value;
      if (env_.language && env_.select_language && !value.empty() && env_.language() != value) {
        if (!language_switched_) previous_language_ = env_.language();
        language_switched_ = true;
        env_.select_language(value);
      }
      break;
    case kPrintForm: form_ = value; break;
    case kPrintTranslation: translation_ = value; break;
    case kPrintPath: {
      state_ = 0;
      reset();
      if (const ResultCode rc = sync_appended(); rc.failed()) return rc;
      path_.clear();
      if (!value.empty()) {
        path_ = value;
        break;
      }
      std::string pattern =
          (env_.temp_directory.empty() ? std::string(".") : env_.temp_directory) + "/prtXXXXXX";
      const int fd = ::mkstemp(pattern.data());
      if (fd < 0) return kPrintCannotWrite;
      ::close(fd);
      path_ = pattern;
      break;
    }
    default: break;
  }
  return 0;
}

ResultCode Printout::set_type(std::string_view name, std::string_view value) {
  if (name == "PLAIN") return set(kPrintPlain, value);
  if (name == "XML") return set(kPrintXml, value);
  return set(kPrintHtml, value);
}

const dict::FormDef* Printout::find_form(std::string_view name) const {
  const dict::AppFileDef* file = pools_.file();
  if (file == nullptr || name.empty()) return nullptr;
  return file->find_form(name);
}

void Printout::apply_form_defaults() {
  const dict::FormDef* form = find_form(form_);
  if (form == nullptr) return;
  if (type_.empty()) {
    // Settings other than the output path cannot fail.
    if (form->type == 'P') (void)set(kPrintPlain, {});
    if (form->type == 'X') (void)set(kPrintXml, {});
    if (form->type == 'H') (void)set(kPrintHtml, {});
  }
  if (style_.empty()) style_ = form->style;
  if (!form->program.empty()) (void)set(kPrintExecute, form->program);
}

void Printout::apply_subject_default() {
  if (form_.empty() || address_.empty() || !subject_.empty() || !env_.header_text) return;
  subject_ = env_.header_text(form_);
  if (subject_ == form_ || subject_.empty()) subject_ = env_.header_text("MAILSUBJECT");
  if (subject_ == "MAILSUBJECT") subject_.clear();
}

ResultCode Printout::start() {
  if (pools_.pool() == nullptr) return kPrintNoPool;
  if (pools_.file() == nullptr) return kPrintNoFileOrPath;
  if (!language_.empty()) (void)set(kPrintLanguage, std::string(language_));
  content_.clear();
  content_.reserve(env_.content_size);
  open_.clear();
  if (type_ != "PLAIN") {
    content_ += "<?xml version=\"1.0\" encoding=\"";
    content_ += translation_.empty() ? std::string("UTF-8") : translation_;
    content_ += "\" ?>\n";
    open_element("PRINTOUT");
  }
  return 0;
}

ResultCode Printout::open_document(std::string_view form, int state) {
  if (!form.empty()) form_ = form;
  if (!form_.empty() && find_form(form_) == nullptr)
    return pools_.file() == nullptr ? kPrintNoFileOrPath : kPrintNoForm;
  apply_form_defaults();
  if (const ResultCode rc = start(); rc.failed()) return rc;
  state_ = state;
  return 0;
}

ResultCode Printout::begin(std::string_view path, std::string_view form) {
  if (!path.empty()) {
    if (const ResultCode rc = set(kPrintPath, path); rc.failed()) return rc;
  }
  return open_document(form, 1);
}

ResultCode Printout::append(std::string_view form) {
  if (path_.empty()) return kPrintNoFileOrPath;
  return open_document(form, 2);
}

ResultCode Printout::next(std::string_view form) {
  if (path_.empty()) return kPrintNoFileOrPath;
  if (state_ != 0) {
    if (const ResultCode rc = finish(); rc.failed()) return rc;
  }
  return append(form);
}

void Printout::open_element(std::string_view name) {
  content_ += '<';
  content_ += name;
  content_ += '>';
  open_.emplace_back(name);
}

void Printout::close_element() {
  if (open_.empty()) return;
  content_ += "</";
  content_ += open_.back();
  content_ += ">\n";
  open_.pop_back();
}

void Printout::text_element(std::string_view name, std::string_view text) {
  if (text.empty()) return;
  content_ += '<';
  content_ += name;
  content_ += '>';
  append_escaped(content_, text);
  content_ += "</";
  content_ += name;
  content_ += ">\n";
}

ResultCode Printout::section(std::string_view name) {
  if (state_ != 0 && type_ != "PLAIN" && !name.empty()) open_element(name);
  return 0;
}

void Printout::write_lines(const records::Layout* layout, bool body, records::RecordHandle& record,
                           const records::FormatContext& ctx) {
  // A part the form does not have writes nothing; a body without layout
  // shows every field.
  if (layout == nullptr && !body) return;
  const std::vector<records::FormattedLine> lines = records::format_record(layout, record, ctx);
  for (const records::FormattedLine& line : lines) {
    if (type_ == "PLAIN") {
      content_ += joined(line);
      content_ += '\n';
      continue;
    }
    open_element("LINE");
    for (const std::string& column : line) {
      content_ += "<COL>";
      append_escaped(content_, column);
      content_ += "</COL>";
    }
    close_element();
  }
}

ResultCode Printout::write_record(std::uint32_t idn, records::RecordHandle* record, const dict::FormDef* form,
                                  const dict::AppFileDef* record_file, const records::FormatContext& ctx,
                                  int depth) {
  const dict::AppPoolDef* pool = pools_.pool();
  const dict::AppFileDef* file = pools_.file();
  records::RecordHandle read;
  if (record == nullptr) {
    if (pools_.rec_read(*pool, *file->data, idn, read, pools_.max_record(), records::kExternalForm).code() !=
        0)
      return kPrintCannotRead;
    record = &read;
  }
  const bool plain = type_ == "PLAIN";
  if (form != nullptr && form->head && form_headers_ && env_.header_text) {
    const std::string text = env_.header_text(form->name);
    if (plain) {
      content_ += text;
      content_ += '\n';
    } else {
      open_element("HEADER");
      text_element("TEXT", text);
      close_element();
    }
  }
  if (!plain) open_element("REPREC");
  write_lines(forms_.layout(form, records::FormPart::Leading), false, *record, ctx);
  write_lines(forms_.layout(form, records::FormPart::Body), true, *record, ctx);
  if (form != nullptr && depth < kMaxLinkDepth)
    write_links(*form, *record, record_file != nullptr ? *record_file : *file, ctx, depth);
  if (const records::Layout* trailing = forms_.layout(form, records::FormPart::Trailing);
      trailing != nullptr) {
    if (!plain) open_element("FOOTER");
    write_lines(trailing, false, *record, ctx);
    if (!plain) close_element();
  }
  if (!plain) close_element();
  return 0;
}

void Printout::write_links(const dict::FormDef& form, records::RecordHandle& record,
                           const dict::AppFileDef& record_file, const records::FormatContext& ctx,
                           int depth) {
  const dict::AppPoolDef* pool = pools_.pool();
  for (const std::uint16_t number : form.links) {
    const dict::LinkDef* link = record_file.data->find_link(number);
    if (link == nullptr) continue;
    records::IdnList targets;
    if (pools_.lnk_follow(*pool, *record_file.data, link, record.idn, targets, 'F').failed()) continue;
    const dict::AppFileDef* target_file = nullptr;
    for (const dict::AppFileDef* f : pool->file_defs) {
      if (f->number == link->target_file) target_file = f;
    }
    if (target_file == nullptr) continue;
    // The linked records are shown by the form the record's file names for
    // the link, as the target file defines it.
    const dict::FormDef* target_form = nullptr;
    for (const dict::AppLinkDef* l : record_file.link_defs) {
      if (l->number == number) target_form = target_file->find_form(l->form);
    }
    std::uint32_t position = 0;
    for (const std::uint32_t target : targets) {
      records::RecordHandle linked;
      if (pools_
              .rec_read(*pool, *target_file->data, target, linked, pools_.max_record(),
                        records::kExternalForm)
              .code() != 0)
        continue;
      (void)pools_.rec_complete_links(*pool, *target_file->data, linked);
      records::FormatContext entry = ctx;
      entry.hit_number = ++position;
      entry.total = static_cast<std::uint32_t>(targets.size());
      const bool plain = type_ == "PLAIN";
      if (!plain) open_element("ENTRY");
      (void)write_record(target, &linked, target_form, target_file, entry, depth + 1);
      if (!plain) close_element();
    }
  }
}

ResultCode Printout::record(std::uint32_t idn, records::RecordHandle* record, std::string_view form,
                            const dict::AppFileDef* record_file) {
  if (pools_.pool() == nullptr) return kPrintNoPool;
  if (pools_.file() == nullptr) return kPrintNoFileOrPath;
  if (!form.empty()) form_ = form;
  // A record of another file is laid out by that file's form of the name
  // when it has one, else by the current file's.
  const dict::FormDef* own =
      record_file != nullptr && !form_.empty() ? record_file->find_form(form_) : nullptr;
  const dict::FormDef* def = own != nullptr ? own : find_form(form_);
  if (!form_.empty() && def == nullptr) return kPrintNoForm;
  const bool own_document = state_ == 0;
  if (own_document) {
    if (const ResultCode rc = begin({}, {}); rc.failed()) return rc;
  } else {
    apply_form_defaults();
  }
  const ResultCode rc = write_record(idn, record, def, record_file, {}, 0);
  if (rc.failed()) return rc;
  return own_document ? finish() : ResultCode(0);
}

ResultCode Printout::list(const records::IdnList& idns, std::string_view form) {
  if (pools_.pool() == nullptr) return kPrintNoPool;
  if (pools_.file() == nullptr) return kPrintNoFileOrPath;
  if (!form.empty()) form_ = form;
  const dict::FormDef* def = find_form(form_);
  if (!form_.empty() && def == nullptr) return kPrintNoForm;
  const bool own_document = state_ == 0;
  if (own_document) {
    if (const ResultCode rc = begin({}, {}); rc.failed()) return rc;
  }
  const bool plain = type_ == "PLAIN";
  records::FormatContext ctx;
  ctx.total = static_cast<std::uint32_t>(idns.size());
  records::RecordHandle empty;
  records::rec_init(empty, records::kHeaderSize + 64, records::kExternalForm);
  if (list_header_) write_lines(forms_.layout(def, records::FormPart::ListHead), false, empty, ctx);
  if (!plain) open_element("REPLIST");
  for (const std::uint32_t idn : idns) {
    ++ctx.hit_number;
    const std::size_t mark = content_.size();
    const std::size_t depth = open_.size();
    if (!plain) open_element("ENTRY");
    if (write_record(idn, nullptr, def, nullptr, ctx, 0).failed()) {
      // A record that cannot be read is passed over.
      content_.resize(mark);
      open_.resize(depth);
      continue;
    }
    if (!plain) close_element();
  }
  if (!plain) close_element();
  if (list_footer_) write_lines(forms_.layout(def, records::FormPart::ListFoot), false, empty, ctx);
  return own_document ? finish() : ResultCode(0);
}

ResultCode Printout::check(std::string_view form_name, bool starts_document) const {
  if (pools_.pool() == nullptr) return kPrintNoPool;
  if (pools_.file() == nullptr) return kPrintNoFileOrPath;
  const dict::FormDef* form = find_form(form_name);
  if (form == nullptr) return kPrintNoForm;
  if (!starts_document) return 0;
  const char type = type_.empty() ? form->type : type_ == "PLAIN" ? 'P' : type_ == "HTML" ? 'H' : 'X';
  if (type == 'P' || type == 'X') return 0;
  const std::string style = style_name(!style_.empty() ? style_ : form->style, form->name);
  return stylesheet(style).empty() ? ResultCode(kPrintNoStylesheet) : ResultCode(0);
}

std::string Printout::style_name(std::string_view chosen, std::string_view form) const {
  if (!chosen.empty()) return std::string(chosen);
  const std::string code = pools_.file() != nullptr ? pools_.file()->code.substr(0, 3) : std::string();
  return code + "_" + std::string(form);
}

ResultCode Printout::probe(const std::string& path) const {
  imex::OutputFile file(fs_);
  if (file.create(path + ".probe").failed()) return kPrintCannotWrite;
  file.discard();
  return 0;
}

std::string Printout::stylesheet_directory() const {
  // The directory part of the pattern before its "%s", resolved, with a
  // closing "/".
  const std::string prefix = style_path(env_.style_pattern, "");
  const std::size_t slash = prefix.rfind('/');
  std::error_code ec;
  const std::filesystem::path dir = std::filesystem::weakly_canonical(
      std::filesystem::absolute(slash == std::string::npos ? std::string(".") : prefix.substr(0, slash), ec),
      ec);
  if (ec) return {};
  std::string text = dir.string();
  if (text.empty() || text.back() != '/') text += '/';
  return text;
}

std::string Printout::stylesheet(const std::string& style) const {
  const std::string language = env_.language ? env_.language() : std::string();
  const std::string with_language = style_path(env_.style_pattern, language.substr(0, 3) + "/" + style);
  if (regular_file(with_language)) return with_language;
  const std::string plain = style_path(env_.style_pattern, style);
  return regular_file(plain) ? plain : std::string();
}

ResultCode Printout::transform() {
  const std::string sheet = stylesheet(style_name(style_, form_));
  if (sheet.empty()) return kPrintNoStylesheet;
  if (xslt_.initialize().failed()) return kPrintNoProcessor;
  if (!env_.debug_path.empty()) {
    if (std::FILE* f = std::fopen(env_.debug_path.c_str(), "wb"); f != nullptr) {
      std::fwrite(content_.data(), 1, content_.size(), f);
      std::fclose(f);
    }
  }
  for (char& c : content_) {
    const auto u = static_cast<unsigned char>(c);
    if (u < 0x20 && c != '\r' && c != '\n' && c != '\t') c = ' ';
  }
  std::string result;
  last_error_.clear();
  // A print stylesheet is the installation's: it may include, import and
  // open what lies beside it in the stylesheet directory, nothing else.
  const std::string root = stylesheet_directory();
  const ResourceCheck beside = [&root](const std::string& path, std::string& why) {
    if (!root.empty() && path.compare(0, root.size(), root) == 0) return true;
    why = "outside the stylesheet directory";
    return false;
  };
  if (xslt_.transform_text(sheet, content_, result, beside, last_error_).failed()) return kPrintNoProcessor;
  content_ = std::move(result);
  return 0;
}

ResultCode Printout::write_file() {
  if (path_.empty()) return kPrintNoFileOrPath;
  std::string head = "## - " + (type_.empty() ? std::string("HTML") : type_) + "\n";
  if (!action_.empty()) {
    head += "## - " + action_;
    if (!address_.empty() && action_ == "EMAIL_ADDRESS") {
      head += " " + address_;
    } else if (!program_.empty() && action_ == "EXECUTE") {
      head += " " + program_;
    }
    head += "\n";
  }
  apply_subject_default();
  if (!subject_.empty()) head += "## - SUBJECT " + header_value(subject_) + "\n";
  const std::string body =
      !translation_.empty() && env_.translate ? env_.translate(translation_, content_) : std::string();
  const std::string_view text = !translation_.empty() && env_.translate ? std::string_view(body) : content_;
  if (state_ == 1) {
    // A new file is written under a temporary name and takes its name
    // whole.
    if (const ResultCode rc = sync_appended(); rc.failed()) return rc;
    imex::OutputFile file(fs_);
    if (file.create(path_).failed()) return kPrintCannotWrite;
    file.write(head);
    file.write(text);
    return file.commit().failed() ? ResultCode(kPrintCannotWrite) : ResultCode(0);
  }
  // Documents appended one after another go to the file kept open; it is
  // synced once, when the printout is closed or goes to another file.
  if (appended_.is_open() && appended_path_ != path_) {
    if (const ResultCode rc = sync_appended(); rc.failed()) return rc;
  }
  if (!appended_.is_open()) {
    if (appended_.append(path_).failed()) return kPrintCannotWrite;
    appended_path_ = path_;
  }
  const off_t before = appended_.size();
  appended_.write(head);
  appended_.write(text);
  if (appended_.flush().ok()) return 0;
  // A document cut off by a full disk is taken out again.
  (void)appended_.cut_back(before);
  appended_path_.clear();
  return kPrintCannotWrite;
}

ResultCode Printout::sync_appended() {
  if (!appended_.is_open()) return 0;
  const bool ok = appended_.commit().ok();
  appended_path_.clear();
  return ok ? ResultCode(0) : ResultCode(kPrintCannotWrite);
}

ResultCode Printout::finish() {
  if (state_ == 0) return 0;
  while (!open_.empty()) close_element();
  apply_form_defaults();
  ResultCode rc = 0;
  if (transform_ && type_ != "PLAIN" && type_ != "RAW_XML\n") rc = transform();
  if (rc.ok()) rc = write_file();
  reset();
  state_ = 0;
  return rc;
}

void Printout::abandon() {
  reset();
  state_ = 0;
  (void)sync_appended();
  path_.clear();
}

ResultCode Printout::close() {
  ResultCode rc = finish();
  const ResultCode synced = sync_appended();
  if (rc.ok()) rc = synced;
  path_.clear();
  state_ = 0;
  return rc;
}

}  // namespace corvanta
