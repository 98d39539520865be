#include "dbm/save_set.h"

#include <zlib.h>

#include <algorithm>
#include <cstdio>

#include "dbm/codes.h"
#include "dbm/format.h"
#include "util/big_endian.h"

namespace corvanta::dbm {
namespace {

constexpr std::int32_t kCannotOpenFile = -13;
constexpr std::int32_t kCannotWriteFile = -16;
constexpr int kMaxSavedExtents = 99;  // the copies are numbered with two digits
constexpr std::size_t kSavedOffset = 48;
constexpr std::size_t kPoolNameField = 5;
constexpr std::size_t kWhenLength = 19;

}  // namespace

std::vector<unsigned char> SaveId::encode_header() const {
  std::vector<unsigned char> out(kSaveIdHeaderSize, 0);
  std::copy_n(pool.begin(), std::min<std::size_t>(pool.size(), kPoolNameField - 1), out.begin());
  std::copy_n(when.begin(), std::min(when.size(), kWhenLength), out.begin() + kPoolNameField);
  put_u16(out.data() + 24, extents);
  return out;
}

std::optional<SaveId> SaveId::decode_header(std::span<const unsigned char> bytes) {
  if (bytes.size() < kSaveIdHeaderSize) return std::nullopt;
  SaveId id;
  std::size_t n = 0;
  while (n < kPoolNameField && bytes[n] != 0) ++n;
  id.pool.assign(reinterpret_cast<const char*>(bytes.data()), n);
  id.when.assign(reinterpret_cast<const char*>(bytes.data()) + kPoolNameField, kWhenLength);
  id.extents = get_u16(bytes.data() + 24);
  return id;
}

std::string save_id_path(const std::string& dir, const std::string& pool) {
  return dir + "/DD" + pool + ".SID";
}

std::string save_copy_path(const std::string& dir, const std::string& pool, int extent) {
  char suffix[16];
  std::snprintf(suffix, sizeof suffix, ".S%02d", extent);
  return dir + "/DD" + pool + suffix;
}

std::string pending_path(const std::string& path) {
  return path + ".new";
}

std::string extent_file_path(const std::string& base, int extent) {
  return extent == 0 ? base : base + "." + std::to_string(extent);
}

ResultCode copy_extent(FileSystem& fs, const std::string& from, const std::string& to,
                       std::optional<std::uint32_t> saved_time, std::uint32_t& crc) {
  crc = 0;
  const auto in = fs.open(from, OpenMode::ReadOnly);
  if (!in) return kCannotOpenFile;
  const auto out = fs.open(to, OpenMode::Replace);
  if (!out) {
    (void)in->close();
    return kCannotOpenFile;
  }
  uLong sum = crc32(0L, Z_NULL, 0);
  unsigned char block[kBlockSize];
  off_t offset = 0;
  ResultCode rc = 0;
  for (;;) {
    const ssize_t n = in->read_at(block, sizeof block, offset);
    if (n < 0) {
      rc = kReadError;
      break;
    }
    if (n == 0) break;
    if (offset == 0 && saved_time && static_cast<std::size_t>(n) >= kSavedOffset + 4) {
      put_u32(block + kSavedOffset, *saved_time);
    }
    sum = crc32(sum, block, static_cast<uInt>(n));
    if (!out->write_at(block, static_cast<std::size_t>(n), offset)) {
      rc = kJournalFull;
      break;
    }
    offset += n;
  }
  (void)in->close();
  if (rc.ok() && !out->sync()) rc = kJournalFull;
  if (!out->close() && rc.ok()) rc = kJournalFull;
  crc = static_cast<std::uint32_t>(sum);
  return rc;
}

ResultCode file_crc(FileSystem& fs, const std::string& path, std::uint32_t& crc) {
  crc = 0;
  const auto in = fs.open(path, OpenMode::ReadOnly);
  if (!in) return kCannotOpenJournal;
  uLong sum = crc32(0L, Z_NULL, 0);
  unsigned char block[kBlockSize];
  off_t offset = 0;
  for (;;) {
    const ssize_t n = in->read_at(block, sizeof block, offset);
    if (n < 0) {
      (void)in->close();
      return kReadError;
    }
    if (n == 0) break;
    sum = crc32(sum, block, static_cast<uInt>(n));
    offset += n;
  }
  (void)in->close();
  crc = static_cast<std::uint32_t>(sum);
  return 0;
}

bool read_whole_file(FileSystem& fs, const std::string& path, std::vector<unsigned char>& bytes) {
  bytes.clear();
  const auto in = fs.open(path, OpenMode::ReadOnly);
  if (!in) return false;
  const off_t size = in->size();
  bool ok = size >= 0;
  if (ok) {
    bytes.resize(static_cast<std::size_t>(size));
    const ssize_t n = in->read_at(bytes.data(), bytes.size(), 0);
    ok = n == static_cast<ssize_t>(bytes.size());
  }
  (void)in->close();
  if (!ok) bytes.clear();
  return ok;
}

ResultCode write_pending_id(FileSystem& fs, const std::string& dir, const std::string& pool,
                            const SaveId& id) {
  const auto out = fs.open(pending_path(save_id_path(dir, pool)), OpenMode::Replace);
  if (!out) return kCannotOpenFile;
  std::vector<unsigned char> bytes = id.encode_header();
  for (const std::uint32_t crc : id.crcs) {
    unsigned char c[4];
    put_u32(c, crc);
    bytes.insert(bytes.end(), c, c + 4);
  }
  const bool ok = out->write_at(bytes.data(), bytes.size(), 0) && out->sync();
  return out->close() && ok ? ResultCode(0) : ResultCode(kCannotWriteFile);
}

ResultCode commit_save_set(FileSystem& fs, const std::string& dir, const std::string& pool, int extents,
                           bool whole) {
  for (int e = 0; e <= extents; ++e) {
    const std::string copy = save_copy_path(dir, pool, e);
    if (whole && !fs.exists(pending_path(copy))) return kCannotWriteFile;
  }
  for (int e = 0; e <= extents; ++e) {
    const std::string copy = save_copy_path(dir, pool, e);
    if (fs.exists(pending_path(copy)) && !fs.rename(pending_path(copy), copy)) return kCannotWriteFile;
  }
  const std::string id = save_id_path(dir, pool);
  if (!fs.rename(pending_path(id), id) || !fs.sync_directory(id)) return kCannotWriteFile;
  return 0;
}

ResultCode settle_save_set(FileSystem& fs, const std::string& dir, const std::string& pool) {
  const std::string id_path = pending_path(save_id_path(dir, pool));
  std::vector<unsigned char> bytes;
  if (fs.exists(id_path) && read_whole_file(fs, id_path, bytes)) {
    // Committed when the identification is whole and every copy, pending
    // or already renamed, is the one it describes.
    const std::optional<SaveId> id = SaveId::decode_header(bytes);
    bool whole = id && bytes.size() == kSaveIdHeaderSize + 4 * (std::size_t{id->extents} + 1);
    for (int e = 0; whole && e <= id->extents; ++e) {
      const std::string copy = save_copy_path(dir, pool, e);
      std::uint32_t crc = 0;
      whole = file_crc(fs, fs.exists(pending_path(copy)) ? pending_path(copy) : copy, crc).ok() &&
              crc == get_u32(bytes.data() + kSaveIdHeaderSize + 4 * static_cast<std::size_t>(e));
    }
    if (whole) return commit_save_set(fs, dir, pool, id->extents, false);
  }
  // Not committed: the previous set stands; what was begun goes.
  if (fs.exists(id_path) && !fs.remove(id_path)) return kCannotWriteFile;
  for (int e = 0; e <= kMaxSavedExtents; ++e) {
    const std::string copy = pending_path(save_copy_path(dir, pool, e));
    if (fs.exists(copy) && !fs.remove(copy)) return kCannotWriteFile;
  }
  return 0;
}

}  // namespace corvanta::dbm
