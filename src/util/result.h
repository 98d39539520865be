// Result codes of the batch service.
//
// Every operation returns a signed 32-bit result code: 0 is success, a
// positive value an outcome the operation defines for itself (for example
// "end of file reached"), a negative value a failure whose absolute value is
// the number of a message in the catalogue. The numbers themselves live in one
// header per subsystem (shell/codes.h, config/codes.h, ...); this type only
// carries them and keeps callers from dropping them silently.
#pragma once

#include <cstdint>

namespace corvanta {

class [[nodiscard]] ResultCode {
 public:
  constexpr ResultCode() noexcept = default;
  // Implicit on purpose: handlers return the numbered constants directly.
  constexpr ResultCode(std::int32_t code) noexcept : code_(code) {}  // NOLINT

  constexpr std::int32_t code() const noexcept { return code_; }
  constexpr bool ok() const noexcept { return code_ >= 0; }
  constexpr bool failed() const noexcept { return code_ < 0; }

  friend constexpr bool operator==(ResultCode, ResultCode) noexcept = default;

 private:
  std::int32_t code_ = 0;
};

}  // namespace corvanta
