#include "shell/support.h"

#include <cstdio>
#include <ctime>

#include "shell/codes.h"
#include "shell/pool_profile.h"
#include "shell/service.h"
#include "util/big_endian.h"
#include "util/date.h"
#include "util/text.h"

namespace corvanta {

namespace {

// The ring size an opening asks for: the dbm's default for none.
std::size_t ring_frames(std::uint16_t configured) {
  return configured != 0 ? configured : dbm::kDefaultFrames;
}

// True when the pool, open already, serves an opening in `mode` with these
// rings: it is open in that mode (mode R with its deferred writes), or in a
// writing mode R or U for an inquiry. A pool marked damaged is opened again,
// so that mode U refuses it as its opening would.
bool serves(const dbm::Pool& open, char mode, std::size_t index_frames, std::size_t data_frames) {
  if (open.header.error == 'E') return false;
  if (mode == dbm::kModeInquiry && (open.mode() == dbm::kModeUpdate || open.mode() == dbm::kModeRead))
    return true;
  return open.mode() == mode && (mode != dbm::kModeRead || open.write_policy() == 'W') &&
         open.index_buffers.size() == index_frames && open.data_buffers.size() == data_frames;
}

// Message 150 once the last save is `days` old.
void report_last_save(Service& service, const dict::AppPoolDef& pool, long days) {
  std::uint32_t initiated = 0;
  std::uint32_t closed = 0;
  std::uint32_t saved = 0;
  (void)service.dbm.pool_times(pool.name, initiated, closed, saved);
  const std::uint32_t last = saved != 0 ? saved : initiated;
  const std::string text = bat_date_text(last);
  long since = 0;
  std::string today;
  if (!text.empty() && date_convert(0, 2, "", today) == 0 && date_diff(2, 2, text, today, since) == 0 &&
      since >= days) {
    service.reporter.screen_text(text, kMsgLastSave);
  }
}

}  // namespace

ResultCode bat_pool_open(Service& service, char mode, char save, bool* kept) {
  const dict::AppPoolDef* pool = service.pools.pool();
  if (pool == nullptr) return codes::kNoCurrentPool;
  const std::size_t index_frames = ring_frames(pool->data != nullptr ? pool->data->index_buffers : 0);
  const std::size_t data_frames = ring_frames(pool->data != nullptr ? pool->data->data_buffers : 0);
  const std::string save_file = save == 'N' ? std::string() : service.pools.pool_value(*pool, "SaveFile");
  const dbm::Pool* open = service.dbm.find_pool(pool->name);
  const bool reuse = open != nullptr && serves(*open, mode, index_frames, data_frames);
  if (kept != nullptr) *kept = reuse;
  if (reuse) {
    // In its own mode the pool journals where this opening asks; a writing
    // mode serving an inquiry keeps its save file (an inquiry writes nothing).
    if (open->mode() == mode) (void)service.dbm.set_save_file(pool->name, save_file);
  } else {
    if (open != nullptr) (void)service.dbm.close(pool->name);
    const std::string path = service.pools.pool_value(*pool, "Path");
    if (const ResultCode rc =
            service.dbm.open(pool->name, path, mode, mode == 'R' ? 'W' : ' ', index_frames, data_frames);
        rc.failed())
      return rc;
    (void)service.dbm.set_save_file(pool->name, save_file);
  }
  const long days = parse_long(service.pools.pool_value(*pool, "DaysLastSave"));
  if (days <= 0) return 0;
  if (mode == dbm::kModeRead) report_last_save(service, *pool, days);
  // The files were checked when the pool was opened.
  if (reuse) return 0;
  const ResultCode checked = service.pools.check(*pool);
  if (checked.failed() && !(checked.code() == records::kFilesDiffer && mode == 'I')) {
    (void)service.dbm.close(pool->name);
    return checked;
  }
  return 0;
}

ResultCode bat_pool_open_checked(Service& service, char mode, char save, int group) {
  if (const ResultCode rc = bat_pool_open(service, mode, save); rc.failed()) return rc;
  if (const ResultCode rc = bat_permission(service, group); rc.failed()) {
    (void)bat_pool_close(service);
    return rc;
  }
  return 0;
}

ResultCode bat_display_access(Service& service) {
  const dict::AppFileDef* file = service.pools.file();
  return service.pools.access_check(file != nullptr ? file->data : nullptr, records::kAccessDisplay);
}

ResultCode bat_pool_close(Service& service) {
  const dict::AppPoolDef* pool = service.pools.pool();
  if (pool == nullptr) return codes::kNoCurrentPool;
  if (service.dbm.find_pool(pool->name) == nullptr) return 0;
  return service.dbm.close(pool->name);
}

namespace {

constexpr std::int32_t kMsgRightNeeded = 303;  // "%s": the right a command needs

ResultCode right_missing(Service& service, const std::string& right) {
  service.reporter.log_text(right, kMsgRightNeeded);
  return codes::kNoPermission;
}

std::string function_name(int group) {
  for (const NamedRight& f : kFunctionNames) {
    if (f.number == group) return std::string(f.name) + " (" + std::to_string(group) + ")";
  }
  return std::to_string(group);
}

}  // namespace

ResultCode bat_admin(Service& service) {
  const ResultCode rc = service.users.check_permission(kPermissionAdm);
  return rc.code() == codes::kNoPermission ? right_missing(service, "ADM") : rc;
}

ResultCode bat_permission(Service& service, int group) {
  const User* user = service.users.current();
  if (user == nullptr) return codes::kNoPermission;
  const auto by_table = [&] {
    return user->has_permission(kPermissionAdm) ? ResultCode(0) : right_missing(service, "ADM");
  };
  PoolProfile profile;
  if (service.pools.pool() == nullptr || read_profile(service, user->name, profile).code() != 0)
    return by_table();
  const char adm = profile.permissions[kPermissionAdm];
  if (adm == '1') return 0;
  if (adm != '0') return by_table();
  if (profile.function(group)) return 0;
  return right_missing(service, function_name(group) + ", POOL=" + service.pools.pool()->name);
}

ResultCode bat_record_from_params(Service& service, const ParamList& params, std::uint32_t& idn) {
  constexpr std::int32_t kNoSuchPosition = -457;
  idn = 0;
  if (params.has("IDN")) {
    const long n = parse_long(params.get("IDN"));
    if (n < 1 || n > 0xFFFFFF) return kNoSuchPosition;
    if (service.pools.file() == nullptr) return codes::kNoCurrentFile;
    idn = static_cast<std::uint32_t>(n);
    return 0;
  }
  if (!params.has("SET")) return kNoSuchPosition;
  const long number = parse_long(params.get("SET"));
  const long position = parse_long(params.get("NUMBER"));
  if (number < 1 || position < 1) return kNoSuchPosition;
  records::ResultSet set;
  if (const ResultCode rc = service.sets.load(static_cast<std::uint32_t>(number), set); rc.failed())
    return rc;
  if (static_cast<unsigned long>(position) > set.hits.size()) return kNoSuchPosition;
  const dict::AppPoolDef* pool = service.appl_dictionary.find_pool(set.pool);
  if (pool == nullptr || set.pool.empty()) return codes::kNoCurrentPool;
  const dict::AppFileDef* file = nullptr;
  for (const dict::AppFileDef* f : pool->file_defs) {
    if (file == nullptr && f->data != nullptr && f->data->number == set.file) file = f;
  }
  if (file == nullptr) return codes::kNoCurrentFile;
  if (const ResultCode rc = service.pools.make_current(pool->name, file->name); rc.failed()) return rc;
  idn = set.hits[static_cast<std::size_t>(position - 1)];
  return 0;
}

bool bat_sublib_match(records::RecordHandle& record, std::string_view tag, std::string_view sublib) {
  constexpr int kOccurrences = 100;
  constexpr std::size_t kCodeLength = 5;
  if (sublib.empty() || sublib == "*") return true;
  for (int n = 1; n <= kOccurrences; ++n) {
    records::FieldDesc f;
    f.tag = std::string(tag);
    f.occurrence = static_cast<std::uint16_t>(n);
    if (records::fld_get(record, f).code() != 0) return n == 1;
    // A code field is blank-filled to its length: "ZB   " is "ZB".
    if (trim_trailing_blanks(cut_to(f.content(), kCodeLength)) ==
        trim_trailing_blanks(cut_to(sublib, kCodeLength)))
      return true;
  }
  return false;
}

void bat_filter_by_sublib(Service& service, std::vector<std::uint32_t>& idns, std::string_view tag,
                          std::string_view sublib) {
  const dict::AppPoolDef* pool = service.pools.pool();
  const dict::AppFileDef* file = service.pools.file();
  if (pool == nullptr || file == nullptr) {
    idns.clear();
    return;
  }
  const long max = service.configs.get_long(service.state.server_config, "Limits", "MaxRecLen");
  std::vector<unsigned char> buffer(static_cast<std::size_t>(max > 0 ? max : 30000));
  std::size_t kept = 0;
  for (const std::uint32_t idn : idns) {
    unsigned char key[4];
    put_u32(key, idn);
    dbm::DataRef ref{buffer};
    if (service.dbm.read(pool->name, file->number, key, ref).code() != 0) continue;
    records::RecordHandle h;
    h.attach(buffer.data(), buffer.size());
    h.length = static_cast<std::uint32_t>(ref.length);
    if (bat_sublib_match(h, tag, sublib)) idns[kept++] = idn;
  }
  idns.resize(kept);
}

ResultCode bat_pool_param(Service& service, const ParamList& params) {
  if (params.has("POOL")) {
    if (const ResultCode rc = service.pools.make_current(params.get_into("POOL", "", 11, true)); rc.failed())
      return rc;
  }
  return service.pools.pool() == nullptr ? ResultCode(codes::kNoCurrentPool) : ResultCode(0);
}

ResultCode bat_open_pool_param(Service& service, const ParamList& params, char mode, int group) {
  if (const ResultCode rc = bat_pool_param(service, params); rc.failed()) return rc;
  return bat_pool_open_checked(service, mode, 'Y', group);
}

ResultCode bat_key_for_index(Service&, std::vector<std::string>&, std::string_view, const dict::AspectDef&) {
  constexpr std::int32_t kNoTermRules = -11;
  return kNoTermRules;
}

ResultCode bat_select_file(Service& service, const ParamList& params, std::string_view file_name,
                           std::string& language) {
  const std::string pool = params.get_into("POOL", "", 1, true);
  const dict::AppPoolDef* def = service.appl_dictionary.find_pool(pool);
  if (pool.empty() || def == nullptr) return codes::kNoCurrentPool;
  const std::string file = file_name.empty() ? params.get_into("FILE", "", 3, true) : std::string(file_name);
  if (file.empty() || dict::ApplDictionary::find_file(*def, file) == nullptr) return codes::kNoCurrentFile;
  language = params.get_into("LANGUAGE", "", 3, true);
  if (!language.empty()) {
    service.messages.select(language);
    service.texts.select(language);
  }
  service.current_params = &params;
  return service.pools.select(pool + "-" + file, records::kSelectFind | 2 | records::kSelectOpen);
}

const dict::AspectDef* bat_find_index(Service& service, std::string_view name) {
  const dict::AppFileDef* file = service.pools.file();
  return file != nullptr ? file->find_aspect(name) : nullptr;
}

std::string bat_date_param(Service& service, const ParamList& params, std::string_view key,
                           bool today_if_short) {
  const std::string text(trim_blanks(params.get(key)));
  std::string out;
  if (text.size() < 8 && today_if_short) {
    (void)date_convert(0, 6, "", out);
    return out;
  }
  const int form = date_detect(text, service.date_template_for(service.messages.current_language()));
  if (form == 0 || date_convert(form, 6, text, out) != 0) return {};
  return out;
}

void bat_number_list(std::string_view text, std::vector<std::uint8_t>& flags, int max) {
  flags.assign(static_cast<std::size_t>(std::max(max, 0)) + 1, 0);
  if (equal_nocase(cut_to(trim_blanks(text), 3), "ALL")) {
    flags[0] = 1;
    return;
  }
  std::size_t i = 0;
  auto skip = [&] {
    while (i < text.size() && (text[i] == ' ' || text[i] == ',')) ++i;
  };
  auto number = [&]() -> long {
    long v = 0;
    bool any = false;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
      v = std::min(v * 10 + (text[i] - '0'), 1000000L);
      ++i;
      any = true;
    }
    return any ? v : 0;
  };
  for (;;) {
    skip();
    const long from = number();
    if (from < 1) return;
    long to = from;
    while (i < text.size() && text[i] == ' ') ++i;
    if (i < text.size() && text[i] == '-') {
      ++i;
      while (i < text.size() && text[i] == ' ') ++i;
      to = number();
      if (to < from) to = from;
    }
    for (long n = from; n <= to && n <= max; ++n) flags[static_cast<std::size_t>(n)] = 1;
  }
}

namespace {

bool is_path(std::string_view output) {
  return !output.empty() && (output[0] == '.' || output[0] == '/' || output[0] == '\\');
}

}  // namespace

std::string bat_output_name(Service& service, const ParamList& params, std::string_view word, char suffix) {
  const std::string_view output = params.get("OUTPUT");
  if (is_path(output)) return std::string(output) + (suffix != 0 ? std::string(1, suffix) : std::string());
  char name[160];
  std::snprintf(name, sizeof name, "%.*s_%s.%04lu", static_cast<int>(word.size()), word.data(),
                service.state.current_sublib.c_str(), static_cast<unsigned long>(params.job_no));
  // Without a configured directory the file goes to the working directory,
  // never to the root of the file system.
  std::string path = service.configs.get(service.state.server_config, "Directories", "Print");
  if (!path.empty()) path += "/";
  path += name;
  if (suffix != 0) path += suffix;
  return path;
}

std::string bat_output_path(Service& service, const ParamList& params, std::string_view default_name) {
  const std::string_view output = params.get("OUTPUT");
  if (is_path(output)) return std::string(output);
  std::string dir = service.configs.get(service.state.server_config, "Directories", "Print");
  if (dir.empty()) dir = service.configs.get(service.state.server_config, "Directories", "Temp");
  std::string path =
      (dir.empty() ? std::string() : dir + "/") + std::string(output.empty() ? default_name : output);
  if (params.job_no >= 1) {
    char suffix[16];
    std::snprintf(suffix, sizeof suffix, ".%04lu", static_cast<unsigned long>(params.job_no));
    path += suffix;
  }
  return path;
}

namespace {

FieldStyle column_style(const dict::ColumnDef& column) {
  FieldStyle style;
  style.width_percent = column.width;
  style.attribute = column.attribute;
  style.code2 = column.code2;
  style.code3 = column.code3;
  style.picture = equal_nocase(column.type, "BMP");
  return style;
}

}  // namespace

void bat_add_row(Service& service, std::string_view text, BatchResult& result) {
  const dict::ColumnDef* column = nullptr;
  if (const dict::AppPoolDef* pool = service.pools.pool()) {
    const dict::FormDef* form =
        service.pools.file() != nullptr ? service.pools.file()->find_form("DEFAULT-1") : nullptr;
    for (std::size_t i = 0; form == nullptr && i < pool->file_defs.size(); ++i) {
      form = pool->file_defs[i]->find_form("DEFAULT-1");
    }
    if (form != nullptr && !form->column_defs.empty()) column = form->column_defs.front();
  }
  if (column == nullptr) {
    add_text_row(result, text);
    return;
  }
  RowWriter row(result, column->row_type);
  row.add_field(text, column_style(*column));
  row.finish();
}

std::size_t bat_add_lines(BatchResult& result, const std::vector<records::FormattedLine>& lines,
                          const dict::FormDef* form, std::size_t limit) {
  std::size_t added = 0;
  for (const records::FormattedLine& line : lines) {
    if (added >= limit) break;
    const std::vector<const dict::ColumnDef*> none;
    const auto& columns = form != nullptr ? form->column_defs : none;
    RowWriter row(result, columns.empty() ? 'U' : columns.front()->row_type);
    for (std::size_t i = 0; i < line.size(); ++i) {
      row.add_field(line[i], i < columns.size() ? column_style(*columns[i]) : FieldStyle{});
    }
    row.finish();
    ++added;
  }
  return added;
}

std::string bat_date_text(std::uint32_t time) {
  if (time == 0) return {};
  return date_fill("DD.MM.YYYY", local_time(time));
}

}  // namespace corvanta
