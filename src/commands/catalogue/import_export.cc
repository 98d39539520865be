// IMPORT and EXPORT: records between a pool file and an exchange file.
//
// IMPORT reads its parameters, checks its files, rights and scripts, opens
// the pool and hands the rest to the importer (imex/importer.h), serving it
// what lies above the exchange layer; it writes the counts at the end. The
// journal of an import is synced at the end of the command.
//
// An export writes the records of a query, of a list of IDNs or of an IDN
// range through the format's writer into a new file that takes the output's
// name only when the export ends well.
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "commands/handlers.h"
#include "dbm/codes.h"
#include "dbm/dbm.h"
#include "dbm/values.h"
#include "imex/exchange_file.h"
#include "imex/formats.h"
#include "imex/importer.h"
#include "imex/record_convert.h"
#include "imex/xml_format.h"
#include "pool/counters.h"
#include "psi/script.h"
#include "scripting/psi_library.h"
#include "shell/codes.h"
#include "shell/command_files.h"
#include "shell/support.h"
#include "util/big_endian.h"
#include "util/date.h"
#include "util/text.h"

namespace corvanta {
namespace {

// A table TRANSLOUT may name: a loaded byte table (a converter into UTF-8
// only reads).
bool writes(const records::Translations& translations, std::string_view name) {
  const records::TranslationTable* table = translations.find(name);
  return table != nullptr && !table->charset();
}

constexpr int kImportGroup = 8;
// An import opens its pool for bulk changes: block writes are deferred
// (the journal, written first and synced at the end, holds every change).
// Scripts (PSIIN, PSIPOST) open the pool themselves and need it shared.
constexpr char kBulkMode = 'R';
constexpr char kSharedMode = 'U';
constexpr int kExportGroup = 7;
constexpr std::int32_t kMsgWritten = 101;
constexpr std::int32_t kMsgItemsOnly = 185;
constexpr std::size_t kMaxListLine = 20;
constexpr std::int32_t kMsgNoIdnInList = 192;
constexpr std::int32_t kMsgNoRecordOfType = 198;
constexpr std::int32_t kMsgRecordMissing = 199;

// A text of message group `group` with its argument inserted; without a
// text, the number and the argument.
std::string message_text(Service& service, std::string_view group, std::int32_t code, std::string_view arg) {
  const std::string text = service.messages.text(group, code);
  if (text.empty()) return std::to_string(code) + " " + std::string(arg);
  return insert_text(text, arg);
}

std::string import_text(Service& service, std::int32_t code, std::string_view arg) {
  return message_text(service, "Import", code, arg);
}

void report_count(Service& service, std::int32_t code, long n) {
  service.reporter.log_text(import_text(service, code, std::to_string(n)), 0);
}

// "[%09ld]  " and the text: a line about input record `number`.
void record_line(Service& service, long number, std::string_view text) {
  char head[24];
  std::snprintf(head, sizeof head, "[%09ld]  ", number);
  service.reporter.screen_text(head + std::string(text), 0);
}

// A value that is an extension (".ERR", no "/") is appended to the data
// file's name.
std::string side_file(const std::string& value, const std::string& data) {
  const bool extension = !value.empty() && value[0] == '.' && value.find('/') == std::string::npos;
  return extension ? data + value : value;
}

// Whether two paths name the same file.
bool same_file(const std::string& a, const std::string& b) {
  std::error_code ec;
  return std::filesystem::equivalent(a, b, ec) && !ec;
}

long number_param(const ParamList& params, std::string_view name, long fallback) {
  const std::string_view v = trim_blanks(params.get(name));
  if (v.empty()) return fallback;
  return parse_long(v);
}

// Checks and loads a record script (PSIIN, PSIPOST, PSIOUT) a parameter
// names; none named leaves it not given.
ResultCode load_record_script(Service& service, RecordScript& script, const std::string& path) {
  if (path.empty()) return 0;
  if (const ResultCode rc = check_command_file(service, path, FileUse::Read); rc.failed()) return rc;
  return script.load(service, path);
}

// A conversion table a parameter names (CONVIN, MERGE, CONVOUT) is read by
// the rules of files that parameters name, and must be there: a table
// that is not would leave the records unconverted without a word.
ResultCode check_table(Service& service, const std::string& table) {
  if (table.empty() || service.pools.file() == nullptr) return 0;
  const std::string path = imex::RecordConverter::table_path(table, service.pools.file()->code);
  if (const ResultCode rc = check_command_file(service, path, FileUse::Read); rc.failed()) return rc;
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
    service.reporter.error_message(path, codes::kCannotOpenFile);
    return codes::kCannotOpenFile;
  }
  return 0;
}

// Selects pool and file of the command again and opens the pool (after a
// script that may have changed them).
ResultCode reselect(Service& service, const ParamList& params, char mode, char save) {
  std::string language;
  if (const ResultCode rc = bat_select_file(service, params, "", language); rc.failed()) return rc;
  return bat_pool_open(service, mode, save);
}

// What the importer reaches above the exchange layer: the command's
// scripts, the service's messages and rights, the stylesheet processor and
// the union number search.
class ImportCommand : public imex::ImportHost {
 public:
  ImportCommand(Service& service, ParamList& params) : service_(service), params_(params) {}
  ResultCode run();

  std::string text(std::string_view group, std::int32_t code) override {
    return service_.messages.text(group, code);
  }
  std::string message(std::string_view group, std::int32_t code, std::string_view arg) override {
    return message_text(service_, group, code, arg);
  }
  void screen(std::string_view line) override { service_.reporter.screen_text(line, 0); }
  void output(std::string_view text) override { service_.reporter.output_text(text); }
  ResultCode check_write(const std::string& path) override {
    return check_command_file(service_, path, FileUse::Write);
  }
  ResultCode transform(const std::string& xslt, const std::string& from, const std::string& to) override {
    if (const ResultCode rc = service_.xslt.initialize(); rc.failed()) return rc;
    std::string error;
    // What the stylesheet includes, imports or opens with document() is
    // read by the rules of files that parameters name; its run is bounded
    // by MaxXslTime and MaxXslMem.
    const ResourceCheck readable = [this](const std::string& path, std::string& why) {
      const ResultCode rc = command_file_rule(service_, path, FileUse::Read);
      if (rc.ok()) return true;
      why = std::to_string(-rc.code()) + " - " + service_.messages.text("Common", rc.code());
      return false;
    };
    const Limits& limits = service_.state.limits;
    XsltLimits bounds;
    bounds.cpu_seconds = static_cast<std::uint32_t>(limits.max_xsl_time);
    bounds.memory_bytes = static_cast<std::uint64_t>(limits.max_xsl_mem) << 20;
    if (service_.xslt.transform_file(xslt, from, to, readable, bounds, error).ok()) return 0;
    service_.reporter.output_text(error + "\n");
    return kXsltFailed;
  }
  ResultCode run_script(bool post, records::RecordHandle& h) override {
    const int value = (post ? psipost_ : psiin_).run(service_, params_, h, save_);
    if (const ResultCode rc = reselect(service_, params_, open_mode_, save_); rc.failed()) return rc;
    if (value < 0) return value;
    return value > 0 ? ResultCode(1) : ResultCode(0);
  }
  bool union_number_used(const std::string& number) override {
    records::ResultSet set;
    return service_.retrieval.find("VID=" + number, set).ok() && !set.hits.empty();
  }
  void progress(const imex::ImportCounts& n) override {
    report_count(service_, imex::kMsgRead, n.read);
    if (n.added != 0) report_count(service_, imex::kMsgNew, n.added);
    if (n.updated != 0) report_count(service_, imex::kMsgUpdated, n.updated);
    if (n.errors != 0) report_count(service_, imex::kMsgErrors, n.errors);
    if (n.duplicates != 0) report_count(service_, imex::kMsgDuplicates, n.duplicates);
    if (n.reported != 0) report_count(service_, imex::kMsgReported, n.reported);
  }

 private:
  Service& service_;
  ParamList& params_;
  RecordScript psiin_, psipost_;
  char save_ = 'Y';
  char open_mode_ = kBulkMode;
};
ResultCode ImportCommand::run() {
  std::string language;
  if (const ResultCode rc = bat_select_file(service_, params_, "", language); rc.failed()) return rc;
  if (const ResultCode rc = bat_permission(service_, kImportGroup); rc.failed()) return rc;
  imex::ImportSettings s;
  const std::string type = params_.get_into("TYPE", "", 8, true);
  const std::optional<imex::FormatType> format = imex::format_type(type);
  s.data = params_.get_into("DATA", "", 99, false);
  const std::string mode = params_.get_into("MODE", "", 8, true);
  const std::string flags = params_.get_into("FLAGS", "", 18, false);
  s.rectype = params_.get_into("RECTYPE", "", 19, false);
  std::string dbl = upper(params_.get_into("DOUBLE", "R", 1, true));
  if (dbl.empty() || std::string_view("IOEMR").find(dbl[0]) == std::string_view::npos) dbl = "R";
  const std::string statistic = upper(params_.get_into("STATISTIC", "N", 1, true));
  const std::string save = upper(params_.get_into("SAVE", "Y", 1, true));
  const std::string qlink = upper(params_.get_into("QLINK", "Y", 1, true));
  s.key = params_.get_into("KEY", "020/c", 9, true);
  s.source = params_.get_into("SOURCE", "012", 9, true);
  s.target = params_.get_into("TARGET", "026/f", 9, true);
  const std::string force = upper(params_.get_into("FORCE", "N", 1, true));
  service_.reporter.log_text(
      "POOL=" + std::string(params_.get("POOL")) + " FILE=" + std::string(params_.get("FILE")) +
          " DATA=" + s.data + " TYPE=" + type + " MODE=" + mode + " DOUBLE=" + dbl +
          " STATISTIC=" + statistic + " FLAGS=" + flags + " SAVE=" + save + " QLINK=" + qlink,
      0);
  s.mode = mode.empty() ? 'I' : static_cast<char>(std::toupper(static_cast<unsigned char>(mode[0])));
  if (std::string_view("LMSH").find(s.mode) == std::string_view::npos) s.mode = 'I';
  if (s.mode == 'S') {
    service_.reporter.log_text(
        "KEY=" + s.key + " SOURCE=" + s.source + " TARGET=" + s.target + " FORCE=" + force, 0);
  }
  if (!format || s.data.empty()) return codes::kMissingParameter;
  if (s.mode == 'H' && service_.pools.file()->name != "ITEMS") {
    service_.reporter.log_text(import_text(service_, kMsgItemsOnly, "ITEMS"), 0);
    return codes::kMissingParameter;
  }
  s.duplicates = dbl[0];
  save_ = save == "N" ? 'N' : 'Y';
  s.force = force == "Y";
  s.key_at = records::parse_field_path(s.key);
  s.source_at = records::parse_field_path(s.source);
  s.target_at = records::parse_field_path(s.target);
  s.convin = params_.get_into("CONVIN", "", 99, false);
  s.merge = params_.get_into("MERGE", "", 99, false);
  s.scriptin = params_.get_into("SCRIPTIN", "", 11, true);
  s.scriptpost = params_.get_into("SCRIPTPOST", "", 11, true);
  s.from = number_param(params_, "FROM", 0);
  s.to = number_param(params_, "TO", 0);
  s.every = number_param(params_, "RECMESS", 0);
  s.max_errors = number_param(params_, "MAXERROR", 100);
  const std::string protyp = params_.get_into("PROTYP", "", 1, false);
  s.error_path = side_file(params_.get_into("RECERROR", ".ERR", 99, false), s.data);
  s.double_path = side_file(params_.get_into("RECDOUBLE", ".DBL", 99, false), s.data);

  if (const ResultCode rc = check_command_file(service_, s.data, FileUse::Read); rc.failed()) return rc;
  for (const std::string* table : {&s.convin, &s.merge}) {
    if (const ResultCode rc = check_table(service_, *table); rc.failed()) return rc;
  }
  // The error and duplicate files are checked before anything is read; one
  // that is the input itself would be read back while it grows.
  // An XML error or duplicate file is one document of its own: the two
  // cannot be one file.
  if (imex::is_xml(*format) && (s.error_path == s.double_path || same_file(s.error_path, s.double_path))) {
    service_.reporter.error_message(s.double_path, codes::kMissingParameter);
    return codes::kMissingParameter;
  }
  for (const std::string* side : {&s.error_path, &s.double_path}) {
    if (same_file(*side, s.data)) {
      service_.reporter.error_message(*side, codes::kMissingParameter);
      return codes::kMissingParameter;
    }
    if (const ResultCode rc = check_command_file(service_, *side, FileUse::Write); rc.failed()) return rc;
  }
  // Translation tables that are not there would empty every record.
  for (const char* name : {"TRANSLIN", "TRANSLOUT"}) {
    const std::string table = upper(params_.get_into(name, "", 11, true));
    if (!table.empty() &&
        (service_.translations.find(table) == nullptr ||
         (name == std::string_view("TRANSLOUT") && !writes(service_.translations, table)))) {
      service_.reporter.error_message(std::string(name) + "=" + table, codes::kMissingParameter);
      return codes::kMissingParameter;
    }
  }
  // CHARSET: a known set whose translation the installation defines, not
  // beside TRANSLIN; AUTO for MARC 21 only.
  const std::string charset = upper(params_.get_into("CHARSET", "", 11, true));
  const std::optional<imex::InputCharset> input_charset = imex::input_charset(charset);
  if (!charset.empty() && (!input_charset || !params_.get("TRANSLIN").empty() ||
                           (input_charset->by_leader && *format != imex::FormatType::Marc21) ||
                           (!input_charset->translation.empty() &&
                            service_.translations.find(input_charset->translation) == nullptr))) {
    service_.reporter.error_message("CHARSET=" + charset, codes::kMissingParameter);
    return codes::kMissingParameter;
  }
  // How the records are read, for the log beside the parameters above.
  std::string reading = "CHARSET=" + charset;
  reading += " TRANSLIN=";
  reading += trim_blanks(params_.get("TRANSLIN"));
  reading += " CONVIN=";
  reading += trim_blanks(params_.get("CONVIN"));
  reading += " XSLT=";
  reading += trim_blanks(params_.get("XSLT"));
  service_.reporter.log_text(reading, 0);
  if (const ResultCode rc = load_record_script(service_, psiin_, params_.get_into("PSIIN", "", 99, false));
      rc.failed())
    return rc;
  if (const ResultCode rc =
          load_record_script(service_, psipost_, params_.get_into("PSIPOST", "", 99, false));
      rc.failed())
    return rc;
  s.psiin = psiin_.given();
  s.psipost = psipost_.given();
  open_mode_ = s.psiin || s.psipost ? kSharedMode : kBulkMode;
  if (const ResultCode rc = bat_pool_open(service_, open_mode_, save_); rc.failed()) return rc;

  s.read.type = *format;
  s.read.file = service_.pools.file()->data;
  s.read.sorted = service_.pools.file()->order == 'Y';
  s.read.flags = flags;
  s.read.protyp = protyp == "Y" || protyp == "y";
  s.read.translations = &service_.translations;
  s.read.escape = service_.state.escape_char;
  const std::string subfield = service_.configs.get(service_.state.server_config, "MARC21", "Subfield");
  if (!subfield.empty() && parse_long(subfield) > 0)
    s.read.subfield = static_cast<char>(parse_long(subfield));
  s.read.capacity = std::max<std::size_t>(s.read.capacity, service_.pools.max_record());
  s.write = s.read;
  s.write.translation = upper(params_.get_into("TRANSLOUT", "", 11, true));
  s.write.generic = true;  // the error file keeps every field
  s.write.flags = "IS";
  s.write.today = date_now("YYYYMMDD");
  s.translin = upper(params_.get_into("TRANSLIN", "", 11, true));
  if (input_charset) {
    s.translin = std::string(input_charset->translation);
    s.read.translate_by_leader = input_charset->by_leader;
  }
  s.xslt = std::string(trim_blanks(params_.get("XSLT")));
  if (!s.xslt.empty()) {
    if (const ResultCode rc = check_command_file(service_, s.xslt, FileUse::Read); rc.failed()) return rc;
  }

  imex::ImportCounts counts;
  ResultCode rc =
      imex::run_import(service_.pools, service_.configs, service_.state.server_config, *this, s, counts);
  progress(counts);
  // A file with bytes in it but no record of the type asked for is read
  // with the wrong TYPE (or is no exchange file at all).
  std::error_code ec;
  if (rc.ok() && counts.read == 0 && std::filesystem::file_size(s.data, ec) > 3 && !ec) {
    service_.reporter.log_text(import_text(service_, kMsgNoRecordOfType, type), 0);
    rc = imex::kCannotRead;
  }
  return rc;
}

// ---------------------------------------------------------------------------

class Exporter {
 public:
  Exporter(Service& service, ParamList& params) : service_(service), params_(params) {}
  ResultCode run();

 private:
  ResultCode idns(std::vector<std::uint32_t>& out);
  ResultCode existing_idns(std::uint32_t from, std::uint32_t to, std::vector<std::uint32_t>& out);
  ResultCode write(std::uint32_t idn, records::RecordHandle& h);
  ResultCode read(std::uint32_t idn, records::RecordHandle& h);

  const dict::AppPoolDef& pool() const { return *service_.pools.pool(); }
  const dict::FileDef& file() const { return *service_.pools.file()->data; }

  Service& service_;
  ParamList& params_;
  imex::FormatOptions options_;
  imex::OutputFile out_;
  std::unique_ptr<imex::RecordWriter> writer_;
  imex::RecordConverter converter_;
  std::string convout_, scriptout_;
  RecordScript psiout_;
  bool strip_links_ = false;
  long written_ = 0;
  long read_errors_ = 0;
};

ResultCode Exporter::idns(std::vector<std::uint32_t>& out) {
  const std::string select(trim_blanks(params_.get("SELECT")));
  const std::string list(trim_blanks(params_.get("LIST")));
  if (!select.empty()) {
    records::ResultSet set;
    if (const ResultCode rc = service_.retrieval.find(select, set); rc.failed()) return rc;
    out.assign(set.hits.begin(), set.hits.end());
    return 0;
  }
  if (!list.empty()) {
    if (const ResultCode rc = check_command_file(service_, list, FileUse::Read); rc.failed()) return rc;
    imex::InputFile in;
    if (const ResultCode rc = in.open(list); rc.failed()) return rc;
    // Every line is an IDN; one that is not (a word, a number no record
    // can have, a line too long to hold one) is named with its line number
    // and counted as an error, never read as some other number.
    std::string line;
    bool cut = false;
    for (long number = 1; in.line(line, kMaxListLine, cut); ++number) {
      const std::string_view v = trim_blanks(std::string_view(line).substr(0, line.find('\r')));
      if (v.empty() && !cut) continue;
      const bool digits = !v.empty() && !cut && v.find_first_not_of("0123456789") == std::string_view::npos;
      const long n = digits && v.size() <= 9 ? parse_long(v) : 0;
      if (n <= 0 || n > static_cast<long>(records::kMaxInsertIdn)) {
        std::string where = std::to_string(number);
        where += ": ";
        where += v;
        service_.reporter.log_text(import_text(service_, kMsgNoIdnInList, where), 0);
        service_.reporter.note_failure();
        ++read_errors_;
        continue;
      }
      out.push_back(static_cast<std::uint32_t>(n));
    }
    return in.failed() ? ResultCode(imex::kCannotRead) : ResultCode(0);
  }
  records::RecordHandle probe;
  (void)service_.pools.idn_peek(pool(), file(), probe);
  const long highest = static_cast<long>(probe.idn) - 1;
  long from = std::max(1L, number_param(params_, "FROM", 1));
  long to = number_param(params_, "TO", 0);
  if (to <= 0 || to > highest) to = highest;
  if (from > to) return 0;
  return existing_idns(static_cast<std::uint32_t>(from), static_cast<std::uint32_t>(to), out);
}

// The IDNs of the records there are from `from` to `to`, in order: a walk
// over the record file's keys, so that a few high numbers do not make the
// export try every number below them.
ResultCode Exporter::existing_idns(std::uint32_t from, std::uint32_t to, std::vector<std::uint32_t>& out) {
  unsigned char key[4];
  put_u32(key, from);
  // Only the keys are wanted: the start of each value is read, the rest
  // left (a truncated read).
  unsigned char start[16];
  dbm::Position pos;
  dbm::DataRef ref{start};
  dbm::Continuation cont;
  const std::string& name = pool().name;
  const int number = file().number;
  ResultCode rc = service_.dbm.set(name, number, key, pos, ref, &cont);
  while (rc.code() == 0 || rc.code() == dbm::kTruncated) {
    const std::uint32_t idn = get_u32(key);
    if (idn > to) break;
    out.push_back(idn);
    rc = service_.dbm.get(name, number, key, pos, ref, &cont);
  }
  return rc.failed() ? rc : ResultCode(0);
}

// 0 with the record; 1 when it is not there; a failure.
ResultCode Exporter::read(std::uint32_t idn, records::RecordHandle& h) {
  return service_.pools.rec_read(pool(), file(), idn, h, options_.capacity, records::kExternalForm);
}

ResultCode Exporter::write(std::uint32_t idn, records::RecordHandle& h) {
  records::PoolLayer& layer = service_.pools;
  if (strip_links_) {
    if (const ResultCode rc = layer.rec_strip_links(pool(), file(), h); rc.failed()) return rc;
  }
  if (const ResultCode rc = layer.rec_complete_links(pool(), file(), h); rc.failed()) return rc;
  h.idn = idn;
  records::rec_store_header(h);
  if (!convout_.empty()) {
    records::RecordHandle converted;
    records::rec_init(converted, options_.capacity, records::kExternalForm);
    converted.order = h.order;
    if (const ResultCode rc = converter_.apply(converted, h); rc.failed()) return rc;
    converted.idn = idn;
    records::rec_store_header(converted);
    if (const ResultCode rc = records::rec_copy(h, converted); rc.failed()) return rc;
  }
  if (!scriptout_.empty()) {
    std::string message;
    if (const ResultCode rc = layer.run_procedure(pool(), file(), scriptout_, h, message); rc.failed())
      return rc;
  }
  if (psiout_.given()) {
    const int value = psiout_.run(service_, params_, h, 'N');
    if (const ResultCode rc = reselect(service_, params_, 'I', 'N'); rc.failed()) return rc;
    if (value < 0) return value;
  }
  const ResultCode rc = writer_->write(h);
  if (rc.code() == imex::kUnreadable) {
    record_line(service_, idn,
                import_text(service_, writer_->problem().message, writer_->problem().argument));
    ++read_errors_;
    return 0;
  }
  if (rc.code() == 1) ++written_;
  // Nothing is changed silently: the record whose bytes the XML could not
  // carry is named.
  if (rc.code() == 1 && writer_->replaced() > 0)
    record_line(service_, idn,
                import_text(service_, imex::kMsgBytesReplaced, std::to_string(writer_->replaced())));
  return rc.failed() ? rc : ResultCode(0);
}

ResultCode Exporter::run() {
  std::string language;
  if (const ResultCode rc = bat_select_file(service_, params_, "", language); rc.failed()) return rc;
  if (const ResultCode rc = bat_permission(service_, kExportGroup); rc.failed()) return rc;
  if (const ResultCode rc = bat_display_access(service_); rc.failed()) return rc;
  const std::string type = params_.get_into("TYPE", "", 8, true);
  const std::optional<imex::FormatType> format = imex::format_type(type);
  const std::string mode = upper(params_.get_into("MODE", "", 8, true));
  const std::string flags = params_.get_into("FLAGS", "", 18, false);
  const std::string data = params_.get_into("DATA", "", 99, false);
  service_.reporter.log_text("POOL=" + std::string(params_.get("POOL")) +
                                 " FILE=" + std::string(params_.get("FILE")) + " TYPE=" + type +
                                 " MODE=" + mode + " FLAGS=" + flags + " DATA=" + data,
                             0);
  if (!format || data.empty()) return codes::kMissingParameter;
  const std::string generic = params_.get_into("GENERIC", "", 1, false);
  convout_ = params_.get_into("CONVOUT", "", 99, false);
  // CSV columns are the rules of the CONVOUT table: without one there is
  // nothing to write.
  if (*format == imex::FormatType::Csv && convout_.empty()) {
    service_.reporter.error_message("CONVOUT", codes::kMissingParameter);
    return codes::kMissingParameter;
  }
  if (const ResultCode rc = check_table(service_, convout_); rc.failed()) return rc;
  scriptout_ = params_.get_into("SCRIPTOUT", "", 11, true);
  const std::string translout = upper(params_.get_into("TRANSLOUT", "", 11, true));
  const long every = number_param(params_, "RECMESS", 0);
  const long max_errors = number_param(params_, "MAXERROR", 100);
  strip_links_ = flags.find('D') != std::string::npos;
  // A translation table that is not there would empty every record.
  if (!translout.empty() && !writes(service_.translations, translout)) {
    service_.reporter.error_message("TRANSLOUT=" + translout, codes::kMissingParameter);
    return codes::kMissingParameter;
  }
  if (const ResultCode rc = bat_pool_open(service_, 'I', 'N'); rc.failed()) return rc;
  if (const ResultCode rc = check_command_file(service_, data, FileUse::Write); rc.failed()) return rc;
  if (const ResultCode rc = load_record_script(service_, psiout_, params_.get_into("PSIOUT", "", 99, false));
      rc.failed())
    return rc;

  options_.type = *format;
  options_.file = &file();
  options_.flags = flags;
  options_.generic = generic == "Y" || generic == "y";
  options_.translations = &service_.translations;
  options_.translation = imex::is_xml(*format) ? std::string() : translout;
  options_.escape = service_.state.escape_char;
  const std::string subfield = service_.configs.get(service_.state.server_config, "MARC21", "Subfield");
  if (!subfield.empty() && parse_long(subfield) > 0)
    options_.subfield = static_cast<char>(parse_long(subfield));
  options_.capacity = std::max<std::size_t>(options_.capacity, service_.pools.max_record());
  options_.base = pool().name;
  options_.today = date_now("YYYYMMDD");
  if (!convout_.empty()) {
    (void)converter_.load(convout_, service_.pools.file()->code);
    options_.csv_columns = converter_.rules().size();
  }

  std::vector<std::uint32_t> list;
  if (const ResultCode rc = idns(list); rc.failed()) return rc;
  // An XML document to translate is written under "<DATA>_" first and
  // translated into DATA at the end.
  const bool translate_after = imex::is_xml(*format) && !translout.empty();
  const std::string written = translate_after ? data + "_" : data;
  if (translate_after) {
    if (const ResultCode rc = check_command_file(service_, written, FileUse::Write); rc.failed()) return rc;
  }
  if (const ResultCode rc = out_.create(written); rc.failed()) return rc;
  writer_ = imex::make_writer(options_, out_);
  writer_->begin();

  const dict::LinkDef* dependents = file().find_link("BDE");
  const bool with_dependents = mode == "U" || (!mode.empty() && mode[0] == 'U');
  const bool with_head = !mode.empty() && mode[0] == 'H';
  ResultCode result = 0;
  long processed = 0;
  records::RecordHandle h;
  const auto progress = [&] {
    report_count(service_, imex::kMsgRead, processed);
    if (written_ != 0) report_count(service_, kMsgWritten, written_);
  };
  const auto head_of = [](records::RecordHandle& r) { return imex::linked_idn(r, "GT0"); };
  for (const std::uint32_t idn : list) {
    if (every > 0 && processed > 0 && processed % every == 0) progress();
    ++processed;
    const ResultCode rc = read(idn, h);
    if (rc.code() == 1) {
      // Named by SELECT or LIST but not there (the walk finds only those there).
      record_line(service_, idn, import_text(service_, kMsgRecordMissing, std::to_string(idn)));
      continue;
    }
    if (rc.failed()) {
      if (++read_errors_ > max_errors) {
        result = imex::kTooManyErrors;
        break;
      }
      continue;
    }
    const std::string leader =
        *format == imex::FormatType::Marc21 ? std::string() : imex::field_text(h, "LDR");
    const char kind = leader.size() > 23 ? leader[23] : 0;
    if (kind == 'u' && with_dependents) continue;
    if (kind == 'u' && with_head) {
      const std::uint32_t head = head_of(h);
      records::RecordHandle head_record;
      if (head != 0 && read(head, head_record).code() == 0) result = write(head, head_record);
      if (result.failed()) break;
    }
    result = write(idn, h);
    if (result.failed()) break;
    if (kind == 'h' && with_dependents && dependents != nullptr) {
      records::IdnList linked;
      if (const ResultCode l = service_.pools.lnk_follow(pool(), file(), dependents, idn, linked, 'B');
          l.failed()) {
        result = l;
        break;
      }
      std::sort(linked.begin(), linked.end());
      for (std::size_t i = 0; i < linked.size() && result.ok(); ++i) {
        records::RecordHandle dep;
        if (read(linked[i], dep).code() != 0 || head_of(dep) != idn) continue;
        result = write(linked[i], dep);
      }
      if (result.failed()) break;
    }
    if (read_errors_ > max_errors) {
      result = imex::kTooManyErrors;
      break;
    }
  }
  writer_->end();
  if (result.ok()) result = out_.commit();
  if (result.failed()) out_.discard();
  if (result.ok() && translate_after) {
    result =
        imex::translate_file(service_.translations, service_.state.escape_char, translout, written, data);
    if (result.failed()) result = imex::kCannotWrite;
  }
  if (translate_after) std::remove(written.c_str());
  progress();
  return result;
}

}  // namespace

ResultCode cmd_import(Service& service, ParamList& params, BatchResult&) {
  ImportCommand import(service, params);
  return import.run();
}

ResultCode cmd_export(Service& service, ParamList& params, BatchResult&) {
  Exporter exporter(service, params);
  return exporter.run();
}

}  // namespace corvanta
