#include "shell/users.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "shell/codes.h"
#include "util/posix_io.h"
#include "util/text.h"

namespace corvanta {
namespace {

constexpr std::size_t kMaxTableLine = 79;
constexpr std::size_t kPermissionColumn = 15;
constexpr std::size_t kPasswordColumn = 47;

// Scrambling works on the printable characters "!" to "~" (94 of them): each
// is rotated by an amount that depends on its position. Other bytes stay.
constexpr int kFirstPrintable = 33;
constexpr int kPrintables = 94;

int shift_at(std::size_t i) {
  return static_cast<int>((i * 17 + 29) % kPrintables);
}

std::string rotate(std::string_view s, int direction) {
  std::string out(s);
  for (std::size_t i = 0; i < out.size(); ++i) {
    const int c = static_cast<unsigned char>(out[i]);
    if (c < kFirstPrintable || c >= kFirstPrintable + kPrintables) continue;
    const int shifted = (c - kFirstPrintable + direction * shift_at(i) + kPrintables) % kPrintables;
    out[i] = static_cast<char>(kFirstPrintable + shifted);
  }
  return out;
}

User initial_user() {
  User sys;
  sys.name = "SYS";
  sys.password = "KWP";
  sys.permissions = {0xFF, 0xFF, 0xFF, 0xFF};
  return sys;
}

}  // namespace

void User::set_permission(int n, bool on) {
  if (n < 1 || n > 32) return;
  auto& byte = permissions[static_cast<std::size_t>((n - 1) / 8)];
  const auto bit = static_cast<std::uint8_t>(1u << ((n - 1) % 8));
  byte = static_cast<std::uint8_t>(on ? (byte | bit) : (byte & ~bit));
}

std::string scramble(std::string_view password) {
  return rotate(password, 1);
}
std::string unscramble(std::string_view scrambled) {
  return rotate(scrambled, -1);
}

std::string format_user_line(const User& user) {
  std::string line(cut_to(user.name, kMaxUserName));
  line.resize(kMaxUserName, ' ');
  line += static_cast<char>('0' + (user.group >= 0 && user.group <= 9 ? user.group : 0));
  line += "0000";
  for (int n = 1; n <= 32; ++n) line += user.has_permission(n) ? '1' : '0';
  line += scramble(cut_to(user.password, kMaxPassword));
  line += '\n';
  return line;
}

std::optional<User> parse_user_line(std::string_view line) {
  while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.remove_suffix(1);
  if (line.empty() || line.front() == '*' || line.size() < kPasswordColumn) return std::nullopt;
  // A line that does not have the table's shape is broken and ignored.
  const char group = line[kMaxUserName];
  if (group < '0' || group > '9') return std::nullopt;
  for (std::size_t i = kPermissionColumn; i < kPasswordColumn; ++i) {
    if (line[i] != '0' && line[i] != '1') return std::nullopt;
  }
  User user;
  user.name = std::string(trim_trailing_blanks(line.substr(0, kMaxUserName)));
  if (user.name.empty()) return std::nullopt;
  user.group = group - '0';
  for (int n = 1; n <= 32; ++n) {
    user.set_permission(n, line[kPermissionColumn + static_cast<std::size_t>(n - 1)] == '1');
  }
  user.password = unscramble(cut_to(line.substr(kPasswordColumn), kMaxPassword));
  return user;
}

namespace {

// Reads a whole file; nullopt when it does not exist, an error otherwise.
ResultCode read_text(const std::string& path, std::optional<std::string>& text) {
  errno = 0;
  text = read_regular_file(path);
  if (text || errno == ENOENT) return 0;
  return codes::kUsersTableOpen;
}

// Lines of a text, cut into pieces of at most `max` characters.
std::vector<std::string> split_lines(std::string_view text, std::size_t max) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(start, end - start);
    do {
      lines.emplace_back(line.substr(0, max));
      line.remove_prefix(std::min(line.size(), max));
    } while (!line.empty());
    start = end + 1;
  }
  return lines;
}

bool is_line_of(const std::string& line, std::string_view name) {
  const auto user = parse_user_line(line);
  return user && user->name == name;
}

}  // namespace

ResultCode rewrite_locked(
    const std::string& path,
    const std::function<std::optional<std::string>(const std::optional<std::string>& current)>& change) {
  const std::size_t slash = path.rfind('/');
  const std::size_t first = slash == std::string::npos ? 0 : slash + 1;
  if (first >= path.size()) return codes::kUsersTableRewrite;
  std::string temp = path;
  temp[first] = '_';

  // The lock is taken before the file is read or emptied, so that a second
  // process waits instead of working on an old table. A process that waited
  // may find that the file it locked has meanwhile been renamed into place;
  // it then starts again with a new temporary file.
  int fd = -1;
  for (;;) {
    fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0664);
    if (fd < 0) return codes::kUsersTableRewrite;
    if (::lockf(fd, F_LOCK, 1) != 0) {
      ::close(fd);
      return codes::kUsersTableRewrite;
    }
    struct stat locked {};
    struct stat named {};
    if (::fstat(fd, &locked) == 0 && ::stat(temp.c_str(), &named) == 0 && locked.st_ino == named.st_ino &&
        locked.st_dev == named.st_dev) {
      break;
    }
    ::close(fd);
  }

  std::optional<std::string> current;
  ResultCode rc = read_text(path, current);
  std::optional<std::string> text;
  if (rc.ok()) text = change(current);
  bool renamed = false;
  if (rc.ok() && text) {
    bool ok = ::ftruncate(fd, 0) == 0 && write_all_at(fd, text->data(), text->size(), 0) && ::fsync(fd) == 0;
    ok = ok && ::rename(temp.c_str(), path.c_str()) == 0;
    renamed = ok;
    if (!ok) rc = codes::kUsersTableWrite;
  }
  if (!renamed) ::unlink(temp.c_str());
  (void)::lseek(fd, 0, SEEK_SET);
  (void)::lockf(fd, F_ULOCK, 1);
  ::close(fd);
  return rc;
}

ResultCode UsersTable::load(const std::string& path) {
  release();
  path_ = path;
  if (::access(path.c_str(), F_OK) != 0) {
    const ResultCode rc = rewrite_locked(path, [](const std::optional<std::string>& current) {
      return current ? std::nullopt : std::optional<std::string>(format_user_line(initial_user()));
    });
    if (rc.failed()) return codes::kUsersTableOpen;
  }
  return read_file();
}

ResultCode UsersTable::read_file() {
  std::optional<std::string> text;
  if (read_text(path_, text).failed() || !text) return codes::kUsersTableOpen;
  users_.clear();
  // Lines longer than 79 characters are read on as further lines.
  for (const std::string& line : split_lines(*text, kMaxTableLine)) {
    if (auto user = parse_user_line(line)) users_.push_back(std::move(*user));
  }
  return 0;
}

void UsersTable::release() {
  users_.clear();
  current_.reset();
}

ResultCode UsersTable::change_lines(
    const std::function<ResultCode(std::vector<std::string>& lines)>& change) {
  ResultCode outcome = 0;
  ResultCode rc = rewrite_locked(path_, [&](const std::optional<std::string>& current) {
    std::vector<std::string> lines = split_lines(current.value_or(""), std::string::npos);
    outcome = change(lines);
    if (outcome.failed()) return std::optional<std::string>();
    std::string text;
    for (const std::string& line : lines) text += line + (line.ends_with('\n') ? "" : "\n");
    return std::optional<std::string>(std::move(text));
  });
  if (rc.ok()) rc = outcome;
  // Every change is followed by a fresh load; the current user is looked up
  // again by name.
  const std::string current_name = current() != nullptr ? current()->name : std::string();
  current_.reset();
  if (read_file().ok()) {
    for (std::size_t i = 0; i < users_.size(); ++i) {
      if (users_[i].name == current_name) current_ = i;
    }
  }
  return rc;
}

ResultCode UsersTable::add_user(const User& user) {
  User stored = user;
  stored.name = upper(cut_to(user.name, kMaxUserName));
  stored.password = upper(cut_to(user.password, kMaxPassword));
  return change_lines([&](std::vector<std::string>& lines) -> ResultCode {
    for (const std::string& line : lines) {
      if (is_line_of(line, stored.name)) return 0;
    }
    lines.push_back(format_user_line(stored));
    return 0;
  });
}

ResultCode UsersTable::update_user(const User& user) {
  return change_lines([&](std::vector<std::string>& lines) -> ResultCode {
    for (std::string& line : lines) {
      if (is_line_of(line, user.name)) {
        line = format_user_line(user);
        return 0;
      }
    }
    return codes::kUnknownUser;
  });
}

ResultCode UsersTable::delete_user(std::string_view name) {
  if (name == "SYS") return codes::kNoPermission;
  return change_lines([&](std::vector<std::string>& lines) -> ResultCode {
    const auto it = std::find_if(lines.begin(), lines.end(),
                                 [&](const std::string& line) { return is_line_of(line, name); });
    if (it == lines.end()) return codes::kUnknownUser;
    lines.erase(it);
    return 0;
  });
}

ResultCode UsersTable::change_password(std::string_view name, std::string_view password,
                                       std::string_view new_password) {
  const User* user = find(name);
  if (user == nullptr) return codes::kUnknownUser;
  if (trim_trailing_blanks(user->password) != trim_trailing_blanks(password)) return codes::kWrongPassword;
  User changed = *user;
  changed.password = upper(cut_to(new_password, kMaxPassword));
  return update_user(changed);
}

ResultCode UsersTable::login(std::string_view name, std::string_view password) {
  current_.reset();
  name = trim_trailing_blanks(name);
  if (name.empty() || password.empty() || name.size() > kMaxUserName) return codes::kUnknownUser;
  for (std::size_t i = 0; i < users_.size(); ++i) {
    if (users_[i].name != name) continue;
    if (trim_trailing_blanks(users_[i].password) != trim_trailing_blanks(password)) {
      return codes::kWrongPassword;
    }
    current_ = i;
    return 0;
  }
  return codes::kUnknownUser;
}

ResultCode UsersTable::check_permission(int n) const {
  const User* user = current();
  if (user == nullptr) return codes::kUnknownUser;
  return user->has_permission(n) ? ResultCode(0) : ResultCode(codes::kNoPermission);
}

const User* UsersTable::current() const {
  return current_ ? &users_[*current_] : nullptr;
}

const User* UsersTable::find(std::string_view name) const {
  for (const User& u : users_) {
    if (u.name == name) return &u;
  }
  return nullptr;
}

}  // namespace corvanta
