#include "config/dictionary.h"

#include <algorithm>
#include <map>
#include <set>

#include "config/dict_reader.h"
#include "util/text.h"

namespace corvanta::dict {
namespace {

constexpr std::size_t kMaxPoolName = 10;
constexpr std::size_t kMaxPath = 100;
constexpr std::size_t kMaxText = 60;
constexpr std::size_t kMaxFormName = 20;
constexpr std::size_t kMaxFileName = 5;
constexpr std::uint32_t kMaxDataLength = 30000;
constexpr std::uint16_t kMaxKeyLength = 256;

// The first definition in `list` whose `member` equals `value`, or null.
template <typename List, typename Member, typename Value>
auto find_by(const List& list, Member member, const Value& value) -> std::decay_t<decltype(*list.begin())> {
  for (const auto& item : list) {
    if ((*item).*member == value) return item;
  }
  return nullptr;
}

// Does `value` begin with `word`? Definition words are taken by prefix.
bool begins(std::string_view value, std::string_view word) {
  return value.substr(0, word.size()) == word;
}

LabelRef label_ref(std::string_view value) {
  return LabelRef{value_name(value, kMaxLabel, ')'), -1};
}

// A file given by its number in the pool or by a label reference.
void set_file_ref(LabelRef& label, std::uint16_t& number, std::string_view value) {
  if (!value.empty() && value.front() >= '0' && value.front() <= '9') {
    number = value_u16(value);
  } else {
    label = label_ref(value);
  }
}

// The outcome of one item: 0, or the code with which the statement fails.
using ItemResult = std::int32_t;
constexpr ItemResult kItemOk = 0;

ItemResult set_mask(std::uint8_t& field, std::string_view value) {
  const auto mask = value_mask(value);
  if (!mask) return kWrongKeyword;
  field = *mask;
  return kItemOk;
}

ItemResult set_yes_no(bool& field, std::string_view value) {
  const auto yes = value_yes_no(value);
  if (!yes) return kWrongKeyword;
  field = *yes;
  return kItemOk;
}

ItemResult set_element(Element& field, std::string_view value) {
  const auto element = parse_element(value_name(value, 40));
  if (!element) return kWrongKeyword;
  field = *element;
  return kItemOk;
}

// A length with an optional ":FIX"/":F" or ":VAR"/":V" suffix.
ItemResult set_length(std::uint32_t& length, bool& fixed, std::string_view value) {
  length = value_number(value);
  const std::size_t colon = value.find(':');
  if (colon == std::string_view::npos) return kItemOk;
  const std::string_view form = value.substr(colon + 1);
  if (begins(form, "F"))
    fixed = true;
  else if (begins(form, "V"))
    fixed = false;
  else
    return kWrongKeyword;
  return kItemOk;
}

// Runs `item` over items 1.. of a statement; stops at the first failure.
template <typename ItemFn>
ResultCode each_item(const Statement& st, std::size_t& failed, ItemFn item) {
  for (std::size_t i = 1; i < st.items.size(); ++i) {
    const ItemResult rc = item(st.items[i]);
    if (rc != kItemOk) {
      failed = i;
      return rc;
    }
  }
  return 0;
}

// Shared reading state of both dictionaries: the groups and where the next
// definition goes.
class GroupBuilder {
 public:
  explicit GroupBuilder(std::vector<Group>& groups) : groups_(groups) {}

  void label(const std::string& name, const std::string& file, long line) {
    groups_.push_back(Group{name, file, line, {}});
  }
  // A POOL= statement starts a group of its own.
  void start_pool_group(const std::string& file, long line) { groups_.push_back(Group{"", file, line, {}}); }

  Place add(Kind kind, void* def) {
    if (groups_.empty()) groups_.push_back(Group{});
    Group& g = groups_.back();
    g.entries.emplace_back(kind, def);
    return Place{static_cast<int>(groups_.size() - 1), g.entries.size() - 1};
  }

 private:
  std::vector<Group>& groups_;
};

// Binding label references after reading.
class Binder {
 public:
  Binder(std::vector<Group>& groups, ErrorOutput errors) : groups_(groups), errors_(errors) {
    std::map<std::string, int> seen;
    for (std::size_t i = 0; i < groups_.size(); ++i) {
      const std::string& name = groups_[i].label;
      if (name.empty()) continue;
      auto [it, fresh] = seen.emplace(name, static_cast<int>(i));
      if (!fresh && reported_ambiguous_.insert(name).second) {
        report_text(errors_, "\nLABEL " + name + " AMBIGUOUS");
      }
    }
    labels_ = std::move(seen);
  }

  // Binds the reference; a missing label is reported and fails the set.
  const Group* bind(LabelRef& r) {
    if (!r.given()) return nullptr;
    const auto it = labels_.find(r.name);
    if (it == labels_.end()) {
      fail("\nLABEL " + r.name + " NOT DEFINED");
      return nullptr;
    }
    r.group = it->second;
    return &groups_[static_cast<std::size_t>(it->second)];
  }

  // The definitions of `kind` in a group.
  template <typename T>
  static std::vector<T*> all(const Group* g, Kind kind) {
    std::vector<T*> out;
    if (g == nullptr) return out;
    for (const auto& [k, def] : g->entries) {
      if (k == kind) out.push_back(static_cast<T*>(def));
    }
    return out;
  }

  // The first definition of `kind` in the referenced group; a group without
  // one counts as a missing label.
  template <typename T>
  T* first(LabelRef& r, Kind kind) {
    const Group* g = bind(r);
    if (g == nullptr) return nullptr;
    const auto defs = all<T>(g, kind);
    if (defs.empty()) {
      fail("\nLABEL " + r.name + " NOT DEFINED");
      return nullptr;
    }
    return defs.front();
  }

  // The definitions of `kind` that the reference names, or else those that
  // follow `place` in its own group up to the next statement of one of the
  // `stop` kinds.
  template <typename T>
  std::vector<T*> list(LabelRef& r, Kind kind, Place place, const std::vector<Kind>& stop) {
    if (r.given()) return all<T>(bind(r), kind);
    std::vector<T*> out;
    if (place.group < 0) return out;
    const Group& g = groups_[static_cast<std::size_t>(place.group)];
    for (std::size_t i = place.entry + 1; i < g.entries.size(); ++i) {
      const Kind k = g.entries[i].first;
      if (std::find(stop.begin(), stop.end(), k) != stop.end()) break;
      if (k == kind) out.push_back(static_cast<T*>(g.entries[i].second));
    }
    return out;
  }

  void fail(const std::string& message) {
    report_text(errors_, message);
    if (result_.ok()) result_ = kUndefinedLabel;
  }
  ResultCode result() const { return result_; }

 private:
  std::vector<Group>& groups_;
  ErrorOutput errors_;
  std::map<std::string, int> labels_;
  std::set<std::string> reported_ambiguous_;
  ResultCode result_ = 0;
};

}  // namespace

// ---------------------------------------------------------------------------
// Elements.

std::optional<Element> parse_element(std::string_view text) {
  text = trim_blanks(text);
  if (text.size() < 3) return std::nullopt;
  Element e;
  e.tag = std::string(text.substr(0, 3));
  std::size_t i = 3;
  auto read_number = [&](std::uint16_t& out) {
    std::size_t start = i;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') ++i;
    if (i == start) return false;
    out = value_u16(text.substr(start, i - start));
    return true;
  };
  if (i < text.size() && text[i] == '/') {
    e.indicators = std::string(text.substr(i + 1, std::min<std::size_t>(2, text.size() - i - 1)));
    i += 1 + e.indicators.size();
  }
  if (i < text.size() && text[i] == '.' && (++i, !read_number(e.field_occurrence))) return std::nullopt;
  if (i < text.size() && text[i] == '$') {
    if (i + 1 >= text.size()) return std::nullopt;
    e.subfield = text[i + 1];
    i += 2;
    if (i < text.size() && text[i] == '.' && (++i, !read_number(e.subfield_occurrence))) return std::nullopt;
  }
  if (i != text.size()) return std::nullopt;
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

// ---------------------------------------------------------------------------
// The data dictionary.

class DataReader {
 public:
  explicit DataReader(DataDictionary& set) : set_(set), groups_(set.groups_) {}

  void label(const std::string& name, const std::string& file, long line) { groups_.label(name, file, line); }

  ResultCode statement(const Statement& st, std::size_t& failed) {
    failed = 0;
    const std::string_view v = st.items[0].value;
    switch (st.items[0].kw) {
      case Kw::POOL: return pool(st, v, failed);
      case Kw::FILE: return file(st, v, failed);
      case Kw::TAG: return tag(st, v, failed);
      case Kw::SUB: return sub(st, v, failed);
      case Kw::INDEX: return index(st, v, failed);
      case Kw::TERM: return term(st, v, failed);
      case Kw::VIRT: return virt(st, v, failed);
      case Kw::LINK: return link(st, v, failed);
      case Kw::TRANSL: return transl(st, v, failed);
      case Kw::LINKTAG: return linktag(st, v, failed);
      case Kw::DOUBLE: return dbl(st, v, failed);
      case Kw::AUTONUM: return autonum(st, v, failed);
      default: return kWrongStatement;
    }
  }

 private:
  ResultCode pool(const Statement& st, std::string_view v, std::size_t& failed) {
    PoolDef p;
    p.name = value_name(v, kMaxPoolName);
    if (p.name.empty()) return kWrongKeyword;
    const ResultCode rc = each_item(st, failed, [&](const Item& it) -> ItemResult {
      switch (it.kw) {
        case Kw::FILE: p.files = label_ref(it.value); return kItemOk;
        case Kw::CODE: p.code = label_ref(it.value); return kItemOk;
        case Kw::INDEXBUF: p.index_buffers = value_u16(it.value); return kItemOk;
        case Kw::DATABUF: p.data_buffers = value_u16(it.value); return kItemOk;
        case Kw::USERPERM: p.user_permissions = value_u16(it.value); return kItemOk;
        case Kw::SUBLIB: p.sublib = value_u16(it.value); return kItemOk;
        case Kw::SETUP: p.setup = value_u16(it.value); return kItemOk;
        case Kw::PERIOD: p.period = value_u16(it.value); return kItemOk;
        case Kw::USERTAB: p.user_table = value_u16(it.value); return kItemOk;
        case Kw::PUBLISH: p.publish = value_u16(it.value); return kItemOk;
        case Kw::SHELF: p.shelf = value_u16(it.value); return kItemOk;
        case Kw::ACCDIS: return set_mask(p.access_display, it.value);
        case Kw::ACCINS: return set_mask(p.access_insert, it.value);
        case Kw::ACCUPD: return set_mask(p.access_update, it.value);
        case Kw::ACCDEL: return set_mask(p.access_delete, it.value);
        default: return kWrongKeyword;
      }
    });
    if (rc.failed()) return rc;
    groups_.start_pool_group(st.file, st.items[0].line);
    PoolDef& stored = set_.pools_.emplace_back(std::move(p));
    stored.place = groups_.add(Kind::Pool, &stored);
    return 0;
  }

  ResultCode file(const Statement& st, std::string_view v, std::size_t& failed) {
    FileDef f;
    f.number = value_u16(v);
    if (f.number < 1 || f.number > 999) return kWrongKeyword;
    bool index_data_given = false;
    std::size_t main_item = 0;
    const ResultCode rc = each_item(st, failed, [&](const Item& it) -> ItemResult {
      switch (it.kw) {
        case Kw::TAG: f.tag = label_ref(it.value); return kItemOk;
        case Kw::INDEX: f.index = label_ref(it.value); return kItemOk;
        case Kw::LINK: f.link = label_ref(it.value); return kItemOk;
        case Kw::DOUBLE: f.dbl = label_ref(it.value); return kItemOk;
        case Kw::AUTONUM: f.autonum = label_ref(it.value); return kItemOk;
        case Kw::TYPE: return file_type(f, it.value);
        case Kw::INDEXLEN: {
          std::uint32_t n = 0;
          if (set_length(n, f.fixed_keys, it.value) != kItemOk) return kWrongKeyword;
          f.index_length = static_cast<std::uint16_t>(std::min<std::uint32_t>(n, 65535));
          return kItemOk;
        }
        case Kw::INDEXDAT:
          f.index_data_length = value_u16(it.value);
          index_data_given = true;
          return kItemOk;
        case Kw::DATALEN: {
          std::uint32_t n = 0;
          if (set_length(n, f.fixed_data, it.value) != kItemOk) return kWrongKeyword;
          f.data_length = std::min(n, kMaxDataLength);
          return kItemOk;
        }
        case Kw::ITEMLEN: f.item_length = value_u16(it.value); return kItemOk;
        case Kw::MAIN:
          f.main_file = value_u16(it.value);
          main_item = static_cast<std::size_t>(&it - st.items.data());
          return kItemOk;
        case Kw::ACCDIS: return set_mask(f.access_display, it.value);
        case Kw::ACCINS: return set_mask(f.access_insert, it.value);
        case Kw::ACCUPD: return set_mask(f.access_update, it.value);
        case Kw::ACCDEL: return set_mask(f.access_delete, it.value);
        default: return kWrongKeyword;
      }
    });
    if (rc.failed()) return rc;
    if (main_item != 0 && f.role != Role::Sub) {
      failed = main_item;
      return kWrongKeyword;
    }
    if (f.index_length > kMaxKeyLength || f.index_data_length > kMaxKeyLength) return kWrongKeyword;
    const bool data_left_at_default = !index_data_given || f.index_data_length == 1;
    if (f.organisation == Organisation::List) {
      f.data_length = 0;
      if (f.item_length == 0) f.item_length = 4;
      if (data_left_at_default) f.index_data_length = 4;
    } else {
      f.item_length = 0;
      if (data_left_at_default) f.index_data_length = 0;
    }
    FileDef& stored = set_.files_.emplace_back(std::move(f));
    stored.place = groups_.add(Kind::File, &stored);
    return 0;
  }

  static ItemResult file_type(FileDef& f, std::string_view value) {
    const std::string words = value_word(value, 40);
    std::string_view rest = words;
    while (!rest.empty()) {
      const std::size_t colon = rest.find(':');
      const std::string_view word = rest.substr(0, colon);
      if (begins(word, "RECORD"))
        f.organisation = Organisation::Record;
      else if (begins(word, "DATA"))
        f.organisation = Organisation::Data;
      else if (begins(word, "LIST"))
        f.organisation = Organisation::List;
      else if (begins(word, "MAIN"))
        f.role = Role::Main;
      else if (begins(word, "NORM"))
        f.role = Role::Normal;
      else if (begins(word, "SUB"))
        f.role = Role::Sub;
      else
        return kWrongKeyword;
      rest = colon == std::string_view::npos ? std::string_view() : rest.substr(colon + 1);
    }
    return kItemOk;
  }

  ResultCode tag(const Statement& st, std::string_view v, std::size_t& failed) {
    TagDef t;
    const auto name = value_tag(trim_blanks(v), 3, t.max_occurrence);
    if (!name) return kWrongKeyword;
    t.tag = *name;
    const ResultCode rc = each_item(st, failed, [&](const Item& it) -> ItemResult {
      switch (it.kw) {
        case Kw::SUB: t.sub = label_ref(it.value); return kItemOk;
        case Kw::VIRT: t.virt = label_ref(it.value); return kItemOk;
        case Kw::TYPE: {
          const auto type = value_type(it.value);
          if (!type) return kWrongKeyword;
          t.type = *type;
          return kItemOk;
        }
        case Kw::INDIC: return set_yes_no(t.indicators, it.value);
        case Kw::DELIM: {
          const auto c = value_char(it.value);
          if (!c) return kWrongKeyword;
          t.delimiter = *c;
          return kItemOk;
        }
        case Kw::INDIC1: t.indicator1_values = value_name(it.value, 20); return kItemOk;
        case Kw::INDIC2: t.indicator2_values = value_name(it.value, 20); return kItemOk;
        default: return kWrongKeyword;
      }
    });
    if (rc.failed()) return rc;
    if (t.sub.given()) t.type.main = true;
    TagDef& stored = set_.tags_.emplace_back(std::move(t));
    groups_.add(Kind::Tag, &stored);
    return 0;
  }

  ResultCode sub(const Statement& st, std::string_view v, std::size_t& failed) {
    SubfieldDef s;
    const auto code = value_tag(trim_blanks(v), 1, s.max_occurrence);
    if (!code) return kWrongKeyword;
    s.code = code->front();
    const ResultCode rc = each_item(st, failed, [&](const Item& it) -> ItemResult {
      if (it.kw != Kw::TYPE) return kWrongKeyword;
      const auto type = value_type(it.value);
      if (!type || type->main) return kWrongKeyword;
      s.type = *type;
      return kItemOk;
    });
    if (rc.failed()) return rc;
    groups_.add(Kind::Sub, &set_.subs_.emplace_back(s));
    return 0;
  }

  ResultCode index(const Statement& st, std::string_view v, std::size_t& failed) {
    IndexDef x;
    x.number = value_u16(v);
    const ResultCode rc = each_item(st, failed, [&](const Item& it) -> ItemResult {
      switch (it.kw) {
        case Kw::FILE: set_file_ref(x.file, x.file_number, it.value); return kItemOk;
        case Kw::TERM: x.term = label_ref(it.value); return kItemOk;
        case Kw::SOURCE: return set_element(x.source, it.value);
        case Kw::PREFIX: x.prefix = value_name(it.value, 20); return kItemOk;
        case Kw::NFINDIC: {
          const auto c = value_char(it.value);
          if (!c || (*c != '1' && *c != '2')) return kWrongKeyword;
          x.nonfiling_indicator = *c;
          return kItemOk;
        }
        default: return kWrongKeyword;
      }
    });
    if (rc.failed()) return rc;
    groups_.add(Kind::Index, &set_.indexes_.emplace_back(std::move(x)));
    return 0;
  }

  ResultCode term(const Statement& st, std::string_view v, std::size_t& failed) {
    TermDef t;
    t.number = value_u16(v);
    const ResultCode rc = each_item(st, failed, [&](const Item& it) -> ItemResult {
      const std::string_view w = it.value;
      switch (it.kw) {
        case Kw::TYPE:
          if (begins(w, "ASCII"))
            t.type = TermType::Ascii;
          else if (begins(w, "BINARY"))
            t.type = TermType::Binary;
          else if (begins(w, "SORT"))
            t.type = TermType::Sort;
          else if (begins(w, "IDLIST"))
            t.type = TermType::IdList;
          else
            return kWrongKeyword;
          return kItemOk;
        case Kw::INDIC: return set_yes_no(t.indicators, w);
        case Kw::MINLEN: t.min_length = value_u16(w); return kItemOk;
        case Kw::MAXLEN: t.max_length = std::min(value_u16(w), kMaxTermLength); return kItemOk;
        case Kw::FILL:
          if (begins(w, "SPACE"))
            t.fill = ' ';
          else if (begins(w, "NULL") || begins(w, "0"))
            t.fill = '0';
          else if (begins(w, "LOW"))
            t.fill = '\0';
          else if (begins(w, "HIGH"))
            t.fill = static_cast<char>(0xFF);
          else
            return kWrongKeyword;
          return kItemOk;
        case Kw::ALIGN:
          if (begins(w, "LEFT"))
            t.align = Align::Left;
          else if (begins(w, "RIGHT"))
            t.align = Align::Right;
          else
            return kWrongKeyword;
          return kItemOk;
        case Kw::STOP: {
          t.stop_file = value_u16(w);
          const std::size_t colon = w.find(':');
          if (colon != std::string_view::npos) t.stop_list = value_u16(w.substr(colon + 1));
          return kItemOk;
        }
        case Kw::TRANSL: t.translation = value_name(w, kMaxLabel); return kItemOk;
        case Kw::MAX: t.max = value_u16(w); return kItemOk;
        default: return kWrongKeyword;
      }
    });
    if (rc.failed()) return rc;
    groups_.add(Kind::Term, &set_.terms_.emplace_back(std::move(t)));
    return 0;
  }

  ResultCode virt(const Statement& st, std::string_view v, std::size_t& failed) {
    VirtDef d;
    d.name = value_name(v, kMaxLabel);
    if (d.name.empty()) return kWrongKeyword;
    const ResultCode rc = each_item(st, failed, [&](const Item& it) -> ItemResult {
      switch (it.kw) {
        case Kw::TYPE: {
          const auto type = value_type(it.value);
          if (!type) return kWrongKeyword;
          d.type = *type;
          return kItemOk;
        }
        case Kw::SOURCE: return set_element(d.source, it.value);
        case Kw::SCRIPT: d.script = value_name(it.value, kMaxLabel); return kItemOk;
        default: return kWrongKeyword;
      }
    });
    if (rc.failed()) return rc;
    groups_.add(Kind::Virt, &set_.virts_.emplace_back(std::move(d)));
    return 0;
  }

  ResultCode link(const Statement& st, std::string_view v, std::size_t& failed) {
    LinkDef l;
    l.number = value_u16(v);
    const ResultCode rc = each_item(st, failed, [&](const Item& it) -> ItemResult {
      switch (it.kw) {
        case Kw::NAME: l.name = value_name(it.value, kMaxFileName); return kItemOk;
        case Kw::FILE: l.target_file = value_u16(it.value); return kItemOk;
        case Kw::LIST: set_file_ref(l.list, l.list_number, it.value); return kItemOk;
        case Kw::LINKTAG: l.tags = label_ref(it.value); return kItemOk;
        case Kw::LOCATE: l.search = value_name(it.value, kMaxLabel); return kItemOk;
        case Kw::SUPPRESS: return set_yes_no(l.tolerant, it.value);
        case Kw::CASCADE: return set_yes_no(l.create_target, it.value);
        case Kw::SOURCE: return set_element(l.source, it.value);
        default: return kWrongKeyword;
      }
    });
    if (rc.failed()) return rc;
    groups_.add(Kind::Link, &set_.links_.emplace_back(std::move(l)));
    return 0;
  }

  ResultCode transl(const Statement& st, std::string_view v, std::size_t& failed) {
    TranslDef t;
    t.name = value_name(v, kMaxLabel);
    if (t.name.empty()) return kWrongKeyword;
    const ResultCode rc = each_item(st, failed, [&](const Item& it) -> ItemResult {
      switch (it.kw) {
        case Kw::PATH: t.path = value_name(it.value, kMaxPath); return kItemOk;
        case Kw::TYPE:
          if (begins(it.value, "UTF8"))
            t.type = 'U';
          else if (begins(it.value, "ANY"))
            t.type = ' ';
          else
            return kWrongKeyword;
          return kItemOk;
        default: return kWrongKeyword;
      }
    });
    if (rc.failed()) return rc;
    groups_.add(Kind::Transl, &set_.transls_.emplace_back(std::move(t)));
    return 0;
  }

  ResultCode linktag(const Statement& st, std::string_view v, std::size_t& failed) {
    LinkTagDef l;
    if (set_element(l.idn, v) != kItemOk) return kWrongKeyword;
    const ResultCode rc = each_item(st, failed, [&](const Item& it) -> ItemResult {
      switch (it.kw) {
        case Kw::TEXT: return set_element(l.text, it.value);
        case Kw::SUBLINK: l.subfield_codes = value_word(it.value, 40); return kItemOk;
        case Kw::NOEX: return set_yes_no(l.inactive, it.value);
        case Kw::SORT: return set_element(l.sort, it.value);
        default: return kWrongKeyword;
      }
    });
    if (rc.failed()) return rc;
    groups_.add(Kind::LinkTag, &set_.linktags_.emplace_back(std::move(l)));
    return 0;
  }

  ResultCode dbl(const Statement& st, std::string_view v, std::size_t& failed) {
    DoubleDef d;
    d.compares = label_ref(v);
    if (!d.compares.given()) return kWrongKeyword;
    const ResultCode rc = each_item(st, failed, [&](const Item& it) -> ItemResult {
      switch (it.kw) {
        case Kw::SUB: return set_yes_no(d.subfields, it.value);
        case Kw::INDIC: return set_yes_no(d.indicators, it.value);
        case Kw::FOUND:
          if (begins(it.value, "COMPARE"))
            d.found = 'C';
          else if (begins(it.value, "YES"))
            d.found = 'Y';
          else
            return kWrongKeyword;
          return kItemOk;
        case Kw::NOTFND:
          if (begins(it.value, "CONTINUE"))
            d.not_found = 'C';
          else if (begins(it.value, "NO"))
            d.not_found = 'N';
          else
            return kWrongKeyword;
          return kItemOk;
        default: return kWrongKeyword;
      }
    });
    if (rc.failed()) return rc;
    groups_.add(Kind::Double, &set_.doubles_.emplace_back(std::move(d)));
    return 0;
  }

  ResultCode autonum(const Statement& st, std::string_view v, std::size_t& failed) {
    AutonumDef a;
    a.number = value_u16(v);
    const ResultCode rc = each_item(st, failed, [&](const Item& it) -> ItemResult {
      switch (it.kw) {
        case Kw::FILE: a.file = value_u16(it.value); return kItemOk;
        case Kw::TAG: a.tag = label_ref(it.value); return kItemOk;
        default: return kWrongKeyword;
      }
    });
    if (rc.failed()) return rc;
    groups_.add(Kind::Autonum, &set_.autonums_.emplace_back(std::move(a)));
    return 0;
  }

  DataDictionary& set_;
  GroupBuilder groups_;
};

ResultCode DataDictionary::load(const std::vector<std::string>& paths, ErrorOutput errors) {
  if (loaded_) return 0;
  DataReader reader(*this);
  ReaderCallbacks callbacks{
      [&](const std::string& label, const std::string& file, long line) { reader.label(label, file, line); },
      [&](const Statement& st, std::size_t& failed) { return reader.statement(st, failed); }};
  ResultCode rc = read_dictionary_files(paths, errors, callbacks);
  if (rc.ok() || errors.stream != nullptr) {
    const ResultCode completed = complete(errors);
    if (rc.ok()) rc = completed;
  }
  if (rc.failed()) {
    release();
    return rc;
  }
  loaded_ = true;
  return 0;
}

ResultCode DataDictionary::complete(ErrorOutput errors) {
  Binder b(groups_, errors);
  std::map<const FileDef*, const PoolDef*> owner;
  for (PoolDef& p : pools_) {
    (void)b.bind(p.code);
    p.file_defs = b.list<FileDef>(p.files, Kind::File, p.place, {Kind::Pool});
    for (const FileDef* f : p.file_defs) owner.emplace(f, &p);
  }
  // A list file given by number is a file of the pool that holds the file
  // using it.
  auto list_file = [&](const FileDef& user, std::uint16_t n) -> const FileDef* {
    const auto it = owner.find(&user);
    const FileDef* f = it != owner.end() ? it->second->find_file(n) : nullptr;
    if (f == nullptr) b.fail("\nFILE " + std::to_string(n) + " NOT DEFINED");
    return f;
  };
  const std::vector<Kind> kFileEnd = {Kind::File, Kind::Pool};
  for (FileDef& f : files_) {
    for (TagDef* t : b.list<TagDef>(f.tag, Kind::Tag, f.place, kFileEnd)) f.tags.push_back(t);
    f.index_tags();
    for (IndexDef* x : b.list<IndexDef>(f.index, Kind::Index, f.place, kFileEnd)) {
      if (x->file_number != 0) x->list_file = list_file(f, x->file_number);
      f.indexes.push_back(x);
    }
    for (LinkDef* l : b.list<LinkDef>(f.link, Kind::Link, f.place, kFileEnd)) {
      if (l->list_number != 0) l->list_file = list_file(f, l->list_number);
      f.links.push_back(l);
    }
    for (DoubleDef* d : b.list<DoubleDef>(f.dbl, Kind::Double, f.place, kFileEnd)) f.doubles.push_back(d);
    for (AutonumDef* a : b.list<AutonumDef>(f.autonum, Kind::Autonum, f.place, kFileEnd)) {
      f.autonums.push_back(a);
    }
  }
  for (TagDef& t : tags_) {
    if (t.sub.given()) {
      for (SubfieldDef* s : Binder::all<SubfieldDef>(b.bind(t.sub), Kind::Sub)) t.subfields.push_back(s);
    }
    if (t.virt.given()) t.virtual_field = b.first<VirtDef>(t.virt, Kind::Virt);
  }
  for (IndexDef& x : indexes_) {
    if (x.file.given()) x.list_file = b.first<FileDef>(x.file, Kind::File);
    if (x.term.given()) x.term_def = b.first<TermDef>(x.term, Kind::Term);
  }
  for (LinkDef& l : links_) {
    if (l.list.given()) l.list_file = b.first<FileDef>(l.list, Kind::File);
    if (l.tags.given()) {
      for (LinkTagDef* e : Binder::all<LinkTagDef>(b.bind(l.tags), Kind::LinkTag)) l.elements.push_back(e);
    }
  }
  for (DoubleDef& d : doubles_) {
    for (TagDef* t : Binder::all<TagDef>(b.bind(d.compares), Kind::Tag)) d.tags.push_back(t);
  }
  for (AutonumDef& a : autonums_) {
    if (a.tag.given()) a.tag_def = b.first<TagDef>(a.tag, Kind::Tag);
  }
  return b.result();
}

void DataDictionary::release() {
  loaded_ = false;
  groups_.clear();
  pools_.clear();
  files_.clear();
  tags_.clear();
  subs_.clear();
  indexes_.clear();
  terms_.clear();
  virts_.clear();
  links_.clear();
  transls_.clear();
  linktags_.clear();
  doubles_.clear();
  autonums_.clear();
}

// ---------------------------------------------------------------------------
// The application dictionary.

class ApplReader {
 public:
  explicit ApplReader(ApplDictionary& set) : set_(set), groups_(set.groups_) {}

  void label(const std::string& name, const std::string& file, long line) { groups_.label(name, file, line); }

  // An INDIC= line at the start of a statement has no handler here; it is
  // skipped like a line without a keyword.
  ResultCode statement(const Statement& st, std::size_t& failed) {
    failed = 0;
    const std::string_view v = st.items[0].value;
    switch (st.items[0].kw) {
      case Kw::POOL: return pool(st, v, failed);
      case Kw::FILE: return file(st, v, failed);
      case Kw::TAG: return tag(st, v, failed);
      case Kw::INDEX: return aspect(st, v, failed);
      case Kw::LINK: return link(st, v, failed);
      case Kw::FORM: return form(st, v, failed);
      case Kw::COLUMN: return column(st, v, failed);
      case Kw::SCRIPT: return named<ScriptDef>(st, v, failed, Kind::Script, set_.scripts_);
      case Kw::LOCATE: return named<LocateDef>(st, v, failed, Kind::Locate, set_.locates_);
      case Kw::NAMI: return named<NamiDef>(st, v, failed, Kind::Nami, set_.namis_);
      case Kw::LAYOUT: return named<LayoutDef>(st, v, failed, Kind::Layout, set_.layouts_);
      case Kw::COUNT: return named<CountDef>(st, v, failed, Kind::Count, set_.counts_);
      case Kw::INDIC: return 0;
      default: return kWrongStatement;
    }
  }

 private:
  ResultCode pool(const Statement& st, std::string_view v, std::size_t& failed) {
    AppPoolDef p;
    p.name = value_name(v, kMaxPoolName);
    if (p.name.empty()) return kWrongKeyword;
    const ResultCode rc = each_item(st, failed, [&](const Item& it) -> ItemResult {
      switch (it.kw) {
        case Kw::LONG: p.long_name = value_name(it.value, kMaxText); return kItemOk;
        case Kw::DEFIN: p.defin = value_name(it.value, kMaxLabel); return kItemOk;
        case Kw::FILE: p.files = label_ref(it.value); return kItemOk;
        case Kw::SCRIPT: p.scripts = label_ref(it.value); return kItemOk;
        case Kw::NAMI: p.namis = label_ref(it.value); return kItemOk;
        case Kw::COUNT: p.counts = label_ref(it.value); return kItemOk;
        case Kw::MAXLIST: p.max_list = value_u16(it.value); return kItemOk;
        case Kw::DATEFORM: p.date_form = value_u16(it.value); return kItemOk;
        case Kw::TIMEFORM: p.time_form = value_u16(it.value); return kItemOk;
        case Kw::INFO: {
          const std::string property = value_name(it.value, kMaxText);
          const std::size_t eq = property.find('=');
          if (eq == std::string::npos || eq == 0) return kWrongKeyword;
          p.properties.emplace_back(property.substr(0, eq), property.substr(eq + 1));
          return kItemOk;
        }
        default: return kWrongKeyword;
      }
    });
    if (rc.failed()) return rc;
    if (p.long_name.empty()) p.long_name = p.name;
    groups_.start_pool_group(st.file, st.items[0].line);
    AppPoolDef& stored = set_.pools_.emplace_back(std::move(p));
    stored.place = groups_.add(Kind::AppPool, &stored);
    return 0;
  }

  ResultCode file(const Statement& st, std::string_view v, std::size_t& failed) {
    AppFileDef f;
    f.name = value_name(v, kMaxFileName);
    if (f.name.empty()) return kWrongKeyword;
    f.code = f.name.substr(0, 3);
    const ResultCode rc = each_item(st, failed, [&](const Item& it) -> ItemResult {
      switch (it.kw) {
        case Kw::NAME: f.code = value_name(it.value, 3); return kItemOk;
        case Kw::NUMBER: f.number = value_u16(it.value); return kItemOk;
        case Kw::LONG: f.long_name = value_name(it.value, kMaxText); return kItemOk;
        case Kw::ORDER: {
          bool sorted = false;
          if (set_yes_no(sorted, it.value) != kItemOk) return kWrongKeyword;
          f.order = sorted ? 'Y' : 'N';
          return kItemOk;
        }
        case Kw::SCAN: f.scan_form = value_name(it.value, kMaxFormName); return kItemOk;
        case Kw::FILTER: f.filter = value_name(it.value, kMaxText); return kItemOk;
        case Kw::TAG: f.tags = label_ref(it.value); return kItemOk;
        case Kw::INDEX: f.aspects = label_ref(it.value); return kItemOk;
        case Kw::LINK: f.links = label_ref(it.value); return kItemOk;
        case Kw::FORM: f.forms = label_ref(it.value); return kItemOk;
        case Kw::COLUMNS: f.columns = label_ref(it.value); return kItemOk;
        case Kw::LAYOUT: f.layouts = label_ref(it.value); return kItemOk;
        case Kw::LOCATE: f.locates = label_ref(it.value); return kItemOk;
        default: return kWrongKeyword;
      }
    });
    if (rc.failed()) return rc;
    AppFileDef& stored = set_.files_.emplace_back(std::move(f));
    stored.place = groups_.add(Kind::AppFile, &stored);
    return 0;
  }

  ResultCode tag(const Statement& st, std::string_view v, std::size_t& failed) {
    AppTagDef t;
    std::uint16_t unused = 0;
    const auto name = value_tag(trim_blanks(v), 3, unused);
    if (!name) return kWrongKeyword;
    t.tag = *name;
    const ResultCode rc = each_item(st, failed, [&](const Item& it) -> ItemResult {
      switch (it.kw) {
        case Kw::TEXT: t.text = value_name(it.value, kMaxText); return kItemOk;
        case Kw::LENG: t.length = value_u16(it.value); return kItemOk;
        default: return kWrongKeyword;
      }
    });
    if (rc.failed()) return rc;
    groups_.add(Kind::AppTag, &set_.tags_.emplace_back(std::move(t)));
    return 0;
  }

  ResultCode aspect(const Statement& st, std::string_view v, std::size_t& failed) {
    AspectDef a;
    a.name = value_name(v, 3);
    if (a.name.empty()) return kWrongKeyword;
    const ResultCode rc = each_item(st, failed, [&](const Item& it) -> ItemResult {
      switch (it.kw) {
        case Kw::NUMBER: a.index = value_u16(it.value); return kItemOk;
        case Kw::CODE: a.code_table = value_name(it.value, kMaxLabel); return kItemOk;
        case Kw::FILE: a.file = value_name(it.value, kMaxFileName); return kItemOk;
        case Kw::LINK: a.link = value_u16(it.value); return kItemOk;
        case Kw::TEXT: a.aspect = value_name(it.value, 3); return kItemOk;
        case Kw::FAM: a.group = value_name(it.value, kMaxLabel); return kItemOk;
        case Kw::FULL: return set_yes_no(a.collective, it.value);
        case Kw::LIST: return set_yes_no(a.word_wise, it.value);
        default: return kWrongKeyword;
      }
    });
    if (rc.failed()) return rc;
    groups_.add(Kind::Aspect, &set_.aspects_.emplace_back(std::move(a)));
    return 0;
  }

  ResultCode link(const Statement& st, std::string_view v, std::size_t& failed) {
    AppLinkDef l;
    l.number = value_u16(v);
    const ResultCode rc = each_item(st, failed, [&](const Item& it) -> ItemResult {
      if (it.kw != Kw::FORM) return kWrongKeyword;
      l.form = value_name(it.value, kMaxFormName);
      return kItemOk;
    });
    if (rc.failed()) return rc;
    groups_.add(Kind::AppLink, &set_.links_.emplace_back(std::move(l)));
    return 0;
  }

  ResultCode form(const Statement& st, std::string_view v, std::size_t& failed) {
    FormDef f;
    f.name = value_name(v, kMaxFormName);
    if (f.name.empty()) return kWrongKeyword;
    const ResultCode rc = each_item(st, failed, [&](const Item& it) -> ItemResult {
      switch (it.kw) {
        case Kw::TYPE: {
          const auto c = value_char(it.value);
          if (!c) return kWrongKeyword;
          f.type = *c;
          return kItemOk;
        }
        case Kw::STYLE: f.style = value_name(it.value, kMaxFormName); return kItemOk;
        case Kw::TEXT: f.text = value_name(it.value, kMaxText); return kItemOk;
        case Kw::PATH: f.path = value_name(it.value, kMaxPath); return kItemOk;
        case Kw::RECHEAD: f.leading = value_name(it.value, kMaxPath); return kItemOk;
        case Kw::RECFOOT: f.trailing = value_name(it.value, kMaxPath); return kItemOk;
        case Kw::PAGEHEAD: f.list_head = value_name(it.value, kMaxPath); return kItemOk;
        case Kw::PAGEFOOT: f.list_foot = value_name(it.value, kMaxPath); return kItemOk;
        case Kw::HEAD: return set_yes_no(f.head, it.value);
        case Kw::COMMAND: f.program = value_name(it.value, kMaxPath); return kItemOk;
        case Kw::LINK: {
          // "1+2": each number a link of the data dictionary.
          std::string_view rest = it.value;
          while (!rest.empty() && rest.front() >= '0' && rest.front() <= '9') {
            const std::uint16_t n = value_u16(rest);
            if (n == 0) return kWrongKeyword;
            f.links.push_back(n);
            while (!rest.empty() && rest.front() >= '0' && rest.front() <= '9') rest.remove_prefix(1);
            if (rest.empty() || rest.front() != '+') break;
            rest.remove_prefix(1);
          }
          return f.links.empty() ? kWrongKeyword : kItemOk;
        }
        case Kw::COLUMNS: f.columns = label_ref(it.value); return kItemOk;
        case Kw::INDEX: f.sort_index = value_u16(it.value); return kItemOk;
        default: return kWrongKeyword;
      }
    });
    if (rc.failed()) return rc;
    groups_.add(Kind::Form, &set_.forms_.emplace_back(std::move(f)));
    return 0;
  }

  ResultCode column(const Statement& st, std::string_view v, std::size_t& failed) {
    ColumnDef c;
    c.number = value_u16(v);
    const ResultCode rc = each_item(st, failed, [&](const Item& it) -> ItemResult {
      switch (it.kw) {
        case Kw::SIGN:
        case Kw::ATTRIB: {
          const auto ch = value_char(it.value);
          if (!ch) return kWrongKeyword;
          (it.kw == Kw::SIGN ? c.row_type : c.attribute) = *ch;
          return kItemOk;
        }
        case Kw::CODE: c.code2 = value_name(it.value, 2); return kItemOk;
        case Kw::NAME: c.code3 = value_name(it.value, 3); return kItemOk;
        case Kw::WIDTH: {
          const std::uint16_t w = value_u16(it.value);
          if (w > 100) return kWrongKeyword;
          c.width = w;
          return kItemOk;
        }
        case Kw::TYPE: c.type = value_word(it.value, 10); return kItemOk;
        case Kw::TEXT: c.text = value_name(it.value, kMaxText); return kItemOk;
        default: return kWrongKeyword;
      }
    });
    if (rc.failed()) return rc;
    groups_.add(Kind::Column, &set_.columns_.emplace_back(std::move(c)));
    return 0;
  }

  // The small named definitions: scripts, search and lookup definitions,
  // layouts and counters.
  static ItemResult set_field(ScriptDef& d, const Item& it) {
    if (it.kw != Kw::PATH) return kWrongKeyword;
    d.path = value_name(it.value, kMaxPath);
    return kItemOk;
  }
  static ItemResult set_field(LocateDef& d, const Item& it) {
    switch (it.kw) {
      case Kw::FILE: d.file = value_name(it.value, kMaxFileName); return kItemOk;
      case Kw::INDEX: d.aspect = value_name(it.value, 3); return kItemOk;
      case Kw::LIMIT: d.limit = value_u16(it.value); return kItemOk;
      default: return kWrongKeyword;
    }
  }
  static ItemResult set_field(NamiDef& d, const Item& it) {
    switch (it.kw) {
      case Kw::FILE: d.file = value_name(it.value, kMaxFileName); return kItemOk;
      case Kw::INDEX: d.aspect = value_name(it.value, 3); return kItemOk;
      case Kw::TAG: d.tag = value_name(it.value, 3); return kItemOk;
      default: return kWrongKeyword;
    }
  }
  static ItemResult set_field(LayoutDef& d, const Item& it) {
    switch (it.kw) {
      case Kw::FORM: d.form = value_name(it.value, kMaxFormName); return kItemOk;
      case Kw::PATH: d.path = value_name(it.value, kMaxPath); return kItemOk;
      default: return kWrongKeyword;
    }
  }
  static ItemResult set_field(CountDef& d, const Item& it) {
    switch (it.kw) {
      case Kw::FILE: d.file = value_name(it.value, kMaxFileName); return kItemOk;
      case Kw::INDEX: d.aspect = value_name(it.value, 3); return kItemOk;
      case Kw::TEXT: d.text = value_name(it.value, kMaxText); return kItemOk;
      default: return kWrongKeyword;
    }
  }

  template <typename T>
  ResultCode named(const Statement& st, std::string_view v, std::size_t& failed, Kind kind,
                   std::deque<T>& store) {
    T d;
    d.name = value_name(v, kMaxFormName);
    if (d.name.empty()) return kWrongKeyword;
    const ResultCode rc = each_item(st, failed, [&](const Item& it) { return set_field(d, it); });
    if (rc.failed()) return rc;
    groups_.add(kind, &store.emplace_back(std::move(d)));
    return 0;
  }

  ApplDictionary& set_;
  GroupBuilder groups_;
};

ResultCode ApplDictionary::load(const std::vector<std::string>& paths, const DataDictionary& data,
                                ErrorOutput errors) {
  if (!data.loaded()) return kMissingArgument;
  if (loaded_) return 0;
  ApplReader reader(*this);
  ReaderCallbacks callbacks{
      [&](const std::string& label, const std::string& file, long line) { reader.label(label, file, line); },
      [&](const Statement& st, std::size_t& failed) { return reader.statement(st, failed); }};
  ResultCode rc = read_dictionary_files(paths, errors, callbacks);
  if (rc.ok() || errors.stream != nullptr) {
    const ResultCode completed = complete(data, errors);
    if (rc.ok()) rc = completed;
  }
  if (rc.failed()) {
    release();
    return rc;
  }
  loaded_ = true;
  return 0;
}

ResultCode ApplDictionary::complete(const DataDictionary& data, ErrorOutput errors) {
  Binder b(groups_, errors);
  for (AppPoolDef& p : pools_) {
    p.data = data.find_pool(p.defin.empty() ? p.name : p.defin);
    if (p.data == nullptr) b.fail("\nPOOL " + (p.defin.empty() ? p.name : p.defin) + " NOT DEFINED");
    p.file_defs = b.list<AppFileDef>(p.files, Kind::AppFile, p.place, {Kind::AppPool});
    for (AppFileDef* f : p.file_defs) {
      if (p.data == nullptr) continue;
      f->data = p.data->find_file(f->number);
      if (f->data == nullptr) {
        b.fail("\nFILE " + f->name + " (" + std::to_string(f->number) + ") NOT DEFINED IN POOL " +
               p.data->name);
      }
    }
    for (ScriptDef* s : Binder::all<ScriptDef>(b.bind(p.scripts), Kind::Script)) p.script_defs.push_back(s);
    for (NamiDef* n : Binder::all<NamiDef>(b.bind(p.namis), Kind::Nami)) p.nami_defs.push_back(n);
    for (CountDef* c : Binder::all<CountDef>(b.bind(p.counts), Kind::Count)) p.count_defs.push_back(c);
  }
  const std::vector<Kind> kFileEnd = {Kind::AppFile, Kind::AppPool};
  for (AppFileDef& f : files_) {
    for (AppTagDef* t : b.list<AppTagDef>(f.tags, Kind::AppTag, f.place, kFileEnd)) f.tag_defs.push_back(t);
    for (AspectDef* a : b.list<AspectDef>(f.aspects, Kind::Aspect, f.place, kFileEnd)) {
      f.aspect_defs.push_back(a);
    }
    for (AppLinkDef* l : b.list<AppLinkDef>(f.links, Kind::AppLink, f.place, kFileEnd))
      f.link_defs.push_back(l);
    for (FormDef* x : b.list<FormDef>(f.forms, Kind::Form, f.place, kFileEnd)) f.form_defs.push_back(x);
    for (ColumnDef* c : b.list<ColumnDef>(f.columns, Kind::Column, f.place, kFileEnd)) {
      f.column_defs.push_back(c);
    }
    for (LayoutDef* l : b.list<LayoutDef>(f.layouts, Kind::Layout, f.place, kFileEnd)) {
      f.layout_defs.push_back(l);
    }
    for (LocateDef* l : b.list<LocateDef>(f.locates, Kind::Locate, f.place, kFileEnd)) {
      f.locate_defs.push_back(l);
    }
  }
  for (FormDef& f : forms_) {
    for (ColumnDef* c : Binder::all<ColumnDef>(b.bind(f.columns), Kind::Column)) f.column_defs.push_back(c);
  }
  return b.result();
}

void ApplDictionary::release() {
  loaded_ = false;
  groups_.clear();
  pools_.clear();
  files_.clear();
  tags_.clear();
  aspects_.clear();
  links_.clear();
  forms_.clear();
  columns_.clear();
  scripts_.clear();
  locates_.clear();
  namis_.clear();
  layouts_.clear();
  counts_.clear();
}

}  // namespace corvanta::dict
