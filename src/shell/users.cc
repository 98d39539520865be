#include "shell/users.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "shell/codes.h"
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
  User user;
  user.name = std::string(trim_trailing_blanks(line.substr(0, kMaxUserName)));
  user.group = line[kMaxUserName] >= '0' && line[kMaxUserName] <= '9' ? line[kMaxUserName] - '0' : 0;
  for (int n = 1; n <= 32; ++n) {
    user.set_permission(n, line[kPermissionColumn + static_cast<std::size_t>(n - 1)] == '1');
  }
  user.password = unscramble(cut_to(line.substr(kPasswordColumn), kMaxPassword));
  return user;
}

ResultCode rewrite_locked(const std::string& path, std::string_view text) {
  const std::size_t slash = path.rfind('/');
  const std::size_t first = slash == std::string::npos ? 0 : slash + 1;
  if (first >= path.size()) return codes::kUsersTableRewrite;
  std::string temp = path;
  temp[first] = '_';

  // The lock is taken before the file is emptied, so that a second process
  // waits instead of cutting a file that is being written. A process that
  // waited may find that the file it locked has meanwhile been renamed into
  // place; it then starts again with a new temporary file.
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
  bool ok = ::ftruncate(fd, 0) == 0;
  std::size_t done = 0;
  while (ok && done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    ok = n > 0;
    if (ok) done += static_cast<std::size_t>(n);
  }
  ok = ok && ::fsync(fd) == 0;
  ok = ok && ::rename(temp.c_str(), path.c_str()) == 0;
  if (!ok) ::unlink(temp.c_str());
  ::lseek(fd, 0, SEEK_SET);
  (void)::lockf(fd, F_ULOCK, 1);
  ::close(fd);
  return ok ? ResultCode(0) : ResultCode(codes::kUsersTableWrite);
}

ResultCode UsersTable::load(const std::string& path) {
  release();
  path_ = path;
  std::FILE* in = std::fopen(path.c_str(), "r");
  if (in == nullptr) {
    if (rewrite_locked(path, format_user_line(initial_user())).failed()) return codes::kUsersTableOpen;
    in = std::fopen(path.c_str(), "r");
    if (in == nullptr) return codes::kUsersTableOpen;
  }
  std::string line;
  int c;
  auto flush = [&] {
    if (auto user = parse_user_line(line)) users_.push_back(std::move(*user));
    line.clear();
  };
  while ((c = std::getc(in)) != EOF) {
    if (c == '\n') {
      flush();
    } else {
      line += static_cast<char>(c);
      if (line.size() == kMaxTableLine) {  // longer lines are read on as further lines
        flush();
      }
    }
  }
  flush();
  std::fclose(in);
  return 0;
}

void UsersTable::release() {
  users_.clear();
  current_.reset();
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
