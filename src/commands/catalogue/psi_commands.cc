// RUN_PSI: runs a script file with the file and library built-ins against
// the pool and file it names.
#include <cstdio>
#include <string>

#include "commands/handlers.h"
#include "psi/script.h"
#include "scripting/psi_library.h"
#include "shell/command_files.h"
#include "shell/support.h"
#include "shell/users.h"
#include "util/text.h"

namespace corvanta {
namespace {

constexpr std::size_t kMaxScriptPath = 100;

}  // namespace

ResultCode cmd_run_psi(Service& service, ParamList& params, BatchResult&) {
  // A script file is a program: only an administrator runs one (scripts
  // that other commands start do only what their user may).
  if (const ResultCode rc = bat_admin(service); rc.failed()) return rc;
  std::string language;
  if (const ResultCode rc = bat_select_file(service, params, "", language); rc.failed()) return rc;
  // A path cut to its first 100 characters would name another file.
  if (params.get("SCRIPT").size() > kMaxScriptPath) return kScriptNotLoaded;
  const std::string path = params.get_into("SCRIPT", "", kMaxScriptPath, false);
  const std::string save = params.get_into("SAVE", "Y", 1, true);
  service.reporter.log_text("SCRIPT=" + path + " SAVE=" + save, 0);
  if (const ResultCode rc = check_command_file(service, path, FileUse::Read); rc.failed()) return rc;

  const dict::AppPoolDef* pool = service.pools.pool();
  const dict::AppFileDef* file = service.pools.file();
  psi::Script script;
  if (const ResultCode rc = load_library_script(service, path, script); rc.failed()) return rc;
  const int value =
      run_library_script(service, script, LibraryRun{&params, nullptr}, save.empty() ? 'Y' : save[0]);
  // The pool and file the command started with are current again.
  service.pools.clear();
  if (pool != nullptr) {
    (void)service.pools.make_current(pool->name);
    service.pools.set_file(file);
  }
  return value;
}

}  // namespace corvanta
