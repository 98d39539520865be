#include "dbm/journal.h"

#include <sys/stat.h>

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

JournalReader::JournalReader(std::FILE* in) : in_(in) {
  struct stat st {};
  const long at = std::ftell(in);
  if (::fstat(fileno(in), &st) == 0 && at >= 0 && st.st_size > at)
    left_ = static_cast<std::uint64_t>(st.st_size - at);
}

bool JournalReader::next(JournalRecord& r) {
  constexpr std::size_t kMaxKey = 128;
  if (damaged_ || left_ == 0) return false;
  unsigned char head[kJournalHeaderSize];
  if (left_ < sizeof head || std::fread(head, 1, sizeof head, in_) != sizeof head) {
    damaged_ = true;
    return false;
  }
  left_ -= sizeof head;
  std::size_t key = 0;
  std::size_t value = 0;
  r = decode_journal_header(head, key, value);
  if (key > kMaxKey || key + value > left_) {
    damaged_ = true;
    return false;
  }
  r.key.resize(key);
  r.value.resize(value);
  if (std::fread(r.key.data(), 1, key, in_) != key || std::fread(r.value.data(), 1, value, in_) != value) {
    damaged_ = true;
    return false;
  }
  left_ -= key + value;
  ++count_;
  return true;
}

ResultCode JournalWriter::open_for_use() {
  // A few rounds at most: each one finds the file that RELEASE put in place.
  for (int round = 0; round < 8 && !file_; ++round) {
    file_ = fs_.open(path_, OpenMode::Append);
    if (!file_) return kCannotOpenJournal;
    if (!file_->lock(false, true, kJournalUseByte, 1)) {
      file_.reset();
      return kCannotOpenJournal;
    }
    if (!file_->is_at(path_)) {
      file_.reset();
      continue;
    }
    const auto id = file_->identity();
    if (id != checked_file_) {
      checked_file_ = id;
      checked_ = 0;
    }
  }
  return file_ ? ResultCode(0) : ResultCode(kCannotOpenJournal);
}

ResultCode JournalWriter::check_tail(off_t size) {
  constexpr std::size_t kMaxKey = 128;
  constexpr std::size_t kChunk = 65536;
  std::vector<unsigned char> chunk(kChunk);
  off_t chunk_at = 0;
  std::size_t chunk_bytes = 0;
  off_t at = checked_ < size ? checked_ : 0;
  while (at < size) {
    if (size - at < static_cast<off_t>(kJournalHeaderSize)) break;
    if (at < chunk_at ||
        at + static_cast<off_t>(kJournalHeaderSize) > chunk_at + static_cast<off_t>(chunk_bytes)) {
      const ssize_t n = file_->read_at(chunk.data(), kChunk, at);
      if (n < static_cast<ssize_t>(kJournalHeaderSize)) return kReadError;
      chunk_at = at;
      chunk_bytes = static_cast<std::size_t>(n);
    }
    std::size_t key = 0;
    std::size_t value = 0;
    (void)decode_journal_header(chunk.data() + (at - chunk_at), key, value);
    if (key > kMaxKey) return kJournalDamaged;
    const off_t end = at + static_cast<off_t>(kJournalHeaderSize + key + value);
    if (end > size) break;
    at = end;
  }
  // What is left is a record cut short, which nobody holds the append lock
  // for: it was never acknowledged.
  if (at < size && !file_->truncate(at)) return kJournalFull;
  checked_ = at;
  return 0;
}

ResultCode JournalWriter::append(const JournalRecord& r) {
  if (path_.empty()) return 0;
  if (broken_) return kJournalFull;
  const std::vector<unsigned char> bytes = encode_journal_record(r);
  if (const ResultCode rc = open_for_use(); rc.failed()) return rc;
  if (!file_->lock(true, true, kJournalAppendByte, 1)) return kCannotOpenJournal;
  const off_t size = file_->size();
  ResultCode rc = size < 0 ? ResultCode(kJournalFull) : ResultCode(0);
  if (rc.ok() && size != checked_) rc = check_tail(size);
  const off_t start = checked_;
  if (rc.ok() && static_cast<std::uint64_t>(start) + bytes.size() > kMaxJournalSize) rc = kJournalFull;
  if (rc.ok()) {
    const std::size_t written = file_->append(bytes.data(), bytes.size());
    if (written != bytes.size()) {
      rc = kJournalFull;
      // Nobody else appends while the lock is held: the torn bytes are the
      // last ones.
      if (written > 0 && !file_->truncate(start)) broken_ = true;
    }
  }
  if (rc.failed()) {
    (void)file_->unlock(kJournalAppendByte, 1);
    return rc;
  }
  record_start_ = start;
  checked_ = start + static_cast<off_t>(bytes.size());
  pending_ = true;
  return 0;
}

void JournalWriter::finish(bool kept) {
  if (!pending_) return;
  pending_ = false;
  if (kept) {
    unsynced_ = true;
  } else if (file_->truncate(record_start_)) {
    checked_ = record_start_;
  } else {
    broken_ = true;
  }
  (void)file_->unlock(kJournalAppendByte, 1);
}

ResultCode JournalWriter::sync() {
  if (!file_ || !unsynced_) return 0;
  if (!file_->sync()) {
    broken_ = true;  // what the failed sync held may be lost; a later one would not tell
    return kCannotCloseJournal;
  }
  unsynced_ = false;
  return 0;
}

ResultCode JournalWriter::close() {
  if (!file_) return 0;
  finish(false);
  const ResultCode rc = sync();
  const bool closed = file_->close();
  file_.reset();
  unsynced_ = false;
  return rc.failed() ? rc : (closed ? ResultCode(0) : ResultCode(kCannotCloseJournal));
}

}  // namespace corvanta::dbm
