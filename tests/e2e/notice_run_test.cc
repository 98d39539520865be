// The notice run's order of a letter and its changes, through REMIND on a
// copy of the reference installation: when a later addressee's letter
// cannot be written, the addressees before it keep their changes, its own
// records stay as they were, the run ends with the error line naming it,
// and the e-mail phase does not run.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "installation.h"

namespace corvanta::testing {
namespace {

constexpr const char* kLogin = "login user=sys pass=KWP\n";

constexpr const char* kSetUp =
    "POOL_INIT POOL=A\n"
    "LOAD POOL=A DATA=../data/sample.unl\n"
    "SETUP_IMP POOL=A DATA=../data/policy.txt\n"
    "IMPORT POOL=A FILE=ADR TYPE=CORVANTA DATA=../data/addresses.txt DOUBLE=I\n"
    "IMPORT POOL=A FILE=USR TYPE=CORVANTA DATA=../data/borrowers.txt DOUBLE=I\n"
    "IMPORT POOL=A FILE=ITM TYPE=CORVANTA DATA=../data/items.txt DOUBLE=I\n"
    "IMPORT POOL=A FILE=LOA TYPE=CORVANTA DATA=../data/loans.txt DOUBLE=I\n";

class NoticeRunTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const RunResult r = inst_.run(std::string(kLogin) + kSetUp + "end\n");
    ASSERT_EQ(r.output.find("CANCELLED"), std::string::npos) << r.output;
  }
  RunResult run(const std::string& commands) const {
    return inst_.run(std::string(kLogin) + commands + "end\n", "--status");
  }
  std::string loans() const {
    const RunResult r = run("EXPORT POOL=A FILE=LOA TYPE=CORVANTA FLAGS=IS DATA=../temp/loans.out\n");
    EXPECT_EQ(r.output.find("CANCELLED"), std::string::npos) << r.output;
    const std::string text = inst_.read("temp/loans.out");
    std::remove(inst_.path("temp/loans.out").c_str());
    return text;
  }
  static std::string loan(const std::string& all, int idn) {
    char head[32];
    std::snprintf(head, sizeof head, "IDN  %09d\n", idn);
    const std::size_t at = all.find(head);
    if (at == std::string::npos) return {};
    return all.substr(at, all.find("\n\n", at) - at);
  }
  Installation inst_;
};

// The post phase writes to Anna Schmidt (borrower 1: loans 1 and 2), then
// to Clara Vogt (borrower 3: loan 4); Bernd Keller (borrower 2: loan 3)
// is written to by e-mail. The stylesheet refuses Clara Vogt's letter.
TEST_F(NoticeRunTest, LetterThatCannotBeWrittenLeavesItsAddresseeUnchanged) {
  const std::string before = loans();
  const std::string sheet = inst_.read("etc/styles/LETTER.xsl");
  const std::string head = "<xsl:template match=\"/PRINTOUT\">";
  std::string refusing = sheet;
  ASSERT_NE(refusing.find(head), std::string::npos);
  refusing.insert(refusing.find(head) + head.size(),
                  "<xsl:if test=\"contains(., 'Vogt')\"><xsl:message terminate=\"yes\">no</xsl:message>"
                  "</xsl:if>");
  inst_.write("etc/styles/LETTER.xsl", refusing);

  const RunResult r = run("REMIND POOL=A SUBLIB=ZB SELECT=30.11.2026\n");
  EXPECT_NE(r.exit_status, 0) << r.output;
  const std::string protocol = inst_.read("temp/prot." + r.output.substr(r.output.find(" REMIND ") - 4, 4));
  EXPECT_NE(protocol.find("Error -459 on BEN=0000003 CNT=02 VBU=0000000"), std::string::npos) << protocol;
  EXPECT_NE(r.output.find("Briefe nach dem Postlauf: 1"), std::string::npos) << r.output;
  EXPECT_EQ(r.output.find("Briefe nach dem E-Mail-Lauf"), std::string::npos) << r.output;

  const std::string after = loans();
  for (const int idn : {1, 2})
    EXPECT_NE(loan(after, idn).find("120  1"), std::string::npos) << loan(after, idn);
  for (const int idn : {3, 4}) EXPECT_EQ(loan(after, idn), loan(before, idn));

  // With the stylesheet mended, the next run reminds the rest once.
  inst_.write("etc/styles/LETTER.xsl", sheet);
  const RunResult again = run("REMIND POOL=A SUBLIB=ZB SELECT=30.11.2026\n");
  ASSERT_EQ(again.exit_status, 0) << again.output;
  EXPECT_NE(again.output.find("Briefe nach dem E-Mail-Lauf: 2"), std::string::npos) << again.output;
  const std::string last = loans();
  EXPECT_NE(loan(last, 3).find("120  1"), std::string::npos) << loan(last, 3);
  EXPECT_NE(loan(last, 4).find("120  2"), std::string::npos) << loan(last, 4);
  EXPECT_EQ(loan(last, 1), loan(after, 1));
}

}  // namespace
}  // namespace corvanta::testing
