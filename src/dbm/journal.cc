#include "dbm/journal.h"

#include <algorithm>
#include <cstring>

#include "dbm/codes.h"
#include "util/big_endian.h"

namespace corvanta::dbm {

std::vector<unsigned char> encode_journal_record(const JournalRecord& r) {
  std::vector<unsigned char> out(kJournalHeaderSize, 0);
  put_u32(&out[0], r.time);
  put_u32(&out[4], r.user);
  if (r.op == JournalOp::Commit) return out;
  std::copy_n(r.pool.begin(), std::min<std::size_t>(r.pool.size(), 4), out.begin() + 8);
  put_u16(&out[12], r.file);
  out[15] = static_cast<unsigned char>(r.op);
  out[16] = 1;
  if (r.op == JournalOp::DeleteFile) return out;
  const std::size_t key = std::min<std::size_t>(r.key.size(), 255);
  out[17] = static_cast<unsigned char>(key);
  put_u32(&out[18], static_cast<std::uint32_t>(r.value.size()));
  out.resize(kJournalHeaderSize + key + r.value.size());
  if (key > 0) std::memcpy(out.data() + kJournalHeaderSize, r.key.data(), key);
  if (!r.value.empty()) std::memcpy(out.data() + kJournalHeaderSize + key, r.value.data(), r.value.size());
  return out;
}

bool decode_journal_record(std::span<const unsigned char> b, JournalRecord& r, std::size_t& size) {
  if (b.size() < kJournalHeaderSize) return false;
  r = JournalRecord{};
  r.time = get_u32(&b[0]);
  r.user = get_u32(&b[4]);
  r.op = static_cast<JournalOp>(b[15]);
  if (b[16] == 0) {
    r.op = JournalOp::Commit;
    size = kJournalHeaderSize;
    return true;
  }
  std::size_t name = 0;
  while (name < 4 && b[8 + name] != 0) ++name;
  r.pool.assign(reinterpret_cast<const char*>(&b[8]), name);
  r.file = get_u16(&b[12]);
  const std::size_t key = b[17];
  const std::size_t value = get_u32(&b[18]);
  if (b.size() - kJournalHeaderSize < key || b.size() - kJournalHeaderSize - key < value) return false;
  r.key.assign(b.begin() + kJournalHeaderSize, b.begin() + static_cast<long>(kJournalHeaderSize + key));
  r.value.assign(b.begin() + static_cast<long>(kJournalHeaderSize + key),
                 b.begin() + static_cast<long>(kJournalHeaderSize + key + value));
  size = kJournalHeaderSize + key + value;
  return true;
}

ResultCode journal_write(FileSystem& fs, const std::string& path, const JournalRecord& r) {
  if (path.empty()) return 0;
  const std::vector<unsigned char> bytes = encode_journal_record(r);
  auto file = fs.open(path, OpenMode::Create);
  if (!file) return kCannotOpenJournal;
  const off_t size = file->size();
  if (size < 0 || static_cast<std::uint64_t>(size) + bytes.size() > kMaxJournalSize ||
      !file->write_at(bytes.data(), bytes.size(), size)) {
    (void)file->close();
    return kJournalFull;
  }
  return file->close() ? ResultCode(0) : ResultCode(kCannotCloseJournal);
}

}  // namespace corvanta::dbm
