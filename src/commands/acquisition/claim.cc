// CLAIM: the claims of overdue orders of one sub-library for a selection
// date.
//
// The orders whose claim date lies before the selection date are found
// through the claim-date index CLD of ORDER. An order in the status of a
// sent order ("SV"), marked for claims (128 "Y") and neither cancelled
// (116 "C") nor finished (100 "O"), and with fewer than ten claims, is
// claimed. The orders become a candidate list sorted by vendor and claim
// count; a post phase writes the letters of vendors without e-mail, an
// e-mail phase those of the others, one letter per vendor listing its
// orders. Each claimed order gets the claim in occurrence n of 150 and the
// count in 139, its next claim date, and an entry in the order log.
#include <algorithm>
#include <array>
#include <cstdio>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "commands/handlers.h"
#include "commands/notices/notice_run.h"
#include "commands/notices/record_text.h"
#include "library/acquisition.h"
#include "shell/codes.h"
#include "shell/support.h"
#include "util/big_endian.h"
#include "util/date.h"
#include "util/text.h"

namespace corvanta {
namespace {

constexpr int kClaimGroup = 22;
constexpr std::int32_t kNoClaimDateIndex = -11;
constexpr std::int32_t kMsgSelection = 160;      // "%s": the selection date
constexpr std::int32_t kMsgPostDone = 161;       // "%s": vendors written by post
constexpr std::int32_t kMsgMailDone = 162;       // "%s": vendors written by e-mail
constexpr std::int32_t kMsgTooManyClaims = 167;  // "%s": the order's number
constexpr std::size_t kMaxSublibParam = 8;
constexpr int kMaxClaims = 10;
constexpr std::size_t kMaxLogText = 100;

// One candidate: vendor IDN (4), claims so far (2), order IDN (4); sorted
// on all but the order.
constexpr std::size_t kCandidateWidth = 10;
constexpr std::size_t kCandidateSortLength = 6;

std::array<unsigned char, kCandidateWidth> make_candidate(std::uint32_t vendor, int claims,
                                                          std::uint32_t order) {
  std::array<unsigned char, kCandidateWidth> c{};
  put_u32(c.data(), vendor);
  put_u16(c.data() + 4, static_cast<std::uint16_t>(claims));
  put_u32(c.data() + 6, order);
  return c;
}
int candidate_claims(Candidate c) {
  return get_u16(c.data() + 4);
}
std::uint32_t candidate_order(Candidate c) {
  return get_u32(c.data() + 6);
}

// The claims an order has had: occurrences 1, 2, ... of 150 with subfield
// c, counted up to ten.
int claims_of(records::RecordHandle& order) {
  int n = 0;
  while (n < kMaxClaims) {
    if (first_text(order, "150." + std::to_string(n + 1) + "$c").empty()) break;
    ++n;
  }
  return n;
}

class Claimer : public NoticeHooks {
 public:
  Claimer(Service& service, ParamList& params) : service_(service), params_(params) {}
  ResultCode run();

  ResultCode select(Candidates& candidates) override;
  ResultCode begin_addressee(NoticeRun& run, Candidate first) override;
  ResultCode take(NoticeRun& run, Candidate c) override;
  ResultCode apply(NoticeRun& run) override;
  void applied(NoticeRun& run) override;
  std::string error_line(ResultCode rc, std::uint32_t vendor) override;

 private:
  // A claimed order, changed but not yet written.
  struct Pending {
    records::RecordHandle order;
    int claim = 0;
  };

  ResultCode prepare();
  ResultCode consider(std::uint32_t idn, Candidates& candidates);

  Service& service_;
  ParamList& params_;
  const dict::AppPoolDef* pool_ = nullptr;
  const dict::AppFileDef* orders_ = nullptr;
  const dict::AppFileDef* vendors_ = nullptr;
  const dict::AppFileDef* addresses_ = nullptr;
  std::string sublib_;
  std::string select_;
  std::string log_text_;
  records::IdnList filter_;
  bool filtered_ = false;
  std::unique_ptr<records::OrderLog> log_;
  std::vector<std::unique_ptr<Pending>> orders_claimed_;  // of the vendor being worked on
  std::uint32_t failed_order_ = 0;
};

ResultCode Claimer::prepare() {
  std::string language;
  if (const ResultCode rc = bat_select_file(service_, params_, "ORDER", language); rc.failed()) return rc;
  if (const ResultCode rc = bat_permission(service_, kClaimGroup); rc.failed()) return rc;
  if (const ResultCode rc = bat_pool_open(service_, 'U', 'Y'); rc.failed()) return rc;
  pool_ = service_.pools.pool();
  orders_ = service_.pools.file();
  vendors_ = dict::ApplDictionary::find_file(*pool_, "VENDR");
  addresses_ = dict::ApplDictionary::find_file(*pool_, "VENAD");
  sublib_ = params_.has("SUBLIB") ? params_.get_into("SUBLIB", "", kMaxSublibParam, true)
                                  : service_.state.current_sublib;
  // Only an empty SELECT means today; anything else must be a date.
  select_ = bat_date_param(service_, params_, "SELECT", trim_blanks(params_.get("SELECT")).empty());
  char line[200];
  std::snprintf(line, sizeof line, "POOL=%s SUBLIB=%s SELECT=%s", pool_->name.c_str(), sublib_.c_str(),
                select_.c_str());
  service_.reporter.log_text(line, 0);
  if (vendors_ == nullptr || addresses_ == nullptr) return codes::kNoCurrentFile;
  if (select_.size() != 8 || date_valid(6, select_) != 0 || select_ == "00000000")
    return codes::kMissingParameter;
  if (const std::string_view filter = params_.get("FILTER"); !trim_blanks(filter).empty()) {
    if (const ResultCode rc = service_.retrieval.matches(filter, filter_); rc.failed()) return rc;
    filtered_ = true;
  }
  const std::optional<std::string> log = dict::ApplDictionary::pool_property(*pool_, "ORDERLOG");
  const int log_file = log ? std::atoi(log->c_str()) : 0;
  if (log_file <= 0) return codes::kNoCurrentFile;
  log_ = std::make_unique<records::OrderLog>(service_.dbm, pool_->name, log_file);
  // The order log's text: "&1" is the selection date as the language writes
  // dates.
  log_text_ = service_.texts.named_text("Text", "OL106");
  const std::string date =
      date_format(select_, service_.date_template_for(service_.messages.current_language()));
  if (const std::size_t at = log_text_.find("&1"); at != std::string::npos) log_text_.replace(at, 2, date);
  if (log_text_.size() > kMaxLogText) log_text_.resize(kMaxLogText);
  return 0;
}

ResultCode Claimer::consider(std::uint32_t idn, Candidates& candidates) {
  records::RecordHandle order;
  if (service_.pools
          .rec_read(*pool_, *orders_->data, idn, order, service_.pools.max_record(), records::kExternalForm)
          .code() != 0)
    return 0;
  if (!bat_sublib_match(order, "SUB", sublib_)) return 0;
  if (first_text(order, "103").substr(0, 2) != "SV") return 0;
  if (first_text(order, "100") == "O" || first_text(order, "128") != "Y" || first_text(order, "116") == "C")
    return 0;
  if (filtered_ && !std::binary_search(filter_.begin(), filter_.end(), idn)) return 0;
  const int claims = claims_of(order);
  if (claims >= kMaxClaims) {
    service_.reporter.protocol_text(cut_to(first_text(order, "102"), 30), kMsgTooManyClaims);
    return 0;
  }
  const std::uint32_t vendor = link_idn(order, "VDR$L");
  if (vendor == 0) return 0;
  candidates.add(make_candidate(vendor, claims, idn));
  return 0;
}

ResultCode Claimer::select(Candidates& candidates) {
  const dict::AspectDef* cld = bat_find_index(service_, "CLD");
  if (cld == nullptr) return kNoClaimDateIndex;
  // An order with several claim dates below the selection date is met
  // once for each: it is taken once.
  records::IdnList seen;
  const ResultCode rc = service_.retrieval.walk_below(*cld, select_, [&](const records::IdnList& idns) {
    for (const std::uint32_t idn : idns) {
      seen.push_back(idn);
    }
    return ResultCode(0);
  });
  if (rc.failed()) return rc;
  records::idl_sort_unique(seen);
  for (const std::uint32_t idn : seen) {
    if (const ResultCode r = consider(idn, candidates); r.failed()) return r;
  }
  return 0;
}

ResultCode Claimer::begin_addressee(NoticeRun& run, Candidate first) {
  orders_claimed_.clear();
  const std::uint32_t idn = candidate_addressee(first);
  records::RecordHandle vendor;
  if (service_.pools
          .rec_read(*pool_, *vendors_->data, idn, vendor, service_.pools.max_record(), records::kExternalForm)
          .code() != 0) {
    run.skip();  // a vendor that is gone cannot be written to
    return 0;
  }
  // The vendor's address record of the same IDN, merged in.
  records::RecordHandle address;
  if (service_.pools
          .rec_read(*pool_, *addresses_->data, idn, address, service_.pools.max_record(),
                    records::kExternalForm)
          .code() == 0) {
    if (const ResultCode rc = records::rec_add_fields(vendor, address); rc.failed()) return rc;
  }
  std::string email;
  if (equal_nocase(first_text(vendor, "213$b").substr(0, 5), "EMAIL")) email = email_address(vendor);
  if ((run.phase() == NoticeRun::kPost) != email.empty()) {
    run.skip();
    return 0;
  }
  if (const ResultCode rc = run.open_letter("CLMLIST", first_text(vendor, "106").substr(0, 3), email);
      rc.failed())
    return rc;
  Printout& prt = service_.printout;
  if (const ResultCode rc = prt.record(idn, &vendor, "CLMLIST", vendors_); rc.failed()) return rc;
  return prt.section("REPLIST");
}

ResultCode Claimer::take(NoticeRun&, Candidate c) {
  const std::uint32_t idn = candidate_order(c);
  failed_order_ = idn;
  auto pending = std::make_unique<Pending>();
  records::RecordHandle& order = pending->order;
  if (const ResultCode rc = service_.pools.rec_read(*pool_, *orders_->data, idn, order,
                                                    service_.pools.max_record(), records::kExternalForm);
      rc.code() != 0)
    return rc.failed() ? rc : ResultCode(kPrintCannotRead);
  const int n = candidate_claims(c) + 1;
  pending->claim = n;
  if (const ResultCode rc = records::fld_set_text(order, "CLF", std::to_string(n)); rc.failed()) return rc;
  // Occurrence n of 150 gets the claim: $c the date, $C where it came from.
  records::FieldDesc f;
  f.tag = "150";
  f.occurrence = static_cast<std::uint16_t>(n);
  for (const auto& [code, text] : {std::pair<char, std::string>{'c', select_}, {'C', "Batch"}}) {
    records::FieldDesc s;
    s.tag.assign(1, code);
    s.type = 1;
    s.set(text);
    if (const ResultCode rc = records::fld_set(order, f, &s); rc.failed()) return rc;
  }
  if (const ResultCode rc = service_.printout.record(idn, &order, "CLMLIST"); rc.failed()) return rc;
  remove_field(order, "CLF");
  if (const ResultCode rc = records::fld_set_text(order, "139", std::to_string(n)); rc.failed()) return rc;
  if (const ResultCode rc = records::recompute_order(order, select_, n); rc.failed()) return rc;
  if (const ResultCode rc = records::fld_set_text(order, "149", cut_to(first_text(order, "127"), 8));
      rc.failed())
    return rc;
  orders_claimed_.push_back(std::move(pending));
  failed_order_ = 0;
  return 0;
}

// The vendor's orders and their log entries, in the vendor's unit.
ResultCode Claimer::apply(NoticeRun&) {
  ResultCode rc = 0;
  for (const std::unique_ptr<Pending>& p : orders_claimed_) {
    failed_order_ = p->order.idn;
    rc = service_.pools.rec_update(*pool_, *orders_->data, p->order, nullptr);
    if (rc.ok()) rc = log_->add(p->order.idn, "07", select_, log_text_);
    if (rc.failed()) break;
  }
  return rc;
}

void Claimer::applied(NoticeRun&) {
  failed_order_ = 0;
}

std::string Claimer::error_line(ResultCode rc, std::uint32_t vendor) {
  char line[120];
  std::snprintf(line, sizeof line, "Error %d on VDR=%07ld ORD=%07ld", static_cast<int>(rc.code()),
                static_cast<long>(vendor), static_cast<long>(failed_order_));
  return line;
}

ResultCode Claimer::run() {
  if (const ResultCode rc = prepare(); rc.failed()) return rc;
  NoticeSettings settings{
      .word = "claims",
      .forms = {"CLMLIST"},
      .sublib = sublib_,
      .select = select_,
      .width = kCandidateWidth,
      .sort_length = kCandidateSortLength,
      .messages = {.selection = kMsgSelection, .post_done = kMsgPostDone, .mail_done = kMsgMailDone}};
  NoticeRun run(service_, params_, *pool_, std::move(settings), *this);
  return run.run();
}

}  // namespace

ResultCode cmd_claim(Service& service, ParamList& params, BatchResult&) {
  Claimer claimer(service, params);
  return claimer.run();
}

}  // namespace corvanta
