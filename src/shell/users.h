// The users table: who may use the service and with which permissions.
//
// The table is a text file, one user a line (lines starting with "*" are
// comments):
//   columns 0-9    user name, upper case, blank-padded
//   column  10     group, one digit
//   columns 11-14  "0000"
//   columns 15-46  32 permission bits "0"/"1", four groups of eight; within a
//                  group the first character is the lowest bit
//   columns 47-    the password, scrambled, as long as the password
// The scrambling is reversible and keeps the length; see scramble().
//
// UsersTable owns the loaded list and the current (logged-in) user. A table
// that does not exist is created with the single user SYS (password KWP and
// every permission). Files are rewritten through a temporary file of the same
// directory, locked while it is written and renamed over the table.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "util/result.h"

namespace corvanta {

inline constexpr std::size_t kMaxUserName = 10;
inline constexpr std::size_t kMaxPassword = 10;
inline constexpr int kPermissionAdm = 9;

struct User {
  std::string name;                           // at most 10 characters, no trailing blanks
  std::string password;                       // plain, at most 10 characters
  int group = 0;                              // 0..9
  std::array<std::uint8_t, 4> permissions{};  // bit n-1 of byte (n-1)/8 is permission n

  bool has_permission(int n) const {
    if (n < 1 || n > 32) return false;
    return (permissions[static_cast<std::size_t>((n - 1) / 8)] >> ((n - 1) % 8)) & 1;
  }
  void set_permission(int n, bool on);
};

// The table line of a user, newline included.
std::string format_user_line(const User& user);
// Reads a table line (without its newline); nullopt for comments and lines
// too short to hold the permission bits.
std::optional<User> parse_user_line(std::string_view line);

// The reversible, length-keeping password scrambling of the table.
std::string scramble(std::string_view password);
std::string unscramble(std::string_view scrambled);

class UsersTable {
 public:
  // Loads `path`, creating the initial table when it does not exist.
  // Returns 0, -126 (cannot be opened or created) or -122.
  ResultCode load(const std::string& path);
  void release();

  // Clears the current user, then checks name and password: 0, -124
  // (missing, unknown, name longer than 10) or -125 (wrong password).
  ResultCode login(std::string_view name, std::string_view password);
  // 0 when the current user holds permission n; -124 without a user, -129
  // without the permission.
  ResultCode check_permission(int n) const;

  const User* current() const;
  const User* find(std::string_view name) const;
  const std::vector<User>& users() const { return users_; }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
  std::vector<User> users_;
  std::optional<std::size_t> current_;
};

// Writes `text` as the new content of `path`: into a temporary file of the
// same directory (the file name with its first character replaced by "_"),
// locked with a record lock while written, then renamed over `path`.
// Returns 0, -127 (temporary file cannot be created or locked) or -128
// (cannot be written or renamed).
ResultCode rewrite_locked(const std::string& path, std::string_view text);

}  // namespace corvanta
