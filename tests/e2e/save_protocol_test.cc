// The save protocol under stress, end to end: changes in the second of a
// save, pools in use by another process, and the service or a journalling
// writer killed at many points of SAVE, RESTORE, RELEASE and a run of
// changes. After each kill RESTORE and RECOVER must give exactly the saved
// state plus every acknowledged change, and a save set must always be
// restorable.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <string>
#include <thread>

#include "installation.h"
#include "pool_fixture.h"

namespace corvanta::testing {
namespace {

using namespace std::chrono_literals;

bool cancelled(const RunResult& r) {
  return r.output.find("CANCELLED") != std::string::npos;
}

// The commands that put the pool back: a check of what a killed command
// left, the newest save set, the journal replayed, and a check of the
// result, which must find no error.
void restore_and_recover(Installation& inst) {
  const RunResult r = inst.run(std::string(kLogin) +
                               "CHECK POOL=A\nRESTORE POOL=A PATH=../save CONFIRM=N RECOVER=Y\n"
                               "CHECK POOL=A\nend\n");
  EXPECT_FALSE(cancelled(r)) << r.output;
  const std::size_t last_check = r.output.rfind("========> ");
  ASSERT_NE(last_check, std::string::npos) << r.output;
  EXPECT_EQ(r.output.compare(last_check, 18, "========> 0 Errors"), 0) << r.output;
}

class SaveProtocol : public PoolCommands {
 protected:
  // Kills the service running `commands` after `delay` (unless it ended).
  void kill_after(const std::string& commands, std::chrono::microseconds delay) {
    const int pid = inst_.start(std::string(kLogin) + commands + "end\n");
    ASSERT_GT(pid, 0);
    std::this_thread::sleep_for(delay);
    ::kill(pid, SIGKILL);
    int status = 0;
    EXPECT_EQ(::waitpid(pid, &status, 0), pid);
  }
  // How long `commands` take when nothing stops them.
  std::chrono::microseconds length_of(const std::string& commands) {
    const auto started = std::chrono::steady_clock::now();
    const RunResult r = run(commands);
    EXPECT_FALSE(cancelled(r)) << r.output;
    return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - started);
  }
};

// A change right after SAVE, in the same second, must be replayed; one
// right before it must not be replayed a second time.
TEST_F(SaveProtocol, ChangesInTheSecondOfASaveAreKeptOnce) {
  RunResult r =
      run("SAVE POOL=A PATH=../save RELEASE=N\n"
          "USER_ADD NAME=late PERM=JOB POOL=A FUNC=POL\n"
          "RELEASE POOL=A\n"
          "RESTORE POOL=A PATH=../save CONFIRM=N RECOVER=Y\n"
          "USER_INFO NAME=late POOL=A\n");
  EXPECT_FALSE(cancelled(r)) << r.output;
  EXPECT_NE(r.output.find("PERM=JOB"), std::string::npos) << r.output;

  {
    PoolWriter w(inst_, now());
    for (int i = 0; i < 3; ++i) w.add_item(1, 77);  // one item, counted three times
  }
  const Snapshot counted = snapshot(inst_);
  r = run("SAVE POOL=A PATH=../save RELEASE=N\nRESTORE POOL=A PATH=../save CONFIRM=N RECOVER=Y\n");
  EXPECT_FALSE(cancelled(r)) << r.output;
  EXPECT_EQ(snapshot(inst_), counted);
}

// While another process writes to the pool, the commands that copy, check
// or rewrite its files are refused and write nothing.
TEST_F(SaveProtocol, APoolInUseIsRefused) {
  {
    PoolWriter w(inst_, now() - 10);
    w.put(1, "saved");
  }
  ASSERT_FALSE(cancelled(run("SAVE POOL=A PATH=../save RELEASE=N\n")));
  const std::string set = inst_.read("save/DDA.S00");
  inst_.write("save/DDA.S00.new", "a copy SAVE is still writing");
  {
    PoolWriter loader(inst_, now(), 'R');  // a LOAD, or a SAVE at work
    loader.put(2, "loading");
    const RunResult r =
        run("SAVE POOL=A PATH=../save\nCHECK POOL=A\nUNLOAD POOL=A DATA=../temp/a.unl\n"
            "RESTORE POOL=A PATH=../save CONFIRM=N RECOVER=N\nPOOL_INIT POOL=A\n");
    EXPECT_TRUE(lacks(r.output, {" END\n", "0 Errors"}));
    EXPECT_TRUE(contains(r.output, {"SAVE POOL=A PATH=../save : 211 - ", "POOL_INIT POOL=A : 211 - "}));
    EXPECT_EQ(inst_.read("save/DDA.S00"), set);
    EXPECT_TRUE(std::filesystem::exists(inst_.path("save/DDA.S00.new")));
    EXPECT_FALSE(std::filesystem::exists(inst_.path("temp/a.unl")));
  }
  EXPECT_EQ(snapshot(inst_).at({kDataFile, key_of(2, 14)}), "loading");
  EXPECT_FALSE(cancelled(run("SAVE POOL=A PATH=../save\n")));
}

// A replay over a pool left open by a writer that was cut off would apply
// changes twice: RECOVER wants it restored first. A journal that is no
// regular file is refused, not waited on.
TEST_F(SaveProtocol, RecoverWantsAPoolLeftOpenRestoredAndAJournalToBeAFile) {
  ASSERT_FALSE(cancelled(run("SAVE POOL=A PATH=../save RELEASE=N\n")));
  {
    PoolWriter w(inst_, now());
    w.add_item(1, 5);
  }
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    dbm::Dbm d(dbm::default_file_system(), stderr);
    ::_exit(d.open("A", inst_.path("data/a"), 'U').code() == 0 ? 0 : 1);  // never closed
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  RunResult r = run("RECOVER POOL=A\n");
  EXPECT_NE(r.output.find("CANCELLED: 0022"), std::string::npos) << r.output;
  r = run("RESTORE POOL=A PATH=../save CONFIRM=N RECOVER=Y\n");
  EXPECT_FALSE(cancelled(r)) << r.output;

  std::filesystem::remove(inst_.path("save/a.sav"));
  ASSERT_EQ(::mkfifo(inst_.path("save/a.sav").c_str(), 0664), 0);
  r =
      run("USER_ADD NAME=late PERM=JOB POOL=A FUNC=POL\nRECOVER POOL=A\nRELEASE POOL=A\nSAVE_PROT POOL=A "
          "FROM=20000101 TO=0\n");
  EXPECT_EQ(r.exit_status, 0) << r.output;  // not stopped by the time-out
  EXPECT_TRUE(contains(r.output, {"USER_ADD NAME=late PERM=JOB POOL=A FUNC=POL : 226 - ",
                                  "RECOVER POOL=A : 13 - ", "RELEASE POOL=A : 13 - "}));
  EXPECT_EQ(r.output.find(" END\n"), std::string::npos) << r.output;
}

// The journal cut off in its last record (a crash before the sync) holds
// no acknowledged change there: RESTORE, RECOVER and RELEASE take it for
// the end, and the next change is appended in its place.
TEST_F(SaveProtocol, ATornEndOfTheJournalIsNoDamage) {
  ASSERT_FALSE(cancelled(run("SAVE POOL=A PATH=../save RELEASE=N\n")));
  {
    PoolWriter w(inst_, now());
    for (int i = 1; i <= 5; ++i) w.put(i, "kept " + std::to_string(i));
  }
  const std::string journal = inst_.read("save/a.sav");
  inst_.write("save/a.sav", journal.substr(0, journal.size() - 10));
  RunResult r = run("RESTORE POOL=A PATH=../save CONFIRM=N RECOVER=Y\nRELEASE POOL=A\n");
  EXPECT_FALSE(cancelled(r)) << r.output;
  const Snapshot s = snapshot(inst_);
  for (int i = 1; i <= 4; ++i) EXPECT_EQ(s.at({kDataFile, key_of(i, 14)}), "kept " + std::to_string(i));
  EXPECT_EQ(s.count({kDataFile, key_of(5, 14)}), 0u);
  {
    PoolWriter w(inst_, now());
    w.put(6, "after the tear");
  }
  r = run("RESTORE POOL=A PATH=../save CONFIRM=N RECOVER=Y\n");
  EXPECT_FALSE(cancelled(r)) << r.output;
  EXPECT_EQ(snapshot(inst_).at({kDataFile, key_of(6, 14)}), "after the tear");
}

// SAVE, RESTORE and RELEASE killed at points spread over their work: the
// pool always comes back to the journalled state.
TEST_F(SaveProtocol, KilledSaveRestoreAndReleaseLoseNothing) {
  constexpr int kPoints = 6;
  {
    PoolWriter w(inst_, now() - 100);
    for (int i = 0; i < 3000; ++i) w.put(i, std::string(150, static_cast<char>('a' + i % 26)));
  }
  ASSERT_FALSE(cancelled(run("SAVE POOL=A PATH=../save RELEASE=Y\n")));
  {
    PoolWriter w(inst_, now());
    for (int i = 2000; i < 3500; ++i) w.put(i, "journalled " + std::to_string(i));
    for (int i = 0; i < 100; ++i) w.erase(i * 3);
    for (int i = 0; i < 200; ++i) w.add_item(i % 9, static_cast<std::uint32_t>(5000 - i % 150));
  }
  const Snapshot journalled = snapshot(inst_);

  const std::string commands[] = {
      "SAVE POOL=A PATH=../save RELEASE=N\n",
      "SAVE POOL=A PATH=../save RELEASE=Y\n",
      "RESTORE POOL=A PATH=../save CONFIRM=N RECOVER=Y\n",
      "RELEASE POOL=A\n",
  };
  for (const std::string& command : commands) {
    const auto length = length_of(command);
    restore_and_recover(inst_);
    ASSERT_EQ(snapshot(inst_), journalled) << command;
    for (int k = 0; k < kPoints; ++k) {
      SCOPED_TRACE(command + " killed at point " + std::to_string(k));
      kill_after(command, length * (2 * k + 1) / (2 * kPoints));
      restore_and_recover(inst_);
      ASSERT_EQ(snapshot(inst_), journalled);
    }
  }
}

// A journalling writer killed in the middle of its changes: every change it
// was told was made is there after RESTORE and RECOVER, and nothing beyond
// the one it was making.
TEST_F(SaveProtocol, KilledWriterLosesNoAcknowledgedChange) {
  constexpr int kPoints = 8;
  constexpr int kChanges = 3000;
  {
    PoolWriter w(inst_, now() - 100);
    for (int i = 0; i < 200; ++i) w.put(i, "saved " + std::to_string(i));
  }
  ASSERT_FALSE(cancelled(run("SAVE POOL=A PATH=../save RELEASE=Y\n")));
  for (int k = 0; k < kPoints; ++k) {
    SCOPED_TRACE("kill point " + std::to_string(k));
    const std::string tag = "round " + std::to_string(k) + " ";
    int pipe_fds[2];
    ASSERT_EQ(::pipe(pipe_fds), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      ::close(pipe_fds[0]);
      PoolWriter w(inst_, now());
      for (int i = 0; i < kChanges; ++i) {
        w.put(i, tag + std::to_string(i));
        if (i % 3 == 0) w.add_item(i % 11, static_cast<std::uint32_t>(i + 1));
        const int done = i + 1;
        if (::write(pipe_fds[1], &done, sizeof done) != sizeof done) ::_exit(2);
      }
      ::_exit(0);
    }
    ::close(pipe_fds[1]);
    std::this_thread::sleep_for(20ms + 15ms * k);
    ::kill(child, SIGKILL);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    int acknowledged = 0;
    for (int done = 0; ::read(pipe_fds[0], &done, sizeof done) == sizeof done;) acknowledged = done;
    ::close(pipe_fds[0]);

    restore_and_recover(inst_);
    const Snapshot s = snapshot(inst_);
    for (int i = 0; i < kChanges; ++i) {
      const auto it = s.find({kDataFile, key_of(i, 14)});
      const std::string made = tag + std::to_string(i);
      if (i < acknowledged) {
        ASSERT_TRUE(it != s.end() && it->second == made) << "change " << i << " of " << acknowledged;
      } else if (i > acknowledged) {
        ASSERT_TRUE(it == s.end() || it->second != made) << "change " << i << " of " << acknowledged;
      }
    }
  }
}

}  // namespace
}  // namespace corvanta::testing
