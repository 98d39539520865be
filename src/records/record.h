// The record image and the operations on its fields and subfields.
//
// Every record is one contiguous byte image: a 12-byte header and tagged
// fields back to back. All integers big-endian.
//
//   header   0  4  IDN
//            4  4  total length, header included (12 without fields)
//            8  1  status byte, carried unchanged
//            9  1  form: 0 internal, 1 external
//           10  1  subfield order: 'N' as entered, else sorted by code
//           11  1  0
//   field    0  3  tag
//            3  2  L = indicator count + content bytes (signed 16 bits)
//            5  1  data type
//            6  1  attribute, carried unchanged
//            7  1  indicator count k (two low bits)
//            8  k  indicators, then L - k bytes of content
//   subfield 0  1  0x1F            (a content beginning with 0x1F holds
//            1  1  code             subfields and nothing else)
//            2  2  M (signed 16 bits)
//            4  1  data type
//            5  1  attribute
//            6  M  data
//
// Fields stand in ascending tag order, same tags adjacent in occurrence
// order; unless the order byte is 'N', subfields stand in ascending code
// order. The image never grows past its buffer's capacity: a change that
// would fails with -403 and leaves the image as it was.
//
// RecordHandle owns (or borrows) the buffer and keeps the working copies of
// the header fields and the field and subfield cursors. FieldDesc carries
// one field or subfield: after a find its data points into the image and is
// valid until the next change of that image. Images from disk are walked
// with bounds checks: a field or subfield whose lengths lie ends the walk.
//
// Single-threaded; no allocation per field.
#pragma once

#include <cstdint>
#include <cstdio>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "config/dictionary.h"
#include "util/result.h"

namespace corvanta::records {

inline constexpr std::size_t kHeaderSize = 12;
inline constexpr std::size_t kFieldHeaderSize = 8;
inline constexpr std::size_t kSubfieldHeaderSize = 6;
inline constexpr unsigned char kSubfieldMark = 0x1F;
inline constexpr std::uint16_t kLastOccurrence = 999;
inline constexpr std::uint8_t kDropped = 255;  // type of a piece left out of the internal form

// Result codes.
inline constexpr std::int32_t kNotFound = 1;
inline constexpr std::int32_t kTargetTooSmall = -401;
inline constexpr std::int32_t kMissing = -402;
inline constexpr std::int32_t kTooLong = -403;
inline constexpr std::int32_t kDoesNotFit = -404;
inline constexpr std::int32_t kBadType = -405;
inline constexpr std::int32_t kDamagedRecord = -406;  // a stored image whose lengths do not hold

struct FieldDesc {
  std::string tag;         // up to 3 characters; a subfield's code is one
  std::string indicators;  // up to 2 characters
  std::uint8_t type = 0;
  std::uint8_t attribute = 0;
  std::uint16_t length = 0;      // content bytes, indicators not counted
  std::uint16_t occurrence = 0;  // 1 first; 0 none asked; 999 the last
  const unsigned char* data = nullptr;
  std::size_t offset = 0;  // where a found field or subfield lies in the image

  void clear() { *this = FieldDesc{}; }
  bool empty_code() const { return tag.empty(); }
  std::string_view content() const {
    return {reinterpret_cast<const char*>(data), data != nullptr ? length : std::size_t{0}};
  }
  // Sets the content to bytes that the caller keeps alive.
  void set(std::string_view text) {
    data = reinterpret_cast<const unsigned char*>(text.data());
    length = static_cast<std::uint16_t>(text.size());
  }
};

class RecordHandle {
 public:
  RecordHandle() = default;
  RecordHandle(const RecordHandle&) = delete;
  RecordHandle& operator=(const RecordHandle&) = delete;

  std::uint32_t idn = 0;
  std::uint32_t length = kHeaderSize;
  std::uint32_t capacity = 0;  // 0 when the buffer is not owned
  std::uint16_t status = 0;
  char order = 0;
  std::uint8_t form = 0;
  unsigned char* buffer = nullptr;
  std::size_t field_cursor = 0;     // offset of the current field, 0: none
  std::size_t subfield_cursor = 0;  // offset of the current subfield, 0: none

  // The buffer's size (owned or attached).
  std::size_t room() const { return room_; }
  // Attaches a buffer of the caller's; the handle does not own it.
  void attach(unsigned char* data, std::size_t size) {
    buffer = data;
    room_ = size;
  }
  std::span<const unsigned char> image() const { return {buffer, buffer != nullptr ? length : 0u}; }

 private:
  friend void rec_init(RecordHandle&, std::size_t, int);
  friend void rec_free(RecordHandle&);
  friend void rec_reset(RecordHandle&, std::size_t, int);
  std::vector<unsigned char> owned_;
  std::size_t room_ = 0;
};

// Handle operations.
void rec_init(RecordHandle& h, std::size_t capacity, int form);
void rec_free(RecordHandle& h);
// As rec_init, but a buffer the handle owns of that capacity is kept (not
// cleared): the bulk path that reads record after record into one handle.
void rec_reset(RecordHandle& h, std::size_t capacity, int form);
ResultCode rec_copy(RecordHandle& target, const RecordHandle& source);
void rec_load_header(RecordHandle& h);
void rec_store_header(RecordHandle& h);
ResultCode rec_add_fields(RecordHandle& target, const RecordHandle& source);
void rec_print(const RecordHandle& h, std::FILE* out);

// Field operations; `s` takes part when its code is not empty.
ResultCode fld_first(RecordHandle& h, FieldDesc& f);
ResultCode fld_next(RecordHandle& h, FieldDesc& f);
ResultCode fld_get(RecordHandle& h, FieldDesc& f, FieldDesc* s = nullptr);
ResultCode fld_put(RecordHandle& h, const FieldDesc& f, const FieldDesc* s = nullptr);
ResultCode fld_put_any_indicator(RecordHandle& h, const FieldDesc& f, const FieldDesc* s = nullptr);
ResultCode fld_append(RecordHandle& h, const FieldDesc& f, const FieldDesc* s = nullptr);
ResultCode fld_replace(RecordHandle& h, const FieldDesc& f, const FieldDesc* s = nullptr);
// Replaces the field (or subfield) when the record has it, else adds it.
ResultCode fld_set(RecordHandle& h, const FieldDesc& f, const FieldDesc* s = nullptr);
// The same for a text field of a record in external form ("120", "F01").
ResultCode fld_set_text(RecordHandle& h, std::string_view tag, std::string_view text);
ResultCode fld_delete(RecordHandle& h, const FieldDesc& f, const FieldDesc* s = nullptr);

// What a walk selects: a tag definition, optionally a subfield definition,
// indicators and occurrences (0: all).
struct WalkElement {
  const dict::TagDef* tag = nullptr;
  const dict::SubfieldDef* subfield = nullptr;
  std::string indicators;
  std::uint16_t field_occurrence = 0;
  std::uint16_t subfield_occurrence = 0;
};
// Steps to the next field (and subfield) occurrence the element selects;
// f's and s's occurrences keep the position (both 0 at the start).
ResultCode fld_walk(RecordHandle& h, FieldDesc& f, FieldDesc& s, const WalkElement& element);

// Subfield operations on a field `f` found in the image.
ResultCode sfl_first(RecordHandle& h, const FieldDesc& f, FieldDesc& s);
ResultCode sfl_next(RecordHandle& h, const FieldDesc& f, FieldDesc& s);
ResultCode sfl_get(RecordHandle& h, const FieldDesc& f, FieldDesc& s);
ResultCode sfl_put(RecordHandle& h, const FieldDesc& f, const FieldDesc& s);
ResultCode sfl_replace(RecordHandle& h, const FieldDesc& f, const FieldDesc& s);
ResultCode sfl_delete(RecordHandle& h, const FieldDesc& f, const FieldDesc& s);
ResultCode sfl_insert_before(RecordHandle& h, const FieldDesc& f, const FieldDesc& s, FieldDesc& ref);
ResultCode sfl_insert_after(RecordHandle& h, const FieldDesc& f, const FieldDesc& s, FieldDesc& ref);

// Content helpers.
int fld_compare(const FieldDesc& a, const FieldDesc& b, char with_indicators);
void fld_trim(FieldDesc& d, std::string_view options);
long fld_number(const FieldDesc& d);

// Takes `stored` bytes read from a record file under `idn` as the handle's
// image: the key names the record, whatever the header says. False when the
// image's lengths do not hold (then the handle holds no valid record).
bool rec_take_stored(RecordHandle& h, std::uint32_t idn, std::size_t stored);

// Builds a whole image at once from fields given in any order: the bulk
// path of the exchange formats, without a search per field. Fields keep
// their order within a tag; subfields are sorted by code unless the
// handle's order is 'N'. Fields and subfields are typed 1 (text).
class RecordBuilder {
 public:
  void clear();
  // With `on`, every content and subfield value is stored in NFC
  // (util/unicode.h); the setting outlives clear().
  // Values that are not well-formed UTF-8 are kept as they are; the tag of
  // the first field holding one is told by not_utf8() (empty: none).
  void normalise_values(bool on) { normalise_ = on; }
  const std::string& not_utf8() const { return not_utf8_; }
  bool empty() const { return fields_.empty(); }
  std::size_t size() const { return fields_.size(); }
  // Starts a field; text() or subfield() give its content.
  void field(std::string_view tag, std::string_view indicators);
  void text(std::string_view content);
  void subfield(char code, std::string_view data);
  // Adds a field of a record as it is there (subfields or content).
  void copy(RecordHandle& h, const FieldDesc& f);
  // The image into `h` (its IDN, form and order kept): 0, or -403 when a
  // field or the whole image does not fit (the handle is then empty).
  ResultCode build(RecordHandle& h);

 private:
  struct Piece {
    char tag[3];
    std::uint8_t k;
    char indicators[2];
    std::uint32_t text_at, text_length;
    std::uint32_t first_sub, end_sub;
  };
  struct Sub {
    char code;
    std::uint32_t at, length;
  };
  std::string bytes_;
  std::vector<Piece> fields_;
  std::vector<Sub> subs_;
  std::vector<std::uint32_t> order_;
  std::vector<Sub> sorted_;
  bool normalise_ = false;
  std::string not_utf8_;
  // `value` in NFC (in `scratch` when that changes it), when normalising.
  std::string_view normal_form(std::string_view value, std::string& scratch);
};

// Checks the image's invariants (for tests and fuzzing): lengths consistent,
// header current, tags sorted, subfields sorted unless the order is 'N'.
bool rec_check_image(const RecordHandle& h, std::string* why = nullptr);

}  // namespace corvanta::records
