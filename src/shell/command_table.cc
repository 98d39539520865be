#include "shell/command_table.h"

#include <array>

#include "dbm/commands.h"
#include "shell/codes.h"
#include "shell/handlers.h"

namespace corvanta {
namespace {

// The handler of commands that this installation does not provide yet.
ResultCode not_available(Service&, ParamList&, BatchResult&) {
  return codes::kNotAvailable;
}

// DOWN and SETSHUT only check that the user may administer the system.
ResultCode cmd_down(Service& service, ParamList&, BatchResult&) {
  return service.users.check_permission(kPermissionAdm);
}

ResultCode cmd_setshut(Service& service, ParamList& params, BatchResult&) {
  (void)params.get("TIME");
  (void)params.get("WEEKDAY");
  return service.users.check_permission(kPermissionAdm);
}

constexpr auto kTable = std::to_array<CommandEntry>({
    {"APPEAL", true, true, not_available},
    {"ACQ_METHOD", true, true, not_available},
    {"BALANCE", true, true, not_available},
    {"REFRESH", true, true, not_available},
    {"BIND_VOLS", true, true, not_available},
    {"BORR_LIST", true, true, not_available},
    {"BLOCKDATE", true, true, not_available},
    {"BIB_LOANS", true, true, not_available},
    {"BUDG_CRO", true, true, not_available},
    {"BUDG_LIST", true, true, not_available},
    {"BUDG_SWAP", true, true, not_available},
    {"CASH_DEL", true, true, not_available},
    {"CASH_LIST", true, true, not_available},
    {"CHECK", true, true, cmd_check},
    {"CIRC_HITS", true, true, not_available},
    {"CLAIM", true, true, not_available},
    {"CURR_LIST", true, true, not_available},
    {"DDNOTIFY", true, true, not_available},
    {"DELETE", true, true, cmd_delete},
    {"DEL_FILE", true, true, not_available},
    {"DELREC", true, true, not_available},
    {"DELMASTER", true, true, not_available},
    {"DISPLAY", false, false, not_available},
    {"DOWN", false, false, cmd_down},
    {"END", false, false, nullptr},
    {"EXECUTE", true, true, cmd_execute},
    {"EXPORT", true, true, not_available},
    {"EXPLINK", true, true, not_available},
    {"FILTER", false, false, not_available},
    {"FILE_PUT", false, false, not_available},
    {"FILE_GET", false, false, not_available},
    {"MAIL_DIR", false, false, not_available},
    {"MAIL_FILE", true, true, not_available},
    {"PUBLISH", true, true, not_available},
    {"HELP", false, false, nullptr},
    {"HOLD_DEL", true, true, not_available},
    {"HOLD_LIST", true, true, not_available},
    {"GET_INFO", false, false, not_available},
    {"IGMSIGN", true, true, not_available},
    {"IMPORT", true, true, not_available},
    {"INDEX", true, true, not_available},
    {"ARRIVSTAT", true, true, not_available},
    {"CLAIM_ISS", true, true, not_available},
    {"ITEM_INV", true, true, not_available},
    {"ITEM_NEW", true, true, not_available},
    {"INVH_LIST", true, true, not_available},
    {"LINK", true, true, not_available},
    {"LIST", true, true, not_available},
    {"XLIST", true, true, not_available},
    {"LIST_SET", false, false, not_available},
    {"LOAD", true, true, cmd_load},
    {"LOAN_OVER", true, true, not_available},
    {"LOGIN", false, false, nullptr},
    {"NOTIFEE", true, true, not_available},
    {"NUMB_ADD", true, true, not_available},
    {"NUMB_DEL", true, true, not_available},
    {"NUMB_LIST", true, true, not_available},
    {"NUMB_SET", true, true, not_available},
    {"NUMB_UPD", true, true, not_available},
    {"NUMB_EXP", true, true, not_available},
    {"NUMB_IMP", true, true, not_available},
    {"ORDER", true, true, not_available},
    {"ORDR_LIST", true, true, not_available},
    {"PAY_LIST", true, true, not_available},
    {"PLIF_IMP", true, true, not_available},
    {"KELMOAVL", false, false, not_available},
    {"PRINT_DIR", false, false, not_available},
    {"PLIF_EXP", true, true, not_available},
    {"POOL_INIT", true, true, cmd_pool_init},
    {"POOL_PROT", true, true, cmd_pool_prot},
    {"PURGE", true, true, not_available},
    {"RECALL", true, true, not_available},
    {"RECOVER", true, true, cmd_recover},
    {"RELEASE", true, true, cmd_release},
    {"REMIND", true, true, not_available},
    {"REPORT", true, true, not_available},
    {"RESTORE", true, true, cmd_restore},
    {"ROUT_ITEM", true, true, not_available},
    {"ROUT_MEMB", true, true, not_available},
    {"ROUT_USER", true, true, not_available},
    {"RUN_PSI", true, true, not_available},
    {"SAVE", true, true, cmd_save},
    {"SAVE_PROT", true, true, cmd_save_prot},
    {"SCAN", false, false, not_available},
    {"SDI_GET", false, false, not_available},
    {"SDI_NEW", false, false, not_available},
    {"SDI_MODIFY", false, false, not_available},
    {"SDI_DELETE", false, false, not_available},
    {"SDI_SEARCH", false, false, not_available},
    {"SDI_ALL", true, true, not_available},
    {"SDI_RUN", true, true, not_available},
    {"SEARCH", false, false, not_available},
    {"GET", false, false, not_available},
    {"SETSHUT", false, false, cmd_setshut},
    {"SETUP_EXP", true, true, not_available},
    {"SETUP_IMP", true, true, not_available},
    {"SETUP_LOD", true, true, not_available},
    {"SETUP_GET", false, false, not_available},
    {"SETUP_PUT", true, true, not_available},
    {"SETUP_DEL", true, true, not_available},
    {"SETUP_DLB", true, true, not_available},
    {"STAT_GRP", true, true, not_available},
    {"STATISTIC", true, true, not_available},
    {"STOP_LOAD", true, true, not_available},
    {"STORD_CLM", true, true, not_available},
    {"SUBS_RENEW", true, true, not_available},
    {"TABLE_EXP", true, true, not_available},
    {"TABLE_IMP", true, true, not_available},
    {"TABLE_UPG", true, true, not_available},
    {"TABLE_LOD", true, true, not_available},
    {"TABLE_GET", false, false, not_available},
    {"TABLE_PUT", true, true, not_available},
    {"TABLE_DEL", true, true, not_available},
    {"TABLE_DLT", true, true, not_available},
    {"UNLOAD", true, true, cmd_unload},
    {"UPDATE", true, true, not_available},
    {"UPLOAD", true, true, not_available},
    {"CHECK_URL", true, true, not_available},
    {"USER_ADD", true, true, cmd_user_add},
    {"USER_COPY", true, true, cmd_user_copy},
    {"USER_DEL", true, true, cmd_user_del},
    {"USER_INFO", true, true, cmd_user_info},
    {"USER_LIST", true, true, cmd_user_list},
    {"USER_UPD", true, true, cmd_user_upd},
    {"VEND_LIST", true, true, not_available},
    {"VIEWLOG", false, false, cmd_viewlog},
    {"XFIND", false, false, not_available},
    {"XGETREC", false, false, not_available},
    {"XPUTREC", false, false, not_available},
    {"XNEWREC", false, false, not_available},
    {"XGETBOR", false, false, not_available},
    {"XPUTBOR", false, false, not_available},
    {"XDELREC", false, false, not_available},
    {"XINFO", false, false, not_available},
    {"XGET", false, false, not_available},
    {"RFID", true, true, not_available},
    {"", false, false, nullptr},
});

}  // namespace

std::span<const CommandEntry> command_table() {
  return kTable;
}

const CommandEntry& find_command(std::string_view word) {
  for (const CommandEntry& row : kTable) {
    if (row.name == word || row.name.empty()) return row;
  }
  return kTable.back();
}

}  // namespace corvanta
