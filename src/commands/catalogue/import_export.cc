// IMPORT and EXPORT: records between a pool file and an exchange file.
//
// An import reads one record after another with the format's reader, runs
// it through the conversion, procedures and scripts asked for, and stores
// it by the mode: as a new record, as an update of a record it duplicates,
// merged into records, or not at all. Each stored record is one unit of the
// journal, synced at the end of the command. A record that fails its
// checks, duplicates another or cannot be read at all goes to the error or
// duplicate file with a log line that says why; it never stops the import,
// only more errors than MAXERROR do (-30).
//
// An export writes the records of a query, of a list of IDNs or of an IDN
// range through the format's writer into a new file that takes the output's
// name only when the export ends well.
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "commands/handlers.h"
#include "dbm/codes.h"
#include "imex/exchange_file.h"
#include "imex/formats.h"
#include "imex/record_convert.h"
#include "psi/script.h"
#include "pool/counters.h"
#include "shell/codes.h"
#include "shell/command_files.h"
#include "scripting/psi_library.h"
#include "shell/support.h"
#include "util/date.h"
#include "util/text.h"

namespace corvanta {
namespace {

constexpr int kImportGroup = 8;
// An import opens its pool for bulk changes: block writes are deferred
// (the journal, written first and synced at the end, holds every change).
// Scripts (PSIIN, PSIPOST) open the pool themselves and need it shared.
constexpr char kBulkMode = 'R';
constexpr char kSharedMode = 'U';
constexpr int kExportGroup = 7;
constexpr std::int32_t kTooManyErrors = -30;
constexpr std::int32_t kMsgNew = 100;
constexpr std::int32_t kMsgWritten = 101;
constexpr std::int32_t kMsgUpdated = 151;
constexpr std::int32_t kMsgRead = 152;
constexpr std::int32_t kMsgErrors = 153;
constexpr std::int32_t kMsgDuplicates = 154;
constexpr std::int32_t kMsgItemsOnly = 185;
constexpr std::int32_t kMsgNothingToMerge = 186;
constexpr std::int32_t kMsgDuplicate = 2502;
constexpr std::int32_t kMsgUndefinedField = 153;
constexpr std::size_t kMaxDuplicates = 10;
constexpr std::size_t kMaxListLine = 20;

enum Outcome { kNew = 0, kUpdated = 1, kDuplicate = 2, kError = 3, kMerged = 4, kNothing = 5, kSkipped = 6 };

// A text of group "Import" with its number inserted.
std::string import_text(Service& service, std::int32_t code, std::string_view arg) {
  const std::string text = service.messages.text("Import", code);
  if (text.empty()) return std::to_string(code) + " " + std::string(arg);
  return insert_text(text, arg);
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

// A record the pool refuses (too long for its file, a value it cannot
// take, an IDN that is taken or out of range) is an error of that record,
// not of the import.
bool record_refused(ResultCode rc) {
  return (rc.code() <= -400 && rc.code() > -500) || rc.code() == dbm::kRecordExists ||
         rc.code() == records::kIdnOutOfRange;
}

// The IDN a record names in subfield L of its first field `tag` (an
// item's title, a dependent record's head), 0 when none.
std::uint32_t linked_idn(records::RecordHandle& h, const char* tag) {
  records::FieldDesc f;
  f.tag = tag;
  f.occurrence = 1;
  records::FieldDesc s;
  s.tag = "L";
  s.occurrence = 1;
  if (records::fld_get(h, f, &s).code() != 0) return 0;
  const long n = parse_long(s.content());
  return n > 0 && n <= static_cast<long>(records::kMaxInsertIdn) ? static_cast<std::uint32_t>(n) : 0;
}

long number_param(const ParamList& params, std::string_view name, long fallback) {
  const std::string_view v = trim_blanks(params.get(name));
  if (v.empty()) return fallback;
  return parse_long(v);
}

// A PSI script run on a record (PSIIN, PSIPOST, PSIOUT): loaded once.
class RecordScript {
 public:
  ResultCode load(Service& service, const std::string& path) {
    if (path.empty()) return 0;
    if (const ResultCode rc = check_command_file(service, path, FileUse::Read); rc.failed()) return rc;
    if (const ResultCode rc = load_library_script(service, path, script_); rc.failed()) return rc;
    loaded_ = true;
    return 0;
  }
  bool given() const { return loaded_; }
  // The script's exit value with `record` as the import record.
  int run(Service& service, const ParamList& params, records::RecordHandle& record, char save) {
    return run_library_script(service, script_, LibraryRun{&params, &record}, save);
  }

 private:
  psi::Script script_;
  bool loaded_ = false;
};

// Selects pool and file of the command again and opens the pool (after a
// script that may have changed them).
ResultCode reselect(Service& service, const ParamList& params, char mode, char save) {
  std::string language;
  if (const ResultCode rc = bat_select_file(service, params, "", language); rc.failed()) return rc;
  return bat_pool_open(service, mode, save);
}

// Builds a dependent MAB record as read: field GT0 with the head record's
// IDN ($L) and title ($a), the volume designations ($b, $c) and sort texts
// ($s), and the fields of the intermediate record it lacks.
ResultCode link_dependent(records::RecordHandle& h, std::uint32_t head_idn, const std::string& head_title,
                          records::RecordHandle* intermediate) {
  records::RecordBuilder builder;
  records::FieldDesc f;
  for (ResultCode r = records::fld_first(h, f); r.code() == 0; r = records::fld_next(h, f))
    builder.copy(h, f);
  char number[16];
  std::snprintf(number, sizeof number, "%09lu", static_cast<unsigned long>(head_idn));
  builder.field("GT0", {});
  const auto add = [&](char code, const std::string& value) {
    if (!value.empty()) builder.subfield(code, value);
  };
  add('L', number);
  add('a', head_title);
  add('b', imex::field_text(h, "089"));
  if (intermediate != nullptr) {
    std::string c = imex::field_text(*intermediate, "089");
    const std::string t = imex::field_text(*intermediate, "331");
    if (!t.empty()) c += (c.empty() ? "" : ". ") + t;
    add('c', c);
    std::string sort = imex::field_text(*intermediate, "090");
    const std::string own = imex::field_text(h, "090");
    if (!own.empty()) sort += (sort.empty() ? "" : ",") + own;
    add('s', sort);
    for (const char* tag : {"540", "541", "542", "543", "700", "902", "907", "912", "917", "922", "927",
                            "932", "937", "942", "947"}) {
      if (!imex::field_text(h, tag).empty()) continue;
      for (ResultCode r = records::fld_first(*intermediate, f); r.code() == 0;
           r = records::fld_next(*intermediate, f)) {
        if (f.tag == tag) builder.copy(*intermediate, f);
      }
    }
  }
  return builder.build(h);
}

// Translates an XML file piece by piece into a new file that takes the
// name `to` only when it is complete. Pieces end after a line end or a
// ">", which no sequence of a translation table spans in a document.
ResultCode translate_file(Service& service, const std::string& table, const std::string& from,
                          const std::string& to) {
  constexpr std::size_t kPiece = 1 << 16;
  imex::InputFile in;
  if (const ResultCode rc = in.open(from); rc.failed()) return rc;
  imex::OutputFile out;
  if (const ResultCode rc = out.create(to); rc.failed()) return rc;
  for (std::string_view piece = in.peek(kPiece); !piece.empty(); piece = in.peek(kPiece)) {
    std::size_t end = piece.size();
    if (end == kPiece) {
      const std::size_t cut = piece.find_last_of("\n>");
      if (cut != std::string_view::npos) end = cut + 1;
    }
    out.write(service.translations.translate(table, piece.substr(0, end), records::kPlain,
                                             service.state.escape_char));
    in.consume(end);
  }
  if (in.failed()) return imex::kCannotRead;
  return out.commit();
}

class Importer {
 public:
  Importer(Service& service, ParamList& params) : service_(service), params_(params) {}

  ResultCode run();

 private:
  ResultCode open_input();
  void close_input();
  ResultCode store(records::RecordHandle& h, std::string& messages, long& merged);
  ResultCode store_new(records::RecordHandle& h, std::string& messages);
  void field_checks(records::RecordHandle& h, std::string& messages);
  ResultCode merge_into(records::RecordHandle& h, std::uint32_t idn);
  // Automatic numbering of the record in `mode`, then `store`, in one unit.
  ResultCode numbered_store(records::RecordHandle& h, char mode, const std::function<ResultCode()>& store);
  ResultCode union_number(records::RecordHandle& h, std::string& messages);
  ResultCode item_merge(records::RecordHandle& h, std::string& messages, long& merged);
  // The error file or the duplicate file, opened on first use.
  struct SideFile {
    std::string path;
    imex::OutputFile out;
    std::unique_ptr<imex::RecordWriter> writer;
  };
  ResultCode side_write(SideFile& side, records::RecordHandle* h, const std::string& raw);
  ResultCode procedure(const std::string& name, records::RecordHandle& h);
  ResultCode script(RecordScript& s, records::RecordHandle& h);

  const dict::AppPoolDef& pool() const { return *service_.pools.pool(); }
  const dict::FileDef& file() const { return *service_.pools.file()->data; }

  Service& service_;
  ParamList& params_;
  imex::FormatOptions read_options_;
  imex::FormatOptions write_options_;
  imex::InputFile in_;
  std::unique_ptr<imex::RecordReader> reader_;
  std::vector<std::string> copies_;  // temporary copies of an XML input
  SideFile errors_, doubles_;
  std::string data_;
  char mode_ = 'I';
  char double_ = 'R';
  char save_ = 'Y';
  char open_mode_ = kBulkMode;
  std::string key_, source_, target_;
  bool force_ = false;
  std::string convin_, merge_, scriptin_, scriptpost_;
  RecordScript psiin_, psipost_;
  long number_ = 0;  // input records counted
};

ResultCode Importer::procedure(const std::string& name, records::RecordHandle& h) {
  if (name.empty()) return 0;
  std::string message;
  const ResultCode rc = service_.pools.run_procedure(pool(), file(), name, h, message);
  if (!message.empty()) record_line(service_, number_, message);
  return rc;
}

// 0 to go on; the script's negative exit value, or 1 for a positive one
// (the import ends with 0).
ResultCode Importer::script(RecordScript& s, records::RecordHandle& h) {
  if (!s.given()) return 0;
  const int value = s.run(service_, params_, h, save_);
  if (const ResultCode rc = reselect(service_, params_, open_mode_, save_); rc.failed()) return rc;
  if (value < 0) return value;
  return value > 0 ? ResultCode(1) : ResultCode(0);
}

ResultCode Importer::open_input() {
  const std::string translin = upper(params_.get_into("TRANSLIN", "", 11, true));
  if (imex::is_xml(read_options_.type)) {
    // The XML input is translated and transformed into copies that the
    // parser reads; the copies go when the import ends.
    std::string input = data_;
    if (!translin.empty()) {
      const std::string copy = input + "_";
      if (const ResultCode rc = check_command_file(service_, copy, FileUse::Write); rc.failed()) return rc;
      if (const ResultCode rc = translate_file(service_, translin, input, copy); rc.failed()) return rc;
      copies_.push_back(copy);
      input = copy;
    }
    const std::string xslt(trim_blanks(params_.get("XSLT")));
    if (!xslt.empty()) {
      const std::string copy = input + "_";
      if (const ResultCode rc = check_command_file(service_, copy, FileUse::Write); rc.failed()) return rc;
      if (const ResultCode rc = service_.xslt.initialize(); rc.failed()) return rc;
      std::remove(copy.c_str());  // a link there is not written through
      copies_.push_back(copy);
      std::string error;
      if (const ResultCode rc = service_.xslt.transform_file(xslt, input, copy, error); rc.failed()) {
        service_.reporter.output_text(error + "\n");
        return rc;
      }
      input = copy;
    }
    if (const ResultCode rc = in_.open(input); rc.failed()) return rc;
  } else {
    if (const ResultCode rc = in_.open(data_); rc.failed()) return rc;
    in_.skip_bom();
    read_options_.translation = translin;
  }
  reader_ = imex::make_reader(read_options_, in_);
  return 0;
}

void Importer::close_input() {
  reader_.reset();
  in_ = imex::InputFile();
  for (const std::string& copy : copies_) std::remove(copy.c_str());
  copies_.clear();
}

// Appends a record (or, without one, the bytes `raw`) to the error or
// duplicate file, opened on first use.
ResultCode Importer::side_write(SideFile& side, records::RecordHandle* h, const std::string& raw) {
  if (!side.out.is_open()) {
    if (const ResultCode rc = check_command_file(service_, side.path, FileUse::Write); rc.failed()) return rc;
    // An XML error file is one document, made anew by each import; the
    // other formats append record after record.
    const ResultCode opened =
        imex::is_xml(write_options_.type) ? side.out.create(side.path) : side.out.append(side.path);
    if (opened.failed()) return opened;
    side.writer = imex::make_writer(write_options_, side.out);
    side.writer->begin();
  }
  if (h != nullptr) {
    const ResultCode rc = side.writer->write(*h);
    if (rc.failed()) return rc;
  } else {
    side.writer->write_raw(raw);
  }
  return side.out.flush();
}

// The field checks: a tag the file does not define is an error.
void Importer::field_checks(records::RecordHandle& h, std::string& messages) {
  records::FieldDesc f;
  for (ResultCode rc = records::fld_first(h, f); rc.code() == 0; rc = records::fld_next(h, f)) {
    if (file().find_tag(f.tag) != nullptr) continue;
    if (!messages.empty()) messages += '\n';
    messages += "Tag " + f.tag + ": " + service_.check_message(kMsgUndefinedField, f.tag);
  }
}

ResultCode Importer::store_new(records::RecordHandle& h, std::string& messages) {
  const bool load = mode_ == 'L';
  records::PoolLayer& layer = service_.pools;
  bool reserved = false;
  if (h.idn == 0) {
    if (const ResultCode rc = layer.idn_next(pool(), file(), h); rc.failed()) return rc;
    reserved = true;
  }
  // A record that is not stored gives its reserved IDN back and leaves
  // without it (the error file must not name an IDN another record gets).
  const auto give_back = [&] {
    if (!reserved) return;
    (void)layer.idn_return(pool(), file(), h.idn);
    h.idn = 0;
    records::rec_store_header(h);
    reserved = false;
  };
  // The procedures COMPL and CHECK: a record they refuse is an error of
  // that record, with what they printed.
  std::string procedure_messages;
  const auto refused = [&](std::string_view name, ResultCode rc) {
    messages = procedure_messages.empty()
                   ? std::string(name) + ": " + service_.messages.text("Common", rc.code())
                   : procedure_messages;
    while (!messages.empty() && messages.back() == '\n') messages.pop_back();
    give_back();
    return ResultCode(kError);
  };
  if (const ResultCode rc = layer.run_procedure(pool(), file(), "COMPL", h, procedure_messages); rc.failed())
    return refused("COMPL", rc);
  char check = load ? 'L' : 'N';
  if (!load) {
    if (const ResultCode rc = layer.run_procedure(pool(), file(), "CHECK", h, procedure_messages);
        rc.failed())
      return refused("CHECK", rc);
    check = 'I';
  }
  if (!procedure_messages.empty()) record_line(service_, number_, procedure_messages);
  std::string check_messages;
  if (!(load && read_options_.type == imex::FormatType::Corvanta)) field_checks(h, check_messages);
  const std::size_t before = check_messages.size();
  if (const ResultCode rc = layer.link_maintenance(pool(), file(), h, load ? 'L' : check, check_messages);
      rc.failed()) {
    give_back();
    return rc;
  }
  (void)before;
  if (!check_messages.empty()) {
    messages = check_messages;
    give_back();
    return kError;
  }
  // Duplicates.
  if (double_ != 'I') {
    std::vector<std::uint32_t> found;
    const bool had_idn = !reserved;
    if (had_idn) {
      records::RecordHandle stored;
      if (layer.rec_read(pool(), file(), h.idn, stored, layer.max_record(), records::kInternalForm).code() ==
          0)
        found.push_back(h.idn);
    } else if (const ResultCode rc = layer.rec_duplicates(pool(), file(), h, found); rc.failed()) {
      give_back();
      return rc;
    }
    if (!found.empty()) {
      if (!had_idn && (found.size() > 1 || double_ == 'R')) {
        std::string list;
        for (std::size_t i = 0; i < found.size() && i < kMaxDuplicates; ++i)
          list += (i == 0 ? "" : ",") + std::to_string(found[i]);
        messages = service_.check_message(kMsgDuplicate, list);
        give_back();
        return kDuplicate;
      }
      give_back();
      const std::uint32_t first = found.front();
      if (double_ == 'E' || double_ == 'O' || (double_ == 'R' && had_idn)) {
        h.idn = first;
        records::rec_store_header(h);
        const ResultCode rc =
            numbered_store(h, 'U', [&] { return layer.rec_update(pool(), file(), h, nullptr); });
        return rc.failed() ? rc : ResultCode(kUpdated);
      }
      if (double_ == 'M') {
        const ResultCode rc = merge_into(h, first);
        return rc.failed() ? rc : ResultCode(kUpdated);
      }
      return kDuplicate;
    }
  }
  const ResultCode rc = numbered_store(h, load ? 'L' : 'N', [&] {
    return load ? layer.rec_load(pool(), file(), h, false) : layer.rec_insert(pool(), file(), h);
  });
  if (rc.failed()) {
    give_back();
    return rc;
  }
  return kNew;
}

ResultCode Importer::numbered_store(records::RecordHandle& h, char mode,
                                    const std::function<ResultCode()>& store) {
  // The record's running numbers and the record go to the journal in one
  // unit: after a crash the counters and the records agree.
  // A record that is not stored gives its numbers back.
  return service_.pools.as_unit(pool(), [&]() -> ResultCode {
    std::vector<records::CounterUndo> undo;
    ResultCode rc =
        records::numb_apply(service_.dbm, pool(), file(), h, mode, records::current_year(), &undo);
    if (rc.ok()) rc = store();
    if (rc.failed()) (void)records::numb_restore(service_.dbm, pool(), undo);
    return rc;
  });
}

// Merges the imported record into stored record `idn`: the fields the
// MERGE table makes of it replace the stored fields of the same tags.
ResultCode Importer::merge_into(records::RecordHandle& h, std::uint32_t idn) {
  records::PoolLayer& layer = service_.pools;
  records::RecordHandle stored;
  if (layer.rec_read(pool(), file(), idn, stored, layer.max_record(), records::kExternalForm).code() != 0)
    return records::kRecordAbsent;
  records::RecordHandle merged;
  records::rec_init(merged, layer.max_record(), records::kExternalForm);
  imex::RecordConverter converter;
  if (!merge_.empty()) (void)converter.load(merge_, service_.pools.file()->code);
  if (const ResultCode rc = converter.apply(merged, h); rc.failed()) return rc;
  std::vector<std::string> tags;
  records::FieldDesc f;
  for (ResultCode rc = records::fld_first(merged, f); rc.code() == 0; rc = records::fld_next(merged, f)) {
    if (tags.empty() || tags.back() != f.tag) tags.push_back(f.tag);
  }
  records::RecordBuilder builder;
  for (ResultCode rc = records::fld_first(stored, f); rc.code() == 0; rc = records::fld_next(stored, f)) {
    if (std::find(tags.begin(), tags.end(), f.tag) == tags.end()) builder.copy(stored, f);
  }
  for (ResultCode rc = records::fld_first(merged, f); rc.code() == 0; rc = records::fld_next(merged, f))
    builder.copy(merged, f);
  if (const ResultCode rc = builder.build(stored); rc.failed()) return rc;
  stored.idn = idn;
  records::rec_store_header(stored);
  // The merged record is completed and checked as every update is (its
  // sort title follows a new title).
  // The check may number the record: the numbers and the record go to the
  // journal in one unit.
  std::string message;
  return layer.as_unit(pool(), [&]() -> ResultCode {
    if (const ResultCode rc = layer.rec_check(pool(), file(), stored, 'U', message); rc.failed()) return rc;
    return layer.rec_update(pool(), file(), stored, nullptr);
  });
}

ResultCode Importer::union_number(records::RecordHandle& h, std::string& messages) {
  char head[16];
  std::snprintf(head, sizeof head, "[%.6ld] ", number_);
  const auto value_of = [](records::RecordHandle& r, const std::string& address) {
    const FieldAddress a = parse_field_address(address);
    if (!a.valid) return std::string();
    records::FieldDesc f = a.field;
    if (f.occurrence == 0) f.occurrence = 1;
    records::FieldDesc s = a.subfield;
    if (!s.tag.empty() && s.occurrence == 0) s.occurrence = 1;
    if (records::fld_get(r, f, s.tag.empty() ? nullptr : &s).code() != 0) return std::string();
    return std::string(trim_blanks(s.tag.empty() ? f.content() : s.content()));
  };
  const std::string local = value_of(h, key_);
  const long idn = parse_long(local);
  if (idn <= 0) {
    messages = head + std::string("Keine Corvanta-Identnummer in ") + key_;
    return kSkipped;
  }
  std::string union_no = value_of(h, source_);
  if (union_no.empty()) {
    messages = head + std::string("Keine Verbund-Identnummer in ") + source_;
    return kSkipped;
  }
  records::PoolLayer& layer = service_.pools;
  records::RecordHandle stored;
  if (layer
          .rec_read(pool(), file(), static_cast<std::uint32_t>(idn), stored, layer.max_record(),
                    records::kExternalForm)
          .code() != 0) {
    messages = head + std::string("Satz mit IDN=") + std::to_string(idn) + " nicht gefunden";
    return kSkipped;
  }
  const std::string old = value_of(stored, target_);
  if (old == union_no) return kSkipped;
  if (!old.empty() && !force_) {
    messages =
        head + std::string("Satz IDN=") + std::to_string(idn) + ": Feld " + target_ + " bereits belegt";
    return kSkipped;
  }
  if (!old.empty()) {
    messages = head + std::string("Satz IDN=") + std::to_string(idn) + ": Feld " + target_ +
               " bereits belegt - " + old + " ersetzt durch " + union_no;
  }
  records::ResultSet set;
  if (service_.retrieval.find("VID=" + union_no, set).ok() && !set.hits.empty()) {
    if (!messages.empty()) messages += '\n';
    messages += head + std::string("Dublette Verbund-Identnummer: ") + union_no;
    union_no += "F";
  }
  const FieldAddress a = parse_field_address(target_);
  if (!a.valid) return codes::kMissingParameter;
  records::FieldDesc f = a.field;
  if (f.occurrence == 0) f.occurrence = 1;
  f.type = 1;
  records::FieldDesc s = a.subfield;
  s.type = 1;
  if (!s.tag.empty() && s.occurrence == 0) s.occurrence = 1;
  records::FieldDesc probe = f;
  const bool exists = records::fld_get(stored, probe, s.tag.empty() ? nullptr : &s).code() == 0;
  if (s.tag.empty()) {
    f.set(union_no);
  } else {
    s.set(union_no);
  }
  const ResultCode put = exists ? records::fld_replace(stored, f, s.tag.empty() ? nullptr : &s)
                                : records::fld_put(stored, f, s.tag.empty() ? nullptr : &s);
  if (put.failed()) return put;
  std::string check;
  const ResultCode rc = layer.as_unit(pool(), [&]() -> ResultCode {
    if (const ResultCode r = layer.rec_check(pool(), file(), stored, 'U', check); r.failed()) return r;
    return layer.rec_update(pool(), file(), stored, nullptr);
  });
  return rc.failed() ? rc : ResultCode(kUpdated);
}

ResultCode Importer::item_merge(records::RecordHandle& h, std::string& messages, long& merged) {
  records::PoolLayer& layer = service_.pools;
  field_checks(h, messages);
  if (!messages.empty()) return kError;
  // The item names its bibliographic record in BIB $L.
  const std::uint32_t bib = linked_idn(h, "BIB");
  if (bib == 0) return kNothing;
  const dict::AppFileDef* bibls = nullptr;
  for (const dict::AppFileDef* candidate : pool().file_defs) {
    if (candidate->name == "BIBLS") bibls = candidate;
  }
  records::IdnList items;
  if (bibls != nullptr && bibls->data != nullptr) {
    const dict::LinkDef* mex = bibls->data->find_link("MEX");
    if (mex != nullptr) {
      if (const ResultCode rc = layer.lnk_follow(pool(), *bibls->data, mex, bib, items, 'B'); rc.failed())
        return rc;
    }
  }
  if (!items.empty()) {
    for (const std::uint32_t item : items) {
      if (const ResultCode rc = merge_into(h, item); rc.failed()) return rc;
    }
    merged = static_cast<long>(items.size());
    return kMerged;
  }
  records::FieldDesc ldr;
  ldr.tag = "LDR";
  ldr.occurrence = 1;
  while (records::fld_get(h, ldr).code() == 0) (void)records::fld_delete(h, ldr);
  h.idn = 0;
  const char keep = mode_;
  mode_ = 'I';
  const ResultCode rc = store_new(h, messages);
  mode_ = keep;
  return rc;
}

ResultCode Importer::store(records::RecordHandle& h, std::string& messages, long& merged) {
  switch (mode_) {
    case 'S': return union_number(h, messages);
    case 'H': return item_merge(h, messages, merged);
    case 'M': {
      field_checks(h, messages);
      if (!messages.empty()) return kError;
      std::vector<std::uint32_t> found;
      if (const ResultCode rc = service_.pools.rec_duplicates(pool(), file(), h, found); rc.failed())
        return rc;
      for (const std::uint32_t idn : found) {
        if (const ResultCode rc = merge_into(h, idn); rc.failed()) return rc;
      }
      merged = static_cast<long>(found.size());
      if (found.empty()) messages = import_text(service_, kMsgNothingToMerge, "");
      return kMerged;
    }
    default: return store_new(h, messages);
  }
}

ResultCode Importer::run() {
  std::string language;
  if (const ResultCode rc = bat_select_file(service_, params_, "", language); rc.failed()) return rc;
  if (const ResultCode rc = bat_permission(service_, kImportGroup); rc.failed()) return rc;
  const std::string type = params_.get_into("TYPE", "", 8, true);
  const std::optional<imex::FormatType> format = imex::format_type(type);
  data_ = params_.get_into("DATA", "", 99, false);
  const std::string mode = params_.get_into("MODE", "", 8, true);
  const std::string flags = params_.get_into("FLAGS", "", 18, false);
  const std::string rectype = params_.get_into("RECTYPE", "", 19, false);
  std::string dbl = upper(params_.get_into("DOUBLE", "R", 1, true));
  if (dbl.empty() || std::string_view("IOEMR").find(dbl[0]) == std::string_view::npos) dbl = "R";
  const std::string statistic = upper(params_.get_into("STATISTIC", "N", 1, true));
  const std::string save = upper(params_.get_into("SAVE", "Y", 1, true));
  const std::string qlink = upper(params_.get_into("QLINK", "Y", 1, true));
  key_ = params_.get_into("KEY", "020/c", 9, true);
  source_ = params_.get_into("SOURCE", "012", 9, true);
  target_ = params_.get_into("TARGET", "026/f", 9, true);
  const std::string force = upper(params_.get_into("FORCE", "N", 1, true));
  service_.reporter.log_text(
      "POOL=" + std::string(params_.get("POOL")) + " FILE=" + std::string(params_.get("FILE")) +
          " DATA=" + data_ + " TYPE=" + type + " MODE=" + mode + " DOUBLE=" + dbl +
          " STATISTIC=" + statistic + " FLAGS=" + flags + " SAVE=" + save + " QLINK=" + qlink,
      0);
  mode_ = mode.empty() ? 'I' : static_cast<char>(std::toupper(static_cast<unsigned char>(mode[0])));
  if (std::string_view("LMSH").find(mode_) == std::string_view::npos) mode_ = 'I';
  if (mode_ == 'S') {
    service_.reporter.log_text(
        "KEY=" + key_ + " SOURCE=" + source_ + " TARGET=" + target_ + " FORCE=" + force, 0);
  }
  if (!format || data_.empty()) return codes::kMissingParameter;
  if (mode_ == 'H' && service_.pools.file()->name != "ITEMS") {
    service_.reporter.log_text(import_text(service_, kMsgItemsOnly, "ITEMS"), 0);
    return codes::kMissingParameter;
  }
  double_ = dbl[0];
  save_ = save == "N" ? 'N' : 'Y';
  force_ = force == "Y";
  convin_ = params_.get_into("CONVIN", "", 99, false);
  merge_ = params_.get_into("MERGE", "", 99, false);
  scriptin_ = params_.get_into("SCRIPTIN", "", 11, true);
  scriptpost_ = params_.get_into("SCRIPTPOST", "", 11, true);
  const long from = number_param(params_, "FROM", 0);
  const long to = number_param(params_, "TO", 0);
  const long every = number_param(params_, "RECMESS", 0);
  const long max_errors = number_param(params_, "MAXERROR", 100);
  const std::string protyp = params_.get_into("PROTYP", "", 1, false);
  errors_.path = side_file(params_.get_into("RECERROR", ".ERR", 99, false), data_);
  doubles_.path = side_file(params_.get_into("RECDOUBLE", ".DBL", 99, false), data_);

  if (const ResultCode rc = check_command_file(service_, data_, FileUse::Read); rc.failed()) return rc;
  // The error and duplicate files are checked before anything is read; one
  // that is the input itself would be read back while it grows.
  for (const std::string* side : {&errors_.path, &doubles_.path}) {
    if (same_file(*side, data_)) {
      service_.reporter.error_message(*side, codes::kMissingParameter);
      return codes::kMissingParameter;
    }
    if (const ResultCode rc = check_command_file(service_, *side, FileUse::Write); rc.failed()) return rc;
  }
  // Translation tables that are not there would empty every record.
  for (const char* name : {"TRANSLIN", "TRANSLOUT"}) {
    const std::string table = upper(params_.get_into(name, "", 11, true));
    if (!table.empty() && service_.translations.find(table) == nullptr) {
      service_.reporter.error_message(std::string(name) + "=" + table, codes::kMissingParameter);
      return codes::kMissingParameter;
    }
  }
  if (const ResultCode rc = psiin_.load(service_, params_.get_into("PSIIN", "", 99, false)); rc.failed())
    return rc;
  if (const ResultCode rc = psipost_.load(service_, params_.get_into("PSIPOST", "", 99, false)); rc.failed())
    return rc;
  open_mode_ = psiin_.given() || psipost_.given() ? kSharedMode : kBulkMode;
  if (const ResultCode rc = bat_pool_open(service_, open_mode_, save_); rc.failed()) return rc;

  read_options_.type = *format;
  read_options_.file = &file();
  read_options_.sorted = service_.pools.file()->order == 'Y';
  read_options_.flags = flags;
  read_options_.protyp = protyp == "Y" || protyp == "y";
  read_options_.translations = &service_.translations;
  read_options_.escape = service_.state.escape_char;
  const std::string subfield = service_.configs.get(service_.state.server_config, "MARC21", "Subfield");
  if (!subfield.empty() && parse_long(subfield) > 0)
    read_options_.subfield = static_cast<char>(parse_long(subfield));
  read_options_.capacity = std::max<std::size_t>(read_options_.capacity, service_.pools.max_record());
  write_options_ = read_options_;
  write_options_.translation = upper(params_.get_into("TRANSLOUT", "", 11, true));
  write_options_.generic = true;  // the error file keeps every field
  write_options_.flags = "IS";
  write_options_.today = date_now("YYYYMMDD");
  if (const ResultCode rc = open_input(); rc.failed()) {
    close_input();
    return rc;
  }

  long read = 0, added = 0, updated = 0, duplicates = 0, errors = 0;
  ResultCode result = 0;
  records::RecordHandle h;
  imex::RecordConverter converter;
  const bool convert = !convin_.empty();
  if (convert) (void)converter.load(convin_, service_.pools.file()->code);
  const bool fresh_idn = !flags.empty() && flags[0] == 'I';
  // Head and intermediate records of MAB imports.
  std::uint32_t head_idn = 0;
  std::string head_title;
  records::RecordHandle intermediate;
  bool have_intermediate = false;

  const auto progress = [&] {
    report_count(service_, kMsgRead, read);
    if (added != 0) report_count(service_, kMsgNew, added);
    if (updated != 0) report_count(service_, kMsgUpdated, updated);
    if (errors != 0) report_count(service_, kMsgErrors, errors);
    if (duplicates != 0) report_count(service_, kMsgDuplicates, duplicates);
  };
  // A record into the error file, counted (more than MAXERROR end the
  // import): false when the import must stop.
  const auto to_errors = [&](records::RecordHandle* record, const std::string& raw) {
    if (const ResultCode w = side_write(errors_, record, raw); w.failed()) {
      result = w;
      return false;
    }
    if (++errors > max_errors) result = kTooManyErrors;
    return result.ok();
  };
  // A procedure's or script's result: true when it ends the import (a
  // negative one with its code, a positive one with 0).
  const auto ends = [&](ResultCode p) {
    if (p.code() == 0) return false;
    result = p.failed() ? p : ResultCode(0);
    return true;
  };

  for (long seen = 0; result.ok(); ++seen) {
    if (every > 0 && seen > 0 && seen % every == 0) progress();
    const ResultCode rc = reader_->next(h);
    if (rc.code() == imex::kEndOfInput) break;
    if (rc.failed()) {
      if (rc.code() == imex::kNotXmlCollection)
        service_.reporter.screen_text(import_text(service_, imex::kMsgXmlError, "<collection>"), 0);
      result = rc;
      break;
    }
    if (rc.code() == imex::kUnreadable) {
      if (to > 0 && number_ + 1 > to) break;
      ++number_;
      ++read;
      if (number_ < from) continue;
      const imex::Problem& p = reader_->problem();
      record_line(service_, number_, import_text(service_, p.message, p.argument));
      if (!to_errors(reader_->text().empty() ? &h : nullptr, reader_->text())) break;
      continue;
    }
    const char record_type = reader_->record_type();
    if (!rectype.empty() && rectype.find(record_type) == std::string::npos) continue;
    const bool mab = imex::is_mab(*format);
    if (mab) {
      const std::string leader = imex::field_text(h, "LDR");
      if (leader.size() > 5 && leader[5] == 'd') continue;
    }
    if (to > 0 && number_ + 1 > to) break;
    ++number_;
    ++read;
    if (number_ < from) continue;
    if (fresh_idn) {
      h.idn = 0;
      records::rec_store_header(h);
    }
    if (mab && record_type == 'y') {
      records::rec_init(intermediate, h.capacity, records::kExternalForm);
      (void)records::rec_copy(intermediate, h);
      have_intermediate = true;
      continue;
    }
    // A MAB head record (without 599) is remembered once stored; a
    // dependent record gets the link to it and what it lacks of its
    // intermediate record, all before the conversion.
    const bool head = mab && record_type == 'h' && imex::field_text(h, "599").empty();
    const std::string title_as_read = head ? imex::field_text(h, "331") : std::string();
    if (mab && record_type == 'u' && head_idn != 0) {
      if (const ResultCode b =
              link_dependent(h, head_idn, head_title, have_intermediate ? &intermediate : nullptr);
          b.failed()) {
        result = b;
        break;
      }
    }
    // CONVIN, then the MAB finishing steps.
    if (convert) {
      records::RecordHandle converted;
      records::rec_init(converted, read_options_.capacity, records::kExternalForm);
      converted.order = h.order;
      if (const ResultCode c = converter.apply(converted, h); c.failed()) {
        result = c;
        break;
      }
      // The internal and the sister system's formats keep the IDN read.
      const bool own_idn = *format == imex::FormatType::Corvanta || *format == imex::FormatType::Vorna;
      converted.idn = own_idn ? h.idn : 0;
      records::rec_store_header(converted);
      if (const ResultCode c = records::rec_copy(h, converted); c.failed()) {
        result = c;
        break;
      }
    }
    if (mab) (void)imex::mab_finish(h);
    if (ends(procedure(scriptin_, h)) || ends(script(psiin_, h))) break;
    std::string messages;
    long merged = 0;
    const ResultCode outcome = store(h, messages, merged);
    if (outcome.failed()) {
      // A record the pool refuses (too long for its file, a bad value) is
      // an error of that record; a failure of the pool ends the import.
      if (record_refused(outcome)) {
        record_line(
            service_, number_,
            service_.messages.text("Common", outcome.code()) + " (" + std::to_string(outcome.code()) + ")");
        if (!to_errors(&h, {})) break;
        continue;
      }
      result = outcome;
      break;
    }
    if (!messages.empty()) {
      std::size_t at = 0;
      while (at <= messages.size()) {
        std::size_t end = messages.find('\n', at);
        if (end == std::string::npos) end = messages.size();
        if (end > at) record_line(service_, number_, std::string_view(messages).substr(at, end - at));
        at = end + 1;
      }
    }
    if (head && (outcome.code() == kNew || outcome.code() == kUpdated)) {
      head_idn = h.idn;
      head_title = title_as_read;
      have_intermediate = false;
    }
    if (ends(script(psipost_, h)) || ends(procedure(scriptpost_, h))) break;
    switch (outcome.code()) {
      case kNew: ++added; break;
      case kUpdated: ++updated; break;
      case kMerged: updated += merged; break;
      case kDuplicate:
        ++duplicates;
        if (const ResultCode w = side_write(doubles_, &h, {}); w.failed()) result = w;
        break;
      case kError: (void)to_errors(&h, {}); break;
      default: break;
    }
  }
  if (in_.failed() && result.ok()) result = imex::kCannotRead;
  close_input();
  for (SideFile* side : {&errors_, &doubles_}) {
    if (side->writer) side->writer->end();
    if (side->out.is_open() && side->out.commit().failed() && result.ok()) result = imex::kCannotWrite;
  }
  progress();
  return result;
}

// ---------------------------------------------------------------------------

class Exporter {
 public:
  Exporter(Service& service, ParamList& params) : service_(service), params_(params) {}
  ResultCode run();

 private:
  ResultCode idns(std::vector<std::uint32_t>& out);
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
    std::string line;
    bool cut = false;
    while (in.line(line, kMaxListLine, cut)) {
      const std::string_view v = trim_blanks(std::string_view(line).substr(0, line.find('\r')));
      if (v.empty() || v.find_first_not_of("0123456789") != std::string_view::npos) continue;
      const long n = parse_long(v);
      if (n > 0) out.push_back(static_cast<std::uint32_t>(n));
    }
    return in.failed() ? ResultCode(imex::kCannotRead) : ResultCode(0);
  }
  records::RecordHandle probe;
  (void)service_.pools.idn_peek(pool(), file(), probe);
  const long highest = static_cast<long>(probe.idn) - 1;
  long from = std::max(1L, number_param(params_, "FROM", 1));
  long to = number_param(params_, "TO", 0);
  if (to <= 0 || to > highest) to = highest;
  for (long n = from; n <= to; ++n) out.push_back(static_cast<std::uint32_t>(n));
  return 0;
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
  return rc.failed() ? rc : ResultCode(0);
}

ResultCode Exporter::run() {
  std::string language;
  if (const ResultCode rc = bat_select_file(service_, params_, "", language); rc.failed()) return rc;
  if (const ResultCode rc = bat_permission(service_, kExportGroup); rc.failed()) return rc;
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
  scriptout_ = params_.get_into("SCRIPTOUT", "", 11, true);
  const std::string translout = upper(params_.get_into("TRANSLOUT", "", 11, true));
  const long every = number_param(params_, "RECMESS", 0);
  const long max_errors = number_param(params_, "MAXERROR", 100);
  strip_links_ = flags.find('D') != std::string::npos;
  // A translation table that is not there would empty every record.
  if (!translout.empty() && service_.translations.find(translout) == nullptr) {
    service_.reporter.error_message("TRANSLOUT=" + translout, codes::kMissingParameter);
    return codes::kMissingParameter;
  }
  if (const ResultCode rc = bat_pool_open(service_, 'I', 'N'); rc.failed()) return rc;
  if (const ResultCode rc = check_command_file(service_, data, FileUse::Write); rc.failed()) return rc;
  if (const ResultCode rc = psiout_.load(service_, params_.get_into("PSIOUT", "", 99, false)); rc.failed())
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
    report_count(service_, kMsgRead, processed);
    if (written_ != 0) report_count(service_, kMsgWritten, written_);
  };
  const auto head_of = [](records::RecordHandle& r) { return linked_idn(r, "GT0"); };
  for (const std::uint32_t idn : list) {
    if (every > 0 && processed > 0 && processed % every == 0) progress();
    ++processed;
    const ResultCode rc = read(idn, h);
    if (rc.code() == 1) continue;
    if (rc.failed()) {
      if (++read_errors_ > max_errors) {
        result = kTooManyErrors;
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
      result = kTooManyErrors;
      break;
    }
  }
  writer_->end();
  if (result.ok()) result = out_.commit();
  if (result.failed()) out_.discard();
  if (result.ok() && translate_after) {
    result = translate_file(service_, translout, written, data);
    if (result.failed()) result = imex::kCannotWrite;
  }
  if (translate_after) std::remove(written.c_str());
  progress();
  return result;
}

}  // namespace

ResultCode cmd_import(Service& service, ParamList& params, BatchResult&) {
  Importer importer(service, params);
  return importer.run();
}

ResultCode cmd_export(Service& service, ParamList& params, BatchResult&) {
  Exporter exporter(service, params);
  return exporter.run();
}

}  // namespace corvanta
