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

JournalRecord decode_journal_header(const unsigned char* head, std::size_t& key_length,
                                    std::size_t& value_length) {
  JournalRecord r;
  r.time = get_u32(head);
  r.user = get_u32(head + 4);
  key_length = 0;
  value_length = 0;
  if (head[16] == 0) return r;  // a commit
  std::size_t name = 0;
  while (name < 4 && head[8 + name] != 0) ++name;
  r.pool.assign(reinterpret_cast<const char*>(head + 8), name);
  r.file = get_u16(head + 12);
  r.op = static_cast<JournalOp>(head[15]);
  key_length = head[17];
  value_length = get_u32(head + 18);
  return r;
}

bool JournalReader::next(JournalRecord& r) {
  constexpr std::size_t kMaxKey = 128;
  unsigned char head[kJournalHeaderSize];
  const std::size_t got = std::fread(head, 1, sizeof head, in_);
  if (got == 0) return false;
  std::size_t key = 0;
  std::size_t value = 0;
  if (got == sizeof head) r = decode_journal_header(head, key, value);
  damaged_ = got < sizeof head || key > kMaxKey || value > kMaxJournalSize;
  if (damaged_) return false;
  r.key.resize(key);
  r.value.resize(value);
  if (std::fread(r.key.data(), 1, key, in_) != key || std::fread(r.value.data(), 1, value, in_) != value) {
    damaged_ = true;
    return false;
  }
  ++count_;
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
