// The number counter commands: NUMB_ADD, NUMB_UPD, NUMB_SET and NUMB_DEL
// change one counter, NUMB_LIST lists a file's counters with their next
// numbers, NUMB_EXP and NUMB_IMP move a pool's counters to and from a text
// file. A counter is named by the record file, a numbering group of it
// (AUTONUM= of the file's definition, whose FILE= holds the counters) and
// its name.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "commands/handlers.h"
#include "imex/exchange_file.h"
#include "pool/counters.h"
#include "shell/codes.h"
#include "shell/command_files.h"
#include "shell/support.h"
#include "util/text.h"

namespace corvanta {
namespace {

constexpr int kNumberingGroup = 2;
constexpr std::int32_t kMsgImported = 100;  // "FILE %s : %d"
constexpr std::int32_t kMsgExported = 101;
constexpr std::size_t kMaxName = 30;
constexpr std::size_t kMaxLine = 4000;  // longer than any exported counter's line

// The numbering definition of a group of the file; null when none.
const dict::AutonumDef* numbering_of(const dict::FileDef& file, int group) {
  for (const dict::AutonumDef* a : file.autonums) {
    if (a != nullptr && a->number == group && a->file != 0) return a;
  }
  return nullptr;
}

// What the single-counter commands name.
struct CounterParams {
  const dict::AppFileDef* file = nullptr;
  const dict::AutonumDef* numbering = nullptr;
  std::string name;
  int group = 0;
};

// POOL, FILE, NAME and GROUP read and checked, the pool opened in `mode`;
// the parameters are logged with `extra` (PATTERN or VALUE).
ResultCode counter_params(Service& service, const ParamList& params, char mode, std::string_view extra,
                          CounterParams& out) {
  const std::string pool = params.get_into("POOL", "", 1, true);
  const std::string file = params.get_into("FILE", "", 3, true);
  out.name = params.get_into("NAME", "", kMaxName, false);
  const std::string group = params.get_into("GROUP", "", 10, false);
  std::string line;
  for (const auto& [key, value] : {std::pair<std::string_view, std::string_view>{"POOL=", pool},
                                   {" FILE=", file},
                                   {" NAME=", out.name},
                                   {" GROUP=", group}}) {
    line.append(key).append(value);
  }
  if (!extra.empty()) line.append(" ").append(extra).append("=").append(params.get(extra));
  service.reporter.log_text(line, 0);
  const dict::AppPoolDef* def = service.appl_dictionary.find_pool(pool);
  if (pool.empty() || def == nullptr) return codes::kNoCurrentPool;
  out.file = dict::ApplDictionary::find_file(*def, file);
  if (file.empty() || out.file == nullptr || out.file->data == nullptr) return codes::kNoCurrentFile;
  out.group = std::atoi(group.c_str());
  out.numbering = numbering_of(*out.file->data, out.group);
  if (out.numbering == nullptr || out.name.empty()) return codes::kMissingParameter;
  if (const ResultCode rc = service.pools.make_current(pool, file); rc.failed()) return rc;
  return bat_pool_open_checked(service, mode, 'Y', kNumberingGroup);
}

records::CounterStore store_of(Service& service, const dict::AutonumDef& numbering) {
  return records::CounterStore(service.dbm, service.pools.pool()->name, numbering.file);
}

std::string file_code(const dict::AppFileDef& file) {
  return file.code.substr(0, 3);
}

// One line of the export form.
std::string export_line(const dict::AppFileDef& file, int group, const records::Counter& c) {
  char head[32];
  std::snprintf(head, sizeof head, "%3s:%03d", file_code(file).c_str(), group);
  char number[16];
  std::snprintf(number, sizeof number, "%09lu", static_cast<unsigned long>(c.number));
  return std::string(head) + " NAME=" + c.name + ",PATTERN=" + records::numb_pattern_text(c.pattern) +
         ",COUNTER=" + number;
}

// The parts of an export line; false when the line does not have that form.
struct ImportLine {
  std::string file;
  int group = 0;
  std::string name;
  std::string pattern;
  std::uint32_t number = 0;
};
bool parse_import_line(std::string_view line, ImportLine& out) {
  const std::size_t colon = line.find(':');
  const std::size_t name_at = line.find(" NAME=");
  const std::size_t pattern_at = line.find(",PATTERN=");
  if (colon == std::string_view::npos || name_at == std::string_view::npos ||
      pattern_at == std::string_view::npos || colon > name_at || name_at > pattern_at)
    return false;
  out.file = std::string(trim_blanks(line.substr(0, colon)));
  if (out.file.empty() || out.file.size() > 3) return false;
  out.group = std::atoi(std::string(line.substr(colon + 1, name_at - colon - 1)).c_str());
  if (out.group <= 0) return false;
  out.name = std::string(line.substr(name_at + 6, pattern_at - name_at - 6));
  if (out.name.empty() || out.name.size() > kMaxName) return false;
  const std::string_view rest = line.substr(pattern_at + 9);
  const std::size_t counter_at = rest.find(",COUNTER=");
  out.pattern = std::string(rest.substr(0, counter_at));
  if (counter_at == std::string_view::npos) {
    out.number = 0;
    return true;
  }
  // The number: digits only, at most 4294967295.
  const std::string_view digits = trim_blanks(rest.substr(counter_at + 9));
  if (digits.empty() || digits.size() > 10 ||
      digits.find_first_not_of("0123456789") != std::string_view::npos)
    return false;
  const unsigned long long number = std::strtoull(std::string(digits).c_str(), nullptr, 10);
  if (number > 0xFFFFFFFFull) return false;
  out.number = static_cast<std::uint32_t>(number);
  return true;
}

// Each numbering group of the file with its definition, in order.
template <typename Visit>
ResultCode each_numbering(const dict::AppFileDef& file, Visit visit) {
  if (file.data == nullptr) return 0;
  for (const dict::AutonumDef* a : file.data->autonums) {
    if (a == nullptr || a->file == 0) continue;
    if (const ResultCode rc = visit(*a); rc.failed()) return rc;
  }
  return 0;
}

}  // namespace

ResultCode cmd_numb_add(Service& service, ParamList& params, BatchResult&) {
  CounterParams p;
  if (const ResultCode rc = counter_params(service, params, 'U', "PATTERN", p); rc.failed()) return rc;
  records::Counter c;
  c.name = std::string(cut_to(p.name, records::kCounterNameLength));
  if (records::numb_compile(params.get("PATTERN"), c.pattern).failed()) return codes::kMissingParameter;
  c.year = static_cast<std::uint16_t>(records::current_year());
  records::CounterStore store = store_of(service, *p.numbering);
  return store.insert(p.file->data->number, p.group, c);
}

ResultCode cmd_numb_upd(Service& service, ParamList& params, BatchResult&) {
  CounterParams p;
  if (const ResultCode rc = counter_params(service, params, 'U', "PATTERN", p); rc.failed()) return rc;
  std::string pattern;
  if (records::numb_compile(params.get("PATTERN"), pattern).failed()) return codes::kMissingParameter;
  records::CounterStore store = store_of(service, *p.numbering);
  records::Counter c;
  const ResultCode rc = store.read(p.file->data->number, p.group, p.name, c);
  if (rc.code() != 0) return rc.failed() ? rc : ResultCode(codes::kMissingParameter);
  c.pattern = pattern;
  return store.update(p.file->data->number, p.group, c);
}

ResultCode cmd_numb_set(Service& service, ParamList& params, BatchResult&) {
  CounterParams p;
  if (const ResultCode rc = counter_params(service, params, 'U', "VALUE", p); rc.failed()) return rc;
  const std::string value(trim_blanks(params.get("VALUE")));
  char* end = nullptr;
  const unsigned long number = std::strtoul(value.c_str(), &end, 10);
  if (value.empty() || *end != '\0' || number > 0xFFFFFFFFul) return codes::kMissingParameter;
  records::CounterStore store = store_of(service, *p.numbering);
  records::Counter c;
  const ResultCode rc = store.read(p.file->data->number, p.group, p.name, c);
  if (rc.code() != 0) return rc.failed() ? rc : ResultCode(codes::kMissingParameter);
  c.number = static_cast<std::uint32_t>(number);
  return store.update(p.file->data->number, p.group, c);
}

ResultCode cmd_numb_del(Service& service, ParamList& params, BatchResult&) {
  CounterParams p;
  if (const ResultCode rc = counter_params(service, params, 'U', {}, p); rc.failed()) return rc;
  records::CounterStore store = store_of(service, *p.numbering);
  const ResultCode rc = store.remove(p.file->data->number, p.group, p.name);
  if (rc.code() == 1) return codes::kMissingParameter;
  return rc;
}

ResultCode cmd_numb_list(Service& service, ParamList& params, BatchResult&) {
  const std::string pool = params.get_into("POOL", "", 1, true);
  const std::string file = params.get_into("FILE", "", 3, true);
  service.reporter.log_text("POOL=" + pool + " FILE=" + file, 0);
  const dict::AppPoolDef* def = service.appl_dictionary.find_pool(pool);
  if (pool.empty() || def == nullptr) return codes::kNoCurrentPool;
  const dict::AppFileDef* app = dict::ApplDictionary::find_file(*def, file);
  if (file.empty() || app == nullptr || app->data == nullptr) return codes::kNoCurrentFile;
  if (const ResultCode rc = service.pools.make_current(pool, file); rc.failed()) return rc;
  if (const ResultCode rc = bat_pool_open_checked(service, 'I', 'Y', kNumberingGroup); rc.failed()) return rc;
  const int year = records::current_year();
  return each_numbering(*app, [&](const dict::AutonumDef& numbering) {
    records::CounterStore store = store_of(service, numbering);
    return store.walk(app->data->number, numbering.number, [&](const records::Counter& c) {
      // The next number, made on a copy: nothing is stored.
      std::uint32_t number = c.number;
      std::uint16_t last_year = c.year;
      const std::optional<std::string> next = records::numb_next(c.pattern, number, last_year, year);
      char line[128];
      std::snprintf(line, sizeof line, "%3s  %03d  %-10s  %09lu  ", file_code(*app).c_str(), numbering.number,
                    c.name.c_str(), static_cast<unsigned long>(c.number));
      service.reporter.screen_text(
          std::string(line) + records::numb_pattern_text(c.pattern) + "  NEXT:  " + next.value_or("-"), 0);
      return ResultCode(0);
    });
  });
}

ResultCode cmd_numb_exp(Service& service, ParamList& params, BatchResult&) {
  const std::string path(params.get("DATA"));
  service.reporter.log_text("POOL=" + params.get_into("POOL", "", 1, true) + " DATA=" + path, 0);
  if (path.empty()) return codes::kMissingParameter;
  if (const ResultCode rc = bat_open_pool_param(service, params, 'I', kNumberingGroup); rc.failed())
    return rc;
  CommandOutput out;
  if (const ResultCode rc = out.open(service, path); rc.failed()) return rc;
  const dict::AppPoolDef& pool = *service.pools.pool();
  for (const dict::AppFileDef* app : pool.file_defs) {
    if (app->data == nullptr || app->data->autonums.empty()) continue;
    long count = 0;
    const ResultCode rc = each_numbering(*app, [&](const dict::AutonumDef& numbering) {
      records::CounterStore store = store_of(service, numbering);
      return store.walk(app->data->number, numbering.number, [&](const records::Counter& c) {
        const std::string line = export_line(*app, numbering.number, c) + "\n";
        if (std::fwrite(line.data(), 1, line.size(), out.stream()) != line.size()) out.write_failed(service);
        ++count;
        return ResultCode(out.failed() ? codes::kCannotWriteFile : 0);
      });
    });
    if (rc.failed()) return rc;
    char text[64];
    std::snprintf(text, sizeof text, "FILE %s : %ld", file_code(*app).c_str(), count);
    service.reporter.log_text(text, kMsgExported);
  }
  return out.commit(service);
}

ResultCode cmd_numb_imp(Service& service, ParamList& params, BatchResult&) {
  const std::string path(params.get("DATA"));
  service.reporter.log_text("POOL=" + params.get_into("POOL", "", 1, true) + " DATA=" + path, 0);
  if (path.empty()) return codes::kMissingParameter;
  if (const ResultCode rc = bat_open_pool_param(service, params, 'U', kNumberingGroup); rc.failed())
    return rc;
  if (const ResultCode rc = check_command_file(service, path, FileUse::Read); rc.failed()) return rc;
  imex::InputFile in(service.dbm.file_system());
  if (in.open(path).failed()) return codes::kCannotOpenFile;
  const dict::AppPoolDef& pool = *service.pools.pool();
  const int year = records::current_year();
  std::vector<std::pair<std::string, long>> counts;  // per file, in the order met
  ResultCode last = 0;
  std::string line;
  bool cut = false;
  while (in.line(line, kMaxLine, cut)) {
    while (!line.empty() && line.back() == '\r') line.pop_back();
    if (cut) {
      // Longer than any counter's line: not loaded, and said so.
      last = codes::kMissingParameter;
      service.reporter.error_message(line.substr(0, 40), last.code());
      continue;
    }
    ImportLine l;
    if (!parse_import_line(line, l)) continue;
    const dict::AppFileDef* app = dict::ApplDictionary::find_file(pool, l.file);
    if (app == nullptr || app->data == nullptr) {
      last = codes::kNoCurrentFile;
      service.reporter.error_message(line, last.code());
      continue;
    }
    char context[64];
    std::snprintf(context, sizeof context, "%3s:%03d NAME=", l.file.c_str(), l.group);
    const std::string what = context + l.name;
    const dict::AutonumDef* numbering = numbering_of(*app->data, l.group);
    records::Counter c;
    c.name = std::string(cut_to(l.name, records::kCounterNameLength));
    c.number = l.number;
    c.year = static_cast<std::uint16_t>(year);
    if (numbering == nullptr || records::numb_compile(l.pattern, c.pattern).failed()) {
      last = codes::kMissingParameter;
      service.reporter.error_message(what, last.code());
      continue;
    }
    records::CounterStore store = store_of(service, *numbering);
    last = store.insert(app->data->number, l.group, c);
    if (last.failed()) {
      service.reporter.error_message(what, last.code());
      continue;
    }
    auto it = std::find_if(counts.begin(), counts.end(), [&](const auto& e) { return e.first == l.file; });
    if (it == counts.end()) it = counts.insert(counts.end(), {l.file, 0});
    ++it->second;
  }
  if (in.failed()) last = imex::kCannotRead;
  for (const auto& [file, count] : counts) {
    char text[64];
    std::snprintf(text, sizeof text, "FILE %s : %ld", file.c_str(), count);
    service.reporter.log_text(text, kMsgImported);
  }
  return last;
}

}  // namespace corvanta
