// Records stored, changed and removed through the pool layer of a service
// started on a temporary copy of the reference installation: the index and
// link list files must always hold exactly what a rebuild from the final
// records makes. Then what that comparison cannot see: IDN limits and
// rights, following links, the link check, the update service, recovery
// after a kill, and keys of other kinds.
#include "indexing/indexing.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "commands/command_table.h"
#include "dbm/codes.h"
#include "imex/update_service.h"
#include "indexing/terms.h"
#include "pool/pool_service.h"
#include "record_fields.h"
#include "service_fixture.h"
#include "shell/service.h"
#include "util/big_endian.h"

namespace corvanta::testing {
namespace {

using records::FieldDesc;
using records::RecordHandle;
using Lists = std::map<std::pair<int, std::string>, std::string>;

constexpr int kTitles = 1;
constexpr int kStopFile = 12;

class IndexingTest : public InProcessService {
 protected:
  void SetUp() override {
    InProcessService::SetUp();
    if (HasFatalFailure()) return;
    open_titles();
    if (HasFatalFailure()) return;
    pool_ = service_->pools.pool();
    titles_ = service_->pools.file()->data;
    ASSERT_EQ(records::stp_add(service_->dbm, "A", kStopFile, 1, "ST", "SANKT").code(), 0);
  }
  // Every key and value of one file of pool A.
  std::map<std::string, std::string> entries(int file) {
    std::map<std::string, std::string> all;
    dbm::FileInfo info;
    EXPECT_EQ(service_->dbm.file_info("A", file, info).code(), 0);
    std::vector<unsigned char> key(info.key_length, 0);
    std::vector<unsigned char> buffer(30000);
    dbm::Position pos;
    dbm::DataRef ref{buffer};
    for (ResultCode rc = service_->dbm.set("A", file, key.data(), pos, ref); rc.code() == 0;
         rc = service_->dbm.get("A", file, key.data(), pos, ref)) {
      all[std::string(key.begin(), key.end())] =
          std::string(reinterpret_cast<const char*>(buffer.data()), ref.length);
      ref = dbm::DataRef{buffer};
    }
    return all;
  }
  // Every key and value of the index and link list files of the titles.
  Lists lists() {
    Lists all;
    std::vector<int> files;
    for (const dict::IndexDef* index : titles_->indexes) files.push_back(index->list_file->number);
    for (const dict::LinkDef* link : titles_->links) {
      if (link->list_file != nullptr) files.push_back(link->list_file->number);
    }
    for (const int file : files) {
      for (auto& [key, value] : entries(file)) all[{file, key}] = std::move(value);
    }
    return all;
  }

  // Empties the lists and makes them anew from the stored records, as INDEX
  // does for the indexes.
  void rebuild() {
    std::vector<int> files;
    for (const auto& [k, v] : lists()) files.push_back(k.first);
    for (const int file : files) (void)service_->dbm.delete_file("A", file);
    const records::IndexContext ctx = service_->pools.index_context(*pool_);
    RecordHandle h;
    records::rec_init(h, 30000, 0);
    unsigned char key[4] = {};
    dbm::Position pos;
    dbm::DataRef ref{{h.buffer, h.room()}};
    for (ResultCode rc = service_->dbm.set("A", kTitles, key, pos, ref); rc.code() == 0;
         rc = service_->dbm.get("A", kTitles, key, pos, ref)) {
      h.length = static_cast<std::uint32_t>(ref.length);
      records::rec_load_header(h);
      ASSERT_EQ(records::idx_generate(ctx, *titles_, h, 'I').code(), 0);
      ASSERT_EQ(records::lnk_generate(ctx, *titles_, h, 'I').code(), 0);
      ref = dbm::DataRef{{h.buffer, h.room()}};
    }
  }

  // A title record in internal form from a random draw.
  void make_record(RecordHandle& h, std::uint32_t idn, std::mt19937& rng, std::uint32_t link_target) {
    static const std::vector<std::string> words = {"der",   "die", "und", "haus", "tür",    "Garten", "st",
                                                   "Nacht", "the", "Tod", "Elbe", "Müller", "a",      "Zeit"};
    auto pick = [&](int n) {
      std::string text;
      for (int i = 0; i < n; ++i) text += (i ? " " : "") + words[rng() % words.size()];
      return text;
    };
    records::rec_init(h, 30000, 0);
    h.idn = idn;
    h.order = 'N';
    auto put = [&](const char* tag, const char* ind, char code, const std::string& data,
                   std::uint8_t type = 1) { put_subfield(h, tag, ind, code, data, type); };
    put("245", rng() % 2 ? "10" : "14", 'a', "The " + pick(1 + static_cast<int>(rng() % 5)));
    if (rng() % 3) put("100", "1 ", 'a', pick(2));
    for (int i = static_cast<int>(rng() % 3); i > 0; --i)
      put("650", "", 'a', pick(1 + static_cast<int>(rng() % 2)));
    if (rng() % 2) put("020", "", 'a', "978-3-" + std::to_string(rng() % 1000));
    if (rng() % 2) put("260", "", 'c', std::to_string(1900 + rng() % 120));
    if (link_target != 0) {
      std::string l(4, '\0');
      put_u32(reinterpret_cast<unsigned char*>(l.data()), link_target);
      put("GT0", "", 'L', l, 2);
    }
    records::rec_store_header(h);
  }

  const dict::AppPoolDef* pool_ = nullptr;
  const dict::FileDef* titles_ = nullptr;
};

TEST_F(IndexingTest, ListsAlwaysEqualARebuildFromTheRecords) {
  std::mt19937 rng(20261207);
  std::vector<std::uint32_t> stored;
  records::PoolLayer& layer = service_->pools;
  for (int op = 0; op < 3000; ++op) {
    const unsigned what = rng() % 10;
    const std::uint32_t target = stored.empty() || rng() % 3 ? 0 : stored[rng() % stored.size()];
    if (stored.empty() || what < 5) {
      RecordHandle h;
      make_record(h, 0, rng, target);
      ASSERT_EQ(layer.rec_insert(*pool_, *titles_, h).code(), 0);
      stored.push_back(h.idn);
    } else if (what < 8) {
      RecordHandle h;
      make_record(h, stored[rng() % stored.size()], rng, target);
      ASSERT_EQ(layer.rec_update(*pool_, *titles_, h, nullptr).code(), 0);
    } else {
      const std::size_t at = rng() % stored.size();
      RecordHandle h;
      ASSERT_EQ(layer.rec_read(*pool_, *titles_, stored[at], h, 30000, 0).code(), 0);
      ASSERT_EQ(layer.rec_delete(*pool_, *titles_, h).code(), 0);
      stored.erase(stored.begin() + static_cast<long>(at));
    }
  }
  const Lists before = lists();
  ASSERT_GT(before.size(), 50u);
  rebuild();
  const Lists after = lists();
  EXPECT_EQ(before.size(), after.size());
  EXPECT_TRUE(before == after);
  // A record that was deleted is gone, one that stays is read back.
  RecordHandle h;
  EXPECT_EQ(layer.rec_read(*pool_, *titles_, stored.front(), h, 30000, 0).code(), 0);
  EXPECT_EQ(layer.rec_read(*pool_, *titles_, 16000000, h, 30000, 0).code(), 1);
  EXPECT_EQ(h.buffer, nullptr);
}

TEST_F(IndexingTest, IdnLimitsAndAccess) {
  records::PoolLayer& layer = service_->pools;
  std::mt19937 rng(1);
  RecordHandle h;
  // Group 4 lacks the pool's insert, update and delete rights (1+2+3, 1+2).
  layer.set_user("GAST", 4);
  make_record(h, 0, rng, 0);
  EXPECT_EQ(layer.rec_insert(*pool_, *titles_, h).code(), records::kNoAccess);
  layer.set_user("BIB", 3);
  make_record(h, 5, rng, 0);
  EXPECT_EQ(layer.rec_insert(*pool_, *titles_, h).code(), 0);
  EXPECT_EQ(layer.rec_delete(*pool_, *titles_, h).code(), records::kNoAccess);
  EXPECT_EQ(layer.rec_read(*pool_, *titles_, 5, h, 30000, 0).code(), 0);  // nothing changed
  // Group 9 has no bit in the sets: no access, not even where a set is ALL.
  layer.set_user("NEUN", 9);
  EXPECT_EQ(layer.access_check(nullptr, records::kAccessDisplay).code(), records::kNoAccess);
  EXPECT_EQ(layer.rec_update(*pool_, *titles_, h, nullptr).code(), records::kNoAccess);
  layer.set_user("", 0);
  EXPECT_EQ(layer.access_check(nullptr, records::kAccessDelete).code(), 0);

  // The IDN limits: an update of 16,777,215 is refused before any access
  // check, an insertion of it is taken; after it no IDN is left.
  layer.set_user("GAST", 4);
  make_record(h, records::kMaxInsertIdn, rng, 0);
  EXPECT_EQ(layer.rec_update(*pool_, *titles_, h, nullptr).code(), records::kIdnOutOfRange);
  layer.set_user("", 0);
  EXPECT_EQ(layer.rec_insert(*pool_, *titles_, h).code(), 0);
  make_record(h, records::kMaxInsertIdn + 1, rng, 0);
  EXPECT_EQ(layer.rec_insert(*pool_, *titles_, h).code(), records::kIdnOutOfRange);
  make_record(h, records::kMaxLoadIdn + 1, rng, 0);
  EXPECT_EQ(layer.rec_load(*pool_, *titles_, h, false).code(), records::kIdnOutOfRange);

  make_record(h, 0, rng, 0);
  EXPECT_EQ(layer.rec_insert(*pool_, *titles_, h).code(), dbm::kCannotExtend);

  // Updating or deleting a record that is not there is refused before
  // anything is taken out or put in.
  make_record(h, 200, rng, 0);
  EXPECT_EQ(layer.rec_update(*pool_, *titles_, h, nullptr).code(), records::kRecordAbsent);
  RecordHandle other;
  make_record(other, 200, rng, 0);
  const Lists untouched = lists();
  EXPECT_EQ(layer.rec_update(*pool_, *titles_, h, &other).code(), records::kRecordAbsent);
  EXPECT_EQ(layer.rec_delete(*pool_, *titles_, h).code(), records::kRecordAbsent);
  EXPECT_TRUE(lists() == untouched);

  // A record whose terms overflow IdxBufLen is refused whole: neither it
  // nor any of its entries is written.
  const Lists before = lists();
  records::rec_init(h, 30000, 0);
  h.idn = 100;
  h.order = 'N';
  std::string words;
  for (int i = 0; i < 2400; ++i) words += "ab ";
  put_subfield(h, "245", "", 'a', words);
  records::rec_store_header(h);
  EXPECT_EQ(layer.rec_insert(*pool_, *titles_, h).code(), records::kTermListFull);
  EXPECT_EQ(layer.rec_read(*pool_, *titles_, 100, h, 30000, 0).code(), 1);
  EXPECT_TRUE(lists() == before);
}

TEST_F(IndexingTest, LinksAreFollowedBothWays) {
  records::PoolLayer& layer = service_->pools;
  std::mt19937 rng(3);
  RecordHandle h;
  const std::uint32_t links[][2] = {{1, 0}, {2, 1}, {3, 1}, {4, 2}};  // record, its head record
  for (const auto& [idn, head] : links) {
    make_record(h, idn, rng, head);
    ASSERT_EQ(layer.rec_insert(*pool_, *titles_, h).code(), 0);
  }
  const dict::LinkDef* up = titles_->find_link("GT0");
  const dict::LinkDef* down = titles_->find_link("BDE");
  records::IdnList r;
  ASSERT_EQ(layer.lnk_follow(*pool_, *titles_, up, 4, r, 'F').code(), 0);
  EXPECT_EQ(r, (records::IdnList{2}));
  r.clear();
  ASSERT_EQ(layer.lnk_follow(*pool_, *titles_, down, 1, r, 'B').code(), 0);
  EXPECT_EQ(r, (records::IdnList{2, 3}));
  EXPECT_EQ(layer.lnk_follow_count(*pool_, *titles_, down, 2, 'C').code(), 1);
  EXPECT_EQ(layer.lnk_follow_count(*pool_, *titles_, down, 4, 'B').code(), 0);
  r.clear();
  ASSERT_EQ(layer.lnk_follow_all(*pool_, *titles_, down, {1, 2}, r, 'B').code(), 0);
  EXPECT_EQ(r, (records::IdnList{2, 3, 4}));
  EXPECT_EQ(layer.lnk_follow(*pool_, *titles_, nullptr, 1, r, 'F').code(), records::kNoLinkDefinition);
}

// A procedure runner of the test's own: "COMPL" adds a field and reports
// the IDN it saw.
class TestProcedures : public records::ProcedureRunner {
 public:
  std::optional<ResultCode> run(const dict::AppPoolDef&, std::string_view name,
                                const records::ProcedureArgs& args, RecordHandle& record,
                                std::string& message) override {
    if (name != "COMPL") return std::nullopt;
    seen = args.reference + " " + args.user + " " + args.idn;
    FieldDesc f;
    f.tag = "250";
    f.type = 1;
    f.set("2. Aufl.");
    message = "completed";
    return records::fld_put(record, f);
  }
  std::string seen;
};

// An external-form title whose GT0 field holds `idn` and `text` as given.
void external_title(RecordHandle& h, const std::string& idn, const std::string& text) {
  records::rec_init(h, 30000, records::kExternalForm);
  h.order = 'N';
  put_subfield(h, "245", "10", 'a', "Band 2");
  if (!idn.empty()) put_subfield(h, "GT0", "", 'L', idn, 0);
  if (!text.empty()) put_subfield(h, "GT0", "", 'a', text, 0);
}

std::string link_idn(RecordHandle& h) {
  FieldDesc f;
  f.tag = "GT0";
  f.occurrence = 1;
  FieldDesc s;
  s.tag = "L";
  s.occurrence = 1;
  if (records::fld_get(h, f, &s).code() != 0) return "<none>";
  return std::string(s.content());
}

TEST_F(IndexingTest, TheCheckCompletesAndMaintainsLinks) {
  records::PoolLayer& layer = service_->pools;
  std::mt19937 rng(5);
  RecordHandle h;
  make_record(h, 1, rng, 0);
  ASSERT_EQ(layer.rec_insert(*pool_, *titles_, h).code(), 0);
  TestProcedures procedures;
  layer.set_procedures(&procedures);
  layer.set_user("SYS", 0);
  std::vector<std::uint32_t> answer;
  layer.set_link_search([&](const dict::AppPoolDef&, const dict::LinkDef&, std::string_view, bool,
                            std::vector<std::uint32_t>& hits) {
    hits = answer;
    return ResultCode(0);
  });
  std::string numbered;
  layer.set_numbering([&](const dict::AppPoolDef&, const dict::FileDef&, RecordHandle&, char mode) {
    numbered += mode;
    return ResultCode(0);
  });

  // COMPL sees the IDN the insertion would get; the handle keeps IDN 0.
  std::string message;
  external_title(h, "", "");
  ASSERT_EQ(layer.rec_check(*pool_, *titles_, h, 'N', message).code(), 0);
  EXPECT_EQ(procedures.seen, "A-BIB SYS 000000002");
  EXPECT_EQ(h.idn, 0u);
  EXPECT_EQ(message, "completed");
  ASSERT_EQ(layer.rec_check(*pool_, *titles_, h, 'n', message).code(), 0);
  EXPECT_EQ(numbered, "NC");

  // An IDN that names no record, a text with one, several and no hits.
  const auto check = [&](const std::string& idn, const std::string& text, char mode = 'U') {
    external_title(h, idn, text);
    h.idn = 1;
    message.clear();
    EXPECT_EQ(layer.link_maintenance(*pool_, *titles_, h, mode, message).code(), 0);
    return message;
  };
  EXPECT_EQ(check("000000001", ""), "");
  EXPECT_EQ(check("000000099", ""), "150 GT0 A-BIB");
  answer = {1};
  EXPECT_EQ(check("", "Der Herr der Ringe"), "");
  EXPECT_EQ(link_idn(h), "000000001");
  answer = {1, 7};
  EXPECT_EQ(check("", "Herr"), "151 GT0 A-BIB");
  EXPECT_EQ(link_idn(h), "<none>");
  answer = {};
  EXPECT_EQ(check("", "Unbekannt"), "150 GT0 A-BIB");
  EXPECT_EQ(check("", std::string(600, 'x')), "152 GT0 A-BIB");
  EXPECT_EQ(check("", "?000000001"), "");
  EXPECT_EQ(link_idn(h), "000000001");
  EXPECT_EQ(check("000000001", "Herr"), "");  // a text beside an IDN is left alone

  // Mode I makes the missing target and links it.
  EXPECT_EQ(check("", "Neue Reihe", 'I'), "");
  const std::string made = link_idn(h);
  ASSERT_NE(made, "<none>");
  RecordHandle target;
  EXPECT_EQ(
      layer.rec_read(*pool_, *titles_, static_cast<std::uint32_t>(std::stoul(made)), target, 30000, 0).code(),
      0);
  layer.set_procedures(nullptr);
}

std::string transfer(const std::string& tag, const std::string& ind, const std::string& content) {
  char head[8];
  std::snprintf(head, sizeof head, "%04zu", tag.size() + 3 + content.size());
  std::string indicators = ind;
  indicators.resize(2, ' ');
  return head + tag + indicators + " " + content;
}

TEST_F(IndexingTest, TheUpdateServiceStoresChecksAndDeletes) {
  imex::RecordUpdateService updates(service_->pools, service_->configs, service_->state.server_config);
  std::string notices;
  updates.set_change_notice([&](std::string_view what, std::uint32_t idn, char phase) {
    notices += std::string(what) + std::to_string(idn) + phase + " ";
    return ResultCode(0);
  });
  std::vector<std::uint32_t> doubles;
  updates.set_duplicate_search([&](const dict::AppPoolDef&, const dict::FileDef&, RecordHandle&, char,
                                   std::vector<std::uint32_t>& found) {
    found = doubles;
    return ResultCode(0);
  });
  const dict::AppFileDef& bibls = *service_->pools.file();
  imex::UpdateOutcome out;
  const std::string title =
      transfer("245", "10", "$$aGartenzwerge im Nebel") + transfer("100", "1", "$$aHeinz, Karl");

  ASSERT_EQ(updates.run(*pool_, bibls, "N", 0, title, false, out).code(), 0);
  const std::uint32_t idn = out.idn;
  EXPECT_EQ(idn, 1u);
  EXPECT_NE(out.record_text.find("$$aGartenzwerge im Nebel"), std::string::npos);
  EXPECT_EQ(notices, "NEW0A NEW1C ");  // announced before the number is taken
  // Its title words are in list 21 until UPDATE gives it another title;
  // the lists' upkeep itself is the rebuild comparison's.
  std::string garten = "GARTENZWERGE";
  garten.resize(60, '\0');
  EXPECT_EQ(lists().count({21, garten}), 1u);

  // Duplicates and undefined fields are reported, not refused.
  doubles = {1, 9};
  ASSERT_EQ(updates
                .run(*pool_, bibls, "NEW-CHK", 0, transfer("245", "", "$$aSonne") + transfer("XYZ", "", "x"),
                     false, out)
                .code(),
            0);
  EXPECT_EQ(out.duplicate_messages, "2502 1.(2) 1\n2502 2.(2) 9");
  EXPECT_EQ(out.check_messages, "153 XYZ");

  ASSERT_EQ(updates.run(*pool_, bibls, "UPDATE", idn, transfer("245", "10", "$$aNebel"), false, out).code(),
            0);
  EXPECT_EQ(lists().count({21, garten}), 0u);
  ASSERT_EQ(
      updates.run(*pool_, bibls, "SORT", 0, transfer("650", "", "b") + transfer("245", "", "a"), false, out)
          .code(),
      0);
  EXPECT_EQ(out.record_text, transfer("245", "", "a") + transfer("650", "", "b"));

  notices.clear();
  ASSERT_EQ(updates.run(*pool_, bibls, "DELETE", idn, title, false, out).code(), 0);
  EXPECT_EQ(notices, "DEL1A DEL1C ");
  EXPECT_EQ(updates.run(*pool_, bibls, "DELETE", idn, title, false, out).code(), imex::kNoRecordToDelete);
  notices.clear();
  EXPECT_EQ(updates.run(*pool_, bibls, "UPDATE", 42, title, false, out).code(), records::kRecordAbsent);
  EXPECT_EQ(notices, "UPD42A UPD42R ");
  EXPECT_EQ(updates.run(*pool_, bibls, "XYZ", 0, title, false, out).code(), imex::kUnknownFunction);
  EXPECT_EQ(updates.run(*pool_, bibls, "NEW", 0, "", false, out).code(), imex::kNoPoolOrText);
  EXPECT_EQ(updates.run(*pool_, bibls, "NEW", 0, "0099245", false, out).code(), imex::kBadTransferText);
  // FIX names its procedure from the sixth character on; one beginning
  // "NEW" starts from an empty record. Without a runner it is skipped.
  EXPECT_EQ(updates.run(*pool_, bibls, "FIX  NEWREC", 0, "", false, out).code(), 0);
  EXPECT_EQ(updates.run(*pool_, bibls, "FIX  TITLE", 0, "", false, out).code(), imex::kNoPoolOrText);

  // Changes of copies go to the upload file when one is configured.
  service_->configs.tree(service_->state.server_config)->set("Files", "MessUpload", "../temp/upload.txt");
  const dict::AppFileDef* items = dict::ApplDictionary::find_file(*pool_, "ITEMS");
  ASSERT_NE(items, nullptr);
  ASSERT_EQ(updates.run(*pool_, *items, "NEW", 0, transfer("200", "", "4711"), false, out).code(), 0);
  const std::string upload = inst_.read("temp/upload.txt");
  EXPECT_EQ(upload.rfind("NEW ITEMS 000000001 ", 0), 0u) << upload;
}

// A process killed at a random point while it changes records, then the
// last save restored and the journal replayed: every index and link list
// equals the rebuild from the recovered records, because each record change
// reaches the journal whole or not at all.
TEST_F(IndexingTest, AKilledWriterAndRecoverLeaveTheListsWhole) {
  (void)service_->dbm.close_all();
  ASSERT_EQ(inst_.run("login user=sys pass=KWP\nSAVE POOL=A PATH=../save\nend\n").output.find("CANCELLED"),
            std::string::npos);
  std::mt19937 timing(99);
  for (int round = 0; round < 3; ++round) {
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      // The writer: changes records until it is killed.
      records::PoolLayer& layer = service_->pools;
      if (layer.select("A-BIB", records::kSelectFind | records::kSelectOpen).failed()) ::_exit(2);
      std::mt19937 rng(static_cast<unsigned>(round));
      std::vector<std::uint32_t> mine;
      for (;;) {
        RecordHandle h;
        const unsigned what = rng() % 10;
        if (mine.empty() || what < 6) {
          make_record(h, 0, rng, mine.empty() ? 0 : mine[rng() % mine.size()]);
          if (layer.rec_insert(*pool_, *titles_, h).failed()) ::_exit(3);
          mine.push_back(h.idn);
        } else if (what < 8) {
          make_record(h, mine[rng() % mine.size()], rng, 0);
          if (layer.rec_update(*pool_, *titles_, h, nullptr).failed()) ::_exit(4);
        } else {
          const std::size_t at = rng() % mine.size();
          if (layer.rec_read(*pool_, *titles_, mine[at], h, 30000, 0).code() != 0) ::_exit(5);
          if (layer.rec_delete(*pool_, *titles_, h).failed()) ::_exit(6);
          mine.erase(mine.begin() + static_cast<long>(at));
        }
      }
    }
    ::usleep(150000 + static_cast<useconds_t>(timing() % 300000));
    ::kill(pid, SIGKILL);
    int status = 0;
    ::waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFSIGNALED(status)) << "the writer ended by itself: " << WEXITSTATUS(status);

    const RunResult r =
        inst_.run("login user=sys pass=KWP\nRESTORE POOL=A PATH=../save CONFIRM=N RECOVER=Y\nend\n");
    ASSERT_EQ(r.output.find("CANCELLED"), std::string::npos) << r.output;
    ASSERT_EQ(service_->pools.select("A-BIB", records::kSelectFind | records::kSelectOpen).code(), 0);
    const Lists recovered = lists();
    EXPECT_GT(recovered.size(), 0u);
    rebuild();
    EXPECT_TRUE(recovered == lists()) << "round " << round;
    (void)service_->dbm.close_all();
  }
}

// Linked data: the title a copy points to is copied into the copy's link
// field, and what a SUBLINK= list copied in is taken out again.
TEST_F(IndexingTest, LinkedDataIsCompletedAndStripped) {
  records::PoolLayer& layer = service_->pools;
  {
    RecordHandle title;
    records::rec_init(title, 30000, records::kExternalForm);
    put_subfield(title, "245", "10", 'a', "Der Process");
    put_subfield(title, "245", "10", 'b', "Roman", 0);
    title.idn = 1;
    ASSERT_EQ(layer.rec_insert(*pool_, *titles_, title).code(), 0);
  }
  const dict::FileDef& items = *dict::ApplDictionary::find_file(*pool_, "ITEMS")->data;
  auto copy_of = [&](RecordHandle& h, const std::string& idn) {
    records::rec_init(h, 30000, records::kExternalForm);
    put_subfield(h, "BIB", "", 'L', idn, 0);
  };
  auto subfields = [](RecordHandle& h) {
    FieldDesc f;
    f.tag = "BIB";
    f.occurrence = 1;
    std::string out;
    if (records::fld_get(h, f).code() != 0) return out;
    FieldDesc s;
    for (ResultCode rc = records::sfl_first(h, f, s); rc.code() == 0; rc = records::sfl_next(h, f, s)) {
      out += "$" + s.tag + std::string(s.content());
    }
    return out;
  };

  // The text subfield of the element gets the SOURCE= value, once.
  RecordHandle h;
  copy_of(h, "000000001");
  ASSERT_EQ(layer.rec_complete_links(*pool_, items, h).code(), 0);
  EXPECT_EQ(subfields(h), "$L000000001$aDer Process");
  ASSERT_EQ(layer.rec_complete_links(*pool_, items, h).code(), 0);
  EXPECT_EQ(subfields(h), "$L000000001$aDer Process");
  RecordHandle missing;
  copy_of(missing, "000000077");
  ASSERT_EQ(layer.rec_complete_links(*pool_, items, missing).code(), 0);
  EXPECT_EQ(subfields(missing), "$L000000077");

  // With SUBLINK=ab the listed subfields of the whole source field come in
  // after the link subfield, and stripping takes them out.
  dict::FileDef changed = items;
  dict::LinkDef link = *items.links.front();
  link.source = *dict::parse_element("245");
  dict::LinkTagDef element = *link.elements.front();
  element.subfield_codes = "ab";
  link.elements = {&element};
  changed.links = {&link};
  RecordHandle listed;
  copy_of(listed, "000000001");
  ASSERT_EQ(layer.rec_complete_links(*pool_, changed, listed).code(), 0);
  EXPECT_EQ(subfields(listed), "$L000000001$aDer Process$bRoman");
  ASSERT_EQ(layer.rec_strip_links(*pool_, changed, listed).code(), 0);
  EXPECT_EQ(subfields(listed), "$L000000001");
}

// An IDLIST index makes one key of the IDNs a record names; link list
// keys carry a sort part by the list file's key length.
TEST_F(IndexingTest, IdListKeysAndSortParts) {
  // A title with three repeatable fields that each hold an IDN.
  RecordHandle h;
  records::rec_init(h, 30000, 0);
  h.idn = 5;
  h.order = 'N';
  const std::string title_text = "Ein Titel fuer die Sortierung";
  put_subfield(h, "245", "10", 'a', title_text);
  for (const char target : {1, 2, 3}) put_subfield(h, "650", "", 'a', std::string(3, '\0') + target, 2);
  records::rec_store_header(h);

  const records::IndexContext ctx = service_->pools.index_context(*pool_);
  dict::FileDef list;  // a list file of the test's own
  list.number = 29;
  dict::TermDef idlist;
  idlist.type = dict::TermType::IdList;
  idlist.max_length = 16;
  dict::IndexDef index;
  index.number = 1;
  index.list_file = &list;
  index.term_def = &idlist;
  index.source = *dict::parse_element("650$a");
  dict::FileDef file = *titles_;
  file.indexes = {&index};
  list.index_length = 60;
  records::ListEntries entries;
  ASSERT_EQ(records::idx_entries(ctx, file, h, entries).code(), 0);
  ASSERT_EQ(entries.size(), 1u);
  std::string expected("\0\0\0\1\0\0\0\2\0\0\0\3", 12);
  expected.resize(60, '\0');
  EXPECT_EQ(entries[0].key, expected);

  // PREFIX= goes before every term of the index.
  dict::TermDef words;
  dict::IndexDef prefixed;
  prefixed.number = 2;
  prefixed.list_file = &list;
  prefixed.term_def = &words;
  prefixed.source = *dict::parse_element("245$a");
  prefixed.prefix = "T:";
  file.indexes = {&prefixed};
  entries.clear();
  ASSERT_EQ(records::idx_entries(ctx, file, h, entries).code(), 0);
  ASSERT_EQ(entries.size(), 1u);  // no translation: the value is one word
  EXPECT_EQ(entries[0].key.substr(0, 2 + title_text.size()), "T:" + title_text);

  // Link keys: the target IDN, then 4 or 5 bytes of the SORT= value or the
  // first 16 bytes of its text.
  dict::LinkTagDef element = *titles_->find_link("GT0")->elements.front();
  element.idn = *dict::parse_element("650$a");
  element.sort = *dict::parse_element("245$a");
  dict::LinkDef link = *titles_->find_link("GT0");
  link.elements = {&element};
  link.list_file = &list;
  file.links = {&link};
  for (const std::uint16_t length : {4, 8, 9, 20}) {
    list.index_length = length;
    records::ListEntries keys;
    ASSERT_EQ(records::lnk_entries(ctx, file, h, keys).code(), 0);
    ASSERT_EQ(keys.size(), 3u);
    std::string sort = title_text.substr(0, length >= 20 ? 16 : length - 4u);
    sort.resize(length >= 20 ? 16 : length - 4u, '\0');
    EXPECT_EQ(keys[1].key, std::string("\0\0\0\2", 4) + (length > 4 ? sort : "")) << length;
  }
}

// Following a link backwards through a list whose keys carry a sort part,
// narrowed by a sort value.
TEST_F(IndexingTest, BackwardLinksAreNarrowedBySortValues) {
  for (const std::uint16_t length : {20, 9}) {
    const int number = length == 20 ? 40 : 41;
    ASSERT_EQ(service_->dbm.create("A", dbm::FileSpec{'N', number, 0, 'L', length, 0, 'F', 4, 'V'}).code(),
              0);
    dict::FileDef list;
    list.number = static_cast<std::uint16_t>(number);
    list.index_length = length;
    dict::LinkTagDef element = *titles_->find_link("GT0")->elements.front();
    element.sort = *dict::parse_element(length == 20 ? "245$a" : "260$c");
    dict::LinkDef link = *titles_->find_link("GT0");
    link.elements = {&element};
    link.list_file = &list;
    dict::FileDef file = *titles_;
    file.links = {&link};
    file.indexes.clear();
    const records::IndexContext ctx = service_->pools.index_context(*pool_);
    // Records 10, 11, 12 point to record 1 with different sort values.
    const char* titles[] = {"Alpha", "Beta", "Alphabet"};
    const char* years[] = {"1999", "2001", "1999"};
    for (std::uint32_t i = 0; i < 3; ++i) {
      RecordHandle h;
      records::rec_init(h, 4096, 0);
      h.idn = 10 + i;
      h.order = 'N';
      put_subfield(h, "245", "", 'a', titles[i]);
      put_subfield(h, "260", "", 'c', years[i]);
      put_subfield(h, "GT0", "", 'L', std::string("\0\0\0\1", 4), 2);
      records::rec_store_header(h);
      ASSERT_EQ(records::lnk_generate(ctx, file, h, 'I').code(), 0);
    }
    records::IdnList r;
    ASSERT_EQ(service_->pools.lnk_follow(*pool_, file, &link, 1, r, 'B').code(), 0);
    EXPECT_EQ(r, (records::IdnList{10, 11, 12})) << length;
    r.clear();
    ASSERT_EQ(
        service_->pools.lnk_follow(*pool_, file, &link, 1, r, 'B', length == 20 ? "Alpha" : "1999").code(),
        0);
    EXPECT_EQ(r, (records::IdnList{10, 12})) << length;  // a packed part narrows by its beginning
  }
}

// With a harvesting file, a changed title, or the title a changed copy
// belongs to, is marked there.
TEST_F(IndexingTest, ChangesMarkTheirTitleForHarvesting) {
  ASSERT_EQ(service_->dbm.create("A", dbm::FileSpec{'N', 42, 0, 'D', 4, 0, 'F', 4, 'V'}).code(), 0);
  dict::PoolDef data = *pool_->data;
  data.publish = 42;
  dict::AppPoolDef pool = *pool_;
  pool.data = &data;
  records::PoolLayer& layer = service_->pools;
  std::mt19937 rng(4);
  RecordHandle title;
  make_record(title, 3, rng, 0);
  ASSERT_EQ(layer.rec_insert(pool, *titles_, title).code(), 0);
  const dict::FileDef& items = *dict::ApplDictionary::find_file(*pool_, "ITEMS")->data;
  RecordHandle copy;
  records::rec_init(copy, 4096, 0);
  copy.order = 'N';
  put_subfield(copy, "BIB", "", 'L', std::string("\0\0\0\7", 4), 2);
  records::rec_store_header(copy);
  ASSERT_EQ(layer.rec_insert(pool, items, copy).code(), 0);
  std::set<std::uint32_t> marked;
  for (const auto& [key, value] : entries(42))
    marked.insert(get_u32(reinterpret_cast<const unsigned char*>(key.data())));
  EXPECT_EQ(marked, (std::set<std::uint32_t>{3, 7}));
}

}  // namespace
}  // namespace corvanta::testing
