// Support routines shared by the batch command handlers.
//
// Handlers read their parameters, choose pool and file, open the pool in
// the mode they need, check permissions, name output files and add result
// rows through these routines, so that every command treats them alike.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "config/dictionary.h"
#include "forms/formatting.h"
#include "records/record.h"
#include "shell/batch_result.h"
#include "util/result.h"

namespace corvanta {

class Service;
class ParamList;

// Message numbers (group "Util") of the support routines.
inline constexpr std::int32_t kMsgLastSave = 150;  // "%s": date of the last save

// Opens the current pool in `mode` ("I", "U", "C" or "R"; "R" defers
// block writes), with its save file unless `save` is 'N'. A pool that is
// open already and serves the request is kept as it is (`kept` tells): one
// open in the same mode and rings (it takes the save file asked for), or
// one open in mode "U" or "R" for an inquiry; else it is closed and opened
// again. When the pool's DaysLastSave is set, reports message 150 in mode
// "R" once the last save is that old, and on an opening checks the pool's
// files against the definition (-237 counts as success in mode "I"). -151
// without a current pool. The pool stays open until it is closed (the
// service closes the current one after every command).
ResultCode bat_pool_open(Service& service, char mode, char save, bool* kept = nullptr);
// bat_pool_open, then bat_permission for `group`; on a permission failure the
// pool is closed again.
ResultCode bat_pool_open_checked(Service& service, char mode, char save, int group);
// POOL, when given, becomes the current pool: 0, or -151 when there is no
// such pool, or none is current.
ResultCode bat_pool_param(Service& service, const ParamList& params);
// bat_pool_param, then bat_pool_open_checked with the save file.
ResultCode bat_open_pool_param(Service& service, const ParamList& params, char mode, int group);
// 0 when the logged-in user's group may see the records of the current
// pool and file (their display sets, ACCDIS); -129 otherwise.
ResultCode bat_display_access(Service& service);
// Closes the current pool: -151 without one.
ResultCode bat_pool_close(Service& service);
// 0 when the logged-in user may run functions of `group` in the current
// pool, by the user's profile in the pool or else the administration right;
// -129 otherwise, the missing right named in the log (Util 303).
ResultCode bat_permission(Service& service, int group);
// 0 when the logged-in user holds the administration right (ADM) of the
// users table; -124 without a user, -129 otherwise, with "ADM" named.
ResultCode bat_admin(Service& service);
// POOL (one character) and FILE (up to three, or `file_name` when given)
// become current, the pool is opened and checked; LANGUAGE (up to three)
// selects the message language and is returned.
ResultCode bat_select_file(Service& service, const ParamList& params, std::string_view file_name,
                           std::string& language);
// The record a command names: IDN directly (at least 1), or SET and NUMBER,
// a 1-based position in a stored result set, whose pool and file become
// current. A position of 0 or beyond the set, or neither IDN nor SET, gives
// -457; no current file -152; a set that cannot be loaded its code.
ResultCode bat_record_from_params(Service& service, const ParamList& params, std::uint32_t& idn);
// True when `sublib` is empty or "*", when the record has no field `tag`,
// or when one of its first 100 occurrences is `sublib` (five characters
// compared, trailing blanks not counted).
bool bat_sublib_match(records::RecordHandle& record, std::string_view tag, std::string_view sublib);
// Keeps, in order, the records of the current file among `idns` that
// bat_sublib_match accepts; records that cannot be read are dropped.
void bat_filter_by_sublib(Service& service, std::vector<std::uint32_t>& idns, std::string_view tag,
                          std::string_view sublib);
// The index key of a text needs the term rules of the index, which the
// service does not have yet: -11 until then.
ResultCode bat_key_for_index(Service& service, std::vector<std::string>& keys, std::string_view text,
                             const dict::AspectDef& index);
// The aspect of the current file with that name (an index such as "DDT").
const dict::AspectDef* bat_find_index(Service& service, std::string_view name);
// The date parameter as YYYYMMDD: today when shorter than 8 characters and
// `today_if_short`; else its form is recognised and converted.
std::string bat_date_param(Service& service, const ParamList& params, std::string_view key,
                           bool today_if_short);
// Flags 0..max: 0 for "ALL", n for each listed number or range ("1,3-5 7");
// parsing ends at the first number below 1.
void bat_number_list(std::string_view text, std::vector<std::uint8_t>& flags, int max);
// OUTPUT as a path, or Directories/Print + "word_SUBLIB.NNNNx".
std::string bat_output_name(Service& service, const ParamList& params, std::string_view word, char suffix);
// OUTPUT as a path, or the print (else temp) directory + OUTPUT or the
// default name, with ".NNNN" of the job.
std::string bat_output_path(Service& service, const ParamList& params, std::string_view default_name);
// Adds `text` as one result row, laid out by the current pool's output
// format "DEFAULT-1"; without a current pool or format, as one plain field.
void bat_add_row(Service& service, std::string_view text, BatchResult& result);
// Adds up to `limit` formatted lines as rows, each column a field styled by
// the form's display column of the same position; the number added.
std::size_t bat_add_lines(BatchResult& result, const std::vector<records::FormattedLine>& lines,
                          const dict::FormDef* form, std::size_t limit);
// "DD.MM.YYYY" of a stored time; the empty text for 0.
std::string bat_date_text(std::uint32_t time);

}  // namespace corvanta
