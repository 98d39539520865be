#include "library/acquisition.h"

#include <algorithm>
#include <cstdlib>

#include "pool/data_walk.h"
#include "util/big_endian.h"
#include "util/date.h"

namespace corvanta::records {

namespace {

constexpr std::size_t kValueRoom = 10 + kOrderLogTextLength;
constexpr int kMaxClaims = 9;

std::array<unsigned char, kOrderLogKeyLength> log_key(std::uint32_t order, std::uint32_t number) {
  std::array<unsigned char, kOrderLogKeyLength> key{};
  put_u32(key.data(), order);
  put_u32(key.data() + 4, number);
  return key;
}

// The text of a field of a record in external form; "" when absent.
std::string field_text_of(RecordHandle& h, const char* tag) {
  FieldDesc f;
  f.tag = tag;
  f.occurrence = 1;
  if (fld_get(h, f).code() != 0) return {};
  std::string text(f.content());
  while (!text.empty() && text.back() == ' ') text.pop_back();
  return text;
}

}  // namespace

ResultCode OrderLog::entries(std::uint32_t order, std::vector<OrderLogEntry>& out) {
  out.clear();
  const auto start = log_key(order, 0);
  return walk_prefix(dbm_, pool_, file_, start, 4, kValueRoom,
                     [&](std::span<const unsigned char> key, std::span<const unsigned char> value) {
                       const std::string_view v(reinterpret_cast<const char*>(value.data()), value.size());
                       OrderLogEntry e;
                       e.order = order;
                       e.number = get_u32(key.data() + 4);
                       e.type = std::string(v.substr(0, 2));
                       e.date = std::string(v.substr(std::min<std::size_t>(2, v.size()), 8));
                       e.text = std::string(v.substr(std::min<std::size_t>(10, v.size())));
                       out.push_back(std::move(e));
                       return ResultCode(0);
                     });
}

ResultCode OrderLog::add(std::uint32_t order, std::string_view type, std::string_view date,
                         std::string_view text) {
  std::vector<OrderLogEntry> existing;
  if (const ResultCode rc = entries(order, existing); rc.failed()) return rc;
  std::string value(type.substr(0, 2));
  value.resize(2, ' ');
  std::string day(date.substr(0, 8));
  day.resize(8, ' ');
  value += day;
  value += text.substr(0, kOrderLogTextLength);
  const auto key = log_key(order, existing.empty() ? 1 : existing.back().number + 1);
  return dbm_.insert(pool_, file_, key.data(),
                     {reinterpret_cast<const unsigned char*>(value.data()), value.size()});
}

ResultCode recompute_order(RecordHandle& order, std::string_view date, int claims) {
  const std::string interval_text = field_text_of(order, "117");
  // Days as digits only; anything else is the default.
  long interval = kDefaultClaimInterval;
  if (!interval_text.empty() && interval_text.size() <= 4 &&
      interval_text.find_first_not_of("0123456789") == std::string::npos) {
    const long days = std::strtol(interval_text.c_str(), nullptr, 10);
    if (days > 0) interval = days;
  }
  std::string next;
  if (date_add_days(6, 6, date, next, interval) != 0) next = std::string(date);
  if (const ResultCode rc = fld_set_text(order, "127", next); rc.failed()) return rc;
  if (claims >= kMaxClaims) {
    if (const ResultCode rc = fld_set_text(order, "128", "N"); rc.failed()) return rc;
  }
  return 0;
}

}  // namespace corvanta::records
