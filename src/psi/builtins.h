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

// `configs` (may be null) is the table whose main configuration readparm and
// writeparm use; writeparm writes it back to `main_path`.
std::unique_ptr<BuiltinGroup> make_file_group(config::ConfigTable* configs,
                                              std::string main_path = "../etc/corvanta.cfg");

// Pops a variable argument list (the count first) and returns the arguments
// in their written order.
std::vector<Value> pop_arguments(Engine& e);

}  // namespace corvanta::psi
