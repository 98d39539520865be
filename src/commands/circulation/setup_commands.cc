// The setup table commands: SETUP_IMP and SETUP_EXP move a pool's policy
// tables to and from their text form; SETUP_GET lists a block, SETUP_PUT,
// SETUP_DEL and SETUP_DLB change one, and SETUP_LOD puts a block back as
// today's backup holds it. The policy is the library's: all of them need the
// administration right (ADM) of the users table. Before the first change of
// a block on a day, the block is saved to Directories/Backup as
// "<block><sublib>_YYMMDD.par"; only blocks of the table and sub-library
// codes that cannot name a directory are taken, so that the backup stays
// where it belongs.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "commands/handlers.h"
#include "imex/exchange_file.h"
#include "library/setup_tables.h"
#include "shell/codes.h"
#include "shell/command_files.h"
#include "shell/support.h"
#include "shell/users.h"
#include "util/date.h"
#include "util/text.h"

namespace corvanta {
namespace {

constexpr std::int32_t kMsgLoaded = 100;    // "%s" entries stored
constexpr std::int32_t kMsgUnloaded = 101;  // "%s" entries written
constexpr std::size_t kMaxBlockParam = 50;
constexpr std::size_t kMaxEntryParam = 50;

ResultCode open_pool(Service& service, const ParamList& params, char mode) {
  if (const ResultCode rc = bat_admin(service); rc.failed()) return rc;
  if (const ResultCode rc = bat_pool_param(service, params); rc.failed()) return rc;
  return bat_pool_open(service, mode, 'Y');
}

// The current pool's setup file (SETUP= of its definition).
int pool_setup_file(Service& service) {
  const dict::AppPoolDef* pool = service.pools.pool();
  return pool != nullptr && pool->data != nullptr ? pool->data->setup : 0;
}

// FILE when given and not 0, else the pool's setup file.
int setup_file(Service& service, const ParamList& params) {
  const int file = std::atoi(std::string(params.get("FILE")).c_str());
  return file > 0 ? file : pool_setup_file(service);
}

records::SetupStore store_of(Service& service, int file) {
  return records::SetupStore(service.dbm, service.pools.pool()->name, file);
}

// Reads the text form from `path` into the store.
ResultCode import_file(Service& service, records::SetupStore& store, const std::string& path, bool iso,
                       std::size_t& count) {
  imex::InputFile in(service.dbm.file_system());
  if (in.open(path).failed()) return codes::kCannotOpenFile;
  bool failed_read = false;
  const auto next_line = [&](std::string& line) {
    bool cut = false;
    if (!in.line(line, records::kSetupValueLength, cut)) {
      failed_read = in.failed();
      return false;
    }
    return true;
  };
  std::function<std::string(std::string_view)> convert;
  if (iso) convert = [](std::string_view value) { return latin1_to_utf8(value); };
  const ResultCode rc = store.import_text(next_line, convert, count);
  if (rc.code() != 0) return rc;
  return failed_read ? ResultCode(imex::kCannotRead) : ResultCode(0);
}

// The parameters that SETUP_GET, _PUT, _DEL, _DLB and _LOD share.
struct BlockParams {
  std::string sublib;
  std::string block;
  std::string entry;
};

ResultCode block_params(Service& service, const ParamList& params, bool with_entry, BlockParams& out) {
  out.sublib = params.has("SUBLIB") ? params.get_into("SUBLIB", "", 5, false)
                                    : service.state.current_sublib.substr(0, 5);
  out.block = params.get_into("BLOCK", "", kMaxBlockParam, false);
  if (out.block.empty()) return codes::kMissingParameter;
  if (records::setup_block_code(out.block).empty()) {
    service.reporter.error_message("BLOCK=" + out.block, codes::kUnknownBlock);
    return codes::kUnknownBlock;
  }
  const bool plain = std::all_of(out.sublib.begin(), out.sublib.end(), [](char c) {
    return static_cast<unsigned char>(c) > ' ' && c != '/' && c != '\\' && c != 0x7F;
  });
  if (!plain || out.sublib == "." || out.sublib == "..") {
    service.reporter.error_message("SUBLIB=" + out.sublib, codes::kBadSublib);
    return codes::kBadSublib;
  }
  if (with_entry) {
    out.entry = params.get_into("ENTRY", "", kMaxEntryParam, false);
    if (out.entry.empty()) return codes::kMissingParameter;
  }
  return 0;
}

// Today's backup of a block; "" when the installation keeps none.
std::string backup_path(Service& service, const BlockParams& b) {
  std::string dir = service.configs.get(service.state.server_config, "Directories", "Backup");
  if (dir.empty()) return {};
  if (dir.back() != '/') dir += '/';
  const std::string_view name = records::setup_block_name(records::setup_block_code(b.block));
  std::string today;
  (void)date_convert(0, 6, "", today);
  return dir + std::string(name) + b.sublib + "_" + today.substr(2) + ".par";
}

// Saves the block before the day's first change of it.
ResultCode backup_block(Service& service, records::SetupStore& store, const BlockParams& b) {
  const std::string path = backup_path(service, b);
  if (path.empty() || service.dbm.file_system().exists(path)) return 0;
  imex::OutputFile out(service.dbm.file_system());
  if (out.create(path).failed()) return codes::kCannotOpenFile;
  std::size_t count = 0;
  const ResultCode rc = store.export_text(
      b.sublib, b.block,
      [&](std::string_view text) {
        out.write(text);
        return !out.failed();
      },
      count);
  if (rc.failed()) {
    out.discard();
    return rc;
  }
  return out.commit();
}

std::string pool_name(Service& service) {
  return service.pools.pool() != nullptr ? service.pools.pool()->name : std::string();
}

}  // namespace

ResultCode cmd_setup_imp(Service& service, ParamList& params, BatchResult&) {
  if (const ResultCode rc = open_pool(service, params, 'U'); rc.failed()) return rc;
  const int file = setup_file(service, params);
  const std::string iso = params.get_into("ISO", "N", 1, true);
  const std::string path(params.get("DATA"));
  char line[400];
  std::snprintf(line, sizeof line, "POOL=%s FILE=%d ISO=%s DATA=%s", pool_name(service).c_str(), file,
                iso.c_str(), path.c_str());
  service.reporter.log_text(line, 0);
  if (const ResultCode rc = check_command_file(service, path, FileUse::Read); rc.failed()) return rc;
  records::SetupStore store = store_of(service, file);
  std::size_t count = 0;
  const ResultCode rc = import_file(service, store, path, iso == "Y", count);
  service.reporter.log_text(std::to_string(count), kMsgLoaded);
  return rc;
}

ResultCode cmd_setup_exp(Service& service, ParamList& params, BatchResult&) {
  if (const ResultCode rc = open_pool(service, params, 'I'); rc.failed()) return rc;
  const int file = setup_file(service, params);
  const std::string path(params.get("DATA"));
  char line[400];
  std::snprintf(line, sizeof line, "POOL=%s FILE=%d DATA=%s", pool_name(service).c_str(), file, path.c_str());
  service.reporter.log_text(line, 0);
  CommandOutput out;
  if (const ResultCode rc = out.open(service, path); rc.failed()) return rc;
  records::SetupStore store = store_of(service, file);
  std::size_t count = 0;
  const ResultCode rc = store.export_text(
      params.get_into("SUBLIB", "", 5, false), params.get_into("BLOCK", "", kMaxBlockParam, false),
      [&](std::string_view text) {
        if (std::fwrite(text.data(), 1, text.size(), out.stream()) != text.size()) out.write_failed(service);
        return !out.failed();
      },
      count);
  if (rc.failed()) return rc;
  if (const ResultCode c = out.commit(service); c.failed()) return c;
  service.reporter.log_text(std::to_string(count), kMsgUnloaded);
  return 0;
}

ResultCode cmd_setup_get(Service& service, ParamList& params, BatchResult& result) {
  BlockParams b;
  if (const ResultCode rc = open_pool(service, params, 'U'); rc.failed()) return rc;
  if (const ResultCode rc = block_params(service, params, false, b); rc.failed()) return rc;
  records::SetupStore store = store_of(service, pool_setup_file(service));
  records::SetupEntry e;
  ResultCode rc = store.first(b.sublib, b.block, e);
  for (; rc.code() == 0 && store.in_block(b.sublib, b.block); rc = store.next(e)) {
    if (!e.value.empty()) bat_add_row(service, e.entry + "=" + e.value, result);
  }
  return rc.failed() ? rc : ResultCode(0);
}

ResultCode cmd_setup_put(Service& service, ParamList& params, BatchResult&) {
  BlockParams b;
  if (const ResultCode rc = open_pool(service, params, 'U'); rc.failed()) return rc;
  if (const ResultCode rc = block_params(service, params, false, b); rc.failed()) return rc;
  // The rows ENTRY=VALUE come from the file DATA, one a line.
  const std::string path(params.get("DATA"));
  if (const ResultCode rc = check_command_file(service, path, FileUse::Read); rc.failed()) return rc;
  imex::InputFile in(service.dbm.file_system());
  if (in.open(path).failed()) return codes::kCannotOpenFile;
  std::vector<std::pair<std::string, std::string>> rows;
  std::string line;
  bool cut = false;
  while (in.line(line, records::kSetupValueLength + records::kSetupEntryLength + 1, cut)) {
    while (!line.empty() && (line.back() == ' ' || line.back() == '\r')) line.pop_back();
    if (line.empty()) continue;
    const std::size_t eq = line.find('=');
    rows.emplace_back(line.substr(0, eq), eq == std::string::npos ? std::string() : line.substr(eq + 1));
  }
  if (in.failed()) return imex::kCannotRead;

  service.reporter.log_text("POOL=" + pool_name(service) + " SUBLIB=" + b.sublib + " BLOCK=" + b.block, 0);
  records::SetupStore store = store_of(service, pool_setup_file(service));
  if (const ResultCode rc = backup_block(service, store, b); rc.failed()) return rc;
  for (const auto& [entry, value] : rows) {
    ResultCode rc = store.update(b.sublib, b.block, entry, value);
    if (rc.code() == 1) rc = store.insert(b.sublib, b.block, entry, value);
    if (rc.failed()) return rc;
  }
  return 0;
}

ResultCode cmd_setup_del(Service& service, ParamList& params, BatchResult&) {
  BlockParams b;
  if (const ResultCode rc = open_pool(service, params, 'U'); rc.failed()) return rc;
  if (const ResultCode rc = block_params(service, params, true, b); rc.failed()) return rc;
  service.reporter.log_text(
      "POOL=" + pool_name(service) + " SUBLIB=" + b.sublib + " BLOCK=" + b.block + " ENTRY=" + b.entry, 0);
  records::SetupStore store = store_of(service, pool_setup_file(service));
  if (const ResultCode rc = backup_block(service, store, b); rc.failed()) return rc;
  const ResultCode rc = store.remove(b.sublib, b.block, b.entry);
  return rc.failed() ? rc : ResultCode(0);
}

ResultCode cmd_setup_dlb(Service& service, ParamList& params, BatchResult&) {
  BlockParams b;
  if (const ResultCode rc = open_pool(service, params, 'U'); rc.failed()) return rc;
  if (const ResultCode rc = block_params(service, params, false, b); rc.failed()) return rc;
  service.reporter.log_text("POOL=" + pool_name(service) + " SUBLIB=" + b.sublib + " BLOCK=" + b.block, 0);
  records::SetupStore store = store_of(service, pool_setup_file(service));
  if (const ResultCode rc = backup_block(service, store, b); rc.failed()) return rc;
  std::size_t count = 0;
  const ResultCode rc = store.delete_block(b.sublib, b.block, count);
  return rc.failed() ? rc : ResultCode(0);
}

ResultCode cmd_setup_lod(Service& service, ParamList& params, BatchResult&) {
  BlockParams b;
  if (const ResultCode rc = open_pool(service, params, 'U'); rc.failed()) return rc;
  if (const ResultCode rc = block_params(service, params, false, b); rc.failed()) return rc;
  const std::string path = backup_path(service, b);
  if (path.empty()) return 0;
  if (!service.dbm.file_system().exists(path)) return codes::kNoBackup;
  service.reporter.log_text(
      "POOL=" + pool_name(service) + " SUBLIB=" + b.sublib + " BLOCK=" + b.block + " PATH=" + path, 0);
  records::SetupStore store = store_of(service, pool_setup_file(service));
  // The block is replaced as a whole: after a crash the journal holds both
  // steps or neither. The count is logged whenever the unit was begun.
  bool begun = false;
  std::size_t count = 0;
  const ResultCode rc = service.pools.as_unit(pool_name(service), [&]() -> ResultCode {
    begun = true;
    std::size_t deleted = 0;
    ResultCode r = store.delete_block(b.sublib, b.block, deleted);
    if (!r.failed()) r = import_file(service, store, path, false, count);
    return r;
  });
  if (begun) service.reporter.log_text(std::to_string(count), kMsgLoaded);
  return rc;
}

}  // namespace corvanta
