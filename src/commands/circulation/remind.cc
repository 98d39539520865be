// REMIND: the overdue reminders of one sub-library for a selection date.
//
// The loans due before the selection date are found through the due-date
// index DDT of LOANS. A loan is reminded when its next reminder date, the
// due date (or the last reminder's date) plus the PERIOD of its Reminder
// rule counted in open days, has been reached. The loans to remind become the
// candidates of a notice run, sorted by borrower and reminder count, and are worked
// through twice: the post phase writes letters to borrowers without an
// e-mail address, the e-mail phase to the others. Each reminded loan gets
// its counter (120) raised and its reminder date (121) set; fines and
// postage are posted to the borrower's cash account.
#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "commands/handlers.h"
#include "commands/notices/notice_run.h"
#include "commands/notices/record_text.h"
#include "library/cash.h"
#include "library/setup_tables.h"
#include "shell/codes.h"
#include "shell/support.h"
#include "util/big_endian.h"
#include "util/date.h"
#include "util/text.h"

namespace corvanta {
namespace {

constexpr int kRemindGroup = 12;
constexpr std::int32_t kNoDueDateIndex = -11;
constexpr std::int32_t kMsgLevel = 156;       // "%s": the reminder level
constexpr std::int32_t kMsgLevelCount = 157;  // "%s": reminders of that level
constexpr std::int32_t kMsgFines = 158;       // "%s": the total of fines
constexpr std::int32_t kMsgPostage = 159;     // "%s": the total of postage
constexpr std::int32_t kMsgSelection = 160;   // "%s": the selection date
constexpr std::int32_t kMsgPostDone = 161;    // "%s": letters after the post phase
constexpr std::int32_t kMsgMailDone = 162;    // "%s": letters after the e-mail phase
constexpr std::int32_t kMsgSelectTime = 163;  // "%s": loans selected, milliseconds
constexpr std::int32_t kMsgPostTime = 164;    // "%s": milliseconds of the post phase
constexpr std::int32_t kMsgMailTime = 165;    // "%s": milliseconds of the e-mail phase
constexpr std::size_t kMaxSublibParam = 8;
constexpr int kMaxLevel = 9;
// A calendar closed on every day would never give an open day: a year of
// closed days in a row ends the search there.
constexpr int kMaxClosedRun = 366;

// One candidate: borrower IDN (4), reminders sent before (2), no-letter
// flag "Y"/"N" (1), loan IDN (4); sorted on all but the loan.
constexpr std::size_t kCandidateWidth = 11;
constexpr std::size_t kCandidateSortLength = 7;

std::array<unsigned char, kCandidateWidth> make_candidate(std::uint32_t borrower, int count, bool no_letter,
                                                          std::uint32_t loan) {
  std::array<unsigned char, kCandidateWidth> c{};
  put_u32(c.data(), borrower);
  c[4] = static_cast<unsigned char>(count >> 8);
  c[5] = static_cast<unsigned char>(count);
  c[6] = no_letter ? 'Y' : 'N';
  put_u32(c.data() + 7, loan);
  return c;
}

int candidate_count(Candidate c) {
  return (c[4] << 8) | c[5];
}
bool candidate_no_letter(Candidate c) {
  return c[6] == 'Y';
}
std::uint32_t candidate_loan(Candidate c) {
  return get_u32(c.data() + 7);
}

std::string channel(char phase) {
  return phase == NoticeRun::kPost ? "POST" : "EMAIL";
}

std::string amount_text(double amount) {
  char text[64];
  std::snprintf(text, sizeof text, "%.2f", amount);
  return text;
}

// A setup item's amount: digits with up to two decimals after "." or ",",
// at most 999999.99; anything else (text, a sign, an exponent) is no amount
// and charges nothing.
double amount_of(std::string_view item) {
  item = trim_blanks(item);
  std::size_t i = 0;
  long units = 0;
  while (i < item.size() && item[i] >= '0' && item[i] <= '9' && i < 6) units = units * 10 + (item[i++] - '0');
  if (i == 0) return 0;
  long cents = 0;
  if (i < item.size() && (item[i] == '.' || item[i] == ',')) {
    ++i;
    for (int d = 0; d < 2; ++d) {
      cents *= 10;
      if (i < item.size() && item[i] >= '0' && item[i] <= '9') cents += item[i++] - '0';
    }
  }
  if (i != item.size()) return 0;
  return static_cast<double>(units * 100 + cents) / 100.0;
}

// A PERIOD item: a number of days, or -1 when it is not one.
long period_of(std::string_view item) {
  item = trim_blanks(item);
  if (item.empty() || item.size() > 9 || item.find_first_not_of("0123456789") != std::string_view::npos)
    return -1;
  return std::strtol(std::string(item).c_str(), nullptr, 10);
}

// Whether a LETTER item says no letter ("N", any case).
bool no_letter_item(std::string_view item) {
  return equal_nocase(trim_blanks(item), "N");
}

// The loan's reminder state, as the selection and the phases see it.
struct LoanState {
  std::string due;   // 103
  std::string last;  // 121, "" when the loan was renewed after it
  int count = 0;     // 120
  bool renewed = false;
};

LoanState loan_state(records::RecordHandle& loan) {
  LoanState s;
  s.due = first_text(loan, "103");
  s.last = first_text(loan, "121");
  const std::string sent = first_text(loan, "120");
  s.count = !sent.empty() && sent[0] >= '1' && sent[0] <= '9' ? sent[0] - '0' : 0;
  if (!s.last.empty() && s.due > s.last) {
    // Renewed after its last reminder: it starts again.
    s.renewed = true;
    s.last.clear();
    s.count = 0;
  }
  return s;
}

class Reminder : public NoticeHooks {
 public:
  Reminder(Service& service, ParamList& params) : service_(service), params_(params) {}
  ResultCode run();

  ResultCode select(Candidates& candidates) override;
  ResultCode begin_addressee(NoticeRun& run, Candidate first) override;
  ResultCode take(NoticeRun& run, Candidate c) override;
  ResultCode end_letter(NoticeRun& run) override;
  ResultCode apply(NoticeRun& run) override;
  void applied(NoticeRun& run) override;
  std::string error_line(ResultCode rc, std::uint32_t borrower) override;
  void finished() override;

 private:
  // A reminded loan, changed but not yet written.
  struct Pending {
    records::RecordHandle loan;
    double fine = 0;
    int count = 0;  // reminders before this one
  };
  // The borrower being worked on.
  struct Borrower {
    int count = -1;
    double fines = 0;
    double postage = 0;
    std::vector<std::unique_ptr<Pending>> loans;
  };

  ResultCode prepare();
  ResultCode consider(std::uint32_t idn, Candidates& candidates);
  // The base date plus `period` open days; the count ends early once it is
  // past the selection date.
  std::string reminder_date(std::string base, long period) const;
  // Reads the borrower of `c` for its reminder count: the postage, and the
  // letter unless the candidate's rule writes none.
  ResultCode open_borrower(NoticeRun& run, Candidate c);
  ResultCode remind_loan(NoticeRun& run, Candidate c);

  Service& service_;
  ParamList& params_;
  const dict::AppPoolDef* pool_ = nullptr;
  const dict::AppFileDef* loans_ = nullptr;
  const dict::AppFileDef* users_ = nullptr;
  const dict::AppFileDef* addrs_ = nullptr;
  std::string sublib_;
  std::string select_;
  std::string today_;
  std::unique_ptr<records::SetupStore> setup_;
  std::unique_ptr<records::PolicyLookup> policy_;
  std::unique_ptr<records::CashBook> cash_;
  Borrower borrower_;
  std::uint32_t failed_loan_ = 0;  // the loan being worked on, for the error line
  int failed_count_ = 0;

  std::array<long, kMaxLevel + 1> levels_{};
  double fines_ = 0;
  double postage_ = 0;
};

ResultCode Reminder::prepare() {
  std::string language;
  if (const ResultCode rc = bat_select_file(service_, params_, "LOANS", language); rc.failed()) return rc;
  if (const ResultCode rc = bat_permission(service_, kRemindGroup); rc.failed()) return rc;
  if (const ResultCode rc = bat_pool_open(service_, 'U', 'Y'); rc.failed()) return rc;
  pool_ = service_.pools.pool();
  loans_ = service_.pools.file();
  users_ = dict::ApplDictionary::find_file(*pool_, "USERS");
  addrs_ = dict::ApplDictionary::find_file(*pool_, "ADDRS");
  if (users_ == nullptr || addrs_ == nullptr) return codes::kNoCurrentFile;
  sublib_ = params_.has("SUBLIB") ? params_.get_into("SUBLIB", "", kMaxSublibParam, true)
                                  : service_.state.current_sublib;
  select_ = bat_date_param(service_, params_, "SELECT", true);
  (void)date_convert(0, 6, "", today_);
  char line[200];
  std::snprintf(line, sizeof line, "POOL=%s SUBLIB=%s SELECT=%s", pool_->name.c_str(), sublib_.c_str(),
                select_.c_str());
  service_.reporter.log_text(line, 0);
  // A selection date of zeros stands for no date.
  if (select_.size() != 8 || date_valid(6, select_) != 0 || select_ == "00000000")
    return codes::kMissingParameter;

  const int setup_file = pool_->data != nullptr ? pool_->data->setup : 0;
  setup_ = std::make_unique<records::SetupStore>(service_.dbm, pool_->name, setup_file);
  policy_ = std::make_unique<records::PolicyLookup>(setup_file != 0 ? setup_.get() : nullptr, sublib_);
  const std::optional<std::string> cash = dict::ApplDictionary::pool_property(*pool_, "CASH");
  const int cash_file = cash ? std::atoi(cash->c_str()) : 0;
  if (cash_file <= 0) return codes::kNoCurrentFile;
  cash_ = std::make_unique<records::CashBook>(service_.dbm, pool_->name, cash_file);
  return 0;
}

std::string Reminder::reminder_date(std::string date, long period) const {
  const auto step = [&] {
    std::string next;
    if (date_add_days(6, 6, date, next, 1) != 0) return false;
    date = next;
    return true;
  };
  const auto skip_closed = [&] {
    for (int n = 0; n < kMaxClosedRun && policy_->closed(date); ++n) {
      if (!step()) return;
    }
  };
  if (period == 0) {
    skip_closed();
    return date;
  }
  for (long i = 0; i < period; ++i) {
    if (!step()) return date;
    skip_closed();
    // Past the selection date the loan is not due, however long the period.
    if (date > select_) return date;
  }
  return date;
}

ResultCode Reminder::consider(std::uint32_t idn, Candidates& candidates) {
  records::RecordHandle loan;
  if (service_.pools
          .rec_read(*pool_, *loans_->data, idn, loan, service_.pools.max_record(), records::kExternalForm)
          .code() != 0)
    return 0;  // an index entry without its loan
  if (!bat_sublib_match(loan, "SUB", sublib_)) return 0;
  if (first_text(loan, "100") == "C") return 0;
  const LoanState s = loan_state(loan);
  if (s.due.size() != 8) return 0;
  std::string base = s.due;
  if (!s.last.empty()) {
    if (s.last >= select_) return 0;
    base = s.last;
  }
  const std::string status1 = first_text(loan, "110").substr(0, 2);
  const std::string status2 = first_text(loan, "111").substr(0, 2);
  // A PERIOD that is not there or not a number of days: not reminded.
  const long period = period_of(policy_->reminder_item(status1, status2, s.count, "PERIOD"));
  if (period < 0) return 0;
  if (reminder_date(base, period) > select_) return 0;
  const bool no_letter = no_letter_item(policy_->reminder_item(status1, status2, s.count, "LETTER"));
  const std::uint32_t borrower = link_idn(loan, "BOR$L");
  if (borrower == 0) return 0;  // nobody to remind
  candidates.add(make_candidate(borrower, s.count, no_letter, idn));
  return 0;
}

ResultCode Reminder::select(Candidates& candidates) {
  const dict::AspectDef* ddt = bat_find_index(service_, "DDT");
  if (ddt == nullptr) return kNoDueDateIndex;
  const ResultCode rc = service_.retrieval.walk_below(*ddt, select_, [&](const records::IdnList& idns) {
    for (const std::uint32_t idn : idns) {
      if (const ResultCode r = consider(idn, candidates); r.failed()) return r;
    }
    return ResultCode(0);
  });
  return rc.failed() ? rc : ResultCode(0);
}

ResultCode Reminder::begin_addressee(NoticeRun& run, Candidate first) {
  borrower_ = Borrower{};
  return open_borrower(run, first);
}

ResultCode Reminder::open_borrower(NoticeRun& run, Candidate c) {
  borrower_.count = candidate_count(c);
  records::RecordHandle user;
  if (service_.pools
          .rec_read(*pool_, *users_->data, run.addressee(), user, service_.pools.max_record(),
                    records::kExternalForm)
          .code() != 0) {
    // A loan whose borrower is gone cannot be reminded by letter; its
    // loans are passed over in both phases.
    run.skip();
    return 0;
  }
  std::string email;
  if (const std::uint32_t address = link_idn(user, "ADR$L"); address != 0) {
    records::RecordHandle adr;
    if (service_.pools
            .rec_read(*pool_, *addrs_->data, address, adr, service_.pools.max_record(),
                      records::kExternalForm)
            .code() == 0) {
      email = email_address(adr);
    }
  }
  if ((run.phase() == NoticeRun::kPost) != email.empty()) {
    run.skip();
    return 0;
  }
  borrower_.postage =
      amount_of(policy_->value_status("BorrFines", first_text(user, "201"), channel(run.phase())));
  if (candidate_no_letter(c)) return 0;

  if (const ResultCode rc = run.open_letter("BORR_REMIND", first_text(user, "111"), email); rc.failed())
    return rc;
  if (const ResultCode r = records::fld_set_text(user, "D01", today_); r.failed()) return r;
  return service_.printout.record(run.addressee(), &user, "BORR_REMIND", users_);
}

// Loans of a borrower without a letter so far that need another reminder
// count read the borrower again: the letter may start with them.
ResultCode Reminder::take(NoticeRun& run, Candidate c) {
  if (candidate_count(c) != borrower_.count && !run.letter_open()) {
    if (const ResultCode rc = open_borrower(run, c); rc.failed()) return rc;
    if (run.skipped()) return 0;
  }
  return remind_loan(run, c);
}

// The letter's footer: the fines of this letter, the postage and the
// balance they make.
ResultCode Reminder::end_letter(NoticeRun& run) {
  double balance = 0;
  if (const ResultCode rc = cash_->balance(run.addressee(), balance); rc.failed()) return rc;
  balance += borrower_.fines;  // the fines of this letter are posted with the loans
  records::RecordHandle footer;
  records::rec_init(footer, 512, records::kExternalForm);
  ResultCode rc = records::fld_set_text(footer, "F01", amount_text(borrower_.fines));
  if (rc.ok() && borrower_.postage > 0)
    rc = records::fld_set_text(footer, "F02", amount_text(borrower_.postage));
  if (rc.ok() && balance + borrower_.postage > 0)
    rc = records::fld_set_text(footer, "F03", amount_text(balance + borrower_.postage));
  if (rc.failed()) return rc;
  return service_.printout.record(0, &footer, "LOAN_REMFOOT");
}

// The loans, their fines and the postage, in the borrower's unit.
ResultCode Reminder::apply(NoticeRun& run) {
  ResultCode rc = 0;
  for (const std::unique_ptr<Pending>& p : borrower_.loans) {
    failed_loan_ = p->loan.idn;
    failed_count_ = p->count;
    rc = service_.pools.rec_update(*pool_, *loans_->data, p->loan, nullptr);
    if (rc.ok() && p->fine > 0)
      rc = cash_->post("REMIND", run.addressee(), link_idn(p->loan, "ITM$L"), sublib_, p->fine, today_);
    if (rc.failed()) break;
  }
  if (rc.ok() && run.letter_open() && borrower_.postage > 0)
    rc = cash_->post(channel(run.phase()), run.addressee(), 0, sublib_, borrower_.postage, today_);
  return rc;
}

void Reminder::applied(NoticeRun& run) {
  failed_loan_ = 0;
  for (const std::unique_ptr<Pending>& p : borrower_.loans) ++levels_[static_cast<std::size_t>(p->count)];
  fines_ += borrower_.fines;
  if (run.letter_open()) postage_ += std::max(borrower_.postage, 0.0);
}

ResultCode Reminder::remind_loan(NoticeRun& run, Candidate c) {
  const std::uint32_t idn = candidate_loan(c);
  failed_loan_ = idn;
  failed_count_ = candidate_count(c);
  auto pending = std::make_unique<Pending>();
  records::RecordHandle& loan = pending->loan;
  if (const ResultCode rc = service_.pools.rec_read(*pool_, *loans_->data, idn, loan,
                                                    service_.pools.max_record(), records::kExternalForm);
      rc.code() != 0)
    return rc.failed() ? rc : ResultCode(kPrintCannotRead);
  const LoanState s = loan_state(loan);
  if (s.renewed) {
    remove_field(loan, "120");
    remove_field(loan, "121");
  }
  const std::string status1 = first_text(loan, "110").substr(0, 2);
  const std::string status2 = first_text(loan, "111").substr(0, 2);
  const double fine = amount_of(policy_->reminder_item(status1, status2, s.count, "FINE"));
  const bool letter = !no_letter_item(policy_->reminder_item(status1, status2, s.count, "LETTER"));
  if (fine > 0) {
    if (const ResultCode rc = records::fld_set_text(loan, "F01", amount_text(fine)); rc.failed()) return rc;
    borrower_.fines += fine;
    pending->fine = fine;
  }
  if (letter && run.letter_open()) {
    if (const ResultCode rc = service_.printout.record(idn, &loan, "LOAN_REMIND"); rc.failed()) return rc;
  }
  remove_field(loan, "F01");
  const int sent = std::min(s.count + 1, kMaxLevel);
  if (const ResultCode rc = records::fld_set_text(loan, "121", today_); rc.failed()) return rc;
  if (const ResultCode rc = records::fld_set_text(loan, "120", std::to_string(sent)); rc.failed()) return rc;
  pending->count = std::min(s.count, kMaxLevel);
  borrower_.loans.push_back(std::move(pending));
  failed_loan_ = 0;
  return 0;
}

std::string Reminder::error_line(ResultCode rc, std::uint32_t borrower) {
  char line[120];
  std::snprintf(line, sizeof line, "Error %d on BEN=%07ld CNT=%02d VBU=%07ld", static_cast<int>(rc.code()),
                static_cast<long>(borrower), failed_count_ + 1, static_cast<long>(failed_loan_));
  return line;
}

void Reminder::finished() {
  for (int level = 0; level <= kMaxLevel; ++level) {
    const long n = levels_[static_cast<std::size_t>(level)];
    if (n == 0) continue;
    service_.reporter.log_text(std::to_string(level + 1), kMsgLevel);
    service_.reporter.log_text(std::to_string(n), kMsgLevelCount);
  }
  service_.reporter.log_text(amount_text(fines_), kMsgFines);
  service_.reporter.log_text(amount_text(postage_), kMsgPostage);
}

ResultCode Reminder::run() {
  if (const ResultCode rc = prepare(); rc.failed()) return rc;
  NoticeSettings settings{.word = "remind",
                          .forms = {"BORR_REMIND", "LOAN_REMIND", "LOAN_REMFOOT"},
                          .sublib = sublib_,
                          .select = select_,
                          .width = kCandidateWidth,
                          .sort_length = kCandidateSortLength,
                          .messages = {.selection = kMsgSelection,
                                       .post_done = kMsgPostDone,
                                       .mail_done = kMsgMailDone,
                                       .select_time = kMsgSelectTime,
                                       .post_time = kMsgPostTime,
                                       .mail_time = kMsgMailTime}};
  NoticeRun run(service_, params_, *pool_, std::move(settings), *this);
  return run.run();
}

}  // namespace

ResultCode cmd_remind(Service& service, ParamList& params, BatchResult&) {
  Reminder reminder(service, params);
  return reminder.run();
}

}  // namespace corvanta
