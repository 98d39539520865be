// Dispatch inside a service started on a temporary copy of the reference
// installation, with a command table of the test's own: a handler that
// throws ends its command with a code, and the service goes on.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <new>
#include <stdexcept>

#include "installation.h"
#include "shell/codes.h"
#include "shell/service.h"

namespace corvanta::testing {
namespace {

ResultCode throws_error(Service&, ParamList&, BatchResult&) {
  throw std::runtime_error("kaputt");
}

ResultCode throws_bad_alloc(Service&, ParamList&, BatchResult&) {
  throw std::bad_alloc();
}

ResultCode succeeds(Service&, ParamList&, BatchResult&) {
  return 0;
}

constexpr std::array<CommandEntry, 4> kTable{{
    {"BOOM", true, true, throws_error},
    {"OOM", true, true, throws_bad_alloc},
    {"FINE", true, true, succeeds},
    {"", false, false, nullptr},
}};

TEST(Dispatch, AnExceptionEndsOnlyItsCommand) {
  Installation inst;
  const std::filesystem::path previous = std::filesystem::current_path();
  std::filesystem::current_path(inst.path("work"));
  std::FILE* out = std::tmpfile();
  {
    Service service(stdin, out, kTable);
    ASSERT_EQ(service.configs.load_main_path("../etc/corvanta.cfg").code(), 0);
    ASSERT_EQ(service.system_init().code(), 0);
    BatchResult result(1000);
    ParamList params(kCommandLineEntries);
    std::int32_t expected[] = {codes::kUnexpectedError, codes::kOutOfMemory, 0};
    const char* words[] = {"BOOM", "OOM", "FINE"};
    for (int i = 0; i < 3; ++i) {
      params.parse(words[i]);
      EXPECT_EQ(service.dispatch(params, result).code(), expected[i]) << words[i];
      // The job record shows how the command ended.
      const std::optional<std::string> job = service.jobs.format(params.job_no);
      ASSERT_TRUE(job.has_value());
      char status[16];
      std::snprintf(status, sizeof status, "%04ld", static_cast<long>(expected[i]));
      EXPECT_NE(job->find(status), std::string::npos) << *job;
    }
    service.system_shutdown();
  }
  std::fclose(out);
  std::filesystem::current_path(previous);
}

}  // namespace
}  // namespace corvanta::testing
