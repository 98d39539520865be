#include "shell/jobs.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <set>

#include "scratch_dir.h"
#include "shell/job_format.h"

namespace corvanta {
namespace {

class JobsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = corvanta::testing::make_scratch_dir("jobs");
    job_ = dir_ + "/job.log";
    seq_ = dir_ + "/job.seq";
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  std::string bytes_of(const std::string& path) const { return corvanta::testing::read_file(path); }

  std::string dir_, job_, seq_;
};

TEST(JobFormat, RecordBytesFollowTheLayout) {
  JobRecord r;
  r.number = 0x01020304;
  r.command = "VERYLONGCOMMAND";  // 15 characters: stored as 10
  r.user = "SYS";
  r.start_time = 0x11223344;
  r.end_time = 0;
  r.status = -12;
  const JobRecordBytes b = encode_job_record(r);
  const unsigned char expected[kJobRecordSize] = {
      0x01, 0x02, 0x03, 0x04, 'V', 'E', 'R',  'Y',  'L',  'O',  'N', 'G', 'C', 'O', 'S',  'Y',  'S',  0,
      0,    0,    0,    0,    0,   0,   0x11, 0x22, 0x33, 0x44, 0,   0,   0,   0,   0xFF, 0xFF, 0xFF, 0xF4};
  EXPECT_TRUE(std::equal(b.begin(), b.end(), expected));
  const JobRecord back = decode_job_record(b);
  EXPECT_EQ(back.command, "VERYLONGCO");
  EXPECT_EQ(back.user, "SYS");
  EXPECT_EQ(back.status, -12);
  EXPECT_EQ(back.start_time, 0x11223344u);

  const auto s = encode_job_sequence({7, 1, 100});
  const unsigned char seq[kSequenceSize] = {0, 0, 0, 7, 0, 0, 0, 1, 0, 0, 0, 100};
  EXPECT_TRUE(std::equal(s.begin(), s.end(), seq));
}

TEST_F(JobsTest, NewFilesHaveTheirSizes) {
  JobLog jobs;
  jobs.open(job_, seq_, 100);
  ASSERT_TRUE(jobs.is_open());
  EXPECT_EQ(std::filesystem::file_size(job_), 3636u);
  const std::string seq = bytes_of(seq_);
  EXPECT_EQ(seq, std::string("\0\0\0\0\0\0\0\x01\0\0\0\x64", 12));
}

TEST_F(JobsTest, NumbersCycleAndSlotsAreReused) {
  JobLog jobs;
  jobs.open(job_, seq_, 3);
  std::vector<std::uint32_t> numbers;
  for (const char* word : {"A", "B", "C", "D"}) {
    std::uint32_t n = 0;
    ASSERT_EQ(jobs.start(word, "SYS", n).code(), 0);
    numbers.push_back(n);
  }
  EXPECT_EQ(numbers, (std::vector<std::uint32_t>{1, 2, 3, 1}));
  ASSERT_TRUE(jobs.format(1).has_value());
  EXPECT_EQ(jobs.format(1)->substr(0, 29), "000001 D          SYS        ");
  EXPECT_EQ(jobs.format(1)->substr(29, 4), "0001");  // still running
  EXPECT_EQ(jobs.format(1)->substr(jobs.format(1)->size() - 19), std::string(19, ' '));

  ASSERT_EQ(jobs.end(1, -12).code(), 0);
  EXPECT_EQ(jobs.format(1)->substr(29, 4), "-012");
  EXPECT_NE(jobs.format(1)->substr(jobs.format(1)->size() - 19), std::string(19, ' '));
  EXPECT_FALSE(jobs.format(4).has_value());  // beyond the cycle: the spare empty record
}

TEST_F(JobsTest, StepsWrapAndStopAtEmptySlots) {
  JobLog jobs;
  jobs.open(job_, seq_, 5);
  std::uint32_t n = 0;
  for (int i = 0; i < 3; ++i) ASSERT_EQ(jobs.start("X", "U", n).code(), 0);
  std::uint32_t at = 0;
  ASSERT_TRUE(jobs.previous(at));
  EXPECT_EQ(at, 3u);  // from 0: the newest
  ASSERT_TRUE(jobs.previous(at));
  ASSERT_TRUE(jobs.previous(at));
  EXPECT_EQ(at, 1u);
  EXPECT_FALSE(jobs.previous(at));  // would wrap to 5, which is empty
  EXPECT_EQ(at, 1u);
  at = 3;
  EXPECT_FALSE(jobs.next(at));
  EXPECT_EQ(at, 3u);
  for (int i = 0; i < 2; ++i) ASSERT_EQ(jobs.start("X", "U", n).code(), 0);
  at = 5;
  ASSERT_TRUE(jobs.next(at));
  EXPECT_EQ(at, 1u);
  at = 1;
  ASSERT_TRUE(jobs.previous(at));
  EXPECT_EQ(at, 5u);
}

TEST_F(JobsTest, WithoutTheirFilesJobsGetNoNumber) {
  {
    JobLog jobs;
    jobs.open("", seq_, 10);  // no job file name: no records
    EXPECT_FALSE(jobs.is_open());
    std::uint32_t n = 5;
    EXPECT_EQ(jobs.start("X", "U", n).code(), -1);
    EXPECT_EQ(n, 0u);
    EXPECT_FALSE(std::filesystem::exists(seq_));
  }
  {
    JobLog jobs;
    jobs.open(job_, seq_, 10);
  }
  std::filesystem::remove(seq_);
  JobLog jobs;
  jobs.open(job_, seq_, 10);
  std::uint32_t n = 99;
  EXPECT_EQ(jobs.start("X", "U", n).code(), -801);
  EXPECT_EQ(n, 0u);
  EXPECT_FALSE(std::filesystem::exists(seq_));  // not made again
  std::uint32_t number = 0;
  EXPECT_EQ(sequence_next(seq_, number).code(), -801);
  std::ofstream(seq_) << "short";
  EXPECT_EQ(sequence_next(seq_, number).code(), -802);
}

// Several processes start on a new installation at the same moment and take
// numbers as fast as they can: no number is handed out twice.
TEST_F(JobsTest, ProcessesNeverShareANumber) {
  constexpr int kProcesses = 4;
  constexpr int kJobs = 150;
  int go[2];
  ASSERT_EQ(::pipe(go), 0);
  std::vector<std::string> outputs;
  std::vector<pid_t> children;
  for (int p = 0; p < kProcesses; ++p) {
    const std::string out = dir_ + "/numbers." + std::to_string(p);
    outputs.push_back(out);
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      ::close(go[1]);
      char c;
      (void)::read(go[0], &c, 1);  // wait until all are forked
      JobLog jobs;
      jobs.open(job_, seq_, 100000);
      std::ofstream f(out);
      for (int i = 0; i < kJobs; ++i) {
        std::uint32_t n = 0;
        if (jobs.start("T", "U", n).failed()) ::_exit(1);
        f << n << "\n";
      }
      f.close();
      ::_exit(0);
    }
    children.push_back(pid);
  }
  ::close(go[0]);
  ::close(go[1]);  // releases every child at once
  for (pid_t pid : children) {
    int status = 0;
    ::waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  std::set<std::uint32_t> seen;
  for (const std::string& out : outputs) {
    std::ifstream in(out);
    std::uint32_t n;
    while (in >> n) EXPECT_TRUE(seen.insert(n).second) << "number " << n << " handed out twice";
  }
  EXPECT_EQ(seen.size(), static_cast<std::size_t>(kProcesses * kJobs));
  EXPECT_EQ(*seen.rbegin(), static_cast<std::uint32_t>(kProcesses * kJobs));
}

}  // namespace
}  // namespace corvanta
