// The save protocol: SAVE, RESTORE, RECOVER, RELEASE and SAVE_PROT.
//
// SAVE writes a save set (its layout is in dbm/save_set.h), RESTORE puts it
// back, and the journal (the pool's save file) is replayed by RECOVER from
// the save time on.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <vector>

#include "commands/handlers.h"
#include "dbm/codes.h"
#include "dbm/journal.h"
#include "dbm/save_set.h"
#include "records/record.h"
#include "shell/codes.h"
#include "shell/command_files.h"
#include "shell/service.h"
#include "shell/support.h"
#include "util/big_endian.h"
#include "util/date.h"
#include "util/posix_io.h"
#include "util/text.h"

namespace corvanta {
namespace {

constexpr std::int32_t kMissingDates = -11;
constexpr std::int32_t kNoDirectory = -17;
constexpr std::int32_t kUncleanPool = -22;
constexpr std::int32_t kOtherPool = -23;
constexpr std::int32_t kBadCrc = -24;
constexpr std::int32_t kBadSaveId = -27;
constexpr std::int32_t kChangedSinceSave = -28;
constexpr std::int32_t kMsgSaveDate = 130;
constexpr std::int32_t kMsgConfirm = 131;
constexpr std::int32_t kMsgSaveFile = 144;
constexpr std::int32_t kMsgSaveId = 145;
constexpr std::int32_t kMsgNoJournal = 146;
constexpr std::int32_t kMsgJournalDamaged = 147;
constexpr int kSaveGroup = 1;
// RELEASE waits at most 30 seconds for the writers of the journal.
constexpr int kJournalWaitSteps = 600;
constexpr useconds_t kJournalWaitStep = 50000;

std::uint32_t now() {
  return static_cast<std::uint32_t>(std::time(nullptr));
}

std::string save_value(Service& service, std::string_view key) {
  return service.configs.get(service.state.server_config, "PoolSave", key);
}

// The check-mode reopen every save command starts with: a pool left open
// is repaired (and marked "S"), damage marks it "E".
ResultCode check_reopen(Service& service) {
  if (const ResultCode rc = bat_pool_open_checked(service, 'C', 'Y', kSaveGroup); rc.failed()) return rc;
  return bat_pool_close(service);
}

ResultCode release_pool(Service& service, const std::string& name);

// Waits for the clock to pass the current second (at most a second) and
// returns the new time.
std::uint32_t next_second() {
  const std::uint32_t start = now();
  std::uint32_t t = start;
  for (int i = 0; i < 200 && t == start; ++i) {
    ::usleep(10000);
    t = now();
  }
  return t;
}

// Where RESTORE writes a pool file before it replaces the live one.
std::string restore_path(const std::string& file) {
  return file + ".rst";
}

// Renames the restored files over the live ones, the base file last. With
// extents the live base file is first marked open and damaged, so that a
// pool whose files were only partly replaced is refused until it is
// restored again.
ResultCode put_restored_files(dbm::FileSystem& fs, dbm::Pool& live, const std::string& base, int extents) {
  if (extents > 0 && live.extents.open_base(base, dbm::OpenMode::ReadWrite)) {
    if (live.read_header().ok()) {
      live.header.open = 'O';
      live.header.error = 'E';
      (void)live.write_header();
    }
    (void)live.extents.close_all();
  }
  for (int e = extents; e >= 0; --e) {
    const std::string file = dbm::extent_file_path(base, e);
    if (!fs.rename(restore_path(file), file)) return dbm::kWriteError;
  }
  return fs.sync_directory(base) ? ResultCode(0) : ResultCode(dbm::kWriteError);
}

// The start of SAVE and RESTORE: the pool named by POOL becomes current, the
// directory is PATH or the configured one, and the parameters are logged.
ResultCode start_with_directory(Service& service, const ParamList& params, std::string& dir) {
  if (const ResultCode rc = service.pools.make_current(params.get_into("POOL", "", 11, true)); rc.failed()) {
    return rc;
  }
  dir = params.get("PATH");
  if (dir.empty()) dir = save_value(service, "Directory");
  service.reporter.log_text("POOL=" + service.pools.pool()->name + " PATH=" + dir, 0);
  return dir.empty() ? ResultCode(0) : check_command_directory(service, dir);
}

// The files SAVE writes into `dir` (the set's own earlier files, but no
// other file of the service, may be replaced): 0 or the refusal.
ResultCode check_save_targets(Service& service, const std::string& dir, const std::string& pool,
                              int extents) {
  std::vector<std::string> targets{dbm::save_id_path(dir, pool)};
  for (int e = 0; e <= extents; ++e) targets.push_back(dbm::save_copy_path(dir, pool, e));
  for (const std::string& target : targets) {
    for (const std::string& path : {target, dbm::pending_path(target)}) {
      if (const ResultCode rc = check_command_file(service, path, FileUse::Write, pool); rc.failed())
        return rc;
    }
  }
  return 0;
}

// A damaged record ends the journal; it is named by its number.
void report_damage(Service& service, const std::string& journal, const dbm::JournalReader& reader) {
  if (reader.damaged())
    service.reporter.log_text(journal + " #" + std::to_string(reader.count() + 1), kMsgJournalDamaged);
}

// Opens the journal for reading: 0, 1 when there is none yet (a pool whose
// journal has not been written since it was set up has nothing to replay;
// the path is reported), or -13.
ResultCode open_journal(Service& service, const std::string& path, std::FILE*& in) {
  in = open_regular_file(path);  // a FIFO is refused, not waited on
  if (in != nullptr) return 0;
  if (errno == ENOENT) {
    service.reporter.screen_text(path, kMsgNoJournal);
    return 1;
  }
  service.reporter.error_message(path, codes::kCannotOpenFile);
  return codes::kCannotOpenFile;
}

}  // namespace

ResultCode cmd_save(Service& service, ParamList& params, BatchResult&) {
  std::string dir;
  if (const ResultCode rc = start_with_directory(service, params, dir); rc.failed()) return rc;
  const dict::AppPoolDef& pool = *service.pools.pool();
  if (const ResultCode rc = check_reopen(service); rc.failed()) return rc;
  const std::string release = params.get_into("RELEASE", save_value(service, "SaveRelease"), 1, true);
  if (dir.empty()) return kNoDirectory;
  struct stat st {};
  if (::stat(dir.c_str(), &st) != 0 && ::mkdir(dir.c_str(), 0775) != 0) return kNoDirectory;

  // The pool's lock keeps every writer out from here until the save time
  // has passed.
  dbm::FileSystem& fs = service.dbm.file_system();
  const std::string base = service.pools.pool_value(pool, "Path");
  dbm::Pool live(fs, pool.name, base);
  if (const ResultCode rc = live.lock(true); rc.failed()) return rc;
  if (!live.extents.open_base(base, dbm::OpenMode::ReadWrite)) return dbm::kCannotOpen;
  if (const ResultCode rc = live.read_header(); rc.failed()) return rc;
  if (live.header.error == 'E') return dbm::kPoolDamaged;
  if (live.header.open == 'O') return dbm::kPoolInUse;
  if (live.header.error == 'S') return kUncleanPool;
  if (live.header.last < 1) return dbm::kPoolDamaged;
  if (const ResultCode rc = check_save_targets(service, dir, pool.name, live.header.extends); rc.failed())
    return rc;
  if (const ResultCode rc = dbm::settle_save_set(fs, dir, pool.name); rc.failed()) return rc;

  // Every change before the copy is older than the save time, every change
  // after it younger: RECOVER replays from the save time on and RELEASE
  // drops what is not younger, so each change is in the copy or replayed,
  // exactly once.
  const std::uint32_t saved = next_second();
  dbm::SaveId id;
  id.pool = pool.name;
  id.when = date_fill("MM/DD/YYYY HH:MI:SS", local_time(saved));
  id.extents = live.header.extends;
  service.reporter.log_text(dbm::save_id_path(dir, pool.name), kMsgSaveId);
  ResultCode rc = 0;
  for (int e = 0; e <= live.header.extends && rc.ok(); ++e) {
    const std::string target = dbm::save_copy_path(dir, pool.name, e);
    service.reporter.log_text(target, kMsgSaveFile);
    std::uint32_t crc = 0;
    rc = dbm::copy_extent(fs, dbm::extent_file_path(base, e), dbm::pending_path(target),
                          e == 0 ? std::optional<std::uint32_t>(saved) : std::nullopt, crc);
    id.crcs.push_back(crc);
  }
  if (rc.code() == dbm::kJournalFull) rc = codes::kCannotWriteFile;  // the copy's write failed
  if (rc.ok()) rc = dbm::write_pending_id(fs, dir, pool.name, id);
  if (rc.ok()) rc = dbm::commit_save_set(fs, dir, pool.name, live.header.extends, true);
  if (rc.failed()) {
    // The set never reached its commit: the previous one stands.
    (void)dbm::settle_save_set(fs, dir, pool.name);
    return rc;
  }
  live.header.saved = saved;
  if (const ResultCode w = live.write_header(); w.failed()) return w;
  if (!live.extents.close_all()) return dbm::kCannotClose;
  (void)next_second();
  live.unlock();
  if (release == "Y") {
    service.reporter.log_text("RELEASE POOL=" + pool.name, 0);
    return release_pool(service, pool.name);
  }
  return 0;
}

ResultCode cmd_recover_pool(Service& service, const std::string& name, bool force);

ResultCode cmd_restore(Service& service, ParamList& params, BatchResult&) {
  std::string dir;
  if (const ResultCode rc = start_with_directory(service, params, dir); rc.failed()) return rc;
  const dict::AppPoolDef& pool = *service.pools.pool();
  if (const ResultCode rc = bat_admin(service); rc.failed()) return codes::kNoPermission;
  if (service.dbm.find_pool(pool.name) != nullptr) (void)service.dbm.close(pool.name);
  struct stat st {};
  if (dir.empty() || ::stat(dir.c_str(), &st) != 0) return kNoDirectory;
  const std::string confirm = params.get_into("CONFIRM", save_value(service, "Confirm"), 1, true);
  const std::string recover = params.get_into("RECOVER", save_value(service, "SaveRecover"), 1, true);

  // The pool's lock keeps out a SAVE still at work (whose set the settling
  // below would otherwise take for an interrupted one) and every writer.
  dbm::FileSystem& fs = service.dbm.file_system();
  const std::string base = service.pools.pool_value(pool, "Path");
  dbm::Pool live(fs, pool.name, base);
  if (fs.exists(base)) {
    if (const ResultCode rc = live.lock(true); rc.failed()) return rc;
  }
  if (const ResultCode rc = dbm::settle_save_set(fs, dir, pool.name); rc.failed()) return rc;
  const std::string sid = dbm::save_id_path(dir, pool.name);
  if (const ResultCode rc = check_command_file(service, sid, FileUse::Read); rc.failed()) return rc;
  std::vector<unsigned char> sid_bytes;
  (void)dbm::read_whole_file(fs, sid, sid_bytes);
  const std::optional<dbm::SaveId> id = dbm::SaveId::decode_header(sid_bytes);
  if (!id) {
    service.reporter.error_message(sid, kBadSaveId);
    return kBadSaveId;
  }
  if (id->pool != cut_to(pool.name, 4)) return kOtherPool;
  service.reporter.screen_text(id->when, kMsgSaveDate);
  if (confirm == "Y") {
    // Without a terminal nobody can answer: the next command line would be
    // taken as the answer. The command says what to give instead.
    if (!service.reporter.interactive()) {
      service.reporter.error_message("CONFIRM=N", codes::kNoOneToAsk);
      return codes::kNoOneToAsk;
    }
    if (!service.reporter.question("CONFIRM=" + id->when, kMsgConfirm)) return 0;
  }

  // The live files are replaced only when every copy has been checked and
  // written beside them.
  ResultCode rc = 0;
  for (int e = 0; e <= id->extents && rc.ok(); ++e) {
    const std::size_t at = dbm::kSaveIdHeaderSize + 4 * static_cast<std::size_t>(e);
    if (at + 4 > sid_bytes.size()) {
      rc = kBadSaveId;
      break;
    }
    std::uint32_t crc = 0;
    rc = check_command_file(service, dbm::save_copy_path(dir, pool.name, e), FileUse::Read);
    if (rc.failed()) break;
    rc = dbm::copy_extent(fs, dbm::save_copy_path(dir, pool.name, e),
                          restore_path(dbm::extent_file_path(base, e)), std::nullopt, crc);
    if (rc.code() == codes::kCannotOpenFile) rc = dbm::kCannotOpen;
    if (rc.code() == dbm::kJournalFull) rc = dbm::kWriteError;
    if (rc.ok() && crc != get_u32(sid_bytes.data() + at)) {
      char text[32];
      std::snprintf(text, sizeof text, "CRC32 = [0x%08X]", static_cast<unsigned>(crc));
      service.reporter.error_message(text, kBadCrc);
      rc = kBadCrc;
    }
  }
  if (rc.ok()) rc = put_restored_files(fs, live, base, id->extents);
  for (int e = 0; e <= id->extents; ++e) {
    const std::string temp = restore_path(dbm::extent_file_path(base, e));
    if (fs.exists(temp)) (void)fs.remove(temp);
  }
  live.unlock();
  if (rc.failed()) return rc;
  if (recover == "Y") {
    service.reporter.log_text("RECOVER POOL=" + pool.name, 0);
    return cmd_recover_pool(service, pool.name, false);
  }
  return 0;
}

ResultCode cmd_recover_pool(Service& service, const std::string& name, bool force) {
  if (const ResultCode rc = service.pools.make_current(name); rc.failed()) return rc;
  const dict::AppPoolDef& pool = *service.pools.pool();
  if (const ResultCode rc = check_reopen(service); rc.failed()) return rc;
  const std::string journal = service.pools.pool_value(pool, "SaveFile");
  std::FILE* in = nullptr;
  if (const ResultCode rc = open_journal(service, journal, in); rc.code() != 0)
    return rc.failed() ? rc : ResultCode(0);
  const std::string base = service.pools.pool_value(pool, "Path");
  if (const ResultCode rc = service.dbm.open(pool.name, base, 'R', 'W'); rc.failed()) {
    std::fclose(in);
    return rc.code() == dbm::kPoolInUse ? rc : ResultCode(dbm::kCannotOpen);
  }
  std::uint32_t initiated = 0;
  std::uint32_t closed = 0;
  std::uint32_t saved = 0;
  (void)service.dbm.pool_times(pool.name, initiated, closed, saved);
  ResultCode rc = 0;
  // A pool found damaged (a restore cut off half-way) or left open (a
  // writer, or an earlier replay, cut off) is restored first: a replay over
  // it would apply changes twice.
  const char error = service.dbm.find_pool(pool.name)->header.error;
  if (error == 'E') rc = dbm::kPoolDamaged;
  if (error == 'S') rc = kUncleanPool;
  if (rc.ok() && !force && saved != 0 && closed > saved) rc = kChangedSinceSave;
  dbm::JournalReader reader(in);
  dbm::JournalRecord r;
  while (rc.ok() && reader.next(r)) {
    // Commit records mark points in the journal; each operation is replayed
    // once, so they are passed over.
    if (r.op == dbm::JournalOp::Commit || r.pool != cut_to(pool.name, 4) || r.time < saved) continue;
    dbm::FileInfo info;
    if (const ResultCode f = service.dbm.file_info(pool.name, r.file, info); f.failed()) {
      rc = f;
      break;
    }
    std::vector<unsigned char> key = r.key;
    key.resize(std::max<std::size_t>(info.key_length, key.size()), 0);
    switch (r.op) {
      case dbm::JournalOp::Insert: rc = service.dbm.insert(pool.name, r.file, key.data(), r.value); break;
      case dbm::JournalOp::ListInsert:
        rc = service.dbm.list_insert(pool.name, r.file, key.data(), r.value);
        break;
      case dbm::JournalOp::Update: rc = service.dbm.update(pool.name, r.file, key.data(), r.value); break;
      case dbm::JournalOp::Delete: rc = service.dbm.remove(pool.name, r.file, key.data()); break;
      case dbm::JournalOp::ListDelete:
        rc = service.dbm.list_delete(pool.name, r.file, key.data(), r.value);
        break;
      case dbm::JournalOp::DeleteFile: rc = service.dbm.delete_file(pool.name, r.file); break;
      default: break;
    }
  }
  report_damage(service, journal, reader);
  if (rc.ok() && reader.damaged()) rc = dbm::kJournalDamaged;
  std::fclose(in);
  const ResultCode close = service.dbm.close(pool.name);
  if (rc.failed()) return rc;
  return close.failed() ? close : ResultCode(0);
}

ResultCode cmd_recover(Service& service, ParamList& params, BatchResult&) {
  const std::string name = params.get_into("POOL", "", 11, true);
  const std::string force = params.get_into("FORCE", "N", 1, true);
  service.reporter.log_text("POOL=" + name + " FORCE=" + force, 0);
  return cmd_recover_pool(service, name, force == "Y");
}

namespace {

ResultCode release_pool(Service& service, const std::string& name) {
  if (const ResultCode rc = service.pools.make_current(name); rc.failed()) return rc;
  const dict::AppPoolDef& pool = *service.pools.pool();
  if (const ResultCode rc = check_reopen(service); rc.failed()) return rc;
  const std::string journal = service.pools.pool_value(pool, "SaveFile");
  const std::size_t slash = journal.rfind('/');
  const std::string temp = slash == std::string::npos
                               ? "T" + journal
                               : journal.substr(0, slash + 1) + "T" + journal.substr(slash + 1);
  // The journal's use lock, taken exclusively, waits for the writers that
  // have it open and keeps new ones waiting until the new journal is in
  // place: every record is either in what is read here or goes to the new
  // journal.
  dbm::FileSystem& fs = service.dbm.file_system();
  const std::unique_ptr<dbm::File> guard = fs.open(journal, dbm::OpenMode::ReadWrite);
  if (!guard) {
    if (fs.exists(journal)) {
      service.reporter.error_message(journal, codes::kCannotOpenFile);
      return codes::kCannotOpenFile;
    }
    service.reporter.screen_text(journal, kMsgNoJournal);
    return 0;
  }
  bool locked = false;
  for (int i = 0; i < kJournalWaitSteps && !locked; ++i) {
    locked = guard->lock(true, false, dbm::kJournalUseByte, 1);
    if (!locked) ::usleep(kJournalWaitStep);
  }
  // Another RELEASE may have put a new journal in place meanwhile.
  if (!locked || !guard->is_at(journal)) {
    service.reporter.error_message(journal, dbm::kCannotOpenJournal);
    return dbm::kCannotOpenJournal;
  }
  std::FILE* in = nullptr;
  if (const ResultCode rc = open_journal(service, journal, in); rc.code() != 0)
    return rc.failed() ? rc : ResultCode(0);
  std::FILE* out = create_new_file(temp);
  if (out == nullptr) {
    std::fclose(in);
    return codes::kCannotOpenFile;
  }
  const std::string base = service.pools.pool_value(pool, "Path");
  std::uint32_t saved = 0;
  if (service.dbm.open(pool.name, base, 'I').ok()) {
    std::uint32_t initiated = 0;
    std::uint32_t closed = 0;
    (void)service.dbm.pool_times(pool.name, initiated, closed, saved);
    (void)service.dbm.close(pool.name);
  }
  dbm::JournalReader reader(in);
  dbm::JournalRecord r;
  ResultCode rc = 0;
  while (reader.next(r)) {
    if (r.pool == cut_to(pool.name, 4) && r.time <= saved) continue;
    const auto bytes = dbm::encode_journal_record(r);
    if (std::fwrite(bytes.data(), 1, bytes.size(), out) != bytes.size()) {
      rc = codes::kCannotWriteFile;
      break;
    }
  }
  // A damaged record leaves the journal as it is: nothing after it would be
  // kept.
  report_damage(service, journal, reader);
  if (rc.ok() && reader.damaged()) rc = dbm::kJournalDamaged;
  std::fclose(in);
  if (std::fflush(out) != 0 || ::fsync(fileno(out)) != 0)
    rc = rc.failed() ? rc : ResultCode(codes::kCannotWriteFile);
  if (std::fclose(out) != 0 && rc.ok()) rc = codes::kCannotWriteFile;
  if (rc.failed()) {
    (void)fs.remove(temp);
    return rc;
  }
  // The archive is a second name of the journal until the new journal has
  // replaced it in one step: a crash leaves one journal or the other.
  const std::string archive = journal + "." + date_fill("YYMMDD", local_now());
  if (fs.exists(archive)) (void)fs.remove(archive);
  if (!fs.link(journal, archive) || !fs.rename(temp, journal) || !fs.sync_directory(journal)) {
    (void)fs.remove(temp);
    return codes::kCannotWriteFile;
  }
  return 0;
}

}  // namespace

ResultCode cmd_release(Service& service, ParamList& params, BatchResult&) {
  const std::string name = params.get_into("POOL", "", 11, true);
  service.reporter.log_text("POOL=" + name, 0);
  return release_pool(service, name);
}

ResultCode cmd_save_prot(Service& service, ParamList& params, BatchResult&) {
  if (const ResultCode rc = service.pools.make_current(params.get_into("POOL", "", 11, true)); rc.failed())
    return rc;
  const dict::AppPoolDef& pool = *service.pools.pool();
  const long from = parse_long(params.get("FROM"));
  const long to = parse_long(params.get("TO"));
  char line[256];
  std::snprintf(line, sizeof line, "POOL=%s FROM=%ld TO=%ld", pool.name.c_str(), from, to);
  service.reporter.log_text(line, 0);
  if (const ResultCode rc = check_reopen(service); rc.failed()) return rc;
  if (!params.has("FROM") || !params.has("TO")) return kMissingDates;
  const bool with_data = params.get_into("DATA", "N", 1, true) == "Y";
  CommandOutput output;
  std::FILE* data = nullptr;
  if (with_data) {
    if (const ResultCode rc = output.open(service, bat_output_path(service, params, "saveprot")); rc.failed())
      return rc;
    data = output.stream();
    std::fprintf(data, "SAVE_PROT POOL=%s FROM=%ld TO=%ld\n%s\n", pool.name.c_str(), from, to,
                 std::string(76, '-').c_str());
  }
  // The listing is kept as far as it got; a write that failed or a damaged
  // journal ends the command with its code.
  auto finish = [&](ResultCode rc) {
    if (data == nullptr) return rc;
    if (std::ferror(data) != 0) output.write_failed(service);
    const ResultCode written = output.commit(service);
    return rc.failed() ? rc : written;
  };
  const std::string journal = service.pools.pool_value(pool, "SaveFile");
  std::FILE* in = nullptr;
  if (const ResultCode rc = open_journal(service, journal, in); rc.code() != 0)
    return finish(rc.failed() ? rc : ResultCode(0));
  dbm::JournalReader reader(in);
  dbm::JournalRecord r;
  while (reader.next(r)) {
    const CivilTime t = local_time(r.time);
    const long day = t.year * 10000L + t.month * 100L + t.day;
    if (day < from) continue;
    if (to != 0 && day > to) break;
    if (r.op == dbm::JournalOp::Commit || r.pool != cut_to(pool.name, 4)) continue;
    const dict::AppFileDef* file = nullptr;
    for (const dict::AppFileDef* f : pool.file_defs) {
      if (f->number == r.file) file = f;
    }
    std::snprintf(line, sizeof line, "%2.2d.%2.2d.%4.4d-%2.2d:%2.2d - %5.5ld ", t.day, t.month, t.year,
                  t.hour, t.minute, static_cast<long>(r.user));
    std::string second;
    char buf[200];
    if (r.op == dbm::JournalOp::DeleteFile) {
      if (file != nullptr)
        std::snprintf(buf, sizeof buf, "POOL=%s FILE=%03d(%s) DELETED", pool.name.c_str(), r.file,
                      file->name.c_str());
      else
        std::snprintf(buf, sizeof buf, "POOL=%s FILE=%03d DELETED", pool.name.c_str(), r.file);
      second = buf;
    } else {
      if (file == nullptr || file->data == nullptr || file->data->organisation != dict::Organisation::Record)
        continue;
      const long idn = r.key.size() >= 4 ? static_cast<long>(get_u32(r.key.data())) : 0;
      const char* func = r.op == dbm::JournalOp::Update ? "FUNC=UPDATE"
                         : (r.op == dbm::JournalOp::Delete || r.op == dbm::JournalOp::ListDelete)
                             ? "FUNC=DELETE"
                             : "FUNC=WRITE ";
      std::snprintf(buf, sizeof buf, "POOL=%s FILE=%03d(%s) IDNR=%09ld  %s", pool.name.c_str(), r.file,
                    file->name.c_str(), idn, func);
      second = buf;
    }
    service.reporter.screen_text(line, 0);
    service.reporter.screen_text(second, 0);
    if (data != nullptr) {
      std::fprintf(data, "%s\n%s\n", line, second.c_str());
      if (!r.value.empty() && r.key.size() >= 4) {
        std::fprintf(data, "IDN  %ld\n", static_cast<long>(get_u32(r.key.data())));
        records::RecordHandle h;
        h.attach(r.value.data(), r.value.size());
        h.length = static_cast<std::uint32_t>(r.value.size());
        records::FieldDesc f;
        for (auto frc = records::fld_first(h, f); frc.code() == 0; frc = records::fld_next(h, f)) {
          std::fprintf(data, "%3.3s%-2s", f.tag.c_str(), f.indicators.c_str());
          records::FieldDesc s;
          if (records::sfl_first(h, f, s).code() == 0) {
            do {
              std::fprintf(data, "$%s%.*s", s.tag.c_str(), static_cast<int>(s.length),
                           reinterpret_cast<const char*>(s.data));
            } while (records::sfl_next(h, f, s).code() == 0);
          } else {
            std::fprintf(data, "%.*s", static_cast<int>(f.length), reinterpret_cast<const char*>(f.data));
          }
          std::fprintf(data, "\n");
        }
      }
      std::fprintf(data, "%s\n", std::string(76, '-').c_str());
    }
  }
  report_damage(service, journal, reader);
  std::fclose(in);
  return finish(reader.damaged() ? ResultCode(dbm::kJournalDamaged) : ResultCode(0));
}

}  // namespace corvanta
