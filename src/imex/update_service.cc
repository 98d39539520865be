#include "imex/update_service.h"

#include <array>
#include <cstdio>

#include "imex/record_convert.h"
#include "pool/counters.h"
#include "util/text.h"

namespace corvanta::imex {
namespace {

constexpr std::size_t kLengthDigits = 4;
constexpr std::size_t kEntryHead = 6;  // tag, indicators, one unused character
constexpr std::int32_t kMsgUndefinedField = 153;

constexpr std::array<UpdateFunction, 9> kFunctions{{
    {"CHECK", 'C', UpdateOp::None},
    {"DELETE", 'D', UpdateOp::Delete},
    {"DELETE-CHK", 'D', UpdateOp::Delete},
    {"NEW", ' ', UpdateOp::Insert},
    {"NEW-CHK", 'N', UpdateOp::Insert},
    {"SORT", '-', UpdateOp::None},
    {"UPDATE", ' ', UpdateOp::Update},
    {"UPDATE-CHK", 'U', UpdateOp::Update},
    {"FIX", '-', UpdateOp::None},
}};

std::string trimmed(std::string_view value, bool keep_blanks) {
  if (keep_blanks) return value.empty() ? std::string(" ") : std::string(value);
  return std::string(trim_blanks(value));
}

ResultCode put_entry(records::RecordHandle& h, const dict::FileDef& file, std::string_view entry,
                     bool keep_blanks) {
  records::FieldDesc f;
  f.tag = std::string(entry.substr(0, 3));
  std::string_view ind = entry.substr(3, 2);
  if (static_cast<unsigned char>(ind[0]) < ' ') {
    ind = {};
  } else {
    while (!ind.empty() && ind.back() == ' ') ind.remove_suffix(1);
  }
  f.indicators = std::string(ind);
  f.type = 1;
  // The new field goes after the occurrences of its tag there are.
  std::uint16_t occurrences = 0;
  {
    records::FieldDesc probe;
    probe.tag = f.tag;
    for (std::uint16_t o = 1; o < records::kLastOccurrence; ++o) {
      probe.occurrence = o;
      if (records::fld_get(h, probe).code() != 0) break;
      occurrences = o;
    }
  }
  f.occurrence = static_cast<std::uint16_t>(occurrences + 1);
  const std::string_view content = entry.substr(kEntryHead);
  if (content.substr(0, 2) != "$$") {
    const std::string value = trimmed(content, keep_blanks);
    f.set(value);
    return records::fld_put_any_indicator(h, f);
  }
  // Subfields; those of a CAT field only up to the CAT tag's count.
  const dict::TagDef* def = file.find_tag(f.tag);
  const bool cat_full = f.tag == "CAT" && def != nullptr && occurrences + 1 > def->max_occurrence;
  bool first = true;
  std::size_t at = 2;
  while (at <= content.size()) {
    std::size_t end = content.find("$$", at);
    if (end == std::string_view::npos) end = content.size();
    const std::string_view piece = content.substr(at, end - at);
    at = end + 2;
    if (piece.empty()) continue;
    records::FieldDesc s;
    s.tag.assign(1, piece[0]);
    s.type = 1;
    const std::string data = trimmed(piece.substr(1), keep_blanks);
    s.set(data);
    if (first) {
      if (const ResultCode rc = records::fld_put_any_indicator(h, f, cat_full ? nullptr : &s); rc.failed())
        return rc;
      first = false;
      continue;
    }
    if (cat_full) continue;
    records::FieldDesc last;
    last.tag = f.tag;
    last.occurrence = f.occurrence;
    if (const ResultCode rc = records::fld_get(h, last); rc.code() != 0)
      return rc.failed() ? rc : ResultCode(kBadTransferText);
    if (const ResultCode rc = records::sfl_put(h, last, s); rc.failed()) return rc;
  }
  if (first) return records::fld_put_any_indicator(h, f);  // "$$" and nothing after it
  return 0;
}

}  // namespace

const UpdateFunction* find_update_function(std::string_view name) {
  if (name.empty()) return nullptr;
  if (name.substr(0, 3) == "FIX") return &kFunctions.back();
  for (const UpdateFunction& row : kFunctions) {
    if (row.name.substr(0, name.size()) == name) return &row;
  }
  return nullptr;
}

ResultCode parse_transfer_text(std::string_view text, const dict::FileDef& file, records::RecordHandle& h,
                               std::size_t capacity, bool keep_blanks, bool sorted_subfields) {
  records::rec_init(h, capacity, records::kExternalForm);
  h.order = sorted_subfields ? 'Y' : 'N';
  std::size_t at = 0;
  while (at < text.size()) {
    if (at + kLengthDigits > text.size()) return kBadTransferText;
    std::size_t n = 0;
    for (std::size_t i = 0; i < kLengthDigits; ++i) {
      const char c = text[at + i];
      if (c < '0' || c > '9') return kBadTransferText;
      n = n * 10 + static_cast<std::size_t>(c - '0');
    }
    if (n < kEntryHead || at + kLengthDigits + n > text.size()) return kBadTransferText;
    if (const ResultCode rc = put_entry(h, file, text.substr(at + kLengthDigits, n), keep_blanks);
        rc.failed()) {
      return rc;
    }
    at += kLengthDigits + n;
  }
  records::rec_store_header(h);
  return 0;
}

std::string write_transfer_text(records::RecordHandle& h) {
  std::string out;
  records::FieldDesc f;
  for (ResultCode rc = records::fld_first(h, f); rc.code() == 0; rc = records::fld_next(h, f)) {
    std::string entry = f.tag;
    std::string ind = f.indicators;
    ind.resize(2, ' ');
    entry += ind;
    entry += ' ';
    records::FieldDesc s;
    if (records::sfl_first(h, f, s).code() == 0) {
      do {
        entry += "$$" + s.tag + std::string(s.content());
      } while (records::sfl_next(h, f, s).code() == 0);
    } else {
      entry += f.content();
    }
    if (entry.size() > 9999) entry.resize(9999);
    char head[8];
    std::snprintf(head, sizeof head, "%04zu", entry.size());
    out += head + entry;
  }
  return out;
}

std::optional<Origin> recognise_origin(records::RecordHandle& h) {
  auto has = [&](const char* tag, char code) {
    records::FieldDesc f;
    f.tag = tag;
    f.occurrence = 1;
    records::FieldDesc s;
    s.tag.assign(1, code);
    s.occurrence = 1;
    return records::fld_get(h, f, &s).code() == 0;
  };
  if (has("001", 'a')) return Origin{"VORNA", has("903", 'e')};
  records::FieldDesc z;
  z.tag = "Z39";
  z.occurrence = 1;
  if (records::fld_get(h, z).code() == 0) {
    std::string name(trim_blanks(z.content()));
    if (name.size() > 10) name.resize(10);
    if (!name.empty()) return Origin{name, false};
  }
  return std::nullopt;
}

void RecordUpdateService::field_check(const dict::FileDef& file, records::RecordHandle& h, bool tag_names,
                                      std::string& messages) const {
  records::FieldDesc f;
  for (ResultCode rc = records::fld_first(h, f); rc.code() == 0; rc = records::fld_next(h, f)) {
    if (file.find_tag(f.tag) != nullptr) continue;
    if (!messages.empty()) messages += '\n';
    if (tag_names) messages += "Tag " + f.tag + ": ";
    messages += text_ ? text_(kMsgUndefinedField, f.tag) : std::to_string(kMsgUndefinedField) + " " + f.tag;
  }
}

ResultCode RecordUpdateService::check_and_store(const dict::AppPoolDef& pool, const dict::FileDef& file,
                                                records::RecordHandle& h, const StoreSteps& steps,
                                                const DuplicateTest& duplicates, UpdateOutcome& out) {
  out.end = StoreEnd::Checked;
  out.stored_as = UpdateOp::None;
  out.refused_by = {};
  if (steps.op == UpdateOp::None) return steps_in_unit(pool, file, h, steps, duplicates, out);
  return layer_.as_unit(pool, [&] { return steps_in_unit(pool, file, h, steps, duplicates, out); });
}

ResultCode RecordUpdateService::steps_in_unit(const dict::AppPoolDef& pool, const dict::FileDef& file,
                                              records::RecordHandle& h, const StoreSteps& steps,
                                              const DuplicateTest& duplicates, UpdateOutcome& out) {
  bool reserved = false;
  if (steps.reserve_idn && h.idn == 0) {
    if (const ResultCode rc = layer_.idn_next(pool, file, h); rc.failed()) return rc;
    reserved = true;
  }
  // A record that is not stored gives its reserved IDN back and leaves
  // without it (what reports it must not name an IDN another record gets).
  const auto give_back = [&] {
    if (!reserved) return;
    (void)layer_.idn_return(pool, file, h.idn);
    h.idn = 0;
    records::rec_store_header(h);
    reserved = false;
  };
  const auto refuse = [&](std::string_view by, ResultCode rc) {
    out.end = StoreEnd::Refused;
    out.refused_by = by;
    give_back();
    return rc;
  };
  if (steps.complete) {
    // A new record numbered by its store shows the procedure the next IDN.
    const bool peek = steps.op == UpdateOp::Insert && !steps.reserve_idn;
    if (peek) {
      if (const ResultCode rc = layer_.idn_peek(pool, file, h); rc.failed()) return rc;
    }
    const ResultCode rc = layer_.run_procedure(pool, file, "COMPL", h, out.procedure_messages);
    if (rc.failed()) return refuse("COMPL", rc);
    if (peek) {
      h.idn = 0;
      records::rec_store_header(h);
    }
  }
  if (steps.check_procedure) {
    if (const ResultCode rc = layer_.run_procedure(pool, file, "CHECK", h, out.procedure_messages);
        rc.failed())
      return refuse("CHECK", rc);
  }
  if (steps.field_check) field_check(file, h, steps.tag_names, out.check_messages);
  // A record refused by its field checks makes no link targets; targets
  // made for a record that is not stored after all are taken away again.
  if (steps.refuse_on_check && !out.check_messages.empty()) return refuse({}, 0);
  std::vector<records::PoolLayer::MadeTarget> made;
  const auto unmake = [&](ResultCode rc) {
    const ResultCode removed = layer_.remove_made_targets(pool, made);
    return rc.failed() || removed.ok() ? rc : removed;
  };
  if (const ResultCode rc =
          layer_.link_maintenance(pool, file, h, steps.link_mode, out.check_messages, &made);
      rc.failed()) {
    give_back();
    return unmake(rc);
  }
  if (steps.refuse_on_check && !out.check_messages.empty()) return unmake(refuse({}, 0));

  DuplicateVerdict verdict;
  if (duplicates) {
    if (const ResultCode rc = duplicates(h, reserved, verdict); rc.failed()) {
      give_back();
      return unmake(rc);
    }
  }
  UpdateOp op = steps.op;
  char numbering = steps.numbering;
  switch (verdict.kind) {
    case DuplicateVerdict::Stop:
      give_back();
      out.end = StoreEnd::Stopped;
      return unmake(0);
    case DuplicateVerdict::UpdateStored:
      give_back();
      h.idn = verdict.idn;
      records::rec_store_header(h);
      op = UpdateOp::Update;
      numbering = 'U';
      break;
    case DuplicateVerdict::Store: break;
  }
  if (op == UpdateOp::None) return layer_.apply_numbering(pool, file, h, numbering);

  // The running numbers and the record go to the journal in one unit: after
  // a crash the counters and the records agree.
  std::vector<records::CounterUndo> undo;
  ResultCode rc = steps.give_back_numbers ? records::numb_apply(layer_.dbm(), pool, file, h, numbering,
                                                                records::current_year(), &undo)
                                          : layer_.apply_numbering(pool, file, h, numbering);
  if (rc.ok() && notice_) rc = notice_(op == UpdateOp::Update ? "UPD" : "NEW", h.idn, 'A');
  if (rc.ok()) {
    out.end = StoreEnd::Stored;
    out.stored_as = op;
    switch (op) {
      case UpdateOp::Load:
        // The bulk store has no check of its own; the user's right to
        // insert holds for it as for any new record.
        rc = layer_.access_check(&file, records::kAccessInsert);
        if (rc.ok()) rc = layer_.rec_load(pool, file, h, false);
        break;
      case UpdateOp::Update: rc = layer_.rec_update(pool, file, h, nullptr); break;
      default: rc = layer_.rec_insert(pool, file, h); break;
    }
  }
  if (rc.failed()) {
    if (steps.give_back_numbers) (void)records::numb_restore(layer_.dbm(), pool, undo);
    give_back();
    return unmake(rc);
  }
  return rc;
}

ResultCode RecordUpdateService::run(const dict::AppPoolDef& pool, const dict::AppFileDef& app_file,
                                    std::string_view function, std::uint32_t idn, std::string_view text,
                                    bool keep_blanks, UpdateOutcome& out) {
  out = UpdateOutcome{};
  const UpdateFunction* row = find_update_function(function);
  if (row == nullptr) return kUnknownFunction;
  if (pool.data == nullptr || app_file.data == nullptr) return kNoPoolOrText;
  const dict::FileDef& file = *app_file.data;
  const bool fix = row->name == "FIX";
  const std::string procedure =
      fix ? std::string(trim_blanks(function.substr(std::min<std::size_t>(5, function.size())))) : "";
  const bool from_empty = fix && procedure.rfind("NEW", 0) == 0;
  if (text.empty() && !from_empty) return kNoPoolOrText;

  const bool sorted = app_file.order == 'Y' && configs_.get(server_, "Convert", "GND").empty();
  records::RecordHandle h;
  if (from_empty) {
    records::rec_init(h, layer_.max_record(), records::kExternalForm);
    h.order = sorted ? 'Y' : 'N';
  } else if (const ResultCode rc =
                 parse_transfer_text(text, file, h, layer_.max_record(), keep_blanks, sorted);
             rc.failed()) {
    return rc;
  }
  h.idn = idn;
  records::rec_store_header(h);

  // A record from another system is converted by the table its origin
  // names; link maintenance may then make missing targets.
  char link_mode = row->op == UpdateOp::Update ? 'U' : row->op == UpdateOp::Insert ? 'N' : 'C';
  if (const std::optional<Origin> origin = recognise_origin(h)) {
    const std::string table =
        configs_.get(server_, "Convert", origin->gnd ? origin->name + "GND" : origin->name);
    RecordConverter converter;
    if (!table.empty() && converter.load(table, app_file.code)) {
      records::RecordHandle converted;
      records::rec_init(converted, layer_.max_record(), records::kExternalForm);
      if (converter.apply(converted, h).ok()) {
        converted.idn = idn;
        records::rec_store_header(converted);
        if (const ResultCode rc = records::rec_copy(h, converted); rc.failed()) return rc;
        link_mode = 'I';
      }
    }
  }

  auto announce = [&](std::string_view what, std::uint32_t n, char phase) {
    return notice_ ? notice_(what, n, phase) : ResultCode(0);
  };
  auto finish = [&](std::string_view what, ResultCode rc) {
    (void)announce(what, h.idn, rc.failed() ? 'R' : 'C');
    if (rc.ok()) {
      out.idn = h.idn;
      out.record_text = write_transfer_text(h);
    }
    return rc;
  };

  if (row->name == "SORT") {
    out.record_text = write_transfer_text(h);
    return 0;
  }
  if (fix) {
    const ResultCode rc = layer_.run_procedure(pool, file, procedure, h, out.procedure_messages);
    if (rc.ok()) out.record_text = write_transfer_text(h);
    return rc;
  }
  if (row->op == UpdateOp::Delete) {
    records::RecordHandle stored;
    if (layer_.rec_read(pool, file, idn, stored, layer_.max_record(), records::kInternalForm).code() != 0)
      return kNoRecordToDelete;
    if (const ResultCode rc = layer_.run_procedure(pool, file, "CHECK", h, out.procedure_messages);
        rc.failed())
      return rc;
    if (const ResultCode rc = announce("DEL", idn, 'A'); rc.failed()) return rc;
    const ResultCode rc = layer_.rec_delete(pool, file, stored);
    (void)announce("DEL", idn, rc.failed() ? 'R' : 'C');
    if (rc.ok()) out.idn = idn;
    return rc;
  }

  // CHECK, NEW and UPDATE: the completion procedure, the checks and the
  // store; the checks may number the record.
  const bool insert = row->op == UpdateOp::Insert;
  StoreSteps steps;
  steps.op = row->op;
  steps.check_procedure = row->check != ' ';
  steps.link_mode = link_mode;
  steps.numbering = insert ? 'N' : row->op == UpdateOp::Update ? 'U' : 'C';
  DuplicateTest test;
  if (duplicates_ && (row->check == 'N' || row->check == 'U')) {
    test = [&](records::RecordHandle& record, bool, DuplicateVerdict&) -> ResultCode {
      std::vector<std::uint32_t> found;
      if (const ResultCode rc = duplicates_(pool, file, record, row->check, found); rc.failed()) return rc;
      for (std::size_t i = 0; i < found.size() && i < kMaxDuplicates; ++i) {
        std::string args;
        if (found.size() > 1) args = std::to_string(i + 1) + ".(" + std::to_string(found.size()) + ") ";
        args += std::to_string(found[i]);
        if (!out.duplicate_messages.empty()) out.duplicate_messages += '\n';
        out.duplicate_messages +=
            text_ ? text_(kMsgDuplicate, args) : std::to_string(kMsgDuplicate) + " " + args;
      }
      return 0;
    };
  }
  const ResultCode rc = check_and_store(pool, file, h, steps, test, out);
  if (row->op == UpdateOp::None) {
    if (rc.failed()) return rc;
    out.record_text = write_transfer_text(h);
    return 0;
  }
  return out.end == StoreEnd::Stored ? finish(insert ? "NEW" : "UPD", rc) : rc;
}

}  // namespace corvanta::imex
