// On-disk layouts of the job file and the job sequence file.
//
// Job file: an array of 36-byte records; the record of job n lies at byte
// (n - 1) * 36. All numbers are 32-bit big-endian.
//
//   offset size  content
//        0    4  job number; 0 marks an empty slot
//        4   10  command word, zero-padded (at most 10 characters)
//       14   10  user name, zero-padded (at most 10 characters)
//       24    4  start time, seconds since 1970-01-01 00:00 UTC
//       28    4  end time, same unit; 0 while the job runs
//       32    4  status, signed: 1 while the job runs, then the result code
//
// Sequence file: 12 bytes, three 32-bit big-endian numbers: the last number
// handed out, the first number of the cycle, the last number of the cycle.
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace corvanta {

inline constexpr std::size_t kJobRecordSize = 36;
inline constexpr std::size_t kJobWordSize = 10;
inline constexpr std::size_t kSequenceSize = 12;

namespace job_offset {
inline constexpr std::size_t kNumber = 0;
inline constexpr std::size_t kCommand = 4;
inline constexpr std::size_t kUser = 14;
inline constexpr std::size_t kStart = 24;
inline constexpr std::size_t kEnd = 28;
inline constexpr std::size_t kStatus = 32;
}  // namespace job_offset

struct JobRecord {
  std::uint32_t number = 0;
  std::string command;  // at most 10 characters
  std::string user;     // at most 10 characters
  std::uint32_t start_time = 0;
  std::uint32_t end_time = 0;
  std::int32_t status = 0;
};

using JobRecordBytes = std::array<unsigned char, kJobRecordSize>;

JobRecordBytes encode_job_record(const JobRecord& record);
JobRecord decode_job_record(const JobRecordBytes& bytes);

struct JobSequence {
  std::uint32_t last = 0;   // last number handed out
  std::uint32_t first = 0;  // first number of the cycle
  std::uint32_t final = 0;  // last number of the cycle
};

using JobSequenceBytes = std::array<unsigned char, kSequenceSize>;

JobSequenceBytes encode_job_sequence(const JobSequence& sequence);
JobSequence decode_job_sequence(const JobSequenceBytes& bytes);

}  // namespace corvanta
