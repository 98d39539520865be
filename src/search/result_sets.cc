#include "search/result_sets.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "util/big_endian.h"

namespace corvanta::records {
namespace {

constexpr std::uint32_t kMaxStoredHits = 16777216;  // more than any IDN range holds
constexpr std::uint32_t kMaxIdn = 0xFFFFFF;

std::string cut(std::string_view text, std::size_t max) {
  const std::size_t end = std::min({text.size(), max, text.find('\0')});
  return std::string(text.substr(0, end));
}

}  // namespace

void set_prepare(ResultSet& set, std::string_view pool, std::uint16_t file, std::uint32_t capacity) {
  set = ResultSet{};
  set.pool = cut(pool, kSetPoolName - 1);
  set.file = file;
  set.capacity = capacity;
  set.valid = true;
}

void set_reset(ResultSet& set) {
  set.hits.clear();
  set.query.clear();
  set.sort = {};
  set.direction = 0;
}

void set_release(ResultSet& set) {
  IdnList().swap(set.hits);
  set.valid = false;
}

std::string encode_stored_set(const ResultSet& set) {
  const std::uint32_t n = set.capacity == 0 ? 0 : set_count(set);
  std::string out(kStoredSetHeader + std::size_t{n} * 4, '\0');
  auto* p = reinterpret_cast<unsigned char*>(out.data());
  const std::string pool = cut(set.pool, kSetPoolName - 1);
  std::memcpy(p, pool.data(), pool.size());
  put_u16(p + 12, set.file);
  put_u32(p + 14, set.number);
  put_u32(p + 18, std::max(set.capacity, n));
  put_u32(p + 22, n);
  for (int k = 0; k < kSortKeys; ++k) put_u16(p + 26 + 2 * k, set.sort[static_cast<std::size_t>(k)]);
  p[32] = static_cast<unsigned char>(set.direction);
  const std::string query = cut(set.query, kMaxSetQuery);
  std::memcpy(p + 33, query.data(), query.size());
  if (n != 0) std::memcpy(p + kStoredSetHeader, set.hits.data(), std::size_t{n} * 4);
  return out;
}

ResultCode decode_stored_set(std::string_view bytes, ResultSet& set) {
  if (bytes.size() < kStoredSetHeader) return kSetUnreadable;
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  const std::uint32_t capacity = get_u32(p + 18);
  const std::uint32_t n = get_u32(p + 22);
  if (n > capacity || n > kMaxStoredHits) return kSetUnreadable;
  if (bytes.size() < kStoredSetHeader + std::size_t{n} * 4) return kSetUnreadable;
  ResultSet s;
  s.pool = cut(bytes.substr(0, kSetPoolName), kSetPoolName - 1);
  s.file = get_u16(p + 12);
  s.number = get_u32(p + 14);
  s.capacity = capacity;
  for (int k = 0; k < kSortKeys; ++k) s.sort[static_cast<std::size_t>(k)] = get_u16(p + 26 + 2 * k);
  s.direction = static_cast<char>(p[32]);
  s.query = cut(bytes.substr(33, kSetQueryText), kMaxSetQuery);
  try {
    s.hits.resize(n);
  } catch (const std::bad_alloc&) {
    return kSetNoMemory;
  }
  if (n != 0) std::memcpy(s.hits.data(), p + kStoredSetHeader, std::size_t{n} * 4);
  for (const std::uint32_t idn : s.hits) {
    if (idn == 0 || idn > kMaxIdn) return kSetUnreadable;  // no record has such a number
  }
  s.valid = true;
  set = std::move(s);
  return 0;
}

ResultCode SetFiles::open(const std::string& base, std::uint32_t max_sets) {
  close();
  if (base.empty() || max_sets == 0) return kSetFilesNotOpen;
  max_sets_ = max_sets;
  for (int which = 0; which < 2; ++which) {
    paths_[which] = file_name(base, which);
    auto file = fs_.open(paths_[which], dbm::OpenMode::Create);
    if (file == nullptr) {
      close();
      return kSetFilesNotOpen;
    }
    files_[which] = std::move(file);
    const off_t size = files_[which]->size();
    if (size < 0) {
      close();
      return kSetFilesNotOpen;
    }
    if (static_cast<std::size_t>(size) < directory_bytes() && empty_file(which).failed()) {
      close();
      return kSetFilesNotOpen;
    }
  }
  return 0;
}

void SetFiles::close() {
  for (auto& f : files_) {
    if (f != nullptr) f->close();
    f.reset();
  }
}

ResultCode SetFiles::read_word(int which, std::uint32_t slot, std::uint32_t& value) {
  unsigned char b[4];
  if (files_[which]->read_at(b, 4, static_cast<off_t>(slot) * 4) != 4) return kSetUnreadable;
  value = get_u32(b);
  return 0;
}

ResultCode SetFiles::write_word(int which, std::uint32_t slot, std::uint32_t value) {
  unsigned char b[4];
  put_u32(b, value);
  return files_[which]->write_at(b, 4, static_cast<off_t>(slot) * 4) ? ResultCode(0)
                                                                     : ResultCode(kSetNotWritable);
}

ResultCode SetFiles::empty_file(int which) {
  // Directory first: a crash in between leaves a zeroed directory and an
  // unreachable tail, never a slot pointing past the end.
  const std::vector<unsigned char> zeros(directory_bytes(), 0);
  if (!files_[which]->write_at(zeros.data(), zeros.size(), 0)) return kSetNotWritable;
  if (!files_[which]->truncate(static_cast<off_t>(zeros.size()))) return kSetNotWritable;
  return 0;
}

ResultCode SetFiles::last_number(std::uint32_t& number) {
  if (!is_open()) return kSetFilesNotOpen;
  return read_word(0, 0, number);
}

ResultCode SetFiles::next_number(std::uint32_t& number) {
  std::uint32_t last = 0;
  if (const ResultCode rc = read_word(0, 0, last); rc.failed()) return rc;
  if (last < max_sets_) {
    if (last == half() && half() < max_sets_) {
      if (const ResultCode rc = empty_file(1); rc.failed()) return rc;
    }
    number = last + 1;
  } else {
    if (const ResultCode rc = empty_file(0); rc.failed()) return rc;
    number = 1;
  }
  return write_word(0, 0, number);
}

ResultCode SetFiles::store(ResultSet& set) {
  if (!set.valid || set.number > max_sets_) return kSetInvalid;
  if (!is_open()) return kSetFilesNotOpen;
  // Another service sharing the files numbers and appends one at a time.
  files_[0]->lock(true, true, 0, 4);
  struct Unlock {
    dbm::File& f;
    ~Unlock() { f.unlock(0, 4); }
  } unlock{*files_[0]};
  if (set.number == 0) {
    if (const ResultCode rc = next_number(set.number); rc.failed()) {
      set.number = 0;
      return rc;
    }
  }
  const int which = file_of(set.number);
  const off_t end = files_[which]->size();
  if (end < 0) return kSetNotWritable;
  const std::string bytes = encode_stored_set(set);
  if (!files_[which]->write_at(bytes.data(), bytes.size(), end)) return kSetNotWritable;
  return write_word(which, slot_of(set.number), static_cast<std::uint32_t>(end));
}

ResultCode SetFiles::load(std::uint32_t number, ResultSet& set) {
  if (!is_open() || number == 0 || number > max_sets_) return kSetInvalid;
  const int which = file_of(number);
  std::uint32_t offset = 0;
  if (const ResultCode rc = read_word(which, slot_of(number), offset); rc.failed()) return rc;
  if (offset == 0) return kSetInvalid;
  const off_t size = files_[which]->size();
  if (size < 0 || offset < directory_bytes() ||
      std::uint64_t{offset} + kStoredSetHeader > std::uint64_t(size))
    return kSetUnreadable;
  std::string header(kStoredSetHeader, '\0');
  if (files_[which]->read_at(header.data(), header.size(), offset) != static_cast<ssize_t>(header.size()))
    return kSetUnreadable;
  const std::uint32_t n = get_u32(reinterpret_cast<const unsigned char*>(header.data()) + 22);
  if (n > kMaxStoredHits ||
      std::uint64_t{offset} + kStoredSetHeader + std::uint64_t{n} * 4 > std::uint64_t(size))
    return kSetUnreadable;
  std::string bytes = std::move(header);
  bytes.resize(kStoredSetHeader + std::size_t{n} * 4);
  if (n != 0) {
    const std::size_t want = std::size_t{n} * 4;
    if (files_[which]->read_at(bytes.data() + kStoredSetHeader, want, offset + kStoredSetHeader) !=
        static_cast<ssize_t>(want))
      return kSetUnreadable;
  }
  ResultSet loaded;
  if (const ResultCode rc = decode_stored_set(bytes, loaded); rc.failed()) return rc;
  if (loaded.number != number) return kSetUnreadable;
  set = std::move(loaded);
  return 0;
}

ResultCode SetFiles::drop(std::uint32_t number) {
  if (!is_open() || number == 0 || number > max_sets_) return kSetInvalid;
  return write_word(file_of(number), slot_of(number), 0);
}

}  // namespace corvanta::records
