#include "library/cash.h"

#include <algorithm>
#include <cmath>

#include "pool/data_walk.h"
#include "util/big_endian.h"

namespace corvanta::records {

namespace {

void put_text(unsigned char* at, std::size_t width, std::string_view text) {
  for (std::size_t i = 0; i < width; ++i) at[i] = i < text.size() ? static_cast<unsigned char>(text[i]) : ' ';
}

std::string get_text(const unsigned char* at, std::size_t width) {
  std::string out(reinterpret_cast<const char*>(at), width);
  while (!out.empty() && (out.back() == ' ' || out.back() == '\0')) out.pop_back();
  return out;
}

}  // namespace

CashKey cash_key(std::uint32_t borrower, std::uint32_t number) {
  CashKey key{};
  put_u32(key.data(), borrower);
  put_u32(key.data() + 4, number);
  return key;
}

CashValue encode_cash(const CashTransaction& t) {
  CashValue v{};
  put_text(v.data(), 10, t.type);
  put_u32(v.data() + 10, t.item);
  put_text(v.data() + 14, 5, t.sublib);
  const auto cents = static_cast<std::uint64_t>(t.cents);
  put_u32(v.data() + 19, static_cast<std::uint32_t>(cents >> 32));
  put_u32(v.data() + 23, static_cast<std::uint32_t>(cents));
  put_text(v.data() + 27, 8, t.date);
  v[35] = static_cast<unsigned char>(t.state);
  return v;
}

bool decode_cash(const CashKey& key, std::span<const unsigned char> value, CashTransaction& out) {
  if (value.size() < 36) return false;
  out.borrower = get_u32(key.data());
  out.number = get_u32(key.data() + 4);
  out.type = get_text(value.data(), 10);
  out.item = get_u32(value.data() + 10);
  out.sublib = get_text(value.data() + 14, 5);
  const std::uint64_t cents = (std::uint64_t{get_u32(value.data() + 19)} << 32) | get_u32(value.data() + 23);
  out.cents = static_cast<std::int64_t>(cents);
  out.date = get_text(value.data() + 27, 8);
  out.state = static_cast<char>(value[35]);
  return true;
}

std::int64_t cash_cents(double amount) {
  if (!std::isfinite(amount)) return 0;
  // Beyond any real amount; keeps the conversion defined.
  amount = std::clamp(amount, -1e15, 1e15);
  return std::llround(amount * 100.0);
}

ResultCode CashBook::transactions(std::uint32_t borrower, std::vector<CashTransaction>& out) {
  out.clear();
  const CashKey start = cash_key(borrower, 0);
  return walk_prefix(dbm_, pool_, file_, start, 4, kCashValueLength,
                     [&](std::span<const unsigned char> key, std::span<const unsigned char> value) {
                       CashKey k{};
                       std::copy(key.begin(), key.begin() + static_cast<std::ptrdiff_t>(k.size()), k.begin());
                       CashTransaction t;
                       if (decode_cash(k, value, t)) out.push_back(std::move(t));
                       return ResultCode(0);
                     });
}

ResultCode CashBook::post(std::string_view type, std::uint32_t borrower, std::uint32_t item,
                          std::string_view sublib, double amount, std::string_view date) {
  std::vector<CashTransaction> existing;
  if (const ResultCode rc = transactions(borrower, existing); rc.failed()) return rc;
  CashTransaction t;
  t.borrower = borrower;
  t.number = existing.empty() ? 1 : existing.back().number + 1;
  t.type = std::string(type.substr(0, 10));
  t.item = item;
  t.sublib = std::string(sublib.substr(0, 5));
  t.cents = cash_cents(amount);
  t.date = std::string(date.substr(0, 8));
  const CashKey key = cash_key(borrower, t.number);
  const CashValue value = encode_cash(t);
  return dbm_.insert(pool_, file_, key.data(), value);
}

ResultCode CashBook::balance(std::uint32_t borrower, double& out) {
  out = 0;
  std::vector<CashTransaction> all;
  if (const ResultCode rc = transactions(borrower, all); rc.failed()) return rc;
  std::int64_t cents = 0;
  for (const CashTransaction& t : all) {
    if (t.state == 'O') cents += t.cents;
  }
  out = static_cast<double>(cents) / 100.0;
  return 0;
}

}  // namespace corvanta::records
