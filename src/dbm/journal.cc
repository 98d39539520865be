#include "dbm/journal.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "dbm/codes.h"
#include "util/big_endian.h"

namespace corvanta::dbm {
namespace {

// A writer waits at most 30 seconds for the append lock.
constexpr int kAppendWaitSteps = 30000;
constexpr useconds_t kAppendWaitStep = 1000;

}  // namespace

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

bool plausible_header(const unsigned char* head) {
  const auto zero = [&](std::size_t from, std::size_t to) {
    return std::all_of(head + from, head + to, [](unsigned char c) { return c == 0; });
  };
  if (head[14] != 0) return false;
  if (head[16] == 0) return get_u32(head) != 0 && zero(8, kJournalHeaderSize);  // a commit
  if (head[16] != 1 || head[15] < 1 || head[15] > 6) return false;
  const std::uint16_t file = get_u16(head + 12);
  if (file < 1 || file > 999 || head[8] <= ' ' || head[8] > '~') return false;
  if (head[17] > 128 || get_u32(head + 18) > kMaxJournalSize) return false;
  return head[15] != static_cast<unsigned char>(JournalOp::DeleteFile) || zero(17, kJournalHeaderSize);
}

bool torn_end(std::span<const unsigned char> rest) {
  if (rest.size() > kMaxTornEnd) return false;
  if (std::all_of(rest.begin(), rest.end(), [](unsigned char c) { return c == 0; })) return true;
  if (rest.size() >= kJournalHeaderSize && !plausible_header(rest.data())) return false;
  // Whole records after the first header mean the first one's length is
  // wrong, not cut: two of them one after the other, or one that ends the
  // file. A single record-like run inside the cut record's bytes (a commit
  // header is little more than a run of zeros, which keys are full of)
  // does not count.
  const auto whole_at = [&](std::size_t p) -> std::size_t {
    if (p + kJournalHeaderSize > rest.size() || !plausible_header(rest.data() + p)) return 0;
    std::size_t key = 0;
    std::size_t value = 0;
    (void)decode_journal_header(rest.data() + p, key, value);
    const std::size_t end = p + kJournalHeaderSize + key + value;
    return end <= rest.size() ? end : 0;
  };
  for (std::size_t p = 1; p + kJournalHeaderSize <= rest.size(); ++p) {
    const std::size_t end = whole_at(p);
    if (end == 0) continue;
    if (end == rest.size() || whole_at(end) != 0) return false;
  }
  return true;
}

JournalReader::JournalReader(std::FILE* in) : in_(in) {
  struct stat st {};
  const long at = std::ftell(in);
  if (::fstat(fileno(in), &st) == 0 && at >= 0 && st.st_size > at)
    left_ = static_cast<std::uint64_t>(st.st_size - at);
}

bool JournalReader::stop(const unsigned char* head, std::size_t head_bytes) {
  if (left_ <= kMaxTornEnd) {
    const std::size_t more = static_cast<std::size_t>(left_);
    std::vector<unsigned char> rest(head_bytes + more);
    std::copy_n(head, head_bytes, rest.begin());
    if (std::fread(rest.data() + head_bytes, 1, more, in_) == more) torn_ = torn_end(rest);
  }
  damaged_ = !torn_;
  left_ = 0;
  return false;
}

bool JournalReader::next(JournalRecord& r) {
  if (damaged_ || left_ == 0) return false;
  unsigned char head[kJournalHeaderSize];
  const std::size_t got = static_cast<std::size_t>(std::min<std::uint64_t>(left_, sizeof head));
  if (std::fread(head, 1, got, in_) != got) {
    damaged_ = true;
    return false;
  }
  left_ -= got;
  if (got < sizeof head) return stop(head, got);
  std::size_t key = 0;
  std::size_t value = 0;
  r = decode_journal_header(head, key, value);
  if (!plausible_header(head) || key + value > left_) return stop(head, sizeof head);
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
  constexpr std::size_t kChunk = 65536;
  std::vector<unsigned char> chunk(kChunk);
  off_t chunk_at = 0;
  std::size_t chunk_bytes = 0;
  off_t at = checked_ < size ? checked_ : 0;
  while (at < size) {
    const bool whole_header = size - at >= static_cast<off_t>(kJournalHeaderSize);
    if (whole_header && (at < chunk_at || at + static_cast<off_t>(kJournalHeaderSize) >
                                              chunk_at + static_cast<off_t>(chunk_bytes))) {
      const ssize_t n = file_->read_at(chunk.data(), kChunk, at);
      if (n < static_cast<ssize_t>(kJournalHeaderSize)) return kReadError;
      chunk_at = at;
      chunk_bytes = static_cast<std::size_t>(n);
    }
    if (whole_header) {
      const unsigned char* head = chunk.data() + (at - chunk_at);
      std::size_t key = 0;
      std::size_t value = 0;
      (void)decode_journal_header(head, key, value);
      const off_t end = at + static_cast<off_t>(kJournalHeaderSize + key + value);
      if (plausible_header(head) && end <= size) {
        at = end;
        continue;
      }
    }
    // A record that cannot be read: a torn end is cut off, damage refuses.
    if (size - at > static_cast<off_t>(kMaxTornEnd)) return kJournalDamaged;
    std::vector<unsigned char> rest(static_cast<std::size_t>(size - at));
    if (file_->read_at(rest.data(), rest.size(), at) != static_cast<ssize_t>(rest.size())) return kReadError;
    if (!torn_end(rest)) return kJournalDamaged;
    if (!file_->truncate(at)) return kJournalFull;
    break;
  }
  checked_ = at;
  return 0;
}

void JournalWriter::spoil_record() {
  // A key length byte of 255 makes every reader stop there as at damage.
  // (Through a file of its own: a write at an offset on the append-only one
  // would go to the end.)
  const auto file = fs_.open(path_, OpenMode::ReadWrite);
  const unsigned char spoiled = 255;
  if (file) (void)(file->write_at(&spoiled, 1, record_start_ + 17) && file->sync());
}

bool JournalWriter::lock_for_append() {
  // Another writer holds the lock for one change at a time; one that does
  // not let go (a stopped process) is not waited for without end.
  for (int i = 0; i < kAppendWaitSteps; ++i) {
    if (file_->lock(true, false, kJournalAppendByte, 1)) return true;
    ::usleep(kAppendWaitStep);
  }
  return false;
}

ResultCode JournalWriter::append(const JournalRecord& r) {
  return append_bytes(encode_journal_record(r));
}

// Opens and locks the file for an append and checks what others appended
// since: 0 with the append lock held, or the failure without it.
ResultCode JournalWriter::lock_and_check() {
  if (broken_) return kJournalFull;
  if (const ResultCode rc = open_for_use(); rc.failed()) return rc;
  if (!lock_for_append()) return kCannotOpenJournal;
  const off_t size = file_->size();
  ResultCode rc = size < 0 ? ResultCode(kJournalFull) : ResultCode(0);
  if (rc.ok() && size != checked_) rc = check_tail(size);
  if (rc.failed()) (void)file_->unlock(kJournalAppendByte, 1);
  return rc;
}

ResultCode JournalWriter::ready() {
  if (path_.empty()) return 0;
  const ResultCode rc = lock_and_check();
  if (rc.ok()) (void)file_->unlock(kJournalAppendByte, 1);
  return rc;
}

ResultCode JournalWriter::append_bytes(const std::vector<unsigned char>& bytes) {
  if (path_.empty()) return 0;
  if (const ResultCode rc = lock_and_check(); rc.failed()) return rc;
  ResultCode rc = 0;
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
    // The record stays for a change that was not made: it is spoiled, so
    // that replays stop before it and other writers refuse to append, and
    // this writer takes no further record.
    spoil_record();
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
