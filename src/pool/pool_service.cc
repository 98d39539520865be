#include "pool/pool_service.h"

#include "util/text.h"

namespace corvanta::records {

dbm::FileSpec file_spec(const dict::FileDef& def, int main_key_length) {
  dbm::FileSpec s;
  s.role = def.role == dict::Role::Main ? 'M' : (def.role == dict::Role::Sub ? 'S' : 'N');
  s.file = def.number;
  s.main = def.role == dict::Role::Sub ? def.main_file : 0;
  s.kind = def.organisation == dict::Organisation::List
               ? 'L'
               : (def.organisation == dict::Organisation::Data ? 'D' : 'R');
  s.key_length = def.role == dict::Role::Sub ? main_key_length : def.index_length;
  s.key_form = def.fixed_keys ? 'F' : 'V';
  s.entry_length = def.role == dict::Role::Main ? 0 : def.index_data_length;
  s.length =
      def.organisation == dict::Organisation::List ? def.item_length : static_cast<int>(def.data_length);
  s.data_form = def.fixed_data ? 'F' : 'V';
  return s;
}

std::string PoolLayer::pool_value(const dict::AppPoolDef& pool, std::string_view key) const {
  return configs_.get(server_, pool.name, key);
}

ResultCode PoolLayer::make_current(std::string_view pool, std::string_view file) {
  clear();
  const dict::AppPoolDef* p = pool.empty() ? nullptr : appl_.find_pool(pool);
  if (p == nullptr) return kNoSuchPool;
  pool_ = p;
  if (!file.empty() && static_cast<unsigned char>(file.front()) > ' ') {
    file_ = dict::ApplDictionary::find_file(*p, file);
    if (file_ == nullptr) return kNoSuchFileName;
  }
  return 0;
}

ResultCode PoolLayer::select(std::string_view name, int flags) {
  clear();
  const std::size_t dash = name.find('-');
  const std::string_view pool = cut_to(name.substr(0, dash), 11);
  const std::string_view file =
      dash == std::string_view::npos ? std::string_view() : cut_to(name.substr(dash + 1), 3);
  if (flags == 0 || flags == 2 || name.empty()) return 0;
  if (const ResultCode rc = make_current(pool, file); rc.failed()) return rc;
  if ((flags & kSelectOpen) == 0) return 0;
  const std::string path = pool_value(*pool_, "Path");
  const std::string mode = pool_value(*pool_, "OpenMode");
  // The rings of the definition, as the commands open the pool with them.
  const std::size_t index_frames = pool_->data != nullptr ? pool_->data->index_buffers : 0;
  const std::size_t data_frames = pool_->data != nullptr ? pool_->data->data_buffers : 0;
  const ResultCode opened =
      dbm_.open(pool_->name, path, mode.empty() ? 'U' : mode.front(), ' ', index_frames, data_frames);
  if (opened.code() == 0) {
    const ResultCode checked = check(*pool_);
    if (checked.failed() && !(checked.code() == kFilesDiffer && (flags & kSelectTolerant) != 0)) {
      (void)dbm_.close(pool_->name);
      return checked;
    }
  } else if (opened.failed()) {
    return opened;
  }
  (void)dbm_.set_save_file(pool_->name, pool_value(*pool_, "SaveFile"));
  return 0;
}

ResultCode PoolLayer::check(const dict::AppPoolDef& pool) {
  if (pool.data == nullptr) return kNoSuchPool;
  const std::string& name = pool.name;
  int failures = 0;
  auto report = [&](std::int32_t code, int file) {
    if (out_ != nullptr)
      std::fprintf(out_, "DBM: Mess=%03d, Func=CHECK, Pool=%s, File=%04d\n", code, name.c_str(), file);
  };
  for (const dict::FileDef* def : pool.data->file_defs) {
    const dict::FileDef* main = def->role == dict::Role::Sub ? pool.data->find_file(def->main_file) : nullptr;
    const dbm::FileSpec wanted = file_spec(*def, main != nullptr ? main->index_length : 0);
    ResultCode rc = dbm_.check(name, wanted);
    if (rc.code() == 2) {
      std::uint32_t n = 0;
      (void)dbm_.count(name, def->number, n);
      if (n == 0 && dbm_.drop_file(name, def->number).ok()) {
        rc = 1;
      } else {
        report(kFilesDiffer, def->number);
        ++failures;
        continue;
      }
    }
    if (rc.code() == 1) rc = dbm_.create(name, wanted);
    if (rc.failed()) {
      report(rc.code(), def->number);
      ++failures;
    }
  }
  // Files that exist without a definition.
  if (dbm::Pool* open = dbm_.find_pool(name)) {
    for (int n = 1; n <= dbm::kMaxFileNumber; ++n) {
      if (open->file(n) == nullptr || pool.data->find_file(static_cast<std::uint16_t>(n)) != nullptr)
        continue;
      std::uint32_t count = 0;
      (void)dbm_.count(name, n, count);
      if (count != 0 || dbm_.drop_file(name, n).failed()) report(kUndefinedFileInUse, n);
    }
  }
  return failures == 0 ? ResultCode(0) : ResultCode(kFilesDiffer);
}

ResultCode PoolLayer::access_check(int group, const dict::FileDef* file, int operation) const {
  if (group <= 0 || operation < 1 || operation > 4 || pool_ == nullptr || pool_->data == nullptr) return 0;
  // Groups 1 to 8 have a bit in the access sets; a group without one (the
  // users table allows 9) has no access at all.
  if (group > 8) return kNoAccess;
  const auto mask = [operation](std::uint8_t d, std::uint8_t i, std::uint8_t u, std::uint8_t x) {
    return operation == kAccessDisplay  ? d
           : operation == kAccessInsert ? i
           : operation == kAccessUpdate ? u
                                        : x;
  };
  const std::uint8_t bit = static_cast<std::uint8_t>(1u << (group - 1));
  const dict::PoolDef& p = *pool_->data;
  if ((mask(p.access_display, p.access_insert, p.access_update, p.access_delete) & bit) == 0)
    return kNoAccess;
  if (file != nullptr &&
      (mask(file->access_display, file->access_insert, file->access_update, file->access_delete) & bit) ==
          0) {
    return kNoAccess;
  }
  return 0;
}

}  // namespace corvanta::records
