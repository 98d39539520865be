// INDEX, DELREC, DELMASTER and STOP_LOAD end to end on the reference
// installation's title file and its indexes.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "installation.h"
#include "pool_fixture.h"
#include "record_fields.h"
#include "records/record.h"

namespace corvanta::testing {
namespace {

constexpr int kWords = 21;    // title words
constexpr int kAuthors = 22;  // author phrases
constexpr int kIsbn = 24;
constexpr int kPhrases = 29;  // titles from the first filing character
constexpr int kYears = 30;
const std::vector<int> kIndexFiles = {kWords, kAuthors, 23, kIsbn, kPhrases, kYears};

struct Title {
  std::string indicators, title, author, isbn, year;
};

std::vector<unsigned char> image(std::uint32_t idn, const Title& t) {
  records::RecordHandle h;
  records::rec_init(h, 30000, 0);
  h.idn = idn;
  auto put = [&](const char* tag, const std::string& ind, char code, const std::string& data) {
    if (!data.empty()) put_subfield(h, tag, ind, code, data);
  };
  put("020", "", 'a', t.isbn);
  put("100", "1 ", 'a', t.author);
  put("245", t.indicators, 'a', t.title);
  put("260", "", 'c', t.year);
  records::rec_store_header(h);
  return {h.image().begin(), h.image().end()};
}

// Whether `file` has the key `term` (zero-filled) with the item `idn`.
bool indexed(const Snapshot& s, int file, const std::string& term, std::uint32_t idn) {
  for (const auto& [key, value] : s) {
    if (key.first != file || key.second.rfind(term, 0) != 0) continue;
    if (key.second.find_first_not_of('\0', term.size()) != std::string::npos) continue;
    for (std::size_t at = 0; at + 4 <= value.size(); at += 4) {
      const auto* p = reinterpret_cast<const unsigned char*>(value.data() + at);
      if ((std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 | p[3]) == (idn & 0xFFFFFF)) return true;
    }
  }
  return false;
}

class IndexCommands : public PoolCommands {
 protected:
  void store_titles() {
    PoolWriter w(inst_, now());
    w.insert_record(
        1, image(1, {"14", "The Lord of the Rings", "Tolkien, J. R. R.", "978-3-608-93984-2", "1954"}));
    w.insert_record(2, image(2, {"10", "Der Tod in Venedig", "Mann, Thomas", "", "1912"}));
    w.insert_record(3, image(3, {"10", "Die Elbe", "", "", ""}));
    w.insert_record(4, image(4, {"10", "Der Die Das", "", "", ""}));
  }
};

TEST_F(IndexCommands, IndexMakesTheTermsOfTheStoredRecords) {
  store_titles();
  const RunResult r =
      run("STOP_LOAD POOL=A DBFILE=12 DATA=../data/stopwords.txt\n"
          "INDEX POOL=A FILE=BIBLS RECMESS=2\n");
  EXPECT_EQ(r.output.find("CANCELLED"), std::string::npos) << r.output;
  EXPECT_TRUE(contains(r.output, {"Geladen: 26", "Indexiert: 2\n", "Indexiert: 4\n"}));

  const Snapshot s = snapshot(inst_, kIndexFiles);
  EXPECT_TRUE(indexed(s, kWords, "LORD", 1));
  EXPECT_TRUE(indexed(s, kWords, "RINGS", 1));
  EXPECT_TRUE(indexed(s, kWords, "VENEDIG", 2));
  EXPECT_TRUE(indexed(s, kWords, "ELBE", 3));
  EXPECT_FALSE(indexed(s, kWords, "THE", 1));  // a stop word
  EXPECT_FALSE(indexed(s, kWords, "DIE", 3));
  EXPECT_TRUE(indexed(s, kWords, "DAS", 4));                  // a title of stop words only keeps them
  EXPECT_TRUE(indexed(s, kAuthors, "TOLKIEN J R R", 1));      // punctuation to blanks, runs as one
  EXPECT_TRUE(indexed(s, kPhrases, "LORD OF THE RINGS", 1));  // "The " skipped by the indicator
  EXPECT_TRUE(indexed(s, kPhrases, "DER TOD IN VENEDIG", 2));
  EXPECT_TRUE(indexed(s, kIsbn, "9783608939842", 1));
  EXPECT_TRUE(indexed(s, kYears, "000001954", 1));

  // A second INDEX makes the same entries, not doubled ones.
  ASSERT_EQ(run("INDEX POOL=A FILE=BIBLS\n").output.find("CANCELLED"), std::string::npos);
  EXPECT_EQ(snapshot(inst_, kIndexFiles), s);

  // INDEX=1,3-5 rebuilds those indexes only.
  ASSERT_EQ(run("DELETE POOL=A FILES=21,29\nINDEX POOL=A FILE=BIBLS INDEX=1,3-5\n").output.find("CANCELLED"),
            std::string::npos);
  const Snapshot partly = snapshot(inst_, kIndexFiles);
  EXPECT_TRUE(indexed(partly, kWords, "LORD", 1));
  EXPECT_FALSE(indexed(partly, kPhrases, "LORD OF THE RINGS", 1));
  ASSERT_EQ(run("INDEX POOL=A FILE=BIBLS INDEX=ALL\n").output.find("CANCELLED"), std::string::npos);
  EXPECT_EQ(snapshot(inst_, kIndexFiles), s);
}

TEST_F(IndexCommands, DelrecAndDelmasterKeepTheIndexesRight) {
  store_titles();
  ASSERT_EQ(run("INDEX POOL=A FILE=BIBLS\n").output.find("CANCELLED"), std::string::npos);
  const RunResult r =
      run("DELREC POOL=A FILE=BIBLS IDN=2\n"
          "DELREC POOL=A FILE=BIBLS IDN=2\n"
          "DELREC POOL=A FILE=BIBLS\n"
          "DELREC POOL=A FILE=NOSUCH IDN=1\n");
  EXPECT_TRUE(contains(r.output,
                       {"Gelöscht: BIBLS [2]", "BIBLS [2] : 457 - ", "CANCELLED: 0011", "CANCELLED: 0152"}));
  const Snapshot s = snapshot(inst_, kIndexFiles);
  EXPECT_FALSE(indexed(s, kWords, "VENEDIG", 2));
  EXPECT_FALSE(indexed(s, kYears, "000001912", 2));
  EXPECT_TRUE(indexed(s, kWords, "LORD", 1));

  const RunResult m = run("DELMASTER POOL=A FILE=BIBLS\n");
  EXPECT_EQ(m.output.find("CANCELLED"), std::string::npos) << m.output;
  EXPECT_TRUE(contains(m.output, {"Datei 1 geleert", "Datei 29 geleert"}));
  EXPECT_TRUE(snapshot(inst_, kIndexFiles).empty());
  EXPECT_TRUE(snapshot(inst_, {1}).empty());
}

// What a careless or hostile operator can hand these commands.
TEST_F(IndexCommands, BadRecordsAndParametersAreRefusedOneByOne) {
  store_titles();
  {
    PoolWriter w(inst_, now());
    // Under key 7 a record that says it is 3; under 8 one byte; under 9 a
    // title whose terms overflow IdxBufLen.
    w.insert_record(7, image(3, {"10", "Fremder Kopf", "", "", ""}));
    w.insert_record(8, std::vector<unsigned char>{' '});
    std::string words;
    for (int i = 0; i < 2400; ++i) words += "ab ";
    w.insert_record(9, image(9, {"10", words, "", "", ""}));
  }
  const RunResult r = run("INDEX POOL=A FILE=BIBLS\n");
  EXPECT_TRUE(contains(r.output, {"IDN 8 : 406 - ", "IDN 9 : 702 - "}));
  EXPECT_NE(r.output.find("Indexiert: 5\n"), std::string::npos);  // 1-4 and 7
  EXPECT_NE(r.output.find("CANCELLED: 0406"), std::string::npos);
  const Snapshot s = snapshot(inst_, kIndexFiles);
  EXPECT_TRUE(indexed(s, kWords, "FREMDER", 7));  // the key names the record
  EXPECT_FALSE(indexed(s, kWords, "FREMDER", 3));
  EXPECT_FALSE(indexed(s, kWords, "AB", 9));

  const RunResult d =
      run("DELREC POOL=A FILE=BIBLS IDN=7\n"
          "DELREC POOL=A FILE=BIBLS IDN=4294967297\n"
          "INDEX POOL=A FILE=BIBLS INDEX=ABC\n"
          "INDEX POOL=A FILE=BIBLS INDEX=77\n"
          "DELMASTER POOL=A FILE=ITEMS\n");
  EXPECT_TRUE(contains(d.output,
                       {"Gelöscht: BIBLS [7]", "CANCELLED: 0402", "INDEX POOL=A FILE=BIBLS INDEX=ABC : 11 - ",
                        "INDEX POOL=A FILE=BIBLS INDEX=77 : 11 - "}));
  // DELMASTER empties the lists before the file.
  EXPECT_LT(d.output.find("Datei 28 geleert"), d.output.find("Datei 2 geleert"));
  const Snapshot titles = snapshot(inst_, {1});
  std::string key3(4, '\0');
  key3[3] = 3;
  std::string key1(4, '\0');
  key1[3] = 1;
  EXPECT_EQ(titles.count({1, key3}), 1u);  // not the record its header named
  EXPECT_EQ(titles.count({1, key1}), 1u);  // not what 4294967297 wraps to

  // Stop words go only into a stop file; bad lines are reported and passed
  // over.
  inst_.write("data/stop.txt", "1 GUT\nohne Nummer\n70000 ZUVIEL\n" + std::string(250, 'x') + "\n1 AUCH\n");
  const RunResult st =
      run("STOP_LOAD POOL=A DBFILE=1 DATA=../data/stop.txt\n"
          "STOP_LOAD POOL=A DBFILE=12 DATA=../data/stop.txt\n");
  EXPECT_TRUE(
      contains(st.output, {"CANCELLED: 0234", "../data/stop.txt #2 : 169 - ", "../data/stop.txt #3 : 169 - ",
                           "../data/stop.txt #4 : 169 - ", "Geladen: 2"}));
}

}  // namespace
}  // namespace corvanta::testing
