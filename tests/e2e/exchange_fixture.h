// What the tests that load and unload records through the service share:
// a temporary installation with pool A set up, exchange files of the test
// data taken into its data directory, and command runs as the user SYS.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "installation.h"

namespace corvanta::testing {

class ExchangeTest : public ::testing::Test {
 protected:
  void SetUp() override { init_pool(); }
  // Sets up pool A anew (empty).
  void init_pool() {
    const RunResult r = inst_.run(login() + "POOL_INIT POOL=A\nend\n");
    ASSERT_EQ(r.exit_status, 0) << r.output;
  }
  // Copies an exchange file of the test data into data/ as `as`.
  void take(const std::string& name, const std::string& as) { inst_.take_exchange(name, as); }
  // The output of `commands`, run after a login and ended by END.
  std::string run(const std::string& commands) { return inst_.run(login() + commands + "end\n").output; }
  static std::string login() { return "login user=sys pass=KWP\n"; }

  Installation inst_;
};

}  // namespace corvanta::testing
