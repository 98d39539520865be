#include "imex/iso2709.h"

#include <cstdio>

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

bool control_tag(std::string_view tag) {
  return tag.size() == 3 && tag[0] == '0' && tag[1] == '0';
}

}  // namespace

ResultCode iso2709_decode(std::string_view image, MarcRecord& out, Problem& why) {
  out = MarcRecord{};
  if (!image.empty() && image.back() == kRecordEnd) image.remove_suffix(1);
  if (image.size() < kLeaderSize + 1) {
    why = {kMsgShortRecord, std::to_string(image.size())};
    return kBadRecord;
  }
  out.leader = std::string(image.substr(0, kLeaderSize));
  std::size_t base = 0;
  if (!digits(image.substr(12, 5), base)) {
    why = {kMsgBadBaseAddress, std::string(image.substr(12, 5))};
    return kBadRecord;
  }
  if (base < kLeaderSize + 1 || base > image.size()) {
    why = {kMsgBadBaseAddress, std::to_string(base)};
    return kBadRecord;
  }
  std::size_t indicator_count = 2;
  if (const char c = out.leader[10]; c >= '0' && c <= '2')
    indicator_count = static_cast<std::size_t>(c - '0');
  const std::string_view directory = image.substr(kLeaderSize, base - kLeaderSize - 1);
  if (directory.size() % 12 != 0) {
    why = {kMsgBadDirectory, std::to_string(directory.size())};
    return kBadRecord;
  }
  const std::string_view data = image.substr(base);
  for (std::size_t at = 0; at + 12 <= directory.size() && directory[at] >= '0'; at += 12) {
    const std::string_view entry = directory.substr(at, 12);
    std::size_t length = 0;
    std::size_t start = 0;
    if (!digits(entry.substr(3, 4), length) || !digits(entry.substr(7, 5), start)) {
      why = {kMsgBadDirectory, std::string(entry)};
      return kBadRecord;
    }
    MarcField f;
    f.tag = std::string(entry.substr(0, 3));
    if (length == 0 || start + length > data.size()) {
      why = {kMsgFieldOutside, f.tag};
      return kBadRecord;
    }
    std::string_view content = data.substr(start, length);
    if (content.back() == kFieldEnd) content.remove_suffix(1);
    if (!control_tag(f.tag)) {
      if (content.size() < indicator_count) {
        why = {kMsgShortField, f.tag};
        return kBadRecord;
      }
      f.indicators = std::string(content.substr(0, indicator_count));
      content.remove_prefix(indicator_count);
    }
    f.content = std::string(content);
    out.fields.push_back(std::move(f));
  }
  if (out.fields.empty()) {
    why = {kMsgNoFields, ""};
    return kBadRecord;
  }
  return 0;
}

std::string iso2709_encode(const MarcRecord& record) {
  std::string leader = record.leader.size() == kLeaderSize ? record.leader : std::string(kLeaderSize, ' ');
  std::string directory;
  std::string data;
  for (const MarcField& f : record.fields) {
    const std::string body = (control_tag(f.tag) ? std::string() : f.indicators) + f.content + kFieldEnd;
    std::string tag = f.tag.substr(0, 3);  // bytes as they are, even zero bytes
    tag.resize(3, ' ');
    char numbers[16];
    std::snprintf(numbers, sizeof numbers, "%04zu%05zu", body.size() % 10000, data.size() % 100000);
    directory += tag;
    directory += numbers;
    data += body;
  }
  directory += kFieldEnd;
  const std::size_t base = kLeaderSize + directory.size();
  const std::size_t total = base + data.size() + 1;
  char number[8];
  std::snprintf(number, sizeof number, "%05zu", total % 100000);
  leader.replace(0, 5, number);
  std::snprintf(number, sizeof number, "%05zu", base % 100000);
  leader.replace(12, 5, number);
  leader[10] = '2';
  return leader + directory + data + kRecordEnd;
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
  // A record that does not hold is passed over up to its terminator.
  auto skip_to_terminator = [&](std::size_t from) {
    image.clear();
    for (;;) {
      const std::string_view chunk = in_.peek(from + 4096);
      const std::size_t end = chunk.find(kRecordEnd, from);
      if (end != std::string_view::npos || chunk.size() < from + 4096) {
        const std::size_t stop = end == std::string_view::npos ? chunk.size() : end + 1;
        image.append(chunk.substr(0, stop));
        in_.consume(stop);
        return ResultCode(kBadRecord);
      }
      image.append(chunk);
      in_.consume(chunk.size());
      from = 0;
    }
  };
  std::size_t length = 0;
  const std::string_view head = in_.peek(5);
  if (head.size() < 5 || !digits(head, length)) {
    why = {kMsgLengthNotNumber, std::string(head)};
    return skip_to_terminator(0);
  }
  const std::string_view whole = in_.peek(length);
  if (length < kLeaderSize + 2 || whole.size() < length || whole.back() != kRecordEnd) {
    why = {kMsgLengthMismatch, std::to_string(length)};
    return skip_to_terminator(5);
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
