// The built-in groups of the script engine: the core group (output, strings,
// mathematics, arrays), always installed, and the file group (files,
// directories, dates, the configuration, commands), installed by whoever runs
// scripts that may touch the system.
#pragma once
#include <memory>
#include <string>
#include <vector>

#include "psi/engine.h"

namespace corvanta::config {
class ConfigTable;
}

namespace corvanta::psi {

std::unique_ptr<BuiltinGroup> make_core_group();

// What a script may do outside the engine is decided by whoever runs it on
// whose behalf: the file group asks before it touches a file or directory,
// runs a shell command or changes the configuration. Each answer is empty
// when the script may go on, else the reason, which the built-in raises as
// error 142 (not permitted).
class SystemRules {
 public:
  enum class Use {
    Read,           // fopen IN, the source of fcopy
    Write,          // fopen OUT or EXT, the target of fcopy, both names of rename, fdelete
    Look,           // fexist, dir: whether a file is there, what a directory holds
    MakeDirectory,  // mkdir
  };
  virtual ~SystemRules() = default;
  virtual std::string file(const std::string& path, Use use) = 0;
  virtual std::string command(const std::string& command) = 0;  // syscmd
  virtual std::string configuration() = 0;                      // writeparm
};

// `configs` (may be null) is the table whose main configuration readparm and
// writeparm use; writeparm writes it back to `main_path`. Without `rules`
// (a script run from the shell by whoever may run programs there) nothing
// is refused.
std::unique_ptr<BuiltinGroup> make_file_group(config::ConfigTable* configs,
                                              std::string main_path = "../etc/corvanta.cfg",
                                              std::shared_ptr<SystemRules> rules = nullptr);

// Argument and result helpers of the handlers.
inline std::string pop_str(Engine& e) {
  return e.pop_string().str();
}
inline void push_num(Engine& e, double d) {
  e.push(Value::number(d));
}
inline void push_str(Engine& e, std::string s) {
  e.push(Value::string(std::move(s)));
}

// The text print writes for `args`, with a newline for printl.
std::string printed(const std::vector<Value>& args, bool newline);
// The text printf writes: pops the value and the format; a format that does
// not fit the value is error 141.
std::string printed_f(Engine& e);

// Pops a variable argument list (the count first) and returns the arguments
// in their written order.
std::vector<Value> pop_arguments(Engine& e);

}  // namespace corvanta::psi
