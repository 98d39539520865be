#include "shell/pool_profile.h"

#include <algorithm>
#include <vector>

#include "shell/codes.h"
#include "shell/service.h"
#include "shell/users.h"
#include "util/text.h"

namespace corvanta {
namespace {

constexpr std::size_t kSublibSize = 5;

// Functions brought by each permission (numbers as in the FUNC names).
struct Grant {
  int permission;
  std::initializer_list<int> functions;
};
const Grant kDefaultGrants[] = {
    {1, {9, 17}},               // SEA: LST, STA
    {2, {2, 3, 7, 8, 9}},       // CAT: NUM, UPD, EXP, IMP, LST
    {3, {2, 3, 9}},             // ITM: NUM, UPD, LST
    {4, {10, 11, 12, 13, 20}},  // CIR: CLI, CDL, CRM, CRC, CRV
    {6, {21, 22, 23, 24}},      // ACQ: ADL, ARM, ORD, BUD
    {7, {21, 22, 23}},          // SER: ADL, ARM, ORD
    {8, {18}},                  // OWN: SUB
    {12, {1, 6}},               // JOB: SAV, POL
};

std::string profile_key(std::string_view user) {
  std::string key(cut_to(user, kMaxUserName));
  key.resize(kMaxUserName, ' ');
  return key;
}

// The user index of the current pool, or 0.
int user_index(Service& service) {
  const dict::AppPoolDef* pool = service.pools.pool();
  return pool != nullptr && pool->data != nullptr ? pool->data->user_permissions : 0;
}

const unsigned char* key_bytes(const std::string& key) {
  return reinterpret_cast<const unsigned char*>(key.data());
}

}  // namespace

std::array<unsigned char, kProfileSize> PoolProfile::encode() const {
  std::array<unsigned char, kProfileSize> out;
  out.fill(' ');
  const std::string_view code = cut_to(sublib, kSublibSize);
  std::copy(code.begin(), code.end(), out.begin());
  for (int i = 0; i < kProfilePermissions; ++i) out[kSublibSize + i] = permission(i) ? '1' : '0';
  for (int i = 0; i < kProfileFunctions; ++i) {
    out[kSublibSize + kProfilePermissions + i] = function(i) ? '1' : '0';
  }
  return out;
}

std::optional<PoolProfile> PoolProfile::decode(std::span<const unsigned char> data) {
  if (data.size() < kProfileSize) return std::nullopt;
  PoolProfile p;
  const auto* text = reinterpret_cast<const char*>(data.data());
  p.sublib = std::string(trim_blanks(std::string_view(text, kSublibSize)));
  p.permissions.assign(text + kSublibSize, kProfilePermissions);
  p.functions.assign(text + kSublibSize + kProfilePermissions, kProfileFunctions);
  return p;
}

void derive_functions(PoolProfile& profile) {
  profile.functions.assign(kProfileFunctions, '0');
  if (profile.permission(kPermissionAdm)) {
    for (const NamedRight& f : kFunctionNames) profile.set_function(f.number);
    return;
  }
  for (const Grant& g : kDefaultGrants) {
    if (!profile.permission(g.permission)) continue;
    for (const int f : g.functions) profile.set_function(f);
  }
}

ResultCode read_profile(Service& service, std::string_view user, PoolProfile& profile) {
  const int index = user_index(service);
  if (index == 0) return codes::kNoPoolProfiles;
  const std::string key = profile_key(user);
  std::vector<unsigned char> data(kProfileSize + 9);
  dbm::DataRef ref{data};
  const ResultCode rc = service.dbm.read(service.pools.pool()->name, index, key_bytes(key), ref);
  if (rc.code() != 0) return rc;
  const auto decoded = PoolProfile::decode(std::span(data.data(), ref.length));
  if (!decoded) return 1;  // too short to be a profile
  profile = *decoded;
  return 0;
}

ResultCode write_profile(Service& service, std::string_view user, const PoolProfile& profile) {
  const int index = user_index(service);
  if (index == 0) return codes::kNoPoolProfiles;
  const std::string& pool = service.pools.pool()->name;
  const std::string key = profile_key(user);
  const auto bytes = profile.encode();
  ResultCode rc = service.dbm.update(pool, index, key_bytes(key), bytes);
  if (rc.code() == 1) rc = service.dbm.insert(pool, index, key_bytes(key), bytes);  // none yet
  return rc;
}

ResultCode delete_profile(Service& service, std::string_view user) {
  const int index = user_index(service);
  if (index == 0) return codes::kNoPoolProfiles;
  const std::string key = profile_key(user);
  return service.dbm.remove(service.pools.pool()->name, index, key_bytes(key));
}

}  // namespace corvanta
