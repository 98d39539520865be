// The command table: every command word the service knows, in table order,
// with its handler. Rows without a handler of their own are answered by the
// command loop (END, HELP, LOGIN) or with "not provided by this
// installation".
#pragma once

#include "shell/command_table.h"

namespace corvanta {

// The rows in table order, the empty end row included.
CommandTable command_table();

}  // namespace corvanta
