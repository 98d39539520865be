// The application dictionary: its statements and their completion.
#include "config/dict_build.h"
#include "config/dictionary.h"

namespace corvanta::dict {
namespace {

using namespace build;

// INFO='NAME=VALUE': a property of the pool.
ItemResult pool_property(AppPoolDef& p, std::string_view v) {
  const std::string property = value_name(v, kMaxText);
  const std::size_t eq = property.find('=');
  if (eq == std::string::npos || eq == 0) return kWrongKeyword;
  p.properties.emplace_back(property.substr(0, eq), property.substr(eq + 1));
  return kItemOk;
}

// The long name is the name unless given.
ResultCode finish_pool(AppPoolDef& p, const Statement&, std::size_t&) {
  if (p.long_name.empty()) p.long_name = p.name;
  return 0;
}

constexpr Field<AppPoolDef> kPoolFields[] = {
    {Kw::LONG, name<&AppPoolDef::long_name, kMaxText>},
    {Kw::DEFIN, name<&AppPoolDef::defin, kMaxLabel>},
    {Kw::FILE, label<&AppPoolDef::files>},
    {Kw::SCRIPT, label<&AppPoolDef::scripts>},
    {Kw::NAMI, label<&AppPoolDef::namis>},
    {Kw::COUNT, label<&AppPoolDef::counts>},
    {Kw::MAXLIST, u16<&AppPoolDef::max_list>},
    {Kw::DATEFORM, u16<&AppPoolDef::date_form>},
    {Kw::TIMEFORM, u16<&AppPoolDef::time_form>},
    {Kw::INFO, pool_property},
};
constexpr StatementKind<AppPoolDef> kAppPool{Kind::AppPool, name<&AppPoolDef::name, kMaxPoolName, true>,
                                             kPoolFields, finish_pool};

// FILE=NAME: the code is the name's first three characters unless NAME= says.
ItemResult file_name(AppFileDef& f, std::string_view v) {
  if (name<&AppFileDef::name, kMaxFileName, true>(f, v) != kItemOk) return kWrongKeyword;
  f.code = f.name.substr(0, 3);
  return kItemOk;
}

ItemResult file_order(AppFileDef& f, std::string_view v) {
  const auto sorted = value_yes_no(v);
  if (!sorted) return kWrongKeyword;
  f.order = *sorted ? 'Y' : 'N';
  return kItemOk;
}

constexpr Field<AppFileDef> kFileFields[] = {
    {Kw::NAME, name<&AppFileDef::code, 3>},
    {Kw::NUMBER, u16<&AppFileDef::number>},
    {Kw::LONG, name<&AppFileDef::long_name, kMaxText>},
    {Kw::ORDER, file_order},
    {Kw::SCAN, name<&AppFileDef::scan_form, kMaxFormName>},
    {Kw::FILTER, name<&AppFileDef::filter, kMaxText>},
    {Kw::TAG, label<&AppFileDef::tags>},
    {Kw::INDEX, label<&AppFileDef::aspects>},
    {Kw::LINK, label<&AppFileDef::links>},
    {Kw::FORM, label<&AppFileDef::forms>},
    {Kw::COLUMNS, label<&AppFileDef::columns>},
    {Kw::LAYOUT, label<&AppFileDef::layouts>},
    {Kw::LOCATE, label<&AppFileDef::locates>},
};
constexpr StatementKind<AppFileDef> kAppFile{Kind::AppFile, file_name, kFileFields};

ItemResult tag_name(AppTagDef& t, std::string_view v) {
  std::uint16_t unused = 0;
  const auto name = value_tag(trim_blanks(v), 3, unused);
  if (!name) return kWrongKeyword;
  t.tag = *name;
  return kItemOk;
}

constexpr Field<AppTagDef> kTagFields[] = {
    {Kw::TEXT, name<&AppTagDef::text, kMaxText>},
    {Kw::LENG, u16<&AppTagDef::length>},
};
constexpr StatementKind<AppTagDef> kAppTag{Kind::AppTag, tag_name, kTagFields};

constexpr Field<AspectDef> kAspectFields[] = {
    {Kw::NUMBER, u16<&AspectDef::index>},
    {Kw::CODE, name<&AspectDef::code_table, kMaxLabel>},
    {Kw::FILE, name<&AspectDef::file, kMaxFileName>},
    {Kw::LINK, u16<&AspectDef::link>},
    {Kw::TEXT, name<&AspectDef::aspect, 3>},
    {Kw::FAM, name<&AspectDef::group, kMaxLabel>},
    {Kw::FULL, yes_no<&AspectDef::collective>},
    {Kw::LIST, yes_no<&AspectDef::word_wise>},
};
constexpr StatementKind<AspectDef> kAspect{Kind::Aspect, name<&AspectDef::name, 3, true>, kAspectFields};

constexpr Field<AppLinkDef> kLinkFields[] = {{Kw::FORM, name<&AppLinkDef::form, kMaxFormName>}};
constexpr StatementKind<AppLinkDef> kAppLink{Kind::AppLink, u16<&AppLinkDef::number>, kLinkFields};

// LINK=1+2: each number a link of the data dictionary.
ItemResult form_links(FormDef& f, std::string_view rest) {
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

constexpr Field<FormDef> kFormFields[] = {
    {Kw::TYPE, character<&FormDef::type>},
    {Kw::STYLE, name<&FormDef::style, kMaxFormName>},
    {Kw::TEXT, name<&FormDef::text, kMaxText>},
    {Kw::PATH, name<&FormDef::path, kMaxPath>},
    {Kw::RECHEAD, name<&FormDef::leading, kMaxPath>},
    {Kw::RECFOOT, name<&FormDef::trailing, kMaxPath>},
    {Kw::PAGEHEAD, name<&FormDef::list_head, kMaxPath>},
    {Kw::PAGEFOOT, name<&FormDef::list_foot, kMaxPath>},
    {Kw::HEAD, yes_no<&FormDef::head>},
    {Kw::COMMAND, name<&FormDef::program, kMaxPath>},
    {Kw::LINK, form_links},
    {Kw::COLUMNS, label<&FormDef::columns>},
    {Kw::INDEX, u16<&FormDef::sort_index>},
};
constexpr StatementKind<FormDef> kForm{Kind::Form, name<&FormDef::name, kMaxFormName, true>, kFormFields};

// WIDTH= is a percentage of the screen line.
ItemResult column_width(ColumnDef& c, std::string_view v) {
  const std::uint16_t w = value_u16(v);
  if (w > 100) return kWrongKeyword;
  c.width = w;
  return kItemOk;
}

constexpr Field<ColumnDef> kColumnFields[] = {
    {Kw::SIGN, character<&ColumnDef::row_type>},
    {Kw::ATTRIB, character<&ColumnDef::attribute>},
    {Kw::CODE, name<&ColumnDef::code2, 2>},
    {Kw::NAME, name<&ColumnDef::code3, 3>},
    {Kw::WIDTH, column_width},
    {Kw::TYPE, word<&ColumnDef::type, 10>},
    {Kw::TEXT, name<&ColumnDef::text, kMaxText>},
};
constexpr StatementKind<ColumnDef> kColumn{Kind::Column, u16<&ColumnDef::number>, kColumnFields};

// The small named definitions: scripts, search and lookup definitions,
// layouts and counters.
template <typename Def>
constexpr Setter<Def> kNamed = name<&Def::name, kMaxFormName, true>;

constexpr Field<ScriptDef> kScriptFields[] = {{Kw::PATH, name<&ScriptDef::path, kMaxPath>}};
constexpr StatementKind<ScriptDef> kScript{Kind::Script, kNamed<ScriptDef>, kScriptFields};

constexpr Field<LocateDef> kLocateFields[] = {
    {Kw::FILE, name<&LocateDef::file, kMaxFileName>},
    {Kw::INDEX, name<&LocateDef::aspect, 3>},
    {Kw::LIMIT, u16<&LocateDef::limit>},
};
constexpr StatementKind<LocateDef> kLocate{Kind::Locate, kNamed<LocateDef>, kLocateFields};

constexpr Field<NamiDef> kNamiFields[] = {
    {Kw::FILE, name<&NamiDef::file, kMaxFileName>},
    {Kw::INDEX, name<&NamiDef::aspect, 3>},
    {Kw::TAG, name<&NamiDef::tag, 3>},
};
constexpr StatementKind<NamiDef> kNami{Kind::Nami, kNamed<NamiDef>, kNamiFields};

constexpr Field<LayoutDef> kLayoutFields[] = {
    {Kw::FORM, name<&LayoutDef::form, kMaxFormName>},
    {Kw::PATH, name<&LayoutDef::path, kMaxPath>},
};
constexpr StatementKind<LayoutDef> kLayout{Kind::Layout, kNamed<LayoutDef>, kLayoutFields};

constexpr Field<CountDef> kCountFields[] = {
    {Kw::FILE, name<&CountDef::file, kMaxFileName>},
    {Kw::INDEX, name<&CountDef::aspect, 3>},
    {Kw::TEXT, name<&CountDef::text, kMaxText>},
};
constexpr StatementKind<CountDef> kCount{Kind::Count, kNamed<CountDef>, kCountFields};

}  // namespace

// Reads one statement into the set (the friend of the set's storage).
class ApplReader {
 public:
  // An INDIC= line at the start of a statement has no handler here; it is
  // skipped like a line without a keyword.
  static ResultCode statement(ApplDictionary& set, GroupBuilder& groups, const Statement& st,
                              std::size_t& failed) {
    const auto read = [&](const auto& kind, auto& store) {
      return read_definition(st, failed, kind, store, groups);
    };
    failed = 0;
    switch (st.items[0].kw) {
      case Kw::POOL: return read(kAppPool, set.pools_);
      case Kw::FILE: return read(kAppFile, set.files_);
      case Kw::TAG: return read(kAppTag, set.tags_);
      case Kw::INDEX: return read(kAspect, set.aspects_);
      case Kw::LINK: return read(kAppLink, set.links_);
      case Kw::FORM: return read(kForm, set.forms_);
      case Kw::COLUMN: return read(kColumn, set.columns_);
      case Kw::SCRIPT: return read(kScript, set.scripts_);
      case Kw::LOCATE: return read(kLocate, set.locates_);
      case Kw::NAMI: return read(kNami, set.namis_);
      case Kw::LAYOUT: return read(kLayout, set.layouts_);
      case Kw::COUNT: return read(kCount, set.counts_);
      case Kw::INDIC: return 0;
      default: return kWrongStatement;
    }
  }
};

ResultCode ApplDictionary::load(const std::vector<std::string>& paths, const DataDictionary& data,
                                ErrorOutput errors) {
  if (!data.loaded()) return kMissingArgument;
  if (loaded_) return 0;
  GroupBuilder groups(groups_);
  const ResultCode rc = read_set(
      paths, errors, groups,
      [&](const Statement& st, std::size_t& failed) {
        return ApplReader::statement(*this, groups, st, failed);
      },
      [&] { return complete(data, errors); });
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
    append(p.script_defs, b.named<ScriptDef>(p.scripts, Kind::Script));
    append(p.nami_defs, b.named<NamiDef>(p.namis, Kind::Nami));
    append(p.count_defs, b.named<CountDef>(p.counts, Kind::Count));
  }
  const std::vector<Kind> kFileEnd = {Kind::AppFile, Kind::AppPool};
  for (AppFileDef& f : files_) {
    append(f.tag_defs, b.list<AppTagDef>(f.tags, Kind::AppTag, f.place, kFileEnd));
    append(f.aspect_defs, b.list<AspectDef>(f.aspects, Kind::Aspect, f.place, kFileEnd));
    append(f.link_defs, b.list<AppLinkDef>(f.links, Kind::AppLink, f.place, kFileEnd));
    append(f.form_defs, b.list<FormDef>(f.forms, Kind::Form, f.place, kFileEnd));
    append(f.column_defs, b.list<ColumnDef>(f.columns, Kind::Column, f.place, kFileEnd));
    append(f.layout_defs, b.list<LayoutDef>(f.layouts, Kind::Layout, f.place, kFileEnd));
    append(f.locate_defs, b.list<LocateDef>(f.locates, Kind::Locate, f.place, kFileEnd));
  }
  for (FormDef& f : forms_) append(f.column_defs, b.named<ColumnDef>(f.columns, Kind::Column));
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
