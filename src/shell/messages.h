// Messages: the catalogue of message texts and the output routines.
//
// The catalogue turns a result code into a text of the current language. The
// section "Messages" of the server configuration lists one key per language
// (the language code, first three characters) with the path of its message
// file; a message file is a configuration file whose sections are message
// groups ("Common" for result codes, "Util" for progress texts) and whose keys
// are four-digit message numbers. A language's file is loaded when the
// language is first selected.
//
// The Reporter writes texts to the screen, the utility log and the job
// protocol of the running job, and asks questions on the screen. It owns the
// two log files; the screen and input streams belong to the caller.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "config/config_file.h"
#include "util/result.h"

namespace corvanta {

inline constexpr std::size_t kMaxMessageText = 511;
inline constexpr std::size_t kMaxMessageLine = 200;

// A catalogue of texts by language. The service keeps two: the messages
// (section "Messages") and the general texts (section "Texts").
class MessageCatalogue {
 public:
  MessageCatalogue(config::ConfigTable& configs, std::string_view section)
      : configs_(configs), section_(section) {}
  MessageCatalogue(const MessageCatalogue&) = delete;
  MessageCatalogue& operator=(const MessageCatalogue&) = delete;

  // Reads the language list from the catalogue's section of `server`, in
  // name order. Returns 0, or -103 when the section is missing.
  ResultCode init(config::ConfigHandle server);
  // Closes the loaded message files and forgets the languages.
  void release();
  // Makes the language `code` current (any case); an empty or unknown code
  // selects the first language. Loads its file on first use.
  void select(std::string_view code);
  // Text of message `code` (its absolute value) in `group`; empty when there
  // is no current language, no loaded file or no such key.
  std::string text(std::string_view group, std::int32_t code) const;
  // Text of the key `name` (a word, not a number) in `group`; empty as above.
  std::string named_text(std::string_view group, std::string_view name) const;
  std::string current_language() const;
  // Converts every text to the output character set (by default texts pass
  // unchanged).
  void set_converter(std::function<std::string(std::string_view)> converter) {
    converter_ = std::move(converter);
  }

 private:
  struct Language {
    std::string code;
    std::string path;
    config::ConfigHandle handle = 0;  // 0 until the file is loaded
  };
  config::ConfigTable& configs_;
  std::string section_;
  std::function<std::string(std::string_view)> converter_;
  std::vector<Language> languages_;
  int current_ = -1;
};

// Puts `insert` in place of the first "%s" of `message`, shortened so that
// the result stays within `limit` characters. Without "%s" the message is
// returned unchanged.
std::string insert_text(std::string_view message, std::string_view insert,
                        std::size_t limit = kMaxMessageLine);

class Reporter {
 public:
  Reporter(const MessageCatalogue& catalogue, std::FILE* screen, std::FILE* input)
      : catalogue_(catalogue), screen_(screen), input_(input) {}
  ~Reporter();
  Reporter(const Reporter&) = delete;
  Reporter& operator=(const Reporter&) = delete;

  // The utility log is appended to; when it cannot be opened it is not used.
  void open_utility_log(const std::string& path);
  void close_utility_log();
  // A job protocol is created anew; when it cannot be opened it is not used.
  void open_job_protocol(const std::string& path);
  void close_job_protocol();

  // "context : code - text" with the text of group "Common"; screen and job
  // protocol, and with `to_utility_log` the utility log too (a failed
  // login, which no job records).
  void error_message(std::string_view context, std::int32_t code, bool to_utility_log = false);
  // Whether any failure (an error message with a code) was reported in this
  // run: the exit status of --status.
  bool failures_reported() const { return failures_reported_; }
  // Counts a failure that is told without a message number (an unknown
  // command word).
  void note_failure() { failures_reported_ = true; }
  // The message line: the text itself for code 0, else the "Util" message of
  // the code with the text in place of "%s"; ends with a newline.
  std::string message_line(std::string_view text, std::int32_t code) const;
  void protocol_text(std::string_view text, std::int32_t code);  // job protocol
  void screen_text(std::string_view text, std::int32_t code);    // screen, job protocol
  void output_text(std::string_view text);                       // as it is: screen, job protocol
  void log_text(std::string_view text, std::int32_t code);       // all three, timestamped
  void utility_text(std::string_view text, std::int32_t code);   // screen, utility log
  // "JOB %06ld WORD timestamp STATUS": status 1 START, 0 END, negative
  // "CANCELLED: %04d"; to all three channels.
  void command_log_line(std::uint32_t job_no, std::string_view word, std::int32_t status);

  // Shows the message line (without its newline) and reads answers until
  // one begins with Y, J (yes) or N (no), in any case. The end of the input
  // answers no.
  bool question(std::string_view text, std::int32_t code);
  // Whether answers come from a terminal: a command file on standard input
  // (a scheduler's) would answer with its next command line.
  bool interactive() const;

  std::FILE* screen() const { return screen_; }

 private:
  void write(std::FILE* f, std::string_view text);
  void to(bool screen, bool utility_log, bool job_protocol, std::string_view text);

  const MessageCatalogue& catalogue_;
  std::FILE* screen_;
  std::FILE* input_;
  std::FILE* utility_log_ = nullptr;
  std::FILE* job_protocol_ = nullptr;
  bool failures_reported_ = false;
};

// The current local time as "YYYY/MM/DD HH:MI:SS", the stamp of log lines.
std::string log_timestamp();

}  // namespace corvanta
