// Handlers of the database manager's batch commands: the pool maintenance
// commands and the save protocol. Each follows the handler contract of the
// command table.
#pragma once

#include "shell/service.h"

namespace corvanta {

ResultCode cmd_pool_init(Service& service, ParamList& params, BatchResult& result);
ResultCode cmd_pool_prot(Service& service, ParamList& params, BatchResult& result);
ResultCode cmd_check(Service& service, ParamList& params, BatchResult& result);
ResultCode cmd_unload(Service& service, ParamList& params, BatchResult& result);
ResultCode cmd_load(Service& service, ParamList& params, BatchResult& result);
ResultCode cmd_delete(Service& service, ParamList& params, BatchResult& result);
ResultCode cmd_save(Service& service, ParamList& params, BatchResult& result);
ResultCode cmd_restore(Service& service, ParamList& params, BatchResult& result);
ResultCode cmd_recover(Service& service, ParamList& params, BatchResult& result);
ResultCode cmd_release(Service& service, ParamList& params, BatchResult& result);
ResultCode cmd_save_prot(Service& service, ParamList& params, BatchResult& result);

}  // namespace corvanta
