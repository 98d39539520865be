// The library group of the script engine: the built-ins through which a
// script searches pools, holds records in ten slots, reads and changes their
// fields, stores, updates and deletes them, converts characters and reads
// the parameters of the command that started it.
//
// Every built-in chooses its pool and file (POOL and FILE of a params text,
// read like a command line), opens the pool for what it does (inquiry, or
// update with the run's save flag) unless the command holds it open in a
// mode that serves, works, closes the pool if it opened it, and only then
// raises a failure as a script error with its code.
#pragma once

#include <memory>

#include "psi/engine.h"
#include "psi/script.h"
#include "records/record.h"
#include "util/result.h"

namespace corvanta {

class Service;
class ParamList;

inline constexpr int kRecordSlots = 10;
inline constexpr std::int32_t kScriptNotLoaded = -183;

// What one run gives the group: the starting command's parameters (for
// getparm) and, while an import runs the script for a record, that record
// (for imprec and exprec). A pool procedure's run holds its record in slot
// 0 from the start (written back when the group is released) and works in
// the pool its caller has open: its built-ins neither reopen nor close it.
struct LibraryRun {
  const ParamList* params = nullptr;
  records::RecordHandle* import_record = nullptr;
  records::RecordHandle* procedure_record = nullptr;
};

std::unique_ptr<psi::BuiltinGroup> make_library_group(Service& service, LibraryRun run);
// The same for an engine that is restarted run after run: each run starts
// with what `run` (the caller's, kept alive) holds then.
std::unique_ptr<psi::BuiltinGroup> make_library_group(Service& service, const LibraryRun* run);

// Gives `engine` the file built-ins, the library group `library` and the
// service's message texts, and initialises it.
void prepare_library_engine(Service& service, psi::Engine& engine,
                            std::unique_ptr<psi::BuiltinGroup> library);
// Bounds the next run of `engine` by Limits/MaxPsiTime and MaxPsiMem unless
// the logged-in user is an administrator.
void bound_by_user(const Service& service, psi::Engine& engine);
// Loads a script file for a command: 0, or -183 with the loader's error
// lines on the screen and in the job protocol.
ResultCode load_library_script(Service& service, const std::string& path, psi::Script& script);
// Runs a script with the file and library built-ins for `run`; what it
// prints goes to the screen and the job protocol. The script's exit value.
int run_library_script(Service& service, const psi::Script& script, LibraryRun run, char save_flag);

// A script run on one record after another (an import's PSIIN and PSIPOST,
// an export's PSIOUT): loaded once, its engine prepared on the first run
// and restarted for each later one, since installing the built-ins anew
// would cost more than most runs. Each run starts as a fresh one would:
// what an earlier run defined is forgotten.
class RecordScript {
 public:
  // Loads `path` (already checked by the command): 0 or the loader's -183.
  ResultCode load(Service& service, const std::string& path);
  bool given() const { return loaded_; }
  // The script's exit value with `record` as the import record; what it
  // prints goes to the screen and the job protocol. `params` outlives the
  // run.
  int run(Service& service, const ParamList& params, records::RecordHandle& record, char save_flag);

 private:
  psi::Script script_;
  bool loaded_ = false;
  LibraryRun run_;                       // what the engine's library group reads
  std::unique_ptr<psi::Engine> engine_;  // prepared on the first run
};

}  // namespace corvanta
