#include "records/record.h"

#include <algorithm>
#include <cstring>

#include "util/big_endian.h"
#include "util/text.h"
#include "util/unicode.h"

namespace corvanta::records {
namespace {

constexpr int kMaxFieldLength = 32767;

// A field of the image whose lengths were checked against the image.
struct Field {
  std::size_t off = 0;
  std::size_t k = 0;    // indicator count
  std::size_t len = 0;  // L: indicators and content
  std::size_t end() const { return off + kFieldHeaderSize + len; }
  std::size_t content() const { return off + kFieldHeaderSize + k; }
};

bool field_at(const RecordHandle& h, std::size_t off, Field& f) {
  if (h.buffer == nullptr || off < kHeaderSize || off + kFieldHeaderSize > h.length) return false;
  const auto l = static_cast<std::int16_t>(get_u16(h.buffer + off + 3));
  const std::size_t k = h.buffer[off + 7] & 3u;
  if (l < 0 || static_cast<std::size_t>(l) < k ||
      off + kFieldHeaderSize + static_cast<std::size_t>(l) > h.length) {
    return false;
  }
  f = {off, k, static_cast<std::size_t>(l)};
  return true;
}

struct Sub {
  std::size_t off = 0;
  std::size_t len = 0;  // M
  std::size_t end() const { return off + kSubfieldHeaderSize + len; }
};

bool subfield_at(const RecordHandle& h, std::size_t off, std::size_t limit, Sub& s) {
  if (off + kSubfieldHeaderSize > limit || h.buffer[off] != kSubfieldMark) return false;
  const auto m = static_cast<std::int16_t>(get_u16(h.buffer + off + 2));
  if (m < 0 || off + kSubfieldHeaderSize + static_cast<std::size_t>(m) > limit) return false;
  s = {off, static_cast<std::size_t>(m)};
  return true;
}

void fill_field(const RecordHandle& h, const Field& fl, FieldDesc& f) {
  f.tag.assign(reinterpret_cast<const char*>(h.buffer + fl.off), 3);
  f.indicators.assign(reinterpret_cast<const char*>(h.buffer + fl.off + kFieldHeaderSize), fl.k);
  f.type = h.buffer[fl.off + 5];
  f.attribute = h.buffer[fl.off + 6];
  f.length = static_cast<std::uint16_t>(fl.len - fl.k);
  f.data = h.buffer + fl.content();
  f.offset = fl.off;
}

void fill_sub(const RecordHandle& h, const Sub& sb, FieldDesc& s) {
  s.tag.assign(1, static_cast<char>(h.buffer[sb.off + 1]));
  s.indicators.clear();
  s.type = h.buffer[sb.off + 4];
  s.attribute = h.buffer[sb.off + 5];
  s.length = static_cast<std::uint16_t>(sb.len);
  s.data = h.buffer + sb.off + kSubfieldHeaderSize;
  s.offset = sb.off;
}

// The field a descriptor found, checked again against the image.
bool field_of(const RecordHandle& h, const FieldDesc& f, Field& fl) {
  return field_at(h, f.offset, fl);
}

// Moves the rest of the image so that the `old_size` bytes at `pos` become
// `new_size` bytes; the header is stored. -403 when the image would pass
// its buffer, and nothing changes.
ResultCode shift(RecordHandle& h, std::size_t pos, std::size_t old_size, std::size_t new_size) {
  if (h.buffer == nullptr || pos > h.length || pos + old_size > h.length) return kMissing;
  const std::size_t new_length = h.length - old_size + new_size;
  if (new_length > h.room()) return kTooLong;
  std::memmove(h.buffer + pos + new_size, h.buffer + pos + old_size, h.length - pos - old_size);
  h.length = static_cast<std::uint32_t>(new_length);
  rec_store_header(h);
  return 0;
}

void set_field_length(RecordHandle& h, std::size_t field_off, std::size_t len) {
  put_u16(h.buffer + field_off + 3, static_cast<std::uint16_t>(len));
}

bool indicators_pass(std::string_view requested, std::string_view field) {
  if (requested.empty()) return true;
  if (requested[0] == '_' || requested[0] == ' ') return field.empty() || field[0] == ' ';
  return requested == field;
}

int compare_tag(const unsigned char* tag, std::string_view requested) {
  return std::memcmp(tag, requested.data(), std::min<std::size_t>(requested.size(), 3));
}

// Writes a field at pos (the room is made already).
void write_field(RecordHandle& h, std::size_t pos, std::string_view tag, std::string_view indicators,
                 std::uint8_t type, std::uint8_t attribute, std::span<const unsigned char> content) {
  unsigned char* p = h.buffer + pos;
  for (std::size_t i = 0; i < 3; ++i) p[i] = static_cast<unsigned char>(i < tag.size() ? tag[i] : ' ');
  const std::size_t k = std::min<std::size_t>(indicators.size(), 2);
  put_u16(p + 3, static_cast<std::uint16_t>(k + content.size()));
  p[5] = type;
  p[6] = attribute;
  p[7] = static_cast<unsigned char>(k);
  std::memcpy(p + kFieldHeaderSize, indicators.data(), k);
  if (!content.empty()) std::memcpy(p + kFieldHeaderSize + k, content.data(), content.size());
}

void write_sub(RecordHandle& h, std::size_t pos, char code, std::uint8_t type, std::uint8_t attribute,
               std::span<const unsigned char> data) {
  unsigned char* p = h.buffer + pos;
  p[0] = kSubfieldMark;
  p[1] = static_cast<unsigned char>(code);
  put_u16(p + 2, static_cast<std::uint16_t>(data.size()));
  p[4] = type;
  p[5] = attribute;
  if (!data.empty()) std::memcpy(p + kSubfieldHeaderSize, data.data(), data.size());
}

std::vector<unsigned char> bytes_of(const FieldDesc& d) {
  if (d.data == nullptr || d.length == 0) return {};
  return {d.data, d.data + d.length};
}

// Inserts a subfield at `pos` of the field at `field_off`.
ResultCode insert_sub(RecordHandle& h, std::size_t field_off, std::size_t pos, const FieldDesc& s) {
  Field fl;
  if (!field_at(h, field_off, fl)) return kMissing;
  const auto data = bytes_of(s);
  const std::size_t size = kSubfieldHeaderSize + data.size();
  if (fl.len + size > static_cast<std::size_t>(kMaxFieldLength)) return kTooLong;
  if (const ResultCode rc = shift(h, pos, 0, size); rc.failed()) return rc;
  write_sub(h, pos, s.tag.empty() ? ' ' : s.tag[0], s.type, s.attribute, data);
  set_field_length(h, field_off, fl.len + size);
  h.subfield_cursor = pos;
  return 0;
}

}  // namespace

// ---------------------------------------------------------------------------
// Handle.

namespace {

// An empty record of that form and capacity in the handle's working state.
void empty_state(RecordHandle& h, std::size_t capacity, int form) {
  h.idn = 0;
  h.length = kHeaderSize;
  h.status = 0;
  h.order = 0;
  h.form = static_cast<std::uint8_t>(form == 0 || form == 1 ? form : 0);
  h.field_cursor = 0;
  h.subfield_cursor = 0;
  h.capacity = static_cast<std::uint32_t>(capacity);
}

}  // namespace

void rec_init(RecordHandle& h, std::size_t capacity, int form) {
  empty_state(h, capacity, form);
  h.owned_.clear();
  h.buffer = nullptr;
  h.room_ = 0;
  if (capacity != 0) {
    h.owned_.assign(std::max(capacity, kHeaderSize), 0);
    h.buffer = h.owned_.data();
    h.room_ = h.owned_.size();
    rec_store_header(h);
  }
}

void rec_reset(RecordHandle& h, std::size_t capacity, int form) {
  const std::size_t size = std::max(capacity, kHeaderSize);
  if (capacity == 0 || h.owned_.size() != size || h.buffer != h.owned_.data()) {
    rec_init(h, capacity, form);
    return;
  }
  empty_state(h, capacity, form);
  rec_store_header(h);
}

void rec_free(RecordHandle& h) {
  h.owned_.clear();
  h.owned_.shrink_to_fit();
  h.buffer = nullptr;
  h.room_ = 0;
  h.idn = 0;
  h.length = 0;
  h.capacity = 0;
  h.status = 0;
  h.order = 0;
  h.form = 0;
  h.field_cursor = 0;
  h.subfield_cursor = 0;
}

ResultCode rec_copy(RecordHandle& target, const RecordHandle& source) {
  if (target.buffer == nullptr || source.buffer == nullptr) return kMissing;
  if (target.room() < source.length) return kTargetTooSmall;
  target.idn = source.idn;
  target.length = source.length;
  target.status = source.status;
  target.order = source.order;
  target.form = source.form;
  std::memmove(target.buffer, source.buffer, source.length);
  target.field_cursor = 0;
  target.subfield_cursor = 0;
  return 0;
}

void rec_load_header(RecordHandle& h) {
  if (h.buffer == nullptr || h.room() < kHeaderSize) return;
  h.idn = get_u32(h.buffer);
  h.length = std::min<std::uint32_t>(get_u32(h.buffer + 4), static_cast<std::uint32_t>(h.room()));
  if (h.length < kHeaderSize) h.length = kHeaderSize;
  h.status = h.buffer[8];
  h.form = h.buffer[9];
  h.order = static_cast<char>(h.buffer[10]);
}

void rec_store_header(RecordHandle& h) {
  if (h.buffer == nullptr || h.room() < kHeaderSize) return;
  put_u32(h.buffer, h.idn);
  put_u32(h.buffer + 4, h.length);
  h.buffer[8] = static_cast<unsigned char>(h.status);
  h.buffer[9] = h.form;
  h.buffer[10] = static_cast<unsigned char>(h.order);
  h.buffer[11] = 0;
}

ResultCode rec_add_fields(RecordHandle& target, const RecordHandle& source) {
  // Walk a copy of the source so that target and source may not alias.
  std::vector<unsigned char> copy(source.buffer, source.buffer + source.length);
  RecordHandle src;
  src.attach(copy.data(), copy.size());
  src.length = source.length;
  src.order = source.order;
  FieldDesc f;
  for (ResultCode rc = fld_first(src, f); rc.code() == 0; rc = fld_next(src, f)) {
    if (const ResultCode put = fld_put(target, f); put.failed()) return put;
  }
  return 0;
}

void rec_print(const RecordHandle& h_in, std::FILE* out) {
  RecordHandle& h = const_cast<RecordHandle&>(h_in);  // the walk moves the cursors only
  const std::size_t saved_field = h.field_cursor;
  const std::size_t saved_sub = h.subfield_cursor;
  std::fprintf(out, "=========== IDN=%09ld ===========\n", static_cast<long>(h.idn));
  auto ind = [](const FieldDesc& f, std::size_t i) {
    if (f.indicators.size() <= i || (i == 1 && f.indicators.empty())) return '_';
    const auto c = static_cast<unsigned char>(f.indicators[i]);
    return c <= ' ' ? '_' : static_cast<char>(c);
  };
  FieldDesc f;
  for (ResultCode rc = fld_first(h, f); rc.code() == 0; rc = fld_next(h, f)) {
    FieldDesc s;
    if (sfl_first(h, f, s).code() == 0) {
      do {
        std::fprintf(out, "%3.3s/%c%c.%d$%c.%d Length=%d Data=%.*s\n", f.tag.c_str(), ind(f, 0), ind(f, 1),
                     f.occurrence, s.tag[0], s.occurrence, s.length, static_cast<int>(s.length),
                     reinterpret_cast<const char*>(s.data));
      } while (sfl_next(h, f, s).code() == 0);
    } else if (f.length > 0) {
      std::fprintf(out, "%3.3s/%c%c.%d Length=%d Data=%.*s\n", f.tag.c_str(), ind(f, 0), ind(f, 1),
                   f.occurrence, f.length, static_cast<int>(f.length), reinterpret_cast<const char*>(f.data));
    }
  }
  h.field_cursor = saved_field;
  h.subfield_cursor = saved_sub;
}

// ---------------------------------------------------------------------------
// Fields.

ResultCode fld_first(RecordHandle& h, FieldDesc& f) {
  f.clear();
  Field fl;
  if (h.length < kHeaderSize + 1 || !field_at(h, kHeaderSize, fl)) return kNotFound;
  fill_field(h, fl, f);
  f.occurrence = 1;
  h.field_cursor = fl.off;
  return 0;
}

ResultCode fld_next(RecordHandle& h, FieldDesc& f) {
  Field current;
  if (!field_at(h, h.field_cursor, current)) return kNotFound;
  Field fl;
  if (!field_at(h, current.end(), fl)) return kNotFound;
  const std::string previous = f.tag;
  const std::uint16_t occurrence = f.occurrence;
  fill_field(h, fl, f);
  f.occurrence = static_cast<std::uint16_t>(f.tag == previous ? occurrence + 1 : 1);
  h.field_cursor = fl.off;
  return 0;
}

ResultCode fld_get(RecordHandle& h, FieldDesc& f, FieldDesc* s) {
  h.field_cursor = kHeaderSize;
  h.subfield_cursor = 0;
  if (h.buffer == nullptr || h.length <= kHeaderSize) return kNotFound;
  const std::string requested = f.tag;
  std::size_t off = kHeaderSize;
  Field fl;
  int cmp = 1;
  while (field_at(h, off, fl)) {
    cmp = compare_tag(h.buffer + off, requested);
    if (cmp >= 0) break;
    off = fl.end();
  }
  h.field_cursor = off;
  if (cmp != 0 || !field_at(h, off, fl)) return kNotFound;

  if (f.indicators.empty() && (f.occurrence == 0 || f.occurrence == 1)) {
    fill_field(h, fl, f);
    f.occurrence = 1;
  } else {
    const std::string indicators = f.indicators;
    const std::uint16_t wanted = f.occurrence == 0 ? 1 : f.occurrence;
    int count = 0;
    bool found = false;
    Field last{};
    int last_count = 0;
    while (field_at(h, off, fl) && compare_tag(h.buffer + off, requested) == 0) {
      const std::string_view ind(reinterpret_cast<const char*>(h.buffer + off + kFieldHeaderSize), fl.k);
      if (indicators_pass(indicators, ind)) {
        ++count;
        if (wanted == kLastOccurrence) {
          last = fl;
          last_count = count;
        } else if (count == wanted) {
          fill_field(h, fl, f);
          f.occurrence = static_cast<std::uint16_t>(count);
          h.field_cursor = off;
          found = true;
          break;
        }
      }
      off = fl.end();
    }
    if (!found) {
      h.field_cursor = off;  // after the run
      if (wanted != kLastOccurrence || last_count == 0) return kNotFound;
      fill_field(h, last, f);
      f.occurrence = static_cast<std::uint16_t>(last_count);
    }
  }
  if (s != nullptr && !s->empty_code()) return sfl_get(h, f, *s);
  return 0;
}

namespace {

ResultCode put_field(RecordHandle& h, const FieldDesc& f, const FieldDesc* s, bool any_indicator) {
  if (h.buffer == nullptr) return kMissing;
  FieldDesc probe;
  probe.tag = f.tag;
  probe.indicators = any_indicator ? std::string() : f.indicators;
  probe.occurrence = f.occurrence;
  if (any_indicator && probe.occurrence == 0) probe.occurrence = 1;
  const ResultCode found = fld_get(h, probe);
  if (found.failed()) return found;
  if (found.code() == 0 && s != nullptr && !s->empty_code()) return sfl_put(h, probe, *s);
  const std::size_t pos = h.field_cursor;
  const auto content = bytes_of(f);
  const std::size_t k = std::min<std::size_t>(f.indicators.size(), 2);
  if (k + content.size() > static_cast<std::size_t>(kMaxFieldLength)) return kTooLong;
  const std::size_t size = kFieldHeaderSize + k + content.size();
  if (const ResultCode rc = shift(h, pos, 0, size); rc.failed()) return rc;
  write_field(h, pos, f.tag, f.indicators, f.type, f.attribute, content);
  h.field_cursor = pos;
  if (s != nullptr && !s->empty_code()) {
    Field fl;
    (void)field_at(h, pos, fl);
    FieldDesc added;
    fill_field(h, fl, added);
    const ResultCode rc = sfl_put(h, added, *s);
    if (rc.failed()) {
      (void)shift(h, pos, size, 0);  // the image stays as it was
      return rc;
    }
  }
  return 0;
}

}  // namespace

ResultCode fld_put(RecordHandle& h, const FieldDesc& f, const FieldDesc* s) {
  return put_field(h, f, s, false);
}

ResultCode fld_put_any_indicator(RecordHandle& h, const FieldDesc& f, const FieldDesc* s) {
  return put_field(h, f, s, true);
}

ResultCode fld_append(RecordHandle& h, const FieldDesc& f, const FieldDesc* s) {
  if (h.buffer == nullptr) return kMissing;
  if (s == nullptr || s->empty_code()) {
    const auto content = bytes_of(f);
    const std::size_t k = std::min<std::size_t>(f.indicators.size(), 2);
    if (k + content.size() > static_cast<std::size_t>(kMaxFieldLength)) return kTooLong;
    const std::size_t pos = h.length;
    if (const ResultCode rc = shift(h, pos, 0, kFieldHeaderSize + k + content.size()); rc.failed()) return rc;
    write_field(h, pos, f.tag, f.indicators, f.type, f.attribute, content);
    h.field_cursor = pos;
    return 0;
  }
  Field fl;
  if (!field_at(h, h.field_cursor, fl) || fl.end() != h.length) return kMissing;
  return insert_sub(h, fl.off, fl.end(), *s);
}

ResultCode fld_replace(RecordHandle& h, const FieldDesc& f, const FieldDesc* s) {
  FieldDesc found;
  found.tag = f.tag;
  found.indicators = f.indicators;
  found.occurrence = f.occurrence;
  if (s != nullptr && !s->empty_code()) {
    FieldDesc sub = *s;
    if (const ResultCode rc = fld_get(h, found, &sub); rc.code() != 0) return rc;
    return sfl_replace(h, found, *s);
  }
  if (const ResultCode rc = fld_get(h, found); rc.code() != 0) return rc;
  Field fl;
  if (!field_of(h, found, fl)) return kMissing;
  const auto content = bytes_of(f);
  const std::size_t k = std::min<std::size_t>(f.indicators.size(), 2);
  if (k + content.size() > static_cast<std::size_t>(kMaxFieldLength)) return kTooLong;
  const std::string tag = found.tag;
  const std::size_t new_size = kFieldHeaderSize + k + content.size();
  if (const ResultCode rc = shift(h, fl.off, kFieldHeaderSize + fl.len, new_size); rc.failed()) return rc;
  write_field(h, fl.off, tag, f.indicators, f.type, f.attribute, content);
  h.field_cursor = fl.off;
  return 0;
}

ResultCode fld_set(RecordHandle& h, const FieldDesc& f, const FieldDesc* s) {
  const bool sub = s != nullptr && !s->empty_code();
  FieldDesc probe = f;
  FieldDesc probe_sub = sub ? *s : FieldDesc{};
  const bool exists = fld_get(h, probe, sub ? &probe_sub : nullptr).code() == 0;
  return exists ? fld_replace(h, f, sub ? s : nullptr) : fld_put(h, f, sub ? s : nullptr);
}

ResultCode fld_set_text(RecordHandle& h, std::string_view tag, std::string_view text) {
  FieldDesc f;
  f.tag = std::string(tag);
  f.type = 1;
  f.set(text);
  return fld_set(h, f);
}

ResultCode fld_delete(RecordHandle& h, const FieldDesc& f, const FieldDesc* s) {
  FieldDesc found;
  found.tag = f.tag;
  found.indicators = f.indicators;
  found.occurrence = f.occurrence;
  if (const ResultCode rc = fld_get(h, found); rc.code() != 0) return rc;
  Field fl;
  if (!field_of(h, found, fl)) return kMissing;
  if (s == nullptr || s->empty_code()) return shift(h, fl.off, kFieldHeaderSize + fl.len, 0);
  if (const ResultCode rc = sfl_delete(h, found, *s); rc.code() != 0) return rc;
  if (!field_at(h, fl.off, fl)) return kMissing;
  if (fl.len == fl.k) return shift(h, fl.off, kFieldHeaderSize + fl.len, 0);  // nothing left in it
  return 0;
}

ResultCode fld_walk(RecordHandle& h, FieldDesc& f, FieldDesc& s, const WalkElement& el) {
  if (el.tag == nullptr) return kMissing;
  const std::uint16_t field_limit = el.field_occurrence != 0 ? el.field_occurrence : el.tag->max_occurrence;
  const std::uint16_t start = el.field_occurrence != 0 ? el.field_occurrence : 1;
  auto look = [&](std::uint16_t occurrence, FieldDesc& out) {
    out.clear();
    out.tag = el.tag->tag;
    out.indicators = el.indicators;
    out.occurrence = occurrence;
    return fld_get(h, out);
  };
  if (el.subfield == nullptr) {
    const std::uint16_t next = f.occurrence == 0 ? start : static_cast<std::uint16_t>(f.occurrence + 1);
    if (next > field_limit) return kNotFound;
    FieldDesc found;
    if (const ResultCode rc = look(next, found); rc.code() != 0) return rc;
    f = found;
    f.occurrence = next;
    return 0;
  }
  const std::uint16_t sub_limit =
      el.subfield_occurrence != 0 ? el.subfield_occurrence : el.subfield->max_occurrence;
  std::uint16_t fo = f.occurrence == 0 ? start : f.occurrence;
  std::uint16_t so = static_cast<std::uint16_t>(s.occurrence + 1);
  while (fo <= field_limit) {
    if (so > sub_limit) {
      ++fo;
      so = 1;
      continue;
    }
    FieldDesc found;
    if (const ResultCode rc = look(fo, found); rc.code() != 0) return rc;
    for (; so <= sub_limit; ++so) {
      FieldDesc sub;
      sub.tag.assign(1, el.subfield->code);
      sub.occurrence = so;
      if (sfl_get(h, found, sub).code() == 0) {
        f = found;
        f.occurrence = fo;
        s = sub;
        s.occurrence = so;
        return 0;
      }
    }
    ++fo;
    so = 1;
  }
  return kNotFound;
}

// ---------------------------------------------------------------------------
// Subfields.

namespace {

// The content range of a found field; false when it is not a field.
bool content_of(const RecordHandle& h, const FieldDesc& f, std::size_t& start, std::size_t& end, Field& fl) {
  if (!field_of(h, f, fl)) return false;
  start = fl.content();
  end = fl.end();
  return true;
}

}  // namespace

ResultCode sfl_first(RecordHandle& h, const FieldDesc& f, FieldDesc& s) {
  s.clear();
  std::size_t start = 0;
  std::size_t end = 0;
  Field fl;
  if (!content_of(h, f, start, end, fl) || start >= end) return kNotFound;
  Sub sb;
  if (!subfield_at(h, start, end, sb)) return kNotFound;
  fill_sub(h, sb, s);
  s.occurrence = 1;
  h.subfield_cursor = sb.off;
  return 0;
}

ResultCode sfl_next(RecordHandle& h, const FieldDesc& f, FieldDesc& s) {
  std::size_t start = 0;
  std::size_t end = 0;
  Field fl;
  if (!content_of(h, f, start, end, fl)) return kNotFound;
  Sub current;
  if (s.offset < start || !subfield_at(h, s.offset, end, current)) return kNotFound;
  Sub sb;
  if (!subfield_at(h, current.end(), end, sb)) return kNotFound;
  const std::string previous = s.tag;
  const std::uint16_t occurrence = s.occurrence;
  fill_sub(h, sb, s);
  s.occurrence = static_cast<std::uint16_t>(s.tag == previous ? occurrence + 1 : 1);
  h.subfield_cursor = sb.off;
  return 0;
}

ResultCode sfl_get(RecordHandle& h, const FieldDesc& f, FieldDesc& s) {
  std::size_t start = 0;
  std::size_t end = 0;
  Field fl;
  if (!content_of(h, f, start, end, fl)) return kNotFound;
  h.subfield_cursor = start;
  if (start >= end || h.buffer[start] != kSubfieldMark || s.tag.empty()) return kNotFound;
  const auto code = static_cast<unsigned char>(s.tag[0]);
  int count = 0;
  std::size_t off = start;
  Sub sb;
  while (subfield_at(h, off, end, sb)) {
    const unsigned char here = h.buffer[off + 1];
    if (here == code) {
      ++count;
      if (s.occurrence == 0 || s.occurrence == count) {
        fill_sub(h, sb, s);
        s.occurrence = static_cast<std::uint16_t>(count);
        h.subfield_cursor = off;
        return 0;
      }
    } else if (h.order != 'N' && here > code) {
      h.subfield_cursor = off;
      return kNotFound;
    }
    off = sb.end();
  }
  h.subfield_cursor = off;
  return kNotFound;
}

ResultCode sfl_put(RecordHandle& h, const FieldDesc& f, const FieldDesc& s) {
  if (s.tag.empty()) return kMissing;
  FieldDesc probe;
  probe.tag = s.tag;
  for (std::uint16_t n = 1;; ++n) {
    probe.occurrence = n;
    if (sfl_get(h, f, probe).code() != 0) break;
  }
  std::size_t start = 0;
  std::size_t end = 0;
  Field fl;
  if (!content_of(h, f, start, end, fl)) return kMissing;
  // A field whose content is text, not subfields, takes the subfield at its
  // end, so that the text stays a text.
  std::size_t pos = h.subfield_cursor;
  if (pos < start || pos > end || (start < end && h.buffer[start] != kSubfieldMark)) pos = end;
  return insert_sub(h, fl.off, pos, s);
}

ResultCode sfl_replace(RecordHandle& h, const FieldDesc& f, const FieldDesc& s) {
  FieldDesc found;
  found.tag = s.tag;
  found.occurrence = s.occurrence;
  if (const ResultCode rc = sfl_get(h, f, found); rc.code() != 0) return rc;
  Field fl;
  if (!field_of(h, f, fl)) return kMissing;
  const auto data = bytes_of(s);
  if (fl.len - found.length + data.size() > static_cast<std::size_t>(kMaxFieldLength)) return kTooLong;
  const std::size_t old_size = kSubfieldHeaderSize + found.length;
  const std::size_t new_size = kSubfieldHeaderSize + data.size();
  const std::size_t pos = found.offset;
  if (const ResultCode rc = shift(h, pos, old_size, new_size); rc.failed()) return rc;
  write_sub(h, pos, found.tag[0], s.type, s.attribute, data);
  set_field_length(h, fl.off, fl.len - old_size + new_size);
  h.subfield_cursor = pos;
  return 0;
}

ResultCode sfl_delete(RecordHandle& h, const FieldDesc& f, const FieldDesc& s) {
  FieldDesc found;
  found.tag = s.tag;
  found.occurrence = s.occurrence;
  if (const ResultCode rc = sfl_get(h, f, found); rc.code() != 0) return rc;
  Field fl;
  if (!field_of(h, f, fl)) return kMissing;
  const std::size_t size = kSubfieldHeaderSize + found.length;
  if (const ResultCode rc = shift(h, found.offset, size, 0); rc.failed()) return rc;
  set_field_length(h, fl.off, fl.len - size);
  h.subfield_cursor = found.offset;
  return 0;
}

namespace {

ResultCode insert_beside(RecordHandle& h, const FieldDesc& f, const FieldDesc& s, FieldDesc& ref,
                         bool after) {
  std::size_t start = 0;
  std::size_t end = 0;
  Field fl;
  if (!content_of(h, f, start, end, fl)) return kNotFound;
  Sub sb;
  if (ref.offset < start || !subfield_at(h, ref.offset, end, sb)) return kNotFound;
  const std::size_t pos = after ? sb.end() : sb.off;
  if (const ResultCode rc = insert_sub(h, fl.off, pos, s); rc.failed()) return rc;
  Sub added;
  (void)subfield_at(h, pos, h.length, added);
  fill_sub(h, added, ref);
  return 0;
}

}  // namespace

ResultCode sfl_insert_before(RecordHandle& h, const FieldDesc& f, const FieldDesc& s, FieldDesc& ref) {
  return insert_beside(h, f, s, ref, false);
}

ResultCode sfl_insert_after(RecordHandle& h, const FieldDesc& f, const FieldDesc& s, FieldDesc& ref) {
  return insert_beside(h, f, s, ref, true);
}

// ---------------------------------------------------------------------------
// Content helpers.

int fld_compare(const FieldDesc& a, const FieldDesc& b, char with_indicators) {
  if (with_indicators == 'Y' && a.indicators != b.indicators) return a.indicators < b.indicators ? -1 : 1;
  const std::size_t n = std::min(a.length, b.length);
  for (std::size_t i = 0; i < n; ++i) {
    unsigned char x = a.data[i];
    unsigned char y = b.data[i];
    if (a.type == 1) {
      x = static_cast<unsigned char>(ascii_upper(static_cast<char>(x)));
      y = static_cast<unsigned char>(ascii_upper(static_cast<char>(y)));
    }
    if (x != y) return x < y ? -1 : 1;
  }
  const FieldDesc& longer = a.length > b.length ? a : b;
  for (std::size_t i = n; i < longer.length; ++i) {
    if (longer.data[i] != ' ') return &longer == &a ? 1 : -1;
  }
  return 0;
}

void fld_trim(FieldDesc& d, std::string_view options) {
  if ((d.type != 0 && d.type != 1) || d.data == nullptr) return;
  if (options.find('L') != std::string_view::npos) {
    while (d.length > 0 && d.data[0] == ' ') {
      ++d.data;
      --d.length;
    }
  }
  if (options.find('R') != std::string_view::npos) {
    while (d.length > 0 && d.data[d.length - 1] == ' ') --d.length;
  }
}

long fld_number(const FieldDesc& d) {
  if (d.data == nullptr) return 0;
  return parse_long(
      std::string_view(reinterpret_cast<const char*>(d.data), std::min<std::size_t>(d.length, 9)));
}

bool rec_take_stored(RecordHandle& h, std::uint32_t idn, std::size_t stored) {
  if (stored < kHeaderSize) return false;
  rec_load_header(h);
  h.idn = idn;
  const bool whole = h.length == stored;
  rec_store_header(h);
  return whole && rec_check_image(h);
}

bool rec_check_image(const RecordHandle& h, std::string* why) {
  auto fail = [&](const char* text) {
    if (why != nullptr) *why = text;
    return false;
  };
  if (h.buffer == nullptr) return fail("no buffer");
  if (h.length < kHeaderSize || h.length > h.room()) return fail("length outside the buffer");
  if (get_u32(h.buffer + 4) != h.length || get_u32(h.buffer) != h.idn) return fail("header not current");
  std::size_t off = kHeaderSize;
  std::string previous;
  while (off < h.length) {
    Field fl;
    if (!field_at(h, off, fl)) return fail("field lengths do not fit");
    const std::string tag(reinterpret_cast<const char*>(h.buffer + off), 3);
    if (!previous.empty() && std::memcmp(tag.data(), previous.data(), 3) < 0)
      return fail("tags out of order");
    previous = tag;
    std::size_t s = fl.content();
    if (s < fl.end() && h.buffer[s] == kSubfieldMark) {
      unsigned char last = 0;
      while (s < fl.end()) {
        Sub sb;
        if (!subfield_at(h, s, fl.end(), sb)) return fail("subfield lengths do not fit");
        const unsigned char code = h.buffer[s + 1];
        if (h.order != 'N' && code < last) return fail("subfields out of order");
        last = code;
        s = sb.end();
      }
    }
    off = fl.end();
  }
  return true;
}

}  // namespace corvanta::records

// ---------------------------------------------------------------------------
// Building a whole image.

namespace corvanta::records {

void RecordBuilder::clear() {
  bytes_.clear();
  fields_.clear();
  subs_.clear();
  not_utf8_.clear();
}

std::string_view RecordBuilder::normal_form(std::string_view value, std::string& scratch) {
  if (!normalise_ || is_ascii(value)) return value;
  if (!is_valid_utf8(value)) {
    if (not_utf8_.empty() && !fields_.empty()) not_utf8_.assign(fields_.back().tag, 3);
    return value;
  }
  scratch = to_nfc(value);
  return scratch;
}

void RecordBuilder::field(std::string_view tag, std::string_view indicators) {
  Piece p{};
  for (std::size_t i = 0; i < 3; ++i) p.tag[i] = i < tag.size() ? tag[i] : ' ';
  p.k = static_cast<std::uint8_t>(std::min<std::size_t>(indicators.size(), 2));
  for (std::size_t i = 0; i < p.k; ++i) p.indicators[i] = indicators[i];
  p.text_at = static_cast<std::uint32_t>(bytes_.size());
  p.first_sub = p.end_sub = static_cast<std::uint32_t>(subs_.size());
  fields_.push_back(p);
}

void RecordBuilder::text(std::string_view content) {
  if (fields_.empty() || content.empty()) return;
  std::string normal;
  content = normal_form(content, normal);
  Piece& p = fields_.back();
  const bool first = p.text_length == 0;
  if (first) p.text_at = static_cast<std::uint32_t>(bytes_.size());
  bytes_.append(content);
  // A content beginning with the subfield mark would read as subfields
  // that are not there: the mark of plain text becomes a blank.
  if (first && static_cast<unsigned char>(content[0]) == kSubfieldMark) bytes_[p.text_at] = ' ';
  p.text_length += static_cast<std::uint32_t>(content.size());
}

void RecordBuilder::subfield(char code, std::string_view data) {
  if (fields_.empty()) return;
  std::string normal;
  data = normal_form(data, normal);
  subs_.push_back({code, static_cast<std::uint32_t>(bytes_.size()), static_cast<std::uint32_t>(data.size())});
  bytes_.append(data);
  fields_.back().end_sub = static_cast<std::uint32_t>(subs_.size());
}

void RecordBuilder::copy(RecordHandle& h, const FieldDesc& f) {
  field(f.tag, f.indicators);
  FieldDesc s;
  if (sfl_first(h, f, s).code() != 0) {
    text(f.content());
    return;
  }
  do {
    subfield(s.tag.empty() ? ' ' : s.tag[0], s.content());
  } while (sfl_next(h, f, s).code() == 0);
}

ResultCode RecordBuilder::build(RecordHandle& h) {
  order_.resize(fields_.size());
  for (std::uint32_t i = 0; i < order_.size(); ++i) order_[i] = i;
  std::stable_sort(order_.begin(), order_.end(), [&](std::uint32_t a, std::uint32_t b) {
    return std::memcmp(fields_[a].tag, fields_[b].tag, 3) < 0;
  });
  h.length = kHeaderSize;
  h.field_cursor = h.subfield_cursor = 0;
  const auto fail = [&] {
    h.length = kHeaderSize;
    rec_store_header(h);
    return ResultCode(kTooLong);
  };
  const auto* data = reinterpret_cast<const unsigned char*>(bytes_.data());
  for (const std::uint32_t i : order_) {
    const Piece& p = fields_[i];
    std::span<const Sub> subs(subs_.data() + p.first_sub, p.end_sub - p.first_sub);
    if (h.order != 'N' && subs.size() > 1) {
      sorted_.assign(subs.begin(), subs.end());
      std::stable_sort(sorted_.begin(), sorted_.end(), [](const Sub& a, const Sub& b) {
        return static_cast<unsigned char>(a.code) < static_cast<unsigned char>(b.code);
      });
      subs = sorted_;
    }
    std::size_t content = subs.empty() ? p.text_length : 0;
    for (const Sub& s : subs) content += kSubfieldHeaderSize + s.length;
    const std::size_t len = p.k + content;
    if (len > static_cast<std::size_t>(kMaxFieldLength) || h.length + kFieldHeaderSize + len > h.room())
      return fail();
    const std::size_t pos = h.length;
    write_field(h, pos, std::string_view(p.tag, 3), std::string_view(p.indicators, p.k), 1, 0,
                subs.empty() ? std::span<const unsigned char>(data + p.text_at, p.text_length)
                             : std::span<const unsigned char>());
    set_field_length(h, pos, len);
    std::size_t at = pos + kFieldHeaderSize + p.k;
    for (const Sub& s : subs) {
      write_sub(h, at, s.code, 1, 0, std::span<const unsigned char>(data + s.at, s.length));
      at += kSubfieldHeaderSize + s.length;
    }
    h.length = static_cast<std::uint32_t>(pos + kFieldHeaderSize + len);
  }
  rec_store_header(h);
  return 0;
}

}  // namespace corvanta::records
