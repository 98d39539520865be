// Files named by command parameters: the service's own files are never
// written through them, the installation's directories bound where commands
// read and write, inputs must be regular files, and a command whose file
// work fails ends its job with the failure's code.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "installation.h"
#include "pool_fixture.h"

namespace corvanta::testing {
namespace {

namespace fs = std::filesystem;

// The installation's configuration without Directories/CommandFiles, so
// that only the protection of the own files decides.
void drop_directory_limit(const Installation& inst) {
  std::string cfg = inst.read("etc/corvanta.cfg");
  for (std::size_t at; (at = cfg.find("CommandFiles=")) != std::string::npos;) {
    cfg.erase(at, cfg.find('\n', at) + 1 - at);
  }
  inst.write("etc/corvanta.cfg", cfg);
}

// Every regular file under the installation's etc, data and save
// directories, with its content.
std::map<std::string, std::string> contents(const Installation& inst) {
  std::map<std::string, std::string> files;
  for (const char* dir : {"etc", "data", "save"}) {
    for (const auto& entry : fs::recursive_directory_iterator(inst.path(dir))) {
      if (!entry.is_regular_file()) continue;
      const std::string relative = fs::relative(entry.path(), inst.root()).string();
      files[relative] = inst.read(relative);
    }
  }
  return files;
}

class CommandFiles : public PoolCommands {};

// The way in that the unload file offered: a value loaded from a file that
// holds user lines, unloaded over the users table, would create a user.
TEST_F(CommandFiles, AnUnloadCannotReplaceTheUsersTable) {
  drop_directory_limit(inst_);
  {
    PoolWriter w(inst_, now());
    w.put(1, "EVIL      KWP       ...");
  }
  const std::string users = inst_.read("etc/users.tab");
  const RunResult r = run("UNLOAD POOL=A FILES=10 DATA=../etc/users.tab\n");
  EXPECT_TRUE(contains(r.output, {"../etc/users.tab : 167 - ", "CANCELLED: 0167"}));
  EXPECT_EQ(inst_.read("etc/users.tab"), users);
  EXPECT_NE(inst_.run("login user=EVIL pass=KWP\nend\n").output.find("LOGIN : 124 - "), std::string::npos);
}

// Each file-writing parameter of the commands, against each of the
// service's own files, directly, through a symbolic or hard link, and
// through a name under which the service rewrites one of them.
TEST_F(CommandFiles, NoFileParameterWritesAnOwnFile) {
  drop_directory_limit(inst_);
  {
    PoolWriter w(inst_, now());
    w.put(1, "journalled");
  }
  ASSERT_EQ(run("SAVE POOL=A PATH=../save\nUNLOAD POOL=A DATA=../temp/ok.unl\n").output.find("CANCELLED"),
            std::string::npos);
  fs::create_symlink("../etc/users.tab", inst_.path("temp/users-link"));
  fs::create_hard_link(inst_.path("etc/users.tab"), inst_.path("temp/users-hard"));

  const std::vector<std::string> own = {
      "../etc/corvanta.cfg", "../etc/users.tab",    "../etc/_users.tab",  "../etc/library.dic",
      "../etc/library.app",  "../etc/messages.ger", "../etc/texts.ger",   "../temp/util.log",
      "../temp/prot.0001",   "../temp/prot",        "../temp/job.log",    "../temp/job.log.new",
      "../temp/job.seq",     "../temp/server.log",  "../temp/sets",       "../temp/scanlst.tmp",
      "../data/a",           "../data/a.1",         "../data/a.rst",      "../data/a.1.new",
      "../save/a.sav",       "../save/Ta.sav",      "../save/DDA.SID",    "../save/DDA.S00",
      "../save/DDA.SID.new", "../temp/users-link",  "../temp/users-hard", "../temp/x/../../etc/users.tab",
  };
  const auto before = contents(inst_);
  std::string commands;
  for (const std::string& file : own) {
    commands += "UNLOAD POOL=A DATA=" + file + "\n";
    commands += "SAVE_PROT POOL=A FROM=19700101 TO=0 DATA=Y OUTPUT=" + file + "\n";
  }
  const RunResult r = run(commands);
  for (const std::string& file : own) {
    EXPECT_EQ(count(r.output, "\n" + file + " : 167 - "), 2u) << file << "\n" << r.output;
  }
  EXPECT_EQ(count(r.output, "CANCELLED: 0167"), 2 * own.size());
  EXPECT_EQ(contents(inst_), before);
  EXPECT_FALSE(fs::exists(inst_.path("etc/_users.tab")));
  EXPECT_FALSE(fs::exists(inst_.path("data/a.rst")));

  // A name given without a path goes to the print directory, and may not
  // climb out of it either: "x/../../etc/users.tab" plus the job number
  // would be a rewrite name of the users table.
  const RunResult climbed = run("SAVE_PROT POOL=A FROM=19700101 TO=0 DATA=Y OUTPUT=x/../../etc/users.tab\n");
  EXPECT_NE(climbed.output.find("CANCELLED: 0167"), std::string::npos) << climbed.output;

  // SAVE writes its set into PATH: a link there that points to an own file
  // is not followed.
  fs::create_directory(inst_.path("temp/evil"));
  fs::create_symlink("../../etc/users.tab", inst_.path("temp/evil/DDA.SID.new"));
  const RunResult save = run("SAVE POOL=A PATH=../temp/evil\n");
  EXPECT_NE(save.output.find("../temp/evil/DDA.SID.new : 167 - "), std::string::npos) << save.output;
  EXPECT_EQ(contents(inst_), before);
}

TEST_F(CommandFiles, CommandsStayInTheConfiguredDirectories) {
  const std::string outside = inst_.path("outside");
  fs::create_directory(outside);
  inst_.write("outside/cmds.txt", "USER_ADD NAME=fremd\n");
  fs::create_directory_symlink(outside, inst_.path("temp/out"));
  const RunResult r =
      run("EXECUTE COMMAND=../outside/cmds.txt\n"
          "LOAD POOL=A DATA=/etc/passwd\n"
          "UNLOAD POOL=A DATA=../outside/a.unl\n"
          "UNLOAD POOL=A DATA=../temp/out/a.unl\n"
          "SAVE POOL=A PATH=../outside\n"
          "RESTORE POOL=A PATH=../outside CONFIRM=N\n"
          "UNLOAD POOL=A DATA=../temp/a.unl\n"
          "EXECUTE COMMAND=../temp/a.unl\n");
  EXPECT_EQ(count(r.output, "CANCELLED: 0168"), 6u) << r.output;
  EXPECT_NE(r.output.find("../temp/out/a.unl : 168 - "), std::string::npos);
  EXPECT_EQ(fs::directory_iterator(outside)->path().filename(), "cmds.txt");  // nothing written there
  EXPECT_EQ(inst_.read("etc/users.tab").find("FREMD"), std::string::npos);
  EXPECT_TRUE(fs::exists(inst_.path("temp/a.unl")));  // inside: as before

  // A ".." after a link goes up from where the link points, not back to
  // the directory that holds the link.
  fs::create_directory(outside + "/sub");
  fs::create_directory(inst_.path("data/in"));
  fs::create_directory_symlink(outside + "/sub", inst_.path("data/in/deep"));
  const RunResult up =
      run("NUMB_EXP POOL=A DATA=../data/in/deep/../escaped.txt\n"
          "EXECUTE COMMAND=../data/in/deep/../cmds.txt\n");
  EXPECT_EQ(count(up.output, "CANCELLED: 0168"), 2u) << up.output;
  EXPECT_FALSE(fs::exists(outside + "/escaped.txt"));
  EXPECT_FALSE(fs::exists(inst_.path("data/escaped.txt")));
  EXPECT_EQ(inst_.read("etc/users.tab").find("FREMD"), std::string::npos);

  // A link that points nowhere yet is not written through to wherever it
  // points: an appended file (an error file named by default) cannot be
  // opened through it, a replaced one (an unload) replaces the link.
  fs::create_symlink(outside + "/err", inst_.path("data/in.txt.ERR"));
  fs::create_symlink(outside + "/out", inst_.path("data/out.unl"));
  inst_.write("data/in.txt", "IDN  000000099\n500  $$aohne Titel\n\n");
  const RunResult d =
      run("POOL_INIT POOL=A\n"
          "IMPORT POOL=A FILE=BIB TYPE=CORVANTA DATA=../data/in.txt\n"
          "UNLOAD POOL=A DATA=../data/out.unl\n");
  EXPECT_EQ(count(d.output, "IMPORT 20"), 2u) << d.output;
  EXPECT_NE(d.output.find("CANCELLED: 0013"), std::string::npos) << d.output;
  EXPECT_FALSE(fs::is_symlink(inst_.path("data/out.unl")));
  EXPECT_FALSE(fs::exists(outside + "/err"));
  EXPECT_FALSE(fs::exists(outside + "/out"));
}

// Stylesheets and conversion tables are files a parameter names too: read
// inside the installation's directories or its exchange directory, which
// commands read but never write.
TEST_F(CommandFiles, TablesAndStylesheetsAreReadByTheSameRules) {
  fs::create_directory(inst_.path("outside"));
  for (const char* name : {"outside/t.BIB", "outside/x.xsl"}) inst_.write(name, "*\n");
  const std::string exchange = inst_.read("etc/exchange/marcxml.xsl");
  inst_.write("data/in.xml", "<collection/>\n");
  const RunResult r =
      run("IMPORT POOL=A FILE=BIB TYPE=XMARC21 DATA=../data/in.xml XSLT=../outside/x.xsl\n"
          "IMPORT POOL=A FILE=BIB TYPE=CORVANTA DATA=../data/sample.unl CONVIN=../outside/t\n"
          "IMPORT POOL=A FILE=BIB TYPE=CORVANTA DATA=../data/sample.unl MODE=M MERGE=../outside/t\n"
          "EXPORT POOL=A FILE=BIB TYPE=CORVANTA DATA=../data/out.txt CONVOUT=../outside/t\n"
          "EXPORT POOL=A FILE=BIB TYPE=CORVANTA DATA=../etc/exchange/marcxml.xsl\n"
          "IMPORT POOL=A FILE=BIB TYPE=MARCXML DATA=../data/in.xml XSLT=../etc/exchange/marcxml.xsl\n");
  EXPECT_EQ(count(r.output, "CANCELLED: 0168"), 5u) << r.output;
  EXPECT_TRUE(contains(r.output, {"../outside/x.xsl : 168 - ", "../outside/t.BIB : 168 - ",
                                  "../etc/exchange/marcxml.xsl : 168 - "}));
  EXPECT_EQ(inst_.read("etc/exchange/marcxml.xsl"), exchange);
  EXPECT_FALSE(fs::exists(inst_.path("data/out.txt")));

  // No file named at all is a missing parameter, not a file elsewhere.
  EXPECT_NE(run("NUMB_IMP POOL=A\n").output.find("CANCELLED: 0011"), std::string::npos);
}

TEST_F(CommandFiles, InputsMustBeRegularFiles) {
  drop_directory_limit(inst_);
  ASSERT_EQ(::mkfifo(inst_.path("temp/fifo").c_str(), 0600), 0);
  const RunResult r =
      run("EXECUTE COMMAND=/dev/zero\n"
          "EXECUTE COMMAND=../temp\n"
          "EXECUTE COMMAND=../temp/fifo\n"
          "LOAD POOL=A DATA=../temp/fifo\n"
          "UNLOAD POOL=A DATA=../temp/fifo\n"
          "UNLOAD POOL=A DATA=/dev/null\n");
  EXPECT_EQ(count(r.output, "CANCELLED: 0240"), 6u) << r.output;

  // At start-up a dictionary or users table that is a FIFO fails the
  // initialisation, and a message file that is one is passed over, instead
  // of waiting for a writer for ever.
  for (const char* key :
       {"DataDict=../etc/library.dic", "UserTab=../etc/users.tab", "GER=../etc/messages.ger"}) {
    Installation inst;
    ASSERT_EQ(::mkfifo(inst.path("temp/fifo").c_str(), 0600), 0);
    const std::string line(key);
    inst.edit("etc/corvanta.cfg", line, line.substr(0, line.find('=') + 1) + "../temp/fifo");
    const RunResult started = inst.run("end\n");
    const bool fails = line[0] != 'G';
    EXPECT_EQ(started.output.find("Initialization : ") != std::string::npos, fails) << key << started.output;
    EXPECT_EQ(started.output.find("CMD> ") != std::string::npos, !fails) << key;
  }
}

// Failures of a command's file work are the command's result, so that the
// job record and VIEWLOG show them.
TEST_F(CommandFiles, FileFailuresEndTheirJobs) {
  {
    PoolWriter w(inst_, now());
    for (int i = 0; i < 600; ++i) w.put(i, std::string(180, static_cast<char>('a' + i % 26)));
  }
  inst_.write("temp/old.unl", "the previous unload");
  inst_.write(
      "work/cmds.txt",
      "\xEF\xBB\xBFUNLOAD POOL=A DATA=../temp/no/such/dir.unl\n   \n\t\nNOSUCH geheim=1\nCHECK POOL=A\n");
  const RunResult r =
      run("UNLOAD POOL=A DATA=../temp/no/such/dir.unl\n"
          "LOAD POOL=A DATA=../temp/missing.unl\n"
          "EXECUTE COMMAND=cmds.txt\n"
          "VIEWLOG\n");
  EXPECT_NE(r.output.find("JOB 000002 UNLOAD"), std::string::npos) << r.output;
  EXPECT_EQ(count(r.output, "CANCELLED: 0013"), 3u) << r.output;  // the two and the command file
  // An unknown word is a failure, shown without the rest of its line;
  // blank lines and a UTF-8 mark are passed over.
  EXPECT_NE(r.output.find("\nNOSUCH : 166 - "), std::string::npos) << r.output;
  EXPECT_EQ(r.output.find("geheim"), std::string::npos);
  EXPECT_EQ(count(r.output, " : 166 - "), 1u);
  EXPECT_NE(r.output.find("========> 0 Errors"), std::string::npos);  // the lines after a failure run
  EXPECT_NE(r.output.find("000004 EXECUTE    SYS        -013"), std::string::npos) << r.output;

  // A full disk (here a file size limit) ends UNLOAD with 16, and the
  // previous file stays as it was.
  const RunResult full = inst_.run(std::string(kLogin) + "UNLOAD POOL=A DATA=../temp/old.unl\nend\n", "",
                                   "trap '' XFSZ; ulimit -f 64;");
  EXPECT_TRUE(contains(full.output, {"../temp/old.unl : 16 - ", "CANCELLED: 0016"}));
  EXPECT_EQ(inst_.read("temp/old.unl"), "the previous unload");
  for (const auto& entry : fs::directory_iterator(inst_.path("temp"))) {
    EXPECT_NE(entry.path().filename().string().rfind(".old.unl", 0), 0u) << "temporary file left";
  }
}

// Links and FIFOs that someone with access to the directories puts where
// the service makes its own files are replaced or refused, never written
// through.
TEST_F(CommandFiles, LinksInTheServicesWayAreNotFollowed) {
  ASSERT_EQ(run("SAVE POOL=A PATH=../save\n").output.find("CANCELLED"), std::string::npos);
  const auto before = contents(inst_);
  fs::create_symlink("../etc/evil.cfg", inst_.path("save/DDA.S00.new"));  // dangling
  fs::create_symlink("../etc/users.tab", inst_.path("data/a.rst"));
  fs::create_symlink("../etc/users.tab", inst_.path("temp/prot.0003"));
  fs::create_symlink("../etc/users.tab", inst_.path("save/Ta.sav"));
  const RunResult r =
      run("SAVE POOL=A PATH=../save\n"  // job 3, the protocol linked above
          "RESTORE POOL=A PATH=../save CONFIRM=N RECOVER=N\n"
          "RELEASE POOL=A\n"
          "CHECK POOL=A\n");
  EXPECT_EQ(r.output.find("CANCELLED"), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("========> 0 Errors"), std::string::npos);
  EXPECT_FALSE(fs::exists(inst_.path("etc/evil.cfg")));
  EXPECT_EQ(inst_.read("etc/users.tab"), before.at("etc/users.tab"));
  EXPECT_FALSE(fs::is_symlink(inst_.path("data/a")));

  // A save set whose copy is a link out of the installation's directories
  // is not read.
  fs::create_directory(inst_.path("temp/set"));
  ASSERT_EQ(run("SAVE POOL=A PATH=../temp/set\n").output.find("CANCELLED"), std::string::npos);
  fs::remove(inst_.path("temp/set/DDA.S00"));
  fs::create_symlink("../../etc/users.tab", inst_.path("temp/set/DDA.S00"));
  EXPECT_NE(run("RESTORE POOL=A PATH=../temp/set CONFIRM=N\n").output.find("CANCELLED: 0168"),
            std::string::npos);

  // A FIFO as a log is passed over instead of waited on.
  Installation fifo;
  ASSERT_EQ(::mkfifo(fifo.path("temp/util.log").c_str(), 0600), 0);
  ASSERT_EQ(::mkfifo(fifo.path("temp/server.log").c_str(), 0600), 0);
  EXPECT_NE(fifo.run(std::string(kLogin) + "VIEWLOG\nend\n").output.find("JOBNO="), std::string::npos);
}

// The job protocols are the service's own files even when their prefix is
// not configured, and a typed unknown word counts as a failure for
// --status.
TEST_F(CommandFiles, DefaultProtocolsAreOwnFiles) {
  drop_directory_limit(inst_);
  std::string cfg = inst_.read("etc/corvanta.cfg");
  cfg.erase(cfg.find("UtilProt="), cfg.find('\n', cfg.find("UtilProt=")) + 1 - cfg.find("UtilProt="));
  inst_.write("etc/corvanta.cfg", cfg);
  const RunResult r = run("UNLOAD POOL=A DATA=../temp/prot.0001\n");
  EXPECT_NE(r.output.find("CANCELLED: 0167"), std::string::npos) << r.output;
  EXPECT_EQ(inst_.run(std::string(kLogin) + "NOSUCH\nend\n", "--status").exit_status, 1);
}

// A job that cannot get a number would leave no trace: it does not run.
TEST_F(CommandFiles, AJobWithoutNumberDoesNotRun) {
  fs::remove(inst_.path("temp/job.seq"));
  const RunResult r = run("UNLOAD POOL=A DATA=../temp/a.unl\nVIEWLOG\n");
  EXPECT_TRUE(contains(r.output, {"JOB 000000 UNLOAD", "CANCELLED: 0801"}));
  EXPECT_FALSE(fs::exists(inst_.path("temp/a.unl")));
}

}  // namespace
}  // namespace corvanta::testing
