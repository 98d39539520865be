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

enum class UpdateOp : char { None = '-', Insert = 'I', Update = 'U', Delete = 'D' };

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

struct UpdateOutcome {
  std::uint32_t idn = 0;
  std::string record_text;         // the record returned as transfer text
  std::string procedure_messages;  // COMPL, CHECK, FIX
  std::string check_messages;      // field checks, link maintenance
  std::string duplicate_messages;  // 2502 per record found
};

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

 private:
  ResultCode checks(const dict::AppPoolDef& pool, const dict::FileDef& file, records::RecordHandle& h,
                    const UpdateFunction& row, char link_mode, UpdateOutcome& out);

  records::PoolLayer& layer_;
  const config::ConfigTable& configs_;
  config::ConfigHandle server_;
  DuplicateSearch duplicates_;
  ChangeNotice notice_;
  records::MessageText text_;
};

}  // namespace corvanta::imex
