// A user's profile in a pool: an entry of the pool's user index, keyed by
// the user name blank-padded to 10 characters, with 55 bytes of data:
//   0  5  sub-library code, blank-padded
//   5 20  permission flags, "1" or "0" at the position of the number
//  25 30  function flags, likewise
#pragma once

#include <array>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "util/result.h"

namespace corvanta {

class Service;

inline constexpr std::size_t kProfileSize = 55;
inline constexpr int kProfilePermissions = 20;
inline constexpr int kProfileFunctions = 30;

struct PoolProfile {
  std::string sublib;
  std::string permissions = std::string(kProfilePermissions, '0');
  std::string functions = std::string(kProfileFunctions, '0');

  // A number outside the flags reads as not granted.
  bool permission(int n) const { return n >= 0 && n < kProfilePermissions && permissions[n] == '1'; }
  bool function(int n) const { return n >= 0 && n < kProfileFunctions && functions[n] == '1'; }
  void set_function(int n) {
    if (n >= 0 && n < kProfileFunctions) functions[static_cast<std::size_t>(n)] = '1';
  }

  std::array<unsigned char, kProfileSize> encode() const;
  // Nothing for data shorter than a profile.
  static std::optional<PoolProfile> decode(std::span<const unsigned char> data);
};

// The default function flags for the permission flags: each permission
// brings the functions its work needs; ADM brings all of them.
void derive_functions(PoolProfile& profile);

// Profiles in the current pool, which must be open. The pool must name a
// user index (-161 otherwise).
// read_profile: 0, 1 when the user has no profile, or a negative code.
ResultCode read_profile(Service& service, std::string_view user, PoolProfile& profile);
// Inserts or updates the profile.
ResultCode write_profile(Service& service, std::string_view user, const PoolProfile& profile);
// 0, or 1 when there was none.
ResultCode delete_profile(Service& service, std::string_view user);

}  // namespace corvanta
