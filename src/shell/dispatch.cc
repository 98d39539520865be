// Dispatch of one command through the command table.
#include <cstdio>
#include <exception>
#include <new>

#include "shell/codes.h"
#include "shell/params.h"
#include "shell/service.h"
#include "util/text.h"

namespace corvanta {
namespace {

void help(Service& service, std::string_view word) {
  if (word.empty()) return;
  if (equal_nocase(word, "HELP")) {
    for (const CommandEntry& row : service.commands) {
      if (!row.name.empty()) service.reporter.screen_text(row.name, 0);
    }
    return;
  }
  service.reporter.screen_text(
      "Invalid command \"" + std::string(word) + "\" - type \"help\" for list of services", 0);
  service.reporter.note_failure();
}

std::string job_protocol_path(const Service& service, std::uint32_t job_no) {
  char suffix[16];
  std::snprintf(suffix, sizeof suffix, ".%04lu", static_cast<unsigned long>(job_no));
  return service.job_protocol_prefix() + suffix;
}

}  // namespace

const CommandEntry& find_command(CommandTable table, std::string_view word) {
  for (const CommandEntry& row : table) {
    if (row.name == word || row.name.empty()) return row;
  }
  return table.back();
}

const CommandEntry& Service::find_command(std::string_view word) const {
  return corvanta::find_command(commands, word);
}

// A command's changes are durable before it is reported done: the journal
// records it wrote are synced, and a failed sync is the command's result. An
// exception out of a handler ends the command with a code of its own, and
// the service goes on with the next one.
ResultCode Service::run_handler(const CommandEntry& row, ParamList& params, BatchResult& result) {
  ResultCode rc = 0;
  try {
    rc = row.handler(*this, params, result);
  } catch (const std::bad_alloc&) {
    rc = codes::kOutOfMemory;
  } catch (const std::exception& e) {
    reporter.screen_text(e.what(), 0);
    rc = codes::kUnexpectedError;
  }
  const ResultCode synced = dbm.sync_journals();
  return rc.ok() && synced.failed() ? synced : rc;
}

// After every command the current pool is closed; a failure is not reported.
void Service::close_current_pool() {
  if (const dict::AppPoolDef* pool = pools.pool(); pool != nullptr && dbm.find_pool(pool->name)) {
    (void)dbm.close(pool->name);
  }
  pools.clear();
}

ResultCode Service::dispatch(ParamList& params, BatchResult& result) {
  const CommandEntry& row = find_command(params.command());
  current_params = &params;
  params.job_no = 0;

  // A command that should run as a job but gets no number or record would
  // leave no trace in the job file: it does not run, and its failure is
  // reported instead. Without a configured job file commands run unnumbered.
  ResultCode rc = 0;
  if (row.job_log) {
    const User* user = users.current();
    const ResultCode started = jobs.start(params.command(), user != nullptr ? user->name : "", params.job_no);
    if (started.failed() && jobs.configured()) rc = started;
    if (rc.ok()) reporter.open_job_protocol(job_protocol_path(*this, params.job_no));
  }
  if (row.cmd_log) reporter.command_log_line(params.job_no, params.command(), 1);

  if (const std::string_view sublib = params.get("SUBLIB"); !sublib.empty()) {
    state.current_sublib = std::string(cut_to(sublib, kMaxCurrentSublib));
  }

  if (rc.failed()) {
    // reported below
  } else if (row.handler != nullptr) {
    rc = run_handler(row, params, result);
  } else {
    help(*this, params.command());
  }

  if (row.cmd_log) {
    if (rc.failed()) reporter.error_message(params.command(), rc.code());
    // A successful command ends with "END" whatever positive value it gave.
    reporter.command_log_line(params.job_no, params.command(), rc.failed() ? rc.code() : 0);
  }
  if (row.job_log) {
    reporter.close_job_protocol();
    (void)jobs.end(params.job_no, rc.code());
  }
  close_current_pool();
  return rc;
}

}  // namespace corvanta
