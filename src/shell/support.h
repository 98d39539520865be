// Support routines shared by the batch command handlers.
//
// Handlers read their parameters, choose pool and file, name output files
// and add result rows through these routines, so that every command treats
// them alike. The module grows with the subsystems the handlers reach.
#pragma once

#include <string_view>

#include "shell/batch_result.h"

namespace corvanta {

class Service;

// Adds `text` as one result row. Rows are laid out by the current pool's
// output format "DEFAULT-1"; while no pool is current (as for VIEWLOG or the
// user commands) the row gets the plain format of one full-width field, so
// that it still reaches the screen.
void bat_add_row(Service& service, std::string_view text, BatchResult& result);

}  // namespace corvanta
