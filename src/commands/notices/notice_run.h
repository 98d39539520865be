// The notice run: the one shape of the letter jobs (REMIND, CLAIM, and the
// runs to come). It owns the selection's candidate list and its sort, the
// two phases (post for addressees without an e-mail address, then e-mail
// for the others), grouping the candidates by addressee, the order of a
// letter and its changes, the error line and the count lines.
//
// For each addressee the letter is written first; then the addressee's
// changes go to the journal in one unit. A letter that cannot be written
// ends the run before the addressee's changes are made, so they stay as
// they were for the next run; after a crash the journal holds all of an
// addressee's changes or none.
//
// A command supplies its data (NoticeSettings) and its hooks (NoticeHooks):
// how to select, how to begin an addressee and take each of its
// candidates into the letter, how to apply the addressee's changes. The
// command keeps its own state of the addressee being worked on. Single
// threaded; one run at a time uses the service's printout.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "shell/params.h"
#include "shell/service.h"
#include "util/big_endian.h"
#include "util/result.h"

namespace corvanta {

// A candidate: fixed-width bytes whose first four are its addressee's IDN
// (big-endian); the rest is the command's own layout.
using Candidate = std::span<const unsigned char>;
inline std::uint32_t candidate_addressee(Candidate c) {
  return get_u32(c.data());
}

// The candidates of a run, all of one width, in a stable order on their
// first `sort_length` bytes (compared as unsigned bytes).
class Candidates {
 public:
  // 4 <= sort_length <= width.
  Candidates(std::size_t width, std::size_t sort_length);
  // `c` has the list's width.
  void add(Candidate c);
  void sort();
  std::size_t size() const { return bytes_.size() / width_; }
  Candidate operator[](std::size_t i) const { return {bytes_.data() + i * width_, width_}; }

 private:
  std::size_t width_;
  std::size_t sort_length_;
  std::vector<unsigned char> bytes_;
};

// The message numbers of a run's count lines; 0 leaves a line out.
struct NoticeMessages {
  std::int32_t selection = 0;  // job log: the selection date
  std::int32_t post_done = 0;  // job log: letters written after the post phase
  std::int32_t mail_done = 0;  // job log: letters written after both phases
  // Job protocol: "<candidates>, <ms>" of the selection, and the
  // milliseconds of each phase, for the operator who plans the night's jobs.
  std::int32_t select_time = 0;
  std::int32_t post_time = 0;
  std::int32_t mail_time = 0;
};

struct NoticeSettings {
  std::string word;                // names the output files of the phases
  std::vector<std::string> forms;  // checked before the run; the first with its stylesheet
  std::string sublib;              // current while the run lasts
  std::string select;              // the selection date, for the count line
  std::size_t width = 0;           // of a candidate
  std::size_t sort_length = 0;     // of a candidate's sort key
  NoticeMessages messages;
};

class NoticeRun;

// What a command does at each step. A hook's failure ends the phase with
// the error line; the addressee being worked on is left unchanged.
class NoticeHooks {
 public:
  virtual ~NoticeHooks() = default;
  // Adds the run's candidates; the run sorts them afterwards.
  virtual ResultCode select(Candidates& candidates) = 0;
  // A new addressee, met with its first candidate: either run.skip() (the
  // phase passes it over), or prepare it and, for a letter, run.open_letter.
  virtual ResultCode begin_addressee(NoticeRun& run, Candidate first) = 0;
  // Each candidate of an addressee not skipped, in order.
  virtual ResultCode take(NoticeRun& run, Candidate c) = 0;
  // The end of the addressee's letter, written before it is finished.
  virtual ResultCode end_letter(NoticeRun&) { return 0; }
  // The addressee's changes, inside one unit of the journal; a failure
  // ends the unit and the run.
  virtual ResultCode apply(NoticeRun& run) = 0;
  // After the addressee's unit is written: the command's totals.
  virtual void applied(NoticeRun&) {}
  // The line of the job protocol that names where a phase failed.
  virtual std::string error_line(ResultCode rc, std::uint32_t addressee) = 0;
  // After the phases, whatever their result: the command's total lines.
  virtual void finished() {}
};

class NoticeRun {
 public:
  static constexpr char kPost = 'L';
  static constexpr char kMail = 'M';

  // `pool` is the open pool whose journal takes the changes; the
  // references outlive the run.
  NoticeRun(Service& service, const ParamList& params, const dict::AppPoolDef& pool, NoticeSettings settings,
            NoticeHooks& hooks);
  // The whole run: check the forms and output files, select, both phases.
  ResultCode run();

  // For the hooks, while an addressee is worked on:
  char phase() const { return phase_; }  // kPost or kMail
  std::uint32_t addressee() const { return current_.idn; }
  // The phase passes the addressee over: no letter, no changes.
  void skip() { current_.skip = true; }
  bool skipped() const { return current_.skip; }
  // Starts the addressee's letter in `form`, in the phase's output file,
  // in that language, sent to `email` when not empty.
  ResultCode open_letter(std::string_view form, const std::string& language, const std::string& email);
  bool letter_open() const { return current_.letter; }
  // The letters written so far, both phases together.
  long letters() const { return letters_; }

 private:
  struct Addressee {
    bool open = false;
    std::uint32_t idn = 0;
    bool skip = false;
    bool letter = false;
  };

  ResultCode check_letters();
  ResultCode run_phase(char phase);
  ResultCode finish_addressee();

  Service& service_;
  const ParamList& params_;
  const dict::AppPoolDef& pool_;
  NoticeSettings settings_;
  NoticeHooks& hooks_;
  Candidates candidates_;
  char phase_ = kPost;
  std::string output_;
  bool first_letter_ = true;
  Addressee current_;
  long letters_ = 0;
};

}  // namespace corvanta
