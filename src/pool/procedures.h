// Pool procedures and the other services a record check calls out to.
//
// A pool's record procedures ("COMPL" completes a record before it is
// stored, "CHECK" checks it, FIX names repair it) are named by its
// definition (SCRIPT=). The pool layer runs them through a
// ProcedureRunner; a procedure the runner does not know, or any procedure
// when no runner is installed, is skipped and counts as success.
//
// Link texts are resolved through a LinkSearch (the link's LOCATE= search
// against the target file); without one a text finds nothing.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "config/dictionary.h"
#include "records/record.h"
#include "util/result.h"

namespace corvanta::records {

inline constexpr std::size_t kMaxProcedureMessage = 2000;

struct ProcedureArgs {
  std::string reference;  // "%c-%-3.3s": pool letter and file code
  std::string user;       // the current user's name, empty without one
  std::string idn;        // "%09ld"
};

class ProcedureRunner {
 public:
  virtual ~ProcedureRunner() = default;
  // Runs the pool's procedure `name` on `record` (which it may change):
  // nullopt when it does not know the procedure (skipped); otherwise the
  // procedure's result, a negative one failing the caller. `message` takes
  // up to kMaxProcedureMessage bytes of text for the client.
  virtual std::optional<ResultCode> run(const dict::AppPoolDef& pool, std::string_view name,
                                        const ProcedureArgs& args, RecordHandle& record,
                                        std::string& message) = 0;
  // Forgets what the runner loaded (it is read again when next needed).
  virtual void clear() {}
};

// Searches the target file of `link` for `text` (truncated: a trailing
// "*" was given) and appends the IDNs found.
using LinkSearch =
    std::function<ResultCode(const dict::AppPoolDef& pool, const dict::LinkDef& link, std::string_view text,
                             bool truncated, std::vector<std::uint32_t>& hits)>;

// Makes the text of a check message (150 target not found, 151 several
// targets, 152 text too long) from its code and arguments ("tag ref").
using MessageText = std::function<std::string(std::int32_t code, std::string_view args)>;

// Automatic numbering of a record before it is stored; mode N, U or C.
using Numbering = std::function<ResultCode(const dict::AppPoolDef& pool, const dict::FileDef& file,
                                           RecordHandle& record, char mode)>;

}  // namespace corvanta::records
