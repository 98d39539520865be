// The record update service's sequence of checks, duplicate test and store
// as the importer takes it: the IDN reserved for a record is given back in
// the record's unit whenever the record is not stored as new, so that the
// pool never keeps a number without its record.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "imex/update_service.h"
#include "pool/pool_service.h"
#include "service_fixture.h"
#include "shell/service.h"

namespace corvanta::testing {
namespace {

std::string transfer(const std::string& tag, const std::string& content) {
  char head[8];
  std::snprintf(head, sizeof head, "%04zu", tag.size() + 3 + content.size());
  return head + tag + "   " + content;
}

class StoreSequenceTest : public InProcessService {
 protected:
  void SetUp() override {
    InProcessService::SetUp();
    if (HasFatalFailure()) return;
    open_titles();
  }
  void record(const std::string& text, records::RecordHandle& h) {
    EXPECT_EQ(imex::parse_transfer_text(text, file(), h, service_->pools.max_record(), false, false).code(),
              0);
  }
  std::uint32_t next_idn() {
    records::RecordHandle probe;
    EXPECT_EQ(service_->pools.idn_peek(pool(), file(), probe).code(), 0);
    return probe.idn;
  }
  std::string title(std::uint32_t idn) {
    records::RecordHandle h;
    if (service_->pools.rec_read(pool(), file(), idn, h, service_->pools.max_record(), records::kExternalForm)
            .code() != 0)
      return "absent";
    return imex::write_transfer_text(h);
  }
  const dict::AppPoolDef& pool() { return *service_->pools.pool(); }
  const dict::FileDef& file() { return *service_->pools.file()->data; }
  static imex::StoreSteps import_steps() {
    imex::StoreSteps steps;
    steps.reserve_idn = true;
    steps.check_procedure = true;
    steps.tag_names = true;
    steps.link_mode = 'I';
    steps.refuse_on_check = true;
    steps.give_back_numbers = true;
    return steps;
  }
};

TEST_F(StoreSequenceTest, AReservedIdnGoesBackUnlessTheRecordIsStoredAsNew) {
  imex::RecordUpdateService updates(service_->pools, service_->configs, service_->state.server_config);
  imex::UpdateOutcome out;

  // Refused by a check: no number is used up, the record leaves without one.
  const std::uint32_t first = next_idn();
  records::RecordHandle bad;
  record(transfer("245", "$$aErster") + transfer("XYZ", "x"), bad);
  out = imex::UpdateOutcome{};
  ASSERT_EQ(updates.check_and_store(pool(), file(), bad, import_steps(), {}, out).code(), 0);
  EXPECT_EQ(out.end, imex::StoreEnd::Refused);
  EXPECT_TRUE(out.refused_by.empty());
  EXPECT_EQ(out.check_messages.rfind("Tag XYZ: ", 0), 0u) << out.check_messages;
  EXPECT_EQ(bad.idn, 0u);
  EXPECT_EQ(next_idn(), first);

  // Stored as new under the number reserved for it.
  records::RecordHandle good;
  record(transfer("245", "$$aZweiter"), good);
  out = imex::UpdateOutcome{};
  ASSERT_EQ(updates.check_and_store(pool(), file(), good, import_steps(), {}, out).code(), 0);
  EXPECT_EQ(out.end, imex::StoreEnd::Stored);
  EXPECT_EQ(out.stored_as, imex::UpdateOp::Insert);
  EXPECT_EQ(good.idn, first);
  EXPECT_EQ(next_idn(), first + 1);

  // A duplicate that updates the stored record, and one that is stopped:
  // both give the reserved number back.
  int tests = 0;
  imex::DuplicateVerdict::Kind answer = imex::DuplicateVerdict::UpdateStored;
  const imex::DuplicateTest test = [&](records::RecordHandle& h, bool reserved, imex::DuplicateVerdict& v) {
    ++tests;
    EXPECT_TRUE(reserved);
    EXPECT_EQ(h.idn, first + 1);
    v.kind = answer;
    v.idn = first;
    return ResultCode(0);
  };
  records::RecordHandle again;
  record(transfer("245", "$$aDritter"), again);
  out = imex::UpdateOutcome{};
  ASSERT_EQ(updates.check_and_store(pool(), file(), again, import_steps(), test, out).code(), 0);
  EXPECT_EQ(out.end, imex::StoreEnd::Stored);
  EXPECT_EQ(out.stored_as, imex::UpdateOp::Update);
  EXPECT_EQ(again.idn, first);
  EXPECT_NE(title(first).find("Dritter"), std::string::npos) << title(first);
  EXPECT_EQ(next_idn(), first + 1);

  answer = imex::DuplicateVerdict::Stop;
  records::RecordHandle stopped;
  record(transfer("245", "$$aVierter"), stopped);
  out = imex::UpdateOutcome{};
  ASSERT_EQ(updates.check_and_store(pool(), file(), stopped, import_steps(), test, out).code(), 0);
  EXPECT_EQ(out.end, imex::StoreEnd::Stopped);
  EXPECT_EQ(stopped.idn, 0u);
  EXPECT_EQ(next_idn(), first + 1);
  EXPECT_EQ(title(first + 1), "absent");
  EXPECT_EQ(tests, 2);
}

}  // namespace
}  // namespace corvanta::testing
