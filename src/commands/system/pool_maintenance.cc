// Pool maintenance commands: POOL_INIT, POOL_PROT, CHECK, UNLOAD, LOAD and
// DELETE. Each works on the pool named by POOL through the database
// manager's operations; all but POOL_INIT reopen the pool in the mode they
// need and close it at the end.
//
// Unload file: records of
//   0 2 file number, 2 2 key length k, 4 2 value length v, 6 1 0,
//   7 1 portion mark (0 whole value; 1, 2, ... portions; 255 the last one),
//   8 k key, 8+k v value (at most 30000 bytes)
// files in ascending number, keys in order. All integers big-endian.
#include <cstdio>
#include <vector>

#include "commands/handlers.h"
#include "dbm/codes.h"
#include "shell/codes.h"
#include "shell/command_files.h"
#include "shell/service.h"
#include "shell/support.h"
#include "util/big_endian.h"
#include "util/posix_io.h"
#include "util/text.h"

namespace corvanta {
namespace {

constexpr std::size_t kPortion = 30000;
constexpr std::size_t kUnloadHeader = 8;
constexpr std::int32_t kMsgLoaded = 100;
constexpr std::int32_t kMsgUnloaded = 101;
constexpr std::int32_t kMsgFileDeleted = 184;
constexpr std::int32_t kListOutOfOrder = -235;
constexpr std::int32_t kDamagedUnloadFile = -239;  // a record cut short
constexpr int kMaintenanceGroup = 6;

// Makes the pool named by POOL current: -151 when it is not defined.
ResultCode current_pool(Service& service, const ParamList& params) {
  return service.pools.make_current(params.get_into("POOL", "", 11, true));
}

// FILES of UNLOAD and LOAD: empty or ALL selects every file; otherwise
// numbers separated by blanks, commas or semicolons.
std::vector<std::uint8_t> unload_selection(std::string_view text) {
  std::vector<std::uint8_t> flags(dbm::kMaxFileNumber + 1, 0);
  const std::string_view t = trim_blanks(text);
  if (t.empty() || equal_nocase(cut_to(t, 3), "ALL")) {
    flags[0] = 1;
    return flags;
  }
  std::size_t i = 0;
  int taken = 0;
  while (i < t.size() && taken < dbm::kMaxFileNumber) {
    while (i < t.size() && (t[i] == ' ' || t[i] == ',' || t[i] == ';')) ++i;
    long n = 0;
    bool any = false;
    while (i < t.size() && t[i] >= '0' && t[i] <= '9') {
      n = std::min(n * 10 + (t[i] - '0'), 100000L);
      ++i;
      any = true;
    }
    if (!any) {
      ++i;
      continue;
    }
    if (n >= 1 && n <= dbm::kMaxFileNumber) flags[static_cast<std::size_t>(n)] = 1;
    ++taken;
  }
  return flags;
}

bool selected(const std::vector<std::uint8_t>& flags, int file) {
  return flags[0] != 0 || (file >= 0 && static_cast<std::size_t>(file) < flags.size() &&
                           flags[static_cast<std::size_t>(file)] != 0);
}

std::string unload_path(Service& service, const ParamList& params) {
  const std::string data(params.get("DATA"));
  if (!data.empty()) return data;
  return service.pools.pool_value(*service.pools.pool(), "Path") + ".unl";
}

// The start of UNLOAD and LOAD: the pool named by POOL is made current, the
// unload file is named (DATA, else the pool's path with ".unl") and logged.
ResultCode start_with_unload_file(Service& service, const ParamList& params, std::string& path) {
  if (const ResultCode rc = current_pool(service, params); rc.failed()) return rc;
  path = unload_path(service, params);
  service.reporter.log_text(
      "POOL=" + service.pools.pool()->name + " FILES=" + std::string(params.get("FILES")) + " DATA=" + path,
      0);
  return 0;
}

int key_length_of(dbm::Pool& pool, const dbm::FileDescriptor& fd) {
  const dbm::FileDescriptor* m = fd.is_sub() ? pool.file(fd.main) : &fd;
  return m != nullptr ? m->index_length : 0;
}

}  // namespace

ResultCode cmd_pool_init(Service& service, ParamList& params, BatchResult&) {
  const std::string name = params.get_into("POOL", "", 11, true);
  service.reporter.log_text("POOL=" + name, 0);
  if (const ResultCode rc = bat_admin(service); rc.failed()) return rc;
  if (const ResultCode rc = service.pools.make_current(name); rc.failed()) return rc;
  const dict::AppPoolDef& pool = *service.pools.pool();
  if (service.dbm.find_pool(pool.name) != nullptr) (void)service.dbm.close(pool.name);
  const std::string path = service.pools.pool_value(pool, "Path");
  if (const ResultCode rc = service.dbm.initialize(pool.name, path); rc.failed()) return rc;
  if (const ResultCode rc = service.dbm.open(pool.name, path, 'R'); rc.failed()) return rc;
  const ResultCode created = service.pools.check(pool);
  const ResultCode closed = service.dbm.close(pool.name);
  return created.failed() ? created : closed;
}

ResultCode cmd_pool_prot(Service& service, ParamList& params, BatchResult& result) {
  if (const ResultCode rc = current_pool(service, params); rc.failed()) return rc;
  if (const ResultCode rc = bat_pool_open_checked(service, 'I', 'N', kMaintenanceGroup); rc.failed())
    return rc;
  const std::string& name = service.pools.pool()->name;
  std::string text;
  (void)service.dbm.listing(text, name, 0);
  bat_add_row(service, text, result);
  const std::string files = params.get_into("FILES", "ALL", 10, true);
  const bool all = files.substr(0, 3) == "ALL";
  const long only = all ? 0 : parse_long(files);
  dbm::Pool* pool = service.dbm.find_pool(name);
  for (int n = 1; n <= dbm::kMaxFileNumber && pool != nullptr; ++n) {
    if (pool->file(n) == nullptr || (!all && n != only)) continue;
    std::string listing;
    (void)service.dbm.listing(listing, name, n);
    std::uint32_t count = 0;
    (void)service.dbm.count(name, n, count);
    listing += "COUNT=" + std::to_string(count) + "\n";
    bat_add_row(service, listing, result);
  }
  return bat_pool_close(service);
}

namespace {

// CHECK's walk over the selected files of the open pool `name`: every value
// read to the end, the items of lists in order. Reports each failure and
// each file's line; returns the number of errors and adds the files with
// errors to `failed_files`.
long check_files(Service& service, const std::string& name, const std::string& files,
                 std::vector<std::pair<int, int>>& failed_files) {
  std::vector<std::uint8_t> flags;
  bat_number_list(files, flags, dbm::kMaxFileNumber);
  const dict::PoolDef* def = service.pools.pool()->data;
  dbm::Pool* pool = service.dbm.find_pool(name);
  long total = 0;
  for (const dict::FileDef* fd : def->file_defs) {
    const int n = fd->number;
    if (!selected(flags, n) || pool == nullptr || pool->file(n) == nullptr) continue;
    const dbm::FileDescriptor& desc = *pool->file(n);
    const std::size_t capacity = fd->organisation == dict::Organisation::Record
                                     ? static_cast<std::size_t>(service.state.limits.max_rec_len)
                                 : desc.is_list()
                                     ? kPortion
                                     : std::max<std::size_t>(desc.data_length, desc.entry_data_length);
    std::vector<unsigned char> key(static_cast<std::size_t>(key_length_of(*pool, desc)), 0);
    std::vector<unsigned char> buffer(std::max<std::size_t>(capacity, 1));
    dbm::Position pos;
    dbm::DataRef ref{buffer};
    dbm::Continuation cont;
    long count = 0;
    int errors = 0;
    auto report = [&](std::int32_t code, const char* tag) {
      std::string where;
      if (fd->organisation == dict::Organisation::Record && key.size() >= 4) {
        where = "IDN " + std::to_string(get_u32(key.data()));
      } else {
        char hex[4];
        for (unsigned char b : key) {
          std::snprintf(hex, sizeof hex, "%02X", b);
          where += hex;
        }
      }
      service.reporter.error_message(where + " " + tag, code);
      ++errors;
    };
    const char* tag = desc.is_list()
                          ? "LISTFILE"
                          : (fd->organisation == dict::Organisation::Record ? "RECORDFILE" : "DATAFILE");
    ResultCode rc = service.dbm.set(name, n, key.data(), pos, ref, &cont);
    while (rc.code() == 0 || rc.code() == dbm::kTruncated) {
      ++count;
      if (desc.is_list() && desc.item_length >= 2) {
        // The items of a list must stand in strictly descending order.
        std::vector<unsigned char> previous;
        bool in_order = true;
        for (ResultCode part = rc;;) {
          for (std::size_t at = 0; at + desc.item_length <= ref.length; at += desc.item_length) {
            std::vector<unsigned char> value(buffer.begin() + static_cast<long>(at) + 1,
                                             buffer.begin() + static_cast<long>(at + desc.item_length));
            if (!previous.empty() && !(value < previous)) in_order = false;
            previous = std::move(value);
          }
          if (part.code() != dbm::kTruncated) break;
          part = service.dbm.next(name, n, ref, &cont);
          if (part.failed()) {
            report(part.code(), tag);
            break;
          }
        }
        if (!in_order) report(kListOutOfOrder, tag);
      }
      rc = service.dbm.get(name, n, key.data(), pos, ref, &cont);
    }
    if (rc.failed()) report(rc.code(), tag);
    char line[64];
    std::snprintf(line, sizeof line, "FILE=%03d, COUNT=%ld, ERRORS=%d", n, count, errors);
    if (errors > 0) {
      service.reporter.log_text(line, 0);
      failed_files.emplace_back(n, errors);
    } else {
      service.reporter.screen_text(line, 0);
    }
    total += errors;
  }
  return total;
}

}  // namespace

ResultCode cmd_check(Service& service, ParamList& params, BatchResult&) {
  const std::string files(params.get("FILES").empty() ? "ALL" : params.get("FILES"));
  if (const ResultCode rc = current_pool(service, params); rc.failed()) return rc;
  const std::string& name = service.pools.pool()->name;
  service.reporter.log_text("POOL=" + name + " FILES=" + files, 0);
  // Failures of the pool as a whole (reopen, repair, close) count as errors
  // too, and the first of them ends the command.
  long total = 0;
  ResultCode failure = 0;
  auto pool_failure = [&](ResultCode rc, const std::string& what) {
    service.reporter.error_message("POOL=" + name + what, rc.code());
    ++total;
    if (failure.ok()) failure = rc;
  };
  std::vector<std::pair<int, int>> failed_files;
  const ResultCode opened = bat_pool_open_checked(service, 'C', 'N', kMaintenanceGroup);
  if (opened.code() == codes::kNoPermission) return opened;
  if (opened.failed()) {
    pool_failure(opened, " OPEN");
  } else {
    // The repair at the reopen found damage it could not mend.
    const dbm::Pool* pool = service.dbm.find_pool(name);
    if (pool != nullptr && pool->header.error == 'E') pool_failure(dbm::kPoolDamaged, "");
    total += check_files(service, name, files, failed_files);
    if (const ResultCode closed = bat_pool_close(service); closed.failed()) pool_failure(closed, " CLOSE");
  }
  for (const auto& [n, errors] : failed_files) {
    char line[64];
    std::snprintf(line, sizeof line, "FILE %03d : %d Errors", n, errors);
    service.reporter.screen_text(line, 0);
  }
  char line[64];
  std::snprintf(line, sizeof line, "========> %ld Errors", total);
  if (total != 0)
    service.reporter.log_text(line, 0);
  else
    service.reporter.screen_text(line, 0);
  return failure;
}

ResultCode cmd_unload(Service& service, ParamList& params, BatchResult&) {
  std::string path;
  if (const ResultCode rc = start_with_unload_file(service, params, path); rc.failed()) return rc;
  // The right to the pool is asked first, so that a user without it learns
  // nothing of the file system.
  if (const ResultCode rc = bat_pool_open_checked(service, 'I', 'N', kMaintenanceGroup); rc.failed())
    return rc;
  // An unload file shows every record of the pool: the pool's display set.
  if (const ResultCode rc = service.pools.access_check(nullptr, records::kAccessDisplay); rc.failed()) {
    (void)bat_pool_close(service);
    return rc;
  }
  CommandOutput output;
  if (const ResultCode rc = output.open(service, path); rc.failed()) {
    (void)bat_pool_close(service);
    return rc;
  }
  std::FILE* out = output.stream();
  const std::string& name = service.pools.pool()->name;
  const auto flags = unload_selection(params.get("FILES"));
  dbm::Pool* pool = service.dbm.find_pool(name);
  ResultCode result = 0;
  bool write_failed = false;
  for (int n = 1; n <= dbm::kMaxFileNumber && pool != nullptr && result.ok() && !write_failed; ++n) {
    if (!selected(flags, n) || pool->file(n) == nullptr) continue;
    std::vector<unsigned char> key(static_cast<std::size_t>(key_length_of(*pool, *pool->file(n))), 0);
    std::vector<unsigned char> buffer(kPortion);
    dbm::Position pos;
    dbm::DataRef ref{buffer};
    dbm::Continuation cont;
    long written = 0;
    auto write_record = [&](unsigned char mark) {
      unsigned char head[kUnloadHeader] = {};
      put_u16(head, static_cast<std::uint16_t>(n));
      put_u16(head + 2, static_cast<std::uint16_t>(key.size()));
      put_u16(head + 4, static_cast<std::uint16_t>(ref.length));
      head[7] = mark;
      if (std::fwrite(head, 1, sizeof head, out) != sizeof head ||
          std::fwrite(key.data(), 1, key.size(), out) != key.size() ||
          std::fwrite(buffer.data(), 1, ref.length, out) != ref.length) {
        output.write_failed(service);
        write_failed = true;
        return false;
      }
      ++written;
      return true;
    };
    ResultCode rc = service.dbm.set(name, n, key.data(), pos, ref, &cont);
    while (!write_failed && (rc.code() == 0 || rc.code() == dbm::kTruncated)) {
      // A value longer than a portion is written in parts: 1, 2, ... and
      // 255 for the last one.
      int portion = rc.code() == dbm::kTruncated ? 1 : 0;
      if (!write_record(static_cast<unsigned char>(portion))) break;
      while (rc.code() == dbm::kTruncated) {
        rc = service.dbm.next(name, n, ref, &cont);
        if (rc.failed()) break;
        const unsigned char mark = rc.code() == dbm::kTruncated ? static_cast<unsigned char>(++portion) : 255;
        if (!write_record(mark)) break;
      }
      if (rc.failed() || write_failed) break;
      rc = service.dbm.get(name, n, key.data(), pos, ref, &cont);
    }
    if (rc.failed()) result = rc;
    char line[48];
    std::snprintf(line, sizeof line, "FILE %3.3d  %8.8ld", n, written);
    service.reporter.log_text(line, kMsgUnloaded);
  }
  // The file takes the place of an older one only when it is whole.
  const ResultCode written = result.ok() ? output.commit(service) : ResultCode(0);
  const ResultCode closed = bat_pool_close(service);
  if (result.failed()) return result;
  return written.failed() ? written : closed;
}

ResultCode cmd_load(Service& service, ParamList& params, BatchResult&) {
  std::string path;
  if (const ResultCode rc = start_with_unload_file(service, params, path); rc.failed()) return rc;
  if (const ResultCode rc = bat_pool_open_checked(service, 'R', 'N', kMaintenanceGroup); rc.failed())
    return rc;
  // Loading stores records in the pool's files: the pool's insert set.
  if (const ResultCode rc = service.pools.access_check(nullptr, records::kAccessInsert); rc.failed()) {
    (void)bat_pool_close(service);
    return rc;
  }
  ResultCode opened = 0;
  std::FILE* in = open_command_input(service, path, opened);
  if (in == nullptr) {
    (void)bat_pool_close(service);
    return opened;
  }
  const std::string& name = service.pools.pool()->name;
  const auto flags = unload_selection(params.get("FILES"));
  int current = -1;
  long loaded = 0;
  dbm::FileInfo info;
  ResultCode result = 0;
  auto report = [&] {
    if (current < 0) return;
    char line[32];
    std::snprintf(line, sizeof line, "FILE %3.3d  %8.8ld", current, loaded);
    service.reporter.log_text(line, kMsgLoaded);
  };
  std::vector<unsigned char> key;
  std::vector<unsigned char> value;
  unsigned char head[kUnloadHeader];
  long records = 0;  // read whole
  long total = 0;    // loaded
  bool damaged = false;
  while (result.ok()) {
    // A record cut short, or one that claims more bytes than the file
    // holds, is damage: the rest of the file cannot be trusted.
    const std::size_t got = std::fread(head, 1, sizeof head, in);
    if (got == 0 && std::feof(in) != 0) break;  // the end of the file
    damaged = got != sizeof head;
    if (damaged) break;
    const int file = get_u16(head);
    key.resize(get_u16(head + 2));
    value.resize(get_u16(head + 4));
    damaged = std::fread(key.data(), 1, key.size(), in) != key.size() ||
              std::fread(value.data(), 1, value.size(), in) != value.size();
    if (damaged) break;
    ++records;
    if (file != current) {
      report();
      current = file;
      loaded = 0;
      if (selected(flags, file)) {
        if (const ResultCode rc = service.dbm.file_info(name, file, info); rc.failed()) {
          result = rc;
          break;
        }
      }
    }
    if (!selected(flags, file)) continue;
    key.resize(info.key_length, 0);
    if (info.kind == 'L') {
      const std::size_t item = info.data_length >= 2 ? info.data_length : 4;
      for (std::size_t at = 0; at + item <= value.size() && result.ok(); at += item) {
        const ResultCode rc = service.dbm.list_load(name, file, key.data(), {value.data() + at, item});
        if (rc.failed()) result = rc;
      }
    } else {
      const ResultCode rc = service.dbm.load(name, file, key.data(), value);
      if (rc.failed()) result = rc;
    }
    ++loaded;
    ++total;
  }
  report();
  std::fclose(in);
  if (damaged) {
    service.reporter.error_message(path + " #" + std::to_string(records + 1), kDamagedUnloadFile);
    service.reporter.log_text(std::to_string(total), kMsgLoaded);
    if (result.ok()) result = kDamagedUnloadFile;
  }
  const ResultCode closed = bat_pool_close(service);
  return result.failed() ? result : closed;
}

ResultCode cmd_delete(Service& service, ParamList& params, BatchResult&) {
  const std::string save = params.get_into("SAVE", "Y", 1, true);
  const std::string drop = params.get_into("DROP", "N", 1, true);
  const std::string files(params.get("FILES"));
  if (const ResultCode rc = current_pool(service, params); rc.failed()) return rc;
  const std::string& name = service.pools.pool()->name;
  service.reporter.log_text("POOL=" + name + " SAVE=" + save + " FILES=" + files + " DROP=" + drop, 0);
  if (const ResultCode rc = bat_pool_open_checked(service, 'R', save == "N" ? 'N' : 'Y', kMaintenanceGroup);
      rc.failed()) {
    return rc;
  }
  std::vector<std::uint8_t> flags;
  bat_number_list(files, flags, dbm::kMaxFileNumber);
  ResultCode result = 0;
  for (const dict::FileDef* fd : service.pools.pool()->data->file_defs) {
    if (!selected(flags, fd->number) || service.dbm.find_pool(name)->file(fd->number) == nullptr) continue;
    // Emptying a file deletes every record of it.
    result = service.pools.access_check(fd, records::kAccessDelete);
    if (result.failed()) break;
    result = service.dbm.delete_file(name, fd->number);
    if (result.ok() && drop == "Y") result = service.dbm.drop_file(name, fd->number);
    if (result.failed()) break;
    service.reporter.log_text(std::to_string(fd->number), kMsgFileDeleted);
  }
  const ResultCode closed = bat_pool_close(service);
  return result.failed() ? result : closed;
}

}  // namespace corvanta
