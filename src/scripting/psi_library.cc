#include "scripting/psi_library.h"

#include <algorithm>
#include <array>
#include <cstdio>

#include "forms/formatting.h"
#include "psi/builtins.h"
#include "records/field_path.h"
#include "search/result_sets.h"
#include "search/retrieval.h"
#include "shell/codes.h"
#include "shell/command_files.h"
#include "shell/params.h"
#include "shell/service.h"
#include "shell/support.h"
#include "shell/users.h"
#include "util/text.h"

namespace corvanta {
namespace {

constexpr int kMissing = -402;    // no import record (imprec, exprec), no LINK (get)
constexpr int kNotStored = -407;  // putfld or exprec could not change the record
constexpr int kNoEditForm = -455;
constexpr int kStillLinked = -905;
constexpr int kNoTable = -141;
constexpr int kConvertedToNothing = -147;
constexpr std::size_t kMaxTableName = 10;
constexpr int kUpdateFunction = 3;  // UPD: a script's stores, updates and deletions

// A script started on behalf of the logged-in user may do what that user
// may: files only by the rules that hold for the files commands name (an
// administrator's scripts also outside Directories/CommandFiles; others
// not even reading the service's own files, such as journals, save sets
// and logs), shell commands and changes of the configuration only for an
// administrator.
class UserRules final : public psi::SystemRules {
 public:
  explicit UserRules(Service& service) : s_(service) {}

  std::string file(const std::string& path, Use use) override {
    const bool admin = administrator();
    ResultCode rc = 0;
    switch (use) {
      case Use::Read:
      case Use::Write:
        rc = command_file_rule(s_, path,
                               use == Use::Write ? FileUse::Write
                               : admin           ? FileUse::Read
                                                 : FileUse::ReadNotOwn,
                               !admin);
        break;
      case Use::Look:
        if (!admin) rc = command_directory_rule(s_, path, FileUse::Read);
        break;
      case Use::MakeDirectory:
        if (!admin) rc = command_directory_rule(s_, path, FileUse::Write);
        break;
    }
    return rc.failed() ? refusal(path, rc.code()) : std::string();
  }
  std::string command(const std::string&) override {
    return administrator() ? std::string() : refusal("syscmd", codes::kNoPermission);
  }
  std::string configuration() override {
    return administrator() ? std::string() : refusal("writeparm", codes::kNoPermission);
  }

 private:
  bool administrator() const {
    const User* user = s_.users.current();
    return user != nullptr && user->has_permission(kPermissionAdm);
  }
  // "what : code - text", as commands report a refused file.
  std::string refusal(std::string_view what, std::int32_t code) const {
    std::string line(what);
    line += " : ";
    line += std::to_string(-code);
    line += " - ";
    line += s_.messages.text("Common", code);
    return line;
  }

  Service& s_;
};

// A params text read like a command line.
ParamList params_of(std::string_view text) {
  ParamList p;
  p.parse("X " + std::string(text));
  return p;
}

class LibraryGroup final : public psi::BuiltinGroup {
 public:
  LibraryGroup(Service& service, LibraryRun run, const LibraryRun* source = nullptr)
      : s_(service), run_(run), source_(source) {}
  ~LibraryGroup() override { release(); }

  void install(psi::Engine& engine) override {
    using psi::Engine;
    const std::vector<psi::Builtin> list = {
        {"find", 1, true, [this](Engine& e) { find(e); }},
        {"get", 1, true, [this](Engine& e) { get(e); }},
        {"getset", 1, true, [this](Engine& e) { getset(e); }},
        {"getrec", 1, true, [this](Engine& e) { getrec(e); }},
        {"initrec", 0, true, [this](Engine& e) { initrec(e); }},
        {"imprec", 0, true, [this](Engine& e) { imprec(e); }},
        {"exprec", 1, false, [this](Engine& e) { exprec(e); }},
        {"freerec", 1, false,
         [this](Engine& e) {
           const int n = e.pop_int();
           if (n >= 0 && n < kRecordSlots && !(nested() && n == 0)) free_slot(n);
         }},
        {"getfld", 2, true, [this](Engine& e) { getfld(e); }},
        {"putfld", 3, false, [this](Engine& e) { putfld(e); }},
        {"delfld", 2, false, [this](Engine& e) { delfld(e); }},
        {"editrec", 2, true, [this](Engine& e) { editrec(e); }},
        {"addrec", 2, true, [this](Engine& e) { store(e, false); }},
        {"loadrec", 2, true, [this](Engine& e) { store(e, true); }},
        {"updrec", 1, false, [this](Engine& e) { updrec(e); }},
        {"delrec", 1, false, [this](Engine& e) { delrec(e); }},
        {"transl", 2, true, [this](Engine& e) { transl(e); }},
        {"getparm", 1, true,
         [this](Engine& e) {
           const std::string name = psi::pop_str(e);
           psi::push_str(e, run_.params != nullptr ? std::string(run_.params->get(name)) : std::string());
         }},
    };
    for (const auto& b : list) engine.install(b);
    begin(engine);
  }

  // A run's start: a procedure's record into slot 0 (the run's data read
  // again from the caller's when the engine is restarted).
  void begin(psi::Engine&) override {
    if (source_ != nullptr) run_ = *source_;
    if (run_.procedure_record != nullptr) {
      Slot& slot = slots_[0];
      records::rec_reset(slot.h, std::max<std::size_t>(max_record(), run_.procedure_record->room()),
                         run_.procedure_record->form);
      if (records::rec_copy(slot.h, *run_.procedure_record).ok()) {
        slot.used = true;
        slot.pool = s_.pools.pool();
        slot.file = s_.pools.file();
        current_ = 0;
      }
    }
  }

  void release() override {
    if (run_.procedure_record != nullptr && slots_[0].used) {
      (void)records::rec_copy(*run_.procedure_record, slots_[0].h);
      run_.procedure_record = nullptr;
      // Its buffer is kept for the next procedure run (begin() resets it).
      slots_[0].used = false;
      slots_[0].pool = nullptr;
      slots_[0].file = nullptr;
    }
    for (int n = 0; n < kRecordSlots; ++n) {
      if (slots_[static_cast<std::size_t>(n)].used) free_slot(n);
    }
    current_ = -1;
  }

 private:
  struct Slot {
    records::RecordHandle h;
    const dict::AppPoolDef* pool = nullptr;
    const dict::AppFileDef* file = nullptr;
    bool used = false;
  };

  std::size_t max_record() const { return static_cast<std::size_t>(s_.state.limits.max_rec_len); }
  std::size_t max_field() const { return static_cast<std::size_t>(s_.state.limits.max_fld_len); }

  void free_slot(int n) {
    Slot& slot = slots_[static_cast<std::size_t>(n)];
    records::rec_free(slot.h);
    slot.pool = nullptr;
    slot.file = nullptr;
    slot.used = false;
    if (current_ == n) current_ = -1;
  }
  int free_slot_number(psi::Engine& e) {
    for (int n = 0; n < kRecordSlots; ++n) {
      if (!slots_[static_cast<std::size_t>(n)].used) return n;
    }
    e.raise(psi::err::kRecordSlot);
  }
  // The slot of a slot argument: error 138 outside 0 to 9.
  Slot& slot_arg(psi::Engine& e, int n) {
    if (n < 0 || n >= kRecordSlots) e.raise(psi::err::kRecordSlot);
    return slots_[static_cast<std::size_t>(n)];
  }
  // A slot whose record is stored, changed or given up: a held one, and in
  // a pool procedure never slot 0, whose record the caller stores.
  Slot& written_slot(psi::Engine& e, int n) {
    Slot& slot = slot_arg(e, n);
    if (!slot.used || (nested() && n == 0)) e.raise(psi::err::kRecordSlot);
    return slot;
  }

  // POOL (else the current pool) and FILE (none: no current file).
  ResultCode select(const ParamList& p, bool need_file) {
    const std::string pool = p.get_into("POOL", "", 11, true);
    if (!pool.empty()) {
      if (const ResultCode rc = s_.pools.make_current(pool); rc.failed()) return rc;
    } else if (s_.pools.pool() == nullptr) {
      return codes::kNoCurrentPool;
    }
    const std::string file = p.get_into("FILE", "", 5, true);
    s_.pools.set_file(nullptr);
    if (!file.empty()) {
      const dict::AppFileDef* f = dict::ApplDictionary::find_file(*s_.pools.pool(), file);
      if (f == nullptr) return codes::kNoCurrentFile;
      s_.pools.set_file(f);
    }
    if (need_file && s_.pools.file() == nullptr) return codes::kNoCurrentFile;
    return 0;
  }
  // Makes the slot's pool and file current.
  ResultCode select_slot(const Slot& slot) {
    if (slot.pool == nullptr) return codes::kNoCurrentPool;
    if (slot.file == nullptr) return codes::kNoCurrentFile;
    if (const ResultCode rc = s_.pools.make_current(slot.pool->name); rc.failed()) return rc;
    s_.pools.set_file(slot.file);
    return 0;
  }
  // Inside a pool procedure the caller's pool stays open as it is. A pool
  // the command holds open in a mode that serves the built-in is used as it
  // is and stays open (its changes are made durable when the command ends);
  // one the built-in had to open is closed again after it.
  bool nested() const { return run_.procedure_record != nullptr; }
  ResultCode open_pool(char mode, char save) {
    opened_ = false;
    if (nested()) return 0;
    bool kept = false;
    const ResultCode rc = bat_pool_open(s_, mode, save, &kept);
    opened_ = !kept;
    return rc;
  }
  ResultCode close_pool() {
    if (!opened_) return 0;
    opened_ = false;
    const ResultCode rc = bat_pool_close(s_);
    (void)s_.dbm.sync_journals();
    return rc;
  }
  // Opens the current pool for inquiry ('I') or update ('U', with the run's
  // save flag), runs `work`, closes the pool, then raises a failure.
  // `why_` takes what a failing step has to say (a procedure's message).
  template <typename Work>
  void with_pool(psi::Engine& e, char mode, Work work) {
    why_.clear();
    ResultCode rc = open_pool(mode, mode == 'I' ? ' ' : e.save_flag());
    // What a script writes, the user writes: that needs the right to update
    // records in the pool (a pool procedure runs inside a store the user
    // was already allowed). The script runner of the shell logs no user in:
    // it acts for whoever may start programs there.
    if (rc.ok() && mode == 'U' && !nested() && s_.users.current() != nullptr)
      rc = bat_permission(s_, kUpdateFunction);
    if (rc.ok()) rc = work();
    const ResultCode closed = close_pool();
    if (rc.failed()) e.raise(rc.code(), why_);
    if (closed.failed()) e.raise(closed.code());
  }
  // Whether the user may see the records of the current file (a pool
  // procedure sees what the store it runs in is about).
  ResultCode may_see() { return nested() ? ResultCode(0) : bat_display_access(s_); }
  void raise_if(psi::Engine& e, ResultCode rc) {
    if (rc.failed()) e.raise(rc.code());
  }

  void find(psi::Engine& e) {
    const ParamList p = params_of(psi::pop_str(e));
    raise_if(e, select(p, true));
    raise_if(e, may_see());
    records::ResultSet set;
    with_pool(e, 'I', [&]() -> ResultCode {
      if (const ResultCode rc = s_.retrieval.find(p.get("QUERY"), set); rc.failed()) return rc;
      return s_.sets.store(set);
    });
    psi::push_num(e, set.number);
  }

  void get(psi::Engine& e) {
    const ParamList p = params_of(psi::pop_str(e));
    if (!p.has("LINK") || p.get("LINK").empty()) e.raise(kMissing, "LINK");
    raise_if(e, select(p, false));
    raise_if(e, may_see());
    std::uint32_t idn = 0;
    raise_if(e, bat_record_from_params(s_, p, idn));
    const dict::AppPoolDef& pool = *s_.pools.pool();
    const dict::AppFileDef& file = *s_.pools.file();
    const dict::LinkDef* link =
        file.data != nullptr ? file.data->find_link(p.get_into("LINK", "", 3, true)) : nullptr;
    if (link == nullptr) e.raise(records::kNoLinkDefinition, std::string(p.get("LINK")));
    records::ResultSet set;
    with_pool(e, 'I', [&]() -> ResultCode {
      records::IdnList linked;
      // A link with elements of its own is followed to its targets; one
      // without (a backward link) to the records that point here.
      const char direction = link->elements.empty() ? 'B' : 'F';
      if (const ResultCode rc = s_.pools.lnk_follow(pool, *file.data, link, idn, linked, direction);
          rc.failed())
        return rc;
      records::idl_sort_unique(linked);
      records::set_prepare(set, pool.name, link->target_file, static_cast<std::uint32_t>(linked.size()));
      set.hits = std::move(linked);
      set.query = "IDN=" + std::to_string(idn) + " " + link->name;
      return s_.sets.store(set);
    });
    for (const dict::AppFileDef* f : pool.file_defs) {
      if (f->data != nullptr && f->data->number == link->target_file) s_.pools.set_file(f);
    }
    psi::push_num(e, set.number);
  }

  void getset(psi::Engine& e) {
    const int number = e.pop_int();
    records::ResultSet set;
    raise_if(e, number < 1 ? ResultCode(records::kSetInvalid)
                           : s_.sets.load(static_cast<std::uint32_t>(number), set));
    const dict::AppPoolDef* pool = s_.appl_dictionary.find_pool(set.pool);
    if (pool == nullptr || set.pool.empty()) e.raise(codes::kNoCurrentPool);
    raise_if(e, s_.pools.make_current(pool->name));
    for (const dict::AppFileDef* f : pool->file_defs) {
      if (f->data != nullptr && f->data->number == set.file) s_.pools.set_file(f);
    }
    psi::NumberArray idns(set.hits.begin(), set.hits.end());
    e.push(psi::Value::numbers(std::move(idns)));
  }

  void getrec(psi::Engine& e) {
    const ParamList p = params_of(psi::pop_str(e));
    const int n = free_slot_number(e);
    raise_if(e, select(p, true));
    raise_if(e, may_see());
    std::uint32_t idn = 0;
    raise_if(e, bat_record_from_params(s_, p, idn));
    Slot& slot = slots_[static_cast<std::size_t>(n)];
    const dict::AppPoolDef& pool = *s_.pools.pool();
    const dict::AppFileDef& file = *s_.pools.file();
    ResultCode result = 0;
    const ResultCode rc = open_pool('I', ' ');
    if (rc.ok()) {
      result =
          s_.pools.rec_read(pool, *file.data, idn, slot.h, max_record(), records::kExternalForm).code() == 0
              ? ResultCode(0)
              : ResultCode(records::kRecordAbsent);
      if (result.ok()) result = s_.pools.rec_complete_links(pool, *file.data, slot.h);
    }
    (void)close_pool();
    raise_if(e, rc);
    if (result.failed()) {
      records::rec_free(slot.h);
      psi::push_num(e, result.code());
      return;
    }
    slot.used = true;
    slot.pool = &pool;
    slot.file = &file;
    current_ = n;
    psi::push_num(e, n);
  }

  void initrec(psi::Engine& e) {
    const int n = free_slot_number(e);
    Slot& slot = slots_[static_cast<std::size_t>(n)];
    records::rec_init(slot.h, max_record(), records::kExternalForm);
    slot.h.order = 'N';
    slot.used = true;
    slot.pool = s_.pools.pool();
    slot.file = s_.pools.file();
    psi::push_num(e, n);
  }

  void imprec(psi::Engine& e) {
    if (run_.import_record == nullptr) e.raise(kMissing);
    const int n = free_slot_number(e);
    Slot& slot = slots_[static_cast<std::size_t>(n)];
    records::rec_init(slot.h, max_record(), run_.import_record->form);
    if (records::rec_copy(slot.h, *run_.import_record).failed()) {
      records::rec_free(slot.h);
      e.raise(kNotStored);
    }
    slot.used = true;
    slot.pool = s_.pools.pool();
    slot.file = s_.pools.file();
    current_ = n;
    psi::push_num(e, n);
  }

  void exprec(psi::Engine& e) {
    const int n = e.pop_int();
    if (run_.import_record == nullptr) e.raise(kMissing);
    Slot& slot = slot_arg(e, n);
    if (!slot.used || records::rec_copy(*run_.import_record, slot.h).failed()) e.raise(kNotStored);
    free_slot(n);
  }

  void getfld(psi::Engine& e) {
    const std::string address = psi::pop_str(e);
    const int n = e.pop_int();
    if (n < 0 || n >= kRecordSlots || !slots_[static_cast<std::size_t>(n)].used) {
      psi::push_str(e, "");
      return;
    }
    records::RecordHandle& h = slots_[static_cast<std::size_t>(n)].h;
    if (address == "IDN" || address == "idn") {
      char text[16];
      std::snprintf(text, sizeof text, "%09ld", static_cast<long>(h.idn));
      psi::push_str(e, text);
      return;
    }
    records::FieldPath a = records::parse_field_path(address);
    const bool sub = !a.subfield.tag.empty();
    std::string out;
    if (a.valid && records::fld_get(h, a.field, sub ? &a.subfield : nullptr).code() == 0) {
      const std::string_view content = sub ? a.subfield.content() : a.field.content();
      if (!sub && !content.empty() && static_cast<unsigned char>(content[0]) == records::kSubfieldMark) {
        // A field of subfields: their texts.
        dict::Element element;
        element.tag = a.field.tag;
        element.indicators = a.field.indicators;
        element.field_occurrence = a.field.occurrence == 0 ? 1 : a.field.occurrence;
        const std::vector<std::string> texts = records::element_texts(h, element);
        out = texts.empty() ? std::string() : texts.front();
      } else {
        out = std::string(content);
      }
    }
    if (out.size() >= max_field()) out.resize(max_field() - 1);
    psi::push_str(e, std::move(out));
  }

  void putfld(psi::Engine& e) {
    const psi::Value value = e.pop();
    const std::string address = psi::pop_str(e);
    const int n = e.pop_int();
    std::string text;
    if (value.kind() == psi::ValueKind::Number) {
      char number[64];
      std::snprintf(number, sizeof number, "%18.2f", value.num());
      text = number;
    } else if (value.kind() == psi::ValueKind::String) {
      text = value.str();
    } else {
      e.raise(psi::err::kFieldValue);
    }
    if (n < 0 || n >= kRecordSlots || !slots_[static_cast<std::size_t>(n)].used) e.raise(kNotStored);
    records::RecordHandle& h = slots_[static_cast<std::size_t>(n)].h;
    records::FieldPath a = records::parse_field_path(address);
    // A value longer than a field may be would be cut when stored.
    if (!a.valid || text.size() >= max_field()) e.raise(kNotStored, address);
    const bool sub = !a.subfield.tag.empty();
    (sub ? a.subfield : a.field).set(text);
    (sub ? a.subfield : a.field).type = 1;
    // An existing field or subfield is replaced, a missing one added.
    if (records::fld_set(h, a.field, sub ? &a.subfield : nullptr).failed()) e.raise(kNotStored, address);
  }

  void delfld(psi::Engine& e) {
    const std::string address = psi::pop_str(e);
    const int n = e.pop_int();
    if (n < 0 || n >= kRecordSlots || !slots_[static_cast<std::size_t>(n)].used) return;
    records::FieldPath a = records::parse_field_path(address);
    if (!a.valid) return;
    (void)records::fld_delete(slots_[static_cast<std::size_t>(n)].h, a.field,
                              a.subfield.tag.empty() ? nullptr : &a.subfield);
  }

  void editrec(psi::Engine& e) {
    const std::string name = psi::pop_str(e);
    const int n = e.pop_int();
    if (n < 0 || n >= kRecordSlots || !slots_[static_cast<std::size_t>(n)].used) {
      psi::push_str(e, "");
      return;
    }
    const dict::AppFileDef* file = s_.pools.file();
    const dict::FormDef* form = file != nullptr ? file->find_form(name) : nullptr;
    if (form == nullptr) e.raise(kNoEditForm, name);
    std::string text;
    with_pool(e, 'I', [&]() -> ResultCode {
      text = records::format_text(s_.forms.layout(form), slots_[static_cast<std::size_t>(n)].h);
      return 0;
    });
    psi::push_str(e, std::move(text));
  }

  // addrec (as a new record) and loadrec (under the number of the params).
  void store(psi::Engine& e, bool load) {
    const ParamList p = params_of(psi::pop_str(e));
    const int n = e.pop_int();
    Slot& slot = written_slot(e, n);
    raise_if(e, select(p, true));
    slot.pool = s_.pools.pool();
    slot.file = s_.pools.file();
    current_ = n;
    if (load) {
      std::uint32_t idn = 0;
      raise_if(e, bat_record_from_params(s_, p, idn));
      slot.h.idn = idn;
    }
    const dict::AppPoolDef& pool = *slot.pool;
    const dict::FileDef& file = *slot.file->data;
    with_pool(e, 'U', [&]() -> ResultCode {
      // The check may number the record: numbers and record in one unit.
      if (!load) {
        return s_.pools.as_unit(pool, [&]() -> ResultCode {
          if (const ResultCode rc = s_.pools.rec_check(pool, file, slot.h, 'N', why_); rc.failed()) return rc;
          return s_.pools.rec_insert(pool, file, slot.h);
        });
      }
      // Under a given number: the bulk store has no access check of its
      // own, and a record already there is replaced with its entries.
      if (const ResultCode rc = s_.pools.access_check(&file, records::kAccessInsert); rc.failed()) return rc;
      records::RecordHandle old;
      const bool exists =
          s_.pools.rec_read(pool, file, slot.h.idn, old, max_record(), records::kInternalForm).code() == 0;
      return s_.pools.as_unit(pool, [&]() -> ResultCode {
        if (const ResultCode rc = s_.pools.rec_check(pool, file, slot.h, exists ? 'U' : 'N', why_);
            rc.failed())
          return rc;
        return exists ? s_.pools.rec_update(pool, file, slot.h, &old)
                      : s_.pools.rec_load(pool, file, slot.h, false);
      });
    });
    psi::push_num(e, slot.h.idn);
  }

  void updrec(psi::Engine& e) {
    const int n = e.pop_int();
    Slot& slot = written_slot(e, n);
    raise_if(e, select_slot(slot));
    with_pool(e, 'U', [&]() -> ResultCode {
      return s_.pools.as_unit(*slot.pool, [&]() -> ResultCode {
        if (const ResultCode rc = s_.pools.rec_check(*slot.pool, *slot.file->data, slot.h, 'U', why_);
            rc.failed())
          return rc;
        return s_.pools.rec_update(*slot.pool, *slot.file->data, slot.h, nullptr);
      });
    });
  }

  void delrec(psi::Engine& e) {
    const int n = e.pop_int();
    Slot& slot = written_slot(e, n);
    raise_if(e, select_slot(slot));
    with_pool(e, 'U', [&]() -> ResultCode {
      const dict::FileDef& file = *slot.file->data;
      // Records that still link here keep it.
      for (const dict::LinkDef* link : file.links) {
        if (records::list_file_of(*link) == 0) continue;
        const ResultCode count = s_.pools.lnk_follow_count(*slot.pool, file, link, slot.h.idn, 'B');
        if (count.failed()) return count;
        if (count.code() > 0) return kStillLinked;
      }
      return s_.pools.rec_delete(*slot.pool, file, slot.h);
    });
  }

  void transl(psi::Engine& e) {
    const std::string name(cut_to(psi::pop_str(e), kMaxTableName));
    const std::string text = psi::pop_str(e);
    if (s_.translations.find(name) == nullptr) e.raise(kNoTable, name);
    std::string out = s_.translations.translate(name, text, records::kPlain, s_.state.escape_char);
    if (!text.empty() && out.empty()) e.raise(kConvertedToNothing, name);
    psi::push_str(e, std::move(out));
  }

  Service& s_;
  LibraryRun run_;
  const LibraryRun* source_ = nullptr;  // the caller's run data, read at each begin
  std::string why_;
  bool opened_ = false;  // open_pool opened the pool: close_pool closes it
  std::array<Slot, kRecordSlots> slots_;
  int current_ = -1;
};

// What a command's script prints goes to the screen and the job protocol.
psi::RunIo to_reporter(Service& service) {
  const auto to_log = [&service](std::string_view text) { service.reporter.output_text(text); };
  psi::RunIo io;
  io.out = to_log;
  io.err = to_log;
  return io;
}

}  // namespace

std::unique_ptr<psi::BuiltinGroup> make_library_group(Service& service, LibraryRun run) {
  return std::make_unique<LibraryGroup>(service, run);
}

std::unique_ptr<psi::BuiltinGroup> make_library_group(Service& service, const LibraryRun* run) {
  return std::make_unique<LibraryGroup>(service, *run, run);
}

void bound_by_user(const Service& service, psi::Engine& engine) {
  const User* user = service.users.current();
  const bool bounded = user == nullptr || !user->has_permission(kPermissionAdm);
  const Limits& limits = service.state.limits;
  engine.set_time_limit(bounded ? limits.max_psi_time : 0);
  engine.set_memory_limit(bounded ? static_cast<std::size_t>(limits.max_psi_mem) << 20 : 0);
}

void prepare_library_engine(Service& service, psi::Engine& engine,
                            std::unique_ptr<psi::BuiltinGroup> library) {
  engine.add_group(psi::make_file_group(&service.configs, service.configs.path(config::kMainConfig),
                                        std::make_shared<UserRules>(service)));
  engine.add_group(std::move(library));
  engine.set_messages(
      [&service](std::string_view group, int code) { return service.messages.text(group, code); });
  engine.initialise();
}

ResultCode load_library_script(Service& service, const std::string& path, psi::Script& script) {
  const psi::Engine lines;  // formats the loader's errors as runs do
  const int rc = psi::load_script(path, script, [&](int code, const std::string& text) {
    service.reporter.output_text(lines.error_line(path, 0, code, text));
  });
  return rc != 0 ? ResultCode(kScriptNotLoaded) : ResultCode(0);
}

int run_library_script(Service& service, const psi::Script& script, LibraryRun run, char save_flag) {
  psi::Engine engine;
  prepare_library_engine(service, engine, make_library_group(service, run));
  bound_by_user(service, engine);
  const int value = engine.run(script, save_flag, to_reporter(service));
  engine.release();
  return value;
}

ResultCode RecordScript::load(Service& service, const std::string& path) {
  if (const ResultCode rc = load_library_script(service, path, script_); rc.failed()) return rc;
  loaded_ = true;
  engine_.reset();
  return 0;
}

int RecordScript::run(Service& service, const ParamList& params, records::RecordHandle& record,
                      char save_flag) {
  run_ = LibraryRun{&params, &record};
  if (engine_ == nullptr) {
    engine_ = std::make_unique<psi::Engine>();
    prepare_library_engine(service, *engine_, make_library_group(service, &run_));
  } else {
    engine_->restart();
  }
  bound_by_user(service, *engine_);
  const int value = engine_->run(script_, save_flag, to_reporter(service));
  engine_->release_groups();  // the run's records written back, its files closed
  run_ = LibraryRun{};
  return value;
}

}  // namespace corvanta
