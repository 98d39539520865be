#include "shell/service.h"

#include <unistd.h>

#include <algorithm>
#include <climits>

#include "pool/counters.h"
#include "shell/codes.h"
#include "shell/line_reader.h"
#include "util/date.h"
#include "util/posix_io.h"

namespace corvanta {
namespace {

std::int32_t limit_value(const config::ConfigTable& configs, config::ConfigHandle h, std::string_view key,
                         std::int32_t fallback, long largest) {
  const long v = configs.get_long(h, "Limits", key);
  if (v <= 0) return fallback;
  return static_cast<std::int32_t>(std::min(v, largest));
}

}  // namespace

Limits read_limits(const config::ConfigTable& configs, config::ConfigHandle h) {
  constexpr long k16 = 65535;
  constexpr long k32 = INT32_MAX;
  Limits l;
  l.max_rec_len = limit_value(configs, h, "MaxRecLen", l.max_rec_len, k32);
  l.max_fld_len = limit_value(configs, h, "MaxFldLen", l.max_fld_len, k32);
  l.max_trm_len = limit_value(configs, h, "MaxTrmLen", l.max_trm_len, k16);
  l.max_qry_len = limit_value(configs, h, "MaxQryLen", l.max_qry_len, k16);
  l.max_records = limit_value(configs, h, "MaxRecords", l.max_records, k32);
  l.max_fields = limit_value(configs, h, "MaxFields", l.max_fields, k32);
  l.max_results = limit_value(configs, h, "MaxResults", l.max_results, k32);
  l.max_sets = limit_value(configs, h, "MaxSets", l.max_sets, k32);
  l.max_ret_time = limit_value(configs, h, "MaxRetTime", l.max_ret_time, k32);
  l.max_scan_cnt = limit_value(configs, h, "MaxScanCnt", l.max_scan_cnt, k32);
  l.max_terms = limit_value(configs, h, "MaxTerms", l.max_terms, k16);
  l.max_aspects = limit_value(configs, h, "MaxAspects", l.max_aspects, k16);
  l.max_edt_stk = limit_value(configs, h, "MaxEdtStk", l.max_edt_stk, k16);
  l.idx_buf_len = limit_value(configs, h, "IdxBufLen", l.idx_buf_len, k32);
  l.ret_buf_len = limit_value(configs, h, "RetBufLen", l.ret_buf_len, k32);
  l.max_job_no = limit_value(configs, h, "MaxJobNo", l.max_job_no, k32);
  l.max_flt_time = limit_value(configs, h, "MaxFltTime", l.max_ret_time, k32);
  l.max_psi_time = limit_value(configs, h, "MaxPsiTime", l.max_psi_time, k32);
  l.max_psi_mem = limit_value(configs, h, "MaxPsiMem", l.max_psi_mem, k32);
  l.max_xsl_time = limit_value(configs, h, "MaxXslTime", l.max_xsl_time, k32);
  l.max_xsl_mem = limit_value(configs, h, "MaxXslMem", l.max_xsl_mem, k32);
  const char ignore = configs.get_char(h, "Limits", "IgnoreTimeout");
  l.ignore_timeout = ignore == 'Y' || ignore == 'y';
  return l;
}

Service::Service(std::FILE* in_stream, std::FILE* out_stream, CommandTable command_table,
                 ProcedureFactory make_procedures)
    : in(in_stream), out(out_stream), commands(command_table) {
  if (make_procedures != nullptr) procedures = make_procedures(*this);
}

Service::~Service() {
  system_shutdown();
  configs.close_all();
}

std::string Service::server_value(std::string_view section, std::string_view name) const {
  return configs.get(state.server_config, section, name);
}

std::string Service::date_template_for(std::string_view language) const {
  std::string key = "Date";
  key += cut_to(language, 3);
  std::string tmpl = server_value("Templates", key);
  return tmpl.empty() ? server_value("Templates", "Date") : tmpl;
}

ResultCode Service::dictionary_paths(std::string_view key, std::vector<std::string>& paths) const {
  paths.clear();
  const config::ConfigTree* tree = configs.tree(state.server_config);
  if (tree == nullptr) return 0;
  for (const config::ConfigEntry& e : tree->enumerate("Files")) {
    if (!e.has_value || !equal_nocase(e.name, key)) continue;
    if (paths.size() == dict::kMaxDictionaryFiles) {
      std::fprintf(out, "\nMORE THAN %zu %.*s FILES\n", dict::kMaxDictionaryFiles,
                   static_cast<int>(key.size()), key.data());
      return dict::kTooManyFiles;
    }
    paths.push_back(e.value);
  }
  return 0;
}

std::string Service::check_message(std::int32_t code, std::string_view args) const {
  const std::string text = messages.text("Check", code);
  if (text.empty()) return std::to_string(code) + " " + std::string(args);
  return insert_text(text, args);
}

std::string Service::job_protocol_prefix() const {
  const std::string prefix = configs.get(state.server_config, "Files", "UtilProt");
  return prefix.empty() ? "../temp/prot" : prefix;
}

void Service::write_server_log(std::string_view word) {
  const std::string path = server_value("Files", "ServerLog");
  if (path.empty()) return;
  std::FILE* log = open_append_stream(path);
  if (log == nullptr) return;
  std::fprintf(log, "%s %.*s\n", log_timestamp().c_str(), static_cast<int>(word.size()), word.data());
  std::fclose(log);
}

ResultCode Service::system_init(std::optional<std::string_view> server_config_name) {
  // 1. Reset the state and note when the service started.
  state = SystemState{};
  const CivilTime now = local_now();
  state.start_date = now.year * 10000L + now.month * 100L + now.day;
  state.start_time = now.hour * 10000L + now.minute * 100L + now.second;

  // 2. The server configuration.
  if (!server_config_name) {
    state.server_config = config::kMainConfig;
  } else {
    const std::string name = server_config_name->empty() ? "SERVER.CFG" : std::string(*server_config_name);
    const int h = configs.load(name);
    if (h < 0) return codes::kServerConfig;
    state.server_config = h;
  }

  pools.set_server_config(state.server_config);

  // 3.-5. Limits, sub-library and date template.
  state.limits = read_limits(configs, state.server_config);
  const std::string sublib = server_value("Sublibs", "Default");
  state.default_sublib = sublib.size() <= kMaxDefaultSublib && !sublib.empty() ? sublib : "ZB";
  state.current_sublib = state.default_sublib;
  const std::string tmpl = server_value("Templates", "Date");
  state.date_template = tmpl.size() <= kMaxDateTemplate && !tmpl.empty() ? tmpl : "YYYYMMDD";

  // 6.-7. Message catalogue and users table. Texts pass through the table
  // named by Templates/ISOSet, loaded when the first text is asked for.
  (void)messages.init(state.server_config);
  isoset_state_ = 0;
  messages.set_converter([this](std::string_view text) {
    if (isoset_state_ == 0) {
      const std::string path = configs.get(config::kMainConfig, "Templates", "ISOSet");
      isoset_state_ = !path.empty() && translations.load("ISOSet", path, state.escape_char).ok() ? 1 : 2;
    }
    return isoset_state_ == 1 ? translations.translate("ISOSet", text, records::kPlain, state.escape_char)
                              : std::string(text);
  });
  if (const ResultCode rc = users.load(server_value("Files", "UserTab")); rc.failed()) return rc;

  // 8.-10. The data and application dictionaries.
  print_definition_errors = true;
  const dict::ErrorOutput errors{print_definition_errors ? out : nullptr};
  std::vector<std::string> paths;
  if (const ResultCode rc = dictionary_paths("DataDict", paths); rc.failed()) return rc;
  if (const ResultCode rc = data_dictionary.load(paths, errors); rc.failed()) return rc;
  if (const ResultCode rc = dictionary_paths("ApplDict", paths); rc.failed()) {
    data_dictionary.release();
    return rc;
  }
  if (const ResultCode rc = appl_dictionary.load(paths, data_dictionary, errors); rc.failed()) {
    data_dictionary.release();
    return rc;
  }

  // The character translations of the definitions, for index terms.
  if (const ResultCode rc = translations.register_definitions(data_dictionary, state.escape_char);
      rc.failed()) {
    appl_dictionary.release();
    data_dictionary.release();
    return rc;
  }

  // The layouts of the forms, read like the dictionaries they belong to.
  if (const ResultCode rc = forms.load(appl_dictionary, print_definition_errors ? out : nullptr);
      rc.failed()) {
    appl_dictionary.release();
    data_dictionary.release();
    return rc;
  }

  // 11. General texts; 12. the result set files (kept from run to run, so
  // that later runs may name the sets).
  (void)texts.init(state.server_config);
  (void)sets.open(server_value("Files", "SetFile"), static_cast<std::uint32_t>(state.limits.max_sets));

  // 14. The job file; a larger MaxJobNo than it can hold fails the start-up
  // before any file is made.
  if (static_cast<std::uint32_t>(state.limits.max_job_no) > kMaxJobNumber) {
    appl_dictionary.release();
    data_dictionary.release();
    return codes::kMaxJobNoTooLarge;
  }
  jobs.open(server_value("Files", "JobLog"), server_value("Files", "JobSeq"),
            static_cast<std::uint32_t>(state.limits.max_job_no));

  // 15.-16. The XSLT processor; its result is returned at the end.
  const ResultCode xslt_rc = xslt.initialize();
  state.initialised = true;

  // 18. Server log.
  write_server_log("START");

  // 19. Bibliographic files.
  dict::mark_bibliographic_files(appl_dictionary);

  // 20. The escape character of character conversion.
  const long protype = configs.get_long(config::kMainConfig, "Convert", "Protype");
  if (protype >= 33 && protype <= 255) state.escape_char = static_cast<char>(protype);
  pools.set_record_limits(static_cast<std::size_t>(state.limits.max_rec_len),
                          static_cast<std::size_t>(state.limits.max_fld_len),
                          static_cast<std::size_t>(state.limits.idx_buf_len));
  pools.set_translations(&translations, state.escape_char);
  pools.set_max_query(static_cast<std::size_t>(state.limits.max_qry_len));
  pools.set_message_text(
      [this](std::int32_t code, std::string_view args) { return check_message(code, args); });

  // 17. What retrieval may take.
  records::RetrievalLimits retrieval_limits;
  retrieval_limits.max_aspects = static_cast<std::size_t>(state.limits.max_aspects);
  retrieval_limits.max_query = static_cast<std::size_t>(state.limits.max_qry_len);
  retrieval_limits.max_results = static_cast<std::uint32_t>(state.limits.max_results);
  retrieval_limits.max_ret_time = static_cast<std::uint32_t>(state.limits.max_ret_time);
  retrieval_limits.max_filter_time = static_cast<std::uint32_t>(state.limits.max_flt_time);
  retrieval_limits.ignore_timeout = state.limits.ignore_timeout;
  retrieval_limits.max_scan_cnt = static_cast<std::uint32_t>(state.limits.max_scan_cnt);
  retrieval.set_limits(retrieval_limits);
  pools.set_procedures(procedures.get());
  pools.set_numbering(
      [this](const dict::AppPoolDef& pool, const dict::FileDef& file, records::RecordHandle& h, char mode) {
        return records::numb_apply(dbm, pool, file, h, mode, records::current_year());
      });
  pools.set_link_search(
      [this](const dict::AppPoolDef& pool, const dict::LinkDef& link, std::string_view text, bool truncated,
             std::vector<std::uint32_t>& hits) { return link_search(pool, link, text, truncated, hits); });

  // The printout service: header texts, the text language, the output
  // translation and the files it uses.
  PrintEnvironment print;
  print.header_text = [this](std::string_view name) {
    const std::string text = texts.named_text("Header", name);
    return text.empty() ? std::string(name) : text;
  };
  print.language = [this] { return messages.current_language(); };
  print.select_language = [this](std::string_view code) {
    messages.select(code);
    texts.select(code);
  };
  print.translate = [this](std::string_view name, std::string_view text) {
    // A name without a table (an encoding name only) leaves the text as it is.
    if (translations.find(name) == nullptr) return std::string(text);
    return translations.translate(name, text, records::kPlain, state.escape_char);
  };
  print.temp_directory = server_value("Directories", "Temp");
  print.style_pattern = server_value("Files", "XStyle");
  print.debug_path = server_value("Files", "XDebug");
  print.content_size = static_cast<std::size_t>(state.limits.max_rec_len);
  printout.set_environment(std::move(print));
  return xslt_rc;
}

void Service::system_shutdown() {
  if (!state.initialised) return;
  write_server_log("END");
  jobs.close();
  sets.close();
  forms.clear();
  if (procedures != nullptr) procedures->clear();
  texts.release();
  appl_dictionary.release();
  data_dictionary.release();
  translations.clear();
  users.release();
  messages.release();
  if (state.server_config != config::kMainConfig) configs.close(state.server_config);
  xslt.terminate();
  state.initialised = false;
}

ResultCode Service::login(std::optional<std::string_view> user, std::optional<std::string_view> password) {
  // Only a terminal is asked for what is missing: from a command file the
  // next lines are commands, never a user name or a password.
  const bool ask = reporter.interactive();
  std::string name(user.value_or(""));
  if (name.empty() && ask) {
    if (!user) std::fputs("\nLOGIN", out);
    std::fputs("\nUSER  : ", out);
    std::fflush(out);
    name = read_line(in, kLoginLineSize).value_or("");
  }
  std::string pass(password.value_or(""));
  if (pass.empty() && ask) {
    std::fputs("\nPASS  : ", out);
    std::fflush(out);
    pass = read_line(in, kLoginLineSize).value_or("");
    std::fputs("\n", out);
  }
  upper_in_place(name);
  const ResultCode rc = users.login(name, pass);
  logged_in_ = rc.code() == 0;
  const User* current = users.current();
  pools.set_user(current != nullptr ? current->name : "", current != nullptr ? current->group : 0);
  return rc;
}

void Service::command_loop(BatchResult& result) {
  ParamList params(kCommandLineEntries);
  std::FILE* pause_input = ::isatty(::fileno(in)) ? in : nullptr;
  bool prompt = false;  // start-up printed the first prompt
  while (failed_logins_ < kMaxLoginAttempts) {
    if (prompt) {
      std::fputs("\n\nCMD> ", out);
      std::fflush(out);
    }
    bool too_long = false;
    const std::optional<std::string> line = read_line(in, kCommandLineSize, &too_long);
    if (!line) break;  // the end of the input ends the service like END
    prompt = !line->empty();
    if (line->empty()) continue;
    if (too_long) {
      reporter.error_message(overlong_line_text(*line), codes::kCommandLineTooLong);
      continue;
    }

    params.parse(*line);
    if (params.command() == "END") break;
    if (params.command() == "LOGIN") {
      const ResultCode rc = login(params.get("USER"), params.get("PASS"));
      if (rc.code() < 0) {
        reporter.error_message("LOGIN", rc.code(), true);
        ++failed_logins_;
      }
      continue;
    }
    if (!logged_in_) {
      const ResultCode rc = login(std::nullopt, std::nullopt);
      if (rc.code() < 0) {
        // The command is refused; from a command file the next line is
        // read as the next command.
        reporter.error_message("LOGIN", rc.code(), true);
        ++failed_logins_;
        continue;
      }
    }
    result.clear_for_command();
    const ResultCode rc = dispatch(params, result);
    print_rows(result, out, pause_input);
    if (rc.failed()) reporter.error_message(*line, rc.code());
  }
  if (failed_logins_ >= kMaxLoginAttempts) {
    std::fputs("Exit after 3 invalid attempts - Sorry\n", out);
    std::fflush(out);
  }
}

void Service::run(const std::string& main_config) {
  if (const ResultCode rc = configs.load_main_path(main_config); rc.failed()) {
    reporter.error_message("Configuration", rc.code());
    return;
  }
  std::fprintf(out, "\nCorvanta %d.%d Batch Service\n", kVersionMajor, kVersionMinor);
  std::fflush(out);
  print_definition_errors = true;

  if (const ResultCode rc = system_init(); rc.failed()) {
    messages.select({});    // so that the message can show its text
    std::fputs("\n", out);  // after the definition errors, which end without one
    reporter.error_message("Initialization", rc.code());
    system_shutdown();
    configs.close(config::kMainConfig);
    return;
  }
  reporter.open_utility_log(server_value("Files", "UtilLog"));
  messages.select({});
  texts.select({});

  BatchResult result(kRowBufferSize);
  std::fputs("\n\nCMD> ", out);
  std::fflush(out);
  command_loop(result);

  reporter.close_job_protocol();
  reporter.close_utility_log();
  result.buffer.release();
  (void)dbm.close_all();
  system_shutdown();
  configs.close(config::kMainConfig);
}

ResultCode Service::link_search(const dict::AppPoolDef& pool, const dict::LinkDef& link,
                                std::string_view text, bool truncated, std::vector<std::uint32_t>& hits) {
  const dict::LocateDef* locate = nullptr;
  for (const dict::AppFileDef* f : pool.file_defs) {
    for (const dict::LocateDef* l : f->locate_defs) {
      if (locate == nullptr && !link.search.empty() && l->name == link.search) locate = l;
    }
  }
  if (locate == nullptr) return 0;  // no search definition: the text finds nothing
  const dict::AppFileDef* target = nullptr;
  for (const dict::AppFileDef* f : pool.file_defs) {
    if (locate->file.empty() ? (f->data != nullptr && f->data->number == link.target_file)
                             : f->name == locate->file)
      target = f;
  }
  if (target == nullptr) return 0;
  records::ParsedQuery query;
  records::QueryTerm term;
  term.aspect = locate->aspect;
  term.value = std::string(text) + (truncated ? "?" : "");
  query.terms.push_back(std::move(term));
  query.nodes.push_back(records::QueryNode{});
  records::IdnList found;
  std::string echo;
  const ResultCode rc = retrieval.evaluate(pool, *target, query, found, echo);
  if (rc.failed()) return rc;
  if (locate->limit != 0 && found.size() > locate->limit) found.resize(locate->limit);
  hits.insert(hits.end(), found.begin(), found.end());
  return 0;
}

}  // namespace corvanta
