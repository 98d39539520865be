// What is done with result sets after a search: sorting, filtering by
// field conditions, and term browsing (see retrieval.h).
#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>

#include "dbm/index.h"
#include "dbm/values.h"
#include "search/retrieval.h"
#include "util/big_endian.h"

namespace corvanta::records {
namespace {

constexpr std::size_t kSortEntry = kSortKeyLength + 4;
constexpr std::size_t kSortInfoRecord = 4096;
constexpr std::size_t kListBuffer = 8192;

char fold(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// Content against a condition's value: over the value's length, extended
// while the content goes on with characters from "*" up; when equal so
// far, the shorter side is smaller.
int compare_content(std::string_view content, std::string_view value, bool text) {
  std::size_t n = std::min(value.size(), content.size());
  while (n < content.size() && static_cast<unsigned char>(content[n]) >= '*') ++n;
  const std::string_view c = content.substr(0, n);
  const std::size_t common = std::min(c.size(), value.size());
  for (std::size_t i = 0; i < common; ++i) {
    const char a = text ? fold(c[i]) : c[i];
    const char b = text ? fold(value[i]) : value[i];
    if (a != b) return static_cast<unsigned char>(a) < static_cast<unsigned char>(b) ? -1 : 1;
  }
  if (c.size() == value.size()) return 0;
  return c.size() < value.size() ? -1 : 1;
}

// A quoted condition value without its quotes.
std::string unquoted(std::string_view v) {
  if (v.size() >= 2 && v.front() == '"' && v.back() == '"') {
    std::string out;
    for (std::size_t i = 1; i + 1 < v.size(); ++i) {
      out += v[i];
      if (v[i] == '"' && v[i + 1] == '"') ++i;
    }
    return out;
  }
  return std::string(v);
}

bool condition_holds(RecordHandle& h, const dict::FileDef& file, const QueryTerm& t) {
  dict::Element element;
  element.tag = t.aspect.substr(0, 3);
  if (t.aspect.size() == 5) element.subfield = t.aspect[4];
  const std::vector<std::string> contents = element_texts(h, element);
  const std::string value = unquoted(t.value);
  if (!t.range && value == "*") return !contents.empty();
  if (!t.range && value.empty()) return contents.empty();
  bool text = true;
  if (const dict::TagDef* tag = file.find_tag(element.tag)) {
    const dict::SubfieldDef* sub = element.subfield != 0 ? tag->find_subfield(element.subfield) : nullptr;
    const dict::ValueType& type = sub != nullptr ? sub->type : tag->type;
    text = type.code == 1;
  }
  const std::string second = unquoted(t.second);
  for (const std::string& c : contents) {
    if (t.range) {
      if (compare_content(c, value, text) >= 0 && compare_content(c, second, text) <= 0) return true;
      continue;
    }
    const int cmp = compare_content(c, value, text);
    switch (t.comparison) {
      case Comparison::Equal:
        if (cmp == 0) return true;
        break;
      case Comparison::Less:
        if (cmp < 0) return true;
        break;
      case Comparison::LessEqual:
        if (cmp <= 0) return true;
        break;
      case Comparison::Greater:
        if (cmp > 0) return true;
        break;
      case Comparison::GreaterEqual:
        if (cmp >= 0) return true;
        break;
    }
  }
  return false;
}

std::string sort_form_name(std::uint16_t k) {
  char name[8];
  std::snprintf(name, sizeof name, "%03u", static_cast<unsigned>(k));
  return name;
}

}  // namespace

ResultCode Retrieval::set_owner(const ResultSet& set, const dict::AppPoolDef*& pool,
                                const dict::AppFileDef*& file) const {
  pool = pools_.application().find_pool(set.pool);
  file = nullptr;
  if (pool == nullptr || set.pool.empty()) return kNoSuchPool;
  for (const dict::AppFileDef* f : pool->file_defs) {
    if (f->data != nullptr && f->data->number == set.file) {
      file = f;
      break;
    }
  }
  return file == nullptr ? ResultCode(kNoSuchFileName) : ResultCode(0);
}

ResultCode Retrieval::sort(ResultSet& set, const std::array<std::uint16_t, kSortKeys>& keys, char direction) {
  if (!set.valid) return kSetInvalid;
  const dict::AppPoolDef* pool = nullptr;
  const dict::AppFileDef* file = nullptr;
  if (const ResultCode rc = set_owner(set, pool, file); rc.failed()) return rc;
  std::vector<const dict::FormDef*> forms;
  for (const std::uint16_t k : keys) {
    if (k == 0) break;
    const dict::FormDef* form = file->find_form(sort_form_name(k));
    if (form == nullptr) return kNoSortDefinition;
    forms.push_back(form);
  }
  std::vector<std::array<unsigned char, kSortEntry>> entries;
  try {
    entries.resize(set.hits.size());
  } catch (const std::bad_alloc&) {
    return kNoSortMemory;
  }
  const IndexContext ctx = pools_.index_context(*pool);
  const auto deadline = clock_() + std::chrono::seconds(limits_.max_ret_time);
  for (std::size_t i = 0; i < set.hits.size(); ++i) {
    if (!limits_.ignore_timeout && clock_() >= deadline) return kTimeLimit;
    RecordHandle h;
    if (pools_.rec_read(*pool, *file->data, set.hits[i], h, pools_.max_record(), kExternalForm).code() != 0)
      return kRecordAbsent;
    auto& entry = entries[i];
    entry.fill(0);
    std::size_t at = 0;
    for (const dict::FormDef* form : forms) {
      std::string text = format_text(forms_.layout(form), h);
      if (form->sort_index != 0) {
        const dict::IndexDef* index = file->data->find_index(form->sort_index);
        if (index != nullptr && index->term_def != nullptr) {
          TermList terms(ctx.term_buffer);
          if (trm_generate(ctx.terms, terms, "", index->term_def, TermMode::Search, text, 1).ok()) {
            text = terms.entries().empty() ? std::string() : terms.entries().front().term;
          }
        }
      }
      // A zero byte after each piece, so that a shorter first key sorts
      // before a longer one that begins alike, whatever follows.
      const std::size_t n = std::min(text.size(), kSortKeyLength - at);
      std::memcpy(entry.data() + at, text.data(), n);
      at = std::min(at + n + 1, kSortKeyLength);
    }
    put_u32(entry.data() + kSortKeyLength, set.hits[i]);
  }
  const bool descending = direction == 'D';
  std::stable_sort(entries.begin(), entries.end(), [descending](const auto& a, const auto& b) {
    const int cmp = std::memcmp(a.data(), b.data(), kSortKeyLength);
    return descending ? cmp > 0 : cmp < 0;
  });
  for (std::size_t i = 0; i < entries.size(); ++i) set.hits[i] = get_u32(entries[i].data() + kSortKeyLength);
  set.sort = keys;
  set.direction = descending ? 'D' : 'A';
  return 0;
}

ResultCode Retrieval::sort_info(const ResultSet& set, std::string& text) {
  text.clear();
  const dict::AppPoolDef* pool = nullptr;
  const dict::AppFileDef* file = nullptr;
  if (const ResultCode rc = set_owner(set, pool, file); rc.failed()) return rc;
  const dict::FormDef* info = file->find_form("SORTINFO");
  if (info == nullptr) return kFormatFailed;
  RecordHandle h;
  rec_init(h, kSortInfoRecord, kExternalForm);
  int made = 0;
  ResultCode result = 0;
  for (int k = 0; k < kSortKeys; ++k) {
    const std::uint16_t number = set.sort[static_cast<std::size_t>(k)];
    if (number == 0) break;
    const dict::FormDef* form = file->find_form(sort_form_name(number));
    if (form == nullptr) {
      result = kNoSortDefinition;
      break;
    }
    const std::string shown = form->text.empty() ? form->name : form->text;
    FieldDesc f;
    f.tag = "SC" + std::to_string(k + 1);
    f.type = 1;
    f.set(shown);
    if (fld_put(h, f).failed()) return kFormatFailed;
    ++made;
  }
  if (made > 0 && static_cast<unsigned char>(set.direction) > ' ') {
    const std::string dir(1, set.direction);
    FieldDesc f;
    f.tag = "DIR";
    f.type = 1;
    f.set(dir);
    if (fld_put(h, f).failed()) return kFormatFailed;
  }
  text = format_text(forms_.layout(info), h);
  return result;
}

ResultCode Retrieval::filter(std::string_view conditions, const ResultSet& source, ResultSet& target,
                             bool inverse) {
  if (!source.valid) return kSetInvalid;
  const dict::AppPoolDef* pool = nullptr;
  const dict::AppFileDef* file = nullptr;
  if (const ResultCode rc = set_owner(source, pool, file); rc.failed()) return rc;
  ParsedQuery q;
  if (const ResultCode rc = qry_parse('F', conditions, q, limits_.max_aspects); rc.failed()) return rc;
  for (const QueryNode& n : q.nodes) {
    if (n.kind != 'A') return kQuerySyntax;  // conditions are not grouped
  }
  for (const QueryTerm& t : q.terms) {
    if (t.aspect.empty()) return kQuerySyntax;  // every condition names its field
  }
  set_prepare(target, source.pool, source.file, source.capacity);
  std::string echo = source.query + (inverse ? " NOT " : " AND ") + "(" + std::string(conditions) + ")";
  target.query = echo.substr(0, kMaxEcho);
  const auto deadline = clock_() + std::chrono::seconds(limits_.max_filter_time);
  for (const std::uint32_t idn : source.hits) {
    if (!limits_.ignore_timeout && clock_() >= deadline) {
      set_release(target);
      return kTimeLimit;
    }
    RecordHandle h;
    if (pools_.rec_read(*pool, *file->data, idn, h, pools_.max_record(), kExternalForm).code() != 0) continue;
    if (const ResultCode rc = pools_.rec_complete_links(*pool, *file->data, h); rc.failed()) {
      set_release(target);
      return rc;
    }
    bool match = false;
    for (int n = q.nodes.empty() ? -1 : 0; n >= 0; n = q.nodes[static_cast<std::size_t>(n)].next) {
      const QueryNode& node = q.nodes[static_cast<std::size_t>(n)];
      const bool holds = condition_holds(h, *file->data, q.terms[node.payload]);
      if (node.op == 'N') {
        if (holds) {
          match = false;
          break;
        }
      } else if (node.op == 'A') {
        if (!holds) {
          match = false;
          break;
        }
      } else if (holds) {
        match = true;
      }
    }
    if (match != inverse) target.hits.push_back(idn);
  }
  return 0;
}

ResultCode Retrieval::scan(std::string_view aspect_name, std::string_view start, long skip, std::size_t rows,
                           std::vector<ScanRow>& out, long& previous, long& next) {
  out.clear();
  previous = next = skip;
  const dict::AppPoolDef* pool = pools_.pool();
  const dict::AppFileDef* file = pools_.file();
  if (pool == nullptr || file == nullptr || file->data == nullptr) return kNoQuery;
  const dict::AspectDef* aspect = find_aspect(*file, aspect_name);
  if (aspect == nullptr || aspect->index == 0 || !aspect->file.empty()) return kUndefinedAspect;
  const dict::IndexDef* index = file->data->find_index(aspect->index);
  if (index == nullptr || index->term_def == nullptr || list_file_of(*index) == 0) return kUndefinedAspect;
  const int list_file = list_file_of(*index);
  const std::size_t key_length = list_key_length(*index);
  const std::string& prefix = index->prefix;
  dbm::Dbm& dbm = pools_.dbm();

  // The start may be shorter than any term (MINLEN=).
  dict::TermDef start_def = *index->term_def;
  start_def.min_length = 1;
  dict::IndexDef start_index = *index;
  start_index.term_def = &start_def;
  const IndexContext ctx = pools_.index_context(*pool);
  TermList terms(ctx.term_buffer);
  if (const ResultCode rc = value_terms(ctx, *file->data, start_index, start, TermMode::Search, terms);
      rc.failed())
    return rc;
  std::string first = prefix + (terms.entries().empty() ? std::string() : terms.entries().front().term);
  first.resize(key_length, '\0');
  std::vector<unsigned char> key(first.begin(), first.end());
  std::vector<unsigned char> buffer(kListBuffer);
  dbm::Position pos;
  dbm::DataRef value{buffer};
  dbm::Continuation cont;
  auto in_index = [&] {
    return std::memcmp(key.data(), prefix.data(), std::min(prefix.size(), key.size())) == 0;
  };
  ResultCode rc = dbm.set(pool->name, list_file, key.data(), pos, value, &cont);
  long position = 0;
  auto readable = [](ResultCode r) { return r.code() == 0 || r.code() == dbm::kTruncated; };
  if (skip < 0 && (readable(rc) || rc.code() == dbm::kEnd)) {
    // Positions lie between keys: standing on a key, the first step back
    // gives the key itself; beyond the last key it gives the last one.
    const bool on_key = readable(rc);
    if (on_key) {
      value = dbm::DataRef{buffer};
      (void)dbm.prev(pool->name, list_file, key.data(), pos, value, &cont);
    }
    while (position > skip) {
      const std::vector<unsigned char> here = key;
      value = dbm::DataRef{buffer};
      const ResultCode back = dbm.prev(pool->name, list_file, key.data(), pos, value, &cont);
      if (!readable(back) || !in_index()) {
        key = here;  // the first term of the index (or still beyond the last)
        break;
      }
      --position;
    }
    value = dbm::DataRef{buffer};
    rc = dbm.set(pool->name, list_file, key.data(), pos, value, &cont);
  }
  for (; position < skip && readable(rc) && in_index(); ++position) {
    value = dbm::DataRef{buffer};
    rc = dbm.get(pool->name, list_file, key.data(), pos, value, &cont);
  }
  previous = position - static_cast<long>(rows);
  const dict::ValueType type = source_type(*file->data, *index);
  while (out.size() < rows && readable(rc) && in_index()) {
    // Count the items, reading no further than MaxScanCnt needs.
    std::size_t count = 0;
    ResultCode r = rc;
    while (r.code() == 0 || r.code() == dbm::kTruncated) {
      count += value.length / 4;
      if (r.code() == 0 || cont.empty() || count > limits_.max_scan_cnt) break;
      value = dbm::DataRef{buffer};
      r = dbm.next(pool->name, list_file, value, &cont);
    }
    if (r.failed()) return r;
    std::string_view stored(reinterpret_cast<const char*>(key.data()) + prefix.size(),
                            key.size() - prefix.size());
    while (!stored.empty() && stored.back() == '\0') stored.remove_suffix(1);
    std::string shown = trm_display(stored, *index->term_def, type.code, 256);
    while (!shown.empty() && (shown.back() == ' ' || shown.back() == '\0')) shown.pop_back();
    if (!aspect->code_table.empty() && code_tables_ != nullptr) {
      if (const auto text = code_tables_->text(aspect->code_table, shown)) shown += " - " + *text;
    }
    ++position;
    char number[64];
    ScanRow row;
    std::snprintf(number, sizeof number, "%-3.3s  %-3.3s  %09ld", aspect->name.c_str(), file->code.c_str(),
                  position);
    row.key = number;
    row.term = std::move(shown);
    if (count > limits_.max_scan_cnt) {
      std::snprintf(number, sizeof number, ">%06ld", static_cast<long>(limits_.max_scan_cnt));
    } else {
      std::snprintf(number, sizeof number, "%07ld", static_cast<long>(count));
    }
    row.count = number;
    out.push_back(std::move(row));
    value = dbm::DataRef{buffer};
    rc = dbm.get(pool->name, list_file, key.data(), pos, value, &cont);
  }
  if (rc.failed()) return rc;
  next = position;
  return 0;
}

}  // namespace corvanta::records
