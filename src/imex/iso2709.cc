#include "imex/iso2709.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace corvanta::imex {
namespace {

// The decimal number of `text` when it is all digits.
bool digits(std::string_view text, std::size_t& out) {
  if (text.empty()) return false;
  out = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
    out = out * 10 + static_cast<std::size_t>(c - '0');
  }
  return true;
}

// `width` decimal digits of `n` (its low digits when it is wider).
void put_digits(char* at, std::size_t n, int width) {
  for (int i = width - 1; i >= 0; --i) {
    at[i] = static_cast<char>('0' + n % 10);
    n /= 10;
  }
}

bool control_tag(std::string_view tag) {
  return tag.size() == 3 && tag[0] == '0' && tag[1] == '0';
}

}  // namespace

void marc21_leader(std::string& leader, bool utf8) {
  const auto in = [](char c, std::string_view set) { return set.find(c) != std::string_view::npos; };
  const bool marc = leader.size() == kLeaderSize && in(leader[5], "acdnp") &&
                    in(leader[6], "acdefgijkmoprt") && in(leader[7], "abcdims");
  if (!marc) leader = "00000nam  2200000 u 4500";
  leader[10] = '2';
  leader[11] = '2';
  leader.replace(20, 4, "4500");
  if (utf8) leader[9] = 'a';
}

ResultCode iso2709_decode(std::string_view image, MarcRecord& out, Problem& why) {
  // The fields' strings are reused from record to record.
  std::size_t count = 0;
  const auto finish = [&](ResultCode rc) {
    out.fields.resize(count);
    return rc;
  };
  out.leader.clear();
  if (!image.empty() && image.back() == kRecordEnd) image.remove_suffix(1);
  if (image.size() < kLeaderSize + 1) {
    why = {kMsgShortRecord, std::to_string(image.size())};
    return finish(kBadRecord);
  }
  out.leader.assign(image.substr(0, kLeaderSize));
  std::size_t base = 0;
  if (!digits(image.substr(12, 5), base)) {
    why = {kMsgBadBaseAddress, std::string(image.substr(12, 5))};
    return finish(kBadRecord);
  }
  if (base < kLeaderSize + 1 || base > image.size()) {
    why = {kMsgBadBaseAddress, std::to_string(base)};
    return finish(kBadRecord);
  }
  std::size_t indicator_count = 2;
  if (const char c = out.leader[10]; c >= '0' && c <= '2')
    indicator_count = static_cast<std::size_t>(c - '0');
  const std::string_view directory = image.substr(kLeaderSize, base - kLeaderSize - 1);
  if (directory.size() % 12 != 0) {
    why = {kMsgBadDirectory, std::to_string(directory.size())};
    return finish(kBadRecord);
  }
  const std::string_view data = image.substr(base);
  for (std::size_t at = 0; at + 12 <= directory.size() && directory[at] >= '0'; at += 12) {
    const std::string_view entry = directory.substr(at, 12);
    std::size_t length = 0;
    std::size_t start = 0;
    if (!digits(entry.substr(3, 4), length) || !digits(entry.substr(7, 5), start)) {
      why = {kMsgBadDirectory, std::string(entry)};
      return finish(kBadRecord);
    }
    if (count == out.fields.size()) out.fields.emplace_back();
    MarcField& f = out.fields[count];
    f.tag.assign(entry.substr(0, 3));
    f.indicators.clear();
    if (length == 0 || start + length > data.size()) {
      why = {kMsgFieldOutside, f.tag};
      return finish(kBadRecord);
    }
    std::string_view content = data.substr(start, length);
    if (content.back() == kFieldEnd) content.remove_suffix(1);
    if (!control_tag(f.tag)) {
      if (content.size() < indicator_count) {
        why = {kMsgShortField, f.tag};
        return finish(kBadRecord);
      }
      f.indicators.assign(content.substr(0, indicator_count));
      content.remove_prefix(indicator_count);
    }
    f.content.assign(content);
    ++count;
  }
  if (count == 0) {
    why = {kMsgNoFields, ""};
    return finish(kBadRecord);
  }
  return finish(0);
}

void iso2709_encode(const MarcRecord& record, std::string& out) {
  // Leader and directory first, with room for the numbers; the data after.
  std::size_t directory_size = 12 * record.fields.size() + 1;
  std::size_t data_size = 0;
  for (const MarcField& f : record.fields)
    data_size += (control_tag(f.tag) ? 0 : f.indicators.size()) + f.content.size() + 1;
  const std::size_t base = kLeaderSize + directory_size;
  const std::size_t total = base + data_size + 1;
  out.resize(total);
  char* p = out.data();
  if (record.leader.size() == kLeaderSize) {
    std::memcpy(p, record.leader.data(), kLeaderSize);
  } else {
    std::memset(p, ' ', kLeaderSize);
  }
  put_digits(p, total, 5);
  put_digits(p + 12, base, 5);
  if (p[10] == ' ') p[10] = '2';  // the fields carry as many indicators as the leader says
  char* entry = p + kLeaderSize;
  char* data = p + base;
  std::size_t at = 0;
  for (const MarcField& f : record.fields) {
    const std::size_t indicators = control_tag(f.tag) ? 0 : f.indicators.size();
    const std::size_t length = indicators + f.content.size() + 1;
    for (std::size_t i = 0; i < 3; ++i) entry[i] = i < f.tag.size() ? f.tag[i] : ' ';  // bytes as they are
    put_digits(entry + 3, length, 4);
    put_digits(entry + 7, at, 5);
    entry += 12;
    std::memcpy(data + at, f.indicators.data(), indicators);
    std::memcpy(data + at + indicators, f.content.data(), f.content.size());
    data[at + length - 1] = kFieldEnd;
    at += length;
  }
  *entry = kFieldEnd;
  p[total - 1] = kRecordEnd;
}

std::string iso2709_encode(const MarcRecord& record) {
  std::string out;
  iso2709_encode(record, out);
  return out;
}

ResultCode Iso2709Reader::next(MarcRecord& record, std::string& image, Problem& why, std::size_t limit) {
  // Bytes below 29 between records are passed over.
  for (;;) {
    const std::string_view b = in_.peek(1);
    if (b.empty() || static_cast<unsigned char>(b[0]) >= 29) break;
    in_.consume(1);
  }
  if (in_.at_end()) return in_.failed() ? ResultCode(kCannotRead) : ResultCode(1);
  ++count_;
  // A record that does not hold is passed over up to its terminator, or up
  // to the start of the next record when that comes first (a record cut
  // short lost its terminator and would take the next one with it). At
  // most kMaxKept bytes of it are kept.
  constexpr std::size_t kMaxKept = 1 << 20;
  const auto starts_record = [](std::string_view at) {
    if (at.size() < kLeaderSize) return false;
    std::size_t n = 0;
    return digits(at.substr(0, 5), n) && at.substr(10, 2) == "22" && digits(at.substr(12, 5), n) &&
           at.substr(20, 4) == "4500";
  };
  auto skip_to_terminator = [&](std::size_t from) {
    image.clear();
    for (;;) {
      const std::string_view chunk = in_.peek(from + 4096 + kLeaderSize);
      const std::size_t scan = std::min(chunk.size(), from + 4096);
      std::size_t stop = std::string_view::npos;
      for (std::size_t i = from; i < scan; ++i) {
        if (chunk[i] == kRecordEnd) {
          stop = i + 1;
          break;
        }
        if ((i > 0 || !image.empty()) && chunk[i] >= '0' && chunk[i] <= '9' &&
            starts_record(chunk.substr(i))) {
          stop = i;
          break;
        }
      }
      if (stop == std::string_view::npos && scan == chunk.size()) stop = chunk.size();  // the end
      const std::size_t take = stop == std::string_view::npos ? scan : stop;
      if (image.size() < kMaxKept) image.append(chunk.substr(0, std::min(take, kMaxKept - image.size())));
      in_.consume(take);
      if (stop != std::string_view::npos) return ResultCode(kBadRecord);
      from = 0;
    }
  };
  std::size_t length = 0;
  const std::string_view head = in_.peek(5);
  if (head.size() < 5 || !digits(head, length)) {
    why = {kMsgLengthNotNumber, std::string(head)};
    return skip_to_terminator(0);
  }
  std::string_view whole = in_.peek(length + 1);
  if (length >= kLeaderSize + 2 && whole.size() >= length && whole[length - 1] == kFieldEnd) {
    // A length that leaves out only the record terminator: the record
    // holds what the length declares, and its terminator follows.
    if (whole.size() > length && whole[length] == kRecordEnd) ++length;
    whole = whole.substr(0, length);
  } else if (length < kLeaderSize + 2 || whole.size() < length || whole[length - 1] != kRecordEnd) {
    why = {kMsgLengthMismatch, std::to_string(length)};
    return skip_to_terminator(5);
  } else {
    whole = whole.substr(0, length);
  }
  image.assign(whole);
  in_.consume(length);
  // Line ends inside a record (from a transfer that added them) are blanks.
  for (char& c : image) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  if (length > limit) {
    why = {kMsgRecordTooLong, std::to_string(length)};
    return kBadRecord;
  }
  return iso2709_decode(image, record, why);
}

}  // namespace corvanta::imex
