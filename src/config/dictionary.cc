#include "config/dictionary.h"

#include <algorithm>

#include "config/dict_reader.h"
#include "config/field_address.h"
#include "util/text.h"

namespace corvanta::dict {
namespace {

// The first definition in `list` whose `member` equals `value`, or null.
template <typename List, typename Member, typename Value>
auto find_by(const List& list, Member member, const Value& value) -> std::decay_t<decltype(*list.begin())> {
  for (const auto& item : list) {
    if ((*item).*member == value) return item;
  }
  return nullptr;
}

}  // namespace

// ---------------------------------------------------------------------------
// Elements.

std::optional<Element> parse_element(std::string_view text) {
  const auto a = config::parse_field_address(trim_blanks(text));
  if (!a || a->subfield.size() > 1) return std::nullopt;
  Element e;
  e.tag = a->tag;
  e.indicators = a->indicators;
  e.field_occurrence = a->occurrence;
  e.subfield = a->subfield.empty() ? 0 : a->subfield.front();
  e.subfield_occurrence = a->subfield_occurrence;
  return e;
}

// ---------------------------------------------------------------------------
// Lookups.

const SubfieldDef* TagDef::find_subfield(char code) const {
  return find_by(subfields, &SubfieldDef::code, code);
}

namespace {

// A tag of up to three characters as one number, its length included.
std::uint32_t packed_tag(std::string_view tag) {
  std::uint32_t key = static_cast<std::uint32_t>(tag.size()) << 24;
  for (std::size_t i = 0; i < tag.size(); ++i)
    key |= static_cast<std::uint32_t>(static_cast<unsigned char>(tag[i])) << (16 - 8 * i);
  return key;
}

}  // namespace

void FileDef::index_tags() {
  tag_lookup.clear();
  for (const TagDef* t : tags) {
    if (t->tag.size() > 3) {
      tag_lookup.clear();
      return;
    }
    tag_lookup.emplace_back(packed_tag(t->tag), t);
  }
  std::stable_sort(tag_lookup.begin(), tag_lookup.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
}

const TagDef* FileDef::find_tag(std::string_view tag) const {
  // Records look their fields up by tag all the time: a binary search over
  // the packed tags, the first definition of a tag as in file order.
  if (tag_lookup.size() != tags.size() || tags.empty() || tag.size() > 3)
    return find_by(tags, &TagDef::tag, tag);
  const std::uint32_t key = packed_tag(tag);
  const auto it = std::lower_bound(tag_lookup.begin(), tag_lookup.end(), key,
                                   [](const auto& entry, std::uint32_t k) { return entry.first < k; });
  return it != tag_lookup.end() && it->first == key ? it->second : nullptr;
}

const LinkDef* FileDef::find_link(std::uint16_t n) const {
  return find_by(links, &LinkDef::number, n);
}

const LinkDef* FileDef::find_link(std::string_view name) const {
  return find_by(links, &LinkDef::name, name);
}

const IndexDef* FileDef::find_index(std::uint16_t n) const {
  return find_by(indexes, &IndexDef::number, n);
}

const FileDef* PoolDef::find_file(std::uint16_t n) const {
  return find_by(file_defs, &FileDef::number, n);
}

const AspectDef* AppFileDef::find_aspect(std::string_view n) const {
  return find_by(aspect_defs, &AspectDef::name, n);
}

const FormDef* AppFileDef::find_form(std::string_view n) const {
  return find_by(form_defs, &FormDef::name, n);
}

const PoolDef* DataDictionary::find_pool(std::string_view name) const {
  for (const PoolDef& p : pools_) {
    if (p.name == name) return &p;
  }
  return nullptr;
}

const AppPoolDef* ApplDictionary::find_pool(std::string_view name) const {
  if (name.empty()) return pools_.empty() ? nullptr : &pools_.front();
  for (const AppPoolDef& p : pools_) {
    if (p.name == name) return &p;
  }
  return nullptr;
}

const AppFileDef* ApplDictionary::find_file(const AppPoolDef& pool, std::string_view name) {
  for (const AppFileDef* f : pool.file_defs) {
    if (f->name == name) return f;
  }
  for (const AppFileDef* f : pool.file_defs) {
    if (f->code == name) return f;
  }
  return nullptr;
}

std::optional<std::string> ApplDictionary::pool_property(const AppPoolDef& pool, std::string_view name) {
  for (const auto& [key, value] : pool.properties) {
    if (key == name) return value;
  }
  return std::nullopt;
}

const ColumnDef* ApplDictionary::display_definition(std::uint16_t number) const {
  for (const ColumnDef& c : columns_) {
    if (c.number == number) return &c;
  }
  return nullptr;
}

void mark_bibliographic_files(ApplDictionary& appl) {
  for (const AppPoolDef& pool : appl.pools()) {
    const auto name = ApplDictionary::pool_property(pool, "BIBLS");
    if (!name) continue;
    if (const AppFileDef* file = ApplDictionary::find_file(pool, *name); file != nullptr && file->data) {
      file->data->bibliographic = true;
    }
  }
}

}  // namespace corvanta::dict
