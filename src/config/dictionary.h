// Pool definitions: what the data and application dictionaries declare.
//
// Data dictionaries declare the pools with their files, tags, subfields,
// indexes, index terms, virtual fields, links, character translations, link
// tags, duplicate checks and automatic numbering. Application dictionaries
// declare, for the same pools, how commands find and present them: the
// pool's command name, its files by name, aspects (search keys), link
// displays, forms, display columns, scripts, search and lookup definitions,
// layouts and counters.
//
// Definitions are grouped by labels: a label line "(NAME)" starts a group,
// and a definition names another group by its label (the TAG= item of a
// FILE= statement names the group of the file's tag definitions, and so on).
// A POOL= statement also starts a group of its own, so that the statements
// written directly after it belong to it. References are bound when all
// files of a kind have been read (see DictionarySet::complete).
//
// This header holds the records and the finished sets with their lookups;
// dict_data.cc and dict_appl.cc read the files, each kind of statement by
// its table (dict_build.h). A set is built once at start-up and
// read-only afterwards; pointers between records stay valid for the set's
// lifetime.
#pragma once

#include <cstdint>
#include <cstdio>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "util/result.h"

namespace corvanta::dict {

// Result codes of the dictionaries.
inline constexpr std::int32_t kOutOfMemory = -141;
inline constexpr std::int32_t kMissingArgument = -142;  // also: data dictionaries not loaded
inline constexpr std::int32_t kCannotOpen = -143;
inline constexpr std::int32_t kWrongStatement = -144;  // a statement kind the dictionary does not have
inline constexpr std::int32_t kWrongKeyword = -145;    // a keyword or value the statement does not accept
inline constexpr std::int32_t kUndefinedLabel = -146;
inline constexpr std::int32_t kTooManyFiles = -148;  // more dictionary files than the service takes

inline constexpr std::size_t kMaxDictionaryFiles = 49;
inline constexpr std::size_t kMaxLabel = 11;
inline constexpr std::uint8_t kAllAccess = 255;

// Where a statement stands: its group and its position in the group.
struct Place {
  int group = -1;
  std::size_t entry = 0;
};

// A reference to a label; `group` is bound by completion (-1: unbound).
struct LabelRef {
  std::string name;
  int group = -1;
  bool given() const { return !name.empty(); }
};

// A field or subfield of a record: the tag, optional indicators, field
// occurrence, subfield code and its occurrence (occurrences 0 = all).
// parse_element reads it in the grammar of config/field_address.h, blanks
// around it dropped; a subfield code has one character here.
struct Element {
  std::string tag;
  std::string indicators;
  std::uint16_t field_occurrence = 0;
  char subfield = 0;
  std::uint16_t subfield_occurrence = 0;
};
std::optional<Element> parse_element(std::string_view text);

// The TYPE= of a tag or subfield.
struct ValueType {
  std::uint8_t code = 1;  // CHAR 1, IDNR/LINK 2, MAIN 0, NUMBER 4, DATE 5, DATETIME 6, URL 7
  std::uint16_t length = 0;
  std::uint8_t decimals = 0;
  bool link = false;  // LINK
  bool main = false;  // MAIN: the field's content is its subfields
  bool year = false;  // YEAR: text like CHAR
};

// ---------------------------------------------------------------------------
// Data dictionary records.

struct SubfieldDef {
  char code = 0;
  std::uint16_t max_occurrence = 1;
  ValueType type;
};

struct VirtDef;

struct TagDef {
  std::string tag;  // three characters
  std::uint16_t max_occurrence = 1;
  LabelRef sub;   // subfield definitions; given: the tag has subfields
  LabelRef virt;  // virtual field definition; given: the tag is virtual
  ValueType type;
  bool indicators = false;
  char delimiter = 0;
  std::string indicator1_values;
  std::string indicator2_values;

  std::vector<const SubfieldDef*> subfields;  // bound
  const VirtDef* virtual_field = nullptr;     // bound
  const SubfieldDef* find_subfield(char code) const;
};

inline constexpr std::uint16_t kMaxTermLength = 240;  // MAXLEN= is never more

// YEAR: as ASCII, from the value's first run of exactly four digits only.
// ISBN: as ASCII, from the value's first ISBN (10 or 13 digits, the last
// of ten may be X; hyphens and blanks between them left out) when it has
// one ("ISBN 3-518-07941-7 kart." gives "3518079417").
enum class TermType : char { Ascii = 'A', Binary = 'B', Sort = 'S', IdList = 'I', Year = 'Y', Isbn = 'N' };
enum class Align : char { None = ' ', Left = 'L', Right = 'R' };

struct TermDef {
  std::uint16_t number = 0;
  TermType type = TermType::Ascii;
  bool indicators = false;
  std::uint16_t min_length = 1;
  std::uint16_t max_length = 240;  // never more than 240
  char fill = ' ';
  Align align = Align::None;
  std::uint16_t stop_file = 0;
  std::uint16_t stop_list = 0;
  std::string translation;
  std::uint16_t max = 200;
};

struct FileDef;

struct IndexDef {
  std::uint16_t number = 0;
  LabelRef file;                  // the group of the list file that holds the index,
  std::uint16_t file_number = 0;  // or the list file's number in the pool
  LabelRef term;                  // the group of the term definition
  Element source;
  // OFFSET=, LENG=: the part of the SOURCE= field's content indexed
  // (positions from 0; LENG=0: to the end).
  std::uint16_t offset = 0;
  std::uint16_t length = 0;
  // ELSE=: further sources in order; the first source that gives the
  // record a term gives all of its terms of the index.
  std::vector<Element> fallbacks;
  std::string prefix;
  char nonfiling_indicator = 0;  // '1' or '2'

  const FileDef* list_file = nullptr;  // bound
  const TermDef* term_def = nullptr;   // bound
};

struct VirtDef {
  std::string name;
  ValueType type;
  Element source;
  std::string script;
};

// One element of a link: the field or subfield that holds the target's IDN
// and the one that holds a text naming the target.
struct LinkTagDef {
  Element idn;
  Element text;
  std::string subfield_codes;  // SUBLINK=: codes copied from the target
  bool inactive = false;       // NOEX=YES: not completed from the target
  Element sort;                // SORT=: the sort part of the link's list keys
};

struct LinkDef {
  std::uint16_t number = 0;
  std::string name;               // NAME=, three characters ("ADR", "MEX")
  std::uint16_t target_file = 0;  // FILE=: file number of the records linked to
  LabelRef list;                  // LIST=: group of the list file of the link,
  std::uint16_t list_number = 0;  // or the list file's number in the pool
  LabelRef tags;                  // LINKTAG=: group of the link's elements
  std::string search;             // LOCATE=: search definition for link texts
  bool tolerant = false;          // SUPPRESS=YES: no messages
  bool create_target = false;     // CASCADE=YES: a missing target may be made
  Element source;                 // SOURCE=: what completion copies from the target

  const FileDef* list_file = nullptr;       // bound
  std::vector<const LinkTagDef*> elements;  // bound
};

struct TranslDef {
  std::string name;  // at most 11 characters
  std::string path;  // at most 100 characters
  char type = ' ';   // 'U' UTF8, ' ' ANY
};

struct DoubleDef {
  LabelRef compares;
  bool subfields = false;
  bool indicators = false;
  char found = 0;                   // 'C' COMPARE, 'T' TERMS, 'Y' YES, 0 none
  char not_found = 'C';             // 'C' CONTINUE, 'N' NO
  bool fallback = false;            // ELSE=YES: only when no earlier key applied
  std::vector<const TagDef*> tags;  // bound: the tags compared
};

struct AutonumDef {
  std::uint16_t number = 0;  // the numbering group
  std::uint16_t file = 0;    // file number of the counters
  LabelRef tag;
  const TagDef* tag_def = nullptr;  // bound
};

enum class Organisation : char { Record = 'R', Data = 'D', List = 'L' };
enum class Role : char { Main = 'M', Normal = 'N', Sub = 'S' };

struct FileDef {
  Place place;
  std::uint16_t number = 0;
  LabelRef tag, index, link, dbl, autonum;
  Organisation organisation = Organisation::Record;
  Role role = Role::Normal;
  std::uint16_t index_length = 4;
  bool fixed_keys = true;
  std::uint16_t index_data_length = 1;
  std::uint32_t data_length = 10000;
  bool fixed_data = false;
  std::uint16_t item_length = 0;
  std::uint16_t main_file = 0;
  std::uint8_t access_display = kAllAccess;
  std::uint8_t access_insert = kAllAccess;
  std::uint8_t access_update = kAllAccess;
  std::uint8_t access_delete = kAllAccess;

  // Bound by completion.
  std::vector<const TagDef*> tags;
  std::vector<const IndexDef*> indexes;
  std::vector<const LinkDef*> links;
  std::vector<const DoubleDef*> doubles;
  std::vector<const AutonumDef*> autonums;
  mutable bool bibliographic = false;  // marked at start-up from the BIBLS property
  std::vector<std::pair<std::uint32_t, const TagDef*>> tag_lookup;  // by packed tag, see index_tags()

  const TagDef* find_tag(std::string_view tag) const;
  // Sorts the tags into the lookup find_tag uses (after binding; a file
  // whose tags changed since is searched one by one).
  void index_tags();
  const LinkDef* find_link(std::uint16_t number) const;
  const LinkDef* find_link(std::string_view name) const;
  const IndexDef* find_index(std::uint16_t number) const;
};

struct PoolDef {
  Place place;
  std::string name;  // at most 10 characters
  LabelRef files;
  LabelRef code;
  std::uint16_t index_buffers = 0;
  std::uint16_t data_buffers = 0;
  std::uint16_t user_permissions = 0;  // file number of the users' profile index
  std::uint16_t sublib = 0;
  std::uint16_t setup = 0;  // file number of the setup tables
  std::uint16_t period = 0;
  std::uint16_t user_table = 0;
  std::uint16_t publish = 0;
  std::uint16_t shelf = 0;
  std::uint8_t access_display = kAllAccess;
  std::uint8_t access_insert = kAllAccess;
  std::uint8_t access_update = kAllAccess;
  std::uint8_t access_delete = kAllAccess;

  std::vector<FileDef*> file_defs;  // bound
  const FileDef* find_file(std::uint16_t number) const;
};

// ---------------------------------------------------------------------------
// Application dictionary records.

struct AppTagDef {
  std::string tag;
  std::string text;  // label text shown to users
  std::uint16_t length = 0;
};

// An aspect: a search key of a file (three letters such as TIT, AUT, DDT).
struct AspectDef {
  std::string name;
  std::uint16_t index = 0;  // NUMBER=: the data dictionary index searched
  std::string code_table;   // CODE=
  std::string file;         // FILE=: another file of the pool (linked aspect)
  std::uint16_t link = 0;   // LINK=: link of that file
  std::string aspect;       // TEXT=: aspect name searched in that file
  std::string group;        // FAM=
  bool collective = false;  // FULL=YES: search the whole group
  bool word_wise = false;   // LIST=YES: split the value into words
};

struct AppLinkDef {
  std::uint16_t number = 0;  // the data dictionary link
  std::string form;          // display format for the linked record
};

// Display columns: what result rows carry of a display definition.
struct ColumnDef {
  std::uint16_t number = 0;
  char row_type = 'U';        // SIGN=
  char attribute = 'U';       // ATTRIB=
  std::string code2 = "01";   // CODE=
  std::string code3 = "C01";  // NAME=
  std::uint16_t width = 100;  // WIDTH=, percent of the screen line
  std::string type;           // TYPE=: "BMP" for pictures
  std::string text;           // TEXT=: heading
};

// Forms: output formats ("DEFAULT-1"), print forms, sort and scan formats.
struct FormDef {
  std::string name;
  char type = 0;                 // TYPE=: print form type letter P, X or H
  std::string style;             // STYLE=
  std::string text;              // TEXT=: display text (of a sort definition)
  std::string path;              // PATH=: the form's layout file
  std::uint16_t sort_index = 0;  // INDEX=: a sort form's text becomes a term of that index
  // Print forms: the parts around a record and of a list, each a layout
  // file; the header flag; the program the client runs on the document;
  // the data dictionary links whose records follow the record.
  std::string leading;                        // RECHEAD=
  std::string trailing;                       // RECFOOT=
  std::string list_head;                      // PAGEHEAD=
  std::string list_foot;                      // PAGEFOOT=
  bool head = false;                          // HEAD=YES: the header texts come first
  std::string program;                        // COMMAND=
  std::vector<std::uint16_t> links;           // LINK=: numbers joined by "+"
  LabelRef columns;                           // COLUMNS=
  std::vector<const ColumnDef*> column_defs;  // bound
};

struct ScriptDef {
  std::string name;  // SCRIPT=: procedure name ("COMPL", "CHECK")
  std::string path;  // PATH=
};

struct LocateDef {
  std::string name;    // LOCATE=
  std::string file;    // FILE=
  std::string aspect;  // INDEX=
  std::uint16_t limit = 0;
};

struct NamiDef {
  std::string name;    // NAMI=
  std::string file;    // FILE=
  std::string aspect;  // INDEX=
  std::string tag;     // TAG=
};

struct LayoutDef {
  std::string name;  // LAYOUT=
  std::string form;  // FORM=
  std::string path;  // PATH=
};

struct CountDef {
  std::string name;    // COUNT=
  std::string file;    // FILE=
  std::string aspect;  // INDEX=
  std::string text;    // TEXT=
};

struct AppFileDef {
  Place place;
  std::string name;          // FILE=, at most 5 characters ("BIBLS", "LOANS")
  std::string code;          // NAME=, the three-character code (default: the name's first three)
  std::uint16_t number = 0;  // NUMBER=: the data dictionary file
  std::string long_name;     // LONG=
  char order = 'N';          // ORDER=: 'Y' keeps subfields sorted
  std::string scan_form;     // SCAN=: the form of term browsing rows
  std::string filter;        // FILTER=: a query every search of the file is narrowed by
  LabelRef tags, aspects, links, forms, columns, layouts, locates;

  const FileDef* data = nullptr;  // bound
  std::vector<const AppTagDef*> tag_defs;
  std::vector<const AspectDef*> aspect_defs;
  std::vector<const AppLinkDef*> link_defs;
  std::vector<const FormDef*> form_defs;
  std::vector<const ColumnDef*> column_defs;
  std::vector<const LayoutDef*> layout_defs;
  std::vector<const LocateDef*> locate_defs;

  const AspectDef* find_aspect(std::string_view name) const;
  const FormDef* find_form(std::string_view name) const;
};

struct AppPoolDef {
  Place place;
  std::string name;       // POOL=: the name commands use
  std::string long_name;  // LONG=, default the name
  std::string defin;      // DEFIN=: the data dictionary pool, at most 11 characters
  LabelRef files, scripts, namis, counts;
  std::uint16_t max_list = 0;
  std::uint16_t date_form = 1;
  std::uint16_t time_form = 1;
  std::vector<std::pair<std::string, std::string>> properties;  // INFO='NAME=VALUE'

  const PoolDef* data = nullptr;  // bound
  std::vector<AppFileDef*> file_defs;
  std::vector<const ScriptDef*> script_defs;
  std::vector<const NamiDef*> nami_defs;
  std::vector<const CountDef*> count_defs;
};

// ---------------------------------------------------------------------------
// The sets.

enum class Kind : std::uint8_t {
  // data dictionary
  Pool,
  File,
  Tag,
  Sub,
  Index,
  Term,
  Virt,
  Link,
  Transl,
  LinkTag,
  Double,
  Autonum,
  // application dictionary
  AppPool,
  AppFile,
  AppTag,
  Aspect,
  AppLink,
  Form,
  Column,
  Script,
  Locate,
  Nami,
  Layout,
  Count,
};

// The definitions that follow one label (or one POOL= statement), in order.
struct Group {
  std::string label;  // empty for the group of a POOL= statement
  std::string file;   // where the label stands, for messages
  long line = 0;
  std::vector<std::pair<Kind, void*>> entries;
};

// Where errors are printed while a set is read; nullptr: not printed (the
// first error then ends the loading).
struct ErrorOutput {
  std::FILE* stream = nullptr;
};

class DataDictionary {
 public:
  DataDictionary() = default;
  DataDictionary(const DataDictionary&) = delete;
  DataDictionary& operator=(const DataDictionary&) = delete;

  // Reads the files in order and completes the set. A set that is loaded
  // already is left alone (0). On failure the set is emptied again.
  ResultCode load(const std::vector<std::string>& paths, ErrorOutput errors);
  void release();
  bool loaded() const { return loaded_; }

  const std::deque<PoolDef>& pools() const { return pools_; }
  const std::deque<TranslDef>& translations() const { return transls_; }
  const PoolDef* find_pool(std::string_view name) const;

 private:
  friend class DataReader;
  ResultCode complete(ErrorOutput errors);

  bool loaded_ = false;
  std::vector<Group> groups_;
  std::deque<PoolDef> pools_;
  std::deque<FileDef> files_;
  std::deque<TagDef> tags_;
  std::deque<SubfieldDef> subs_;
  std::deque<IndexDef> indexes_;
  std::deque<TermDef> terms_;
  std::deque<VirtDef> virts_;
  std::deque<LinkDef> links_;
  std::deque<TranslDef> transls_;
  std::deque<LinkTagDef> linktags_;
  std::deque<DoubleDef> doubles_;
  std::deque<AutonumDef> autonums_;
};

class ApplDictionary {
 public:
  ApplDictionary() = default;
  ApplDictionary(const ApplDictionary&) = delete;
  ApplDictionary& operator=(const ApplDictionary&) = delete;

  // Needs the loaded data dictionaries (-142 otherwise).
  ResultCode load(const std::vector<std::string>& paths, const DataDictionary& data, ErrorOutput errors);
  void release();
  bool loaded() const { return loaded_; }

  const std::deque<AppPoolDef>& pools() const { return pools_; }
  const std::deque<FormDef>& forms() const { return forms_; }
  // The pool of that name (exact case); the first pool for an empty name.
  const AppPoolDef* find_pool(std::string_view name) const;
  // The file of that name or three-character code (exact case).
  static const AppFileDef* find_file(const AppPoolDef& pool, std::string_view name);
  // A property of the pool (INFO='NAME=VALUE'), or nullopt.
  static std::optional<std::string> pool_property(const AppPoolDef& pool, std::string_view name);
  // The display column of that number in any file of any pool, or nullptr.
  const ColumnDef* display_definition(std::uint16_t number) const;

 private:
  friend class ApplReader;
  ResultCode complete(const DataDictionary& data, ErrorOutput errors);

  bool loaded_ = false;
  std::vector<Group> groups_;
  std::deque<AppPoolDef> pools_;
  std::deque<AppFileDef> files_;
  std::deque<AppTagDef> tags_;
  std::deque<AspectDef> aspects_;
  std::deque<AppLinkDef> links_;
  std::deque<FormDef> forms_;
  std::deque<ColumnDef> columns_;
  std::deque<ScriptDef> scripts_;
  std::deque<LocateDef> locates_;
  std::deque<NamiDef> namis_;
  std::deque<LayoutDef> layouts_;
  std::deque<CountDef> counts_;
};

// Marks, for every application pool whose property BIBLS names a file, that
// file's data definition as bibliographic.
void mark_bibliographic_files(ApplDictionary& appl);

}  // namespace corvanta::dict
