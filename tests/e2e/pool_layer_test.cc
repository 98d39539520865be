// The pool service layer inside a service started on a temporary copy of
// the reference installation: selection with its open flags, the file
// reconciliation on open, and the access masks of the pool definition.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>

#include "commands/command_table.h"
#include "pool/pool_service.h"
#include "service_fixture.h"
#include "shell/service.h"

namespace corvanta::testing {
namespace {

using PoolLayerTest = InProcessService;

TEST_F(PoolLayerTest, SelectionByNameAndOpenFlags) {
  records::PoolLayer& pools = service_->pools;
  EXPECT_EQ(pools.select("A-BIB", 0).code(), 0);  // flags 0 and 2 select nothing
  EXPECT_EQ(pools.pool(), nullptr);
  EXPECT_EQ(pools.select("A-BIB", 2).code(), 0);
  EXPECT_EQ(pools.pool(), nullptr);
  EXPECT_EQ(pools.select("Q-BIB", records::kSelectFind).code(), records::kNoSuchPool);
  EXPECT_EQ(pools.select("A-XYZ", records::kSelectFind).code(), records::kNoSuchFileName);
  ASSERT_EQ(pools.select("A-LOANS", records::kSelectFind).code(), 0);  // cut to "LOA"
  ASSERT_NE(pools.file(), nullptr);
  EXPECT_EQ(pools.file()->number, 3);
  EXPECT_EQ(service_->dbm.find_pool("A"), nullptr);  // found, not opened

  // Opening creates every defined file of the new pool and attaches the
  // journal.
  ASSERT_EQ(pools.select("A-BIB", records::kSelectFind | records::kSelectOpen).code(), 0);
  dbm::Pool* open = service_->dbm.find_pool("A");
  ASSERT_NE(open, nullptr);
  for (const dict::FileDef* def : pools.pool()->data->file_defs) {
    EXPECT_NE(open->file(def->number), nullptr) << def->number;
  }
  EXPECT_EQ(service_->dbm.close("A").code(), 0);
}

TEST_F(PoolLayerTest, AccessMasksOfThePoolDefinition) {
  records::PoolLayer& pools = service_->pools;
  ASSERT_EQ(pools.make_current("A").code(), 0);
  // ACCDIS=ALL, ACCINS=1+2+3, ACCUPD=1+2+3, ACCDEL=1+2
  EXPECT_EQ(pools.access_check(8, nullptr, records::kAccessDisplay).code(), 0);
  EXPECT_EQ(pools.access_check(3, nullptr, records::kAccessInsert).code(), 0);
  EXPECT_EQ(pools.access_check(4, nullptr, records::kAccessUpdate).code(), records::kNoAccess);
  EXPECT_EQ(pools.access_check(2, nullptr, records::kAccessDelete).code(), 0);
  EXPECT_EQ(pools.access_check(3, nullptr, records::kAccessDelete).code(), records::kNoAccess);
  EXPECT_EQ(pools.access_check(0, nullptr, records::kAccessDelete).code(), 0);  // no group: no check
}

}  // namespace
}  // namespace corvanta::testing
