#include "dbm/journal.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstring>

#include "dbm/codes.h"
#include "util/big_endian.h"

namespace corvanta::dbm {
namespace {

constexpr unsigned kSizeCheckInterval = 256;
constexpr std::uint64_t kSizeSlack = 64u << 20;

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
  for (int round = 0; round < 8; ++round) {
    if (file_) return 0;
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
    since_size_ = kSizeCheckInterval;  // ask for the size with the first record
  }
  return file_ ? ResultCode(0) : ResultCode(kCannotOpenJournal);
}

ResultCode JournalWriter::append(const JournalRecord& r) {
  if (path_.empty()) return 0;
  if (broken_) return kJournalFull;
  const std::vector<unsigned char> bytes = encode_journal_record(r);
  if (const ResultCode rc = open_for_use(); rc.failed()) return rc;
  if (!file_->lock(true, true, kJournalAppendByte, 1)) return kCannotOpenJournal;
  // The size is asked for now and then, and for every record near the
  // limit; in between, what other writers appended is not counted.
  if (since_size_ >= kSizeCheckInterval || size_ + bytes.size() + kSizeSlack > kMaxJournalSize) {
    const off_t size = file_->size();
    size_ = size < 0 ? kMaxJournalSize : static_cast<std::uint64_t>(size);
    since_size_ = 0;
  }
  ResultCode rc = 0;
  if (size_ + bytes.size() > kMaxJournalSize) {
    rc = kJournalFull;
  } else if (const std::size_t written = file_->append(bytes.data(), bytes.size()); written != bytes.size()) {
    // Nobody else appends while the lock is held: the torn bytes are the
    // last ones.
    rc = kJournalFull;
    const off_t size = written > 0 ? file_->size() : 0;
    if (written > 0 &&
        (size < static_cast<off_t>(written) || !file_->truncate(size - static_cast<off_t>(written))))
      broken_ = true;
  } else {
    size_ += bytes.size();
    ++since_size_;
    unsynced_ = true;
  }
  (void)file_->unlock(kJournalAppendByte, 1);
  return rc;
}

ResultCode JournalWriter::sync() {
  if (!file_ || !unsynced_) return 0;
  if (!file_->sync()) return kCannotCloseJournal;
  unsynced_ = false;
  return 0;
}

ResultCode JournalWriter::close() {
  if (!file_) return 0;
  const ResultCode rc = sync();
  const bool closed = file_->close();
  file_.reset();
  unsynced_ = false;
  return rc.failed() ? rc : (closed ? ResultCode(0) : ResultCode(kCannotCloseJournal));
}

}  // namespace corvanta::dbm
