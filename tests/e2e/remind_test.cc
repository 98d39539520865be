// REMIND through the service on a copy of the reference installation with
// its sample borrowers, items and loans: the reminders due on a selection
// date, the letters of the post and e-mail phases, the counters written
// back, closed days, rules without letters, the counter's end at 9, a run
// repeated the same day, restore and recovery, and bad set-ups that must
// change nothing.
#include <gtest/gtest.h>

#include <filesystem>
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

std::size_t count_of(const std::string& text, const std::string& what) {
  std::size_t n = 0;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

class RemindTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const RunResult r = inst_.run(std::string(kLogin) + kSetUp + "end\n");
    ASSERT_EQ(r.output.find("CANCELLED"), std::string::npos) << r.output;
    ASSERT_EQ(count_of(r.output, "Neu gespeichert: "), 4u) << r.output;
  }
  RunResult run(const std::string& commands) const {
    return inst_.run(std::string(kLogin) + commands + "end\n", "--status");
  }
  // The loans as the service's own text form, one record a paragraph.
  std::string loans() const {
    std::filesystem::remove(inst_.path("temp/loans.out"));
    const RunResult r = run("EXPORT POOL=A FILE=LOA TYPE=CORVANTA FLAGS=IS DATA=../temp/loans.out\n");
    EXPECT_EQ(r.output.find("CANCELLED"), std::string::npos) << r.output;
    return inst_.read("temp/loans.out");
  }
  // The paragraph of one loan.
  std::string loan(const std::string& all, int idn) const {
    char head[32];
    std::snprintf(head, sizeof head, "IDN  %09d\n", idn);
    const std::size_t at = all.find(head);
    if (at == std::string::npos) return {};
    return all.substr(at, all.find("\n\n", at) - at);
  }
  // The letters file of the phase of the run whose output is `out`.
  std::string letters(const std::string& out, const std::string& sublib, char phase) const {
    const std::size_t at = out.find(" REMIND ");
    if (at == std::string::npos || at < 6) return {};
    const std::string job = out.substr(at - 4, 4);
    const std::string path = "temp/remind_" + sublib + "." + job + phase;
    return std::filesystem::exists(inst_.path(path)) ? inst_.read(path) : std::string();
  }
  std::string output_files() const {
    std::string names;
    for (const auto& e : std::filesystem::directory_iterator(inst_.path("temp"))) {
      const std::string name = e.path().filename().string();
      if (name.rfind("remind_", 0) == 0) names += name + " ";
    }
    return names;
  }
  Installation inst_;
};

TEST_F(RemindTest, SampleRunRemindsTheDueLoansOnce) {
  const RunResult r = run("REMIND POOL=A SUBLIB=ZB SELECT=30.11.2026\n");
  ASSERT_EQ(r.exit_status, 0) << r.output;
  for (const char* line :
       {"POOL=A SUBLIB=ZB SELECT=20261130", "Stichtag: 20261130", "Briefe nach dem Postlauf: 2",
        "Briefe nach dem E-Mail-Lauf: 3", "Mahnstufe 1\n", "Mahnungen dieser Stufe: 3", "Mahnstufe 2\n",
        "Mahnungen dieser Stufe: 1", "Gebühren gesamt: 7.00", "Porto gesamt: 0.85"}) {
    EXPECT_NE(r.output.find(line), std::string::npos) << line << "\n" << r.output;
  }
  // The post phase: Anna Schmidt's letter, then Clara Vogt's appended.
  const std::string post = letters(r.output, "ZB", 'L');
  EXPECT_EQ(count_of(post, "## - HTML\n"), 2u) << post;
  EXPECT_LT(post.find("Schmidt, Anna"), post.find("Vogt, Clara"));
  EXPECT_EQ(post.find("Keller"), std::string::npos);
  EXPECT_NE(post.find("Der Garten im Winter"), std::string::npos);  // the item's title, through two links
  EXPECT_NE(post.find("F&auml;llig seit: 02.11.2026 &middot; Geb&uuml;hr: 1.50 EUR"), std::string::npos)
      << post;
  EXPECT_NE(post.find("Offener Betrag mit Porto: 3.85 EUR"), std::string::npos);
  EXPECT_EQ(post.find("Gärten im Dezember"), std::string::npos);
  // The e-mail phase: Bernd Keller only, addressed to his e-mail address.
  const std::string mail = letters(r.output, "ZB", 'M');
  EXPECT_EQ(mail.rfind("## - HTML\n## - EMAIL_ADDRESS bernd.keller@example.org\n"
                       "## - SUBJECT Nachricht Ihrer Stadtbibliothek Beispielstadt\n",
                       0),
            0u)
      << mail;
  EXPECT_NE(mail.find("Keller, Bernd"), std::string::npos);

  const std::string all = loans();
  const std::string stamp = "121  " + local_date("%Y%m%d");
  for (const int idn : {1, 2, 3}) {
    EXPECT_NE(loan(all, idn).find("120  1"), std::string::npos) << loan(all, idn);
    EXPECT_NE(loan(all, idn).find(stamp), std::string::npos) << loan(all, idn);
  }
  EXPECT_NE(loan(all, 4).find("120  2"), std::string::npos) << loan(all, 4);
  EXPECT_EQ(loan(all, 5).find("120"), std::string::npos);  // not yet due
  EXPECT_EQ(loan(all, 6).find("120"), std::string::npos);  // status C
  EXPECT_EQ(loan(all, 7).find(stamp), std::string::npos);  // renewed, due again later
  EXPECT_EQ(all.find("F01"), std::string::npos);           // the fine field is transient

  // The same selection again: everything due was reminded today.
  const RunResult again = run("REMIND POOL=A SUBLIB=ZB SELECT=30.11.2026\n");
  ASSERT_EQ(again.exit_status, 0) << again.output;
  EXPECT_NE(again.output.find("Briefe nach dem E-Mail-Lauf: 0"), std::string::npos) << again.output;
  EXPECT_NE(again.output.find("Gebühren gesamt: 0.00"), std::string::npos);
  EXPECT_EQ(letters(again.output, "ZB", 'L'), "");
  EXPECT_EQ(letters(again.output, "ZB", 'M'), "");
  EXPECT_EQ(loans(), all);
}

// Loan 2 is due on Friday 20 November; seven open days with the Sunday
// closed end on Saturday 28, not on Friday 27.
TEST_F(RemindTest, SundayIsNotCounted) {
  RunResult r = run("REMIND POOL=A SUBLIB=ZB SELECT=27.11.2026\n");
  ASSERT_EQ(r.exit_status, 0) << r.output;
  std::string post = letters(r.output, "ZB", 'L');
  EXPECT_NE(post.find("02.11.2026"), std::string::npos) << post;
  EXPECT_EQ(post.find("20.11.2026"), std::string::npos) << post;
  r = run("REMIND POOL=A SUBLIB=ZB SELECT=28.11.2026\n");
  post = letters(r.output, "ZB", 'L');
  EXPECT_NE(post.find("F&auml;llig seit: 20.11.2026"), std::string::npos) << post;
  EXPECT_EQ(post.find("02.11.2026"), std::string::npos) << post;  // reminded today already
}

// A sub-library of its own: a closed Thursday, a rule without letter, the
// last level, a renewed loan and a loan reminded after the selection date.
TEST_F(RemindTest, CalendarRulesAndLevels) {
  inst_.write("data/hb.txt",
              "(OpeningHB)\n20250306 = C\n\n"
              // Open on Sundays, unlike the general entries of the library.
              "(WeekdaysHB)\nSun = Open\n\n"
              "(ReminderHB)\n"
              "####0 = PERIOD=7, LETTER=Y, FINE=1.00\n"
              "####9 = PERIOD=0, FINE=9.00\n"
              "03##0 = PERIOD=0, LETTER=N, FINE=4.00\n"
              "04##0 = PERIOD=2000000000, FINE=x\n"
              "05##0 = PERIOD=7x, FINE=1.00\n"
              "06##0 = PERIOD=0, LETTER=n , FINE=1e3\n\n"
              "(BorrFinesHB)\n## = POST=1.00, EMAIL=0.50\n");
  auto loan_text = [](int idn, const std::string& due, const std::string& status, int borrower,
                      const std::string& sent, const std::string& last, const std::string& sublib) {
    char numbers[64];
    std::snprintf(numbers, sizeof numbers, "IDN  %09d\n", idn);
    std::string out = numbers;
    out += "100  A\n103  " + due + "\n110  " + status + "\n111  01\n";
    if (!sent.empty()) out += "120  " + sent + "\n";
    if (!last.empty()) out += "121  " + last + "\n";
    std::snprintf(numbers, sizeof numbers, "BOR  $$L%09d\n", borrower);
    out += numbers;
    return out + "ITM  $$L000000001\nSUB  " + sublib + "\n\n";
  };
  std::string loans_hb;
  loans_hb += loan_text(11, "20250303", "01", 1, "", "", "HB");           // due Monday, Thursday closed
  loans_hb += loan_text(12, "20250301", "03", 1, "", "", "HB");           // no letter
  loans_hb += loan_text(13, "20250101", "01", 3, "9", "20250201", "HB");  // the last level
  loans_hb += loan_text(14, "20250301", "01", 3, "2", "20250210", "HB");  // renewed after its reminder
  loans_hb += loan_text(15, "20250101", "01", 2, "1", "20250315", "HB");  // reminded after the selection
  loans_hb += loan_text(16, "20250101", "01", 4, "", "", "ZB");           // another sub-library
  loans_hb += loan_text(17, "20250101", "04", 4, "", "", "HB");           // a period of millions of days
  loans_hb += loan_text(18, "20250101", "05", 4, "", "", "HB");           // a period that is no number
  loans_hb += loan_text(19, "20250101", "06", 4, "", "", "HB");           // no letter, no amount
  inst_.write("data/hb_loans.txt", loans_hb);
  RunResult r =
      run("SETUP_IMP POOL=A DATA=../data/hb.txt\n"
          "IMPORT POOL=A FILE=LOA TYPE=CORVANTA DATA=../data/hb_loans.txt DOUBLE=I\n");
  ASSERT_EQ(r.exit_status, 0) << r.output;
  ASSERT_NE(r.output.find("Neu gespeichert: 9"), std::string::npos) << r.output;

  // Loan 11: seven open days from Monday 3 March with Thursday closed end
  // on Tuesday 11 March, eight calendar days after its due date.
  r = run("REMIND POOL=A SUBLIB=HB SELECT=20250310\n");
  ASSERT_EQ(r.exit_status, 0) << r.output;
  for (const char* line :
       {"Briefe nach dem Postlauf: 1", "Briefe nach dem E-Mail-Lauf: 1", "Mahnstufe 1\n",
        "Mahnungen dieser Stufe: 3", "Mahnstufe 10\n", "Gebühren gesamt: 14.00", "Porto gesamt: 1.00"}) {
    EXPECT_NE(r.output.find(line), std::string::npos) << line << "\n" << r.output;
  }
  std::string all = loans();
  EXPECT_EQ(loan(all, 11).find("120"), std::string::npos) << loan(all, 11);
  EXPECT_NE(loan(all, 12).find("120  1"), std::string::npos) << loan(all, 12);
  EXPECT_NE(loan(all, 13).find("120  9"), std::string::npos) << loan(all, 13);
  EXPECT_NE(loan(all, 14).find("120  1"), std::string::npos) << loan(all, 14);
  EXPECT_NE(loan(all, 15).find("121  20250315"), std::string::npos) << loan(all, 15);
  EXPECT_EQ(loan(all, 16).find("120"), std::string::npos) << loan(all, 16);
  EXPECT_EQ(loan(all, 17).find("120"), std::string::npos) << loan(all, 17);
  EXPECT_EQ(loan(all, 18).find("120"), std::string::npos) << loan(all, 18);
  EXPECT_NE(loan(all, 19).find("120  1"), std::string::npos) << loan(all, 19);
  // One letter, Clara Vogt's, with both loans; Anna Schmidt's rule wrote
  // none and charged no postage. Open: 1.00 + 9.00 and the postage.
  std::string post = letters(r.output, "HB", 'L');
  EXPECT_EQ(count_of(post, "## - HTML\n"), 1u) << post;
  EXPECT_EQ(post.find("Schmidt"), std::string::npos);
  EXPECT_EQ(count_of(post, "F&auml;llig seit"), 2u);
  EXPECT_NE(post.find("Offener Betrag mit Porto: 11.00 EUR"), std::string::npos) << post;

  r = run("REMIND POOL=A SUBLIB=HB SELECT=11.03.2025\n");
  ASSERT_EQ(r.exit_status, 0) << r.output;
  EXPECT_NE(r.output.find("Briefe nach dem Postlauf: 1"), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("Gebühren gesamt: 1.00"), std::string::npos) << r.output;
  all = loans();
  EXPECT_NE(loan(all, 11).find("120  1"), std::string::npos) << loan(all, 11);
  // Anna Schmidt's balance holds the fine without letter from the first run.
  post = letters(r.output, "HB", 'L');
  EXPECT_NE(post.find("Offener Betrag mit Porto: 6.00 EUR"), std::string::npos) << post;
}

TEST_F(RemindTest, RestoreAndRecoverBringBackLoansAndBalances) {
  ASSERT_EQ(run("SAVE POOL=A PATH=../save\n").exit_status, 0);
  RunResult r = run("REMIND POOL=A SUBLIB=ZB SELECT=30.11.2026\nUNLOAD POOL=A DATA=../temp/after.unl\n");
  ASSERT_EQ(r.exit_status, 0) << r.output;
  r = run("RESTORE POOL=A PATH=../save CONFIRM=N RECOVER=Y\nUNLOAD POOL=A DATA=../temp/again.unl\n");
  ASSERT_EQ(r.exit_status, 0) << r.output;
  const std::string after = inst_.read("temp/after.unl");
  ASSERT_FALSE(after.empty());
  EXPECT_TRUE(after == inst_.read("temp/again.unl"));
  // The loans came back reminded: a new run finds nothing due.
  r = run("REMIND POOL=A SUBLIB=ZB SELECT=30.11.2026\n");
  EXPECT_NE(r.output.find("Gebühren gesamt: 0.00"), std::string::npos) << r.output;
}

TEST_F(RemindTest, BadSetUpsEndBeforeAnyChange) {
  const std::string before = loans();
  auto expect_refused = [&](const std::string& commands, const std::string& code) {
    const RunResult r = run(commands);
    EXPECT_NE(r.output.find("CANCELLED: " + code), std::string::npos) << r.output;
    EXPECT_NE(r.exit_status, 0);
    EXPECT_EQ(loans(), before);
    EXPECT_EQ(output_files(), "");
  };
  // An output directory that does not exist.
  expect_refused("REMIND POOL=A SUBLIB=ZB SELECT=30.11.2026 OUTPUT=../temp/none/remind\n", "0456");
  // A selection date that is no date.
  expect_refused("REMIND POOL=A SUBLIB=ZB SELECT=31.02.2026\n", "0011");
  // The letter's stylesheet is missing.
  std::filesystem::rename(inst_.path("etc/styles/LETTER.xsl"), inst_.path("etc/styles/LETTER.off"));
  expect_refused("REMIND POOL=A SUBLIB=ZB SELECT=30.11.2026\n", "0461");
  std::filesystem::rename(inst_.path("etc/styles/LETTER.off"), inst_.path("etc/styles/LETTER.xsl"));
  // A stylesheet that fails at the first letter: nothing is written.
  const std::string letter = inst_.read("etc/styles/LETTER.xsl");
  inst_.write("etc/styles/LETTER.xsl", letter.substr(0, letter.size() / 2));
  expect_refused("REMIND POOL=A SUBLIB=ZB SELECT=30.11.2026\n", "0459");
  inst_.write("etc/styles/LETTER.xsl", letter);
  // A form of the letter is not defined.
  std::string app = inst_.read("etc/library.app");
  const std::string app_before = app;
  app.replace(app.find("FORM=LOAN_REMFOOT"), 17, "FORM=LOAN_OTHER");
  inst_.write("etc/library.app", app);
  expect_refused("REMIND POOL=A SUBLIB=ZB SELECT=30.11.2026\n", "0455");
  // Without the due-date index.
  app = app_before;
  app.replace(app.find("INDEX=DDT,NUMBER=5"), 18, "INDEX=DUE,NUMBER=5");
  inst_.write("etc/library.app", app);
  expect_refused("REMIND POOL=A SUBLIB=ZB SELECT=30.11.2026\n", "0011");
}

// The post phase writes to Anna Schmidt (borrower 1: loans 1 and 2), then
// to Clara Vogt (borrower 3: loan 4); Bernd Keller (borrower 2: loan 3)
// is written to by e-mail. The stylesheet refuses Clara Vogt's letter.
TEST_F(RemindTest, LetterThatCannotBeWrittenLeavesItsAddresseeUnchanged) {
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
