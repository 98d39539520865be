// The importer: the records of an exchange file into the current pool file.
//
// It reads one record after another with the format's reader, keeps the
// MAB head and intermediate records that dependent records link to, runs
// each record through the conversion, procedures and scripts asked for,
// and stores it by the mode: as a new record, as an update of a record it
// duplicates, merged into records, as a union number, or not at all. Every
// store goes through the record update service's one sequence of checks,
// duplicate test and store (update_service.h), each record with what is
// made for it (its IDN, its link targets, its numbers) in one unit of the
// journal. A record that fails its checks, duplicates another or cannot be
// read at all goes to the error or duplicate file with a line that says
// why; only more errors than the limit stop the import (-30).
//
// It owns its input file, the temporary copies of an XML input and the side
// files. What lies above the exchange layer (scripts, the job protocol,
// message texts, rights on files, the stylesheet processor, searches) it
// reaches through the ImportHost its command hands it. The pool and file
// must be selected and open. Single-threaded.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "imex/formats.h"
#include "pool/pool_service.h"
#include "records/field_path.h"
#include "records/record.h"
#include "util/result.h"

namespace corvanta::imex {

inline constexpr std::int32_t kTooManyErrors = -30;
inline constexpr std::int32_t kBadTargetAddress = -11;  // TARGET is no field address (a missing parameter)
inline constexpr std::int32_t kMsgRead = 152;
inline constexpr std::int32_t kMsgNew = 100;
inline constexpr std::int32_t kMsgUpdated = 151;
inline constexpr std::int32_t kMsgErrors = 153;
inline constexpr std::int32_t kMsgDuplicates = 154;
inline constexpr std::int32_t kMsgReported = 155;
inline constexpr std::int32_t kMsgLeftOut = 190;

struct ImportCounts {
  long read = 0;
  long added = 0;
  long updated = 0;
  long duplicates = 0;
  long errors = 0;
  long reported = 0;  // read, neither stored nor refused, each with a line why
};

// What an import needs from the command above it.
class ImportHost {
 public:
  virtual ~ImportHost() = default;
  // The text of message `code` of `group` as it is (empty: none).
  virtual std::string text(std::string_view group, std::int32_t code) = 0;
  // The same with `arg` inserted; without a text, the number and `arg`.
  virtual std::string message(std::string_view group, std::int32_t code, std::string_view arg) = 0;
  virtual void screen(std::string_view line) = 0;  // screen and job protocol
  virtual void output(std::string_view text) = 0;  // as it is
  // Whether the command may write `path`: 0, or the failure it reported.
  virtual ResultCode check_write(const std::string& path) = 0;
  // Transforms XML file `from` by stylesheet `xslt` into `to`.
  virtual ResultCode transform(const std::string& xslt, const std::string& from, const std::string& to) = 0;
  // Runs the script PSIIN (`post` false) or PSIPOST on the record and
  // selects and opens the pool again: 0 to go on, 1 to end the import with
  // 0, or a failure (a negative exit value).
  virtual ResultCode run_script(bool post, records::RecordHandle& h) = 0;
  // Whether a stored record already holds union number `number`.
  virtual bool union_number_used(const std::string& number) = 0;
  // The counts so far (every RECMESS records).
  virtual void progress(const ImportCounts& counts) = 0;
};

// The parameters of an import, read by its command.
struct ImportSettings {
  std::string data;       // the input file
  FormatOptions read;     // the reader (TYPE, FLAGS, PROTYP, ...)
  FormatOptions write;    // the error and duplicate files
  std::string translin;   // TRANSLIN
  std::string xslt;       // XSLT
  char mode = 'I';        // I, L load, M merge, S union numbers, H items
  char duplicates = 'R';  // DOUBLE: I ignore, R reject, O/E overwrite, M merge
  std::string rectype;    // record types read, empty: all
  std::string convin;     // CONVIN table
  std::string merge;      // MERGE table
  std::string scriptin;   // procedures SCRIPTIN, SCRIPTPOST
  std::string scriptpost;
  bool psiin = false;  // the host runs scripts PSIIN, PSIPOST
  bool psipost = false;
  long from = 0;           // the first input record stored
  long to = 0;             // the last one read (0: all)
  long every = 0;          // RECMESS
  long max_errors = 100;   // MAXERROR
  std::string error_path;  // RECERROR, RECDOUBLE
  std::string double_path;
  std::string key, source, target;  // union numbers: the addresses as given
  records::FieldPath key_at, source_at, target_at;
  bool force = false;  // FORCE: a union number replaces another
};

// Imports `settings.data` into the current pool file of `layer`; the
// record update service runs with `configs` and `server`. 0 or the failure
// that ended the import; `counts` holds what was done either way.
ResultCode run_import(records::PoolLayer& layer, const config::ConfigTable& configs,
                      config::ConfigHandle server, ImportHost& host, const ImportSettings& settings,
                      ImportCounts& counts);

// The IDN a record names in subfield L of its first field `tag` (an item's
// title, a dependent record's head), 0 when none or out of range.
std::uint32_t linked_idn(records::RecordHandle& h, const char* tag);

// Translates an XML file piece by piece by table `table` into a new file
// that takes the name `to` only when it is complete.
ResultCode translate_file(const records::Translations& translations, char escape, const std::string& table,
                          const std::string& from, const std::string& to);

}  // namespace corvanta::imex
