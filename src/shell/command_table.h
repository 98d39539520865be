// The shape of the command table that the command loop dispatches through.
//
// A row names the command, whether it runs as a job (job record and job
// protocol), whether its start and end go to the command log, and its
// handler. END, HELP and LOGIN have rows without a handler: the command loop
// handles END and LOGIN itself, HELP falls through to the help answer. The
// table ends with a row whose name is empty.
//
// The rows themselves, with the handlers, belong to the layer above (the
// commands); the program hands them to the service when it builds it.
#pragma once

#include <span>
#include <string_view>

#include "util/result.h"

namespace corvanta {

class Service;
class ParamList;
struct BatchResult;

// A handler reads its parameters, reports through the service's reporter,
// writes result rows and returns a result code.
using CommandHandler = ResultCode (*)(Service& service, ParamList& params, BatchResult& result);

struct CommandEntry {
  std::string_view name;
  bool job_log;
  bool cmd_log;
  CommandHandler handler;  // nullptr: no handler
};

// The rows in table order, the empty end row included.
using CommandTable = std::span<const CommandEntry>;

// The first row whose name equals `word` exactly, else the end row.
const CommandEntry& find_command(CommandTable table, std::string_view word);

}  // namespace corvanta
