// The record update service: a client hands over a record as transfer text
// with a function name; the service parses it, recognises its origin,
// checks it and executes a new, update or delete through the pool layer.
//
// Transfer text: field entries back to back, each
//   4 digits  n, the length of the entry after these digits
//   3         tag
//   2         indicators (trailing blanks removed; a first character below
//             blank: the field has none)
//   1         not used
//   n - 6     content, or subfields "$$" code data ...
// Contents and subfield data are trimmed of blanks, except in the
// keep-blanks form, where an empty value becomes one blank.
//
// Functions, selected by the first row whose name begins with the given
// one ("N" is NEW); any name beginning with "FIX" selects FIX:
//   CHECK       C  -  COMPL, checks
//   DELETE      D  D  read the stored record, delete checks, delete
//   DELETE-CHK  D  D  the same
//   NEW         .  I  next IDN peeked, COMPL, checks, insert
//   NEW-CHK     N  I  as NEW with the procedure CHECK and duplicates
//   SORT        -  -  the record returned as text
//   UPDATE      .  U  COMPL, checks, update
//   UPDATE-CHK  U  U  as UPDATE with the procedure CHECK and duplicates
//   FIX         -  -  the procedure named from the sixth character on
// The checks: the procedure "CHECK" unless the check letter is blank, the
// field definitions, link maintenance, the duplicate check, automatic
// numbering. Their messages go to three buffers: procedures, checks,
// duplicates.
//
// The sequence of completion, checks, duplicate test, numbering and store
// (check_and_store) is the one path by which records reach the pool from
// here and from the importer (importer.h); StoreSteps says which steps a
// caller takes. A record that is stored goes through the sequence as one
// unit of the journal, with the IDN reserved for it, the link targets its
// link maintenance creates and its running numbers.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "config/config_file.h"
#include "config/dictionary.h"
#include "pool/pool_service.h"
#include "records/record.h"
#include "util/result.h"

namespace corvanta::imex {

inline constexpr std::int32_t kNoRecordToDelete = -457;
inline constexpr std::int32_t kNoPoolOrText = -902;
inline constexpr std::int32_t kUnknownFunction = -903;
inline constexpr std::int32_t kBadTransferText = -904;
inline constexpr std::int32_t kMsgDuplicate = 2502;
inline constexpr std::size_t kMaxDuplicates = 10;

// Load: the bulk insertion of an import (the IDN a record brings is kept).
enum class UpdateOp : char { None = '-', Insert = 'I', Load = 'L', Update = 'U', Delete = 'D' };

struct UpdateFunction {
  std::string_view name;
  char check;  // ' ' none, '-' no checks at all
  UpdateOp op;
};
// The row `name` selects, or nullptr.
const UpdateFunction* find_update_function(std::string_view name);

// Parses transfer text into `h` (an external-form record of `capacity`):
// 0, -904 for entries whose lengths do not hold, or the failure of a field
// that does not fit (-403).
ResultCode parse_transfer_text(std::string_view text, const dict::FileDef& file, records::RecordHandle& h,
                               std::size_t capacity, bool keep_blanks, bool sorted_subfields);
// The record as transfer text.
std::string write_transfer_text(records::RecordHandle& h);

struct Origin {
  std::string name;  // "VORNA", or the content of field Z39
  bool gnd = false;  // also field 903 $e
};
// The origin a record names, if any.
std::optional<Origin> recognise_origin(records::RecordHandle& h);

// Records that may be duplicates of `record` (check letter N or U).
using DuplicateSearch =
    std::function<ResultCode(const dict::AppPoolDef& pool, const dict::FileDef& file,
                             records::RecordHandle& record, char check, std::vector<std::uint32_t>& found)>;
// The change-notification service: `phase` 'A' announces NEW, UPD or DEL
// for the IDN, 'C' commits, 'R' rolls back.
using ChangeNotice = std::function<ResultCode(std::string_view what, std::uint32_t idn, char phase)>;

// How far check_and_store took a record.
enum class StoreEnd {
  Checked,  // through the checks, nothing stored (operation None), or a failure before the store
  Refused,  // a procedure failed (refused_by names it), or a check message refused it
  Stopped,  // the duplicate test stopped it
  Stored,   // the store was tried: its result is check_and_store's
};

struct UpdateOutcome {
  std::uint32_t idn = 0;
  StoreEnd end = StoreEnd::Checked;
  UpdateOp stored_as = UpdateOp::None;  // with Stored: the operation tried
  std::string_view refused_by;          // with Refused: "COMPL", "CHECK", or empty for a check message
  std::string record_text;              // the record returned as transfer text
  std::string procedure_messages;       // COMPL, CHECK, FIX
  std::string check_messages;           // field checks, link maintenance
  std::string duplicate_messages;       // 2502 per record found
};

// Which steps check_and_store takes.
struct StoreSteps {
  UpdateOp op = UpdateOp::Insert;  // None: the checks only, outside any unit
  // A record without IDN takes the next one first; it is given back when
  // the record is not stored (the record leaves without it).
  bool reserve_idn = false;
  bool complete = true;          // the procedure COMPL (a new record sees the next IDN)
  bool check_procedure = false;  // the procedure CHECK
  bool field_check = true;       // tags the file does not define are noted
  bool tag_names = false;        // ... each note beginning "Tag TAG: "
  char link_mode = 'N';          // link maintenance (PoolLayer::link_maintenance)
  bool refuse_on_check = false;  // a check message refuses the record
  char numbering = 'N';          // automatic numbering
  // The numbers of a record that is not stored go back to their counters.
  bool give_back_numbers = false;
};

// The duplicate test's answer: store as planned, update stored record
// `idn` instead, or stop (the record is not stored).
struct DuplicateVerdict {
  enum Kind { Store, UpdateStored, Stop } kind = Store;
  std::uint32_t idn = 0;
};
// A duplicate test run after the checks; `reserved` says whether the
// record's IDN was reserved by the sequence (else the record brought it).
using DuplicateTest =
    std::function<ResultCode(records::RecordHandle& record, bool reserved, DuplicateVerdict& verdict)>;

class RecordUpdateService {
 public:
  RecordUpdateService(records::PoolLayer& layer, const config::ConfigTable& configs,
                      config::ConfigHandle server)
      : layer_(layer), configs_(configs), server_(server) {}

  void set_duplicate_search(DuplicateSearch search) { duplicates_ = std::move(search); }
  void set_change_notice(ChangeNotice notice) { notice_ = std::move(notice); }
  // The text of message `code` with its argument inserted (none: the
  // number and the argument).
  void set_message_text(records::MessageText text) { text_ = std::move(text); }

  // Runs `function` on the record in `text` (for UPDATE and DELETE the
  // stored record `idn`): 0 or the failure.
  ResultCode run(const dict::AppPoolDef& pool, const dict::AppFileDef& file, std::string_view function,
                 std::uint32_t idn, std::string_view text, bool keep_blanks, UpdateOutcome& out);

  // Takes record `h` (external form) through `steps`: COMPL, CHECK, the
  // field definitions, link maintenance, `duplicates` (may be empty),
  // numbering and the store, all in one journal unit unless the operation
  // is None. 0 or the failure; out.end says how far the record got, the
  // messages are appended to out's buffers.
  ResultCode check_and_store(const dict::AppPoolDef& pool, const dict::FileDef& file,
                             records::RecordHandle& h, const StoreSteps& steps,
                             const DuplicateTest& duplicates, UpdateOutcome& out);
  // Notes in `messages` each tag of `h` that `file` does not define.
  void field_check(const dict::FileDef& file, records::RecordHandle& h, bool tag_names,
                   std::string& messages) const;

 private:
  ResultCode steps_in_unit(const dict::AppPoolDef& pool, const dict::FileDef& file, records::RecordHandle& h,
                           const StoreSteps& steps, const DuplicateTest& duplicates, UpdateOutcome& out);

  records::PoolLayer& layer_;
  const config::ConfigTable& configs_;
  config::ConfigHandle server_;
  DuplicateSearch duplicates_;
  ChangeNotice notice_;
  records::MessageText text_;
};

}  // namespace corvanta::imex
