// Number counters through the service on a copy of the reference
// installation: the counter commands, the numbers records get when they are
// imported, two processes numbering at once, and a kill in the middle of an
// import followed by restore and recovery.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <regex>
#include <set>
#include <string>
#include <thread>

#include "installation.h"

namespace corvanta::testing {
namespace {

constexpr const char* kLogin = "login user=sys pass=KWP\n";

// `n` items whose barcode field names the counter `name`.
std::string items(int n, const std::string& name) {
  std::string text;
  for (int i = 0; i < n; ++i) text += "200  " + name + "\n210  Signatur " + std::to_string(i) + "\n\n";
  return text;
}

class NumberingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const RunResult r =
        run("POOL_INIT POOL=A\nNUMB_ADD POOL=A FILE=ITM NAME=ZBCOPY GROUP=1 PATTERN=DDDDDD\n");
    ASSERT_EQ(r.output.find("CANCELLED"), std::string::npos) << r.output;
  }
  RunResult run(const std::string& commands) const {
    return inst_.run(std::string(kLogin) + commands + "end\n", "--status");
  }
  // The barcodes (field 200) of all items.
  std::vector<std::string> barcodes() const {
    const RunResult r = run("EXPORT POOL=A FILE=ITM TYPE=CORVANTA DATA=../temp/items.out\n");
    EXPECT_EQ(r.output.find("CANCELLED"), std::string::npos) << r.output;
    std::vector<std::string> out;
    const std::string text = inst_.read("temp/items.out");
    const std::regex line("(^|\n)200  ([^ \n]*)");
    for (auto it = std::sregex_iterator(text.begin(), text.end(), line); it != std::sregex_iterator(); ++it)
      out.push_back((*it)[2]);
    return out;
  }
  long counter() const {
    const RunResult r = run("NUMB_LIST POOL=A FILE=ITM\n");
    std::smatch m;
    if (!std::regex_search(r.output, m, std::regex("ITM  001  ZBCOPY      ([0-9]{9})"))) return -1;
    return std::stol(m[1]);
  }
  // Every numbered item has its own number, and they are 1 up to the
  // counter's value.
  void expect_counter_and_records_agree() const {
    std::set<long> numbers;
    for (const std::string& b : barcodes()) {
      ASSERT_NE(b, "ZBCOPY") << "an item was stored without its number";
      EXPECT_TRUE(numbers.insert(std::stol(b)).second) << "number " << b << " given twice";
    }
    const long last = counter();
    EXPECT_EQ(static_cast<long>(numbers.size()), last);
    if (!numbers.empty()) {
      EXPECT_EQ(*numbers.begin(), 1);
      EXPECT_EQ(*numbers.rbegin(), last);
    }
  }
  Installation inst_;
};

TEST_F(NumberingTest, CommandsAndNumbersOfImportedRecords) {
  inst_.write("data/new.txt", items(2, "ZBCOPY") + "200  OLD\n\n200  OLD\n\n200  NONE\n\n");
  RunResult r =
      run("NUMB_ADD POOL=A FILE=ITM NAME=ZBCOPY GROUP=1 PATTERN=DDD\n"  // there already
          "NUMB_ADD POOL=A FILE=ITM NAME=BAD GROUP=1 PATTERN=DDX\n"
          "NUMB_ADD POOL=A FILE=ITM NAME=OLD GROUP=9 PATTERN=DDD\n"  // no such group
          "NUMB_ADD POOL=A FILE=ITM NAME=OLD GROUP=1 PATTERN=\"\"\"ZB\"\"DDD\"\n"
          "NUMB_SET POOL=A FILE=ITM NAME=OLD GROUP=1 VALUE=998\n"
          "NUMB_LIST POOL=A FILE=ITM\n"
          "IMPORT POOL=A FILE=ITM TYPE=CORVANTA DATA=../data/new.txt\n"
          "NUMB_LIST POOL=A FILE=ITM\n");
  EXPECT_NE(r.output.find("CANCELLED: 0232"), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("PATTERN=DDX : 11 - "), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("GROUP=9 PATTERN=DDD : 11 - "), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("ITM  001  OLD         000000998  \"ZB\" + DDD  NEXT:  ZB999\n"), std::string::npos)
      << r.output;
  EXPECT_NE(r.output.find("ITM  001  ZBCOPY      000000000  DDDDDD  NEXT:  000001\n"), std::string::npos);
  // The listing made its preview on a copy; the import took the numbers.
  EXPECT_NE(r.output.find("ITM  001  OLD         000001000  \"ZB\" + DDD  NEXT:  ZB1001\n"),
            std::string::npos);
  EXPECT_EQ(barcodes(), (std::vector<std::string>{"000001", "000002", "ZB999", "ZB1000", "NONE"}));

  // Export, delete, import: the same counters again.
  r =
      run("NUMB_EXP POOL=A DATA=../temp/counters.txt\n"
          "NUMB_DEL POOL=A FILE=ITM NAME=OLD GROUP=1\n"
          "NUMB_DEL POOL=A FILE=ITM NAME=OLD GROUP=1\n");
  EXPECT_NE(r.output.find("Entladen: FILE ITM : 2"), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("NAME=OLD GROUP=1 : 11 - "), std::string::npos) << r.output;
  EXPECT_EQ(inst_.read("temp/counters.txt"),
            "ITM:001 NAME=OLD,PATTERN=\"ZB\" + DDD,COUNTER=000001000\n"
            "ITM:001 NAME=ZBCOPY,PATTERN=DDDDDD,COUNTER=000000002\n");
  inst_.write("temp/counters.txt", inst_.read("temp/counters.txt") +
                                       "XYZ:001 NAME=A,PATTERN=D,COUNTER=1\n"
                                       "ITM:001 NAME=WRAP,PATTERN=D,COUNTER=4294967296\n"
                                       "ITM:001 NAME=NEG,PATTERN=D,COUNTER=-1\n"
                                       "ITM:001 NAME=B,PATTERN=Q,COUNTER=1\n"
                                       "not a counter line\n");
  r = run("NUMB_IMP POOL=A DATA=../temp/counters.txt\nNUMB_LIST POOL=A FILE=ITM\n");
  EXPECT_NE(r.output.find("ITM:001 NAME=ZBCOPY : 232 - "), std::string::npos) << r.output;
  EXPECT_NE(r.output.find(": 152 - "), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("ITM:001 NAME=B : 11 - "), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("Geladen: FILE ITM : 1"), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("ITM  001  OLD         000001000"), std::string::npos) << r.output;
  EXPECT_EQ(r.output.find("WRAP"), std::string::npos) << r.output;  // not a counter's line: skipped
  EXPECT_EQ(r.output.find("NEG "), std::string::npos) << r.output;

  // A counter at its last number gives no more: the import ends there.
  inst_.write("data/last.txt", items(2, "ZBCOPY"));
  r =
      run("NUMB_SET POOL=A FILE=ITM NAME=ZBCOPY GROUP=1 VALUE=4294967295\n"
          "NUMB_LIST POOL=A FILE=ITM\n"
          "IMPORT POOL=A FILE=ITM TYPE=CORVANTA DATA=../data/last.txt\n");
  EXPECT_NE(r.output.find("ZBCOPY      4294967295  DDDDDD  NEXT:  -"), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("CANCELLED: 0225"), std::string::npos) << r.output;
  EXPECT_EQ(r.output.find("Neu gespeichert"), std::string::npos) << r.output;
}

// A record that cannot be stored gives its number back.
TEST_F(NumberingTest, RecordNotStoredSkipsNoNumber) {
  inst_.write("data/twice.txt",
              "IDN  000000001\n200  ZBCOPY\n\nIDN  000000001\n200  ZBCOPY\n\n200  ZBCOPY\n\n");
  const RunResult r = run("IMPORT POOL=A FILE=ITM TYPE=CORVANTA DATA=../data/twice.txt DOUBLE=I\n");
  EXPECT_NE(r.output.find("Neu gespeichert: 2"), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("Fehlerhaft: 1"), std::string::npos) << r.output;
  EXPECT_EQ(barcodes(), (std::vector<std::string>{"000001", "000002"}));
  EXPECT_EQ(counter(), 2);
}

TEST_F(NumberingTest, TwoProcessesNeverShareANumber) {
  inst_.write("data/a.txt", items(300, "ZBCOPY"));
  inst_.write("data/b.txt", items(300, "ZBCOPY"));
  const int pid = inst_.start(std::string(kLogin) +
                              "IMPORT POOL=A FILE=ITM TYPE=CORVANTA DATA=../data/a.txt DOUBLE=I\nend\n");
  ASSERT_GT(pid, 0);
  const RunResult b = run("IMPORT POOL=A FILE=ITM TYPE=CORVANTA DATA=../data/b.txt DOUBLE=I\n");
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  const std::string a = inst_.read("temp/started.txt");
  // Each import stored all its items, or was refused because the other one
  // had the pool open.
  for (const std::string& out : {a, b.output}) {
    EXPECT_TRUE(out.find("Neu gespeichert: 300") != std::string::npos || out.find("211") != std::string::npos)
        << out;
  }
  expect_counter_and_records_agree();
}

TEST_F(NumberingTest, KilledImportLeavesCounterAndRecordsInStep) {
  inst_.write("data/many.txt", items(2000, "ZBCOPY"));
  ASSERT_EQ(run("SAVE POOL=A PATH=../save\n").exit_status, 0);
  const std::string import =
      std::string(kLogin) + "IMPORT POOL=A FILE=ITM TYPE=CORVANTA DATA=../data/many.txt DOUBLE=I\nend\n";
  const auto started = std::chrono::steady_clock::now();
  ASSERT_NE(inst_.run(import).output.find("Neu gespeichert: 2000"), std::string::npos);
  const auto length = std::chrono::steady_clock::now() - started;
  constexpr int kPoints = 3;
  for (int k = 0; k < kPoints; ++k) {
    SCOPED_TRACE("kill point " + std::to_string(k));
    // Back to the empty file, saved anew: the journal holds only what the
    // killed import wrote.
    ASSERT_EQ(run("RESTORE POOL=A PATH=../save CONFIRM=N RECOVER=N\nSAVE POOL=A PATH=../save\n")
                  .output.find("CANCELLED"),
              std::string::npos);
    const int pid = inst_.start(import);
    std::this_thread::sleep_for(length * (2 * k + 1) / (2 * kPoints));
    ::kill(pid, SIGKILL);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    const RunResult r = run("RESTORE POOL=A PATH=../save CONFIRM=N RECOVER=Y\n");
    ASSERT_EQ(r.output.find("CANCELLED"), std::string::npos) << r.output;
    expect_counter_and_records_agree();
  }
}

}  // namespace
}  // namespace corvanta::testing
