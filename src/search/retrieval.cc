// Searching: queries evaluated against the index list files (see
// retrieval.h).
#include "search/retrieval.h"

#include <algorithm>
#include <cstring>

#include "dbm/index.h"
#include "dbm/values.h"
#include "indexing/terms.h"
#include "records/convert.h"
#include "util/big_endian.h"

namespace corvanta::records {

struct Retrieval::Evaluation {
  const dict::AppPoolDef* pool = nullptr;
  const dict::AppFileDef* file = nullptr;
  std::chrono::steady_clock::time_point deadline;
  bool phrase = false;
  IndexContext index;
};

namespace {

constexpr int kMaxLinkDepth = 4;  // linked aspects through linked aspects
constexpr std::size_t kListBuffer = 8192;
constexpr char kTruncation = '\x09';
constexpr char kMask = '\x08';

bool has_marks(std::string_view term) {
  return term.find(kTruncation) != std::string_view::npos || term.find(kMask) != std::string_view::npos;
}

bool is_idn_type(const dict::ValueType& type) {
  return type.code == 2 && !type.link;
}

std::string echo_term(const QueryTerm& t) {
  std::string out = t.aspect;
  out += comparison_text(t.comparison);
  out += t.value;
  if (t.range) {
    out += " < ";
    out += t.second;
  }
  return out;
}

std::string_view op_text(char op) {
  switch (op) {
    case 'A': return " AND ";
    case 'O': return " OR ";
    case 'N': return " NOT ";
    default: return "";
  }
}

// Splits a value at blanks outside double quotes.
std::vector<std::string> words_of(std::string_view value) {
  std::vector<std::string> out;
  std::string word;
  bool quoted = false;
  for (const char c : value) {
    if (c == '"') quoted = !quoted;
    if (c == ' ' && !quoted) {
      if (!word.empty()) out.push_back(std::move(word));
      word.clear();
    } else {
      word += c;
    }
  }
  if (!word.empty()) out.push_back(std::move(word));
  return out;
}

// Whether the query terms stand one directly after another among `terms`.
bool contains_sequence(const std::vector<TermList::Entry>& terms, const std::vector<TermList::Entry>& wanted,
                       char fill) {
  if (wanted.empty() || terms.size() < wanted.size()) return wanted.empty();
  for (std::size_t start = 0; start + wanted.size() <= terms.size(); ++start) {
    bool all = true;
    for (std::size_t k = 0; k < wanted.size() && all; ++k) {
      const TermList::Entry& w = wanted[k];
      const std::string& have = terms[start + k].term;
      all = w.cls == kTermTruncated ? pattern_match(w.term, have, fill) : w.term == have;
    }
    if (all) return true;
  }
  return false;
}

}  // namespace

bool pattern_match(std::string_view pattern, std::string_view key, char fill) {
  // Trailing fill characters and zero bytes do not count.
  while (!key.empty() && (key.back() == fill || key.back() == '\0')) key.remove_suffix(1);
  while (!pattern.empty() && (pattern.back() == fill || pattern.back() == '\0')) pattern.remove_suffix(1);
  std::size_t p = 0;
  std::size_t k = 0;
  std::size_t star = std::string_view::npos;
  std::size_t star_key = 0;
  // Truncation takes the shortest run after which the rest matches: a
  // backtracking match that extends the last truncation on a mismatch.
  while (k < key.size()) {
    if (p < pattern.size() && pattern[p] == kTruncation) {
      star = p++;
      star_key = k;
    } else if (p < pattern.size() && (pattern[p] == kMask || pattern[p] == key[k])) {
      ++p;
      ++k;
    } else if (star != std::string_view::npos) {
      p = star + 1;
      k = ++star_key;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == kTruncation) ++p;
  return p == pattern.size();
}

ResultCode Retrieval::value_terms(const IndexContext& ctx, const dict::FileDef& file,
                                  const dict::IndexDef& index, std::string_view value, TermMode mode,
                                  TermList& list) {
  const dict::TermDef* def = index.term_def;
  if (def == nullptr) return kNoTermDefinition;
  const dict::ValueType type = source_type(file, index);
  std::string internal;
  if (type.code != 1) {
    const ResultCode rc = fld_to_internal(type, value, internal, 4096);
    if (rc.failed() && rc.code() != kDoesNotFit) {
      list.clear();
      return 0;  // a value of the wrong kind finds nothing
    }
    value = internal;
  }
  const ResultCode rc = trm_generate(ctx.terms, list, "", def, mode, value, type.code);
  if (rc.failed()) return rc;
  if (def->indicators) {
    // Any indicators: the two-character prefix becomes two masks.
    for (TermList::Entry& e : list.entries()) {
      if (e.term.size() >= 2) e.term[0] = e.term[1] = kMask;
      e.cls = kTermTruncated;
    }
  }
  return 0;
}

bool Retrieval::out_of_time(const Evaluation& ev) const {
  return clock_() >= ev.deadline;
}

const dict::AspectDef* Retrieval::find_aspect(const dict::AppFileDef& file, std::string_view name) const {
  if (const dict::AspectDef* a = file.find_aspect(name)) return a;
  if (name == "WRD" && !file.aspect_defs.empty()) return file.aspect_defs.front();
  return nullptr;
}

ResultCode Retrieval::query_hits(std::string_view query, IdnList& hits, std::string& echo, bool phrase) {
  const dict::AppPoolDef* pool = pools_.pool();
  const dict::AppFileDef* file = pools_.file();
  if (pool == nullptr || file == nullptr || file->data == nullptr) return kNoQuery;
  if (query.find_first_not_of(' ') == std::string_view::npos) return kNoQuery;
  if (query.size() > limits_.max_query) return kQuerySyntax;  // refused whole rather than cut
  ParsedQuery parsed;
  ResultCode rc = qry_parse('R', query, parsed, limits_.max_aspects);
  if (rc.ok()) rc = evaluate(*pool, *file, parsed, hits, echo, phrase);
  if (rc.ok() && !file->filter.empty()) {
    ParsedQuery filter;
    IdnList narrowed;
    std::string ignored;
    rc = qry_parse('R', file->filter, filter, limits_.max_aspects);
    if (rc.ok()) rc = evaluate(*pool, *file, filter, narrowed, ignored, false);
    if (rc.ok()) idl_combine(hits, hits, narrowed, 'A');
  }
  return rc;
}

ResultCode Retrieval::matches(std::string_view query, IdnList& hits) {
  hits.clear();
  std::string echo;
  const ResultCode rc = query_hits(query, hits, echo, false);
  if (rc.failed()) hits.clear();
  idl_sort_unique(hits);
  return rc;
}

ResultCode Retrieval::find(std::string_view query, ResultSet& set, bool phrase) {
  const dict::AppPoolDef* pool = pools_.pool();
  const dict::AppFileDef* file = pools_.file();
  set_release(set);
  if (pool == nullptr || file == nullptr || file->data == nullptr) return kNoQuery;
  set_prepare(set, pool->name, file->data->number, limits_.max_results);
  IdnList hits;
  std::string echo;
  if (const ResultCode rc = query_hits(query, hits, echo, phrase); rc.failed()) {
    set_release(set);
    return rc;
  }
  if (hits.size() > limits_.max_results) hits.resize(limits_.max_results);
  set.hits = std::move(hits);
  set.query = echo.substr(0, kMaxEcho);
  return 0;
}

ResultCode Retrieval::evaluate(const dict::AppPoolDef& pool, const dict::AppFileDef& file,
                               const ParsedQuery& query, IdnList& result, std::string& echo, bool phrase) {
  result.clear();
  echo.clear();
  if (file.data == nullptr) return kNoQuery;
  if (query.nodes.empty()) return kNoQuery;
  Evaluation ev;
  ev.pool = &pool;
  ev.file = &file;
  ev.phrase = phrase;
  ev.index = pools_.index_context(pool);
  ev.deadline = clock_() + std::chrono::seconds(limits_.max_ret_time);
  if (limits_.ignore_timeout) ev.deadline = std::chrono::steady_clock::time_point::max();
  ResultCode rc = 0;
  try {
    rc = evaluate_level(ev, query, 0, result, echo, 0);
  } catch (const std::bad_alloc&) {
    rc = kRetrievalNoMemory;
  }
  if (rc.failed()) result.clear();
  return rc;
}

ResultCode Retrieval::evaluate_level(Evaluation& ev, const ParsedQuery& q, int node, IdnList& result,
                                     std::string& echo, int depth) {
  bool first = true;
  bool previous_stop = false;
  for (int n = node; n >= 0; n = q.nodes[static_cast<std::size_t>(n)].next) {
    const QueryNode& qn = q.nodes[static_cast<std::size_t>(n)];
    IdnList list;
    bool stop = false;
    std::string part;
    ResultCode rc = 0;
    if (qn.kind == 'Q') {
      std::string inner;
      rc = evaluate_level(ev, q, static_cast<int>(qn.payload), list, inner, depth + 1);
      part = "(" + inner + ")";
    } else if (qn.kind == 'L') {
      ResultSet stored;
      rc = sets_.load(q.sets[qn.payload], stored);
      if (rc.ok()) {
        if (stored.pool == ev.pool->name && stored.file == ev.file->data->number) {
          list = std::move(stored.hits);
          idl_sort_unique(list);
        }
        part = stored.query;
      }
    } else {
      const QueryTerm& t = q.terms[qn.payload];
      rc = term(ev, t, list, stop, 0);
      part = echo_term(t);
    }
    if (rc.failed()) return rc;
    if (!first) echo += op_text(qn.op);
    echo += part;
    if (first) {
      result = std::move(list);
    } else {
      idl_combine(result, result, list, (stop || previous_stop) ? 'O' : qn.op);
    }
    previous_stop = stop;
    first = false;
  }
  return 0;
}

ResultCode Retrieval::term(Evaluation& ev, const QueryTerm& t, IdnList& result, bool& stop_word, int depth) {
  const dict::AspectDef* aspect = find_aspect(*ev.file, t.aspect);
  if (aspect == nullptr) return kUndefinedAspect;
  return aspect_term(ev, *ev.file, *aspect, t, result, stop_word, depth);
}

ResultCode Retrieval::aspect_term(Evaluation& ev, const dict::AppFileDef& file, const dict::AspectDef& aspect,
                                  const QueryTerm& t, IdnList& result, bool& stop_word, int depth) {
  result.clear();
  stop_word = false;
  if (depth > kMaxLinkDepth || file.data == nullptr) return kUndefinedAspect;

  if (!aspect.file.empty()) {
    // A linked aspect: searched in another file, the hits carried over.
    const dict::AppFileDef* named = dict::ApplDictionary::find_file(*ev.pool, aspect.file);
    if (named == nullptr || named->data == nullptr) return kUndefinedAspect;
    const dict::LinkDef* link = named->data->find_link(aspect.link);
    if (link == nullptr) return kUndefinedAspect;
    const dict::AppFileDef* searched = named;
    if (named == &file) {
      searched = nullptr;
      for (const dict::AppFileDef* f : ev.pool->file_defs) {
        if (f->data != nullptr && f->data->number == link->target_file) searched = f;
      }
      if (searched == nullptr) return kUndefinedAspect;
    }
    const dict::AspectDef* there =
        find_aspect(*searched, aspect.aspect.empty() ? aspect.name : aspect.aspect);
    if (there == nullptr) return kUndefinedAspect;
    IdnList hits;
    bool ignored = false;
    if (const ResultCode rc = aspect_term(ev, *searched, *there, t, hits, ignored, depth + 1); rc.failed())
      return rc;
    const bool listed = list_file_of(*link) != 0;
    for (const std::uint32_t hit : hits) {
      if (out_of_time(ev)) return kTimeLimit;
      ResultCode rc = 0;
      if (listed) {
        rc = pools_.lnk_follow(*ev.pool, *named->data, link, hit, result, 'B');
      } else if (searched == named) {
        rc = pools_.lnk_follow(*ev.pool, *named->data, link, hit, result, 'F');
      }
      if (rc.failed()) return rc;
    }
    idl_sort_unique(result);
    return 0;
  }

  if (aspect.collective && !aspect.group.empty()) {
    std::vector<const dict::AspectDef*> members;
    for (const dict::AspectDef* a : file.aspect_defs) {
      if (a->group == aspect.group) members.push_back(a);
    }
    // The value (or one word) searched under every member, united.
    auto over_group = [&](const QueryTerm& value, IdnList& out, bool& stop) -> ResultCode {
      out.clear();
      stop = false;
      for (const dict::AspectDef* m : members) {
        if (m->collective && m != &aspect && m->file.empty()) continue;
        dict::AspectDef plain = *m;
        plain.collective = false;
        IdnList list;
        bool s = false;
        if (const ResultCode rc = aspect_term(ev, file, plain, value, list, s, depth); rc.failed()) return rc;
        stop = stop || s;
        idl_combine(out, out, list, 'O');
      }
      return 0;
    };
    if (!aspect.word_wise || ev.phrase || t.range) return over_group(t, result, stop_word);
    const std::vector<std::string> words = words_of(t.value);
    std::vector<std::pair<IdnList, bool>> lists;
    for (const std::string& w : words) {
      if (!lists.empty() && out_of_time(ev)) {
        if (!limits_.ignore_timeout) return kTimeLimit;
        break;
      }
      QueryTerm word = t;
      word.value = w;
      IdnList list;
      bool stop = false;
      if (const ResultCode rc = over_group(word, list, stop); rc.failed()) return rc;
      lists.emplace_back(std::move(list), stop);
    }
    const bool all_stop = std::all_of(lists.begin(), lists.end(), [](const auto& l) { return l.second; });
    bool first = true;
    for (auto& [list, stop] : lists) {
      if (stop && !all_stop) continue;  // stop words take no part
      if (first) {
        result = std::move(list);
      } else {
        idl_combine(result, result, list, 'A');
      }
      first = false;
    }
    stop_word = lists.size() == 1 && lists.front().second;
    return 0;
  }

  // A value that is the display text of a code of the aspect's table
  // searches the code.
  QueryTerm coded;
  const QueryTerm* term = &t;
  if (!aspect.code_table.empty() && code_tables_ != nullptr) {
    coded = t;
    if (auto c = code_tables_->code(aspect.code_table, t.value)) coded.value = std::move(*c);
    if (t.range) {
      if (auto c = code_tables_->code(aspect.code_table, t.second)) coded.second = std::move(*c);
    }
    term = &coded;
  }
  if (aspect.index == 0) return idn_term(ev, file, *term, result);
  const dict::IndexDef* index = file.data->find_index(aspect.index);
  if (index == nullptr) return kUndefinedAspect;
  if (is_idn_type(source_type(*file.data, *index))) return idn_term(ev, file, *term, result);
  return index_term(ev, file, *index, *term, result, stop_word);
}

ResultCode Retrieval::idn_term(Evaluation& ev, const dict::AppFileDef& file, const QueryTerm& t,
                               IdnList& result) {
  dbm::Dbm& dbm = pools_.dbm();
  const std::string& pool = ev.pool->name;
  const int records = file.data->number;
  std::uint32_t last = 0;
  if (const ResultCode rc = dbm.last_idn(pool, records, last); rc.failed()) return rc;
  unsigned char small[16];
  auto exists = [&](std::uint32_t idn) -> ResultCode {
    unsigned char key[4];
    put_u32(key, idn);
    std::size_t length = 0;
    return dbm.get_length(pool, records, key, length);
  };
  auto number = [](std::string_view text) -> std::uint64_t {
    std::uint64_t n = 0;
    for (const char c : text) {
      if (c < '0' || c > '9') break;
      n = std::min<std::uint64_t>(n * 10 + static_cast<unsigned>(c - '0'), 0xFFFFFFFFull);
    }
    return n;
  };
  auto trimmed = [](std::string_view v) {
    while (!v.empty() && v.front() == ' ') v.remove_prefix(1);
    return v;
  };
  const std::string_view value = trimmed(t.value);
  if (value == "*") {
    for (std::uint32_t idn = last, steps = 0; idn > 0; --idn, ++steps) {
      if (steps % 10 == 9 && out_of_time(ev)) return kTimeLimit;
      const ResultCode rc = exists(idn);
      if (rc.code() == 0) {
        result.push_back(idn);
        break;
      }
      if (rc.failed()) return rc;
    }
    return 0;
  }
  std::uint64_t from = number(value);
  std::uint64_t to = from;
  if (t.range) {
    const std::string_view second = trimmed(t.second);
    to = second == "*" ? last : number(second);
    if (to < from) to = from;
  } else {
    switch (t.comparison) {
      case Comparison::Less: to = from == 0 ? 0 : from - 1, from = 1; break;
      case Comparison::LessEqual: to = from, from = 1; break;
      case Comparison::Greater: from = from + 1, to = last; break;
      case Comparison::GreaterEqual: to = last; break;
      case Comparison::Equal: break;
    }
  }
  if (from == 0) from = 1;
  if (from > to || from > 0xFFFFFFFFull) return 0;
  unsigned char key[4];
  put_u32(key, static_cast<std::uint32_t>(from));
  dbm::Position pos;
  dbm::DataRef data{small};
  std::size_t steps = 0;
  for (ResultCode rc = dbm.set(pool, records, key, pos, data); rc.code() == 0 || rc.code() == dbm::kTruncated;
       rc = dbm.get(pool, records, key, pos, data)) {
    const std::uint32_t idn = get_u32(key);
    if (idn > to) break;
    if (++steps % 10 == 0 && out_of_time(ev)) {
      idl_sort_unique(result);
      return kTimeLimit;
    }
    result.push_back(idn);
    data = dbm::DataRef{small};
  }
  idl_sort_unique(result);
  return 0;
}

ResultCode Retrieval::index_term(Evaluation& ev, const dict::AppFileDef& file, const dict::IndexDef& index,
                                 const QueryTerm& t, IdnList& result, bool& stop_word) {
  const dict::TermDef* def = index.term_def;
  if (def == nullptr) return kNoTermDefinition;
  const int list_file = list_file_of(index);
  const std::size_t key_length = list_key_length(index);
  if (list_file == 0) return kUndefinedAspect;
  dbm::Dbm& dbm = pools_.dbm();
  const std::string& pool = ev.pool->name;
  // Fill characters count as padding only where ALIGN=LEFT put them.
  const char fill = def->align == dict::Align::Left ? def->fill : '\0';

  auto terms_of = [&](std::string_view value, TermMode mode, TermList& list) {
    return value_terms(ev.index, *file.data, index, value, mode, list);
  };

  // The IDNs of keys from `lower` while `within` holds; `match` picks keys.
  std::vector<unsigned char> buffer(kListBuffer);
  auto scan = [&](std::string lower, auto within, auto match, IdnList& out) -> ResultCode {
    lower.resize(key_length, '\0');
    std::vector<unsigned char> key(lower.begin(), lower.end());
    dbm::Position pos;
    dbm::DataRef value{buffer};
    dbm::Continuation cont;
    for (ResultCode rc = dbm.set(pool, list_file, key.data(), pos, value, &cont);
         rc.code() == 0 || rc.code() == dbm::kTruncated;
         rc = dbm.get(pool, list_file, key.data(), pos, value, &cont)) {
      const std::string_view k(reinterpret_cast<const char*>(key.data()), key.size());
      if (k.substr(0, index.prefix.size()) != index.prefix || !within(k)) break;
      if (match(k)) {
        if (const ResultCode r = take_list_items(dbm, pool, list_file, rc, buffer, value, cont, out);
            r.failed())
          return r;
      }
      if (out_of_time(ev)) break;  // a scan out of time keeps what it found
      value = dbm::DataRef{buffer};
    }
    return 0;
  };
  auto prefix_cmp = [](std::string_view key, std::string_view bound) {
    return key.substr(0, bound.size()).compare(bound);
  };

  // The IDNs of one term under the element's comparison.
  auto one_term = [&](const TermList::Entry& e, IdnList& out) -> ResultCode {
    const std::string key = (index.prefix + e.term).substr(0, key_length);
    const std::string& prefix = index.prefix;
    const auto all = [](std::string_view) { return true; };
    if (e.cls == kTermTruncated || has_marks(e.term)) {
      const std::size_t mark = key.find_first_of(std::string_view("\x08\x09", 2), prefix.size());
      const std::string fixed = key.substr(0, mark);
      const std::string_view pattern = std::string_view(key).substr(prefix.size());
      return scan(
          fixed, [&](std::string_view k) { return prefix_cmp(k, fixed) <= 0; },
          [&](std::string_view k) { return pattern_match(pattern, k.substr(prefix.size()), fill); }, out);
    }
    switch (t.comparison) {
      case Comparison::Equal: {
        std::vector<unsigned char> exact(key.begin(), key.end());
        exact.resize(key_length, 0);
        dbm::DataRef value{buffer};
        dbm::Continuation cont;
        const ResultCode rc = dbm.read(pool, list_file, exact.data(), value, &cont);
        if (rc.code() == dbm::kAbsent) return 0;
        return take_list_items(dbm, pool, list_file, rc, buffer, value, cont, out);
      }
      case Comparison::Less:
        return scan(
            prefix, [&](std::string_view k) { return prefix_cmp(k, key) < 0; }, all, out);
      case Comparison::LessEqual:
        return scan(
            prefix, [&](std::string_view k) { return prefix_cmp(k, key) <= 0; }, all, out);
      case Comparison::Greater:
        return scan(
            key, all, [&](std::string_view k) { return prefix_cmp(k, key) > 0; }, out);
      case Comparison::GreaterEqual: return scan(key, all, all, out);
    }
    return 0;
  };

  TermList list(ev.index.term_buffer);
  if (const ResultCode rc = terms_of(t.value, TermMode::Retrieval, list); rc.failed()) return rc;
  std::vector<TermList::Entry> entries = list.entries();
  if (entries.empty()) return 0;
  if (entries.size() == 1 && def->stop_file != 0) {
    std::string extra;
    const ResultCode rc = stp_lookup(dbm, pool, def->stop_file, def->stop_list, entries.front().term, extra);
    if (rc.failed()) return rc;
    stop_word = rc.code() == 1;
  }

  if (t.range) {
    TermList upper_list(ev.index.term_buffer);
    if (const ResultCode rc = terms_of(t.second, TermMode::Retrieval, upper_list); rc.failed()) return rc;
    std::string upper =
        upper_list.entries().empty() ? entries.front().term : upper_list.entries().front().term;
    if (def->align == dict::Align::Left) {
      while (!upper.empty() && upper.back() == def->fill) upper.pop_back();
    }
    const std::string upper_key = (index.prefix + upper).substr(0, key_length);
    const std::string lower_key = index.prefix + entries.front().term;
    IdnList out;
    if (const ResultCode rc = scan(
            lower_key, [&](std::string_view k) { return prefix_cmp(k, upper_key) <= 0; },
            [](std::string_view) { return true; }, out);
        rc.failed())
      return rc;
    idl_sort_unique(out);
    result = std::move(out);
    return 0;
  }

  bool first = true;
  for (const TermList::Entry& e : entries) {
    if (!first && out_of_time(ev)) {
      if (!limits_.ignore_timeout) return kTimeLimit;
      break;
    }
    IdnList out;
    if (const ResultCode rc = one_term(e, out); rc.failed()) return rc;
    idl_sort_unique(out);
    if (first) {
      result = std::move(out);
    } else {
      idl_combine(result, result, out, 'A');
    }
    first = false;
  }

  if (!ev.phrase || result.empty()) return 0;
  TermList phrase_list(ev.index.term_buffer);
  if (const ResultCode rc = terms_of(t.value, TermMode::Phrase, phrase_list); rc.failed()) return rc;
  if (phrase_list.entries().size() < 2) return 0;
  // Every hit is kept only when a field feeding the same list file has the
  // query's words one after another.
  std::vector<WalkElement> sources;
  for (const dict::IndexDef* other : file.data->indexes) {
    if (list_file_of(*other) == list_file && other->term_def != nullptr) {
      sources.push_back(walk_element(*file.data, other->source));
    }
  }
  IdnList confirmed;
  for (const std::uint32_t hit : result) {
    if (out_of_time(ev)) {
      result = std::move(confirmed);
      return kTimeLimit;
    }
    RecordHandle h;
    if (pools_.rec_read(*ev.pool, *file.data, hit, h, pools_.max_record(), kInternalForm).code() != 0)
      continue;
    bool found = false;
    for (const WalkElement& walk : sources) {
      if (walk.tag == nullptr) continue;
      FieldDesc f;
      FieldDesc s;
      while (!found && fld_walk(h, f, s, walk).code() == 0) {
        const FieldDesc& piece = walk.subfield != nullptr ? s : f;
        TermList field_terms(ev.index.term_buffer);
        if (trm_generate(ev.index.terms, field_terms, f.indicators, def, TermMode::Phrase, piece.content(),
                         piece.type)
                .failed())
          continue;
        found = contains_sequence(field_terms.entries(), phrase_list.entries(), fill);
      }
      if (found) break;
    }
    if (found) confirmed.push_back(hit);
  }
  result = std::move(confirmed);
  return 0;
}

ResultCode Retrieval::walk_below(const dict::AspectDef& aspect, std::string_view value,
                                 const std::function<ResultCode(const IdnList&)>& visit) {
  const dict::AppPoolDef* pool = pools_.pool();
  const dict::AppFileDef* file = pools_.file();
  if (pool == nullptr || file == nullptr || file->data == nullptr) return kUndefinedAspect;
  const dict::IndexDef* index = file->data->find_index(aspect.index);
  if (index == nullptr) return kUndefinedAspect;
  const int list_file = list_file_of(*index);
  if (list_file == 0) return kUndefinedAspect;
  const std::size_t key_length = list_key_length(*index);
  const IndexContext ctx = pools_.index_context(*pool);
  TermList terms(ctx.term_buffer);
  if (const ResultCode rc = value_terms(ctx, *file->data, *index, value, TermMode::Search, terms);
      rc.failed())
    return rc;
  if (terms.entries().empty()) return 0;
  const std::string bound = (index->prefix + terms.entries().front().term).substr(0, key_length);

  dbm::Dbm& dbm = pools_.dbm();
  std::vector<unsigned char> key(key_length, '\0');
  std::copy(index->prefix.begin(),
            index->prefix.begin() + static_cast<std::ptrdiff_t>(std::min(index->prefix.size(), key_length)),
            key.begin());
  std::vector<unsigned char> buffer(kListBuffer);
  dbm::Position pos;
  dbm::DataRef data{buffer};
  dbm::Continuation cont;
  for (ResultCode rc = dbm.set(pool->name, list_file, key.data(), pos, data, &cont);;
       rc = dbm.get(pool->name, list_file, key.data(), pos, data, &cont)) {
    if (rc.failed()) return rc;
    if (rc.code() != 0 && rc.code() != dbm::kTruncated) return 0;  // the end of the index
    const std::string_view k(reinterpret_cast<const char*>(key.data()), key.size());
    if (k.substr(0, index->prefix.size()) != index->prefix) return 0;
    if (k.substr(0, bound.size()).compare(bound) >= 0) return 0;
    IdnList idns;
    if (const ResultCode r = take_list_items(dbm, pool->name, list_file, rc, buffer, data, cont, idns);
        r.failed())
      return r;
    if (const ResultCode v = visit(idns); v.failed()) return v;
    data = dbm::DataRef{buffer};
  }
}

}  // namespace corvanta::records
