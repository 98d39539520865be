// Retrieval: a query answered with the IDNs of the matching records of the
// current pool and file, and what is done with result sets afterwards
// (sorting, filtering) and term browsing.
//
// Each search term names an aspect of the file (AppFileDef aspects): the
// index it searches, or a group of aspects searched together (FULL=YES,
// words intersected with LIST=YES), or another file and link whose hits
// are carried over (FILE=, LINK=, TEXT=). Values become terms by the
// index's term definition in retrieval mode, the same generator that made
// the index; terms are looked up in the index's list file under the key
// PREFIX= + term. An aspect of index 0, or of an index over an IDNR field,
// selects record numbers: "*" the highest, "a < b" the records from a to b.
//
// Matching of one term against the list file's keys (k = the key's first
// bytes as long as prefix and term; keys are zero-filled):
//   =        the key itself              <   k <  term     <=  k <= term
//   range    lower <= key, k2 <= upper   >   k >  term     >=  k >= term
// and a term with truncation (0x09, any run) or mask (0x08, one
// character) bytes matches the keys its pattern matches. Scans stay within
// the index's prefix.
//
// A query is evaluated strictly from left to right (no precedence); an
// element that is a single stop word is joined by union, so that it never
// empties an AND. The retrieval clock (MaxRetTime seconds) is checked at
// every key step and before every word and hit; a term scan that runs out
// of time keeps what it found, a multi-word value or an IDN range ends with
// -503 (with IgnoreTimeout the lists found so far stand).
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "config/dictionary.h"
#include "forms/formatting.h"
#include "indexing/terms.h"
#include "pool/pool_service.h"
#include "records/idn_list.h"
#include "search/query.h"
#include "search/result_sets.h"
#include "util/result.h"

namespace corvanta::records {

inline constexpr std::int32_t kRetrievalNoMemory = -501;
inline constexpr std::int32_t kNoQuery = -502;  // no current pool or file, or no query
inline constexpr std::int32_t kTimeLimit = -503;
inline constexpr std::int32_t kUndefinedAspect = -507;
inline constexpr std::int32_t kNoSortMemory = -541;
inline constexpr std::int32_t kNoSortDefinition = -543;
inline constexpr std::size_t kSortKeyLength = 252;
inline constexpr std::size_t kMaxEcho = 250;

struct RetrievalLimits {
  std::size_t max_aspects = 100;
  std::size_t max_query = 500;  // characters of a query
  std::uint32_t max_results = 10000;
  std::uint32_t max_ret_time = 120;  // seconds
  std::uint32_t max_filter_time = 120;
  bool ignore_timeout = false;
  std::uint32_t max_scan_cnt = 100000;
};

// Code tables: the codes an aspect's index holds and the texts people use
// for them (CODE= of an aspect names its table). The code table commands
// supply them; without a provider an aspect's CODE= has no effect.
class CodeTables {
 public:
  virtual ~CodeTables() = default;
  // The code whose display text equals `text` over its whole length, in
  // any case.
  virtual std::optional<std::string> code(std::string_view table, std::string_view text) const = 0;
  // The display text of a code.
  virtual std::optional<std::string> text(std::string_view table, std::string_view code) const = 0;
};

// One row of term browsing.
struct ScanRow {
  std::string key;    // "ASP  FIL  %09ld": aspect, file code and running number
  std::string term;   // the term as shown
  std::string count;  // "%07ld", or ">%06ld" beyond MaxScanCnt
};

class Retrieval {
 public:
  using Clock = std::function<std::chrono::steady_clock::time_point()>;

  Retrieval(PoolLayer& pools, SetFiles& sets, const FormCatalogue& forms)
      : pools_(pools), sets_(sets), forms_(forms) {}

  void set_limits(const RetrievalLimits& limits) { limits_ = limits; }
  const RetrievalLimits& limits() const { return limits_; }
  // The time source of the retrieval clock (tests advance it).
  void set_clock(Clock clock) { clock_ = std::move(clock); }
  void set_code_tables(const CodeTables* tables) { code_tables_ = tables; }

  // A new result set for the current pool and file: the query evaluated,
  // narrowed by the file's FILTER= query. The set is not stored. On failure
  // the set is released. With `phrase`, multi-word values are checked to
  // stand one after another in a field of the index.
  ResultCode find(std::string_view query, ResultSet& set, bool phrase = false);

  // A parsed query evaluated in `pool` and `file` (its data definition
  // bound): the hits, and the query's echo text.
  ResultCode evaluate(const dict::AppPoolDef& pool, const dict::AppFileDef& file, const ParsedQuery& query,
                      IdnList& result, std::string& echo, bool phrase = false);

  // Sorts the set's hits by up to three sort forms ("%03d" of the numbers,
  // ending at the first 0), descending for direction 'D'; records with equal
  // keys keep their order. The set's pool and file are current meanwhile.
  ResultCode sort(ResultSet& set, const std::array<std::uint16_t, kSortKeys>& keys, char direction);
  // The set's sort keys and direction formatted by the file's "SORTINFO"
  // form.
  ResultCode sort_info(const ResultSet& set, std::string& text);
  // `target` gets the hits of `source` for which the conditions hold (or,
  // `inverse`, do not hold), in source order.
  ResultCode filter(std::string_view conditions, const ResultSet& source, ResultSet& target, bool inverse);
  // Term browsing of an aspect of the current file from the term of
  // `start`: `skip` keys forward (or back when negative) first, then up to
  // `rows` rows. `first` and `next` receive the skip values of the previous
  // and the next page.
  ResultCode scan(std::string_view aspect, std::string_view start, long skip, std::size_t rows,
                  std::vector<ScanRow>& out, long& previous, long& next);

  // Every record of the current file that `query` finds (narrowed by the
  // file's FILTER=), sorted, without the limit on a set's hits: whether a
  // record passes a query is whether it is among them.
  ResultCode matches(std::string_view query, IdnList& hits);

  // Walks the index of `aspect` of the current pool and file in key order
  // from its first key and stops at the first key that is not below the
  // term `value` makes; `visit` gets the IDNs of each key in turn and ends
  // the walk with a failure of its own.
  ResultCode walk_below(const dict::AspectDef& aspect, std::string_view value,
                        const std::function<ResultCode(const IdnList&)>& visit);

 private:
  struct Evaluation;
  // The hits of a query in the current pool and file, narrowed by the
  // file's FILTER=, with the query's echo text.
  ResultCode query_hits(std::string_view query, IdnList& hits, std::string& echo, bool phrase);
  ResultCode evaluate_level(Evaluation& ev, const ParsedQuery& q, int node, IdnList& result,
                            std::string& echo, int depth);
  ResultCode term(Evaluation& ev, const QueryTerm& t, IdnList& result, bool& stop_word, int depth);
  ResultCode aspect_term(Evaluation& ev, const dict::AppFileDef& file, const dict::AspectDef& aspect,
                         const QueryTerm& t, IdnList& result, bool& stop_word, int depth);
  ResultCode index_term(Evaluation& ev, const dict::AppFileDef& file, const dict::IndexDef& index,
                        const QueryTerm& t, IdnList& result, bool& stop_word);
  ResultCode idn_term(Evaluation& ev, const dict::AppFileDef& file, const QueryTerm& t, IdnList& result);
  bool out_of_time(const Evaluation& ev) const;
  // The terms of a query value for `index`: converted to the internal form
  // of the index's source, then made by its term definition in `mode`.
  static ResultCode value_terms(const IndexContext& ctx, const dict::FileDef& file,
                                const dict::IndexDef& index, std::string_view value, TermMode mode,
                                TermList& list);
  // The application pool and file a stored set belongs to.
  ResultCode set_owner(const ResultSet& set, const dict::AppPoolDef*& pool,
                       const dict::AppFileDef*& file) const;
  const dict::AspectDef* find_aspect(const dict::AppFileDef& file, std::string_view name) const;

  PoolLayer& pools_;
  SetFiles& sets_;
  const FormCatalogue& forms_;
  RetrievalLimits limits_;
  Clock clock_ = [] { return std::chrono::steady_clock::now(); };
  const CodeTables* code_tables_ = nullptr;
};

// Whether a list file key matches a term pattern with truncation (0x09) and
// mask (0x08) bytes; trailing `fill` characters (0: none) and zero bytes of
// either do not count.
bool pattern_match(std::string_view pattern, std::string_view key, char fill);

}  // namespace corvanta::records
