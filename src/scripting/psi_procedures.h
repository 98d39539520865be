// Pool procedures as scripts: a pool's SCRIPT= statements name, for each
// procedure ("COMPL", "CHECK", FIX names), the script file that is run when
// the pool layer asks for it. The record is in slot 0 of the library group
// for the whole run (written back at its end); getparm gives REF ("A-BIB"),
// USER, IDN ("%09ld") and SLOT ("0"); slot 0 cannot be stored, freed or
// deleted by the script itself. What the script prints becomes the
// procedure's message; exit with a negative value, a script error (-184),
// or procedures that store records whose procedures store records again
// (more than two deep, -184) fail the operation.
#pragma once

#include <map>
#include <memory>
#include <string>

#include "pool/procedures.h"
#include "psi/engine.h"
#include "psi/script.h"
#include "scripting/psi_library.h"
#include "shell/params.h"

namespace corvanta {

class Service;

class PsiProcedures final : public records::ProcedureRunner {
 public:
  explicit PsiProcedures(Service& service) : service_(service) {}

  std::optional<ResultCode> run(const dict::AppPoolDef& pool, std::string_view name,
                                const records::ProcedureArgs& args, records::RecordHandle& record,
                                std::string& message) override;
  // Forgets the loaded scripts (they are read again when next needed).
  void clear() override {
    prepared_.clear();
    scripts_.clear();
  }

 private:
  Service& service_;
  std::map<std::string, std::unique_ptr<psi::Script>> scripts_;  // by path
  // An engine with the built-ins installed, its library group reading its
  // run data from `run`.
  struct Prepared {
    psi::Engine engine;
    ParamList params;
    LibraryRun run;
  };
  std::map<std::pair<std::string, int>, std::unique_ptr<Prepared>> prepared_;  // by path and depth
  int depth_ = 0;  // procedures whose scripts store records run procedures again
};

// The factory the program hands to the service.
std::unique_ptr<records::ProcedureRunner> make_pool_procedures(Service& service);

}  // namespace corvanta
