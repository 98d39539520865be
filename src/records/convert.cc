#include "records/convert.h"

#include <cstdio>

#include "records/translate.h"
#include "util/big_endian.h"

namespace corvanta::records {
namespace {

constexpr std::uint8_t kChar = 1;
constexpr std::uint8_t kIdnr = 2;
constexpr std::uint8_t kNumber = 4;
constexpr std::uint8_t kDate = 5;
constexpr std::uint8_t kDateTime = 6;
constexpr std::uint8_t kUrl = 7;
constexpr std::uint8_t kMain = 0;
constexpr std::size_t kMaxDecimals = 10;

// Appends v as 4 bytes big-endian.
void append4(std::string& out, std::uint32_t v) {
  unsigned char b[4];
  put_u32(b, v);
  out.append(reinterpret_cast<const char*>(b), 4);
}

std::uint32_t digits_value(std::string_view s, std::size_t max_digits) {
  std::uint64_t v = 0;
  for (std::size_t i = 0; i < s.size() && i < max_digits; ++i) {
    if (s[i] < '0' || s[i] > '9') break;
    v = v * 10 + static_cast<std::uint64_t>(s[i] - '0');
  }
  return static_cast<std::uint32_t>(v);
}

ResultCode cut(std::string& out, std::size_t capacity) {
  if (out.size() <= capacity) return 0;
  out.resize(capacity);
  return kDoesNotFit;
}

}  // namespace

ResultCode fld_to_internal(const dict::ValueType& type, std::string_view text, std::string& out,
                           std::size_t capacity) {
  out.clear();
  if (text.empty()) return 0;
  switch (type.code) {
    case kChar: {
      std::size_t n = text.size();
      while (n > 0 && text[n - 1] == ' ') --n;
      out.assign(text.substr(0, n));
      return cut(out, capacity);
    }
    case kIdnr: {
      if (capacity < 4) return kDoesNotFit;
      if (text == "*")
        out.assign(4, '\xFF');
      else
        append4(out, digits_value(text, 15));
      return 0;
    }
    case kNumber: {
      const std::size_t decimals = std::min<std::size_t>(type.decimals, kMaxDecimals);
      const std::size_t size = decimals == 0 ? 5 : 9;
      if (capacity < size) return kDoesNotFit;
      std::size_t i = 0;
      while (i < text.size() && text[i] == ' ') ++i;
      unsigned char sign = 0xFF;
      std::uint64_t integer = 0;
      int digits = 0;
      for (; i < text.size() && digits < 10; ++i) {
        const char c = text[i];
        if (c >= '0' && c <= '9') {
          integer = integer * 10 + static_cast<std::uint64_t>(c - '0');
          ++digits;
        } else if (c == '-') {
          sign = 0x01;
        } else if (c != '+') {
          break;
        }
      }
      out.push_back(static_cast<char>(sign));
      append4(out, static_cast<std::uint32_t>(integer));
      if (decimals > 0) {
        std::uint64_t fraction = 0;
        std::size_t taken = 0;
        if (i < text.size() && (text[i] == ',' || text[i] == '.')) {
          for (++i; i < text.size() && taken < decimals && text[i] >= '0' && text[i] <= '9'; ++i, ++taken) {
            fraction = fraction * 10 + static_cast<std::uint64_t>(text[i] - '0');
          }
        }
        for (; taken < decimals; ++taken) fraction *= 10;
        append4(out, static_cast<std::uint32_t>(fraction));
      }
      return 0;
    }
    case kDate: {
      std::string_view t = text;
      if (!t.empty() && t[0] == '"') t.remove_prefix(1);
      if (text.size() < 8 || t.size() < 8) return 0;
      if (capacity < 4) return kDoesNotFit;
      append4(out, digits_value(t.substr(0, 8), 8));
      return 0;
    }
    case kDateTime: {
      std::string_view t = text;
      if (!t.empty() && t[0] == '"') t.remove_prefix(1);
      if (text.size() < 14 || t.size() < 14) return 0;
      if (capacity < 8) return kDoesNotFit;
      append4(out, digits_value(t.substr(0, 8), 8));
      append4(out, digits_value(t.substr(8, 6), 6));
      return 0;
    }
    case kUrl:
    case kMain: out.assign(text); return cut(out, capacity);
    default: return kBadType;
  }
}

ResultCode fld_to_external(const dict::ValueType& type, std::span<const unsigned char> data, std::string& out,
                           std::size_t capacity) {
  out.clear();
  char buf[64];
  switch (type.code) {
    case kChar: {
      out.assign(reinterpret_cast<const char*>(data.data()), data.size());
      if (out.size() < type.length) out.resize(type.length, ' ');
      return cut(out, capacity);
    }
    case kIdnr: {
      if (data.size() < 4) return 0;
      if (capacity < 9) return kDoesNotFit;
      const std::uint32_t v = get_u32(data.data());
      if (v == 0xFFFFFFFFu) {
        out.push_back('*');
      } else {
        const int n = std::snprintf(buf, sizeof buf, "%9.9ld", static_cast<long>(v));
        out.append(buf, static_cast<std::size_t>(n));
      }
      return cut(out, capacity);
    }
    case kNumber: {
      if (data.size() < 5) return 0;
      if (capacity < 8) return kDoesNotFit;
      const std::size_t decimals = std::min<std::size_t>(type.decimals, kMaxDecimals);
      std::snprintf(buf, sizeof buf, "%s%ld", data[0] == 0x01 ? "-" : "",
                    static_cast<long>(get_u32(data.data() + 1)));
      out = buf;
      if (decimals > 0 && data.size() > 8) {
        std::snprintf(buf, sizeof buf, ".%.*ld", static_cast<int>(decimals),
                      static_cast<long>(get_u32(data.data() + 5)));
        out += buf;
      }
      return cut(out, capacity);
    }
    case kDate: {
      if (data.size() < 4) return 0;
      if (capacity < 8) return kDoesNotFit;
      std::snprintf(buf, sizeof buf, "%8.8ld", static_cast<long>(get_u32(data.data())));
      out = buf;
      return cut(out, capacity);
    }
    case kDateTime: {
      if (data.size() < 8) return 0;
      if (capacity < 14) return kDoesNotFit;
      std::snprintf(buf, sizeof buf, "%8.8ld%6.6ld", static_cast<long>(get_u32(data.data())),
                    static_cast<long>(get_u32(data.data() + 4)));
      out = buf;
      return cut(out, capacity);
    }
    case kUrl:
    case kMain:
      out.assign(reinterpret_cast<const char*>(data.data()), data.size());
      return cut(out, capacity);
    default: return kBadType;
  }
}

namespace {

void start_target(const RecordHandle& source, RecordHandle& target, std::uint8_t form) {
  target.idn = source.idn;
  target.status = source.status;
  target.order = source.order;
  target.form = form;
  target.length = kHeaderSize;
  target.field_cursor = 0;
  target.subfield_cursor = 0;
  rec_store_header(target);
}

std::string translated(const ConversionContext& ctx, const std::string& table, std::string_view text) {
  if (table.empty() || ctx.translations == nullptr) return std::string(text);
  return ctx.translations->translate(table, text, 0, ctx.escape);
}

}  // namespace

ResultCode rec_to_external(const ConversionContext& ctx, RecordHandle& source, RecordHandle& target) {
  if (ctx.file == nullptr || target.buffer == nullptr) return kMissing;
  start_target(source, target, 1);
  FieldDesc f;
  for (ResultCode rc = fld_first(source, f); rc.code() == 0; rc = fld_next(source, f)) {
    const dict::TagDef* def = ctx.file->find_tag(f.tag);
    if (def == nullptr) continue;
    if (!def->subfields.empty() || def->sub.given()) {
      FieldDesc empty;
      empty.tag = f.tag;
      empty.indicators = f.indicators;
      empty.type = 1;
      if (const ResultCode put = fld_append(target, empty); put.failed()) return put;
      FieldDesc s;
      for (ResultCode r = sfl_first(source, f, s); r.code() == 0; r = sfl_next(source, f, s)) {
        const dict::SubfieldDef* sdef = def->find_subfield(s.tag[0]);
        if (sdef == nullptr) continue;
        std::string text;
        (void)fld_to_external(sdef->type, {s.data, s.length}, text, ctx.max_field_length);
        text = translated(ctx, ctx.output_table, text);
        FieldDesc piece;
        piece.tag = s.tag;
        piece.type = 1;
        piece.set(text);
        if (const ResultCode put = fld_append(target, empty, &piece); put.failed()) return put;
      }
      continue;
    }
    std::string text;
    (void)fld_to_external(def->type, {f.data, f.length}, text, ctx.max_field_length);
    text = translated(ctx, ctx.output_table, text);
    FieldDesc piece;
    piece.tag = f.tag;
    piece.indicators = f.indicators;
    piece.type = 1;
    piece.set(text);
    if (const ResultCode put = fld_append(target, piece); put.failed()) return put;
  }
  return 0;
}

ResultCode rec_to_internal(const ConversionContext& ctx, RecordHandle& source, RecordHandle& target) {
  if (ctx.file == nullptr || target.buffer == nullptr) return kMissing;
  start_target(source, target, 0);
  FieldDesc f;
  for (ResultCode rc = fld_first(source, f); rc.code() == 0; rc = fld_next(source, f)) {
    if (f.type == kDropped) continue;
    const dict::TagDef* def = ctx.file->find_tag(f.tag);
    if (def == nullptr) continue;
    if (!def->subfields.empty() || def->sub.given()) {
      FieldDesc empty;
      empty.tag = f.tag;
      empty.indicators = f.indicators;
      empty.type = def->type.code;
      if (const ResultCode put = fld_append(target, empty); put.failed()) return put;
      FieldDesc s;
      if (sfl_first(source, f, s).code() != 0 && f.length != 0) {
        // Text given to a field of subfields (an older record, a script's
        // plain value) is kept as its subfield a, or its first subfield.
        const dict::SubfieldDef* sdef = def->find_subfield('a');
        if (sdef == nullptr && !def->subfields.empty()) sdef = def->subfields.front();
        if (sdef == nullptr) continue;
        std::string value;
        const std::string text = translated(ctx, ctx.input_table, f.content());
        const ResultCode conv = fld_to_internal(sdef->type, text, value, ctx.max_field_length);
        if (conv.code() == kBadType) return conv;
        if (value.empty()) continue;
        FieldDesc piece;
        piece.tag.assign(1, sdef->code);
        piece.type = sdef->type.code;
        piece.set(value);
        if (const ResultCode put = fld_append(target, empty, &piece); put.failed()) return put;
        continue;
      }
      for (ResultCode r = sfl_first(source, f, s); r.code() == 0; r = sfl_next(source, f, s)) {
        if (s.type == kDropped) continue;
        const dict::SubfieldDef* sdef = def->find_subfield(s.tag[0]);
        if (sdef == nullptr) continue;
        std::string value;
        const std::string text = translated(ctx, ctx.input_table, s.content());
        const ResultCode conv = fld_to_internal(sdef->type, text, value, ctx.max_field_length);
        if (conv.code() == kBadType) return conv;
        if (value.empty()) continue;
        FieldDesc piece;
        piece.tag = s.tag;
        piece.type = sdef->type.code;
        piece.set(value);
        if (const ResultCode put = fld_append(target, empty, &piece); put.failed()) return put;
      }
      continue;
    }
    // A field defined without subfields that arrives with some keeps their
    // values, joined by blanks, as its text.
    std::string joined;
    FieldDesc s;
    const bool has_subfields = sfl_first(source, f, s).code() == 0;
    if (has_subfields) {
      do {
        if (s.type == kDropped) continue;
        const std::string_view v = s.content();
        if (!joined.empty() && !v.empty()) joined += ' ';
        joined.append(v);
      } while (sfl_next(source, f, s).code() == 0);
    }
    std::string value;
    const std::string text =
        translated(ctx, ctx.input_table, has_subfields ? std::string_view(joined) : f.content());
    const ResultCode conv = fld_to_internal(def->type, text, value, ctx.max_field_length);
    if (conv.code() == kBadType) return conv;
    if (value.empty()) continue;
    FieldDesc piece;
    piece.tag = f.tag;
    piece.indicators = f.indicators;
    piece.type = def->type.code;
    piece.set(value);
    if (const ResultCode put = fld_append(target, piece); put.failed()) return put;
  }
  return 0;
}

}  // namespace corvanta::records
