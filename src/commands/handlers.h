// Every command handler, by family. Each follows the handler contract of the
// command table (shell/command_table.h): it reads its parameters, reports
// through the service's reporter, writes result rows and returns a result
// code.
#pragma once

#include "shell/service.h"

namespace corvanta {

// The service's own commands (shell_commands.cc).
// EXECUTE COMMAND=file [POOL] [SUBLIB] [LANGUAGE]: runs a command file.
ResultCode cmd_execute(Service& service, ParamList& params, BatchResult& result);
// VIEWLOG [JOBNO] [PAGE=F|B]: up to 30 job records, newest first.
ResultCode cmd_viewlog(Service& service, ParamList& params, BatchResult& result);
// DOWN and SETSHUT only check that the user may administer the system.
ResultCode cmd_down(Service& service, ParamList& params, BatchResult& result);
ResultCode cmd_setshut(Service& service, ParamList& params, BatchResult& result);

// Pool maintenance (pool_maintenance.cc).
ResultCode cmd_pool_init(Service& service, ParamList& params, BatchResult& result);
ResultCode cmd_pool_prot(Service& service, ParamList& params, BatchResult& result);
ResultCode cmd_check(Service& service, ParamList& params, BatchResult& result);
ResultCode cmd_unload(Service& service, ParamList& params, BatchResult& result);
ResultCode cmd_load(Service& service, ParamList& params, BatchResult& result);
ResultCode cmd_delete(Service& service, ParamList& params, BatchResult& result);

// The save protocol (save_restore.cc).
ResultCode cmd_save(Service& service, ParamList& params, BatchResult& result);
ResultCode cmd_restore(Service& service, ParamList& params, BatchResult& result);
ResultCode cmd_recover(Service& service, ParamList& params, BatchResult& result);
ResultCode cmd_release(Service& service, ParamList& params, BatchResult& result);
ResultCode cmd_save_prot(Service& service, ParamList& params, BatchResult& result);

// Indexing and record maintenance (indexing_commands.cc).
ResultCode cmd_index(Service& service, ParamList& params, BatchResult& result);
ResultCode cmd_delrec(Service& service, ParamList& params, BatchResult& result);
ResultCode cmd_delmaster(Service& service, ParamList& params, BatchResult& result);
ResultCode cmd_stop_load(Service& service, ParamList& params, BatchResult& result);

// Finding and showing records (retrieval_commands.cc).
// SEARCH POOL FILE QUERY [ASPECT]: a new result set from a query.
ResultCode cmd_search(Service& service, ParamList& params, BatchResult& result);
// FILTER [POOL] [FILE] QUERY [INVERSE=Y]: the current set narrowed by conditions.
ResultCode cmd_filter(Service& service, ParamList& params, BatchResult& result);
// DISPLAY [POOL] [FILE] [NO] [FORMAT]: one hit of the current set shown.
ResultCode cmd_display(Service& service, ParamList& params, BatchResult& result);
// LIST_SET [SETNO] [START] [SORT=n,n,n] [DIRECTION=D]: a stored set listed.
ResultCode cmd_list_set(Service& service, ParamList& params, BatchResult& result);
// SCAN POOL FILE QUERY [ASPECT] [SKIP]: index terms with their hit counts.
ResultCode cmd_scan(Service& service, ParamList& params, BatchResult& result);

// Scripts (psi_commands.cc).
// RUN_PSI POOL FILE SCRIPT [SAVE] [LANGUAGE]: runs a script with the library built-ins.
ResultCode cmd_import(Service& service, ParamList& params, BatchResult& result);
ResultCode cmd_export(Service& service, ParamList& params, BatchResult& result);
ResultCode cmd_run_psi(Service& service, ParamList& params, BatchResult& result);

// The number counters (numbering_commands.cc); permission 2 in the pool.
ResultCode cmd_numb_add(Service& service, ParamList& params, BatchResult& result);
ResultCode cmd_numb_upd(Service& service, ParamList& params, BatchResult& result);
ResultCode cmd_numb_set(Service& service, ParamList& params, BatchResult& result);
ResultCode cmd_numb_del(Service& service, ParamList& params, BatchResult& result);
ResultCode cmd_numb_list(Service& service, ParamList& params, BatchResult& result);
ResultCode cmd_numb_exp(Service& service, ParamList& params, BatchResult& result);
ResultCode cmd_numb_imp(Service& service, ParamList& params, BatchResult& result);

// The claims of overdue orders (claim.cc); permission 22 in the pool.
ResultCode cmd_claim(Service& service, ParamList& params, BatchResult& result);

// The overdue reminders (remind.cc); permission 12 in the pool.
ResultCode cmd_remind(Service& service, ParamList& params, BatchResult& result);

// The setup tables (setup_commands.cc); all need permission 9 in the pool.
ResultCode cmd_setup_imp(Service& service, ParamList& params, BatchResult& result);
ResultCode cmd_setup_exp(Service& service, ParamList& params, BatchResult& result);
ResultCode cmd_setup_get(Service& service, ParamList& params, BatchResult& result);
ResultCode cmd_setup_put(Service& service, ParamList& params, BatchResult& result);
ResultCode cmd_setup_del(Service& service, ParamList& params, BatchResult& result);
ResultCode cmd_setup_dlb(Service& service, ParamList& params, BatchResult& result);
ResultCode cmd_setup_lod(Service& service, ParamList& params, BatchResult& result);

// Users and their profiles (user_commands.cc); all need the administration
// right.
ResultCode cmd_user_add(Service& service, ParamList& params, BatchResult& result);
ResultCode cmd_user_upd(Service& service, ParamList& params, BatchResult& result);
ResultCode cmd_user_copy(Service& service, ParamList& params, BatchResult& result);
ResultCode cmd_user_del(Service& service, ParamList& params, BatchResult& result);
ResultCode cmd_user_info(Service& service, ParamList& params, BatchResult& result);
ResultCode cmd_user_list(Service& service, ParamList& params, BatchResult& result);

}  // namespace corvanta
