// The commands of the service itself: EXECUTE runs a file of commands
// through the command table, VIEWLOG pages through the job records, DOWN and
// SETSHUT check the administration right.
#include <cerrno>
#include <cstdio>

#include "commands/handlers.h"
#include "shell/codes.h"
#include "shell/command_files.h"
#include "shell/line_reader.h"
#include "shell/support.h"
#include "util/posix_io.h"
#include "util/text.h"

namespace corvanta {
namespace {

constexpr std::size_t kCommandFileRows = 10000;
constexpr int kMaxCommandFileDepth = 8;

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

}  // namespace

ResultCode cmd_execute(Service& service, ParamList& params, BatchResult&) {
  const std::string path(params.get("COMMAND"));
  if (path.empty()) return codes::kCommandFile;
  if (service.command_file_depth >= kMaxCommandFileDepth) return codes::kCommandFilesNested;
  if (const ResultCode rc = check_command_file(service, path, FileUse::Read); rc.failed()) return rc;
  std::FILE* file = open_regular_file(path);  // a FIFO put there meanwhile is refused too
  if (file == nullptr) return errno == EINVAL ? codes::kNotARegularFile : codes::kCommandFile;
  service.reporter.log_text("COMMAND=" + path, 0);

  Inherited inherited;
  inherited.take_from(params);
  BatchResult result(kCommandFileRows);
  ParamList line_params(kCommandLineEntries);
  const ParamList* outer_params = service.current_params;
  ++service.command_file_depth;

  // Every line runs; the first failure is the command file's result, so
  // that its job shows that not all went well.
  ResultCode first_failure = 0;
  auto failed = [&](std::string_view context, ResultCode rc) {
    service.reporter.error_message(context, rc.code());
    if (first_failure.ok()) first_failure = rc;
  };
  bool too_long = false;
  bool first_line = true;
  while (std::optional<std::string> line = read_line(file, kCommandLineSize, &too_long)) {
    if (first_line && line->rfind("\xEF\xBB\xBF", 0) == 0) line->erase(0, 3);  // a UTF-8 mark
    first_line = false;
    if (line->empty() || line->front() == '\r' || line->front() == '!') continue;
    if (too_long) {
      failed(overlong_line_text(*line), codes::kCommandLineTooLong);
      continue;
    }
    line_params.parse(*line);
    if (line_params.command().empty()) continue;  // blanks only
    inherited.add_to(line_params);
    const CommandEntry& row = service.find_command(line_params.command());
    service.reporter.log_text(line_params.command(), 0);
    result.clear_for_command();
    line_params.job_no = params.job_no;
    if (row.name.empty()) {
      // Only the word is shown: the file may be no command file at all.
      failed(line_params.command(), codes::kUnknownCommand);
      continue;
    }
    if (row.handler == nullptr) continue;  // END, HELP and LOGIN do nothing here

    service.current_params = &line_params;
    const ResultCode rc = service.run_handler(row, line_params, result);
    inherited.take_from(line_params);
    if (rc.failed()) failed(*line + "\n", rc);  // the line as read
    service.close_current_pool();
  }

  --service.command_file_depth;
  service.current_params = outer_params;
  std::fclose(file);
  return first_failure;
}

ResultCode cmd_viewlog(Service& service, ParamList& params, BatchResult& result) {
  const JobLog& jobs = service.jobs;
  long given = parse_long(params.get("JOBNO"));
  std::uint32_t number = given > 0 ? static_cast<std::uint32_t>(given) : 0;
  const std::string page = upper(params.get("PAGE"));
  if (page == "F") {
    (void)jobs.next(number);
  } else if (page == "B") {
    for (int i = 0; i < 59 && jobs.next(number); ++i) {
    }
  }
  std::string text = "JOBLOG=";
  for (int i = 0; i < 30 && jobs.previous(number); ++i) {
    text += *jobs.format(number);
    text += '\n';
  }
  bat_add_row(service, "JOBNO=" + std::to_string(number), result);
  bat_add_row(service, text, result);
  return 0;
}

ResultCode cmd_down(Service& service, ParamList&, BatchResult&) {
  return bat_admin(service);
}

ResultCode cmd_setshut(Service& service, ParamList& params, BatchResult&) {
  (void)params.get("TIME");
  (void)params.get("WEEKDAY");
  return bat_admin(service);
}

}  // namespace corvanta
