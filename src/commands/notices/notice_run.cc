#include "commands/notices/notice_run.h"

#include <algorithm>
#include <cassert>
#include <chrono>
#include <cstring>
#include <numeric>
#include <utility>

#include "shell/command_files.h"
#include "shell/support.h"
#include "util/text.h"

namespace corvanta {
namespace {

// Makes a sub-library current for the life of the object.
class SublibScope {
 public:
  SublibScope(Service& service, std::string_view sublib)
      : service_(service), previous_(service.state.current_sublib) {
    service.state.current_sublib = std::string(cut_to(sublib, kMaxCurrentSublib));
  }
  ~SublibScope() { service_.state.current_sublib = previous_; }
  SublibScope(const SublibScope&) = delete;
  SublibScope& operator=(const SublibScope&) = delete;

 private:
  Service& service_;
  std::string previous_;
};

}  // namespace

Candidates::Candidates(std::size_t width, std::size_t sort_length)
    : width_(width), sort_length_(sort_length) {
  assert(sort_length_ >= 4 && sort_length_ <= width_);
}

void Candidates::add(Candidate c) {
  assert(c.size() == width_);
  bytes_.insert(bytes_.end(), c.begin(), c.end());
}

void Candidates::sort() {
  std::vector<std::size_t> order(size());
  std::iota(order.begin(), order.end(), std::size_t{0});
  std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
    return std::memcmp(bytes_.data() + a * width_, bytes_.data() + b * width_, sort_length_) < 0;
  });
  std::vector<unsigned char> sorted;
  sorted.reserve(bytes_.size());
  for (const std::size_t i : order) {
    const Candidate c = (*this)[i];
    sorted.insert(sorted.end(), c.begin(), c.end());
  }
  bytes_ = std::move(sorted);
}

NoticeRun::NoticeRun(Service& service, const ParamList& params, const dict::AppPoolDef& pool,
                     NoticeSettings settings, NoticeHooks& hooks)
    : service_(service),
      params_(params),
      pool_(pool),
      settings_(std::move(settings)),
      hooks_(hooks),
      candidates_(settings_.width, settings_.sort_length) {}

// Before anything is changed: the forms are there (the first one with its
// stylesheet), and the output files of both phases may be written and can
// be made.
ResultCode NoticeRun::check_letters() {
  bool first = true;
  for (const std::string& form : settings_.forms) {
    if (const ResultCode rc = service_.printout.check(form, first); rc.failed()) return rc;
    first = false;
  }
  for (const char phase : {kPost, kMail}) {
    const std::string path = bat_output_name(service_, params_, settings_.word, phase);
    if (const ResultCode rc = check_command_file(service_, path, FileUse::Write); rc.failed()) return rc;
    if (const ResultCode rc = service_.printout.probe(path); rc.failed()) return rc;
  }
  return 0;
}

ResultCode NoticeRun::run() {
  // The run's sub-library is current while it runs, and not after.
  const SublibScope scope(service_, settings_.sublib);
  if (const ResultCode rc = check_letters(); rc.failed()) return rc;

  const NoticeMessages& m = settings_.messages;
  auto started = std::chrono::steady_clock::now();
  auto protocol_time = [&](std::int32_t message, const std::string& prefix) {
    const auto now = std::chrono::steady_clock::now();
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now - started).count();
    started = now;
    if (message != 0) service_.reporter.protocol_text(prefix + std::to_string(ms), message);
  };
  auto log_count = [&](std::int32_t message, const std::string& text) {
    if (message != 0) service_.reporter.log_text(text, message);
  };

  if (const ResultCode rc = hooks_.select(candidates_); rc.failed()) return rc;
  candidates_.sort();
  protocol_time(m.select_time, std::to_string(candidates_.size()) + ", ");
  log_count(m.selection, settings_.select);
  ResultCode rc = run_phase(kPost);
  protocol_time(m.post_time, {});
  log_count(m.post_done, std::to_string(letters_));
  if (rc.ok()) {
    rc = run_phase(kMail);
    protocol_time(m.mail_time, {});
    log_count(m.mail_done, std::to_string(letters_));
  }
  hooks_.finished();
  return rc;
}

ResultCode NoticeRun::open_letter(std::string_view form, const std::string& language,
                                  const std::string& email) {
  Printout& prt = service_.printout;
  if (first_letter_ && prt.set(kPrintPath, output_).failed()) return kPrintCannotWrite;
  (void)prt.set(kPrintLanguage, language);
  if (!email.empty()) (void)prt.set(kPrintEmail, email);
  if (const ResultCode rc = first_letter_ ? prt.begin({}, form) : prt.append(form); rc.failed()) return rc;
  first_letter_ = false;
  current_.letter = true;
  return 0;
}

// The addressee's letter is finished first; then its changes are made in
// one unit of the journal.
ResultCode NoticeRun::finish_addressee() {
  if (!current_.open || current_.skip) return 0;
  if (current_.letter) {
    if (const ResultCode rc = hooks_.end_letter(*this); rc.failed()) return rc;
    if (const ResultCode rc = service_.printout.finish(); rc.failed()) return rc;
  }
  const ResultCode rc = service_.pools.as_unit(pool_, [&]() -> ResultCode {
    const ResultCode applied = hooks_.apply(*this);
    return applied.failed() ? applied : ResultCode(0);
  });
  if (rc.failed()) return rc;
  if (current_.letter) ++letters_;
  hooks_.applied(*this);
  return 0;
}

ResultCode NoticeRun::run_phase(char phase) {
  phase_ = phase;
  output_ = bat_output_name(service_, params_, settings_.word, phase);
  first_letter_ = true;
  current_ = Addressee{};
  ResultCode rc = 0;
  for (std::size_t i = 0; i < candidates_.size(); ++i) {
    const Candidate c = candidates_[i];
    if (!current_.open || candidate_addressee(c) != current_.idn) {
      if (rc = finish_addressee(); rc.failed()) break;
      current_ = Addressee{true, candidate_addressee(c)};
      if (rc = hooks_.begin_addressee(*this, c); rc.failed()) break;
    }
    if (current_.skip) continue;
    if (rc = hooks_.take(*this, c); rc.failed()) break;
  }
  if (rc.ok()) rc = finish_addressee();
  if (rc.failed()) {
    // The letter being written is dropped: its addressee stays as it was.
    if (!service_.printout.last_error().empty())
      service_.reporter.protocol_text(service_.printout.last_error(), 0);
    service_.printout.abandon();
    service_.reporter.protocol_text(hooks_.error_line(rc, current_.idn), 0);
    return rc;
  }
  return service_.printout.close();
}

}  // namespace corvanta
