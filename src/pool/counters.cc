#include "pool/counters.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "dbm/codes.h"
#include "pool/data_walk.h"
#include "util/big_endian.h"
#include "util/text.h"

namespace corvanta::records {

namespace {

constexpr unsigned char kCounterElement = 1;
constexpr unsigned char kYearlyElement = 2;
constexpr unsigned char kYearElement = 3;
constexpr std::size_t kMaxWidth = 255;
constexpr std::size_t kCounterData = 512;  // room for any compiled pattern

std::string padded(std::uint64_t value, std::size_t width) {
  std::string digits = std::to_string(value);
  if (digits.size() < width) digits.insert(0, width - digits.size(), '0');
  return digits;
}

}  // namespace

CounterKey counter_key(int record_file, int group, std::string_view name) {
  CounterKey key{};
  put_u16(key.data(), static_cast<std::uint16_t>(record_file));
  put_u16(key.data() + 2, static_cast<std::uint16_t>(group));
  const std::string_view n = name.substr(0, kCounterNameLength);
  std::copy(n.begin(), n.end(), key.begin() + 4);
  return key;
}

std::string encode_counter(const Counter& c) {
  std::string data(6, '\0');
  put_u32(reinterpret_cast<unsigned char*>(data.data()), c.number);
  put_u16(reinterpret_cast<unsigned char*>(data.data()) + 4, c.year);
  return data + c.pattern;
}

Counter decode_counter(std::string_view data) {
  Counter c;
  const auto* p = reinterpret_cast<const unsigned char*>(data.data());
  if (data.size() >= 4) c.number = get_u32(p);
  if (data.size() >= 6) c.year = get_u16(p + 4);
  if (data.size() > 6) c.pattern = std::string(data.substr(6));
  return c;
}

ResultCode numb_compile(std::string_view text, std::string& compiled) {
  compiled.clear();
  std::size_t i = 0;
  while (i < text.size()) {
    const char c = text[i];
    if (c == ' ' || c == '+') {
      ++i;
      continue;
    }
    if (c == '"') {
      // Literal text up to the closing quote; "" inside is one quote.
      ++i;
      bool closed = false;
      while (i < text.size()) {
        if (text[i] == '"') {
          if (i + 1 < text.size() && text[i + 1] == '"') {
            compiled += '"';
            i += 2;
            continue;
          }
          closed = true;
          ++i;
          break;
        }
        // Control characters would read as element bytes.
        if (static_cast<unsigned char>(text[i]) < ' ') return kBadPattern;
        compiled += text[i++];
      }
      if (!closed) return kBadPattern;
      continue;
    }
    unsigned char element = 0;
    if (c == 'D') element = kCounterElement;
    if (c == 'd') element = kYearlyElement;
    if (c == 'Y' || c == 'y') element = kYearElement;
    if (element == 0) return kBadPattern;
    std::size_t n = 0;
    const bool year = element == kYearElement;
    while (i < text.size() && (text[i] == c || (year && (text[i] == 'Y' || text[i] == 'y')))) {
      ++n;
      ++i;
    }
    if (n > kMaxWidth) return kBadPattern;
    compiled += static_cast<char>(element);
    compiled += static_cast<char>(n);
  }
  return compiled.empty() ? ResultCode(kBadPattern) : ResultCode(0);
}

std::string numb_pattern_text(std::string_view compiled) {
  std::string out;
  std::size_t i = 0;
  auto separate = [&] {
    if (!out.empty()) out += " + ";
  };
  while (i < compiled.size()) {
    const auto b = static_cast<unsigned char>(compiled[i]);
    if (b >= kCounterElement && b <= kYearElement && i + 1 >= compiled.size()) break;  // no width: damaged
    if (b >= kCounterElement && b <= kYearElement) {
      separate();
      const char letter = b == kCounterElement ? 'D' : b == kYearlyElement ? 'd' : 'Y';
      out.append(static_cast<unsigned char>(compiled[i + 1]), letter);
      i += 2;
      continue;
    }
    if (b == 0) break;
    separate();
    out += '"';
    while (i < compiled.size() && static_cast<unsigned char>(compiled[i]) > kYearElement) {
      if (compiled[i] == '"') out += '"';
      out += compiled[i++];
    }
    out += '"';
    if (i < compiled.size() && (static_cast<unsigned char>(compiled[i]) == 0 ||
                                static_cast<unsigned char>(compiled[i]) > kYearElement)) {
      ++i;  // a control byte of a damaged pattern
    }
  }
  return out;
}

std::optional<std::string> numb_next(std::string_view compiled, std::uint32_t& counter, std::uint16_t& year,
                                     int current_year) {
  std::string out;
  const bool new_year = year < current_year;
  std::uint32_t number = counter;
  for (std::size_t i = 0; i < compiled.size(); ++i) {
    const auto b = static_cast<unsigned char>(compiled[i]);
    if (b == 0) break;
    if (b <= kYearElement) {
      const std::size_t width = i + 1 < compiled.size() ? static_cast<unsigned char>(compiled[i + 1]) : 0;
      ++i;
      if (b == kYearlyElement && new_year) {
        number = 1;
        out += padded(number, width);
      } else if (b == kCounterElement || b == kYearlyElement) {
        if (number == UINT32_MAX) return std::nullopt;
        ++number;
        out += padded(number, width);
      } else {
        const std::string y = padded(static_cast<std::uint64_t>(std::clamp(current_year, 0, 9999)), 4);
        out += width > 4 ? std::string(width - 4, '0') + y : y.substr(4 - width);
      }
      continue;
    }
    if (b < ' ') continue;  // control characters are not copied
    out += static_cast<char>(b);
  }
  counter = number;
  if (new_year) year = static_cast<std::uint16_t>(current_year);
  return out;
}

ResultCode CounterStore::read(int record_file, int group, std::string_view name, Counter& out) {
  const CounterKey key = counter_key(record_file, group, name);
  std::array<unsigned char, kCounterData> data{};
  dbm::DataRef ref{data};
  const ResultCode rc = dbm_.read(pool_, file_, key.data(), ref);
  if (rc.failed() || rc.code() == dbm::kAbsent) return rc;
  out = decode_counter({reinterpret_cast<const char*>(data.data()), std::min(ref.length, data.size())});
  out.name = std::string(cut_to(name, kCounterNameLength));
  return 0;
}

ResultCode CounterStore::insert(int record_file, int group, const Counter& c) {
  const CounterKey key = counter_key(record_file, group, c.name);
  Counter probe;
  const ResultCode found = read(record_file, group, c.name, probe);
  if (found.failed()) return found;
  if (found.code() == 0) return dbm::kRecordExists;
  const std::string data = encode_counter(c);
  return dbm_.insert(pool_, file_, key.data(),
                     {reinterpret_cast<const unsigned char*>(data.data()), data.size()});
}

ResultCode CounterStore::update(int record_file, int group, const Counter& c) {
  const CounterKey key = counter_key(record_file, group, c.name);
  const std::string data = encode_counter(c);
  return dbm_.update(pool_, file_, key.data(),
                     {reinterpret_cast<const unsigned char*>(data.data()), data.size()});
}

ResultCode CounterStore::remove(int record_file, int group, std::string_view name) {
  const CounterKey key = counter_key(record_file, group, name);
  return dbm_.remove(pool_, file_, key.data());
}

ResultCode CounterStore::walk(int record_file, int group,
                              const std::function<ResultCode(const Counter&)>& visit) {
  const CounterKey start = counter_key(record_file, group, {});
  return walk_prefix(
      dbm_, pool_, file_, start, 4, kCounterData,
      [&](std::span<const unsigned char> key, std::span<const unsigned char> value) {
        Counter c = decode_counter({reinterpret_cast<const char*>(value.data()), value.size()});
        const auto* name = reinterpret_cast<const char*>(key.data() + 4);
        c.name.assign(name, strnlen(name, kCounterNameLength));
        return visit(c);
      });
}

ResultCode numb_restore(dbm::Dbm& dbm, const dict::AppPoolDef& pool, const std::vector<CounterUndo>& undo) {
  for (auto it = undo.rbegin(); it != undo.rend(); ++it) {
    CounterStore store(dbm, pool.name, it->store_file);
    if (const ResultCode rc = store.update(it->record_file, it->group, it->before); rc.failed()) return rc;
  }
  return 0;
}

ResultCode numb_apply(dbm::Dbm& dbm, const dict::AppPoolDef& pool, const dict::FileDef& file,
                      RecordHandle& record, char mode, int year_now, std::vector<CounterUndo>* undo) {
  for (const dict::AutonumDef* def : file.autonums) {
    if (def == nullptr || def->tag_def == nullptr || def->file == 0) continue;
    CounterStore store(dbm, pool.name, def->file);
    const dict::TagDef& tag = *def->tag_def;
    const char code =
        tag.subfields.empty() || tag.subfields.front() == nullptr ? 0 : tag.subfields.front()->code;
    for (std::uint16_t occurrence = 1; occurrence <= kLastOccurrence - 1; ++occurrence) {
      FieldDesc f;
      f.tag = tag.tag;
      f.occurrence = occurrence;
      FieldDesc s;
      if (code != 0) s.tag.assign(1, code);
      const ResultCode found = fld_get(record, f, code != 0 ? &s : nullptr);
      if (found.code() != 0) {
        // No such field: the occurrences are done; a field without the
        // subfield: the next one.
        FieldDesc any;
        any.tag = tag.tag;
        any.occurrence = occurrence;
        if (code == 0 || fld_get(record, any).code() != 0) break;
        continue;
      }
      const std::string name(trim_trailing_blanks(code != 0 ? s.content() : f.content()));
      if (name.empty() || name.size() > kCounterNameLength) continue;
      Counter counter;
      const ResultCode rc = store.read(file.number, def->number, name, counter);
      if (rc.failed()) return rc;
      if (rc.code() != 0) continue;
      const Counter before = counter;
      const std::optional<std::string> number =
          numb_next(counter.pattern, counter.number, counter.year, year_now);
      if (!number) return kNoNumberLeft;
      if (mode != 'C') {
        if (undo != nullptr) undo->push_back({def->file, file.number, def->number, before});
        if (const ResultCode w = store.update(file.number, def->number, counter); w.failed()) return w;
      }
      FieldDesc put = f;
      put.occurrence = occurrence;
      FieldDesc sub = s;
      (code != 0 ? sub : put).set(*number);
      if (const ResultCode r = fld_replace(record, put, code != 0 ? &sub : nullptr); r.failed()) return r;
    }
  }
  return 0;
}

int current_year() {
  const std::time_t now = std::time(nullptr);
  std::tm tm{};
  localtime_r(&now, &tm);
  return tm.tm_year + 1900;
}

}  // namespace corvanta::records
