// The service context: everything the batch service holds for its lifetime.
//
// Service owns the configuration handles, the message and text catalogues,
// the output channels, the users table, the XSLT processor and the system
// state that the initialisation fills (limits, sub-libraries, date template,
// start time). Command handlers receive it by reference; nothing of this
// lives in globals. run() is the program: start-up, command loop, shutdown.
//
// Single-threaded: one command runs at a time and the loop waits for it.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "config/config_file.h"
#include "config/dictionary.h"
#include "dbm/dbm.h"
#include "forms/formatting.h"
#include "output/printout.h"
#include "output/xslt.h"
#include "pool/pool_service.h"
#include "pool/procedures.h"
#include "records/translate.h"
#include "search/result_sets.h"
#include "search/retrieval.h"
#include "shell/batch_result.h"
#include "shell/command_table.h"
#include "shell/jobs.h"
#include "shell/messages.h"
#include "shell/params.h"
#include "shell/users.h"
#include "util/result.h"

namespace corvanta {

inline constexpr int kVersionMajor = 5;
inline constexpr int kVersionMinor = 1;
inline constexpr std::size_t kCommandLineSize = 1001;  // 1000 characters and the terminator
inline constexpr std::size_t kLoginLineSize = 21;
inline constexpr std::size_t kRowBufferSize = 30000;
inline constexpr int kMaxLoginAttempts = 3;
inline constexpr std::size_t kMaxDefaultSublib = 10;
inline constexpr std::size_t kMaxCurrentSublib = 11;
inline constexpr std::size_t kMaxDateTemplate = 22;

// Section "Limits" of the server configuration. A missing, empty, zero or
// negative value gives the default; values beyond a field's width are cut to
// its largest value.
struct Limits {
  std::int32_t max_rec_len = 30000;
  std::int32_t max_fld_len = 7500;
  std::int32_t max_trm_len = 256;  // 16 bits
  std::int32_t max_qry_len = 500;  // 16 bits
  std::int32_t max_records = 5000;
  std::int32_t max_fields = 1000;
  std::int32_t max_results = 10000;
  std::int32_t max_sets = 5000;
  std::int32_t max_ret_time = 120;  // seconds
  std::int32_t max_scan_cnt = 100000;
  std::int32_t max_terms = 240;    // 16 bits
  std::int32_t max_aspects = 100;  // 16 bits
  std::int32_t max_edt_stk = 10;   // 16 bits
  std::int32_t idx_buf_len = 10000;
  std::int32_t ret_buf_len = 2048;
  std::int32_t max_job_no = 100;
  std::int32_t max_flt_time = 120;  // seconds a FILTER may take; default MaxRetTime
  // What one run of a script started on behalf of a user without ADM may
  // take: seconds, and megabytes for its strings and arrays.
  std::int32_t max_psi_time = 60;
  std::int32_t max_psi_mem = 256;
  // What a stylesheet a command names may take: processor seconds and
  // megabytes of memory.
  std::int32_t max_xsl_time = 300;
  std::int32_t max_xsl_mem = 2048;
  bool ignore_timeout = false;
};

Limits read_limits(const config::ConfigTable& configs, config::ConfigHandle server);

// What the system initialisation fills.
struct SystemState {
  config::ConfigHandle server_config = 0;
  Limits limits;
  std::string default_sublib;  // at most 10 characters; "ZB" when none is set
  std::string current_sublib;  // at most 11 characters
  std::string date_template;   // at most 22 characters; "YYYYMMDD" when none is set
  long start_date = 0;         // YYYYMMDD
  long start_time = 0;         // HHMISS
  char escape_char = '\\';     // of character conversion
  bool initialised = false;
};

class Service;

// Makes the runner of the pools' procedures for a service; the layer above
// the shell provides it (the scripting layer runs them as scripts).
using ProcedureFactory = std::unique_ptr<records::ProcedureRunner> (*)(Service& service);

class Service {
 public:
  // `in` and `out` are the command input and the screen; both stay the
  // caller's. `commands` is the command table (it outlives the service);
  // `procedures`, when given, makes the runner of the pools' procedures
  // (without one they are skipped).
  Service(std::FILE* in, std::FILE* out, CommandTable commands, ProcedureFactory procedures = nullptr);
  ~Service();
  Service(const Service&) = delete;
  Service& operator=(const Service&) = delete;

  // Start-up, command loop and shutdown: the whole program. `main_config`
  // is the main configuration's path (default "../etc/corvanta.cfg").
  void run(const std::string& main_config = "../etc/corvanta.cfg");

  // System initialisation. Without a name the main configuration serves as
  // server configuration; with one, that file ("SERVER.CFG" when empty) is
  // loaded as a further handle.
  ResultCode system_init(std::optional<std::string_view> server_config_name = std::nullopt);
  // Undoes system_init; does nothing when not initialised.
  void system_shutdown();

  // Logs a user in. On a terminal, an absent user name (the automatic login
  // before a command) prints "\nLOGIN" before the prompts; an empty one
  // prompts without it; same for the password. Without a terminal nothing
  // is asked or read: what is missing stays missing (-124).
  ResultCode login(std::optional<std::string_view> user, std::optional<std::string_view> password);

  // Runs one command through the command table.
  ResultCode dispatch(ParamList& params, BatchResult& result);
  // The row of `word` in the command table (the end row when none).
  const CommandEntry& find_command(std::string_view word) const;
  // Calls the row's handler and syncs the journals it wrote to, so that
  // what the command reports as done is on disk.
  ResultCode run_handler(const CommandEntry& row, ParamList& params, BatchResult& result);
  // Closes the pool a command left open.
  void close_current_pool();

  // Files/UtilProt, the job protocols' path before ".NNNN" ("../temp/prot"
  // when not configured).
  std::string job_protocol_prefix() const;

  // The text of a record check's message (group "Check") with its
  // arguments; the number and the arguments when the group has none.
  std::string check_message(std::int32_t code, std::string_view args) const;

  // The configured date template for `language` (Templates/Date + code,
  // else Templates/Date).
  std::string date_template_for(std::string_view language) const;

  std::FILE* const in;
  std::FILE* const out;
  const CommandTable commands;
  config::ConfigTable configs;
  MessageCatalogue messages{configs, "Messages"};
  MessageCatalogue texts{configs, "Texts"};
  Reporter reporter{messages, out, in};
  UsersTable users;
  dict::DataDictionary data_dictionary;
  dict::ApplDictionary appl_dictionary;
  records::Translations translations;
  dbm::Dbm dbm{dbm::default_file_system(), out};
  records::PoolLayer pools{dbm, configs, appl_dictionary, out};
  records::FormCatalogue forms;
  records::SetFiles sets{dbm::default_file_system()};
  records::Retrieval retrieval{pools, sets, forms};
  std::unique_ptr<records::ProcedureRunner> procedures;  // the pools' procedures; may be empty
  bool print_definition_errors = false;                  // switched on by the start-up
  JobLog jobs;
  XsltProcessor xslt;
  Printout printout{pools, forms, xslt, dbm::default_file_system()};
  SystemState state;
  const ParamList* current_params = nullptr;  // of the command that runs
  int command_file_depth = 0;                 // EXECUTE within EXECUTE

 private:
  void command_loop(BatchResult& result);
  // The values of the repeated key Files/`key` in the order of their lines;
  // -148 when there are more than the service takes.
  ResultCode dictionary_paths(std::string_view key, std::vector<std::string>& paths) const;
  void write_server_log(std::string_view word);
  // A link text looked up in the link's target file by the link's LOCATE=
  // search definition (its aspect); "?" truncates when `truncated`.
  ResultCode link_search(const dict::AppPoolDef& pool, const dict::LinkDef& link, std::string_view text,
                         bool truncated, std::vector<std::uint32_t>& hits);
  std::string server_value(std::string_view section, std::string_view name) const;

  // The message texts' output table "ISOSet": 0 not looked for yet, 1
  // loaded, 2 none (texts pass unchanged).
  int isoset_state_ = 0;
  bool logged_in_ = false;
  int failed_logins_ = 0;
};

}  // namespace corvanta
