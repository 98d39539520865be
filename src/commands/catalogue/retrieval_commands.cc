// Finding and showing records: SEARCH builds a result set from a query,
// FILTER narrows the current set by field conditions, LIST_SET lists (and
// sorts) a stored set, DISPLAY shows one hit, SCAN browses an index.
//
// The current set travels from command to command in the result record's
// set number. Each command opens the pool it works in for inquiry.
#include <algorithm>
#include <array>
#include <cstdio>

#include "commands/handlers.h"
#include "search/retrieval.h"
#include "shell/codes.h"
#include "shell/support.h"
#include "util/text.h"

namespace corvanta {
namespace {

constexpr std::int32_t kMsgSetHits = 170;  // "%u: %u": set number and hits
constexpr std::int32_t kMsgScanPages = 171;
constexpr std::int32_t kMsgSortedBy = 172;
constexpr std::size_t kSetRows = 40;
constexpr std::size_t kDisplayRows = 100;
constexpr std::size_t kScanRows = 30;
constexpr std::size_t kQueryAfterAspect = 496;
constexpr std::size_t kMaxFormName = 20;

// "AAA=" and the query when ASPECT is given, else QUERY. A query the
// command line cut at 200 characters would mean something else: it is
// refused.
ResultCode query_param(const ParamList& params, std::string& query) {
  if (params.was_cut("QUERY")) return records::kQuerySyntax;
  query = std::string(params.get("QUERY"));
  if (params.has("ASPECT"))
    query = params.get_into("ASPECT", "", 3, false) + "=" + query.substr(0, kQueryAfterAspect);
  return 0;
}

// Makes POOL and FILE current (defaults: the set's) and opens the pool for
// inquiry, when the user may see the file's records.
ResultCode open_for_inquiry(Service& service, const ParamList& params, std::string_view default_pool,
                            std::string_view default_file) {
  const std::string pool = params.get_into("POOL", default_pool, 11, true);
  const std::string file = params.get_into("FILE", default_file, 5, true);
  if (pool.empty()) return codes::kNoCurrentPool;
  if (file.empty()) return codes::kNoCurrentFile;
  if (const ResultCode rc = service.pools.make_current(pool, file); rc.failed()) return rc;
  if (const ResultCode rc = bat_display_access(service); rc.failed()) return rc;
  return bat_pool_open(service, 'I', 'N');
}

// The application file of a stored set, by its data file number.
const dict::AppFileDef* set_file(const Service& service, const records::ResultSet& set) {
  const dict::AppPoolDef* pool = service.appl_dictionary.find_pool(set.pool);
  if (pool == nullptr || set.pool.empty()) return nullptr;
  for (const dict::AppFileDef* f : pool->file_defs) {
    if (f->data != nullptr && f->data->number == set.file) return f;
  }
  return nullptr;
}

// Loads the current set and opens its pool and file (or POOL and FILE).
ResultCode open_current_set(Service& service, const ParamList& params, const BatchResult& result,
                            records::ResultSet& set) {
  if (result.set_no == 0) return records::kSetInvalid;
  if (const ResultCode rc = service.sets.load(result.set_no, set); rc.failed()) return rc;
  const dict::AppFileDef* file = set_file(service, set);
  return open_for_inquiry(service, params, set.pool, file != nullptr ? file->name : "");
}

void report_set(Service& service, const records::ResultSet& set, BatchResult& result) {
  result.set_no = set.number;
  result.first = 1;
  result.next = records::set_count(set);
  char text[40];
  std::snprintf(text, sizeof text, "%u: %u", set.number, records::set_count(set));
  service.reporter.screen_text(text, kMsgSetHits);
}

// Rows of the hits from position `start` (1-based): each record laid out
// by the file's form "LIST" (its first line), else its position and IDN.
ResultCode add_hit_rows(Service& service, const records::ResultSet& set, std::size_t start, std::size_t limit,
                        BatchResult& result) {
  const dict::AppPoolDef* pool = service.pools.pool();
  const dict::AppFileDef* file = service.pools.file();
  if (pool == nullptr || file == nullptr || file->data == nullptr) return codes::kNoCurrentFile;
  const dict::FormDef* form = file->find_form("LIST");
  std::size_t added = 0;
  for (std::size_t i = start == 0 ? 0 : start - 1; i < set.hits.size() && added < limit; ++i) {
    const std::uint32_t idn = set.hits[i];
    records::RecordHandle h;
    char plain[40];
    std::snprintf(plain, sizeof plain, "%5zu %9u", i + 1, idn);
    if (form == nullptr ||
        service.pools.rec_read(*pool, *file->data, idn, h, service.pools.max_record(), records::kExternalForm)
                .code() != 0) {
      bat_add_lines(result, {{plain}}, nullptr, 1);
    } else {
      records::FormatContext ctx;
      ctx.hit_number = static_cast<std::uint32_t>(i + 1);
      std::vector<records::FormattedLine> lines = records::format_record(service.forms.layout(form), h, ctx);
      if (lines.empty()) lines.push_back({plain});
      bat_add_lines(result, {lines.front()}, form, 1);
    }
    ++added;
  }
  return 0;
}

// A new set stored, made the current one, reported with its first rows.
ResultCode store_and_show(Service& service, records::ResultSet& set, BatchResult& result) {
  if (const ResultCode rc = service.sets.store(set); rc.failed()) return rc;
  report_set(service, set, result);
  return add_hit_rows(service, set, 1, kSetRows, result);
}

}  // namespace

ResultCode cmd_search(Service& service, ParamList& params, BatchResult& result) {
  std::string query;
  if (const ResultCode rc = query_param(params, query); rc.failed()) return rc;
  if (const ResultCode rc = open_for_inquiry(service, params, "", ""); rc.failed()) return rc;
  records::ResultSet set;
  if (const ResultCode rc = service.retrieval.find(query, set); rc.failed()) return rc;
  return store_and_show(service, set, result);
}

ResultCode cmd_filter(Service& service, ParamList& params, BatchResult& result) {
  records::ResultSet source;
  if (const ResultCode rc = open_current_set(service, params, result, source); rc.failed()) return rc;
  std::string query;
  if (const ResultCode rc = query_param(params, query); rc.failed()) return rc;
  if (trim_blanks(query).empty()) return records::kNoQuery;
  const std::string inverse = params.get_into("INVERSE", "", 1, true);
  records::ResultSet target;
  if (const ResultCode rc = service.retrieval.filter(query, source, target, inverse == "Y"); rc.failed())
    return rc;
  return store_and_show(service, target, result);
}

ResultCode cmd_display(Service& service, ParamList& params, BatchResult& result) {
  records::ResultSet set;
  if (const ResultCode rc = open_current_set(service, params, result, set); rc.failed()) return rc;
  const long number = params.has("NO") ? parse_long(params.get("NO")) : 1;
  if (number < 1) return records::kRecordAbsent;
  if (static_cast<unsigned long>(number) > set.hits.size()) return 0;
  const dict::AppPoolDef& pool = *service.pools.pool();
  const dict::AppFileDef& shown = *service.pools.file();
  records::RecordHandle h;
  if (service.pools
          .rec_read(pool, *shown.data, set.hits[static_cast<std::size_t>(number - 1)], h,
                    service.pools.max_record(), records::kExternalForm)
          .code() != 0)
    return records::kRecordAbsent;
  if (const ResultCode rc = service.pools.rec_complete_links(pool, *shown.data, h); rc.failed()) return rc;
  const std::string name = params.get_into("FORMAT", "DEFAULT-1", kMaxFormName, true);
  const dict::FormDef* form = shown.find_form(name);
  records::FormatContext ctx;
  ctx.hit_number = static_cast<std::uint32_t>(number);
  bat_add_lines(result, records::format_record(service.forms.layout(form), h, ctx), form, kDisplayRows);
  result.first = static_cast<std::uint32_t>(number);
  return 0;
}

ResultCode cmd_list_set(Service& service, ParamList& params, BatchResult& result) {
  const long number = params.has("SETNO") ? parse_long(params.get("SETNO")) : result.set_no;
  if (number < 1 || static_cast<unsigned long>(number) > 0xFFFFFFFFul) return records::kSetInvalid;
  records::ResultSet set;
  if (const ResultCode rc = service.sets.load(static_cast<std::uint32_t>(number), set); rc.failed())
    return rc;
  const dict::AppFileDef* file = set_file(service, set);
  if (file == nullptr) return codes::kNoCurrentPool;
  if (const ResultCode rc = service.pools.make_current(set.pool, file->name); rc.failed()) return rc;
  if (const ResultCode rc = bat_display_access(service); rc.failed()) return rc;
  if (const ResultCode rc = bat_pool_open(service, 'I', 'N'); rc.failed()) return rc;
  if (!trim_blanks(params.get("SORT")).empty()) {
    // SORT=1,2: the sort forms 001 and 002; DIRECTION=D descending.
    std::array<std::uint16_t, records::kSortKeys> keys{};
    std::size_t k = 0;
    std::string_view list = params.get("SORT");
    while (!list.empty()) {
      const std::size_t comma = list.find(',');
      const long n = parse_long(trim_blanks(list.substr(0, comma)));
      list.remove_prefix(comma == std::string_view::npos ? list.size() : comma + 1);
      if (n < 1 || n > 999 || k >= keys.size()) return records::kNoSortDefinition;
      keys[k++] = static_cast<std::uint16_t>(n);
    }
    const std::string direction = params.get_into("DIRECTION", "A", 1, true);
    if (const ResultCode rc = service.retrieval.sort(set, keys, direction.empty() ? 'A' : direction[0]);
        rc.failed())
      return rc;
    if (const ResultCode rc = service.sets.store(set); rc.failed()) return rc;
  }
  long start = params.has("START") ? parse_long(params.get("START")) : 1;
  if (start < 1) start = 1;
  report_set(service, set, result);
  result.first =
      static_cast<std::uint32_t>(std::min<unsigned long>(static_cast<unsigned long>(start), 0xFFFFFFFFul));
  if (set.direction != 0) {
    std::string info;
    if (service.retrieval.sort_info(set, info).ok() && !info.empty()) {
      service.reporter.screen_text(info, kMsgSortedBy);
      result.text = info.substr(0, kMaxResultText);
    }
  }
  return add_hit_rows(service, set, static_cast<std::size_t>(start), kSetRows, result);
}

ResultCode cmd_scan(Service& service, ParamList& params, BatchResult& result) {
  std::string query;
  if (const ResultCode rc = query_param(params, query); rc.failed()) return rc;
  if (const ResultCode rc = open_for_inquiry(service, params, "", ""); rc.failed()) return rc;
  std::string aspect = query.substr(0, 3);
  upper_in_place(aspect);
  std::string_view start = std::string_view(query).substr(std::min<std::size_t>(3, query.size()));
  while (!start.empty() && start.front() == ' ') start.remove_prefix(1);
  if (!start.empty() && start.front() == '=') start.remove_prefix(1);
  const long skip = params.has("SKIP") ? parse_long(params.get("SKIP")) : 0;
  std::vector<records::ScanRow> rows;
  long previous = 0;
  long next = 0;
  if (const ResultCode rc = service.retrieval.scan(aspect, start, skip, kScanRows, rows, previous, next);
      rc.failed())
    return rc;
  const dict::AppFileDef& file = *service.pools.file();
  const dict::FormDef* form = file.find_form(file.scan_form.empty() ? "SCAN" : file.scan_form);
  const records::Layout* layout = service.forms.layout(form);
  for (const records::ScanRow& row : rows) {
    if (layout == nullptr) {
      bat_add_lines(result, {{row.count, row.term}}, form, 1);
      continue;
    }
    // The row as a small record: CNT the count, KEY the row key, TRM the term.
    records::RecordHandle h;
    records::rec_init(h, 1024, records::kExternalForm);
    for (const auto& [tag, text] : {std::pair{"CNT", &row.count}, {"KEY", &row.key}, {"TRM", &row.term}}) {
      records::FieldDesc f;
      f.tag = tag;
      f.type = 1;
      f.set(*text);
      (void)records::fld_put(h, f);
    }
    const std::vector<records::FormattedLine> lines = records::format_record(layout, h);
    bat_add_lines(result, lines, form, lines.size());
  }
  char positions[64];
  std::snprintf(positions, sizeof positions, "%09ld", previous);
  params.add("PREV", positions);
  std::snprintf(positions, sizeof positions, "%09ld", next);
  params.add("NEXT", positions);
  char text[80];
  std::snprintf(text, sizeof text, "PREV=%09ld NEXT=%09ld", previous, next);
  result.text = text;
  service.reporter.screen_text(text, kMsgScanPages);
  return 0;
}

}  // namespace corvanta
