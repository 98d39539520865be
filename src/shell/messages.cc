#include "shell/messages.h"

#include <unistd.h>

#include <cstdlib>

#include "shell/codes.h"
#include "shell/line_reader.h"
#include "util/date.h"
#include "util/posix_io.h"

namespace corvanta {

ResultCode MessageCatalogue::init(config::ConfigHandle server) {
  release();
  const config::ConfigTree* tree = configs_.tree(server);
  if (tree == nullptr || !tree->has_section(section_)) return codes::kServerConfig;
  for (const config::ConfigEntry& e : tree->enumerate(section_)) {
    if (!e.has_value) continue;
    languages_.push_back({std::string(cut_to(e.name, 3)), e.value, 0});
  }
  return 0;
}

void MessageCatalogue::release() {
  for (Language& l : languages_) {
    if (l.handle > 0) configs_.close(l.handle);
  }
  languages_.clear();
  current_ = -1;
}

void MessageCatalogue::select(std::string_view code) {
  if (languages_.empty()) return;
  current_ = 0;
  for (std::size_t i = 0; i < languages_.size(); ++i) {
    if (!code.empty() && equal_nocase(languages_[i].code, cut_to(code, 3))) {
      current_ = static_cast<int>(i);
      break;
    }
  }
  Language& l = languages_[static_cast<std::size_t>(current_)];
  if (l.handle == 0) {
    const int h = configs_.load(l.path);
    if (h > 0) l.handle = h;
  }
}

std::string MessageCatalogue::text(std::string_view group, std::int32_t code) const {
  char key[16];
  std::snprintf(key, sizeof key, "%04ld", std::labs(static_cast<long>(code)));
  return named_text(group, key);
}

std::string MessageCatalogue::named_text(std::string_view group, std::string_view name) const {
  if (current_ < 0) return {};
  const Language& l = languages_[static_cast<std::size_t>(current_)];
  if (l.handle == 0) return {};
  std::string text = configs_.get(l.handle, group, name);
  if (converter_) text = converter_(text);
  if (text.size() > kMaxMessageText) text.resize(kMaxMessageText);
  return text;
}

std::string MessageCatalogue::current_language() const {
  return current_ < 0 ? std::string() : languages_[static_cast<std::size_t>(current_)].code;
}

std::string insert_text(std::string_view message, std::string_view insert, std::size_t limit) {
  const std::size_t at = message.find("%s");
  if (at == std::string_view::npos) return std::string(message);
  const std::size_t rest = message.size() - 2;
  const std::size_t room = rest < limit ? limit - rest : 0;
  std::string out(message.substr(0, at));
  out += cut_to(insert, room);
  out += message.substr(at + 2);
  return out;
}

std::string log_timestamp() {
  return date_now("YYYY/MM/DD HH:MI:SS");
}

Reporter::~Reporter() {
  close_job_protocol();
  close_utility_log();
}

void Reporter::open_utility_log(const std::string& path) {
  close_utility_log();
  if (!path.empty()) utility_log_ = open_append_stream(path);
}

void Reporter::close_utility_log() {
  if (utility_log_ != nullptr) std::fclose(utility_log_);
  utility_log_ = nullptr;
}

void Reporter::open_job_protocol(const std::string& path) {
  close_job_protocol();
  job_protocol_ = create_new_file(path);
}

void Reporter::close_job_protocol() {
  if (job_protocol_ != nullptr) std::fclose(job_protocol_);
  job_protocol_ = nullptr;
}

void Reporter::write(std::FILE* f, std::string_view text) {
  if (f == nullptr) return;
  std::fwrite(text.data(), 1, text.size(), f);
  std::fflush(f);
}

void Reporter::to(bool screen, bool utility_log, bool job_protocol, std::string_view text) {
  if (screen) write(screen_, text);
  if (utility_log) write(utility_log_, text);
  if (job_protocol) write(job_protocol_, text);
}

void Reporter::error_message(std::string_view context, std::int32_t code, bool to_utility_log) {
  if (code != 0) failures_reported_ = true;
  std::string line(context);
  line += " : ";
  line += std::to_string(std::labs(static_cast<long>(code)));
  line += " - ";
  if (code != 0) line += catalogue_.text("Common", code);
  line += '\n';
  to(true, false, true, line);
  if (to_utility_log) write(utility_log_, log_timestamp() + " " + line);
}

std::string Reporter::message_line(std::string_view text, std::int32_t code) const {
  std::string line = code == 0 ? std::string(text) : insert_text(catalogue_.text("Util", code), text);
  line += '\n';
  return line;
}

void Reporter::protocol_text(std::string_view text, std::int32_t code) {
  to(false, false, true, message_line(text, code));
}

void Reporter::screen_text(std::string_view text, std::int32_t code) {
  to(true, false, true, message_line(text, code));
}

void Reporter::output_text(std::string_view text) {
  to(true, false, true, text);
}

void Reporter::log_text(std::string_view text, std::int32_t code) {
  to(true, true, true, log_timestamp() + " " + message_line(text, code));
}

void Reporter::utility_text(std::string_view text, std::int32_t code) {
  to(true, true, false, message_line(text, code));
}

void Reporter::command_log_line(std::uint32_t job_no, std::string_view word, std::int32_t status) {
  char job[32];
  std::snprintf(job, sizeof job, "JOB %06lu", static_cast<unsigned long>(job_no));
  std::string line = job;
  line += ' ';
  line += word;
  line += ' ';
  line += log_timestamp();
  line += ' ';
  if (status == 1) {
    line += "START";
  } else if (status == 0) {
    line += "END";
  } else if (status < 0) {
    char cancelled[32];
    std::snprintf(cancelled, sizeof cancelled, "CANCELLED: %04ld", std::labs(static_cast<long>(status)));
    line += cancelled;
  }
  line += '\n';
  to(true, true, true, line);
}

bool Reporter::interactive() const {
  return input_ != nullptr && ::isatty(::fileno(input_)) != 0;
}

bool Reporter::question(std::string_view text, std::int32_t code) {
  std::string prompt = message_line(text, code);
  prompt.pop_back();
  for (;;) {
    write(screen_, prompt);
    const std::optional<std::string> answer = read_line(input_, 101);
    if (!answer) {
      write(screen_, "\n");
      return false;
    }
    const char first = answer->empty() ? '\0' : ascii_upper(answer->front());
    if (first == 'Y' || first == 'J') return true;
    if (first == 'N') return false;
  }
}

}  // namespace corvanta
