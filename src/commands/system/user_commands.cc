// The user commands: USER_ADD, USER_UPD, USER_COPY, USER_DEL, USER_INFO and
// USER_LIST. All need the administration right (ADM). Names are upper-cased
// and cut to 10 characters. With POOL a command works on the user's profile
// in that pool as well (USER_DEL: only on the profile).
#include <cstdio>

#include "commands/handlers.h"
#include "shell/codes.h"
#include "shell/pool_profile.h"
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

// Common start of every user command: the right to run it, and a POOL
// that names a defined pool, checked before anything is changed.
ResultCode check_start(Service& service, const ParamList& params) {
  if (const ResultCode rc = bat_admin(service); rc.failed()) return rc;
  const std::string pool = params.get_into("POOL", "", 11, true);
  if (!pool.empty() && service.appl_dictionary.find_pool(pool) == nullptr) return codes::kNoCurrentPool;
  return 0;
}

// Runs `work` with the pool named by POOL open for update; its profile
// changes are journalled like any other change of the pool.
template <typename Work>
ResultCode with_pool(Service& service, const ParamList& params, Work work) {
  if (const ResultCode rc = service.pools.make_current(params.get_into("POOL", "", 11, true)); rc.failed()) {
    return rc;
  }
  if (const ResultCode rc = bat_pool_open(service, 'U', 'Y'); rc.failed()) return rc;
  const ResultCode rc = work();
  const ResultCode closed = bat_pool_close(service);
  return rc.failed() ? rc : closed.failed() ? closed : ResultCode(0);
}

bool has_pool(const ParamList& params) {
  return !trim_blanks(params.get("POOL")).empty();
}

// Runs `work`, with the pool open when POOL is given: a pool that cannot be
// opened stops the command before the users table is changed.
template <typename Work>
ResultCode in_pool_if_given(Service& service, const ParamList& params, Work work) {
  return has_pool(params) ? with_pool(service, params, work) : work();
}

// Sets the flags named in `text` (names separated by blanks or "+") in
// `flags`; unknown names are reported and ignored.
template <typename Names, typename Set>
void apply_names(Service& service, std::string_view text, const Names& names, Set set) {
  std::size_t i = 0;
  while (i < text.size()) {
    while (i < text.size() && (text[i] == ' ' || text[i] == '+')) ++i;
    const std::size_t start = i;
    while (i < text.size() && text[i] != ' ' && text[i] != '+') ++i;
    const std::string_view word = text.substr(start, i - start);
    if (word.empty()) continue;
    bool known = false;
    for (const NamedRight& right : names) {
      if (equal_nocase(right.name, word)) {
        set(right.number);
        known = true;
      }
    }
    if (!known) service.reporter.screen_text(word, kMsgUnknownRight);
  }
}

void apply_permission_names(Service& service, std::string_view text, User& user) {
  user.permissions = {};
  apply_names(service, text, kPermissionNames, [&](int n) { user.set_permission(n, true); });
}

int group_of(std::string_view text, int fallback) {
  if (text.empty()) return fallback;
  const long g = parse_long(text);
  return g >= 0 && g <= 9 ? static_cast<int>(g) : fallback;
}

// The names of the flags that `has`, each preceded by "+" (`joined`:
// without the first "+"), in table order.
template <typename Names, typename Has>
std::string flag_names(const Names& names, Has has, bool joined) {
  std::string out;
  for (const NamedRight& right : names) {
    if (!has(right.number)) continue;
    out += '+';
    out += right.name;
  }
  return joined && !out.empty() ? out.substr(1) : out;
}

std::string permission_names(const User& user, bool joined) {
  return flag_names(
      kPermissionNames, [&](int n) { return user.has_permission(n); }, joined);
}

// Writes the user's profile from PERM (or the user's permissions), FUNC
// (names, or DEFAULT for the flags the permissions bring) and SUBLIB.
ResultCode store_profile(Service& service, const ParamList& params, const User& user) {
  PoolProfile profile;
  profile.sublib = params.get_into("SUBLIB", "", 8, true);
  for (int n = 0; n < kProfilePermissions; ++n) {
    if (user.has_permission(n)) profile.permissions[static_cast<std::size_t>(n)] = '1';
  }
  if (params.has("PERM")) {
    profile.permissions.assign(kProfilePermissions, '0');
    apply_names(service, params.get("PERM"), kPermissionNames, [&](int n) {
      if (n < kProfilePermissions) profile.permissions[static_cast<std::size_t>(n)] = '1';
    });
  }
  const std::string func(trim_blanks(params.get("FUNC")));
  if (equal_nocase(func, "DEFAULT")) {
    derive_functions(profile);
  } else {
    apply_names(service, func, kFunctionNames, [&](int n) { profile.set_function(n); });
  }
  return write_profile(service, user.name, profile);
}

// The common start of USER_ADD and USER_UPD: the log line, the right to run
// the command, and a NAME.
ResultCode start_add_or_update(Service& service, const ParamList& params, const std::string& name,
                               const std::string& group) {
  service.reporter.log_text("NAME=" + name + " GROUP=" + group + " POOL=" + std::string(params.get("POOL")),
                            0);
  if (const ResultCode rc = check_start(service, params); rc.failed()) return rc;
  return name.empty() ? ResultCode(codes::kUnknownUser) : ResultCode(0);
}

}  // namespace

ResultCode cmd_user_add(Service& service, ParamList& params, BatchResult&) {
  const std::string name = user_name(params, "NAME");
  const std::string group(params.get("GROUP"));
  if (const ResultCode rc = start_add_or_update(service, params, name, group); rc.failed()) return rc;
  return in_pool_if_given(service, params, [&]() -> ResultCode {
    if (service.users.find(name) != nullptr) {
      service.reporter.screen_text(name, kMsgUserExists);
    } else {
      User user;
      user.name = name;
      user.password = name;
      user.group = group_of(group, 0);
      apply_permission_names(service, params.get("PERM"), user);
      if (const ResultCode rc = service.users.add_user(user); rc.failed()) return rc;
    }
    const User* added = service.users.find(name);
    if (!has_pool(params) || added == nullptr) return 0;
    return store_profile(service, params, *added);
  });
}

ResultCode cmd_user_upd(Service& service, ParamList& params, BatchResult&) {
  const std::string name = user_name(params, "NAME");
  const std::string group(params.get("GROUP"));
  if (const ResultCode rc = start_add_or_update(service, params, name, group); rc.failed()) return rc;
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
  return in_pool_if_given(service, params, [&]() -> ResultCode {
    if (const ResultCode rc = service.users.update_user(user); rc.failed()) return rc;
    return has_pool(params) ? store_profile(service, params, user) : ResultCode(0);
  });
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
  return in_pool_if_given(service, params, [&]() -> ResultCode {
    const ResultCode rc =
        service.users.find(to) != nullptr ? service.users.update_user(copy) : service.users.add_user(copy);
    if (rc.failed() || !has_pool(params)) return rc;
    PoolProfile profile;
    const ResultCode read = read_profile(service, name, profile);
    if (read.code() != 0) return read.failed() ? read : ResultCode(0);  // NAME has none: nothing to give
    return write_profile(service, to, profile);
  });
}

ResultCode cmd_user_del(Service& service, ParamList& params, BatchResult&) {
  const std::string name = user_name(params, "NAME");
  service.reporter.log_text("NAME=" + name + " POOL=" + std::string(params.get("POOL")), 0);
  if (const ResultCode rc = check_start(service, params); rc.failed()) return rc;
  if (name.empty()) return codes::kUnknownUser;
  if (name == "SYS" && !has_pool(params)) return codes::kNoPermission;
  const User* self = service.users.current();
  if (self != nullptr && self->name == name) return codes::kUsersTableWrite;
  if (has_pool(params)) {
    return with_pool(service, params, [&]() -> ResultCode {
      const ResultCode rc = delete_profile(service, name);
      return rc.failed() ? rc : ResultCode(0);
    });
  }
  return service.users.delete_user(name);
}

ResultCode cmd_user_info(Service& service, ParamList& params, BatchResult& result) {
  const std::string name = user_name(params, "NAME");
  const std::string pool = params.get_into("POOL", "", 11, true);
  service.reporter.log_text("NAME=" + name + " POOL=" + pool, 0);
  if (const ResultCode rc = check_start(service, params); rc.failed()) return rc;
  const User* user = service.users.find(name);
  if (name.empty() || user == nullptr) return codes::kUnknownUser;
  std::optional<PoolProfile> profile;
  if (!pool.empty()) {
    const ResultCode rc = with_pool(service, params, [&]() -> ResultCode {
      PoolProfile p;
      const ResultCode read = read_profile(service, name, p);
      if (read.code() == 0) profile = p;
      return read.failed() ? read : ResultCode(0);
    });
    if (rc.failed()) return rc;
  }
  char group[8];
  std::snprintf(group, sizeof group, "%02d", user->group);
  bat_add_row(service, "NAME=" + user->name, result);
  bat_add_row(service, std::string("GROUP=") + group, result);
  bat_add_row(service, "POOL=" + pool, result);
  bat_add_row(service, "SUBLIB=" + (profile ? profile->sublib : std::string()), result);
  if (profile) {
    bat_add_row(service,
                "PERM=" + flag_names(
                              kPermissionNames, [&](int n) { return profile->permission(n); }, true),
                result);
    bat_add_row(service,
                "FUNC=" + flag_names(
                              kFunctionNames, [&](int n) { return profile->function(n); }, true),
                result);
  } else {
    bat_add_row(service, "PERM=" + permission_names(*user, true), result);
    bat_add_row(service, "FUNC=", result);
  }
  return 0;
}

ResultCode cmd_user_list(Service& service, ParamList& params, BatchResult&) {
  const std::string pool = params.get_into("POOL", "", 11, true);
  service.reporter.log_text("POOL=" + pool, 0);
  if (const ResultCode rc = check_start(service, params); rc.failed()) return rc;
  const auto list = [&]() -> ResultCode {
    for (const User& user : service.users.users()) {
      PoolProfile profile;
      bool found = false;
      if (!pool.empty()) {
        const ResultCode rc = read_profile(service, user.name, profile);
        if (rc.failed()) return rc;
        found = rc.code() == 0;
      }
      char head[64];
      std::snprintf(head, sizeof head, "%10.10s  %02d  %5.5s  %s", user.name.c_str(), user.group,
                    found ? profile.sublib.c_str() : "", user.has_permission(kPermissionAdm) ? "ADM" : "");
      service.reporter.screen_text(head, 0);
      const std::string perms =
          found ? flag_names(
                      kPermissionNames, [&](int n) { return profile.permission(n); }, false)
                : permission_names(user, false);
      const std::string funcs = found ? flag_names(
                                            kFunctionNames, [&](int n) { return profile.function(n); }, false)
                                      : "";
      service.reporter.screen_text(std::string(10, ' ') + perms, 0);
      service.reporter.screen_text(std::string(10, ' ') + funcs, 0);
    }
    return 0;
  };
  return pool.empty() ? list() : with_pool(service, params, list);
}

}  // namespace corvanta
