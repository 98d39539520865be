#include "imex/exchange_file.h"

#include <algorithm>

namespace corvanta::imex {
namespace {

constexpr std::size_t kChunk = 1 << 16;

}  // namespace

ResultCode InputFile::open(const std::string& path) {
  if (fs_ == nullptr) fs_ = &dbm::default_file_system();
  file_ = fs_->open(path, dbm::OpenMode::ReadOnly);
  buffer_.clear();
  at_ = 0;
  offset_ = 0;
  taken_ = 0;
  end_ = false;
  failed_ = false;
  return file_ != nullptr ? ResultCode(0) : ResultCode(kCannotOpen);
}

void InputFile::open_text(std::string text) {
  file_.reset();
  buffer_ = std::move(text);
  at_ = 0;
  taken_ = 0;
  end_ = true;
  failed_ = false;
}

bool InputFile::fill(std::size_t n) {
  while (buffer_.size() - at_ < n && !end_) {
    if (at_ > 0 && at_ >= buffer_.size() / 2) {
      buffer_.erase(0, at_);
      at_ = 0;
    }
    const std::size_t old = buffer_.size();
    const std::size_t want = std::max(kChunk, n - (old - at_));
    buffer_.resize(old + want);
    const ssize_t got = file_ != nullptr ? file_->read_at(buffer_.data() + old, want, offset_) : 0;
    if (got < 0) failed_ = true;
    const std::size_t count = got > 0 ? static_cast<std::size_t>(got) : 0;
    buffer_.resize(old + count);
    offset_ += static_cast<off_t>(count);
    if (count == 0) end_ = true;
  }
  return buffer_.size() - at_ >= n;
}

void InputFile::skip_bom() {
  if (peek(3) == "\xEF\xBB\xBF") consume(3);
}

std::string_view InputFile::peek(std::size_t n) {
  fill(n);
  return std::string_view(buffer_).substr(at_, n);
}

void InputFile::consume(std::size_t n) {
  n = std::min(n, buffer_.size() - at_);
  at_ += n;
  taken_ += n;
}

bool InputFile::line(std::string& out, std::size_t limit, bool& cut) {
  out.clear();
  cut = false;
  if (at_end()) return false;
  for (;;) {
    const std::string_view rest = std::string_view(buffer_).substr(at_);
    const std::size_t nl = rest.find('\n');
    const std::size_t piece = nl == std::string_view::npos ? rest.size() : nl;
    const std::size_t keep = std::min(piece, limit > out.size() ? limit - out.size() : 0);
    out.append(rest.substr(0, keep));
    if (keep < piece) cut = true;
    if (nl != std::string_view::npos) {
      consume(nl + 1);
      return true;
    }
    consume(piece);
    if (!fill(1)) return true;  // the last line without a line feed
  }
}

OutputFile::~OutputFile() {
  discard();
}

ResultCode OutputFile::create(const std::string& path) {
  if (fs_ == nullptr) fs_ = &dbm::default_file_system();
  discard();
  path_ = path;
  temporary_ = path + ".part";
  file_ = fs_->open(temporary_, dbm::OpenMode::Replace);
  offset_ = 0;
  written_ = 0;
  failed_ = false;
  return file_ != nullptr ? ResultCode(0) : ResultCode(kCannotOpen);
}

ResultCode OutputFile::append(const std::string& path) {
  if (fs_ == nullptr) fs_ = &dbm::default_file_system();
  discard();
  path_ = path;
  temporary_.clear();
  file_ = fs_->open(path, dbm::OpenMode::Append);
  written_ = 0;
  failed_ = false;
  return file_ != nullptr ? ResultCode(0) : ResultCode(kCannotOpen);
}

void OutputFile::write(std::string_view bytes) {
  if (file_ == nullptr || failed_) return;
  buffer_.append(bytes);
  written_ += bytes.size();
  if (buffer_.size() >= kChunk) (void)flush();
}

ResultCode OutputFile::flush() {
  if (file_ == nullptr) return kCannotWrite;
  if (!failed_ && !buffer_.empty()) {
    if (temporary_.empty()) {
      failed_ = file_->append(buffer_.data(), buffer_.size()) != buffer_.size();
    } else {
      failed_ = !file_->write_at(buffer_.data(), buffer_.size(), offset_);
      offset_ += static_cast<off_t>(buffer_.size());
    }
  }
  buffer_.clear();
  return failed_ ? ResultCode(kCannotWrite) : ResultCode(0);
}

ResultCode OutputFile::commit() {
  if (file_ == nullptr) return kCannotWrite;
  ResultCode rc = flush();
  if (rc.ok() && !file_->sync()) rc = kCannotWrite;
  if (!file_->close() && rc.ok()) rc = kCannotWrite;
  file_.reset();
  if (!temporary_.empty()) {
    if (rc.ok() && !fs_->rename(temporary_, path_)) rc = kCannotWrite;
    if (rc.ok()) (void)fs_->sync_directory(path_);
    if (rc.failed()) (void)fs_->remove(temporary_);
    temporary_.clear();
  }
  failed_ = rc.failed();
  return rc;
}

bool OutputFile::cut_back(off_t size) {
  if (file_ == nullptr) return false;
  buffer_.clear();
  const bool ok = file_->truncate(size) && file_->close();
  file_.reset();
  failed_ = false;
  return ok;
}

void OutputFile::discard() {
  if (file_ == nullptr) return;
  if (temporary_.empty()) {
    (void)flush();  // an appended file keeps what was written to it
  } else {
    buffer_.clear();
  }
  (void)file_->close();
  file_.reset();
  if (!temporary_.empty()) (void)fs_->remove(temporary_);
  temporary_.clear();
}

}  // namespace corvanta::imex
