// corvanta-psi [--library [POOL [FILE]]] SCRIPT: runs a script with the core
// and file built-ins. Output goes to standard output, error lines to
// standard error; the exit status is the script's exit value, cut to
// 0..255. The main configuration ../etc/corvanta.cfg is read when present,
// for readparm, writeparm and the message texts.
//
// With --library the installation is started as the service starts it
// (configuration, dictionaries, forms, result sets) and the library
// built-ins reach its pools, POOL and FILE (default A and BIBLS) being
// current; getparm reads POOL, FILE and SCRIPT; changes are journalled as
// the service journals them. What the service writes to a command's log
// goes to standard output.
#include <algorithm>
#include <csignal>
#include <cstdio>
#include <string>
#include <string_view>

#include "commands/command_table.h"
#include "config/config_file.h"
#include "psi/builtins.h"
#include "psi/engine.h"
#include "scripting/psi_library.h"
#include "scripting/psi_procedures.h"
#include "shell/messages.h"
#include "shell/params.h"
#include "shell/service.h"

namespace {

constexpr const char* kMainPath = "../etc/corvanta.cfg";
constexpr const char* kUsage = "Aufruf: corvanta-psi [--library [POOL [FILE]]] SKRIPT\n";

int run_script(corvanta::psi::Engine& engine, const std::string& path) {
  using namespace corvanta;
  psi::Script script;
  const auto report = [&engine](int code, const std::string& text) {
    std::fputs(engine.error_line("", 0, code, text).c_str(), stderr);
  };
  if (psi::load_script(path, script, report) != 0) return 2;
  engine.initialise();
  const int value = engine.run(script, 'Y');
  engine.release();
  std::fflush(stdout);
  return std::clamp(value, 0, 255);
}

int run_with_library(const std::string& pool, const std::string& file, const std::string& path) {
  using namespace corvanta;
  Service service(stdin, stdout, command_table(), make_pool_procedures);
  if (service.configs.load_main_path(kMainPath).failed()) {
    std::fputs("Konfiguration ../etc/corvanta.cfg fehlt\n", stderr);
    return 2;
  }
  if (const ResultCode rc = service.system_init(); rc.failed()) {
    service.messages.select({});
    service.reporter.error_message("Initialization", rc.code());
    service.system_shutdown();
    return 2;
  }
  service.messages.select({});
  ParamList params;
  params.add("POOL", pool);
  params.add("FILE", file);
  params.add("SCRIPT", path);
  if (const ResultCode rc = service.pools.make_current(pool, file); rc.failed()) {
    service.reporter.error_message(pool + "-" + file, rc.code());
    service.system_shutdown();
    return 2;
  }
  psi::Engine engine;
  engine.add_group(psi::make_file_group(&service.configs, kMainPath));
  engine.add_group(make_library_group(service, LibraryRun{&params, nullptr, nullptr}));
  engine.set_messages(
      [&service](std::string_view group, int code) { return service.messages.text(group, code); });
  const int value = run_script(engine, path);
  (void)service.dbm.close_all();
  service.system_shutdown();
  return value;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace corvanta;
  // A file grown past the process's size limit fails the write (a result
  // code) instead of ending the process.
  std::signal(SIGXFSZ, SIG_IGN);
  if (argc >= 3 && std::string_view(argv[1]) == "--library" && argc <= 5) {
    const std::string pool = argc >= 4 ? argv[2] : "A";
    const std::string file = argc == 5 ? argv[3] : "BIBLS";
    return run_with_library(pool, file, argv[argc - 1]);
  }
  if (argc != 2) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  config::ConfigTable configs;
  const bool have_config = configs.load_main_path(kMainPath).code() == 0;
  MessageCatalogue catalogue(configs, "Messages");
  if (have_config && catalogue.init(config::kMainConfig).code() == 0) catalogue.select("");
  psi::Engine engine;
  engine.add_group(psi::make_file_group(have_config ? &configs : nullptr, kMainPath));
  engine.set_messages([&catalogue](std::string_view group, int code) { return catalogue.text(group, code); });
  return run_script(engine, argv[1]);
}
