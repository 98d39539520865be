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
// record's first five bytes; line feeds and carriage returns inside a record
// become blanks; bytes below 29 between records (line feeds, a
// DOS end-of-file byte) are passed over; a record that does not hold
// together is reported with what is wrong and the reader goes on after its
// terminator, so that one bad record never stops a file.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "imex/exchange_file.h"
#include "util/result.h"

namespace corvanta::imex {

inline constexpr char kFieldEnd = '\x1e';
inline constexpr char kRecordEnd = '\x1d';
inline constexpr char kSubfieldDelimiter = '\x1f';
inline constexpr std::size_t kLeaderSize = 24;
inline constexpr std::int32_t kBadRecord = -1;

// Why a record cannot be read: a message of group "Import" and its text.
struct Problem {
  std::int32_t message = 0;
  std::string argument;
};
inline constexpr std::int32_t kMsgRecordTooLong = 170;
inline constexpr std::int32_t kMsgLengthNotNumber = 171;
inline constexpr std::int32_t kMsgLengthMismatch = 172;
inline constexpr std::int32_t kMsgBadBaseAddress = 173;
inline constexpr std::int32_t kMsgBadDirectory = 174;
inline constexpr std::int32_t kMsgFieldOutside = 175;
inline constexpr std::int32_t kMsgNoFields = 176;
inline constexpr std::int32_t kMsgXmlError = 177;
inline constexpr std::int32_t kMsgShortRecord = 178;
inline constexpr std::int32_t kMsgShortField = 179;
inline constexpr std::int32_t kMsgBadIdn = 180;

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
ResultCode iso2709_decode(std::string_view image, MarcRecord& out, Problem& why);

// The record image: leader positions 0-4 and 12-16 computed, 10 set to
// "2" when blank (the fields carry as many indicators as it says, none for
// tags "00x").
std::string iso2709_encode(const MarcRecord& record);
// The same into `out` (its memory reused).
void iso2709_encode(const MarcRecord& record, std::string& out);

// Makes a stored leader one that MARC 21 readers take (ISO 2709 records
// and MARCXML alike): the structure of the record as written (two
// indicators, subfield codes of two bytes, directory entries "4500"); a
// leader of another format, or none, becomes "nam" with blank status
// codes. `utf8`: the data are UTF-8, which position 9 says.
void marc21_leader(std::string& leader, bool utf8);

// Records of a file, one after another.
class Iso2709Reader {
 public:
  explicit Iso2709Reader(InputFile& in) : in_(in) {}
  // 0 with the next record, 1 at the end, kBadRecord for a record that is
  // passed over (`why` says what is wrong; `image` holds its bytes), -15
  // when the file cannot be read. A record longer than `limit` is bad.
  ResultCode next(MarcRecord& record, std::string& image, Problem& why, std::size_t limit = 99999);
  // Records read so far, bad ones included.
  std::size_t count() const { return count_; }

 private:
  InputFile& in_;
  std::size_t count_ = 0;
};

}  // namespace corvanta::imex
