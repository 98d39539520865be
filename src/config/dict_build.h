// Building the dictionaries' sets from statements: internal to the
// dictionary module.
//
// Each kind of statement is described by a table: how the value of its first
// item names the definition, which keywords its further items may have and how
// each value is stored, and an optional check of the whole definition. One
// routine (read_definition) reads every statement through its table, so each
// value form is checked in one place. GroupBuilder files the definitions under
// their labels while reading; Binder binds the label references afterwards.
#pragma once

#include <algorithm>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "config/dict_reader.h"
#include "config/dictionary.h"
#include "util/text.h"

namespace corvanta::dict::build {

inline constexpr std::size_t kMaxPoolName = 10;
inline constexpr std::size_t kMaxPath = 100;
inline constexpr std::size_t kMaxText = 60;
inline constexpr std::size_t kMaxFormName = 20;
inline constexpr std::size_t kMaxFileName = 5;

// The outcome of one item: 0, or the code with which the statement fails.
using ItemResult = std::int32_t;
inline constexpr ItemResult kItemOk = 0;

// Does `value` begin with `word`? Definition words are taken by prefix.
inline bool begins(std::string_view value, std::string_view word) {
  return value.substr(0, word.size()) == word;
}

inline LabelRef label_ref(std::string_view value) {
  return LabelRef{value_name(value, kMaxLabel, ')'), -1};
}

// ---------------------------------------------------------------------------
// Value setters: each stores one value form in a member of a definition, or
// refuses the value with kWrongKeyword. `M` is a pointer to the member.

template <typename C, typename T>
C owner_of(T C::*);
template <auto M>
using Owner = decltype(owner_of(M));

template <auto M>
ItemResult label(Owner<M>& d, std::string_view v) {
  d.*M = label_ref(v);
  return kItemOk;
}

template <auto M>
ItemResult u16(Owner<M>& d, std::string_view v) {
  d.*M = value_u16(v);
  return kItemOk;
}

// A name of at most `Max` characters; with `Required`, an empty one is refused.
template <auto M, std::size_t Max, bool Required = false>
ItemResult name(Owner<M>& d, std::string_view v) {
  d.*M = value_name(v, Max);
  return Required && (d.*M).empty() ? kWrongKeyword : kItemOk;
}

template <auto M, std::size_t Max>
ItemResult word(Owner<M>& d, std::string_view v) {
  d.*M = value_word(v, Max);
  return kItemOk;
}

// Stores the value a reading gives, or refuses the value when it gives none.
template <auto M, auto Read>
ItemResult read_as(Owner<M>& d, std::string_view v) {
  const auto value = Read(v);
  if (!value) return kWrongKeyword;
  d.*M = *value;
  return kItemOk;
}

std::optional<Element> element_value(std::string_view v);

template <auto M>
constexpr auto mask = read_as<M, value_mask>;
template <auto M>
constexpr auto yes_no = read_as<M, value_yes_no>;
template <auto M>
constexpr auto character = read_as<M, value_char>;
template <auto M>
constexpr auto type = read_as<M, value_type>;
template <auto M>
constexpr auto element = read_as<M, element_value>;

// One word of a choice, taken by prefix, and what it stands for.
template <typename T>
struct Choice {
  std::string_view word;
  T value;
};

// The first choice whose word the value begins with.
template <auto M, const auto& Choices>
ItemResult choice(Owner<M>& d, std::string_view v) {
  for (const auto& c : Choices) {
    if (begins(v, c.word)) {
      d.*M = c.value;
      return kItemOk;
    }
  }
  return kWrongKeyword;
}

// A list file given by its number in the pool or by a label reference.
template <auto Label, auto Number>
ItemResult file_ref(Owner<Label>& d, std::string_view v) {
  if (!v.empty() && v.front() >= '0' && v.front() <= '9') {
    d.*Number = value_u16(v);
  } else {
    d.*Label = label_ref(v);
  }
  return kItemOk;
}

// A length with an optional ":FIX"/":F" or ":VAR"/":V" suffix.
ItemResult set_length(std::uint32_t& length, bool& fixed, std::string_view value);

// ---------------------------------------------------------------------------
// Statement tables.

template <typename Def>
using Setter = ItemResult (*)(Def& def, std::string_view value);

// An item keyword a statement accepts, and how its value is stored.
template <typename Def>
struct Field {
  Kw kw;
  Setter<Def> set;
};

// A kind of statement: the definition it makes, how the first item's value
// names it, the further items it accepts, and a check of the whole statement
// (0 or a code, with `failed` the index of the item at fault or 0).
template <typename Def>
struct StatementKind {
  Kind kind;
  Setter<Def> head;
  std::span<const Field<Def>> fields;
  ResultCode (*finish)(Def& def, const Statement& st, std::size_t& failed) = nullptr;
};

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

// Reads one statement by its table into `store` and files the definition in
// the current group (a pool in a group of its own). On failure nothing is
// stored; `failed` names the item at fault (0: the first or none).
template <typename Def>
ResultCode read_definition(const Statement& st, std::size_t& failed, const StatementKind<Def>& kind,
                           std::deque<Def>& store, GroupBuilder& groups) {
  failed = 0;
  Def def;
  if (kind.head(def, st.items[0].value) != kItemOk) return kWrongKeyword;
  for (std::size_t i = 1; i < st.items.size(); ++i) {
    const auto field = std::find_if(kind.fields.begin(), kind.fields.end(),
                                    [&](const Field<Def>& f) { return f.kw == st.items[i].kw; });
    const ItemResult rc = field == kind.fields.end() ? kWrongKeyword : field->set(def, st.items[i].value);
    if (rc != kItemOk) {
      failed = i;
      return rc;
    }
  }
  if (kind.finish != nullptr) {
    if (const ResultCode rc = kind.finish(def, st, failed); rc.failed()) return rc;
  }
  if (kind.kind == Kind::Pool || kind.kind == Kind::AppPool)
    groups.start_pool_group(st.file, st.items[0].line);
  Def& stored = store.emplace_back(std::move(def));
  const Place place = groups.add(kind.kind, &stored);
  if constexpr (requires { stored.place; }) stored.place = place;
  return 0;
}

// Reads the files of a set through `statement` and completes it with
// `complete` (also after errors that were printed); 0 or the first code.
ResultCode read_set(const std::vector<std::string>& paths, ErrorOutput errors, GroupBuilder& groups,
                    const std::function<ResultCode(const Statement&, std::size_t&)>& statement,
                    const std::function<ResultCode()>& complete);

// ---------------------------------------------------------------------------
// Binding label references after reading.
class Binder {
 public:
  Binder(std::vector<Group>& groups, ErrorOutput errors);

  // Binds the reference; a missing label is reported and fails the set.
  const Group* bind(LabelRef& r);

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

  // The definitions of `kind` in the group the reference names.
  template <typename T>
  std::vector<T*> named(LabelRef& r, Kind kind) {
    return all<T>(bind(r), kind);
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
    if (r.given()) return named<T>(r, kind);
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

  void fail(const std::string& message);
  ResultCode result() const { return result_; }

 private:
  std::vector<Group>& groups_;
  ErrorOutput errors_;
  std::map<std::string, int> labels_;
  std::set<std::string> reported_ambiguous_;
  ResultCode result_ = 0;
};

// Appends `from` to `to`, the bound pointers as read-only.
template <typename T>
void append(std::vector<const T*>& to, const std::vector<T*>& from) {
  to.insert(to.end(), from.begin(), from.end());
}

}  // namespace corvanta::dict::build
