#include "shell/support_tables.h"

#include <algorithm>
#include <cstdio>

#include "shell/service.h"
#include "util/big_endian.h"
#include "util/text.h"

namespace corvanta {
namespace {

constexpr std::int32_t kNoData = -11;
constexpr std::int32_t kNoRow = -1;
constexpr std::int32_t kBadIndex = -2;
constexpr std::size_t kRowHeader = 8;     // length, field count, one character
constexpr std::size_t kFieldHeader = 13;  // counted in the field's length
constexpr std::size_t kSortedNameLength = 30;

void add_section(ParamList& params, const std::vector<config::ConfigEntry>& entries) {
  for (const config::ConfigEntry& e : entries) {
    if (e.has_value) params.add(e.name, e.value);
  }
}

long digits(std::string_view text, std::size_t at, std::size_t n) {
  if (at + n > text.size()) return -1;
  long v = 0;
  for (std::size_t i = at; i < at + n; ++i) {
    if (text[i] < '0' || text[i] > '9') return -1;
    v = v * 10 + (text[i] - '0');
  }
  return v;
}

// The first field of a row longer than its header, without trailing
// blanks; empty when there is none.
std::string first_field(std::string_view row) {
  const long count = digits(row, 4, 3);
  std::size_t at = kRowHeader;
  for (long f = 0; f < count && at < row.size(); ++f) {
    const long length = digits(row, at, 4);
    if (length < static_cast<long>(kFieldHeader) || at + static_cast<std::size_t>(length) > row.size()) break;
    if (length > static_cast<long>(kFieldHeader)) {
      std::string_view text = row.substr(at + kFieldHeader, static_cast<std::size_t>(length) - kFieldHeader);
      while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
      return std::string(text);
    }
    at += static_cast<std::size_t>(length);
  }
  return {};
}

}  // namespace

void bat_params_from_statistics(Service& service, ParamList& params, std::string_view name) {
  if (name.empty()) return;
  const std::string path = service.configs.get(service.state.server_config, "Files", "Statistics");
  if (path.empty()) return;
  const int handle = service.configs.load(path);
  if (handle <= 0) return;
  add_section(params, service.configs.enumerate(handle, name));
  service.configs.close(handle);
}

void bat_params_from_imex(Service& service, ParamList& params, std::string_view name) {
  add_section(params, service.configs.enumerate(service.state.server_config, "Imex"));
  if (!name.empty()) add_section(params, service.configs.enumerate(service.state.server_config, name));
}

ResultCode bat_request_item(std::string_view data, std::string& name, std::string& value, int& index) {
  name.clear();
  value.clear();
  if (data.empty()) return kNoData;
  std::size_t at = 0;
  for (int row = 0;; ++row) {
    const long length = digits(data, at, 4);
    if (length < static_cast<long>(kRowHeader) || at + static_cast<std::size_t>(length) > data.size()) {
      return kNoRow;
    }
    if (row == index) {
      const std::string field = first_field(data.substr(at, static_cast<std::size_t>(length)));
      const std::size_t eq = field.find('=');
      name = field.substr(0, eq);
      if (eq != std::string::npos) value = field.substr(eq + 1);
      ++index;
      return 0;
    }
    at += static_cast<std::size_t>(length);
  }
}

void bat_check_report(const MessageLookup& text, std::span<const unsigned char> findings,
                      const std::function<void(const std::string&)>& emit) {
  std::size_t at = 0;
  while (at + 2 <= findings.size()) {
    const std::size_t length = get_u16(findings.data() + at);
    if (length < 9 || at + length > findings.size()) break;  // a cut finding ends the buffer
    const unsigned char* f = findings.data() + at;
    const std::string tag(reinterpret_cast<const char*>(f + 2), 3);
    const int occurrence = get_u16(f + 5);
    const int number = get_u16(f + 7);
    std::array<std::string, 5> texts;
    std::size_t p = 9;
    for (std::string& t : texts) {
      if (p + 2 > length) break;
      const std::size_t n = std::min<std::size_t>(get_u16(f + p), length - p - 2);
      t.assign(reinterpret_cast<const char*>(f + p + 2), n);
      p += 2 + n;
    }
    std::string message = text("CAT_CHECK_ERROR", number);
    if (message.empty()) message = text("CAT_CHECK_WARNING", number);
    std::string line = "TAG: ";
    line += tag;
    if (occurrence != 0) {
      line += '.';
      line += std::to_string(occurrence);
    }
    line += ' ';
    for (std::size_t i = 0; i < message.size(); ++i) {
      if (message[i] != '&' || i + 1 == message.size()) {
        line += message[i];
        continue;
      }
      const char next = message[++i];
      if (next >= '1' && next <= '5') {
        line += texts[static_cast<std::size_t>(next - '1')];
      } else {
        line += next;
      }
    }
    emit(line);
    at += length;
  }
}

ResultCode CounterTable::add(std::string_view name, int index, long n, double amount) {
  if (index < 0 || index > 9) return kBadIndex;
  auto row = std::find_if(rows_.begin(), rows_.end(), [&](const CounterRow& r) { return r.name == name; });
  if (row == rows_.end()) {
    rows_.push_back(CounterRow{std::string(name), {}, {}});
    row = rows_.end() - 1;
  }
  row->counts[static_cast<std::size_t>(index)] += n;
  row->amounts[static_cast<std::size_t>(index)] += amount;
  return 0;
}

void CounterTable::sort() {
  std::stable_sort(rows_.begin(), rows_.end(), [](const CounterRow& a, const CounterRow& b) {
    return cut_to(a.name, kSortedNameLength) < cut_to(b.name, kSortedNameLength);
  });
}

CounterRow CounterTable::total() const {
  CounterRow sum;
  for (const CounterRow& r : rows_) {
    for (std::size_t i = 0; i < sum.counts.size(); ++i) {
      sum.counts[i] += r.counts[i];
      sum.amounts[i] += r.amounts[i];
    }
  }
  return sum;
}

}  // namespace corvanta
