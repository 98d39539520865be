// The catalogue the benchmarks search and index: records drawn from the
// vocabularies of the real MARC 21 records in the shared exchange data, and
// the installations of the service and of Zebra that hold them.
#include "catalogue.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <set>
#include <sstream>

#include "commands/command_table.h"
#include "pool/pool_service.h"
#include "records/record.h"
#include "scripting/psi_procedures.h"
#include "shell/service.h"

namespace corvanta::bench {
namespace {

namespace fs = std::filesystem;

// Subfield `code` of every field `tag` of an ISO 2709 record.
std::vector<std::string> marc_values(std::string_view rec, std::string_view tag, char code) {
  std::vector<std::string> out;
  if (rec.size() < 24) return out;
  const std::size_t base = static_cast<std::size_t>(std::atoi(std::string(rec.substr(12, 5)).c_str()));
  for (std::size_t d = 24; d + 12 <= rec.size() && rec[d] != '\x1e'; d += 12) {
    if (rec.substr(d, 3) != tag) continue;
    const std::size_t len = static_cast<std::size_t>(std::atoi(std::string(rec.substr(d + 3, 4)).c_str()));
    const std::size_t start = static_cast<std::size_t>(std::atoi(std::string(rec.substr(d + 7, 5)).c_str()));
    if (base + start + len > rec.size()) continue;
    const std::string_view field = rec.substr(base + start, len);
    for (std::size_t at = field.find('\x1f'); at != std::string_view::npos; at = field.find('\x1f', at + 1)) {
      if (at + 1 >= field.size() || field[at + 1] != code) continue;
      std::size_t end = field.find_first_of("\x1f\x1e", at + 2);
      std::string value(
          field.substr(at + 2, end == std::string_view::npos ? std::string_view::npos : end - at - 2));
      while (!value.empty() && std::string(" /:;,.").find(value.back()) != std::string::npos)
        value.pop_back();
      if (!value.empty()) out.push_back(value);
    }
  }
  return out;
}

std::vector<std::string> words_of(const std::vector<std::string>& texts) {
  std::vector<std::string> words;
  for (const std::string& t : texts) {
    std::istringstream in(t);
    for (std::string w; in >> w;) words.push_back(w);
  }
  return words;
}

// The vocabularies of the real records, and records drawn from them.
std::vector<Title> make_titles(std::size_t count) {
  std::vector<std::string> titles, authors, subjects;
  for (const auto& entry : fs::directory_iterator(CORVANTA_EXCHANGE "/marc21")) {
    std::ifstream in(entry.path(), std::ios::binary);
    std::string data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    for (std::size_t at = 0; at < data.size();) {
      std::size_t end = data.find('\x1d', at);
      if (end == std::string::npos) end = data.size();
      const std::string_view rec(data.data() + at, end - at);
      for (auto& v : marc_values(rec, "245", 'a')) titles.push_back(v);
      for (auto& v : marc_values(rec, "100", 'a')) authors.push_back(v);
      for (auto& v : marc_values(rec, "650", 'a')) subjects.push_back(v);
      at = end + 1;
    }
  }
  const std::vector<std::string> title_words = words_of(titles);
  const std::vector<std::string> subject_words = words_of(subjects);
  std::vector<std::string> surnames, forenames;
  for (const std::string& a : authors) {
    const std::size_t comma = a.find(',');
    surnames.push_back(a.substr(0, comma));
    if (comma != std::string::npos) forenames.push_back(a.substr(comma + 1));
  }
  if (forenames.empty()) forenames.push_back(" A.");
  std::mt19937 rng(42);
  auto pick = [&](const std::vector<std::string>& v) { return v[rng() % v.size()]; };
  std::vector<Title> out(count);
  for (Title& t : out) {
    const int n = 2 + static_cast<int>(rng() % 7);
    for (int i = 0; i < n; ++i) t.title += (i ? " " : "") + pick(title_words);
    t.author = pick(surnames) + "," + pick(forenames);
    for (int i = static_cast<int>(rng() % 4); i > 0; --i) {
      std::string s;
      for (int k = 1 + static_cast<int>(rng() % 3); k > 0; --k)
        s += (s.empty() ? "" : " ") + pick(subject_words);
      t.subjects.push_back(s);
    }
    char isbn[32];
    std::snprintf(isbn, sizeof isbn, "978-3-%03u-%05u-%u", static_cast<unsigned>(rng() % 1000),
                  static_cast<unsigned>(rng() % 100000), static_cast<unsigned>(rng() % 10));
    t.isbn = isbn;
    t.year = std::to_string(1900 + rng() % 125);
  }
  return out;
}

}  // namespace

// One record as ISO 2709.
std::string marc_record(const Title& t) {
  std::vector<std::pair<std::string, std::string>> fields;
  auto add = [&](const char* tag, const char* ind, char code, const std::string& value) {
    fields.emplace_back(tag, std::string(ind) + '\x1f' + code + value + '\x1e');
  };
  add("020", "  ", 'a', t.isbn);
  add("100", "1 ", 'a', t.author);
  add("245", "10", 'a', t.title);
  add("260", "  ", 'c', t.year);
  for (const std::string& s : t.subjects) add("650", " 0", 'a', s);
  std::string directory, data;
  for (const auto& [tag, body] : fields) {
    char entry[16];
    std::snprintf(entry, sizeof entry, "%s%04zu%05zu", tag.c_str(), body.size(), data.size());
    directory += entry;
    data += body;
  }
  directory += '\x1e';
  const std::size_t base = 24 + directory.size();
  char leader[32];
  std::snprintf(leader, sizeof leader, "%05zunam a22%05zu   4500", base + data.size() + 1, base);
  return leader + directory + data + '\x1d';
}

std::size_t record_count() {
  const char* n = std::getenv("CORVANTA_BENCH_RECORDS");
  return n != nullptr && std::atol(n) > 0 ? static_cast<std::size_t>(std::atol(n)) : 100000;
}

const std::vector<Title>& titles() {
  static const std::vector<Title> all = make_titles(record_count());
  return all;
}

double run_timed(const std::string& command) {
  const auto start = std::chrono::steady_clock::now();
  const int status = std::system(command.c_str());
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return status == 0 ? seconds : -1;
}

// A copy of the reference installation whose title file holds the records.
std::string prepare_installation(std::string_view name, bool indexed) {
  const std::string root = fs::temp_directory_path().string() + "/corvanta-bench-" + std::string(name) + "-" +
                           std::to_string(::getpid());
  fs::remove_all(root);
  fs::copy(CORVANTA_DEMO, root, fs::copy_options::recursive);
  const fs::path previous = fs::current_path();
  fs::current_path(root + "/work");
  {
    corvanta::Service service(stdin, stdout, corvanta::command_table(), corvanta::make_pool_procedures);
    if (service.configs.load_main_path("../etc/corvanta.cfg").failed() || service.system_init().failed())
      return {};
    (void)service.dbm.initialize("A", "../data/a");
    if (service.pools.select("A-BIB", corvanta::records::kSelectFind | corvanta::records::kSelectOpen)
            .failed())
      return {};
    (void)service.dbm.set_save_file("A", "");
    const corvanta::dict::AppPoolDef& pool = *service.pools.pool();
    const corvanta::dict::FileDef& file = *service.pools.file()->data;
    corvanta::records::RecordHandle h;
    std::uint32_t idn = 0;
    for (const Title& t : titles()) {
      corvanta::records::rec_init(h, 4096, 0);
      h.idn = ++idn;
      auto put = [&](const char* tag, const char* ind, char code, const std::string& value) {
        corvanta::records::FieldDesc f;
        f.tag = tag;
        f.indicators = ind;
        f.occurrence = 999;
        corvanta::records::FieldDesc s;
        s.tag.assign(1, code);
        s.type = 1;
        s.set(value);
        (void)corvanta::records::fld_put(h, f, &s);
      };
      put("020", "", 'a', t.isbn);
      put("100", "1 ", 'a', t.author);
      put("245", "10", 'a', t.title);
      put("260", "", 'c', t.year);
      for (const std::string& s : t.subjects) put("650", " 0", 'a', s);
      corvanta::records::rec_store_header(h);
      if (service.pools.rec_load(pool, file, h, true).failed()) return {};
    }
    (void)service.dbm.close_all();
    service.system_shutdown();
  }
  fs::current_path(previous);
  std::ofstream(root + "/temp/stop.txt")
      << "login user=sys pass=KWP\nSTOP_LOAD POOL=A DBFILE=12 DATA=../data/stopwords.txt\nend\n";
  std::ofstream(root + "/temp/index.txt") << "login user=sys pass=KWP\nINDEX POOL=A FILE=BIBLS SAVE=N\nend\n";
  const std::string batch = "cd '" + root + "/work' && '" CORVANTA_BATCH "' < ../temp/";
  if (std::system((batch + "stop.txt > /dev/null").c_str()) != 0) return {};
  if (indexed && std::system((batch + "index.txt > ../temp/index.out").c_str()) != 0) return {};
  return root;
}

std::string prepare_zebra(std::string_view name, bool indexed) {
  const std::string root = fs::temp_directory_path().string() + "/corvanta-bench-" + std::string(name) + "-" +
                           std::to_string(::getpid());
  fs::remove_all(root);
  fs::create_directories(root + "/reg");
  {
    std::ofstream records(root + "/records.mrc", std::ios::binary);
    for (const Title& t : titles()) records << marc_record(t);
    // The same six indexes: title words and phrase, author phrase, subject
    // words, ISBN, year.
    std::ofstream(root + "/bench.abs")
        << "name usmarc\nreference USmarc\nattset bib1.att\ntagset usmarc.tag\n"
           "marc usmarc.mar\nesetname F @\n"
           "elm 020 ISBN -\nelm 020/? ISBN -\nelm 020/?/a ISBN !:w\n"
           "elm 100 Author-name-personal -\nelm 100/? Author-name-personal -\n"
           "elm 100/?/a Author-name-personal !:p\n"
           "elm 245 title -\nelm 245/? title -\nelm 245/?/a title !:w,!:p\n"
           "elm 260 Date -\nelm 260/? Date -\nelm 260/?/c Date !:n\n"
           "elm 650 Subject-heading -\nelm 650/? Subject-heading -\n"
           "elm 650/?/a Subject-heading !:w\n";
    std::ofstream(root + "/zebra.cfg") << "profilePath: " << root << ":/usr/share/idzebra-2.0/tab\n"
                                       << "attset: bib1.att\nrecordType: grs.marc.bench\nregister: " << root
                                       << "/reg:2G\nlockDir: " << root << "\nmemMax: 64M\n";
  }
  // The record type grs.marc.bench reads bench.abs from the profile path.
  const std::string zebra = zebra_command(root);
  if (std::system((zebra + " init > zebra.log 2>&1").c_str()) != 0) return {};
  if (indexed && std::system((zebra + " update records.mrc >> zebra.log 2>&1").c_str()) != 0) return {};
  return root;
}

}  // namespace corvanta::bench
