#include "indexing/indexing.h"

#include <algorithm>

#include "dbm/values.h"
#include "util/big_endian.h"

namespace corvanta::records {
namespace {

constexpr std::size_t kMaxIdList = 100;  // 25 IDNs

void add_entry(ListEntries& out, int list_file, std::string key, std::size_t key_length) {
  key.resize(key_length, '\0');
  out.push_back({list_file, std::move(key)});
}

// The value a walk stands on: the subfield when one was selected, else the
// field's content.
std::string_view walked_value(const FieldDesc& f, const FieldDesc& s, bool subfield) {
  return subfield ? s.content() : f.content();
}

std::uint8_t walked_type(const FieldDesc& f, const FieldDesc& s, bool subfield) {
  return subfield ? s.type : f.type;
}

// The entries one source of an index gives the record (added to `out`).
// `part` cuts each value to OFFSET=/LENG= (the SOURCE= element only).
ResultCode index_source(const IndexContext& ctx, const dict::FileDef& file, const dict::IndexDef& index,
                        const dict::Element& source, bool part, RecordHandle& record, ListEntries& out,
                        TermList& list) {
  const dict::TermDef* term = index.term_def;
  const int list_file = list_file_of(index);
  const std::size_t key_length = list_key_length(index);
  const WalkElement element = walk_element(file, source);
  if (element.tag == nullptr) return 0;
  const bool subfield = element.subfield != nullptr;

  FieldDesc f;
  FieldDesc s;
  if (term->type == dict::TermType::IdList) {
    std::string key;
    while (fld_walk(record, f, s, element).code() == 0) {
      const std::string_view value = walked_value(f, s, subfield);
      if (value.size() == 4 && key.size() + 4 <= kMaxIdList) key.append(value);
    }
    if (key.empty()) return 0;
    key.resize(std::max(key.size(), std::min<std::size_t>(term->max_length, kMaxIdList)), '\0');
    add_entry(out, list_file, key, key_length);
    return 0;
  }
  while (true) {
    const ResultCode walked = fld_walk(record, f, s, element);
    if (walked.failed()) return walked.code() == kMissing ? ResultCode(0) : walked;
    if (walked.code() != 0) return 0;
    std::string_view value = walked_value(f, s, subfield);
    if (part) {
      value = value.substr(std::min<std::size_t>(index.offset, value.size()));
      if (index.length != 0) value = value.substr(0, index.length);
    }
    if (index.nonfiling_indicator == '1' || index.nonfiling_indicator == '2') {
      const std::size_t at = index.nonfiling_indicator == '1' ? 0 : 1;
      if (at < f.indicators.size() && f.indicators[at] >= '0' && f.indicators[at] <= '9') {
        const auto skip = static_cast<std::size_t>(f.indicators[at] - '0');
        if (skip <= value.size()) value.remove_prefix(skip);
      }
    }
    const ResultCode made = trm_generate(ctx.terms, list, f.indicators, term, TermMode::Index, value,
                                         walked_type(f, s, subfield));
    if (made.failed()) return made;
    for (const TermList::Entry& e : list.entries()) {
      if (e.cls != kTermNormal) continue;
      add_entry(out, list_file, index.prefix + e.term, key_length);
    }
  }
}

// The SOURCE= element, else the ELSE= elements in order, up to the first
// that gives an entry.
ResultCode index_one(const IndexContext& ctx, const dict::FileDef& file, const dict::IndexDef& index,
                     RecordHandle& record, ListEntries& out, TermList& list) {
  if (index.term_def == nullptr) return kNoTermDefinition;
  const std::size_t before = out.size();
  const bool part = index.offset != 0 || index.length != 0;
  if (const ResultCode rc = index_source(ctx, file, index, index.source, part, record, out, list);
      rc.failed())
    return rc;
  for (const dict::Element& other : index.fallbacks) {
    if (out.size() != before) break;
    if (const ResultCode rc = index_source(ctx, file, index, other, false, record, out, list); rc.failed())
      return rc;
  }
  return 0;
}

// The sort part of a link's list key, by the list file's key length.
std::string sort_part(const dict::FileDef& file, const dict::LinkTagDef& element, RecordHandle& record,
                      std::size_t key_length) {
  if (key_length <= 4) return {};
  std::string part;
  const WalkElement sort = walk_element(file, element.sort);
  if (sort.tag != nullptr) {
    FieldDesc f;
    FieldDesc s;
    if (fld_walk(record, f, s, sort).code() == 0)
      part = std::string(walked_value(f, s, sort.subfield != nullptr));
  }
  const std::size_t size = key_length >= 20 ? 16 : key_length - 4;
  part.resize(size, '\0');
  return part;
}

}  // namespace

int list_file_of(const dict::IndexDef& index) {
  return index.list_file != nullptr ? index.list_file->number : index.file_number;
}

int list_file_of(const dict::LinkDef& link) {
  return link.list_file != nullptr ? link.list_file->number : link.list_number;
}

std::size_t list_key_length(const dict::IndexDef& index) {
  return index.list_file != nullptr ? index.list_file->index_length : 4;
}

std::size_t list_key_length(const dict::LinkDef& link) {
  return link.list_file != nullptr ? link.list_file->index_length : 4;
}

WalkElement walk_element(const dict::FileDef& file, const dict::Element& element) {
  WalkElement w;
  if (element.tag.empty()) return w;
  const dict::TagDef* tag = file.find_tag(element.tag);
  if (tag == nullptr) return w;
  if (element.subfield != 0) {
    w.subfield = tag->find_subfield(element.subfield);
    if (w.subfield == nullptr) return w;
  }
  w.tag = tag;
  w.indicators = element.indicators;
  w.field_occurrence = element.field_occurrence;
  w.subfield_occurrence = element.subfield_occurrence;
  return w;
}

ResultCode write_entries(const IndexContext& ctx, const ListEntries& entries, std::uint32_t idn, char op) {
  if (ctx.terms.dbm == nullptr) return kNoTermDefinition;
  dbm::Dbm& dbm = *ctx.terms.dbm;
  unsigned char item[4];
  put_u32(item, idn);
  for (const ListEntry& e : entries) {
    const auto* k = reinterpret_cast<const unsigned char*>(e.key.data());
    ResultCode rc = 0;
    switch (op) {
      case 'I': rc = dbm.list_insert(ctx.terms.pool, e.file, k, item); break;
      case 'L': rc = dbm.list_load(ctx.terms.pool, e.file, k, item); break;
      case 'D': rc = dbm.list_delete(ctx.terms.pool, e.file, k, item); break;
      default: return 0;
    }
    if (rc.failed()) return rc;
  }
  return 0;
}

ResultCode idx_generate(const IndexContext& ctx, const dict::FileDef& file, RecordHandle& record, char op,
                        const std::vector<std::uint8_t>* selection) {
  ListEntries entries;
  if (const ResultCode rc = idx_entries(ctx, file, record, entries, selection); rc.failed()) return rc;
  return write_entries(ctx, entries, record.idn, op);
}

ResultCode lnk_generate(const IndexContext& ctx, const dict::FileDef& file, RecordHandle& record, char op) {
  ListEntries entries;
  if (const ResultCode rc = lnk_entries(ctx, file, record, entries); rc.failed()) return rc;
  return write_entries(ctx, entries, record.idn, op);
}

ResultCode idx_entries(const IndexContext& ctx, const dict::FileDef& file, RecordHandle& record,
                       ListEntries& out, const std::vector<std::uint8_t>* selection) {
  if (ctx.terms.dbm == nullptr) return kNoTermDefinition;
  TermList list(ctx.term_buffer);
  for (const dict::IndexDef* index : file.indexes) {
    if (selection != nullptr && (index->number >= selection->size() || (*selection)[index->number] == 0)) {
      continue;
    }
    if (const ResultCode rc = index_one(ctx, file, *index, record, out, list); rc.failed()) return rc;
  }
  return 0;
}

ResultCode lnk_entries(const IndexContext& ctx, const dict::FileDef& file, RecordHandle& record,
                       ListEntries& out) {
  if (ctx.terms.dbm == nullptr) return kNoTermDefinition;
  for (const dict::LinkDef* link : file.links) {
    const int list_file = list_file_of(*link);
    if (list_file == 0) continue;
    const std::size_t key_length = list_key_length(*link);
    for (const dict::LinkTagDef* element : link->elements) {
      if (element->inactive) continue;
      const WalkElement walk = walk_element(file, element->idn);
      if (walk.tag == nullptr) continue;
      const std::string sort = sort_part(file, *element, record, key_length);
      FieldDesc f;
      FieldDesc s;
      while (fld_walk(record, f, s, walk).code() == 0) {
        const std::string_view value = walked_value(f, s, walk.subfield != nullptr);
        if (value.size() < 4) continue;
        add_entry(out, list_file, std::string(value.substr(0, 4)) + sort, key_length);
      }
    }
  }
  return 0;
}

dict::ValueType source_type(const dict::FileDef& file, const dict::IndexDef& index) {
  const WalkElement walk = walk_element(file, index.source);
  if (walk.subfield != nullptr) return walk.subfield->type;
  if (walk.tag != nullptr) return walk.tag->type;
  return {};
}

ResultCode take_list_items(dbm::Dbm& dbm, const std::string& pool, int file, ResultCode rc,
                           std::vector<unsigned char>& buffer, dbm::DataRef& value, dbm::Continuation& cont,
                           std::vector<std::uint32_t>& out) {
  constexpr std::size_t kItemSize = 4;  // byte 0 not part of the IDN, bytes 1-3 the IDN
  while (rc.code() == 0 || rc.code() == dbm::kTruncated) {
    for (std::size_t at = 0; at + kItemSize <= value.length; at += kItemSize) {
      out.push_back(get_u32(buffer.data() + at) & 0xFFFFFF);
    }
    if (rc.code() == 0 || cont.empty()) return 0;
    value = dbm::DataRef{buffer};
    rc = dbm.next(pool, file, value, &cont);
  }
  return rc.failed() ? rc : ResultCode(0);
}

}  // namespace corvanta::records
