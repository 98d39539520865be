// Fuzz target: the script loader, lexer, parser and machine. Any text must
// end in error lines or a finished run: no crash, no hang. Execution is
// bounded by a step budget and values are kept small, here only; only the
// core built-ins are installed, so scripts cannot touch files.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "psi/engine.h"
#include "psi/script.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace corvanta::psi;
  static const std::string path = "/tmp/psi_fuzz_" + std::to_string(::getpid()) + ".psi";
  if (std::FILE* f = std::fopen(path.c_str(), "wb")) {
    std::fwrite(data, 1, size, f);
    std::fclose(f);
  }
  Script script;
  if (load_script(path, script, [](int, const std::string&) {}) != 0) return 0;

  Engine engine;
  engine.set_step_limit(20000);
  engine.set_value_limits(ValueLimits{100'000, 1u << 20});
  engine.initialise();
  RunIo io;
  io.out = [](std::string_view) {};
  io.err = [](std::string_view) {};
  engine.run(script, 'Y', io);
  engine.release();
  return 0;
}
