#include "dbm/pool.h"

#include <algorithm>
#include <cstdio>
#include <ctime>

#include "dbm/codes.h"
#include "dbm/index.h"
#include "util/date.h"

namespace corvanta::dbm {
namespace {

constexpr int kMaxChainSteps = 1024;
constexpr std::size_t kProbeBytes = 60;

std::uint32_t now_seconds() {
  return static_cast<std::uint32_t>(std::time(nullptr));
}

bool all_zero(const unsigned char* p, std::size_t n) {
  return std::all_of(p, p + n, [](unsigned char c) { return c == 0; });
}

std::string time_text(std::uint32_t t) {
  if (t == 0) return "00.00.0000 - 00:00:00";
  return date_fill("DD.MM.YYYY - HH:MI:SS", local_time(t));
}

char flag(char c) {
  return c == 0 ? ' ' : c;
}

}  // namespace

// ---------------------------------------------------------------------------
// Extents.

std::string Extents::extent_path(const std::string& base, int e) {
  return base + "." + std::to_string(e);
}

bool Extents::open_base(const std::string& path, OpenMode mode) {
  (void)close_all();
  path_ = path;
  mode_ = mode;
  auto base = fs_.open(path, mode);
  if (!base) return false;
  files_.push_back(std::move(base));
  return true;
}

File* Extents::extent(int e) {
  if (files_.empty() || files_[0] == nullptr) return nullptr;
  while (static_cast<int>(files_.size()) <= e) {
    const int next = static_cast<int>(files_.size());
    auto file = fs_.open(extent_path(path_, next), mode_);
    if (!file && mode_ == OpenMode::ReadWrite) file = fs_.open(extent_path(path_, next), OpenMode::Create);
    if (!file) return nullptr;
    files_.push_back(std::move(file));
  }
  return files_[static_cast<std::size_t>(e)].get();
}

bool Extents::read_block(std::uint32_t b, unsigned char* data, std::size_t length) {
  const int e = static_cast<int>(b / kBlocksPerExtent);
  File* f = extent(e);
  if (f == nullptr) return false;
  const off_t offset = static_cast<off_t>(b - static_cast<std::uint32_t>(e) * kBlocksPerExtent) *
                       static_cast<off_t>(kBlockSize);
  return f->read_at(data, length, offset) == static_cast<ssize_t>(length);
}

bool Extents::write_block(std::uint32_t b, const unsigned char* data, std::size_t length) {
  const int e = static_cast<int>(b / kBlocksPerExtent);
  File* f = extent(e);
  if (f == nullptr) return false;
  const off_t offset = static_cast<off_t>(b - static_cast<std::uint32_t>(e) * kBlocksPerExtent) *
                       static_cast<off_t>(kBlockSize);
  return f->write_at(data, length, offset);
}

off_t Extents::extent_size(int e) {
  File* f = extent(e);
  return f == nullptr ? -1 : f->size();
}

bool Extents::close_all() {
  bool ok = true;
  for (auto& f : files_) {
    if (f && !f->close()) ok = false;
  }
  files_.clear();
  return ok;
}

// ---------------------------------------------------------------------------
// Frames.

void Frame::decode() {
  const BlockHeader h = decode_block_header(image.data());
  link = h.link;
  file = h.file;
  free = static_cast<std::int16_t>(h.free);
  reserved = h.reserved;
  next = h.next;
  type = h.type;
  level = h.level;
  count = h.count;
}

void Frame::encode() {
  BlockHeader h;
  h.link = link;
  h.file = file;
  h.free = static_cast<std::uint16_t>(free);
  h.reserved = reserved;
  h.next = next;
  h.type = type;
  h.level = level;
  h.count = static_cast<std::uint8_t>(count);
  encode_block_header(h, image.data());
}

// ---------------------------------------------------------------------------
// Pool control data.

Pool::Pool(FileSystem& fs, std::string name, std::string path)
    : extents(fs), name_(std::move(name)), path_(std::move(path)) {}

Pool::~Pool() {
  if (open_) (void)close();
}

ResultCode Pool::read_header() {
  Block b{};
  if (!extents.read_block(0, b.data(), kBlockSize)) return kReadError;
  if (decode_block_header(b.data()).type != kTypePoolHeader) return kWrongBlockType;
  const PoolHeader h = decode_pool_header(b);
  if (h.init != 'I') return kNotInitialised;
  if (h.version != kVersion && h.version != 0) return kBadVersion;
  header = h;
  for (auto& f : files_) f.reset();
  control_loaded_ = true;
  return 0;
}

ResultCode Pool::write_header() {
  if (header.version != kVersion && header.version != 0) return kBadVersion;
  const Block b = encode_pool_header(header);
  return extents.write_block(0, b.data(), kBlockSize) ? ResultCode(0) : ResultCode(kWriteError);
}

ResultCode Pool::read_descriptor(int n, FileDescriptor& out) {
  if (n < 1 || n > kMaxFileNumber) return kNoSuchFile;
  Block b{};
  if (!extents.read_block(descriptor_block(n), b.data(), kBlockSize)) return kReadError;
  if (decode_block_header(b.data()).type != kTypeDescriptors) return kWrongBlockType;
  const FileDescriptor fd = decode_descriptor(b.data() + descriptor_offset(n));
  if (fd.file == 0) return kNoSuchFile;
  out = fd;
  return 0;
}

ResultCode Pool::write_descriptor(const FileDescriptor& fd) {
  if (fd.file < 1 || fd.file > kMaxFileNumber) return kNoSuchFile;
  Block b{};
  if (!extents.read_block(descriptor_block(fd.file), b.data(), kBlockSize)) return kReadError;
  if (decode_block_header(b.data()).type != kTypeDescriptors) return kWrongBlockType;
  encode_descriptor(fd, b.data() + descriptor_offset(fd.file));
  return extents.write_block(descriptor_block(fd.file), b.data(), kBlockSize) ? ResultCode(0)
                                                                              : ResultCode(kWriteError);
}

ResultCode Pool::clear_descriptor(int n) {
  if (n < 1 || n > kMaxFileNumber) return kNoSuchFile;
  Block b{};
  if (!extents.read_block(descriptor_block(n), b.data(), kBlockSize)) return kReadError;
  if (decode_block_header(b.data()).type != kTypeDescriptors) return kWrongBlockType;
  std::fill_n(b.data() + descriptor_offset(n), kDescriptorSize, 0);
  if (!extents.write_block(descriptor_block(n), b.data(), kBlockSize)) return kWriteError;
  files_[static_cast<std::size_t>(n)].reset();
  return 0;
}

ResultCode Pool::load_control() {
  if (const ResultCode rc = read_header(); rc.failed()) return rc;
  // Each descriptor block is read once for the descriptors it holds.
  Block b{};
  std::uint32_t loaded = 0;
  for (int n = 1; n <= kMaxFileNumber; ++n) {
    if (descriptor_block(n) != loaded) {
      loaded = descriptor_block(n);
      ResultCode rc = 0;
      if (!extents.read_block(loaded, b.data(), kBlockSize)) {
        rc = kReadError;
      } else if (decode_block_header(b.data()).type != kTypeDescriptors) {
        rc = kWrongBlockType;
      }
      if (rc.failed()) {
        free_control();
        return rc;
      }
    }
    const FileDescriptor fd = decode_descriptor(b.data() + descriptor_offset(n));
    if (fd.file == 0) continue;
    files_[static_cast<std::size_t>(n)] = std::make_unique<FileDescriptor>(fd);
  }
  return 0;
}

ResultCode Pool::store_control(char letter) {
  if (!control_loaded_) return kMissingArgument;
  header.extends = static_cast<std::uint16_t>(std::max<int>(header.extends, extents.count()));
  ResultCode rc = 0;
  if (letter == kModeUpdate) {
    for (const auto& fd : files_) {
      if (!fd) continue;
      if (const ResultCode r = write_descriptor(*fd); r.failed()) rc = r;
    }
    // A descriptor that did not reach the disk leaves the pool marked open,
    // for the check of the next open.
    if (rc.failed()) header.open = 'O';
    if (const ResultCode r = write_header(); r.failed()) rc = r;
  }
  free_control();
  return rc;
}

void Pool::free_control() {
  for (auto& f : files_) f.reset();
  control_loaded_ = false;
}

FileDescriptor* Pool::file(int n) {
  if (n < 1 || n > kMaxFileNumber) return nullptr;
  return files_[static_cast<std::size_t>(n)].get();
}

ResultCode Pool::add_file(const FileDescriptor& fd) {
  if (fd.file < 1 || fd.file > kMaxFileNumber) return kNoSuchFile;
  files_[fd.file] = std::make_unique<FileDescriptor>(fd);
  return write_descriptor(fd);
}

ResultCode Pool::descriptor_changed(const FileDescriptor& fd) {
  if (write_policy_ == 'W') return 0;  // written with the control data at close
  return write_descriptor(fd);
}

ResultCode Pool::extend() {
  Block zero{};
  for (std::uint32_t i = 0; i < kExtendBlocks; ++i) {
    ++header.last;
    if (!extents.write_block(header.last, zero.data(), kBlockSize)) return kCannotExtend;
  }
  header.extends = static_cast<std::uint16_t>(std::max<int>(header.extends, extents.count()));
  if (const ResultCode rc = write_header(); rc.failed()) return rc;
  const OpenMode mode = extents.mode() == OpenMode::ReadOnly ? OpenMode::ReadOnly : OpenMode::ReadWrite;
  if (!extents.close_all()) return kCannotClose;
  if (!extents.open_base(path_, mode)) return kCannotOpen;
  return 0;
}

ResultCode Pool::lock(bool exclusive) {
  FileSystem& fs = extents.file_system();
  // The file named by the path once locked is the one to work on: a file
  // renamed away meanwhile (a restore) is let go and the new one taken.
  for (int round = 0; round < 4; ++round) {
    lock_ = fs.open(path_, exclusive ? OpenMode::ReadWrite : OpenMode::ReadOnly);
    if (!lock_) return kCannotOpen;
    if (!lock_->lock(exclusive, false)) {
      lock_.reset();
      return kPoolInUse;
    }
    if (lock_->is_at(path_)) return 0;
  }
  lock_.reset();
  return kPoolInUse;
}

ResultCode Pool::initialize(FileSystem& fs, const std::string& name, const std::string& path) {
  Pool pool(fs, name, path);
  // 1. An existing file must be a pool that nobody has open; its extents go.
  if (fs.exists(path)) {
    if (const ResultCode rc = pool.lock(true); rc.code() == kPoolInUse) return rc;
    if (pool.extents.open_base(path, OpenMode::ReadOnly)) {
      const ResultCode rc = pool.read_header();
      if (rc.failed()) {
        (void)pool.extents.close_all();
        return rc;
      }
      for (int e = 1; e <= pool.header.extends; ++e) {
        const std::string extent = Extents::extent_path(path, e);
        if (fs.exists(extent) && !fs.remove(extent)) {
          (void)pool.extents.close_all();
          return kWriteError;
        }
      }
      (void)pool.extents.close_all();
    }
  }
  // 2.-3. A fresh control area.
  if (!pool.extents.open_base(path, OpenMode::Truncate)) return kCannotOpen;
  pool.header = PoolHeader{};
  pool.header.init = 'I';
  pool.header.version = kVersion;
  pool.header.first = kFirstBlock;
  pool.header.last = kFirstBlock - 1;
  pool.header.free = kFirstBlock;
  pool.header.initiated = now_seconds();
  if (const ResultCode rc = pool.write_header(); rc.failed()) return rc;
  const Block empty = empty_descriptor_block();
  for (std::uint32_t b = 1; b <= kDescriptorBlocks; ++b) {
    if (!pool.extents.write_block(b, empty.data(), kBlockSize)) return kWriteError;
  }
  if (!pool.extents.close_all()) return kCannotClose;
  if (!pool.extents.open_base(path, OpenMode::ReadWrite)) return kCannotOpen;
  // 4. Control data and the first 8 blocks.
  if (const ResultCode rc = pool.load_control(); rc.failed()) return rc;
  const ResultCode rc = pool.extend();
  pool.free_control();
  if (!pool.extents.close_all() && rc.ok()) return kCannotClose;
  return rc;
}

ResultCode Pool::open(char mode, char write_policy, std::size_t index_frames, std::size_t data_frames) {
  if (open_) return kPoolInUse;
  if (mode != kModeRead && mode != kModeUpdate && mode != kModeCheck && mode != kModeInquiry) {
    return kMissingArgument;
  }
  // 1. The lock, the base file and the control data.
  if (const ResultCode rc = lock(mode != kModeInquiry); rc.failed()) return rc;
  if (!extents.open_base(path_, mode == kModeInquiry ? OpenMode::ReadOnly : OpenMode::ReadWrite)) {
    unlock();
    return kCannotOpen;
  }
  auto fail = [&](ResultCode rc) {
    free_control();
    (void)extents.close_all();
    unlock();
    return rc;
  };
  if (const ResultCode rc = load_control(); rc.failed()) return fail(rc);
  // 2. Open elsewhere, or not closed.
  if (mode != kModeCheck && header.open == 'O') return fail(kPoolInUse);
  // 3. The buffer rings.
  index_buffers.resize(index_frames);
  data_buffers.resize(data_frames);
  mode_ = mode;
  write_policy_ = write_policy == 'W' ? 'W' : ' ';
  // 4.-5. Flags.
  if (mode == kModeCheck && header.open == 'O' && header.error == 0) header.error = 'S';
  header.open = 'O';
  journal_open = false;
  // 6. Check and repair, with the IDN recount.
  if (mode == kModeCheck && (check_and_repair().failed() || recount_idns(*this).failed())) header.error = 'E';
  // 7.-8. Mode U refuses a damaged pool. The writing modes U and R put
  // OPEN on disk now, so that a writer cut off before its close leaves the
  // pool marked for the check of the next open.
  if (mode == kModeUpdate && header.error == 'E') {
    header.open = 0;
    return fail(kPoolDamaged);
  }
  if (mode == kModeUpdate || mode == kModeRead) {
    if (const ResultCode rc = write_header(); rc.failed()) return fail(rc);
  }
  open_ = true;
  return 0;
}

ResultCode Pool::close() {
  if (!open_) return kMissingArgument;
  ResultCode rc = 0;
  if (mode_ != kModeInquiry) {
    if (const ResultCode r = index_buffers.flush(*this); r.failed()) rc = r;
    if (const ResultCode r = data_buffers.flush(*this); r.failed()) rc = r;
    if (rc.ok()) {
      header.open = 0;
      if (mode_ != kModeCheck) header.closed = now_seconds();
      rc = store_control(kModeUpdate);
    } else {
      // Blocks were lost: the pool stays marked open and damaged.
      header.open = 'O';
      header.error = 'E';
      (void)write_header();
      free_control();
    }
  } else {
    free_control();
  }
  if (!extents.close_all() && rc.ok()) rc = kCannotClose;
  unlock();
  index_buffers.resize(0);
  data_buffers.resize(0);
  index_buffers.release_frames();
  data_buffers.release_frames();
  open_ = false;
  return rc;
}

ResultCode Pool::check_and_repair() {
  // 1. The last block present.
  const int e = header.extends;
  const off_t size = extents.extent_size(e);
  if (size < static_cast<off_t>(kBlockSize)) return kReadError;
  const std::uint32_t n = static_cast<std::uint32_t>(e) * kBlocksPerExtent +
                          static_cast<std::uint32_t>((size - static_cast<off_t>(kBlockSize)) / kBlockSize);
  // 2. LAST and the files agree.
  if (header.last < n) {
    header.last = n;
  } else if (header.last > n) {
    if (header.free - 1 > n) return kReadError;
    Block zero{};
    for (std::uint32_t b = n + 1; b <= header.last; ++b) {
      if (!extents.write_block(b, zero.data(), kBlockSize)) return kWriteError;
    }
  }
  // 3. The free chain: the first block that is not a free block ends it.
  std::uint32_t highest_chain = 0;
  std::uint32_t b = header.chain;
  for (int steps = 0; b != 0; ++steps) {
    if (steps >= kMaxChainSteps) return kBadFreeChain;
    if (b < kFirstBlock || b > header.last) {
      header.chain = 0;  // a link out of range cannot be followed
      break;
    }
    unsigned char probe[kProbeBytes];
    if (!extents.read_block(b, probe, kProbeBytes)) return kReadError;
    highest_chain = std::max(highest_chain, b);
    if (all_zero(probe + 4, 20)) {
      header.chain = b;
      break;
    }
    b = (std::uint32_t{probe[0]} << 24) | (std::uint32_t{probe[1]} << 16) | (std::uint32_t{probe[2]} << 8) |
        std::uint32_t{probe[3]};
    if (b == 0) header.chain = 0;
  }
  // 4. Blocks handed out but not recorded stay out of reuse.
  const std::uint32_t stop = std::max(header.free, highest_chain + 1);
  for (std::uint32_t blk = header.last; blk >= stop && blk >= kFirstBlock; --blk) {
    unsigned char probe[kProbeBytes];
    if (!extents.read_block(blk, probe, kProbeBytes)) return kReadError;
    if (!all_zero(probe, 24)) {
      header.free = blk + 1;
      break;
    }
  }
  return 0;
}

BufferPool* Pool::buffers(char kind) {
  if (kind == 'I') return &index_buffers;
  if (kind == 'D') return &data_buffers;
  return nullptr;
}

// ---------------------------------------------------------------------------
// Listings.

std::string format_header(const std::string& pool_name, const PoolHeader& h) {
  char buf[512];
  std::string out = "POOL=" + pool_name + "\n";
  std::snprintf(buf, sizeof buf, "VERSION=%d, INIT=%c, OPEN=%c, ERROR=%c, EXTENDS=%d\n", h.version,
                flag(h.init), flag(h.open), flag(h.error), h.extends);
  out += buf;
  std::snprintf(buf, sizeof buf, "FIRST=%ld, LAST=%ld, FREE=%ld, CHAIN=%ld\n", static_cast<long>(h.first),
                static_cast<long>(h.last), static_cast<long>(h.free), static_cast<long>(h.chain));
  out += buf;
  out += "INITIATED " + time_text(h.initiated) + "\n";
  out += "CLOSED    " + time_text(h.closed) + "\n";
  out += "SAVED     " + time_text(h.saved) + "\n";
  return out;
}

std::string format_descriptor(const FileDescriptor& fd) {
  std::string type = fd.is_list() ? "LIST" : (fd.is_record() ? "RECORD" : "DATA");
  if (fd.is_main()) type += ":MAINFILE";
  if (fd.is_sub()) type += ":SUBFILE";
  char buf[512];
  std::string out;
  std::snprintf(buf, sizeof buf, "FILE=%03d, TYPE=%s, MAIN=%03d\n", fd.file, type.c_str(), fd.main);
  out += buf;
  char indexlen[32];
  std::snprintf(indexlen, sizeof indexlen, "%02d%s", fd.index_length,
                (fd.index_flags & kIndexFixed) ? ":FIX" : "");
  std::snprintf(buf, sizeof buf, "INDEXLEN=%s, INDEXDAT=%02d, LEVEL=%d, START=%ld, LAST=%ld\n", indexlen,
                fd.entry_data_length - 5, fd.level, static_cast<long>(fd.start), static_cast<long>(fd.last));
  out += buf;
  char datalen[32];
  std::snprintf(datalen, sizeof datalen, "%d%s", fd.data_length, (fd.data_flags & kDataFixed) ? ":FIX" : "");
  std::snprintf(buf, sizeof buf, "DATALEN=%s, ITEMLEN=%02d\n", datalen, fd.item_length);
  out += buf;
  return out;
}

}  // namespace corvanta::dbm
