// The pool service layer: the current pool, file and user of the process,
// selecting and opening pools by their definitions, reconciling a pool's
// files with its definition, and access checks.
//
// PoolLayer sits between the commands and the database manager. It knows a
// pool by its application definition (the name commands use, "A") and opens
// it under that name with the values of the configuration section of the
// same name (Path, OpenMode, SaveFile). Single-threaded; the service owns
// one.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "config/config_file.h"
#include "config/dictionary.h"
#include "dbm/dbm.h"
#include "util/result.h"

namespace corvanta::records {

inline constexpr std::int32_t kNoSuchPool = -151;
inline constexpr std::int32_t kNoSuchFileName = -152;
inline constexpr std::int32_t kNoAccess = -129;
inline constexpr std::int32_t kFilesDiffer = -237;
inline constexpr std::int32_t kUndefinedFileInUse = -238;

// Open flags of pool_select.
inline constexpr int kSelectFind = 1;      // find pool and file by name
inline constexpr int kSelectOpen = 4;      // open the pool and check its files
inline constexpr int kSelectTolerant = 8;  // a pool whose files differ stays open

// Operations of the access check.
inline constexpr int kAccessDisplay = 1;
inline constexpr int kAccessInsert = 2;
inline constexpr int kAccessUpdate = 3;
inline constexpr int kAccessDelete = 4;

// The description of a file for the database manager's CREATE and CHECK.
dbm::FileSpec file_spec(const dict::FileDef& def, int main_key_length);

class PoolLayer {
 public:
  PoolLayer(dbm::Dbm& dbm, const config::ConfigTable& configs, const dict::ApplDictionary& appl,
            std::FILE* out)
      : dbm_(dbm), configs_(configs), appl_(appl), out_(out) {}

  // Selects "POOL-FILE" (pool up to 11 characters, file up to 3) as the
  // current pool and file; with kSelectOpen also opens the pool and checks
  // its files. -151 / -152 for unknown names.
  ResultCode select(std::string_view name, int flags);
  // Makes a pool (and file) current without opening anything.
  ResultCode make_current(std::string_view pool, std::string_view file = {});
  void clear() {
    pool_ = nullptr;
    file_ = nullptr;
  }

  // Checks every file of the pool against its definition and creates the
  // missing ones: 0 or -237; files without definition that hold entries are
  // reported with -238.
  ResultCode check(const dict::AppPoolDef& pool);
  // 0 or -129 for user group `group` (0: no user or group) and an operation
  // 1 to 4; `file` may be null.
  ResultCode access_check(int group, const dict::FileDef* file, int operation) const;

  // The value of the pool's configuration section.
  std::string pool_value(const dict::AppPoolDef& pool, std::string_view key) const;

  const dict::AppPoolDef* pool() const { return pool_; }
  const dict::AppFileDef* file() const { return file_; }
  void set_file(const dict::AppFileDef* f) { file_ = f; }
  dbm::Dbm& dbm() { return dbm_; }
  const dict::ApplDictionary& application() const { return appl_; }
  void set_server_config(config::ConfigHandle h) { server_ = h; }

 private:
  dbm::Dbm& dbm_;
  const config::ConfigTable& configs_;
  const dict::ApplDictionary& appl_;
  std::FILE* out_;
  config::ConfigHandle server_ = config::kMainConfig;
  const dict::AppPoolDef* pool_ = nullptr;
  const dict::AppFileDef* file_ = nullptr;
};

}  // namespace corvanta::records
