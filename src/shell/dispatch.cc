// Dispatch of one command through the command table, and EXECUTE, which runs
// a file of commands through the same table.
#include <cstdio>

#include "shell/codes.h"
#include "shell/command_table.h"
#include "shell/handlers.h"
#include "shell/line_reader.h"
#include "shell/params.h"
#include "util/text.h"

namespace corvanta {
namespace {

constexpr std::size_t kCommandFileRows = 10000;
constexpr int kMaxCommandFileDepth = 8;

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

std::string job_protocol_path(const Service& service, std::uint32_t job_no) {
  std::string prefix = service.configs.get(service.state.server_config, "Files", "UtilProt");
  if (prefix.empty()) prefix = "../temp/prot";
  char suffix[16];
  std::snprintf(suffix, sizeof suffix, ".%04lu", static_cast<unsigned long>(job_no));
  return prefix + suffix;
}

// The values a command file hands from one line to the next.
struct Inherited {
  std::string pool;      // 1 character
  std::string sublib;    // 10 characters
  std::string language;  // 3 characters

  void take_from(const ParamList& params) {
    pool = params.get_into("POOL", "", 1, true);
    sublib = params.get_into("SUBLIB", "", 10, true);
    language = params.get_into("LANGUAGE", "", 3, true);
  }
  void add_to(ParamList& params) const {
    if (!pool.empty()) params.add("POOL", pool);
    if (!sublib.empty()) params.add("SUBLIB", sublib);
    if (!language.empty()) params.add("LANGUAGE", language);
  }
};

// After every command the current pool is closed; a failure is not reported.
void close_current_pool(Service& service) {
  if (const dict::AppPoolDef* pool = service.pools.pool();
      pool != nullptr && service.dbm.find_pool(pool->name)) {
    (void)service.dbm.close(pool->name);
  }
  service.pools.clear();
}

// A command's changes are durable before it is reported done: the journal
// records it wrote are synced, and a failed sync is the command's result.
ResultCode journals_synced(Service& service, ResultCode rc) {
  const ResultCode synced = service.dbm.sync_journals();
  return rc.ok() && synced.failed() ? synced : rc;
}

}  // namespace

ResultCode Service::dispatch(ParamList& params, BatchResult& result) {
  const CommandEntry& row = find_command(params.command());
  current_params = &params;
  params.job_no = 0;

  if (row.job_log) {
    const User* user = users.current();
    (void)jobs.start(params.command(), user != nullptr ? user->name : "", params.job_no);
    reporter.open_job_protocol(job_protocol_path(*this, params.job_no));
  }
  if (row.cmd_log) reporter.command_log_line(params.job_no, params.command(), 1);

  if (const std::string_view sublib = params.get("SUBLIB"); !sublib.empty()) {
    state.current_sublib = std::string(cut_to(sublib, kMaxCurrentSublib));
  }

  ResultCode rc = 0;
  if (row.handler != nullptr) {
    rc = row.handler(*this, params, result);
  } else {
    help(*this, params.command());
  }
  rc = journals_synced(*this, rc);

  if (row.cmd_log) {
    if (rc.failed()) reporter.error_message(params.command(), rc.code());
    // A successful command ends with "END" whatever positive value it gave.
    reporter.command_log_line(params.job_no, params.command(), rc.failed() ? rc.code() : 0);
  }
  if (row.job_log) {
    reporter.close_job_protocol();
    (void)jobs.end(params.job_no, rc.code());
  }
  close_current_pool(*this);
  return rc;
}

ResultCode cmd_execute(Service& service, ParamList& params, BatchResult&) {
  const std::string path(params.get("COMMAND"));
  if (path.empty()) return codes::kCommandFile;
  if (service.command_file_depth >= kMaxCommandFileDepth) return codes::kCommandFilesNested;
  std::FILE* file = std::fopen(path.c_str(), "r");
  if (file == nullptr) return codes::kCommandFile;
  service.reporter.log_text("COMMAND=" + path, 0);

  Inherited inherited;
  inherited.take_from(params);
  BatchResult result(kCommandFileRows);
  ParamList line_params(kCommandLineEntries);
  const ParamList* outer_params = service.current_params;
  ++service.command_file_depth;

  bool too_long = false;
  while (const std::optional<std::string> line = read_line(file, kCommandLineSize, &too_long)) {
    if (line->empty() || line->front() == '\r' || line->front() == '!') continue;
    if (too_long) {
      service.reporter.error_message(overlong_line_text(*line), codes::kCommandLineTooLong);
      continue;
    }
    line_params.parse(*line);
    inherited.add_to(line_params);
    const CommandEntry& row = find_command(line_params.command());
    service.reporter.log_text(line_params.command(), 0);
    result.clear_for_command();
    line_params.job_no = params.job_no;
    if (row.handler == nullptr) continue;

    service.current_params = &line_params;
    const ResultCode rc = journals_synced(service, row.handler(service, line_params, result));
    inherited.take_from(line_params);
    if (rc.failed()) service.reporter.error_message(*line + "\n", rc.code());  // the line as read
    close_current_pool(service);
  }

  --service.command_file_depth;
  service.current_params = outer_params;
  std::fclose(file);
  return 0;
}

}  // namespace corvanta
