// A service started in this process on a temporary copy of the reference
// installation, its working directory made current, pool A initialised.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <memory>

#include "commands/command_table.h"
#include "indexing/terms.h"
#include "installation.h"
#include "pool/pool_service.h"
#include "scripting/psi_procedures.h"
#include "shell/service.h"

namespace corvanta::testing {

class InProcessService : public ::testing::Test {
 protected:
  void SetUp() override {
    previous_ = std::filesystem::current_path();
    std::filesystem::current_path(inst_.path("work"));
    prepare();
    out_ = std::tmpfile();
    service_ = std::make_unique<Service>(stdin, out_, command_table(), make_pool_procedures);
    ASSERT_EQ(service_->configs.load_main_path("../etc/corvanta.cfg").code(), 0);
    ASSERT_EQ(service_->system_init().code(), 0);
    ASSERT_EQ(service_->dbm.initialize("A", "../data/a").code(), 0);
  }
  void TearDown() override {
    (void)service_->dbm.close_all();
    service_->system_shutdown();
    service_.reset();
    std::fclose(out_);
    std::filesystem::current_path(previous_);
  }

  // Changes the installation's files before the service starts.
  virtual void prepare() {}
  // Makes the titles (A-BIB) current with the pool open, and loads the stop
  // words DER, DIE, UND and THE into list 1 of stop file 12.
  void open_titles() {
    ASSERT_EQ(service_->pools.select("A-BIB", records::kSelectFind | records::kSelectOpen).code(), 0);
    for (const char* w : {"DER", "DIE", "UND", "THE"}) {
      ASSERT_EQ(records::stp_add(service_->dbm, "A", 12, 1, w, "").code(), 0);
    }
  }

  Installation inst_;
  std::filesystem::path previous_;
  std::FILE* out_ = nullptr;
  std::unique_ptr<Service> service_;
};

}  // namespace corvanta::testing
