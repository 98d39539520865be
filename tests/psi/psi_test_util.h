// Runs script texts through the engine and collects what they print.
#pragma once
#include <optional>
#include <string>
#include <vector>

#include "psi/builtins.h"
#include "psi/engine.h"

namespace corvanta::psi::testing {

struct Outcome {
  std::string out;
  std::string err;
  int value = 0;
};

// Runs `text` as the script "t.psi" in `engine` (initialised); `more` are
// the texts the run asks for after it, one each time.
inline Outcome run_in(Engine& engine, const std::string& text, const std::vector<std::string>& more = {}) {
  Script script;
  script.text = text;
  script.segments.push_back({1, "t.psi", 1});
  Outcome o;
  RunIo io;
  io.out = [&o](std::string_view s) { o.out += s; };
  io.err = [&o](std::string_view s) { o.err += s; };
  std::size_t next = 0;
  if (!more.empty()) {
    io.next_text = [&]() -> std::optional<std::string> {
      if (next == more.size()) return std::nullopt;
      return more[next++];
    };
  }
  o.value = engine.run(script, 'Y', io);
  return o;
}

// Runs `text` as the script "t.psi" with the core and file groups.
inline Outcome run_text(const std::string& text, config::ConfigTable* configs = nullptr,
                        const std::string& main_path = "../etc/corvanta.cfg") {
  Engine engine;
  engine.add_group(make_file_group(configs, main_path));
  engine.initialise();
  Outcome o = run_in(engine, text);
  engine.release();
  return o;
}

// The error line the engine prints without a catalogue.
inline std::string error_at(int line, int code, const std::string& text = {}) {
  std::string s =
      "t.psi(" + std::to_string(line) + "/#" + std::to_string(code) + "): PSI Error " + std::to_string(code);
  if (!text.empty()) s += " = \"" + text + "\"";
  return s + "\n";
}

}  // namespace corvanta::psi::testing
