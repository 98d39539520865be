// A growable byte buffer with an explicit used length.
//
// The buffer owns its bytes. Clearing keeps the memory, so a buffer that is
// reused for every command allocates only when a command needs more than any
// before it. Appending grows the capacity to exactly what is needed, or in
// steps of a given increment.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace corvanta {

class ByteBuffer {
 public:
  ByteBuffer() = default;
  explicit ByteBuffer(std::size_t capacity) { bytes_.resize(capacity); }

  std::size_t capacity() const noexcept { return bytes_.size(); }
  std::size_t length() const noexcept { return length_; }
  bool empty() const noexcept { return length_ == 0; }
  std::string_view view() const noexcept { return {bytes_.data(), length_}; }

  void clear() noexcept { length_ = 0; }
  // Frees the memory; capacity and length become 0.
  void release() {
    bytes_.clear();
    bytes_.shrink_to_fit();
    length_ = 0;
  }
  // Appends; grows the capacity to exactly length + n when needed.
  void append(std::string_view data) { append_stepped(data, 0); }
  // Appends; grows the capacity in steps of `increment` bytes (0: exactly).
  void append_stepped(std::string_view data, std::size_t increment);
  // Overwrites bytes already in use (for fields written last, like lengths).
  void overwrite(std::size_t offset, std::string_view data);

 private:
  std::vector<char> bytes_;
  std::size_t length_ = 0;
};

}  // namespace corvanta
