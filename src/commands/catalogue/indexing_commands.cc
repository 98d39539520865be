// Record-level maintenance commands: INDEX rebuilds index entries, DELREC
// deletes one record with its entries, DELMASTER empties a file with its
// index and link list files, STOP_LOAD loads stop words.
//
// Each makes the pool named by POOL current, reopens it in the mode it
// needs, asks for the maintenance functions (group 6), creates files the
// definition names but the pool lacks, and closes the pool at the end.
#include <algorithm>
#include <cstdio>
#include <set>
#include <vector>

#include "commands/handlers.h"
#include "dbm/codes.h"
#include "dbm/values.h"
#include "indexing/indexing.h"
#include "indexing/terms.h"
#include "pool/pool_service.h"
#include "shell/codes.h"
#include "shell/command_files.h"
#include "shell/line_reader.h"
#include "shell/support.h"
#include "util/big_endian.h"
#include "util/text.h"

namespace corvanta {
namespace {

constexpr int kMaintenanceGroup = 6;
constexpr std::int32_t kMissingIdn = -11;
constexpr std::int32_t kMsgLoaded = 100;
constexpr std::int32_t kMsgIndexed = 151;
constexpr std::int32_t kMsgRecordDeleted = 182;
constexpr std::int32_t kMsgFileDeleted = 184;
constexpr std::size_t kStopLine = 199;
constexpr std::int32_t kBadSelection = -11;  // INDEX= names no index of the file
constexpr std::int32_t kNoStopFile = -234;   // DBFILE is no stop file of the pool's terms
constexpr long kMaxStopList = 65535;

// Makes POOL and FILE current, reopens the pool and creates missing files.
ResultCode open_for(Service& service, const ParamList& params, char mode, char save, bool need_file) {
  const std::string pool = params.get_into("POOL", "", 11, true);
  const std::string file = params.get_into("FILE", "", 5, true);
  if (const ResultCode rc = service.pools.make_current(pool, file); rc.failed()) return rc;
  if (need_file && service.pools.file() == nullptr) return records::kNoSuchFileName;
  if (const ResultCode rc = bat_pool_open_checked(service, mode, save, kMaintenanceGroup); rc.failed())
    return rc;
  if (const ResultCode rc = service.pools.check(*service.pools.pool()); rc.failed()) {
    (void)bat_pool_close(service);
    return rc;
  }
  return 0;
}

ResultCode closed(Service& service, ResultCode rc) {
  const ResultCode c = bat_pool_close(service);
  return rc.failed() ? rc : c;
}

bool selected(const std::vector<std::uint8_t>& flags, int n) {
  return flags[0] != 0 ||
         (n >= 0 && static_cast<std::size_t>(n) < flags.size() && flags[static_cast<std::size_t>(n)] != 0);
}

// The list files that only the selected index definitions write: they are
// emptied before the rebuild. A list file that an index left out (of any
// file of the pool) shares is kept, and the rebuild takes each record's
// entries out before it puts them in, so that no counter is raised twice.
std::set<int> own_lists(const dict::PoolDef& pool, const dict::FileDef& file,
                        const std::vector<std::uint8_t>& flags) {
  std::set<int> lists;
  for (const dict::IndexDef* index : file.indexes) {
    if (selected(flags, index->number)) lists.insert(records::list_file_of(*index));
  }
  for (const dict::FileDef* other : pool.file_defs) {
    for (const dict::IndexDef* index : other->indexes) {
      if (other != &file || !selected(flags, index->number)) lists.erase(records::list_file_of(*index));
    }
    for (const dict::LinkDef* link : other->links) {
      lists.erase(records::list_file_of(*link));
    }
  }
  return lists;
}

}  // namespace

ResultCode cmd_index(Service& service, ParamList& params, BatchResult&) {
  const std::string indexes(params.get("INDEX"));
  const std::string save = params.get_into("SAVE", "Y", 1, true);
  const long every = parse_long(params.get("RECMESS"));
  service.reporter.log_text("POOL=" + std::string(params.get("POOL")) + " FILE=" +
                                std::string(params.get("FILE")) + " INDEX=" + indexes + " SAVE=" + save,
                            0);
  if (const ResultCode rc = open_for(service, params, 'R', save == "N" ? 'N' : 'Y', true); rc.failed())
    return rc;
  const dict::AppPoolDef& pool = *service.pools.pool();
  const dict::FileDef& file = *service.pools.file()->data;
  std::vector<std::uint8_t> flags;
  const std::string_view wanted = trim_blanks(indexes);
  if (wanted.empty() || equal_nocase(wanted, "ALL")) {
    flags.assign(1000, 0);
    flags[0] = 1;
  } else if (wanted.find_first_not_of("0123456789,;- ") != std::string_view::npos) {
    return closed(service, kBadSelection);
  } else {
    bat_number_list(wanted, flags, 999);
  }
  // The selection as generation takes it: one flag per index number. One
  // that names no index of the file is refused.
  std::vector<std::uint8_t> selection(1000, 0);
  bool any = false;
  for (const dict::IndexDef* index : file.indexes) {
    if (selected(flags, index->number) && index->number < selection.size())
      selection[index->number] = any = 1;
  }
  if (!any) return closed(service, kBadSelection);
  const std::set<int> emptied = own_lists(*pool.data, file, flags);
  for (const int list : emptied) {
    if (service.dbm.find_pool(pool.name)->file(list) == nullptr) continue;
    if (const ResultCode rc = service.dbm.delete_file(pool.name, list); rc.failed())
      return closed(service, rc);
  }
  bool shared = false;
  for (const dict::IndexDef* index : file.indexes) {
    if (selected(flags, index->number) && emptied.count(records::list_file_of(*index)) == 0) shared = true;
  }

  records::IndexContext ctx = service.pools.index_context(pool);
  records::StopCache stops;  // the stop file does not change during the run
  ctx.terms.stop_cache = &stops;
  records::RecordHandle record;
  records::rec_init(record, service.pools.max_record(), records::kInternalForm);
  unsigned char key[4] = {0, 0, 0, 0};
  dbm::Position pos;
  dbm::DataRef value{{record.buffer, record.room()}};
  long count = 0;
  ResultCode result = 0;
  ResultCode skipped = 0;
  // A record that cannot be indexed (longer than MaxRecLen, lengths that do
  // not hold, more terms than IdxBufLen) is reported with its IDN and
  // passed over; the command then ends with the first such code.
  auto pass_over = [&](std::int32_t code) {
    service.reporter.error_message("IDN " + std::to_string(get_u32(key)), code);
    if (skipped.ok()) skipped = code;
  };
  ResultCode rc = service.dbm.set(pool.name, file.number, key, pos, value);
  for (; rc.code() == 0 || rc.code() == dbm::kTruncated;
       rc = service.dbm.get(pool.name, file.number, key, pos, value)) {
    const std::size_t stored = value.length;
    value = dbm::DataRef{{record.buffer, record.room()}};
    if (rc.code() == dbm::kTruncated) {
      pass_over(records::kTooLong);
      continue;
    }
    if (!records::rec_take_stored(record, get_u32(key), stored)) {
      pass_over(records::kDamagedRecord);
      continue;
    }
    records::ListEntries old_entries;
    records::ListEntries new_entries;
    ResultCode made =
        shared ? records::idx_entries(ctx, file, record, old_entries, &selection) : ResultCode(0);
    if (made.ok()) made = records::idx_entries(ctx, file, record, new_entries, &selection);
    if (made.failed()) {
      pass_over(made.code());
      continue;
    }
    result = records::write_entries(ctx, old_entries, record.idn, 'D');
    if (result.ok()) result = records::write_entries(ctx, new_entries, record.idn, 'I');
    if (result.failed()) break;
    ++count;
    if (every > 0 && count % every == 0) service.reporter.log_text(std::to_string(count), kMsgIndexed);
  }
  if (result.ok() && rc.failed()) result = rc;
  service.reporter.log_text(std::to_string(count), kMsgIndexed);
  return closed(service, result.failed() ? result : skipped);
}

ResultCode cmd_delrec(Service& service, ParamList& params, BatchResult&) {
  const long idn = parse_long(params.get("IDN"));
  const std::string file_name(params.get("FILE"));
  service.reporter.log_text(
      "POOL=" + std::string(params.get("POOL")) + " FILE=" + file_name + " IDN=" + std::to_string(idn), 0);
  if (idn < 1) return kMissingIdn;
  if (idn > static_cast<long>(records::kMaxInsertIdn)) return records::kIdnOutOfRange;
  if (const ResultCode rc = open_for(service, params, 'U', 'Y', true); rc.failed()) return rc;
  const dict::AppPoolDef& pool = *service.pools.pool();
  const dict::FileDef& file = *service.pools.file()->data;
  const std::string text = file_name + " [" + std::to_string(idn) + "]";
  records::RecordHandle record;
  ResultCode rc = service.pools.rec_read(pool, file, static_cast<std::uint32_t>(idn), record,
                                         service.pools.max_record(), records::kInternalForm);
  if (rc.code() != 0) rc = records::kRecordAbsent;
  if (rc.ok()) rc = service.pools.rec_delete(pool, file, record);
  if (rc.ok()) {
    service.reporter.log_text(text, kMsgRecordDeleted);
  } else {
    service.reporter.error_message(text, rc.code());
  }
  return closed(service, rc);
}

ResultCode cmd_delmaster(Service& service, ParamList& params, BatchResult&) {
  const std::string save = params.get_into("SAVE", "Y", 1, true);
  service.reporter.log_text("POOL=" + std::string(params.get("POOL")) +
                                " FILE=" + std::string(params.get("FILE")) + " SAVE=" + save,
                            0);
  if (const ResultCode rc = open_for(service, params, 'U', save == "N" ? 'N' : 'Y', true); rc.failed())
    return rc;
  const dict::AppPoolDef& pool = *service.pools.pool();
  const dict::FileDef& file = *service.pools.file()->data;
  // Emptying a file deletes every record of it.
  if (const ResultCode rc = service.pools.access_check(&file, records::kAccessDelete); rc.failed())
    return closed(service, rc);
  // Its index files and link list files first, each once, the file
  // itself last: a run cut off leaves entries missing, which INDEX makes
  // again, and never entries of records that are gone.
  std::vector<int> files;
  auto add = [&](int n) {
    if (n != 0 && std::find(files.begin(), files.end(), n) == files.end()) files.push_back(n);
  };
  for (const dict::IndexDef* index : file.indexes) add(records::list_file_of(*index));
  for (const dict::LinkDef* link : file.links) add(records::list_file_of(*link));
  add(file.number);
  ResultCode result = 0;
  for (const int n : files) {
    if (service.dbm.find_pool(pool.name)->file(n) == nullptr) continue;
    result = service.dbm.delete_file(pool.name, n);
    if (result.failed()) break;
    service.reporter.log_text(std::to_string(n), kMsgFileDeleted);
  }
  return closed(service, result);
}

ResultCode cmd_stop_load(Service& service, ParamList& params, BatchResult&) {
  const std::string data(params.get("DATA"));
  const long stop_file = parse_long(params.get("DBFILE"));
  service.reporter.log_text("POOL=" + std::string(params.get("POOL")) +
                                " DBFILE=" + std::string(params.get("DBFILE")) + " DATA=" + data,
                            0);
  if (const ResultCode rc = open_for(service, params, 'R', 'Y', false); rc.failed()) return rc;
  // Only a file that a term definition of the pool names as its stop file
  // takes stop words: any other would get keys it does not understand.
  bool stop = false;
  for (const dict::FileDef* file : service.pools.pool()->data->file_defs) {
    for (const dict::IndexDef* index : file->indexes) {
      if (index->term_def != nullptr && index->term_def->stop_file == stop_file && stop_file > 0) stop = true;
    }
  }
  if (!stop) return closed(service, kNoStopFile);
  ResultCode opened = 0;
  std::FILE* in = open_command_input(service, data, opened);
  if (in == nullptr) return closed(service, opened);
  const std::string& pool = service.pools.pool()->name;
  long loaded = 0;
  long number = 0;
  ResultCode result = 0;
  ResultCode refused = 0;
  bool too_long = false;
  // Each line: the list number, blanks or tabs, the word up to a control
  // character or "*", and after "*" an additional term. A line that does
  // not hold this (or is longer than 199 characters) is reported and
  // passed over; a failure of the pool ends the reading.
  while (result.ok()) {
    const std::optional<std::string> line = read_line(in, kStopLine + 1, &too_long);
    if (!line) break;
    ++number;
    std::string_view text(*line);
    while (!text.empty() && text.back() == '\r') text.remove_suffix(1);
    if (text.empty() || text.front() == '*' || text.front() == '!') continue;
    std::size_t i = 0;
    long list = 0;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9' && list <= kMaxStopList)
      list = list * 10 + (text[i++] - '0');
    const bool numbered = i > 0 && i < text.size() && (text[i] == ' ' || text[i] == '\t');
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
    std::size_t end = i;
    while (end < text.size() && static_cast<unsigned char>(text[end]) >= ' ' && text[end] != '*') ++end;
    const std::string_view word = trim_blanks(text.substr(i, end - i));
    std::string_view extra;
    if (end < text.size() && text[end] == '*') {
      std::size_t stop_at = end + 1;
      while (stop_at < text.size() && static_cast<unsigned char>(text[stop_at]) >= ' ') ++stop_at;
      extra = trim_blanks(text.substr(end + 1, stop_at - end - 1));
    }
    if (too_long || !numbered || list > kMaxStopList || word.empty()) {
      service.reporter.error_message(data + " #" + std::to_string(number), codes::kBadStopLine);
      if (refused.ok()) refused = codes::kBadStopLine;
      continue;
    }
    result =
        records::stp_add(service.dbm, pool, static_cast<int>(stop_file), static_cast<int>(list), word, extra);
    if (result.ok()) ++loaded;
  }
  std::fclose(in);
  service.reporter.log_text(std::to_string(loaded), kMsgLoaded);
  return closed(service, result.failed() ? result : refused);
}

}  // namespace corvanta
