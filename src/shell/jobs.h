// Job records: numbered jobs in a shared job file.
//
// Every command whose table row asks for a job gets a number from the
// sequence file, a record in the job file (see job_format.h) and a job
// protocol. Numbers cycle from 1 to MaxJobNo; the slot of a number is reused
// when the cycle starts again. Several service processes may share the
// files: a record lock on the sequence file makes taking a number atomic
// across processes, and each job writes only its own slot.
//
// JobLog owns the open job file. States: no job file configured, configured
// but not open, open.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "util/result.h"

namespace corvanta {

// The largest MaxJobNo: job numbers are shown with six digits, and the job
// file then takes 36 MB.
inline constexpr std::uint32_t kMaxJobNumber = 999999;

// The next number of the sequence file (record-locked read, increment,
// write): the number, or -801 (cannot open), -802 (cannot lock or read),
// -803 (cannot write).
ResultCode sequence_next(const std::string& path, std::uint32_t& number);
// Writes first - 1, first and max(first, last), creating or truncating the
// file: 0, -801 or -803.
ResultCode sequence_create(const std::string& path, std::uint32_t first, std::uint32_t last);
// The last number handed out, without taking one; nullopt when unreadable.
std::optional<std::uint32_t> sequence_last(const std::string& path);

class JobLog {
 public:
  JobLog() = default;
  ~JobLog() { close(); }
  JobLog(const JobLog&) = delete;
  JobLog& operator=(const JobLog&) = delete;

  // Remembers the names. Without a job file name jobs get no records. A
  // missing job file is created with max_job_no + 1 empty records together
  // with a new sequence file (first 1, last max_job_no); a job file that
  // exists is opened as it is. `max_job_no` is at most kMaxJobNumber.
  void open(std::string job_path, std::string sequence_path, std::uint32_t max_job_no);
  void close();
  bool is_open() const { return fd_ >= 0; }
  // A job file is named: commands that run as jobs need it.
  bool configured() const { return configured_ && !job_path_.empty(); }

  // Takes the next number and writes the job's record: 0 and the number, or
  // a failure (then `number` stays 0): -801, -802, -803 from the sequence
  // file, -1 when the job file is not open or the record cannot be written.
  ResultCode start(std::string_view command, std::string_view user, std::uint32_t& number);
  // Sets the end time and the status of the job's record: 0 or -1.
  ResultCode end(std::uint32_t number, std::int32_t result);
  // "%06ld %-10s %-10s %04ld start end"; nullopt for an empty slot or a
  // failed read.
  std::optional<std::string> format(std::uint32_t number) const;
  // Step to the next or previous job (from 0: the newest); the number changes
  // only when the new slot holds a job.
  bool next(std::uint32_t& number) const;
  bool previous(std::uint32_t& number) const;

  std::uint32_t max_job_no() const { return max_job_no_; }

 private:
  bool step(std::uint32_t& number, int direction) const;

  std::string job_path_;
  std::string sequence_path_;
  std::uint32_t max_job_no_ = 100;
  bool configured_ = false;
  int fd_ = -1;
};

}  // namespace corvanta
