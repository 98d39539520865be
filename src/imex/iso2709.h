// ISO 2709 records (the exchange form of MARC 21): their structure read and
// written byte for byte, before any field definition or character set is
// applied.
//
//   leader     24 bytes: 0-4 record length, 10 indicator count, 11 subfield
//              code length, 12-16 base address of the data
//   directory  12 bytes per field: tag (3), length (4), start (5); ends
//              with 30
//   data       each field its indicators (not for tags "00x") and content,
//              subfields as 31, code and value; each field ends with 30,
//              the record with 29
//
// A file is a run of records. The reader takes the record length from each
// record's first five bytes; bytes below 29 between records (line feeds, a
// DOS end-of-file byte) are passed over; a record that does not hold
// together is reported with what is wrong and the reader goes on after its
// terminator, so that one bad record never stops a file.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "util/result.h"

namespace corvanta::imex {

inline constexpr char kFieldEnd = '\x1e';
inline constexpr char kRecordEnd = '\x1d';
inline constexpr char kSubfieldDelimiter = '\x1f';
inline constexpr std::size_t kLeaderSize = 24;
inline constexpr std::int32_t kBadRecord = -1;

struct MarcField {
  std::string tag;         // three characters
  std::string indicators;  // as many as the leader says (none for "00x")
  std::string content;     // the rest of the field, subfield delimiters included
};

struct MarcRecord {
  std::string leader;  // 24 bytes
  std::vector<MarcField> fields;
};

// Decodes one record image (its terminator included or not); kBadRecord
// with `why` when its lengths, directory or base address do not hold.
ResultCode iso2709_decode(std::string_view image, MarcRecord& out, std::string& why);

// The record image: leader positions 0-4 and 12-16 computed, 10 set to the
// indicator count of the fields ("2" when the leader says nothing else).
std::string iso2709_encode(const MarcRecord& record);

// Records of a file, one after another.
class Iso2709Reader {
 public:
  explicit Iso2709Reader(std::string_view data) : data_(data) {}
  // 0 with the next record, 1 at the end, kBadRecord for a record that is
  // passed over (`why` says what is wrong; `image` holds its bytes).
  ResultCode next(MarcRecord& record, std::string& image, std::string& why);
  // Records read so far, bad ones included.
  std::size_t count() const { return count_; }

 private:
  std::string_view data_;
  std::size_t at_ = 0;
  std::size_t count_ = 0;
};

}  // namespace corvanta::imex
