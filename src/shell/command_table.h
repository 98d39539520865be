// The command table: every command word the dispatcher knows, in table order.
//
// A row names the command, whether it runs as a job (job record and job
// protocol), whether its start and end go to the command log, and its
// handler. END, HELP and LOGIN have rows without a handler: the command loop
// handles END and LOGIN itself, HELP falls through to the help answer. The
// table ends with a row whose name is empty.
#pragma once

#include <span>
#include <string_view>

#include "shell/service.h"

namespace corvanta {

struct CommandEntry {
  std::string_view name;
  bool job_log;
  bool cmd_log;
  CommandHandler handler;  // nullptr: no handler
};

// The rows in table order, the empty end row included.
std::span<const CommandEntry> command_table();

// The first row whose name equals `word` exactly, else the end row.
const CommandEntry& find_command(std::string_view word);

}  // namespace corvanta
