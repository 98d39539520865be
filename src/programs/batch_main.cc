// corvanta-batch: the batch service. Reads commands from standard input in
// the working directory beside the installation's etc and temp directories.
//
// Options: --status makes the exit status tell a scheduler whether the run
// went well (0 when no command failed, 1 when any did); without it the
// status is always 0. --help and --version print and end without starting
// the service. Anything else is a wrong call (status 2).
#include <csignal>
#include <cstdio>
#include <exception>
#include <new>
#include <string>
#include <string_view>

#include "commands/command_table.h"
#include "scripting/psi_procedures.h"
#include "shell/codes.h"
#include "shell/service.h"

namespace {

constexpr const char* kUsage =
    "Usage: corvanta-batch [--status]\n"
    "Reads batch commands from standard input, one per line, in a working\n"
    "directory beside the installation's etc and temp directories.\n"
    "  --status   exit status 1 when any command failed, else 0 (without it: always 0)\n"
    "  --help     print this text and end\n"
    "  --version  print the version and end\n";

}  // namespace

int main(int argc, char** argv) {
  bool status = false;
  // A file grown past the process's size limit fails the write (a result
  // code) instead of ending the process.
  std::signal(SIGXFSZ, SIG_IGN);
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--help") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (arg == "--version") {
      std::printf("Corvanta %d.%d Batch Service\n", corvanta::kVersionMajor, corvanta::kVersionMinor);
      return 0;
    }
    if (arg != "--status") {
      std::fprintf(stderr, "corvanta-batch: unknown option %s\n%s", argv[i], kUsage);
      return 2;
    }
    status = true;
  }
  // Nothing escapes: an error the service did not expect ends it in order
  // (the service's destructor closes pools, logs and files) with a numbered
  // message, and counts as a failure for --status.
  corvanta::Service service(stdin, stdout, corvanta::command_table(), corvanta::make_pool_procedures);
  try {
    service.run();
  } catch (const std::bad_alloc&) {
    service.reporter.error_message("Service", corvanta::codes::kOutOfMemory);
  } catch (const std::exception& e) {
    service.reporter.error_message(std::string("Service: ") + e.what(), corvanta::codes::kUnexpectedError);
  }
  return status && service.reporter.failures_reported() ? 1 : 0;
}
