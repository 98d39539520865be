#include "library/setup_tables.h"

#include <algorithm>
#include <cstring>

#include "util/date.h"
#include "util/text.h"

namespace corvanta::records {
namespace {

struct Block {
  std::string_view name;
  std::string_view code;
};

// In this order: a header's block is the last name of the list that it
// begins with.
constexpr std::array<Block, 14> kBlocks{{
    {"Opening", "OPN"},
    {"Weekdays", "WDY"},
    {"Limit", "LIM"},
    {"Permission", "PRM"},
    {"ItemPermission", "IPM"},
    {"BorrPermission", "BPM"},
    {"Period", "PRD"},
    {"ItemPeriod", "IPD"},
    {"BorrPeriod", "BPD"},
    {"ItemFines", "IFI"},
    {"BorrFines", "BFI"},
    {"Reminder", "REM"},
    {"Address", "ADR"},
    {"Sublib", "SUB"},
}};

void put(SetupKey& key, std::size_t at, std::size_t width, std::string_view text) {
  if (!text.empty()) std::memcpy(key.data() + at, text.data(), std::min(width, text.size()));
}

std::string part(const SetupKey& key, std::size_t at, std::size_t width) {
  std::string s(reinterpret_cast<const char*>(key.data() + at), width);
  while (!s.empty() && s.back() == ' ') s.pop_back();
  return s;
}

std::span<const unsigned char> bytes(std::string_view value) {
  return {reinterpret_cast<const unsigned char*>(value.data()), std::min(value.size(), kSetupValueLength)};
}

bool is_control(unsigned char c) {
  return c < 0x20 || c == 0x7F;
}

// A header line's block (the text behind "(") and sub-library.
void split_header(std::string_view line, std::string& block, std::optional<std::string>& sublib) {
  const std::string_view text = line.substr(1);
  block.clear();
  for (const Block& b : kBlocks) {
    if (text.size() >= b.name.size() && equal_nocase(text.substr(0, b.name.size()), b.name)) {
      block = std::string(b.name);
    }
  }
  std::string s;
  for (std::size_t i = block.size(); i < text.size() && s.size() < kSetupSublibLength; ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c == ')' || is_control(c)) break;
    s.push_back(static_cast<char>(c));
  }
  // A header without one stands for entries of no sub-library.
  if (s.empty()) {
    sublib.reset();
  } else {
    sublib = std::move(s);
  }
}

}  // namespace

std::string_view setup_block_code(std::string_view name) {
  for (const Block& b : kBlocks) {
    if (equal_nocase(name, b.name)) return b.code;
  }
  return {};
}

std::string_view setup_block_name(std::string_view code) {
  for (const Block& b : kBlocks) {
    if (code == b.code) return b.name;
  }
  return {};
}

SetupKey setup_key(std::optional<std::string_view> sublib, std::string_view block, std::string_view entry) {
  SetupKey key;
  key.fill(' ');
  if (!sublib || sublib->size() > kSetupSublibLength) sublib = kGeneralSublib;
  put(key, 0, kSetupSublibLength, *sublib);
  put(key, 5, 3, setup_block_code(block));
  if (entry.size() <= kSetupEntryLength) put(key, 8, kSetupEntryLength, entry);
  return key;
}

SetupEntry split_setup_key(const SetupKey& key) {
  SetupEntry e;
  e.sublib = part(key, 0, kSetupSublibLength);
  e.block = std::string(setup_block_name(part(key, 5, 3)));
  e.entry = part(key, 8, kSetupEntryLength);
  return e;
}

// --- the store ---

ResultCode SetupStore::read(std::optional<std::string_view> sublib, std::string_view block,
                            std::string_view entry, std::string& value) {
  value.clear();
  const SetupKey key = setup_key(sublib, block, entry);
  dbm::DataRef ref{{value_.data(), value_.size()}};
  const ResultCode rc = dbm_.read(pool_, file_, key.data(), ref);
  if (rc.code() == 0 || rc.code() == dbm::kTruncated) {
    value.assign(reinterpret_cast<const char*>(value_.data()), std::min(ref.length, value_.size()));
    return 0;
  }
  return rc;
}

ResultCode SetupStore::load(std::optional<std::string_view> sublib, std::string_view block,
                            std::string_view entry, std::string_view value) {
  return dbm_.load(pool_, file_, setup_key(sublib, block, entry).data(), bytes(value));
}

ResultCode SetupStore::insert(std::optional<std::string_view> sublib, std::string_view block,
                              std::string_view entry, std::string_view value) {
  return dbm_.insert(pool_, file_, setup_key(sublib, block, entry).data(), bytes(value));
}

ResultCode SetupStore::update(std::optional<std::string_view> sublib, std::string_view block,
                              std::string_view entry, std::string_view value) {
  return dbm_.update(pool_, file_, setup_key(sublib, block, entry).data(), bytes(value));
}

ResultCode SetupStore::remove(std::optional<std::string_view> sublib, std::string_view block,
                              std::string_view entry) {
  return dbm_.remove(pool_, file_, setup_key(sublib, block, entry).data());
}

ResultCode SetupStore::walk_result(ResultCode rc, SetupEntry& out) {
  out = {};
  if (rc.failed()) return rc;
  if (rc.code() != 0 && rc.code() != dbm::kTruncated) return 1;  // the end
  out = split_setup_key(key_);
  out.value.assign(reinterpret_cast<const char*>(value_.data()), std::min(value_.size(), last_length_));
  return 0;
}

ResultCode SetupStore::position(const SetupKey& key, SetupEntry& out) {
  key_ = key;
  dbm::DataRef ref{{value_.data(), value_.size()}};
  const ResultCode rc = dbm_.set(pool_, file_, key_.data(), position_, ref);
  last_length_ = ref.length;
  return walk_result(rc, out);
}

ResultCode SetupStore::first(std::optional<std::string_view> sublib, std::string_view block,
                             SetupEntry& out) {
  return position(setup_key(sublib, block, {}), out);
}

bool SetupStore::in_block(std::optional<std::string_view> sublib, std::string_view block) const {
  const SetupKey wanted = setup_key(sublib, block, {});
  return equal_nocase(std::string_view(reinterpret_cast<const char*>(key_.data()), 8),
                      std::string_view(reinterpret_cast<const char*>(wanted.data()), 8));
}

ResultCode SetupStore::next(SetupEntry& out) {
  dbm::DataRef ref{{value_.data(), value_.size()}};
  const ResultCode rc = dbm_.get(pool_, file_, key_.data(), position_, ref);
  last_length_ = ref.length;
  return walk_result(rc, out);
}

ResultCode SetupStore::delete_block(std::optional<std::string_view> sublib, std::string_view block,
                                    std::size_t& count) {
  count = 0;
  for (;;) {
    SetupEntry e;
    const ResultCode rc = first(sublib, block, e);
    if (rc.code() != 0) return rc.failed() ? rc : ResultCode(0);
    if (!in_block(sublib, block)) return 0;
    if (const ResultCode d = dbm_.remove(pool_, file_, key_.data()); d.code() != 0) return d.failed() ? d : 1;
    ++count;
  }
}

ResultCode SetupStore::export_text(std::string_view sublib, std::string_view block,
                                   const std::function<bool(std::string_view)>& write, std::size_t& count) {
  count = 0;
  const std::string_view code = setup_block_code(block);
  std::string last_sublib;
  std::string last_block;
  bool header = false;
  SetupEntry e;
  // From the first key of the sub-library (or of the file) in key order.
  SetupKey start;
  start.fill(0);
  ResultCode rc = sublib.empty() ? position(start, e) : first(sublib, {}, e);
  const std::string wanted_sublib = part(setup_key(sublib, {}, {}), 0, kSetupSublibLength);
  for (; rc.code() == 0; rc = next(e)) {
    const std::string key_sublib = part(key_, 0, kSetupSublibLength);
    if (!sublib.empty() && key_sublib != wanted_sublib) break;
    if (!code.empty() && part(key_, 5, 3) != code) continue;
    if (!header || key_sublib != last_sublib || e.block != last_block) {
      std::string text = "\n(" + e.block;
      if (key_sublib != kGeneralSublib) text += key_sublib;
      text += ")\n";
      if (!write(text)) return -16;
      last_sublib = key_sublib;
      last_block = e.block;
      header = true;
    }
    if (!write(e.entry + " = " + e.value + "\n")) return -16;
    ++count;
  }
  return rc.failed() ? rc : ResultCode(0);
}

ResultCode SetupStore::import_text(const std::function<bool(std::string&)>& next_line,
                                   const std::function<std::string(std::string_view)>& convert,
                                   std::size_t& count) {
  count = 0;
  std::string block;
  std::optional<std::string> sublib;
  std::string line;
  while (next_line(line)) {
    if (line.size() > kSetupValueLength) line.resize(kSetupValueLength);
    if (line.size() < 2 || line[0] == '*' || line[0] == '!' || line[0] == ' ' ||
        is_control(static_cast<unsigned char>(line[0])))
      continue;
    if (line[0] == '(') {
      split_header(line, block, sublib);
      continue;
    }
    std::size_t i = 0;
    while (i < line.size() && line[i] != '=' && line[i] != ' ') ++i;
    const std::string entry = line.substr(0, std::min(i, kSetupEntryLength));
    while (i < line.size() && (line[i] == ' ' || line[i] == '=')) ++i;
    std::size_t end = i;
    while (end < line.size() && !is_control(static_cast<unsigned char>(line[end]))) ++end;
    const std::string_view value = std::string_view(line).substr(i, end - i);
    const std::string stored = convert ? convert(value) : std::string(value);
    const std::optional<std::string_view> s =
        sublib ? std::optional<std::string_view>(*sublib) : std::nullopt;
    if (const ResultCode rc = load(s, block, entry, stored); rc.code() != 0) return rc.failed() ? rc : 1;
    ++count;
  }
  return 0;
}

// --- lookups ---

PolicyLookup::PolicyLookup(SetupStore* store, std::string_view sublib) : store_(store), sublib_(sublib) {}

std::string PolicyLookup::lookup_in(Scope scope, std::string_view block, std::string_view key) const {
  std::string value;
  if (store_ != nullptr) (void)store_->read(scope, block, key, value);
  return value;
}

template <typename Chain>
std::string PolicyLookup::sublib_then_general(Chain chain) const {
  std::string value = chain(Scope(sublib_));
  if (value.empty() && sublib_ != kGeneralSublib) value = chain(std::nullopt);
  return value;
}

std::string PolicyLookup::lookup(std::string_view block, std::string_view key) const {
  return sublib_then_general([&](Scope scope) { return lookup_in(scope, block, key); });
}

std::string PolicyLookup::lookup_status(std::string_view block, std::string_view key) const {
  return sublib_then_general([&](Scope scope) {
    std::string value = lookup_in(scope, block, key);
    if (!value.empty()) return value;
    if (key.size() == 2) return lookup_in(scope, block, "##");
    std::string k(key);
    k.replace(0, std::min<std::size_t>(2, k.size()), "##");
    value = lookup_in(scope, block, k);
    if (!value.empty() || key.size() != 4) return value;
    value = lookup_in(scope, block, std::string(key.substr(0, 2)) + "##");
    if (!value.empty()) return value;
    return lookup_in(scope, block, "####");
  });
}

std::string PolicyLookup::lookup_prefix(std::string_view block, std::string_view key) const {
  return sublib_then_general([&](Scope scope) {
    std::string value = lookup_in(scope, block, key);
    if (!value.empty()) return value;
    std::string k(key);
    k.replace(0, std::min<std::size_t>(4, k.size()), "####");
    return lookup_in(scope, block, k);
  });
}

std::string PolicyLookup::item(std::string_view value, std::string_view name) {
  std::size_t i = 0;
  if (!name.empty()) {
    for (;;) {
      while (i < value.size() && (value[i] == ' ' || value[i] == ',')) ++i;
      if (i >= value.size()) return {};
      const std::size_t start = i;
      while (i < value.size() && value[i] != '=' && value[i] != ',') ++i;
      std::string_view item_name = value.substr(start, i - start);
      while (!item_name.empty() && item_name.back() == ' ') item_name.remove_suffix(1);
      if (i < value.size() && value[i] == '=' && equal_nocase(item_name, name)) break;
      while (i < value.size() && value[i] != ',') ++i;
    }
  }
  while (i < value.size() && (value[i] == '=' || value[i] == ' ')) ++i;
  const std::size_t start = i;
  while (i < value.size() && value[i] != ',') ++i;
  return std::string(value.substr(start, i - start));
}

bool PolicyLookup::closed(std::string_view date) const {
  if (lookup_prefix("Opening", date).starts_with('C')) return true;
  static constexpr std::array<std::string_view, 7> kDays{"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  const int day = date_weekday(6, date);
  if (day < 0 || day > 6) return false;
  return item(lookup("Weekdays", kDays[static_cast<std::size_t>(day)]), {}).starts_with('C');
}

std::string PolicyLookup::reminder_item(std::string_view status1, std::string_view status2, int sent,
                                        std::string_view name) const {
  auto two = [](std::string_view s) {
    std::string t(s.substr(0, 2));
    t.resize(2, ' ');
    return t;
  };
  const std::string n(1, static_cast<char>('0' + std::clamp(sent, 0, 9)));
  const std::string b = two(status1);
  const std::string i = two(status2);
  return sublib_then_general([&](Scope scope) {
    for (const std::string& key : {b + i + n, "##" + i + n, b + "##" + n, "####" + n}) {
      std::string v = item(lookup_in(scope, "Reminder", key), name);
      if (!v.empty()) return v;
    }
    return std::string();
  });
}

}  // namespace corvanta::records
