// The reference installation's sample catalogue, demo/data/sample.unl: it
// must be exactly what the titles below make (run with
// CORVANTA_UPDATE_SAMPLE=1 to write it anew after a change of them or of
// the indexes), and a fresh pool loaded from it answers the searches the
// documentation shows.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "installation.h"
#include "record_fields.h"
#include "records/record.h"
#include "service_fixture.h"
#include "shell/service.h"

namespace corvanta::testing {
namespace {

struct SampleTitle {
  const char* isbn;
  const char* author;
  const char* title;
  const char* responsibility;
  const char* place;
  const char* publisher;
  const char* year;
  const char* extent;
  std::vector<const char*> subjects;
};

const std::vector<SampleTitle> kTitles = {
    {"978-3-16-148410-0",
     "Berger, Klara",
     "Der Garten im Winter",
     "Klara Berger",
     "München",
     "Hanser",
     "2004",
     "212 S.",
     {"Gartenbau", "Winter"}},
    {"978-3-8270-1234-5",
     "Lindner, Paul",
     "Gärten am Fluss",
     "Paul Lindner",
     "Berlin",
     "Berlin Verlag",
     "2011",
     "180 S.",
     {"Gartenbau", "Flusslandschaft"}},
    {"978-3-446-20011-7",
     "Berger, Klara",
     "Nachtgarten",
     "Klara Berger",
     "München",
     "Hanser",
     "1998",
     "96 S.",
     {"Lyrik"}},
    {"978-3-596-18001-2",
     "Müller, Anna",
     "Das Haus am See",
     "Anna Müller",
     "Frankfurt am Main",
     "Fischer",
     "1990",
     "320 S.",
     {"Roman", "Familie"}},
    {"978-3-596-18002-9",
     "Müller, Anna",
     "Die Nacht der Kraniche",
     "Anna Müller",
     "Frankfurt am Main",
     "Fischer",
     "1995",
     "288 S.",
     {"Roman", "Vogelzug"}},
    {"978-3-15-000001-4",
     "Goethe, Johann Wolfgang von",
     "Faust",
     "Johann Wolfgang von Goethe",
     "Stuttgart",
     "Reclam",
     "1986",
     "144 S.",
     {"Drama", "Tragödie"}},
    {"978-3-15-000002-1",
     "Schiller, Friedrich",
     "Die Räuber",
     "Friedrich Schiller",
     "Stuttgart",
     "Reclam",
     "1988",
     "160 S.",
     {"Drama"}},
    {"978-3-423-12345-6",
     "Fontane, Theodor",
     "Effi Briest",
     "Theodor Fontane",
     "München",
     "dtv",
     "2002",
     "340 S.",
     {"Roman", "Ehe"}},
    {"978-3-423-12346-3",
     "Fontane, Theodor",
     "Der Stechlin",
     "Theodor Fontane",
     "München",
     "dtv",
     "2005",
     "512 S.",
     {"Roman", "Mark Brandenburg"}},
    {"978-3-7632-4567-8",
     "Sommer, Jonas",
     "Die Elbe von der Quelle bis zur Mündung",
     "Jonas Sommer",
     "Hamburg",
     "Edition Nord",
     "2016",
     "240 S.",
     {"Elbe", "Flusslandschaft", "Reise"}},
    {"978-3-7632-4568-5",
     "Sommer, Jonas",
     "Wandern an der Elbe",
     "Jonas Sommer",
     "Hamburg",
     "Edition Nord",
     "2019",
     "160 S.",
     {"Elbe", "Wandern"}},
    {"978-3-499-20001-1",
     "Winter, Eva",
     "Zeit der Stille",
     "Eva Winter",
     "Reinbek",
     "Rowohlt",
     "2008",
     "256 S.",
     {"Roman"}},
    {"978-3-499-20002-8",
     "Winter, Eva",
     "Stille Tage im Garten",
     "Eva Winter",
     "Reinbek",
     "Rowohlt",
     "2013",
     "198 S.",
     {"Gartenbau", "Erzählung"}},
    {"978-3-8321-7777-1",
     "Kraus, Martin",
     "Kleine Geschichte der Stadtbibliothek",
     "Martin Kraus",
     "Köln",
     "DuMont",
     "2021",
     "120 S.",
     {"Bibliothek", "Stadtgeschichte"}},
    {"978-3-8321-7778-8",
     "Kraus, Martin",
     "Bücher, Leser, Häuser",
     "Martin Kraus",
     "Köln",
     "DuMont",
     "2023",
     "204 S.",
     {"Bibliothek", "Architektur"}},
};

class SampleTest : public InProcessService {};

TEST_F(SampleTest, TheTrackedSampleIsWhatTheTitlesMake) {
  BatchResult result(30000);
  auto run = [&](const std::string& line) {
    ParamList params;
    params.parse(line);
    result.clear_for_command();
    return service_->dispatch(params, result);
  };
  ASSERT_EQ(service_->login(std::string_view("SYS"), std::string_view("KWP")).code(), 0);
  (void)service_->dbm.close_all();
  ASSERT_EQ(run("POOL_INIT POOL=A").code(), 0);
  ASSERT_EQ(run("STOP_LOAD POOL=A DBFILE=12 DATA=../data/stopwords.txt").code(), 0);
  ASSERT_EQ(service_->pools.select("A-BIB", records::kSelectFind | records::kSelectOpen).code(), 0);
  const dict::AppPoolDef& pool = *service_->pools.pool();
  const dict::FileDef& file = *service_->pools.file()->data;
  std::uint32_t idn = 0;
  for (const SampleTitle& t : kTitles) {
    records::RecordHandle h;
    records::rec_init(h, 30000, records::kInternalForm);
    h.idn = ++idn;
    h.order = 'N';
    auto put = [&](const char* tag, const char* ind, char code, const std::string& value) {
      put_subfield(h, tag, ind, code, value);
    };
    put("020", "", 'a', t.isbn);
    put("100", "1 ", 'a', t.author);
    const std::string title = t.title;
    const bool article =
        title.rfind("Der ", 0) == 0 || title.rfind("Die ", 0) == 0 || title.rfind("Das ", 0) == 0;
    const char* indicators = article ? "14" : "10";
    put("245", indicators, 'a', title);
    put("245", indicators, 'c', t.responsibility);
    put("260", "", 'a', t.place);
    put("260", "", 'b', t.publisher);
    put("260", "", 'c', t.year);
    for (std::size_t k = 0; k < t.subjects.size(); ++k) {  // one field per subject
      put_subfield(h, "650", "", 'a', t.subjects[k], 1, static_cast<std::uint16_t>(k + 1));
    }
    put_field(h, "300", t.extent);
    records::rec_store_header(h);
    ASSERT_EQ(service_->pools.rec_load(pool, file, h, false).code(), 0);
  }
  (void)service_->dbm.close_all();
  ASSERT_EQ(run("UNLOAD POOL=A DATA=../data/sample.unl").code(), 0);
  const std::string made = inst_.read("data/sample.unl");
  ASSERT_FALSE(made.empty());
  const std::string tracked = CORVANTA_DEMO "/data/sample.unl";
  if (std::getenv("CORVANTA_UPDATE_SAMPLE") != nullptr) {
    std::ofstream(tracked, std::ios::binary | std::ios::trunc) << made;
  }
  std::ifstream in(tracked, std::ios::binary);
  const std::string current((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_TRUE(current == made)
      << "demo/data/sample.unl is out of date: run this test with CORVANTA_UPDATE_SAMPLE=1";
}

TEST(Sample, AFreshPoolLoadedFromItAnswersTheDocumentedSearches) {
  Installation inst;
  const RunResult r = inst.run(
      "login user=sys pass=KWP\n"
      "POOL_INIT POOL=A\n"
      "LOAD POOL=A DATA=../data/sample.unl\n"
      "SEARCH POOL=A FILE=BIB QUERY=\"TIT=garten AND JAH>=2000\"\n"
      "DISPLAY NO=1 FORMAT=SHORT\n"
      "SEARCH POOL=A FILE=BIB QUERY=\"AUT=fontane? OR WRD=elbe\"\n"
      "LIST_SET SORT=1\n"
      "FILTER QUERY=\"260$c>=2010\"\n"
      "SCAN POOL=A FILE=BIB ASPECT=TIT QUERY=ga\n"
      "end\n");
  const std::string& out = r.output;
  EXPECT_TRUE(contains(
      out, {"Ergebnismenge 1: 2 Treffer", "Titel: Stille Tage im Garten / Eva Winter",
            "Ergebnismenge 2: 4 Treffer", "Sortiert nach Titel", "Ergebnismenge 3: 2 Treffer", "GARTEN"}));
  EXPECT_EQ(out.find(" - "), std::string::npos) << out;  // no failure message
}

}  // namespace
}  // namespace corvanta::testing
