// The pool service layer: the current pool, file and user of the process,
// selecting and opening pools by their definitions, reconciling a pool's
// files with its definition, access checks, and whole records read and
// written by IDN with their index and link list entries kept in step.
//
// Record operations (pool_records.cc) take the application pool, the data
// file definition and a RecordHandle. A store writes the record first and
// then its index entries and link list entries (indexing.h); an update or
// delete removes the old record's list entries and index entries first. A
// failure of the generation after the store leaves the record stored and is
// the operation's result.
//
// PoolLayer sits between the commands and the database manager. It knows a
// pool by its application definition (the name commands use, "A") and opens
// it under that name with the values of the configuration section of the
// same name (Path, OpenMode, SaveFile). Single-threaded; the service owns
// one.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "config/config_file.h"
#include "config/dictionary.h"
#include "dbm/dbm.h"
#include "indexing/indexing.h"
#include "pool/procedures.h"
#include "records/convert.h"
#include "records/idn_list.h"
#include "records/record.h"
#include "util/result.h"

namespace corvanta::records {

inline constexpr std::int32_t kNoSuchPool = -151;
inline constexpr std::int32_t kNoSuchFileName = -152;
inline constexpr std::int32_t kNoAccess = -129;
inline constexpr std::int32_t kFilesDiffer = -237;
inline constexpr std::int32_t kUndefinedFileInUse = -238;
inline constexpr std::int32_t kIdnOutOfRange = -402;
inline constexpr std::int32_t kNoConversion = -901;
inline constexpr std::int32_t kCannotWriteNotice = -16;  // the upload file cannot be written
inline constexpr std::int32_t kRecordAbsent = -457;      // update or delete of a record that is not there

// The IDN limits of the record operations.
inline constexpr std::uint32_t kMaxLoadIdn = 16777214;    // load and update
inline constexpr std::uint32_t kMaxInsertIdn = 16777215;  // insert

inline constexpr std::int32_t kNoLinkDefinition = -144;

// Messages of link maintenance, collected into the check's message text.
inline constexpr std::int32_t kMsgTargetNotFound = 150;
inline constexpr std::int32_t kMsgSeveralTargets = 151;
inline constexpr std::int32_t kMsgLinkTextTooLong = 152;

// How a record is read: the database's internal form or the external one.
inline constexpr int kInternalForm = 0;
inline constexpr int kExternalForm = 1;

// Open flags of pool_select.
inline constexpr int kSelectFind = 1;      // find pool and file by name
inline constexpr int kSelectOpen = 4;      // open the pool and check its files
inline constexpr int kSelectTolerant = 8;  // a pool whose files differ stays open

// Operations of the access check.
inline constexpr int kAccessDisplay = 1;
inline constexpr int kAccessInsert = 2;
inline constexpr int kAccessUpdate = 3;
inline constexpr int kAccessDelete = 4;

// The description of a file for the database manager's CREATE and CHECK.
dbm::FileSpec file_spec(const dict::FileDef& def, int main_key_length);

class PoolLayer {
 public:
  PoolLayer(dbm::Dbm& dbm, const config::ConfigTable& configs, const dict::ApplDictionary& appl,
            std::FILE* out)
      : dbm_(dbm), configs_(configs), appl_(appl), out_(out) {}

  // Selects "POOL-FILE" (pool up to 11 characters, file up to 3) as the
  // current pool and file; with kSelectOpen also opens the pool (in its
  // OpenMode, with the rings of its definition) and checks its files; a
  // pool open already in that mode stays as it is. -151 / -152 for unknown
  // names.
  ResultCode select(std::string_view name, int flags);
  // Makes a pool (and file) current without opening anything.
  ResultCode make_current(std::string_view pool, std::string_view file = {});
  void clear() {
    pool_ = nullptr;
    file_ = nullptr;
  }

  // Checks every file of the pool against its definition and creates the
  // missing ones: 0 or -237; files without definition that hold entries are
  // reported with -238.
  ResultCode check(const dict::AppPoolDef& pool);
  // 0 or -129 for user group `group` (0: no user or group) and an operation
  // 1 to 4; `file` may be null.
  ResultCode access_check(int group, const dict::FileDef* file, int operation) const;
  // The same for the logged-in user's group.
  ResultCode access_check(const dict::FileDef* file, int operation) const {
    return access_check(group_, file, operation);
  }

  // The value of the pool's configuration section.
  std::string pool_value(const dict::AppPoolDef& pool, std::string_view key) const;

  // The logged-in user (group 0: none) whose rights access_check applies.
  void set_user(std::string name, int group) {
    user_ = std::move(name);
    group_ = group;
  }
  const std::string& user() const { return user_; }
  // MaxRecLen, MaxFldLen, IdxBufLen, the translations and escape character
  // that records and terms are made with.
  void set_record_limits(std::size_t max_record, std::size_t max_field, std::size_t term_buffer) {
    max_record_ = max_record;
    max_field_ = max_field;
    term_buffer_ = term_buffer;
  }
  void set_translations(const Translations* translations, char escape) {
    translations_ = translations;
    escape_ = escape;
  }
  std::size_t max_record() const { return max_record_; }
  // What index and list generation need for `pool`.
  IndexContext index_context(const dict::AppPoolDef& pool) const;

  // Records (pool_records.cc). rec_read: 0, or 1 when the record is absent
  // or unreadable (the handle then holds no buffer of its own).
  ResultCode rec_read(const dict::AppPoolDef& pool, const dict::FileDef& file, std::uint32_t idn,
                      RecordHandle& h, std::size_t capacity, int form);
  // The bulk path: no access check, IDN 0 takes the next one; without
  // `without_index` the entries are generated with I.
  ResultCode rec_load(const dict::AppPoolDef& pool, const dict::FileDef& file, RecordHandle& h,
                      bool without_index);
  ResultCode rec_insert(const dict::AppPoolDef& pool, const dict::FileDef& file, RecordHandle& h);
  // `old` is the stored record when the caller has it (internal form), else
  // null: it is read.
  ResultCode rec_update(const dict::AppPoolDef& pool, const dict::FileDef& file, RecordHandle& h,
                        RecordHandle* old);
  ResultCode rec_delete(const dict::AppPoolDef& pool, const dict::FileDef& file, RecordHandle& h);
  // Numbering: the next IDN into the handle (-225 when none is left); the
  // one the next insertion would get, without taking it; an IDN given back
  // when it is still the last issued.
  ResultCode idn_next(const dict::AppPoolDef& pool, const dict::FileDef& file, RecordHandle& h);
  ResultCode idn_peek(const dict::AppPoolDef& pool, const dict::FileDef& file, RecordHandle& h);
  ResultCode idn_return(const dict::AppPoolDef& pool, const dict::FileDef& file, std::uint32_t idn);

  // The duplicate search (pool_duplicates.cc). Each duplicate check
  // (DOUBLE=) is a key, tried in order. A key applies to `h` when one of its
  // tags feeds an index (SOURCE= or ELSE=) that gives `h` terms; its
  // candidates are the stored records sharing a term with `h` in each such
  // tag's indexes. FOUND=COMPARE keeps the candidates whose key fields are
  // equal as text (with indicators when INDIC= says so), FOUND=TERMS those
  // whose terms in the key's indexes are the same, otherwise every
  // candidate is kept. The first key that keeps one gives the result
  // (ascending, without `h`'s own IDN); a key that applies and keeps none
  // ends the search with NOTFND=NO. A key with ELSE=YES is tried only when
  // no key before it applied. Nothing is found without duplicate checks.
  ResultCode rec_duplicates(const dict::AppPoolDef& pool, const dict::FileDef& file, RecordHandle& h,
                            std::vector<std::uint32_t>& found);

  // Change notifications: after a successful insertion or update and
  // before a deletion. With Files/MessUpload configured, changes of the
  // files ITEMS and HOLDG are appended there as lines "NEW|UPD|DEL FILE
  // IDN YYYYMMDDHHMISS"; with a harvesting file (PUBLISH= of the pool) the
  // bibliographic record concerned is marked there (key its IDN, value the
  // time). A failure is the operation's result.
  ResultCode notify_change(const dict::AppPoolDef& pool, const dict::FileDef& file, RecordHandle& image,
                           std::string_view what);
  // Automatic numbering through the installed hook (none: nothing).
  ResultCode apply_numbering(const dict::AppPoolDef& pool, const dict::FileDef& file, RecordHandle& h,
                             char mode) {
    return numbering_ ? numbering_(pool, file, h, mode) : ResultCode(0);
  }

  // The services a check calls out to; each may be left unset.
  void set_procedures(ProcedureRunner* runner) { procedures_ = runner; }
  void set_link_search(LinkSearch search) { link_search_ = std::move(search); }
  void set_message_text(MessageText text) { message_text_ = std::move(text); }
  void set_numbering(Numbering numbering) { numbering_ = std::move(numbering); }
  void set_max_query(std::size_t length) { max_query_ = length; }

  // Runs `work` as one unit of the pool's journal (units nest): a check
  // that numbers a record and the store that follows reach the journal
  // together or not at all.
  ResultCode as_unit(const dict::AppPoolDef& pool, const std::function<ResultCode()>& work);
  // The same for a pool named by the caller; `work` does not run when the
  // unit cannot be begun (an unknown pool, a journal that cannot take records).
  ResultCode as_unit(std::string_view pool, const std::function<ResultCode()>& work);

  // Runs the pool's procedure `name` on the record: 0 when it is not
  // defined; its message text is appended to `message`.
  ResultCode run_procedure(const dict::AppPoolDef& pool, const dict::FileDef& file, std::string_view name,
                           RecordHandle& h, std::string& message);
  // The pre-write check (pool_check.cc), mode N (new) or U (update); n and
  // u number in check mode. For a record in external form the procedure
  // "COMPL" runs first; then link maintenance; then automatic numbering.
  // Messages of the procedure and of link maintenance go to `message`.
  ResultCode rec_check(const dict::AppPoolDef& pool, const dict::FileDef& file, RecordHandle& h, char mode,
                       std::string& message);
  // Link maintenance of a record in external form: mode N, U, I (targets
  // may be created), L (imports: as I, without checking the IDNs given),
  // C (check: nothing is created).
  // The targets it creates are added to `made` when given, so that a
  // caller that does not store the record can take them away again.
  struct MadeTarget {
    const dict::FileDef* file;
    std::uint32_t idn;
  };
  ResultCode link_maintenance(const dict::AppPoolDef& pool, const dict::FileDef& file, RecordHandle& h,
                              char mode, std::string& message, std::vector<MadeTarget>* made = nullptr);
  // Deletes the targets link maintenance made (for a record that is not
  // stored after all), the last made first.
  ResultCode remove_made_targets(const dict::AppPoolDef& pool, std::vector<MadeTarget>& made);
  // Linked data (pool_links.cc), for records in external form. Completion
  // reads the target of every link occurrence and copies its SOURCE= value
  // in: the subfields SUBLINK= lists after the link subfield; else as the
  // element's text subfield after the link subfield (when missing); else as
  // a new field of the text element's tag. Stripping removes what the
  // SUBLINK= lists copied in. Targets that are not there are skipped.
  ResultCode rec_complete_links(const dict::AppPoolDef& pool, const dict::FileDef& file, RecordHandle& h);
  ResultCode rec_strip_links(const dict::AppPoolDef& pool, const dict::FileDef& file, RecordHandle& h);

  // "%c-%-3.3s" of a data file of the pool ("A-BIB"); "???" for "-???".
  std::string reference(const dict::AppPoolDef& pool, int file) const;

  // Links (pool_links.cc). The IDNs reached from record `idn` of `file`
  // through `link`, added to `result`: direction 'F' the targets named in
  // the record's link fields; 'B' the records pointing to it, from the
  // link's list file (narrowed by `sort` when the list keys carry a sort
  // part); 'C' as B with a list file, else the chain of targets. B and C
  // results are sorted and unique. -144 without a link definition.
  ResultCode lnk_follow(const dict::AppPoolDef& pool, const dict::FileDef& file, const dict::LinkDef* link,
                        std::uint32_t idn, IdnList& result, char direction, std::string_view sort = {});
  // The number of IDNs lnk_follow reaches, or a failure.
  ResultCode lnk_follow_count(const dict::AppPoolDef& pool, const dict::FileDef& file,
                              const dict::LinkDef* link, std::uint32_t idn, char direction,
                              std::string_view sort = {});
  // The union of lnk_follow over `start`, sorted and unique.
  ResultCode lnk_follow_all(const dict::AppPoolDef& pool, const dict::FileDef& file,
                            const dict::LinkDef* link, const IdnList& start, IdnList& result, char direction,
                            std::string_view sort = {});

  const dict::AppPoolDef* pool() const { return pool_; }
  const dict::AppFileDef* file() const { return file_; }
  void set_file(const dict::AppFileDef* f) { file_ = f; }
  dbm::Dbm& dbm() { return dbm_; }
  const dict::ApplDictionary& application() const { return appl_; }
  void set_server_config(config::ConfigHandle h) { server_ = h; }

 private:
  dbm::Dbm& dbm_;
  const config::ConfigTable& configs_;
  const dict::ApplDictionary& appl_;
  std::FILE* out_;
  config::ConfigHandle server_ = config::kMainConfig;
  std::string user_;
  int group_ = 0;
  std::size_t max_record_ = 30000;
  std::size_t max_field_ = 7500;
  std::size_t term_buffer_ = 10000;
  const Translations* translations_ = nullptr;
  ProcedureRunner* procedures_ = nullptr;
  LinkSearch link_search_;
  MessageText message_text_;
  Numbering numbering_;
  std::size_t max_query_ = 500;
  char escape_ = '\\';

  // How records of `file` are converted between their forms.
  ConversionContext conversion(const dict::FileDef& file) const;
  // The internal image to store and generate from: `h` itself, or its
  // conversion into `temp` when it is in external form (-901 on failure).
  ResultCode internal_image(const dict::FileDef& file, RecordHandle& h, RecordHandle& temp,
                            RecordHandle*& image);
  // Whether the file holds a record under `idn`.
  bool stored_here(const dict::AppPoolDef& pool, const dict::FileDef& file, std::uint32_t idn);
  // The index and link list entries of one record image.
  struct RecordEntries {
    ListEntries index;
    ListEntries links;
  };
  ResultCode make_entries(const dict::AppPoolDef& pool, const dict::FileDef& file, RecordHandle& image,
                          RecordEntries& out);
  ResultCode put_entries(const dict::AppPoolDef& pool, const RecordEntries& entries, std::uint32_t idn);
  ResultCode take_entries(const dict::AppPoolDef& pool, const RecordEntries& entries, std::uint32_t idn);
  // The record operations themselves; the public ones run each as one
  // unit of the journal.
  ResultCode rec_load_now(const dict::AppPoolDef& pool, const dict::FileDef& file, RecordHandle& h,
                          bool without_index);
  ResultCode rec_insert_now(const dict::AppPoolDef& pool, const dict::FileDef& file, RecordHandle& h);
  ResultCode rec_update_now(const dict::AppPoolDef& pool, const dict::FileDef& file, RecordHandle& h,
                            RecordHandle* old);
  ResultCode rec_delete_now(const dict::AppPoolDef& pool, const dict::FileDef& file, RecordHandle& h);
  const dict::AppPoolDef* pool_ = nullptr;
  const dict::AppFileDef* file_ = nullptr;
};

}  // namespace corvanta::records
