// corvanta-psi SCRIPT: runs a script with the core and file built-ins, without
// a pool. Output goes to standard output, error lines to standard error; the
// exit status is the script's exit value, cut to 0..255. The main
// configuration ../etc/corvanta.cfg is read when present, for readparm,
// writeparm and the message texts.
#include <algorithm>
#include <csignal>
#include <cstdio>

#include "config/config_file.h"
#include "psi/builtins.h"
#include "psi/engine.h"
#include "shell/messages.h"

int main(int argc, char** argv) {
  using namespace corvanta;
  // A file grown past the process's size limit fails the write (a result
  // code) instead of ending the process.
  std::signal(SIGXFSZ, SIG_IGN);
  if (argc != 2) {
    std::fputs("Aufruf: corvanta-psi SKRIPT\n", stderr);
    return 2;
  }
  constexpr const char* kMainPath = "../etc/corvanta.cfg";
  config::ConfigTable configs;
  const bool have_config = configs.load_main_path(kMainPath).code() == 0;
  MessageCatalogue catalogue(configs, "Messages");
  if (have_config && catalogue.init(config::kMainConfig).code() == 0) catalogue.select("");

  psi::Engine engine;
  engine.add_group(psi::make_file_group(have_config ? &configs : nullptr, kMainPath));
  engine.set_messages([&catalogue](std::string_view group, int code) { return catalogue.text(group, code); });

  psi::Script script;
  const auto report = [&engine](int code, const std::string& text) {
    std::fputs(engine.error_line("", 0, code, text).c_str(), stderr);
  };
  if (psi::load_script(argv[1], script, report) != 0) return 2;
  engine.initialise();
  const int value = engine.run(script, 'Y');
  engine.release();
  std::fflush(stdout);
  return std::clamp(value, 0, 255);
}
