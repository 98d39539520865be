#include "shell/jobs.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <vector>

#include "shell/codes.h"
#include "shell/job_format.h"
#include "shell/service.h"
#include "shell/support.h"
#include "util/date.h"
#include "util/posix_io.h"

namespace corvanta {
namespace {

constexpr mode_t kFileMode = 0664;

// Locks the first four bytes of a file (the lock region every user of the
// sequence file agrees on).
bool lock_head(int fd, int command) {
  if (::lseek(fd, 0, SEEK_SET) != 0) return false;
  return ::lockf(fd, command, 4) == 0;
}

off_t slot_offset(std::uint32_t number) {
  return static_cast<off_t>(number - 1) * kJobRecordSize;
}

std::string time_text(std::uint32_t t) {
  if (t == 0) return std::string(19, ' ');
  return date_fill("DD.MM.YYYY HH:MI:SS", local_time(t));
}

std::uint32_t now_seconds() {
  return static_cast<std::uint32_t>(std::time(nullptr));
}

bool file_exists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
}

// Writes a job file of `records` empty records under a temporary name and
// renames it into place, so that no process ever opens a half-made file.
bool create_job_file(const std::string& path, std::uint32_t records) {
  const std::string temp = path + ".new";
  const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, kFileMode);
  if (fd < 0) return false;
  constexpr std::size_t kChunkRecords = 1024;
  const std::vector<unsigned char> zeros(kChunkRecords * kJobRecordSize, 0);
  bool ok = true;
  for (std::uint32_t done = 0; ok && done < records; done += kChunkRecords) {
    const std::size_t n = std::min<std::size_t>(kChunkRecords, records - done);
    ok = write_all_at(fd, zeros.data(), n * kJobRecordSize, static_cast<off_t>(done) * kJobRecordSize);
  }
  ok = ::fsync(fd) == 0 && ok;
  ok = ::close(fd) == 0 && ok;
  ok = ok && ::rename(temp.c_str(), path.c_str()) == 0;
  if (!ok) ::unlink(temp.c_str());
  return ok;
}

}  // namespace

ResultCode sequence_next(const std::string& path, std::uint32_t& number) {
  const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) return codes::kSequenceOpen;
  if (!lock_head(fd, F_LOCK)) {
    ::close(fd);
    return codes::kSequenceLock;
  }
  JobSequenceBytes bytes{};
  ResultCode rc = 0;
  if (!read_all_at(fd, bytes.data(), bytes.size(), 0)) {
    rc = codes::kSequenceLock;
  } else {
    JobSequence seq = decode_job_sequence(bytes);
    seq.last = seq.last + 1 > seq.final ? seq.first : seq.last + 1;
    bytes = encode_job_sequence(seq);
    if (!write_all_at(fd, bytes.data(), bytes.size(), 0)) {
      rc = codes::kSequenceWrite;
    } else {
      number = seq.last;
    }
  }
  (void)lock_head(fd, F_ULOCK);
  ::close(fd);
  return rc;
}

ResultCode sequence_create(const std::string& path, std::uint32_t first, std::uint32_t last) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, kFileMode);
  if (fd < 0) return codes::kSequenceOpen;
  const auto bytes = encode_job_sequence({first - 1, first, last > first ? last : first});
  const bool ok = write_all_at(fd, bytes.data(), bytes.size(), 0);
  ::close(fd);
  return ok ? ResultCode(0) : ResultCode(codes::kSequenceWrite);
}

std::optional<std::uint32_t> sequence_last(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  JobSequenceBytes bytes{};
  const bool ok = read_all_at(fd, bytes.data(), bytes.size(), 0);
  ::close(fd);
  if (!ok) return std::nullopt;
  return decode_job_sequence(bytes).last;
}

void JobLog::open(std::string job_path, std::string sequence_path, std::uint32_t max_job_no) {
  close();
  job_path_ = std::move(job_path);
  sequence_path_ = std::move(sequence_path);
  max_job_no_ = max_job_no == 0 ? 100 : max_job_no;
  configured_ = true;
  if (job_path_.empty()) return;

  if (!file_exists(job_path_) && !sequence_path_.empty()) {
    // Two services may start at once on a new installation: the one that
    // holds the sequence file's lock creates both files, the other finds the
    // job file made and leaves the numbers alone.
    const int seq = ::open(sequence_path_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, kFileMode);
    if (seq >= 0 && lock_head(seq, F_LOCK)) {
      if (!file_exists(job_path_) && create_job_file(job_path_, max_job_no_ + 1)) {
        const auto bytes = encode_job_sequence({0, 1, max_job_no_});
        (void)(::ftruncate(seq, 0) == 0 && write_all_at(seq, bytes.data(), bytes.size(), 0));
      }
      (void)lock_head(seq, F_ULOCK);
    }
    if (seq >= 0) ::close(seq);
  }
  fd_ = ::open(job_path_.c_str(), O_RDWR | O_CLOEXEC);
}

void JobLog::close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  configured_ = false;
}

ResultCode JobLog::start(std::string_view command, std::string_view user, std::uint32_t& number) {
  number = 0;
  if (!is_open()) return -1;
  std::uint32_t n = 0;
  if (const ResultCode rc = sequence_next(sequence_path_, n); rc.failed()) return rc;
  if (n == 0) return codes::kSequenceLock;  // a sequence file that hands out 0 is damaged
  number = n;
  JobRecord record;
  record.number = n;
  record.command = std::string(command.substr(0, kJobWordSize));
  record.user = std::string(user.substr(0, kJobWordSize));
  record.start_time = now_seconds();
  record.status = 1;
  const auto bytes = encode_job_record(record);
  if (write_all_at(fd_, bytes.data(), bytes.size(), slot_offset(n))) return 0;
  number = 0;
  return -1;
}

ResultCode JobLog::end(std::uint32_t number, std::int32_t result) {
  if (!is_open() || number == 0) return -1;
  JobRecordBytes bytes{};
  if (!read_all_at(fd_, bytes.data(), bytes.size(), slot_offset(number))) return -1;
  JobRecord record = decode_job_record(bytes);
  record.end_time = now_seconds();
  record.status = result;
  bytes = encode_job_record(record);
  return write_all_at(fd_, bytes.data(), bytes.size(), slot_offset(number)) ? 0 : -1;
}

std::optional<std::string> JobLog::format(std::uint32_t number) const {
  if (!is_open() || number == 0) return std::nullopt;
  JobRecordBytes bytes{};
  if (!read_all_at(fd_, bytes.data(), bytes.size(), slot_offset(number))) return std::nullopt;
  const JobRecord r = decode_job_record(bytes);
  if (r.number == 0) return std::nullopt;
  char head[64];
  std::snprintf(head, sizeof head, "%06lu %-10s %-10s %04ld", static_cast<unsigned long>(r.number),
                r.command.c_str(), r.user.c_str(), static_cast<long>(r.status));
  return std::string(head) + " " + time_text(r.start_time) + " " + time_text(r.end_time);
}

bool JobLog::step(std::uint32_t& number, int direction) const {
  std::uint32_t n = 0;
  if (number == 0) {
    n = sequence_last(sequence_path_).value_or(0);
  } else if (direction > 0) {
    n = number + 1 > max_job_no_ ? 1 : number + 1;
  } else {
    n = number - 1 < 1 ? max_job_no_ : number - 1;
  }
  if (!format(n)) return false;
  number = n;
  return true;
}

bool JobLog::next(std::uint32_t& number) const {
  return step(number, 1);
}
bool JobLog::previous(std::uint32_t& number) const {
  return step(number, -1);
}

}  // namespace corvanta
