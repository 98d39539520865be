// The user commands: USER_ADD, USER_UPD, USER_COPY, USER_DEL, USER_INFO and
// USER_LIST. All need the administration right (ADM). Names are upper-cased
// and cut to 10 characters. User profiles in pools (the POOL parameter) need
// the pool service layer and are refused until it is there.
#include <cstdio>

#include "shell/codes.h"
#include "shell/handlers.h"
#include "shell/support.h"
#include "util/text.h"

namespace corvanta {
namespace {

// Util message numbers of the user commands.
constexpr std::int32_t kMsgUserExists = 301;    // "%s" exists already
constexpr std::int32_t kMsgUnknownRight = 302;  // unknown permission name "%s"

std::string user_name(const ParamList& params, std::string_view key) {
  return params.get_into(key, "", kMaxUserName, true);
}

// Common start of every user command: the right to run it, then a refusal
// of pool profiles.
ResultCode check_start(Service& service, const ParamList& params) {
  if (const ResultCode rc = service.users.check_permission(kPermissionAdm); rc.failed()) return rc;
  if (!params.get("POOL").empty()) return codes::kNoPoolProfiles;
  return 0;
}

// Sets the permissions named in `text` (names separated by blanks or "+").
// Unknown names are reported and ignored.
void apply_permission_names(Service& service, std::string_view text, User& user) {
  user.permissions = {};
  std::size_t i = 0;
  while (i < text.size()) {
    while (i < text.size() && (text[i] == ' ' || text[i] == '+')) ++i;
    const std::size_t start = i;
    while (i < text.size() && text[i] != ' ' && text[i] != '+') ++i;
    const std::string_view word = text.substr(start, i - start);
    if (word.empty()) continue;
    bool known = false;
    for (const NamedRight& right : kPermissionNames) {
      if (equal_nocase(right.name, word)) {
        user.set_permission(right.number, true);
        known = true;
      }
    }
    if (!known) service.reporter.screen_text(word, kMsgUnknownRight);
  }
}

int group_of(std::string_view text, int fallback) {
  if (text.empty()) return fallback;
  const long g = parse_long(text);
  return g >= 0 && g <= 9 ? static_cast<int>(g) : fallback;
}

// The names of the user's permissions, each preceded by "+" (`joined`:
// without the first "+").
std::string permission_names(const User& user, bool joined) {
  std::string out;
  for (const NamedRight& right : kPermissionNames) {
    if (!user.has_permission(right.number)) continue;
    out += '+';
    out += right.name;
  }
  return joined && !out.empty() ? out.substr(1) : out;
}

}  // namespace

ResultCode cmd_user_add(Service& service, ParamList& params, BatchResult&) {
  const std::string name = user_name(params, "NAME");
  const std::string group(params.get("GROUP"));
  service.reporter.log_text("NAME=" + name + " GROUP=" + group + " POOL=" + std::string(params.get("POOL")),
                            0);
  if (const ResultCode rc = check_start(service, params); rc.failed()) return rc;
  if (name.empty()) return codes::kUnknownUser;
  if (service.users.find(name) != nullptr) {
    service.reporter.screen_text(name, kMsgUserExists);
    return 0;
  }
  User user;
  user.name = name;
  user.password = name;
  user.group = group_of(group, 0);
  apply_permission_names(service, params.get("PERM"), user);
  return service.users.add_user(user);
}

ResultCode cmd_user_upd(Service& service, ParamList& params, BatchResult&) {
  const std::string name = user_name(params, "NAME");
  const std::string group(params.get("GROUP"));
  service.reporter.log_text("NAME=" + name + " GROUP=" + group + " POOL=" + std::string(params.get("POOL")),
                            0);
  if (const ResultCode rc = check_start(service, params); rc.failed()) return rc;
  if (name.empty()) return codes::kUnknownUser;
  if (name == "SYS") return codes::kNoPermission;
  const User* existing = service.users.find(name);
  if (existing == nullptr) return codes::kUnknownUser;
  User user = *existing;  // the password stays; what is not given stays too
  user.group = group_of(group, user.group);
  if (params.has("PERM")) apply_permission_names(service, params.get("PERM"), user);
  const User* self = service.users.current();
  if (self != nullptr && self->name == name && !user.has_permission(kPermissionAdm)) {
    return codes::kUsersTableWrite;
  }
  return service.users.update_user(user);
}

ResultCode cmd_user_copy(Service& service, ParamList& params, BatchResult&) {
  const std::string name = user_name(params, "NAME");
  const std::string to = user_name(params, "TO");
  service.reporter.log_text("NAME=" + name + " POOL=" + std::string(params.get("POOL")) + " TO=" + to, 0);
  if (const ResultCode rc = check_start(service, params); rc.failed()) return rc;
  const User* source = service.users.find(name);
  if (name.empty() || to.empty() || source == nullptr) return codes::kUnknownUser;
  if (to == "SYS") return codes::kNoPermission;  // SYS is never changed
  const User* self = service.users.current();
  if (self != nullptr && self->name == to && !source->has_permission(kPermissionAdm)) {
    return codes::kUsersTableWrite;
  }
  User copy = *source;
  copy.name = to;
  copy.password = to;
  if (service.users.find(to) != nullptr) return service.users.update_user(copy);
  return service.users.add_user(copy);
}

ResultCode cmd_user_del(Service& service, ParamList& params, BatchResult&) {
  const std::string name = user_name(params, "NAME");
  service.reporter.log_text("NAME=" + name + " POOL=" + std::string(params.get("POOL")), 0);
  if (const ResultCode rc = check_start(service, params); rc.failed()) return rc;
  if (name.empty()) return codes::kUnknownUser;
  if (name == "SYS") return codes::kNoPermission;
  const User* self = service.users.current();
  if (self != nullptr && self->name == name) return codes::kUsersTableWrite;
  return service.users.delete_user(name);
}

ResultCode cmd_user_info(Service& service, ParamList& params, BatchResult& result) {
  const std::string name = user_name(params, "NAME");
  service.reporter.log_text("NAME=" + name + " POOL=" + std::string(params.get("POOL")), 0);
  if (const ResultCode rc = check_start(service, params); rc.failed()) return rc;
  const User* user = service.users.find(name);
  if (name.empty() || user == nullptr) return codes::kUnknownUser;
  char group[8];
  std::snprintf(group, sizeof group, "%02d", user->group);
  bat_add_row(service, "NAME=" + user->name, result);
  bat_add_row(service, std::string("GROUP=") + group, result);
  bat_add_row(service, "POOL=", result);
  bat_add_row(service, "SUBLIB=", result);
  bat_add_row(service, "PERM=" + permission_names(*user, true), result);
  bat_add_row(service, "FUNC=", result);
  return 0;
}

ResultCode cmd_user_list(Service& service, ParamList& params, BatchResult&) {
  service.reporter.log_text("POOL=" + std::string(params.get("POOL")), 0);
  if (const ResultCode rc = check_start(service, params); rc.failed()) return rc;
  for (const User& user : service.users.users()) {
    char head[64];
    std::snprintf(head, sizeof head, "%10.10s  %02d  %5.5s  %s", user.name.c_str(), user.group, "",
                  user.has_permission(kPermissionAdm) ? "ADM" : "");
    service.reporter.screen_text(head, 0);
    service.reporter.screen_text(std::string(10, ' ') + permission_names(user, false), 0);
    service.reporter.screen_text(std::string(10, ' '), 0);  // functions live in pool profiles
  }
  return 0;
}

}  // namespace corvanta
