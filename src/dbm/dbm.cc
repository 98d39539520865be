#include "dbm/dbm.h"

#include <algorithm>
#include <cstring>
#include <ctime>

#include "dbm/codes.h"
#include "dbm/index.h"
#include "dbm/lists.h"
#include "util/big_endian.h"

namespace corvanta::dbm {
namespace {

constexpr std::size_t kMaxPoolName = 4;

std::uint32_t system_clock() {
  return static_cast<std::uint32_t>(std::time(nullptr));
}

bool is_data(const FileDescriptor& f) {
  return (f.data_flags & kDataData) != 0;
}

}  // namespace

Dbm::Dbm(FileSystem& fs, std::FILE* messages) : fs_(fs), messages_(messages), clock_(system_clock) {}

Dbm::~Dbm() {
  (void)close_all();
}

ResultCode Dbm::fail(ResultCode rc, std::string_view func, std::string_view pool, int file) {
  if (rc.failed() && messages_ != nullptr) {
    if (file >= 0) {
      std::fprintf(messages_, "DBM: Mess=%03d, Func=%.*s, Pool=%.*s, File=%04d\n", rc.code(),
                   static_cast<int>(func.size()), func.data(), static_cast<int>(pool.size()), pool.data(),
                   file);
    } else {
      std::fprintf(messages_, "DBM: Mess=%03d, Func=%.*s, Pool=%.*s\n", rc.code(),
                   static_cast<int>(func.size()), func.data(), static_cast<int>(pool.size()), pool.data());
    }
    std::fflush(messages_);
  }
  return rc;
}

Pool* Dbm::find_pool(std::string_view pool) {
  for (OpenPool& p : pools_) {
    if (p.pool->name() == pool) return p.pool.get();
  }
  return nullptr;
}

JournalWriter* Dbm::journal_of(const Pool* pool) const {
  for (const OpenPool& p : pools_) {
    if (p.pool.get() == pool) return p.journal;
  }
  return nullptr;
}

ResultCode Dbm::resolve_pool(std::string_view pool, Pool*& out) {
  out = nullptr;
  if (pool.empty()) return kMissingArgument;
  out = find_pool(pool);
  return out == nullptr ? ResultCode(kMissingArgument) : ResultCode(0);
}

ResultCode Dbm::resolve(std::string_view pool, int file, Context& ctx) {
  if (const ResultCode rc = resolve_pool(pool, ctx.pool); rc.failed()) return rc;
  if (file < 1 || file > kMaxFileNumber) return kNoSuchFile;
  ctx.f = ctx.pool->file(file);
  if (ctx.f == nullptr || ctx.f->file != file) return kNoSuchFile;
  ctx.m = ctx.f->main != 0 ? ctx.pool->file(ctx.f->main) : ctx.f;
  if (ctx.m == nullptr) return kNoSuchFile;
  return 0;
}

Dbm::OpenPool* Dbm::open_pool_of(const Pool* pool) {
  for (OpenPool& p : pools_) {
    if (p.pool.get() == pool) return &p;
  }
  return nullptr;
}

ResultCode Dbm::journal(Pool& pool, const JournalRecord& r) {
  OpenPool* p = open_pool_of(&pool);
  if (p == nullptr || p->journal == nullptr) return 0;
  if (p->unit_depth > 0) {
    const std::vector<unsigned char> bytes = encode_journal_record(r);
    p->unit_mark = p->unit.size();
    p->unit.insert(p->unit.end(), bytes.begin(), bytes.end());
    return 0;
  }
  return p->journal->append(r);
}

void Dbm::journal_done(Pool& pool, ResultCode rc) {
  OpenPool* p = open_pool_of(&pool);
  if (p == nullptr || p->journal == nullptr) return;
  if (p->unit_depth > 0) {
    if (rc.code() != 0) p->unit.resize(p->unit_mark);  // the change was not made
    p->unit_mark = p->unit.size();
    return;
  }
  p->journal->finish(rc.code() == 0);
}

ResultCode Dbm::begin_unit(std::string_view pool) {
  Pool* found = nullptr;
  if (const ResultCode rc = resolve_pool(pool, found); rc.failed()) return fail(rc, "UNIT", pool);
  OpenPool* p = open_pool_of(found);
  if (p->unit_depth == 0 && p->journal != nullptr) {
    if (const ResultCode rc = p->journal->ready(); rc.failed()) return fail(rc, "UNIT", pool);
  }
  if (p->unit_depth++ == 0) {
    p->unit.clear();
    p->unit_mark = 0;
  }
  return 0;
}

ResultCode Dbm::end_unit(std::string_view pool) {
  Pool* found = nullptr;
  if (const ResultCode rc = resolve_pool(pool, found); rc.failed()) return fail(rc, "UNIT", pool);
  OpenPool* p = open_pool_of(found);
  if (p->unit_depth == 0 || --p->unit_depth > 0) return 0;
  if (p->journal == nullptr || p->unit.empty()) return 0;
  std::vector<unsigned char> bytes;
  bytes.swap(p->unit);
  ResultCode rc = p->journal->append_bytes(bytes);
  if (rc.ok()) {
    p->journal->finish(true);
    return 0;
  }
  // The changes are in the pool but not in its journal: the pool must be
  // restored before it is used again.
  found->header.error = 'E';
  (void)found->write_header();
  return fail(rc, "UNIT", pool);
}

// ---------------------------------------------------------------------------
// Pools.

ResultCode Dbm::initialize(std::string_view pool, const std::string& path) {
  ResultCode rc = 0;
  if (pool.empty() || pool.size() > kMaxPoolName)
    rc = kMissingArgument;
  else if (path.empty() || find_pool(pool) != nullptr)
    rc = kCannotOpen;
  else
    rc = Pool::initialize(fs_, std::string(pool), path);
  return fail(rc, "INITIALIZE", pool);
}

ResultCode Dbm::open(std::string_view pool, const std::string& path, char mode, char write_policy,
                     std::size_t index_frames, std::size_t data_frames) {
  if (pool.empty() || pool.size() > kMaxPoolName) return fail(kMissingArgument, "OPEN", pool);
  if (path.empty() ||
      (mode != kModeRead && mode != kModeUpdate && mode != kModeCheck && mode != kModeInquiry)) {
    return fail(kCannotOpen, "OPEN", pool);
  }
  if (Pool* open = find_pool(pool))
    return open->mode() == mode ? ResultCode(1) : fail(kPoolInUse, "OPEN", pool);
  auto handle = std::make_unique<Pool>(fs_, std::string(pool), path);
  const ResultCode rc = handle->open(mode, write_policy, index_frames, data_frames);
  if (rc.failed()) return fail(rc, "OPEN", pool);
  OpenPool opened;
  opened.pool = std::move(handle);
  pools_.push_back(std::move(opened));
  return 0;
}

ResultCode Dbm::close(std::string_view pool) {
  if (pool.empty()) return fail(kMissingArgument, "CLOSE", pool);
  const auto it =
      std::find_if(pools_.begin(), pools_.end(), [&](const OpenPool& p) { return p.pool->name() == pool; });
  if (it == pools_.end()) return fail(kCannotClose, "CLOSE", pool);
  // A unit still open is written first: the pool's changes are made, and
  // its journal must hold them.
  if (it->unit_depth > 0) {
    it->unit_depth = 1;
    if (const ResultCode rc = end_unit(pool); rc.failed()) {
      (void)release_journal(*it);
      (void)it->pool->close();
      pools_.erase(it);
      return rc;
    }
  }
  // The handle goes whatever happens: a pool whose close failed stays
  // marked open on disk, so the next open must check it.
  const ResultCode journal = release_journal(*it);
  const ResultCode rc = it->pool->close();
  pools_.erase(it);
  if (rc.failed()) return fail(rc, "CLOSE", pool);
  return fail(journal, "CLOSE", pool);
}

ResultCode Dbm::close_all() {
  ResultCode result = 0;
  while (!pools_.empty()) {
    const std::string name = pools_.front().pool->name();
    if (const ResultCode rc = close(name); rc.failed() && result.ok()) result = rc;
  }
  return result;
}

ResultCode Dbm::sync_journals() {
  ResultCode result = 0;
  for (OpenPool& p : pools_) {
    if (p.journal == nullptr) continue;
    if (const ResultCode rc = p.journal->sync(); rc.failed()) result = fail(rc, "SYNC", p.pool->name());
  }
  return result;
}

ResultCode Dbm::pool_times(std::string_view pool, std::uint32_t& initiated, std::uint32_t& closed,
                           std::uint32_t& saved) {
  Pool* p = nullptr;
  if (const ResultCode rc = resolve_pool(pool, p); rc.failed()) return rc;
  initiated = p->header.initiated;
  closed = p->header.closed;
  saved = p->header.saved;
  return 0;
}

ResultCode Dbm::release_journal(const OpenPool& p) {
  if (p.journal == nullptr) return 0;
  for (const OpenPool& other : pools_) {
    if (&other != &p && other.journal == p.journal) return 0;
  }
  return p.journal->close();
}

ResultCode Dbm::set_save_file(std::string_view pool, const std::string& path) {
  for (OpenPool& p : pools_) {
    if (p.pool->name() != pool) continue;
    if (p.journal != nullptr && p.journal->path() == path) return 0;
    const ResultCode rc = release_journal(p);
    p.journal = nullptr;
    if (!path.empty()) {
      std::unique_ptr<JournalWriter>& writer = journals_[path];
      if (!writer) writer = std::make_unique<JournalWriter>(fs_, path);
      p.journal = writer.get();
    }
    return rc;
  }
  return kMissingArgument;
}

ResultCode Dbm::commit(std::string_view pool) {
  Pool* p = nullptr;
  if (const ResultCode rc = resolve_pool(pool, p); rc.failed()) return fail(rc, "COMMIT", pool);
  JournalRecord r;
  r.time = clock_();
  r.op = JournalOp::Commit;
  const ResultCode rc = journal(*p, r);
  journal_done(*p, rc);
  return fail(rc, "COMMIT", pool);
}

ResultCode Dbm::listing(std::string& out, std::string_view pool, int file) {
  Pool* p = nullptr;
  if (const ResultCode rc = resolve_pool(pool, p); rc.failed()) return rc;
  if (file == 0) {
    out = format_header(p->name(), p->header);
    return 0;
  }
  const FileDescriptor* fd = p->file(file);
  if (fd == nullptr) return kNoSuchFile;
  out = format_descriptor(*fd);
  return 0;
}

// ---------------------------------------------------------------------------
// Files.

namespace {

// Checks the parameters common to CREATE and CHECK.
ResultCode validate(const FileSpec& s) {
  if ((s.role != 'M' && s.role != 'N' && s.role != 'S') ||
      (s.kind != 'D' && s.kind != 'L' && s.kind != 'R')) {
    return kInvalidFileParameters;
  }
  if (s.role != 'S' && s.main != 0) return kInvalidFileParameters;
  if (s.role != 'S' && (s.key_length < 4 || s.key_length > 128)) return kInvalidFileParameters;
  if (s.entry_length < 0 || s.entry_length > 256) return kInvalidFileParameters;
  if (s.kind == 'L' && s.role != 'M' && (s.length < 2 || s.length > 64)) return kInvalidFileParameters;
  if (s.length < 0 || s.length > 65535) return kInvalidFileParameters;
  return 0;
}

}  // namespace

ResultCode Dbm::create(std::string_view pool, const FileSpec& s) {
  Pool* p = nullptr;
  if (const ResultCode rc = resolve_pool(pool, p); rc.failed()) return fail(rc, "CREATE", pool, s.file);
  if ((s.role != 'M' && s.role != 'N' && s.role != 'S') ||
      (s.kind != 'D' && s.kind != 'L' && s.kind != 'R')) {
    return fail(kInvalidFileParameters, "CREATE", pool, s.file);
  }
  if (s.file < 1 || s.file > kMaxFileNumber || p->file(s.file) != nullptr) {
    return fail(kNoSuchFile, "CREATE", pool, s.file);
  }
  FileDescriptor* main = nullptr;
  if (s.role == 'S') {
    main = s.main >= 1 && s.main <= kMaxFileNumber ? p->file(s.main) : nullptr;
    if (main == nullptr || !main->is_main()) return fail(kNoSuchFile, "CREATE", pool, s.file);
  }
  if (const ResultCode rc = validate(s); rc.failed()) return fail(rc, "CREATE", pool, s.file);

  FileDescriptor fd;
  fd.file = static_cast<std::uint16_t>(s.file);
  fd.role = s.role == 'M' ? kRoleMain : (s.role == 'N' ? kRoleNormal : kRoleSub);
  if (s.kind == 'L') fd.data_flags = kDataList;
  if (s.kind == 'R') {
    fd.data_flags = kDataData;
    fd.index_flags = kIndexRecord;
  }
  if (s.kind == 'D') fd.data_flags = kDataData;
  if (s.role != 'S') {
    fd.index_length = static_cast<std::uint16_t>(s.key_length);
    fd.index_flags =
        static_cast<std::uint8_t>(fd.index_flags | (s.key_form == 'F' ? kIndexFixed : kIndexVariable));
  }
  if (s.role == 'M') {
    fd.data_flags = static_cast<std::uint8_t>(fd.data_flags | kDataFixed);
    fd.entry_data_length = 0;
  } else {
    const bool fixed = s.data_form == 'F';
    fd.data_flags = static_cast<std::uint8_t>(fd.data_flags | (fixed ? kDataFixed : kDataVariable));
    fd.entry_data_length = static_cast<std::uint16_t>(s.entry_length + (fixed ? 0 : 5));
    if (s.kind == 'L')
      fd.item_length = static_cast<std::uint16_t>(s.length);
    else
      fd.data_length = static_cast<std::uint16_t>(s.length);
  }
  if (main != nullptr) {
    // The main file's entries grow by the subfile's part. That is possible
    // only while its index holds nothing but the sentinel, whose leaf is then
    // laid out for the new entry size. A leaf must hold two entries, or a
    // full one could not split.
    const int grown = main->entry_data_length + fd.entry_data_length;
    if (2 * (grown + main->index_length) > static_cast<int>(kDataAreaSize)) {
      return fail(kInvalidFileParameters, "CREATE", pool, s.file);
    }
    Frame root;
    if (const ResultCode rc = p->index_buffers.get(*p, *main, 1, main->start, root); rc.failed()) {
      return fail(rc.code() == kWrongBlock ? ResultCode(kInvalidFileParameters) : rc, "CREATE", pool, s.file);
    }
    if (root.count != 1 || main->level != 0) return fail(kInvalidFileParameters, "CREATE", pool, s.file);
    fd.main = static_cast<std::uint16_t>(s.main);
    fd.data_offset = main->entry_data_length;
    main->entry_data_length = static_cast<std::uint16_t>(grown);
    root.free = static_cast<std::int16_t>(kDataAreaSize - main->index_length - main->entry_data_length);
    if (const ResultCode rc = p->index_buffers.put(*p, *main, 1, root.block, root); rc.failed()) {
      return fail(rc, "CREATE", pool, s.file);
    }
    if (const ResultCode rc = p->write_descriptor(*main); rc.failed())
      return fail(rc, "CREATE", pool, s.file);
  }
  if (const ResultCode rc = p->add_file(fd); rc.failed()) return fail(rc, "CREATE", pool, s.file);
  if (s.role != 'S') {
    if (const ResultCode rc = Index(*p, *p->file(s.file)).create(); rc.failed()) {
      return fail(rc, "CREATE", pool, s.file);
    }
  }
  return 0;
}

ResultCode Dbm::check(std::string_view pool, const FileSpec& s) {
  Pool* p = nullptr;
  if (const ResultCode rc = resolve_pool(pool, p); rc.failed()) return rc;
  if (s.role != 'M' && s.role != 'N' && s.role != 'S') return kInvalidFileParameters;
  if (s.file < 1 || s.file > kMaxFileNumber) return kNoSuchFile;
  FileDescriptor* fd = p->file(s.file);
  if (fd == nullptr) return kAbsent;
  if (s.role == 'S' && (s.main < 1 || s.main > kMaxFileNumber || p->file(s.main) == nullptr))
    return kNoSuchFile;
  if (const ResultCode rc = validate(s); rc.failed()) return rc;
  if (fd->main != (s.role == 'S' ? s.main : 0)) return 2;
  if (s.role != 'S') {
    if (fd->index_length != s.key_length) return 2;
    if (s.key_form == 'F' && fd->index_flags == 0) return 2;
  }
  if (s.role == 'M') return 0;
  if (s.data_form == 'F' && fd->data_flags == 0) return 2;
  const int entry = s.entry_length + (s.data_form == 'F' ? 0 : 5);
  if (fd->entry_data_length != entry) return 2;
  if (fd->is_list()) return fd->item_length != s.length ? ResultCode(2) : ResultCode(0);
  if (fd->data_length != s.length) {
    fd->data_length = static_cast<std::uint16_t>(s.length);
    if (const ResultCode rc = p->write_descriptor(*fd); rc.failed()) return rc;
  }
  return 0;
}

ResultCode Dbm::file_info(std::string_view pool, int file, FileInfo& info) {
  Context ctx;
  if (const ResultCode rc = resolve(pool, file, ctx); rc.failed()) return rc;
  const FileDescriptor& f = *ctx.f;
  info.role = ' ';
  if (f.role == kRoleMain) info.role = 'M';
  if (f.role == kRoleNormal) info.role = 'N';
  if (f.role == kRoleSub) info.role = 'S';
  info.kind = ' ';
  if ((f.data_flags & kDataData) && (f.index_flags & kIndexRecord))
    info.kind = 'R';
  else if (f.data_flags & kDataData)
    info.kind = 'D';
  else if (f.data_flags & kDataList)
    info.kind = 'L';
  info.key_length = ctx.m->index_length;
  info.data_length = f.is_list() ? f.item_length : f.data_length;
  return 0;
}

ResultCode Dbm::count(std::string_view pool, int file, std::uint32_t& n) {
  n = 0;
  Context ctx;
  if (const ResultCode rc = resolve(pool, file, ctx); rc.failed()) return fail(rc, "COUNT", pool, file);
  Index index(*ctx.pool, *ctx.f);
  KeyCursor c;
  ResultCode rc = index.first(c);
  while (rc.code() == 0) {
    ++n;
    rc = index.next(c);
  }
  if (rc.failed()) (void)fail(rc, "COUNT", pool, file);
  return 0;
}

ResultCode Dbm::delete_file(std::string_view pool, int file) {
  Context ctx;
  if (const ResultCode rc = resolve(pool, file, ctx); rc.failed()) return fail(rc, "DELETE FILE", pool, file);
  JournalRecord r;
  r.time = clock_();
  r.pool = std::string(pool);
  r.file = static_cast<std::uint16_t>(file);
  r.op = JournalOp::DeleteFile;
  if (const ResultCode rc = journal(*ctx.pool, r); rc.failed()) return fail(rc, "DELETE FILE", pool, file);
  // The record is taken back unless every entry went.
  const ResultCode rc = delete_entries(ctx, file);
  journal_done(*ctx.pool, rc);
  return fail(rc, "DELETE FILE", pool, file);
}

ResultCode Dbm::delete_entries(Context& ctx, int file) {
  Index index(*ctx.pool, *ctx.f);
  Values values(*ctx.pool, *ctx.f);
  long count = 0;
  // One pass in key order. After each removal the traversal goes on from
  // the removed key's place: starting again from the first leaf would walk
  // over every leaf emptied so far (their high entries stay as shells), and
  // the whole delete would take time in the square of the file's size.
  KeyCursor c;
  for (ResultCode found = index.first(c); found.code() != kAbsent && found.code() != kEnd;
       found = index.next(c)) {
    if (found.failed()) return found;
    if (values.variable()) {
      const RecordPointer chain = RecordPointer::decode(c.data + values.inline_capacity());
      if (!chain.empty()) {
        if (const ResultCode rc = values.free_chain(chain, true); rc.failed()) return rc;
      }
    }
    if (const ResultCode rc = index.remove(c); rc.failed()) return rc;
    if (++count % 1000 == 0 && messages_ != nullptr) {
      std::fprintf(messages_, "DBM: DELETE FILE=%03d COUNT=%07ld\n", file, count);
    }
    const std::vector<unsigned char> removed = c.key;
    if (const ResultCode rc = index.find(c, removed.data()); rc.failed()) return rc;
  }
  if (messages_ != nullptr) {
    std::fprintf(messages_, "DBM: DELETE FILE=%03d COUNT=%07ld\n", file, count);
    std::fflush(messages_);
  }
  if (ctx.m->is_record()) {
    ctx.m->last = 0;
    return ctx.pool->write_descriptor(*ctx.m);
  }
  return 0;
}

ResultCode Dbm::drop_file(std::string_view pool, int file) {
  Context ctx;
  if (const ResultCode rc = resolve(pool, file, ctx); rc.failed()) return rc;
  std::uint32_t n = 0;
  (void)count(pool, file, n);
  if (n != 0) return kFileNotEmpty;
  if (!ctx.f->is_sub()) {
    if (const ResultCode rc = Index(*ctx.pool, *ctx.f).drop(); rc.failed()) return rc;
  }
  return ctx.pool->clear_descriptor(file);
}

// ---------------------------------------------------------------------------
// Access.

ResultCode Dbm::read_entry(Context& ctx, const unsigned char* part, DataRef& value, Continuation* cont) {
  Values values(*ctx.pool, *ctx.f);
  return values.read_value(part, value.data, value.length, cont);
}

ResultCode Dbm::read(std::string_view pool, int file, const unsigned char* key, DataRef& value,
                     Continuation* cont) {
  Context ctx;
  if (const ResultCode rc = resolve(pool, file, ctx); rc.failed()) return fail(rc, "READ", pool, file);
  if (cont != nullptr) *cont = {};
  value.length = 0;
  if (key == nullptr) return kAbsent;
  Index index(*ctx.pool, *ctx.f);
  KeyCursor c;
  const ResultCode found = index.find(c, key);
  if (found.code() != 0) return fail(found, "READ", pool, file);
  return fail(read_entry(ctx, c.data, value, cont), "READ", pool, file);
}

ResultCode Dbm::get_length(std::string_view pool, int file, const unsigned char* key, std::size_t& length) {
  Context ctx;
  if (const ResultCode rc = resolve(pool, file, ctx); rc.failed()) return fail(rc, "GETLENGTH", pool, file);
  if (key == nullptr) return kAbsent;
  Index index(*ctx.pool, *ctx.f);
  KeyCursor c;
  const ResultCode found = index.find(c, key);
  if (found.code() != 0) return fail(found, "GETLENGTH", pool, file);
  const std::size_t bound = length;
  return fail(Values(*ctx.pool, *ctx.f).value_length(c.data, bound, length), "GETLENGTH", pool, file);
}

ResultCode Dbm::set(std::string_view pool, int file, unsigned char* key, Position& pos, DataRef& value,
                    Continuation* cont) {
  Context ctx;
  if (const ResultCode rc = resolve(pool, file, ctx); rc.failed()) return fail(rc, "SET", pool, file);
  if (cont != nullptr) *cont = {};
  pos = {};
  value.length = 0;
  if (key == nullptr) return kAbsent;
  Index index(*ctx.pool, *ctx.f);
  KeyCursor c;
  ResultCode rc = index.find(c, key);
  if (rc.code() == kAbsent) rc = index.next(c);
  if (rc.code() == kEnd) {
    pos = {c.leaf, c.offset};  // behind the last key: PREV reads it
    return kEnd;
  }
  if (rc.failed()) return fail(rc, "SET", pool, file);
  std::memcpy(key, c.key.data(), c.key.size());
  pos = {c.leaf, c.offset};
  return fail(read_entry(ctx, c.data, value, cont), "SET", pool, file);
}

ResultCode Dbm::step(const char* func, bool forward, std::string_view pool, int file, unsigned char* key,
                     Position& pos, DataRef& value, Continuation* cont) {
  Context ctx;
  if (const ResultCode rc = resolve(pool, file, ctx); rc.failed()) return fail(rc, func, pool, file);
  if (pos.empty() || key == nullptr) return fail(kNoPosition, func, pool, file);
  if (cont != nullptr) *cont = {};
  value.length = 0;
  Index index(*ctx.pool, *ctx.f);
  KeyCursor c;
  c.leaf = pos.leaf;
  c.offset = pos.offset;
  const ResultCode rc = forward ? index.next(c) : index.previous(c);
  if (rc.code() != 0) {
    pos = {};
    return rc.code() == kEnd ? rc : fail(rc, func, pool, file);
  }
  std::memcpy(key, c.key.data(), c.key.size());
  pos = {c.leaf, c.offset};
  return fail(read_entry(ctx, c.data, value, cont), func, pool, file);
}

ResultCode Dbm::get(std::string_view pool, int file, unsigned char* key, Position& pos, DataRef& value,
                    Continuation* cont) {
  return step("GET", true, pool, file, key, pos, value, cont);
}

ResultCode Dbm::prev(std::string_view pool, int file, unsigned char* key, Position& pos, DataRef& value,
                     Continuation* cont) {
  return step("PREV", false, pool, file, key, pos, value, cont);
}

ResultCode Dbm::next(std::string_view pool, int file, DataRef& value, Continuation* cont) {
  Context ctx;
  if (const ResultCode rc = resolve(pool, file, ctx); rc.failed()) return fail(rc, "NEXT", pool, file);
  if (cont == nullptr || cont->empty() || value.data.empty())
    return fail(kNoContinuation, "NEXT", pool, file);
  return fail(Values(*ctx.pool, *ctx.f).read_on(*cont, value.data, value.length), "NEXT", pool, file);
}

// ---------------------------------------------------------------------------
// Writes.

ResultCode Dbm::write_op(const char* func, char letter, std::string_view pool, int file,
                         const unsigned char* key, std::span<const unsigned char> value) {
  Context ctx;
  if (const ResultCode rc = resolve(pool, file, ctx); rc.failed()) return fail(rc, func, pool, file);
  if (key == nullptr) return fail(kInvalidFileParameters, func, pool, file);
  const bool data = is_data(*ctx.f);
  if (!data && letter != 'D' && value.size() != ctx.f->item_length) {
    return fail(kInvalidFileParameters, func, pool, file);
  }
  Index index(*ctx.pool, *ctx.f);
  KeyCursor c;
  const ResultCode found = index.find(c, key);
  if (found.failed()) return fail(found, func, pool, file);
  const bool present = found.code() == 0;
  const bool recovering = ctx.pool->mode() == kModeRead;
  const bool journalled = journal_of(ctx.pool) != nullptr;
  Values values(*ctx.pool, *ctx.f);

  // What would be refused or change nothing is settled before the journal
  // is written, so that the journal holds exactly the changes made.
  if (!present) {
    if (letter == 'D') return recovering ? ResultCode(0) : ResultCode(kAbsent);
    if (letter == 'U' && !recovering) return kAbsent;
    if (data && value.empty()) return 0;
  }
  if (data && !values.variable() && value.size() > values.part_length())
    return fail(kValueTooLong, func, pool, file);
  if (data && present && letter == 'W' && journalled) return fail(kRecordExists, func, pool, file);
  if (!data && letter != 'D') {
    if (const ResultCode rc = list_refusal(values, c, present, value); rc.failed())
      return fail(rc, func, pool, file);
  }

  // The journal comes first: when it cannot be written nothing changes.
  JournalRecord r;
  r.time = clock_();
  r.pool = std::string(pool);
  r.file = static_cast<std::uint16_t>(file);
  switch (letter) {
    case 'W':
    case 'L': r.op = data ? JournalOp::Insert : JournalOp::ListInsert; break;
    case 'U': r.op = JournalOp::Update; break;
    default: r.op = data ? JournalOp::Delete : JournalOp::ListDelete; break;
  }
  r.key.assign(key, key + ctx.m->index_length);
  r.value.assign(value.begin(), value.end());
  if (const ResultCode rc = journal(*ctx.pool, r); rc.failed()) return fail(rc, func, pool, file);

  ResultCode rc = 0;
  if (!present) {
    rc = data ? values.store_new(index, c, letter, value) : list_new(values, index, c, letter, value);
  } else {
    rc = data ? values.store_existing(index, c, letter, value, journalled)
              : list_existing(values, index, c, letter, value);
  }
  // A change that failed, or found nothing to do, takes its record back.
  journal_done(*ctx.pool, rc);
  return rc.failed() ? fail(rc, func, pool, file) : rc;
}

ResultCode Dbm::insert(std::string_view pool, int file, const unsigned char* key,
                       std::span<const unsigned char> value) {
  return write_op("INSERT", 'W', pool, file, key, value);
}
ResultCode Dbm::load(std::string_view pool, int file, const unsigned char* key,
                     std::span<const unsigned char> value) {
  return write_op("LOAD", 'L', pool, file, key, value);
}
ResultCode Dbm::update(std::string_view pool, int file, const unsigned char* key,
                       std::span<const unsigned char> value) {
  return write_op("UPDATE", 'U', pool, file, key, value);
}
ResultCode Dbm::remove(std::string_view pool, int file, const unsigned char* key) {
  return write_op("DELETE", 'D', pool, file, key, {});
}
ResultCode Dbm::list_insert(std::string_view pool, int file, const unsigned char* key,
                            std::span<const unsigned char> item) {
  return write_op("LISTINS", 'W', pool, file, key, item);
}
ResultCode Dbm::list_load(std::string_view pool, int file, const unsigned char* key,
                          std::span<const unsigned char> item) {
  return write_op("LISTLOAD", 'L', pool, file, key, item);
}
ResultCode Dbm::list_delete(std::string_view pool, int file, const unsigned char* key,
                            std::span<const unsigned char> item) {
  return write_op("LISTDEL", 'D', pool, file, key, item);
}

ResultCode Dbm::next_idn(std::string_view pool, int file, std::uint32_t* idn) {
  Context ctx;
  if (const ResultCode rc = resolve(pool, file, ctx); rc.failed()) return rc;
  if (idn == nullptr) return kInvalidFileParameters;
  return dbm::next_idn(*ctx.m, *idn);
}

ResultCode Dbm::give_back_idn(std::string_view pool, int file) {
  Context ctx;
  if (const ResultCode rc = resolve(pool, file, ctx); rc.failed()) return rc;
  dbm::give_back_idn(*ctx.m);
  return 0;
}

ResultCode Dbm::last_idn(std::string_view pool, int file, std::uint32_t& idn) {
  Context ctx;
  if (const ResultCode rc = resolve(pool, file, ctx); rc.failed()) return rc;
  idn = ctx.m->last;
  return 0;
}

}  // namespace corvanta::dbm
