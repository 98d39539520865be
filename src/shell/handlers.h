// Handlers of the commands that the shell itself provides. Each follows the
// handler contract of the command table: it reads its parameters, reports
// through the service's reporter, writes result rows and returns a result
// code.
#pragma once

#include "shell/service.h"

namespace corvanta {

// EXECUTE COMMAND=file [POOL] [SUBLIB] [LANGUAGE]: runs a command file.
ResultCode cmd_execute(Service& service, ParamList& params, BatchResult& result);
// VIEWLOG [JOBNO] [PAGE=F|B]: up to 30 job records, newest first.
ResultCode cmd_viewlog(Service& service, ParamList& params, BatchResult& result);
// The user commands; all need the administration right.
ResultCode cmd_user_add(Service& service, ParamList& params, BatchResult& result);
ResultCode cmd_user_upd(Service& service, ParamList& params, BatchResult& result);
ResultCode cmd_user_copy(Service& service, ParamList& params, BatchResult& result);
ResultCode cmd_user_del(Service& service, ParamList& params, BatchResult& result);
ResultCode cmd_user_info(Service& service, ParamList& params, BatchResult& result);
ResultCode cmd_user_list(Service& service, ParamList& params, BatchResult& result);

}  // namespace corvanta
