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

std::string extent_file_path(const std::string& base, int extent) {
  return extent == 0 ? base : base + "." + std::to_string(extent);
}

ResultCode copy_extent(FileSystem& fs, const std::string& from, const std::string& to,
                       std::optional<std::uint32_t> saved_time, std::uint32_t& crc) {
  crc = 0;
  const auto in = fs.open(from, OpenMode::ReadOnly);
  if (!in) return kCannotOpenFile;
  const auto out = fs.open(to, OpenMode::Truncate);
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

}  // namespace corvanta::dbm
