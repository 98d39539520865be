// Printout documents: letters and lists written for a client to show,
// preview, save, edit, run a program on or send by e-mail.
//
// A document is an output file holding a header block and the content:
//
//   ## - HTML                      the type: PLAIN, HTML or RAW_XML
//   ## - EMAIL_ADDRESS a@b.de      the action, with its address or program
//   ## - SUBJECT Mahnung           the e-mail subject
//   <content>
//
// The content is plain text or XML. An XML document begins with the XML
// declaration and the element PRINTOUT; records are written into it by the
// print forms of the current pool and file (REPREC, ENTRY, HEADER, FOOTER,
// each formatted line a LINE of COL elements). A document of type HTML is
// transformed by a stylesheet before it is written. Several documents may
// go to one file: the first creates it, the next ones are appended.
//
// One Printout object holds the state of the document being written; the
// service owns one for the whole process.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "config/dictionary.h"
#include "dbm/file_io.h"
#include "forms/formatting.h"
#include "imex/exchange_file.h"
#include "output/xslt.h"
#include "pool/pool_service.h"
#include "records/idn_list.h"
#include "util/result.h"

namespace corvanta {

inline constexpr std::int32_t kPrintNoPool = -453;
inline constexpr std::int32_t kPrintNoFileOrPath = -454;
inline constexpr std::int32_t kPrintNoForm = -455;
inline constexpr std::int32_t kPrintCannotWrite = -456;
inline constexpr std::int32_t kPrintCannotRead = -457;
inline constexpr std::int32_t kPrintNoProcessor = -459;
inline constexpr std::int32_t kPrintNoStylesheet = -461;

// The numbered settings of prt_set.
enum PrintSetting : int {
  kPrintPlain = 1,
  kPrintNoFormHeaders = 2,
  kPrintHtml = 4,
  kPrintXml = 5,
  kPrintMessage = 6,
  kPrintExecute = 7,
  kPrintPreview = 8,
  kPrintSaveAs = 9,
  kPrintEdit = 10,
  kPrintEmail = 11,
  kPrintSubject = 12,
  kPrintLanguage = 13,
  kPrintForm = 14,
  kPrintTranslation = 15,
  kPrintPath = 16,
};

// What the printout takes from the service around it.
struct PrintEnvironment {
  // The text of `name` in the section "Header" of the general texts; the
  // name itself when there is none.
  std::function<std::string(std::string_view name)> header_text;
  // The text language in use, and switching it.
  std::function<std::string()> language;
  std::function<void(std::string_view code)> select_language;
  // The text converted by the output translation `name`.
  std::function<std::string(std::string_view name, std::string_view text)> translate;
  std::string temp_directory;  // Directories/Temp
  std::string style_pattern;   // Files/XStyle: the stylesheet path, "%s" for its name
  std::string debug_path;      // Files/XDebug: where the XML goes before transforming
  std::size_t content_size = 30000;
};

class Printout {
 public:
  Printout(records::PoolLayer& pools, const records::FormCatalogue& forms, XsltProcessor& xslt,
           dbm::FileSystem& fs)
      : pools_(pools), forms_(forms), xslt_(xslt), fs_(fs), appended_(fs) {}
  Printout(const Printout&) = delete;
  Printout& operator=(const Printout&) = delete;

  void set_environment(PrintEnvironment env) { env_ = std::move(env); }

  // A setting by number; 0, or -456 when setting 16 cannot make a name.
  ResultCode set(int number, std::string_view value);
  // A type by name: "PLAIN" setting 1, "XML" setting 5, any other 4.
  ResultCode set_type(std::string_view name, std::string_view value = {});
  // Output path (when given) and form (when given), then a new document.
  ResultCode begin(std::string_view path, std::string_view form);
  // Starts a document appended to the output file (-454 without one).
  ResultCode append(std::string_view form);
  // Finishes the open document and starts another on the same file.
  ResultCode next(std::string_view form);
  // Finishes the open document: transformed when its type asks for it,
  // written to the output file after its header block; then the settings
  // are reset. The output path stays for the next document.
  ResultCode finish();
  // Writes one record (read from the current file when `record` is null);
  // a record not in a document makes its own. `record_file` is the file
  // the record belongs to when it is not the current one: its form of that
  // name, when it has one, lays the record out, and its links are the ones
  // the form's LINK= names.
  ResultCode record(std::uint32_t idn, records::RecordHandle* record, std::string_view form,
                    const dict::AppFileDef* record_file = nullptr);
  // Writes the records of a list; those that cannot be read are passed over.
  ResultCode list(const records::IdnList& idns, std::string_view form);
  // Opens an element of that name (XML only); it is closed at the finish.
  ResultCode section(std::string_view name);
  // Finishes the open document; output path and state are cleared.
  ResultCode close();
  // Drops the open document without writing it (after a failure), and
  // clears output path and state; what earlier documents wrote stays.
  void abandon();
  // The processor's message of the last transformation that failed.
  const std::string& last_error() const { return last_error_; }

  // Whether `form` can be written: 0, -453, -454 or -455. A form that
  // starts documents (`starts_document`) also needs the stylesheet its type
  // asks for: -461 when that is not there.
  ResultCode check(std::string_view form, bool starts_document) const;
  // Whether a file can be made beside `path`: 0 or -456.
  ResultCode probe(const std::string& path) const;

  // 0 no document, 1 open on a new file, 2 open for appending.
  int state() const { return state_; }
  const std::string& output_path() const { return path_; }
  const std::string& content() const { return content_; }

  // XML text escaping (util/xml_text.h: bytes that are no UTF-8 and control
  // characters become U+FFFD), "'" as "&apos;", and "##" as "<LF />".
  static void append_escaped(std::string& out, std::string_view text);

 private:
  void reset();
  void apply_form_defaults();
  void apply_subject_default();
  const dict::FormDef* find_form(std::string_view name) const;
  // The stylesheet file of a style name: with the language's folder, else
  // without; "" when neither is there.
  std::string stylesheet(const std::string& style) const;
  // The directory whose files print stylesheets may read ("/" at the end).
  std::string stylesheet_directory() const;
  // The style name chosen, or else the current file's code, "_" and the
  // form name.
  std::string style_name(std::string_view chosen, std::string_view form) const;
  ResultCode start();
  // The form's defaults, then a new document in `state` (1 or 2).
  ResultCode open_document(std::string_view form, int state);
  ResultCode transform();
  ResultCode write_file();
  // Syncs and closes the file appended to: 0 or -456.
  ResultCode sync_appended();
  // `record_file` is the record's file when it is not the current one.
  ResultCode write_record(std::uint32_t idn, records::RecordHandle* record, const dict::FormDef* form,
                          const dict::AppFileDef* record_file, const records::FormatContext& ctx, int depth);
  void write_links(const dict::FormDef& form, records::RecordHandle& record,
                   const dict::AppFileDef& record_file, const records::FormatContext& ctx, int depth);
  void write_lines(const records::Layout* layout, bool body, records::RecordHandle& record,
                   const records::FormatContext& ctx);
  void open_element(std::string_view name);
  void close_element();
  void text_element(std::string_view name, std::string_view text);

  records::PoolLayer& pools_;
  const records::FormCatalogue& forms_;
  XsltProcessor& xslt_;
  dbm::FileSystem& fs_;
  PrintEnvironment env_;

  std::string type_;  // "", "PLAIN", "HTML" or "RAW_XML\n"
  std::string action_;
  std::string program_;
  std::string address_;
  std::string subject_;
  std::string style_;
  std::string form_;
  std::string language_;
  std::string translation_;
  std::string path_;
  bool transform_ = true;
  bool form_headers_ = true;
  bool list_header_ = true;
  bool list_footer_ = true;
  int state_ = 0;
  std::string content_;
  std::vector<std::string> open_;  // the stack of open elements
  std::string previous_language_;  // put back at the finish
  bool language_switched_ = false;
  imex::OutputFile appended_;  // the file documents are appended to
  std::string appended_path_;
  std::string last_error_;
};

}  // namespace corvanta
