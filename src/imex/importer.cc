#include "imex/importer.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <vector>

#include "dbm/codes.h"
#include "imex/exchange_file.h"
#include "imex/record_convert.h"
#include "imex/update_service.h"
#include "records/translate.h"
#include "util/text.h"

namespace corvanta::imex {
namespace {

constexpr std::int32_t kMsgNothingToMerge = 186;
constexpr std::int32_t kMsgNotStored = 191;
constexpr std::int32_t kMsgIntermediate = 193;
constexpr std::int32_t kMsgHeadMissing = 194;

// What became of one record.
enum Outcome { kNew = 0, kUpdated = 1, kDuplicate = 2, kError = 3, kMerged = 4, kNothing = 5, kSkipped = 6 };

// A record the pool refuses (too long for its file, a value it cannot
// take, an IDN that is taken or out of range) is an error of that record,
// not of the import.
bool record_refused(ResultCode rc) {
  return (rc.code() <= -400 && rc.code() > -500) || rc.code() == dbm::kRecordExists ||
         rc.code() == records::kIdnOutOfRange;
}

// The trimmed value at `path`, empty when there is none.
std::string value_at(records::RecordHandle& r, const records::FieldPath& path) {
  if (!path.valid) return std::string();
  records::FieldDesc f = path.field;
  if (f.occurrence == 0) f.occurrence = 1;
  records::FieldDesc s = path.subfield;
  if (!s.tag.empty() && s.occurrence == 0) s.occurrence = 1;
  if (records::fld_get(r, f, s.tag.empty() ? nullptr : &s).code() != 0) return std::string();
  return std::string(trim_blanks(s.tag.empty() ? f.content() : s.content()));
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
  add('b', field_text(h, "089"));
  if (intermediate != nullptr) {
    std::string c = field_text(*intermediate, "089");
    const std::string t = field_text(*intermediate, "331");
    if (!t.empty()) c += (c.empty() ? "" : ". ") + t;
    add('c', c);
    std::string sort = field_text(*intermediate, "090");
    const std::string own = field_text(h, "090");
    if (!own.empty()) sort += (sort.empty() ? "" : ",") + own;
    add('s', sort);
    for (const char* tag : {"540", "541", "542", "543", "700", "902", "907", "912", "917", "922", "927",
                            "932", "937", "942", "947"}) {
      if (!field_text(h, tag).empty()) continue;
      for (ResultCode r = records::fld_first(*intermediate, f); r.code() == 0;
           r = records::fld_next(*intermediate, f)) {
        if (f.tag == tag) builder.copy(*intermediate, f);
      }
    }
  }
  return builder.build(h);
}

// The steps of a stored record's update by a merge or a union number: it
// is completed and checked as every update is (its sort title follows a
// new title), and may be numbered.
StoreSteps update_steps() {
  StoreSteps steps;
  steps.op = UpdateOp::Update;
  steps.field_check = false;
  steps.link_mode = 'U';
  steps.numbering = 'U';
  return steps;
}

class Importer {
 public:
  Importer(records::PoolLayer& layer, const config::ConfigTable& configs, config::ConfigHandle server,
           ImportHost& host, const ImportSettings& settings)
      : layer_(layer), updates_(layer, configs, server), host_(host), s_(settings), mode_(settings.mode) {
    updates_.set_message_text(
        [this](std::int32_t code, std::string_view args) { return host_.message("Check", code, args); });
  }

  ResultCode run(ImportCounts& counts);

 private:
  ResultCode open_input();
  ResultCode new_copy(const std::string& input, std::string& copy);
  void close_input();
  ResultCode store(records::RecordHandle& h, std::string& messages, long& merged);
  ResultCode store_new(records::RecordHandle& h, std::string& messages);
  ResultCode merge_into(records::RecordHandle& h, std::uint32_t idn);
  ResultCode union_number(records::RecordHandle& h, std::string& messages);
  ResultCode item_merge(records::RecordHandle& h, std::string& messages, long& merged);
  // The error file or the duplicate file, opened on first use.
  struct SideFile {
    std::string path;
    OutputFile out;
    std::unique_ptr<RecordWriter> writer;
  };
  ResultCode side_write(SideFile& side, records::RecordHandle* h, const std::string& raw);
  ResultCode procedure(const std::string& name, records::RecordHandle& h);
  // "[%09ld]  " and the text: a line about the current input record.
  void record_line(std::string_view text);

  const dict::AppPoolDef& pool() const { return *layer_.pool(); }
  const dict::FileDef& file() const { return *layer_.file()->data; }

  records::PoolLayer& layer_;
  RecordUpdateService updates_;
  ImportHost& host_;
  const ImportSettings& s_;
  FormatOptions read_options_;
  InputFile in_;
  std::unique_ptr<RecordReader> reader_;
  std::vector<std::string> copies_;  // temporary copies of an XML input
  SideFile errors_, doubles_;
  char mode_;
  long number_ = 0;  // input records counted
};

void Importer::record_line(std::string_view text) {
  char head[24];
  std::snprintf(head, sizeof head, "[%09ld]  ", number_);
  host_.screen(head + std::string(text));
}

ResultCode Importer::procedure(const std::string& name, records::RecordHandle& h) {
  if (name.empty()) return 0;
  std::string message;
  const ResultCode rc = layer_.run_procedure(pool(), file(), name, h, message);
  if (!message.empty()) record_line(message);
  return rc;
}

ResultCode Importer::open_input() {
  read_options_ = s_.read;
  if (is_xml(read_options_.type)) {
    // The XML input is translated and transformed into copies that the
    // parser reads; the copies go when the import ends.
    std::string input = s_.data;
    if (!s_.translin.empty()) {
      std::string copy;
      if (const ResultCode rc = new_copy(input, copy); rc.failed()) return rc;
      if (const ResultCode rc =
              translate_file(*read_options_.translations, read_options_.escape, s_.translin, input, copy);
          rc.failed())
        return rc;
      input = copy;
    }
    if (!s_.xslt.empty()) {
      std::string copy;
      if (const ResultCode rc = new_copy(s_.data, copy); rc.failed()) return rc;
      if (const ResultCode rc = host_.transform(s_.xslt, input, copy); rc.failed()) return rc;
      input = copy;
    }
    if (const ResultCode rc = in_.open(input); rc.failed()) return rc;
  } else {
    if (const ResultCode rc = in_.open(s_.data); rc.failed()) return rc;
    in_.skip_bom();
    read_options_.translation = s_.translin;
  }
  reader_ = make_reader(read_options_, in_);
  return 0;
}

// A new file beside the input for a copy of it ("<dir>/.<name>.XXXXXX"):
// never an existing file nor a link put there, so nothing is lost whatever
// the input is called; removed when the import ends.
ResultCode Importer::new_copy(const std::string& input, std::string& copy) {
  const std::size_t slash = input.rfind('/');
  const std::size_t first = slash == std::string::npos ? 0 : slash + 1;
  copy = input.substr(0, first) + "." + input.substr(first) + ".XXXXXX";
  if (const ResultCode rc = host_.check_write(copy); rc.failed()) return rc;
  const int fd = ::mkstemp(copy.data());
  if (fd < 0) return kCannotOpen;
  ::close(fd);
  copies_.push_back(copy);
  return 0;
}

void Importer::close_input() {
  reader_.reset();
  in_ = InputFile();
  for (const std::string& copy : copies_) std::remove(copy.c_str());
  copies_.clear();
}

// Appends a record (or, without one, the bytes `raw`) to the error or
// duplicate file, opened on first use.
ResultCode Importer::side_write(SideFile& side, records::RecordHandle* h, const std::string& raw) {
  if (!side.out.is_open()) {
    if (const ResultCode rc = host_.check_write(side.path); rc.failed()) return rc;
    // An XML error file is one document, made anew by each import; the
    // other formats append record after record.
    const ResultCode opened = is_xml(s_.write.type) ? side.out.create(side.path) : side.out.append(side.path);
    if (opened.failed()) return opened;
    side.writer = make_writer(s_.write, side.out);
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

ResultCode Importer::store_new(records::RecordHandle& h, std::string& messages) {
  const bool load = mode_ == 'L';
  StoreSteps steps;
  steps.op = load ? UpdateOp::Load : UpdateOp::Insert;
  steps.reserve_idn = true;
  steps.check_procedure = !load;
  steps.field_check = !(load && s_.read.type == FormatType::Corvanta);
  steps.tag_names = true;
  steps.link_mode = load ? 'L' : 'I';
  steps.refuse_on_check = true;
  steps.numbering = load ? 'L' : 'N';
  steps.give_back_numbers = true;

  // DOUBLE: a record that brings its IDN duplicates the record stored
  // under it; one without, those the duplicate search finds.
  Outcome stopped = kDuplicate;
  std::uint32_t merge_target = 0;
  DuplicateTest test;
  if (s_.duplicates != 'I') {
    test = [&](records::RecordHandle& r, bool reserved, DuplicateVerdict& verdict) -> ResultCode {
      std::vector<std::uint32_t> found;
      if (!reserved) {
        records::RecordHandle stored;
        if (layer_.rec_read(pool(), file(), r.idn, stored, layer_.max_record(), records::kInternalForm)
                .code() == 0)
          found.push_back(r.idn);
      } else if (const ResultCode rc = layer_.rec_duplicates(pool(), file(), r, found); rc.failed()) {
        return rc;
      }
      if (found.empty()) return 0;
      const char dbl = s_.duplicates;
      verdict.kind = DuplicateVerdict::Stop;
      if (reserved && (found.size() > 1 || dbl == 'R')) {
        std::string list;
        for (std::size_t i = 0; i < found.size() && i < kMaxDuplicates; ++i) {
          if (i != 0) list += ',';
          list += std::to_string(found[i]);
        }
        messages = host_.message("Check", kMsgDuplicate, list);
        return 0;
      }
      if (dbl == 'E' || dbl == 'O' || (dbl == 'R' && !reserved)) {
        verdict.kind = DuplicateVerdict::UpdateStored;
        verdict.idn = found.front();
      } else if (dbl == 'M') {
        merge_target = found.front();
        stopped = kUpdated;
      }
      return 0;
    };
  }
  // The record, its IDN, the link targets made for it and a merge it ends
  // in are one unit of the journal.
  UpdateOutcome out;
  const ResultCode rc = layer_.as_unit(pool(), [&]() -> ResultCode {
    ResultCode r = updates_.check_and_store(pool(), file(), h, steps, test, out);
    const bool by_procedure = out.end == StoreEnd::Refused && !out.refused_by.empty();
    if (!by_procedure && !out.procedure_messages.empty()) record_line(out.procedure_messages);
    if (r.ok() && merge_target != 0) r = merge_into(h, merge_target);
    return r;
  });
  if (out.end == StoreEnd::Refused) {
    // A record the procedures or the checks refuse is an error of that
    // record, with what they said.
    if (out.refused_by.empty()) {
      messages = out.check_messages;
    } else {
      messages = out.procedure_messages.empty()
                     ? std::string(out.refused_by) + ": " + host_.text("Common", rc.code())
                     : out.procedure_messages;
      while (!messages.empty() && messages.back() == '\n') messages.pop_back();
    }
    return kError;
  }
  if (rc.failed()) return rc;
  if (out.end == StoreEnd::Stopped) return stopped;
  return out.stored_as == UpdateOp::Update ? kUpdated : kNew;
}

// Merges the imported record into stored record `idn`: the fields the
// MERGE table makes of it replace the stored fields of the same tags.
ResultCode Importer::merge_into(records::RecordHandle& h, std::uint32_t idn) {
  records::RecordHandle stored;
  if (layer_.rec_read(pool(), file(), idn, stored, layer_.max_record(), records::kExternalForm).code() != 0)
    return records::kRecordAbsent;
  records::RecordHandle merged;
  records::rec_init(merged, layer_.max_record(), records::kExternalForm);
  RecordConverter converter;
  if (!s_.merge.empty()) (void)converter.load(s_.merge, layer_.file()->code);
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
  UpdateOutcome out;
  return updates_.check_and_store(pool(), file(), stored, update_steps(), {}, out);
}

ResultCode Importer::union_number(records::RecordHandle& h, std::string& messages) {
  char head[16];
  std::snprintf(head, sizeof head, "[%.6ld] ", number_);
  const std::string local = value_at(h, s_.key_at);
  const long idn = parse_long(local);
  if (idn <= 0) {
    messages = head + std::string("Keine Corvanta-Identnummer in ") + s_.key;
    return kSkipped;
  }
  std::string union_no = value_at(h, s_.source_at);
  if (union_no.empty()) {
    messages = head + std::string("Keine Verbund-Identnummer in ") + s_.source;
    return kSkipped;
  }
  records::RecordHandle stored;
  if (layer_
          .rec_read(pool(), file(), static_cast<std::uint32_t>(idn), stored, layer_.max_record(),
                    records::kExternalForm)
          .code() != 0) {
    messages = head + std::string("Satz mit IDN=") + std::to_string(idn) + " nicht gefunden";
    return kSkipped;
  }
  const std::string old = value_at(stored, s_.target_at);
  if (old == union_no) return kSkipped;
  if (!old.empty() && !s_.force) {
    messages =
        head + std::string("Satz IDN=") + std::to_string(idn) + ": Feld " + s_.target + " bereits belegt";
    return kSkipped;
  }
  if (!old.empty()) {
    messages = head + std::string("Satz IDN=") + std::to_string(idn) + ": Feld " + s_.target +
               " bereits belegt - " + old + " ersetzt durch " + union_no;
  }
  if (host_.union_number_used(union_no)) {
    if (!messages.empty()) messages += '\n';
    messages += head + std::string("Dublette Verbund-Identnummer: ") + union_no;
    union_no += "F";
  }
  if (!s_.target_at.valid) return kBadTargetAddress;
  records::FieldDesc f = s_.target_at.field;
  if (f.occurrence == 0) f.occurrence = 1;
  f.type = 1;
  records::FieldDesc s = s_.target_at.subfield;
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
  UpdateOutcome out;
  const ResultCode rc = updates_.check_and_store(pool(), file(), stored, update_steps(), {}, out);
  return rc.failed() ? rc : ResultCode(kUpdated);
}

ResultCode Importer::item_merge(records::RecordHandle& h, std::string& messages, long& merged) {
  updates_.field_check(file(), h, true, messages);
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
      if (const ResultCode rc = layer_.lnk_follow(pool(), *bibls->data, mex, bib, items, 'B'); rc.failed())
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
      updates_.field_check(file(), h, true, messages);
      if (!messages.empty()) return kError;
      std::vector<std::uint32_t> found;
      if (const ResultCode rc = layer_.rec_duplicates(pool(), file(), h, found); rc.failed()) return rc;
      for (const std::uint32_t idn : found) {
        if (const ResultCode rc = merge_into(h, idn); rc.failed()) return rc;
      }
      merged = static_cast<long>(found.size());
      if (found.empty()) messages = host_.message("Import", kMsgNothingToMerge, "");
      return kMerged;
    }
    default: return store_new(h, messages);
  }
}

ResultCode Importer::run(ImportCounts& counts) {
  errors_.path = s_.error_path;
  doubles_.path = s_.double_path;
  if (const ResultCode rc = open_input(); rc.failed()) {
    close_input();
    return rc;
  }
  const FormatType format = s_.read.type;
  const bool mab = is_mab(format);
  ResultCode result = 0;
  records::RecordHandle h;
  RecordConverter converter;
  const bool convert = !s_.convin.empty();
  if (convert) (void)converter.load(s_.convin, layer_.file()->code);
  const bool fresh_idn = !s_.read.flags.empty() && s_.read.flags[0] == 'I';
  // Head and intermediate records of MAB imports.
  std::uint32_t head_idn = 0;
  bool head_missing = false;  // the last head record was not stored
  std::string head_title;
  records::RecordHandle intermediate;
  bool have_intermediate = false;

  // The record as read, for the error and duplicate files: the bytes of
  // the input, so that it can be mended and loaded again as it came. An
  // XML record that was read is written by the format's writer into a
  // document of its own.
  const auto as_read = [&](bool unreadable = false) {
    std::string raw;
    if ((is_xml(format) && !unreadable) || reader_->text().empty()) return raw;
    raw = reader_->text();
    raw += reader_->record_end();
    return raw;
  };
  // A record into the error file, counted (more than MAXERROR end the
  // import): false when the import must stop.
  const auto to_errors = [&](records::RecordHandle* record, const std::string& raw) {
    if (const ResultCode w = side_write(errors_, raw.empty() ? record : nullptr, raw); w.failed()) {
      result = w;
      return false;
    }
    if (++counts.errors > s_.max_errors) result = kTooManyErrors;
    return result.ok();
  };
  // A procedure's or script's result: true when it ends the import (a
  // negative one with its code, a positive one with 0).
  const auto ends = [&](ResultCode p) {
    if (p.code() == 0) return false;
    result = p.failed() ? p : ResultCode(0);
    return true;
  };
  const auto script = [&](bool post, bool given) {
    return given ? host_.run_script(post, h) : ResultCode(0);
  };

  for (long seen = 0; result.ok(); ++seen) {
    if (s_.every > 0 && seen > 0 && seen % s_.every == 0) host_.progress(counts);
    const ResultCode rc = reader_->next(h);
    if (rc.code() == kEndOfInput) break;
    if (rc.failed()) {
      // An XML document broken beyond a record: what is wrong with it.
      if (is_xml(read_options_.type) && reader_->problem().message != 0)
        host_.screen(host_.message("Import", reader_->problem().message, reader_->problem().argument));
      result = rc;
      break;
    }
    // Records are kept in UTF-8: bytes that are not say the file is in
    // another character set (CHARSET); the record waits in the error file.
    const bool not_utf8 = rc.code() == 0 && !reader_->not_utf8().empty();
    if (rc.code() == kUnreadable || not_utf8) {
      if (s_.to > 0 && number_ + 1 > s_.to) break;
      ++number_;
      ++counts.read;
      if (number_ < s_.from) continue;
      const Problem p = not_utf8 ? Problem{kMsgNotUtf8, reader_->not_utf8()} : reader_->problem();
      record_line(host_.message("Import", p.message, p.argument));
      if (!to_errors(&h, as_read(true))) break;
      continue;
    }
    const char record_type = reader_->record_type();
    if (!s_.rectype.empty() && s_.rectype.find(record_type) == std::string::npos) continue;
    if (mab) {
      const std::string leader = field_text(h, "LDR");
      if (leader.size() > 5 && leader[5] == 'd') continue;
    }
    if (s_.to > 0 && number_ + 1 > s_.to) break;
    ++number_;
    ++counts.read;
    if (number_ < s_.from) continue;
    if (fresh_idn) {
      h.idn = 0;
      records::rec_store_header(h);
    }
    if (mab && record_type == 'y') {
      records::rec_init(intermediate, h.capacity, records::kExternalForm);
      (void)records::rec_copy(intermediate, h);
      have_intermediate = true;
      record_line(host_.text("Import", kMsgIntermediate));
      ++counts.reported;
      continue;
    }
    // A MAB head record (without 599) is remembered once stored; a
    // dependent record gets the link to it and what it lacks of its
    // intermediate record, all before the conversion.
    const bool head = mab && record_type == 'h' && field_text(h, "599").empty();
    const std::string title_as_read = head ? field_text(h, "331") : std::string();
    // The dependent records of a head record that was not stored stay out
    // with it, rather than be linked to another head.
    if (mab && record_type == 'u' && head_missing) {
      record_line(host_.text("Import", kMsgHeadMissing));
      if (!to_errors(&h, as_read())) break;
      continue;
    }
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
      const bool own_idn = format == FormatType::Corvanta || format == FormatType::Vorna;
      converted.idn = own_idn ? h.idn : 0;
      records::rec_store_header(converted);
      if (const ResultCode c = records::rec_copy(h, converted); c.failed()) {
        result = c;
        break;
      }
    }
    if (mab) (void)mab_finish(h);
    if (ends(procedure(s_.scriptin, h)) || ends(script(false, s_.psiin))) break;
    std::string messages;
    long merged = 0;
    const ResultCode outcome = store(h, messages, merged);
    if (outcome.failed()) {
      // A record the pool refuses (too long for its file, a bad value) is
      // an error of that record; a failure of the pool ends the import.
      if (record_refused(outcome)) {
        record_line(host_.text("Common", outcome.code()) + " (" + std::to_string(outcome.code()) + ")");
        if (head) {
          head_idn = 0;
          head_missing = true;
        }
        if (!to_errors(&h, as_read())) break;
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
        if (end > at) record_line(std::string_view(messages).substr(at, end - at));
        at = end + 1;
      }
    }
    if (head) {
      const bool stored = outcome.code() == kNew || outcome.code() == kUpdated;
      head_idn = stored ? h.idn : 0;
      head_missing = !stored;
      head_title = title_as_read;
      have_intermediate = false;
    }
    if (ends(script(true, s_.psipost)) || ends(procedure(s_.scriptpost, h))) break;
    switch (outcome.code()) {
      case kNew: ++counts.added; break;
      case kUpdated: ++counts.updated; break;
      case kMerged:
        counts.updated += merged;
        if (merged == 0) ++counts.reported;  // with the line that nothing matched
        break;
      case kDuplicate: {
        ++counts.duplicates;
        const std::string raw = as_read();
        if (const ResultCode w = side_write(doubles_, raw.empty() ? &h : nullptr, raw); w.failed())
          result = w;
        break;
      }
      case kError: (void)to_errors(&h, as_read()); break;
      case kNothing:
        record_line(host_.message("Import", kMsgNotStored, "BIB$L"));
        ++counts.reported;
        break;
      default: ++counts.reported; break;
    }
  }
  if (in_.failed() && result.ok()) result = kCannotRead;
  // What the file does not define, by tag and subfield, with how often.
  for (const auto& [what, times] : reader_->left_out())
    host_.screen(host_.message("Import", kMsgLeftOut, what + " (" + std::to_string(times) + ")"));
  close_input();
  for (SideFile* side : {&errors_, &doubles_}) {
    if (side->writer) side->writer->end();
    if (side->out.is_open() && side->out.commit().failed() && result.ok()) result = kCannotWrite;
  }
  return result;
}

}  // namespace

ResultCode run_import(records::PoolLayer& layer, const config::ConfigTable& configs,
                      config::ConfigHandle server, ImportHost& host, const ImportSettings& settings,
                      ImportCounts& counts) {
  Importer importer(layer, configs, server, host, settings);
  return importer.run(counts);
}

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

ResultCode translate_file(const records::Translations& translations, char escape, const std::string& table,
                          const std::string& from, const std::string& to) {
  constexpr std::size_t kPiece = 1 << 16;
  InputFile in;
  if (const ResultCode rc = in.open(from); rc.failed()) return rc;
  OutputFile out;
  if (const ResultCode rc = out.create(to); rc.failed()) return rc;
  for (std::string_view piece = in.peek(kPiece); !piece.empty(); piece = in.peek(kPiece)) {
    std::size_t end = piece.size();
    if (end == kPiece) {
      const std::size_t cut = piece.find_last_of("\n>");
      if (cut != std::string_view::npos) end = cut + 1;
    }
    out.write(translations.translate(table, piece.substr(0, end), records::kPlain, escape));
    in.consume(end);
  }
  if (in.failed()) return kCannotRead;
  return out.commit();
}

}  // namespace corvanta::imex
