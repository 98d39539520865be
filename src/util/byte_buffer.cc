#include "util/byte_buffer.h"

#include <algorithm>
#include <cassert>

namespace corvanta {

void ByteBuffer::append_stepped(std::string_view data, std::size_t increment) {
  const std::size_t needed = length_ + data.size();
  if (needed > bytes_.size()) {
    std::size_t capacity = needed;
    if (increment > 0) {
      capacity = bytes_.size();
      while (capacity < needed) capacity += increment;
    }
    bytes_.resize(capacity);
  }
  std::copy(data.begin(), data.end(), bytes_.begin() + static_cast<std::ptrdiff_t>(length_));
  length_ = needed;
}

void ByteBuffer::overwrite(std::size_t offset, std::string_view data) {
  assert(offset + data.size() <= length_);
  std::copy(data.begin(), data.end(), bytes_.begin() + static_cast<std::ptrdiff_t>(offset));
}

}  // namespace corvanta
