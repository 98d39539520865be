// The data dictionary: its statements and their completion.
#include <map>

#include "config/dict_build.h"
#include "config/dictionary.h"

namespace corvanta::dict {
namespace {

using namespace build;

constexpr std::uint32_t kMaxDataLength = 30000;
constexpr std::uint16_t kMaxKeyLength = 256;

constexpr Field<PoolDef> kPoolFields[] = {
    {Kw::FILE, label<&PoolDef::files>},
    {Kw::CODE, label<&PoolDef::code>},
    {Kw::INDEXBUF, u16<&PoolDef::index_buffers>},
    {Kw::DATABUF, u16<&PoolDef::data_buffers>},
    {Kw::USERPERM, u16<&PoolDef::user_permissions>},
    {Kw::SUBLIB, u16<&PoolDef::sublib>},
    {Kw::SETUP, u16<&PoolDef::setup>},
    {Kw::PERIOD, u16<&PoolDef::period>},
    {Kw::USERTAB, u16<&PoolDef::user_table>},
    {Kw::PUBLISH, u16<&PoolDef::publish>},
    {Kw::SHELF, u16<&PoolDef::shelf>},
    {Kw::ACCDIS, mask<&PoolDef::access_display>},
    {Kw::ACCINS, mask<&PoolDef::access_insert>},
    {Kw::ACCUPD, mask<&PoolDef::access_update>},
    {Kw::ACCDEL, mask<&PoolDef::access_delete>},
};
constexpr StatementKind<PoolDef> kPool{Kind::Pool, name<&PoolDef::name, kMaxPoolName, true>, kPoolFields};

// FILE=n: a file number from 1 to 999.
ItemResult file_number(FileDef& f, std::string_view v) {
  f.number = value_u16(v);
  return f.number < 1 || f.number > 999 ? kWrongKeyword : kItemOk;
}

// TYPE= of a file: organisation and role words separated by ":".
ItemResult file_type(FileDef& f, std::string_view value) {
  static constexpr Choice<Organisation> kOrganisations[] = {
      {"RECORD", Organisation::Record}, {"DATA", Organisation::Data}, {"LIST", Organisation::List}};
  static constexpr Choice<Role> kRoles[] = {{"MAIN", Role::Main}, {"NORM", Role::Normal}, {"SUB", Role::Sub}};
  const std::string words = value_word(value, 40);
  std::string_view rest = words;
  while (!rest.empty()) {
    const std::size_t colon = rest.find(':');
    const std::string_view word = rest.substr(0, colon);
    if (choice<&FileDef::organisation, kOrganisations>(f, word) != kItemOk &&
        choice<&FileDef::role, kRoles>(f, word) != kItemOk)
      return kWrongKeyword;
    rest = colon == std::string_view::npos ? std::string_view() : rest.substr(colon + 1);
  }
  return kItemOk;
}

ItemResult index_length(FileDef& f, std::string_view v) {
  std::uint32_t n = 0;
  if (set_length(n, f.fixed_keys, v) != kItemOk) return kWrongKeyword;
  f.index_length = static_cast<std::uint16_t>(std::min<std::uint32_t>(n, 65535));
  return kItemOk;
}

ItemResult data_length(FileDef& f, std::string_view v) {
  std::uint32_t n = 0;
  if (set_length(n, f.fixed_data, v) != kItemOk) return kWrongKeyword;
  f.data_length = std::min(n, kMaxDataLength);
  return kItemOk;
}

// MAIN= belongs to sub files only; the key lengths have a limit; list files
// and the others have different defaults for the item and key data lengths.
ResultCode finish_file(FileDef& f, const Statement& st, std::size_t& failed) {
  std::size_t main_item = 0;
  bool index_data_given = false;
  for (std::size_t i = 1; i < st.items.size(); ++i) {
    if (st.items[i].kw == Kw::MAIN) main_item = i;
    if (st.items[i].kw == Kw::INDEXDAT) index_data_given = true;
  }
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
  return 0;
}

constexpr Field<FileDef> kFileFields[] = {
    {Kw::TAG, label<&FileDef::tag>},
    {Kw::INDEX, label<&FileDef::index>},
    {Kw::LINK, label<&FileDef::link>},
    {Kw::DOUBLE, label<&FileDef::dbl>},
    {Kw::AUTONUM, label<&FileDef::autonum>},
    {Kw::TYPE, file_type},
    {Kw::INDEXLEN, index_length},
    {Kw::INDEXDAT, u16<&FileDef::index_data_length>},
    {Kw::DATALEN, data_length},
    {Kw::ITEMLEN, u16<&FileDef::item_length>},
    {Kw::MAIN, u16<&FileDef::main_file>},
    {Kw::ACCDIS, mask<&FileDef::access_display>},
    {Kw::ACCINS, mask<&FileDef::access_insert>},
    {Kw::ACCUPD, mask<&FileDef::access_update>},
    {Kw::ACCDEL, mask<&FileDef::access_delete>},
};
constexpr StatementKind<FileDef> kFile{Kind::File, file_number, kFileFields, finish_file};

// TAG=245(5): the tag and its occurrences.
ItemResult tag_name(TagDef& t, std::string_view v) {
  const auto name = value_tag(trim_blanks(v), 3, t.max_occurrence);
  if (!name) return kWrongKeyword;
  t.tag = *name;
  return kItemOk;
}

// A tag with subfields holds nothing but them.
ResultCode finish_tag(TagDef& t, const Statement&, std::size_t&) {
  if (t.sub.given()) t.type.main = true;
  return 0;
}

constexpr Field<TagDef> kTagFields[] = {
    {Kw::SUB, label<&TagDef::sub>},
    {Kw::VIRT, label<&TagDef::virt>},
    {Kw::TYPE, type<&TagDef::type>},
    {Kw::INDIC, yes_no<&TagDef::indicators>},
    {Kw::DELIM, character<&TagDef::delimiter>},
    {Kw::INDIC1, name<&TagDef::indicator1_values, 20>},
    {Kw::INDIC2, name<&TagDef::indicator2_values, 20>},
};
constexpr StatementKind<TagDef> kTag{Kind::Tag, tag_name, kTagFields, finish_tag};

ItemResult subfield_code(SubfieldDef& s, std::string_view v) {
  const auto code = value_tag(trim_blanks(v), 1, s.max_occurrence);
  if (!code) return kWrongKeyword;
  s.code = code->front();
  return kItemOk;
}

// A subfield's TYPE= is never MAIN.
ItemResult subfield_type(SubfieldDef& s, std::string_view v) {
  const auto t = value_type(v);
  if (!t || t->main) return kWrongKeyword;
  s.type = *t;
  return kItemOk;
}

constexpr Field<SubfieldDef> kSubFields[] = {{Kw::TYPE, subfield_type}};
constexpr StatementKind<SubfieldDef> kSub{Kind::Sub, subfield_code, kSubFields};

ItemResult nonfiling_indicator(IndexDef& x, std::string_view v) {
  const auto c = value_char(v);
  if (!c || (*c != '1' && *c != '2')) return kWrongKeyword;
  x.nonfiling_indicator = *c;
  return kItemOk;
}

// ELSE=element, one statement may give several.
ItemResult fallback_source(IndexDef& x, std::string_view v) {
  const auto e = element_value(v);
  if (!e || e->tag.empty()) return kWrongKeyword;
  x.fallbacks.push_back(*e);
  return kItemOk;
}

constexpr Field<IndexDef> kIndexFields[] = {
    {Kw::FILE, file_ref<&IndexDef::file, &IndexDef::file_number>},
    {Kw::TERM, label<&IndexDef::term>},
    {Kw::SOURCE, element<&IndexDef::source>},
    {Kw::OFFSET, u16<&IndexDef::offset>},
    {Kw::LENG, u16<&IndexDef::length>},
    {Kw::ELSE, fallback_source},
    {Kw::PREFIX, name<&IndexDef::prefix, 20>},
    {Kw::NFINDIC, nonfiling_indicator},
};
constexpr StatementKind<IndexDef> kIndex{Kind::Index, u16<&IndexDef::number>, kIndexFields};

constexpr Choice<TermType> kTermTypes[] = {{"ASCII", TermType::Ascii}, {"BINARY", TermType::Binary},
                                           {"SORT", TermType::Sort},   {"IDLIST", TermType::IdList},
                                           {"YEAR", TermType::Year},   {"ISBN", TermType::Isbn}};
constexpr Choice<char> kFills[] = {
    {"SPACE", ' '}, {"NULL", '0'}, {"0", '0'}, {"LOW", '\0'}, {"HIGH", static_cast<char>(0xFF)}};
constexpr Choice<Align> kAligns[] = {{"LEFT", Align::Left}, {"RIGHT", Align::Right}};

ItemResult term_max_length(TermDef& t, std::string_view v) {
  t.max_length = std::min(value_u16(v), kMaxTermLength);
  return kItemOk;
}

// STOP=file[:list]
ItemResult stop_words(TermDef& t, std::string_view v) {
  t.stop_file = value_u16(v);
  const std::size_t colon = v.find(':');
  if (colon != std::string_view::npos) t.stop_list = value_u16(v.substr(colon + 1));
  return kItemOk;
}

constexpr Field<TermDef> kTermFields[] = {
    {Kw::TYPE, choice<&TermDef::type, kTermTypes>},
    {Kw::INDIC, yes_no<&TermDef::indicators>},
    {Kw::MINLEN, u16<&TermDef::min_length>},
    {Kw::MAXLEN, term_max_length},
    {Kw::FILL, choice<&TermDef::fill, kFills>},
    {Kw::ALIGN, choice<&TermDef::align, kAligns>},
    {Kw::STOP, stop_words},
    {Kw::TRANSL, name<&TermDef::translation, kMaxLabel>},
    {Kw::MAX, u16<&TermDef::max>},
};
constexpr StatementKind<TermDef> kTerm{Kind::Term, u16<&TermDef::number>, kTermFields};

constexpr Field<VirtDef> kVirtFields[] = {
    {Kw::TYPE, type<&VirtDef::type>},
    {Kw::SOURCE, element<&VirtDef::source>},
    {Kw::SCRIPT, name<&VirtDef::script, kMaxLabel>},
};
constexpr StatementKind<VirtDef> kVirt{Kind::Virt, name<&VirtDef::name, kMaxLabel, true>, kVirtFields};

constexpr Field<LinkDef> kLinkFields[] = {
    {Kw::NAME, name<&LinkDef::name, kMaxFileName>},
    {Kw::FILE, u16<&LinkDef::target_file>},
    {Kw::LIST, file_ref<&LinkDef::list, &LinkDef::list_number>},
    {Kw::LINKTAG, label<&LinkDef::tags>},
    {Kw::LOCATE, name<&LinkDef::search, kMaxLabel>},
    {Kw::SUPPRESS, yes_no<&LinkDef::tolerant>},
    {Kw::CASCADE, yes_no<&LinkDef::create_target>},
    {Kw::SOURCE, element<&LinkDef::source>},
};
constexpr StatementKind<LinkDef> kLink{Kind::Link, u16<&LinkDef::number>, kLinkFields};

constexpr Choice<char> kTranslTypes[] = {{"UTF8", 'U'}, {"ANY", ' '}};
constexpr Field<TranslDef> kTranslFields[] = {
    {Kw::PATH, name<&TranslDef::path, kMaxPath>},
    {Kw::TYPE, choice<&TranslDef::type, kTranslTypes>},
};
constexpr StatementKind<TranslDef> kTransl{Kind::Transl, name<&TranslDef::name, kMaxLabel, true>,
                                           kTranslFields};

constexpr Field<LinkTagDef> kLinkTagFields[] = {
    {Kw::TEXT, element<&LinkTagDef::text>},
    {Kw::SUBLINK, word<&LinkTagDef::subfield_codes, 40>},
    {Kw::NOEX, yes_no<&LinkTagDef::inactive>},
    {Kw::SORT, element<&LinkTagDef::sort>},
};
constexpr StatementKind<LinkTagDef> kLinkTag{Kind::LinkTag, element<&LinkTagDef::idn>, kLinkTagFields};

ItemResult compared_tags(DoubleDef& d, std::string_view v) {
  d.compares = label_ref(v);
  return d.compares.given() ? kItemOk : kWrongKeyword;
}

constexpr Choice<char> kFound[] = {{"COMPARE", 'C'}, {"TERMS", 'T'}, {"YES", 'Y'}};
constexpr Choice<char> kNotFound[] = {{"CONTINUE", 'C'}, {"NO", 'N'}};
constexpr Field<DoubleDef> kDoubleFields[] = {
    {Kw::SUB, yes_no<&DoubleDef::subfields>},       {Kw::INDIC, yes_no<&DoubleDef::indicators>},
    {Kw::FOUND, choice<&DoubleDef::found, kFound>}, {Kw::NOTFND, choice<&DoubleDef::not_found, kNotFound>},
    {Kw::ELSE, yes_no<&DoubleDef::fallback>},
};
constexpr StatementKind<DoubleDef> kDouble{Kind::Double, compared_tags, kDoubleFields};

constexpr Field<AutonumDef> kAutonumFields[] = {
    {Kw::FILE, u16<&AutonumDef::file>},
    {Kw::TAG, label<&AutonumDef::tag>},
};
constexpr StatementKind<AutonumDef> kAutonum{Kind::Autonum, u16<&AutonumDef::number>, kAutonumFields};

}  // namespace

// Reads one statement into the set (the friend of the set's storage).
class DataReader {
 public:
  static ResultCode statement(DataDictionary& set, GroupBuilder& groups, const Statement& st,
                              std::size_t& failed) {
    const auto read = [&](const auto& kind, auto& store) {
      return read_definition(st, failed, kind, store, groups);
    };
    failed = 0;
    switch (st.items[0].kw) {
      case Kw::POOL: return read(kPool, set.pools_);
      case Kw::FILE: return read(kFile, set.files_);
      case Kw::TAG: return read(kTag, set.tags_);
      case Kw::SUB: return read(kSub, set.subs_);
      case Kw::INDEX: return read(kIndex, set.indexes_);
      case Kw::TERM: return read(kTerm, set.terms_);
      case Kw::VIRT: return read(kVirt, set.virts_);
      case Kw::LINK: return read(kLink, set.links_);
      case Kw::TRANSL: return read(kTransl, set.transls_);
      case Kw::LINKTAG: return read(kLinkTag, set.linktags_);
      case Kw::DOUBLE: return read(kDouble, set.doubles_);
      case Kw::AUTONUM: return read(kAutonum, set.autonums_);
      default: return kWrongStatement;
    }
  }
};

ResultCode DataDictionary::load(const std::vector<std::string>& paths, ErrorOutput errors) {
  if (loaded_) return 0;
  GroupBuilder groups(groups_);
  const ResultCode rc = read_set(
      paths, errors, groups,
      [&](const Statement& st, std::size_t& failed) {
        return DataReader::statement(*this, groups, st, failed);
      },
      [&] { return complete(errors); });
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
    append(f.tags, b.list<TagDef>(f.tag, Kind::Tag, f.place, kFileEnd));
    f.index_tags();
    for (IndexDef* x : b.list<IndexDef>(f.index, Kind::Index, f.place, kFileEnd)) {
      if (x->file_number != 0) x->list_file = list_file(f, x->file_number);
      f.indexes.push_back(x);
    }
    for (LinkDef* l : b.list<LinkDef>(f.link, Kind::Link, f.place, kFileEnd)) {
      if (l->list_number != 0) l->list_file = list_file(f, l->list_number);
      f.links.push_back(l);
    }
    append(f.doubles, b.list<DoubleDef>(f.dbl, Kind::Double, f.place, kFileEnd));
    append(f.autonums, b.list<AutonumDef>(f.autonum, Kind::Autonum, f.place, kFileEnd));
  }
  for (TagDef& t : tags_) {
    if (t.sub.given()) append(t.subfields, b.named<SubfieldDef>(t.sub, Kind::Sub));
    if (t.virt.given()) t.virtual_field = b.first<VirtDef>(t.virt, Kind::Virt);
  }
  for (IndexDef& x : indexes_) {
    if (x.file.given()) x.list_file = b.first<FileDef>(x.file, Kind::File);
    if (x.term.given()) x.term_def = b.first<TermDef>(x.term, Kind::Term);
  }
  for (LinkDef& l : links_) {
    if (l.list.given()) l.list_file = b.first<FileDef>(l.list, Kind::File);
    if (l.tags.given()) append(l.elements, b.named<LinkTagDef>(l.tags, Kind::LinkTag));
  }
  for (DoubleDef& d : doubles_) append(d.tags, b.named<TagDef>(d.compares, Kind::Tag));
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

}  // namespace corvanta::dict
