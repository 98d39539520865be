// Dispatch of one command through the command table.
#include "shell/command_table.h"
#include "util/text.h"

namespace corvanta {
namespace {

void help(Service& service, std::string_view word) {
  if (word.empty()) return;
  if (equal_nocase(word, "HELP")) {
    for (const CommandEntry& row : command_table()) {
      if (!row.name.empty()) service.reporter.screen_text(row.name, 0);
    }
    return;
  }
  service.reporter.screen_text(
      "Invalid command \"" + std::string(word) + "\" - type \"help\" for list of services", 0);
}

}  // namespace

ResultCode Service::dispatch(ParamList& params, BatchResult& result) {
  const CommandEntry& row = find_command(params.command());
  current_params = &params;
  params.job_no = 0;

  if (const std::string_view sublib = params.get("SUBLIB"); !sublib.empty()) {
    state.current_sublib = std::string(cut_to(sublib, kMaxCurrentSublib));
  }

  ResultCode rc = 0;
  if (row.handler != nullptr) {
    rc = row.handler(*this, params, result);
  } else {
    help(*this, params.command());
  }
  return rc;
}

}  // namespace corvanta
