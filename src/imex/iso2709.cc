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

ResultCode iso2709_decode(std::string_view image, MarcRecord& out, std::string& why) {
  out = MarcRecord{};
  if (!image.empty() && image.back() == kRecordEnd) image.remove_suffix(1);
  if (image.size() < kLeaderSize + 1) {
    why = "record shorter than its leader";
    return kBadRecord;
  }
  out.leader = std::string(image.substr(0, kLeaderSize));
  std::size_t base = 0;
  if (!digits(image.substr(12, 5), base)) {
    why = "base address not a number: " + std::string(image.substr(12, 5));
    return kBadRecord;
  }
  if (base < kLeaderSize + 1 || base > image.size()) {
    why = "base address " + std::to_string(base) + " outside the record";
    return kBadRecord;
  }
  std::size_t indicator_count = 2;
  if (const char c = out.leader[10]; c >= '0' && c <= '2')
    indicator_count = static_cast<std::size_t>(c - '0');
  const std::string_view directory = image.substr(kLeaderSize, base - kLeaderSize - 1);
  if (directory.size() % 12 != 0) {
    why = "directory length " + std::to_string(directory.size()) + " not a multiple of 12";
    return kBadRecord;
  }
  const std::string_view data = image.substr(base);
  for (std::size_t at = 0; at + 12 <= directory.size() && directory[at] >= '0'; at += 12) {
    const std::string_view entry = directory.substr(at, 12);
    std::size_t length = 0;
    std::size_t start = 0;
    if (!digits(entry.substr(3, 4), length) || !digits(entry.substr(7, 5), start)) {
      why = "directory entry not readable: " + std::string(entry);
      return kBadRecord;
    }
    MarcField f;
    f.tag = std::string(entry.substr(0, 3));
    if (length == 0 || start + length > data.size()) {
      why = "field " + f.tag + " outside the record";
      return kBadRecord;
    }
    std::string_view content = data.substr(start, length);
    if (content.back() == kFieldEnd) content.remove_suffix(1);
    if (!control_tag(f.tag)) {
      if (content.size() < indicator_count) {
        why = "field " + f.tag + " shorter than its indicators";
        return kBadRecord;
      }
      f.indicators = std::string(content.substr(0, indicator_count));
      content.remove_prefix(indicator_count);
    }
    f.content = std::string(content);
    out.fields.push_back(std::move(f));
  }
  if (out.fields.empty()) {
    why = "no fields";
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
  if (leader[10] == ' ') leader[10] = '2';
  return leader + directory + data + kRecordEnd;
}

ResultCode Iso2709Reader::next(MarcRecord& record, std::string& image, std::string& why) {
  // Bytes below 29 between records are passed over.
  while (at_ < data_.size() && static_cast<unsigned char>(data_[at_]) < 29) ++at_;
  if (at_ >= data_.size()) return 1;
  ++count_;
  auto skip_to_terminator = [&] {
    const std::size_t end = data_.find(kRecordEnd, at_);
    const std::size_t stop = end == std::string_view::npos ? data_.size() : end + 1;
    image = std::string(data_.substr(at_, stop - at_));
    at_ = stop;
    return ResultCode(kBadRecord);
  };
  std::size_t length = 0;
  if (at_ + 5 > data_.size() || !digits(data_.substr(at_, 5), length)) {
    why = "record length not a number";
    return skip_to_terminator();
  }
  if (length < kLeaderSize + 2 || at_ + length > data_.size() || data_[at_ + length - 1] != kRecordEnd) {
    why = "record length " + std::to_string(length) + " does not end at a record terminator";
    return skip_to_terminator();
  }
  image = std::string(data_.substr(at_, length));
  at_ += length;
  return iso2709_decode(image, record, why);
}

}  // namespace corvanta::imex
