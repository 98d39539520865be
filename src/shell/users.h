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
// every permission). Every change reads the table anew and writes it through
// a temporary file of the same directory, under a record lock, renamed over
// the table; so changes of several service processes never lose one another.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
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

// Permission names (PERM) and function names (FUNC) with their numbers.
struct NamedRight {
  std::string_view name;
  int number;
};
inline constexpr NamedRight kPermissionNames[] = {
    {"SEA", 1}, {"CAT", 2}, {"ITM", 3}, {"CIR", 4},  {"ILL", 5},  {"ACQ", 6},
    {"SER", 7}, {"OWN", 8}, {"ADM", 9}, {"Z39", 10}, {"WWW", 11}, {"JOB", 12},
};
inline constexpr NamedRight kFunctionNames[] = {
    {"DWN", 5},  {"POL", 6},  {"SAV", 1},  {"USR", 4},  {"NUM", 2},  {"UPD", 3},  {"EXP", 7},
    {"IMP", 8},  {"LST", 9},  {"CLI", 10}, {"CRM", 12}, {"CRC", 13}, {"CDL", 11}, {"STA", 17},
    {"SUB", 18}, {"CRV", 20}, {"ADL", 21}, {"ARM", 22}, {"ORD", 23}, {"BUD", 24},
};

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

  // Appends a line for the user (name and password upper-cased) unless the
  // table has one already: 0, -126 or -128.
  ResultCode add_user(const User& user);
  // Replaces the user's line, keeping its place: 0, -124 (no such line),
  // -126, -127 or -128.
  ResultCode update_user(const User& user);
  // Removes the user's line: 0, -124, -129 (SYS), -126, -127 or -128.
  ResultCode delete_user(std::string_view name);
  // Stores a new password (upper-cased) after checking the old one: 0, -124,
  // -125 or the codes of update_user.
  ResultCode change_password(std::string_view name, std::string_view password, std::string_view new_password);

  const User* current() const;
  const User* find(std::string_view name) const;
  const std::vector<User>& users() const { return users_; }
  const std::string& path() const { return path_; }

 private:
  // Reads the file into the list. 0 or -126.
  ResultCode read_file();
  // Applies `change` to the table's lines under the lock, then reloads and
  // looks the current user up again by name.
  ResultCode change_lines(const std::function<ResultCode(std::vector<std::string>& lines)>& change);

  std::string path_;
  std::vector<User> users_;
  std::optional<std::size_t> current_;
};

// Rewrites `path` under a record lock: `change` receives the file's current
// text (nullopt when it does not exist) and returns the new text, or nullopt
// to leave the file alone. The new text is written to a temporary file of
// the same directory (the file name with its first character replaced by
// "_"), locked while it is read and written, and renamed over `path`.
// Returns 0, -126 (the table exists but cannot be read), -127 (temporary
// file cannot be created or locked) or -128 (cannot be written or renamed).
ResultCode rewrite_locked(
    const std::string& path,
    const std::function<std::optional<std::string>(const std::optional<std::string>& current)>& change);

}  // namespace corvanta
