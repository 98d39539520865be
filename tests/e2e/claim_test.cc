// CLAIM through the service on a copy of the reference installation with
// its sample vendors and orders: the orders due, one letter per vendor by
// post or e-mail, the claim written back with its next date and log entry,
// the conditions that pass an order over, and a run repeated the same day.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "installation.h"

namespace corvanta::testing {
namespace {

constexpr const char* kLogin = "login user=sys pass=KWP\n";

class ClaimTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const RunResult r =
        run("POOL_INIT POOL=A\n"
            "IMPORT POOL=A FILE=VDR TYPE=CORVANTA DATA=../data/vendors.txt DOUBLE=I\n"
            "IMPORT POOL=A FILE=VAD TYPE=CORVANTA DATA=../data/vendor_addresses.txt DOUBLE=I\n"
            "IMPORT POOL=A FILE=ORD TYPE=CORVANTA DATA=../data/orders.txt DOUBLE=I\n");
    ASSERT_EQ(r.output.find("CANCELLED"), std::string::npos) << r.output;
  }
  RunResult run(const std::string& commands) const {
    return inst_.run(std::string(kLogin) + commands + "end\n", "--status");
  }
  std::string order(int idn) const {
    std::filesystem::remove(inst_.path("temp/orders.out"));
    (void)run("EXPORT POOL=A FILE=ORD TYPE=CORVANTA FLAGS=IS DATA=../temp/orders.out\n");
    const std::string all = inst_.read("temp/orders.out");
    char head[32];
    std::snprintf(head, sizeof head, "IDN  %09d\n", idn);
    const std::size_t at = all.find(head);
    return at == std::string::npos ? std::string() : all.substr(at, all.find("\n\n", at) - at);
  }
  std::string letters(const std::string& out, char phase) const {
    const std::size_t at = out.find(" CLAIM ");
    if (at == std::string::npos || at < 6) return {};
    const std::string path = "temp/claims_ZB." + out.substr(at - 4, 4) + phase;
    return std::filesystem::exists(inst_.path(path)) ? inst_.read(path) : std::string();
  }
  Installation inst_;
};

TEST_F(ClaimTest, SampleOrdersClaimedOnce) {
  const RunResult r =
      run("CLAIM POOL=A SUBLIB=ZB SELECT=20261130\nUNLOAD POOL=A FILES=14 DATA=../temp/log.unl\n");
  ASSERT_EQ(r.exit_status, 0) << r.output;
  EXPECT_NE(r.output.find("POOL=A SUBLIB=ZB SELECT=20261130"), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("Briefe nach dem Postlauf: 1"), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("Briefe nach dem E-Mail-Lauf: 2"), std::string::npos) << r.output;
  // The post letter: vendor 1, its order without claims before the one
  // with a claim; the cancelled and the not yet due order are not in it.
  const std::string post = letters(r.output, 'L');
  EXPECT_NE(post.find("Buchhandlung Seitenweise"), std::string::npos) << post;
  EXPECT_LT(post.find("Bestellung 2026/00001"), post.find("Bestellung 2026/00002")) << post;
  EXPECT_NE(post.find("Reklamation Nr. 2"), std::string::npos);
  EXPECT_EQ(post.find("2026/00004"), std::string::npos);
  EXPECT_EQ(post.find("2026/00005"), std::string::npos);
  const std::string mail = letters(r.output, 'M');
  EXPECT_EQ(mail.rfind("## - HTML\n## - EMAIL_ADDRESS bestellung@medienversand.example\n", 0), 0u) << mail;
  EXPECT_NE(mail.find("Bestellung 2026/00003"), std::string::npos);

  // Order 2 had one claim: the second goes into occurrence 2.
  const std::string two = order(2);
  EXPECT_NE(two.find("139  2 "), std::string::npos) << two;
  EXPECT_NE(two.find("150  $$c20261001$$CBatch"), std::string::npos) << two;
  EXPECT_NE(two.find("150  $$c20261130$$CBatch"), std::string::npos) << two;
  EXPECT_NE(two.find("149  20261230"), std::string::npos) << two;  // 30 days on
  EXPECT_EQ(two.find("CLF"), std::string::npos) << two;
  EXPECT_EQ(order(4).find("150"), std::string::npos);
  EXPECT_EQ(order(5).find("150"), std::string::npos);
  // The log entry of each claimed order.
  const std::string log = inst_.read("temp/log.unl");
  std::size_t entries = 0;
  for (std::size_t at = log.find("Reklamation vom 30.11.2026 versandt"); at != std::string::npos;
       at = log.find("Reklamation vom 30.11.2026 versandt", at + 1))
    ++entries;
  EXPECT_EQ(entries, 3u);

  const RunResult again = run("CLAIM POOL=A SUBLIB=ZB SELECT=20261130\n");
  EXPECT_NE(again.output.find("Briefe nach dem E-Mail-Lauf: 0"), std::string::npos) << again.output;
  EXPECT_EQ(letters(again.output, 'L'), "");
}

TEST_F(ClaimTest, ConditionsOfAnOrder) {
  // Order 6: nine claims already; order 7: three claims, vendor 3 writes by
  // e-mail through 311$h; order 8: no claims flag.
  std::string orders =
      "IDN  000000006\n100  A\n102  2026/00006\n103  SV\n128  Y\n149  20250101\nVDR  $$L000000001\nSUB  ZB\n";
  for (int i = 1; i <= 10; ++i)
    orders += "150  $$c202501" + std::string(i < 10 ? "0" : "") + std::to_string(i) + "\n";
  orders +=
      "\nIDN  000000007\n100  A\n102  2026/00007\n103  SVX\n128  Y\n149  20250101\nVDR  $$L000000003\nSUB  "
      "ZB\n"
      "150  $$c20240101\n150  $$c20240201\n150  $$c20240301\n\n"
      "IDN  000000008\n100  A\n102  2026/00008\n103  SV\n128  N\n149  20250101\nVDR  $$L000000001\nSUB  "
      "ZB\n\n";
  inst_.write("data/more.txt", orders);
  inst_.write("data/vendor3.txt", "IDN  000000003\n100  Verlag Drei\n213  $$bEMAIL\n\n");
  inst_.write("data/vendor3a.txt", "IDN  000000003\n311  $$hdrei@verlag.example\n\n");
  RunResult r =
      run("IMPORT POOL=A FILE=VDR TYPE=CORVANTA DATA=../data/vendor3.txt DOUBLE=I\n"
          "IMPORT POOL=A FILE=VAD TYPE=CORVANTA DATA=../data/vendor3a.txt DOUBLE=I\n"
          "IMPORT POOL=A FILE=ORD TYPE=CORVANTA DATA=../data/more.txt DOUBLE=I\n");
  ASSERT_NE(r.output.find("Neu gespeichert: 3"), std::string::npos) << r.output;
  // Only order 7 passes the filter; the selection date is today.
  r = run("CLAIM POOL=A SUBLIB=ZB FILTER=\"IDN=7\"\n");
  ASSERT_EQ(r.exit_status, 0) << r.output;
  const std::string seven = order(7);
  EXPECT_NE(seven.find("150  $$c" + local_date("%Y%m%d") + "$$CBatch"), std::string::npos) << seven;
  EXPECT_NE(seven.find("139  4 "), std::string::npos) << seven;
  EXPECT_NE(letters(r.output, 'M').find("## - EMAIL_ADDRESS drei@verlag.example\n"), std::string::npos)
      << letters(r.output, 'M');
  EXPECT_EQ(order(1).find("150"), std::string::npos);  // filtered out

  r = run("CLAIM POOL=A SUBLIB=ZB SELECT=20261130\n");
  // Ten claims: reported and left alone; no claims flag: passed over.
  EXPECT_NE(inst_.read("temp/prot." + r.output.substr(r.output.find(" CLAIM ") - 4, 4))
                .find("Bestellung mit zehn Reklamationen übergangen: 2026/00006"),
            std::string::npos);
  EXPECT_EQ(order(6).find("139"), std::string::npos);
  EXPECT_EQ(order(8).find("150"), std::string::npos);

  // A selection date that is no date is refused: only an empty one is today.
  r = run("CLAIM POOL=A SUBLIB=ZB SELECT=1.12.26\n");
  EXPECT_NE(r.output.find("CANCELLED: 0011"), std::string::npos) << r.output;

  // Without the claim-date index nothing is claimed.
  std::string app = inst_.read("etc/library.app");
  app.replace(app.find("INDEX=CLD,NUMBER=6"), 18, "INDEX=CLX,NUMBER=6");
  inst_.write("etc/library.app", app);
  r = run("CLAIM POOL=A SUBLIB=ZB SELECT=20271130\n");
  EXPECT_NE(r.output.find("CANCELLED: 0011"), std::string::npos) << r.output;
}

}  // namespace
}  // namespace corvanta::testing
