// The save set of a pool: what SAVE writes and RESTORE reads back.
//
// "DD<pool>.SID", the save's identification (big-endian):
//    0  5  pool name, zero-terminated (at most 4 characters)
//    5 19  save time "MM/DD/YYYY HH:MI:SS"
//   24  2  number of extents beyond the base file
//   26  4  CRC-32 of each saved file, extent 0 first
// "DD<pool>.S00", ".S01", ...: copies of the base file and its extents;
// bytes 48 to 51 of S00 hold the save time (SAVED of the pool header).
//
// A set is written beside the old one: every file under its name with
// ".new" appended, the copies first, then the identification, each synced.
// The complete identification is the point of commit: commit_save_set()
// renames the copies into place and the identification last. A save cut
// off before its commit leaves the previous set whole; one cut off during
// the renames is completed by settle_save_set(), which SAVE and RESTORE run
// first. Either way exactly one consistent set is restorable.
//
// The copies go through the database manager's FileSystem.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "dbm/file_io.h"
#include "util/result.h"

namespace corvanta::dbm {

inline constexpr std::size_t kSaveIdHeaderSize = 26;

struct SaveId {
  std::string pool;  // at most 4 characters are kept
  std::string when;  // "MM/DD/YYYY HH:MI:SS"
  std::uint16_t extents = 0;
  std::vector<std::uint32_t> crcs;  // one per saved file

  std::vector<unsigned char> encode_header() const;
  // Reads the 26-byte header; nothing when `bytes` is shorter.
  static std::optional<SaveId> decode_header(std::span<const unsigned char> bytes);
};

std::string save_id_path(const std::string& dir, const std::string& pool);
std::string save_copy_path(const std::string& dir, const std::string& pool, int extent);
// Extent 0 is the base file, extent e the base path with ".e".
std::string extent_file_path(const std::string& base, int extent);

// The name a file of a set has while the set is being written.
std::string pending_path(const std::string& path);

// Copies `from` to `to` (made anew, a file or link there removed first) in
// 2048-byte pieces, syncs it
// and returns the CRC-32 of what was written. With `saved_time`, bytes 48
// to 51 of the first block are replaced by it. -13: a file cannot be opened
// or created; -212: a read fails; -229: a write, the sync or the close
// fails.
ResultCode copy_extent(FileSystem& fs, const std::string& from, const std::string& to,
                       std::optional<std::uint32_t> saved_time, std::uint32_t& crc);
// The CRC-32 of a whole file: -226 when it cannot be opened, -212 when a
// read fails.
ResultCode file_crc(FileSystem& fs, const std::string& path, std::uint32_t& crc);
// The bytes of a whole file; false when it cannot be opened or read.
bool read_whole_file(FileSystem& fs, const std::string& path, std::vector<unsigned char>& bytes);

// Writes the pending identification of a set: its header and one CRC per
// copy, synced. 0, -13 or -16.
ResultCode write_pending_id(FileSystem& fs, const std::string& dir, const std::string& pool,
                            const SaveId& id);
// Puts the pending set of `pool` in place (copies 0 to `extents`, then the
// identification). With `whole`, every copy must still be pending (a fresh
// set); otherwise copies already in place are passed over (an interrupted
// commit being completed). 0 or -16.
ResultCode commit_save_set(FileSystem& fs, const std::string& dir, const std::string& pool, int extents,
                           bool whole);
// Completes a set whose pending identification is whole and agrees with
// the copies, or removes the pending files of one that never reached its
// commit. 0, or the code of a rename or removal that failed (-16).
ResultCode settle_save_set(FileSystem& fs, const std::string& dir, const std::string& pool);

}  // namespace corvanta::dbm
