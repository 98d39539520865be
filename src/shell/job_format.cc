#include "shell/job_format.h"

#include <algorithm>

#include "util/big_endian.h"

namespace corvanta {
namespace {

void put_text(unsigned char* p, const std::string& text) {
  const std::size_t n = std::min(text.size(), kJobWordSize);
  std::copy_n(text.begin(), n, p);
  std::fill(p + n, p + kJobWordSize, 0);
}

std::string get_text(const unsigned char* p) {
  std::size_t n = 0;
  while (n < kJobWordSize && p[n] != 0) ++n;
  return std::string(reinterpret_cast<const char*>(p), n);
}

}  // namespace

JobRecordBytes encode_job_record(const JobRecord& r) {
  JobRecordBytes b{};
  put_u32(&b[job_offset::kNumber], r.number);
  put_text(&b[job_offset::kCommand], r.command);
  put_text(&b[job_offset::kUser], r.user);
  put_u32(&b[job_offset::kStart], r.start_time);
  put_u32(&b[job_offset::kEnd], r.end_time);
  put_i32(&b[job_offset::kStatus], r.status);
  return b;
}

JobRecord decode_job_record(const JobRecordBytes& b) {
  JobRecord r;
  r.number = get_u32(&b[job_offset::kNumber]);
  r.command = get_text(&b[job_offset::kCommand]);
  r.user = get_text(&b[job_offset::kUser]);
  r.start_time = get_u32(&b[job_offset::kStart]);
  r.end_time = get_u32(&b[job_offset::kEnd]);
  r.status = get_i32(&b[job_offset::kStatus]);
  return r;
}

JobSequenceBytes encode_job_sequence(const JobSequence& s) {
  JobSequenceBytes b{};
  put_u32(&b[0], s.last);
  put_u32(&b[4], s.first);
  put_u32(&b[8], s.final);
  return b;
}

JobSequence decode_job_sequence(const JobSequenceBytes& b) {
  return {get_u32(&b[0]), get_u32(&b[4]), get_u32(&b[8])};
}

}  // namespace corvanta
