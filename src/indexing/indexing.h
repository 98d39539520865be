// Index and link list generation: the entries a record contributes to the
// list files of its file's index and link definitions.
//
// Index entries: for every index definition of the file, every value its
// SOURCE= selects becomes terms (terms.h, mode U); each term of class N
// gives the key PREFIX= + term (cut to, or filled with zero bytes to, the
// list file's key length) with the record's IDN as item. NFINDIC= names the
// indicator whose digit counts leading characters to skip. An IDLIST term
// definition makes one key per record instead: the 4-byte values the
// source selects, at most 25 (100 bytes), zero-filled to MAXLEN=.
// OFFSET= and LENG= cut each value of the SOURCE= element to a part (the
// positions of a control field). When SOURCE= gives the record no entry,
// the ELSE= elements are tried in order and the first that gives one gives
// all of the record's entries of the index.
//
// Link entries: for every active element of every link definition with a
// list file, each occurrence of the element's IDN field or subfield gives
// the key target IDN (4 bytes) followed by a sort part when the list file's
// keys are longer: with key length 8 the 4 internal bytes of the element's
// SORT= value, with 9 up to 5 of them, with 20 the first 16 bytes of its
// text (all zero-filled); the item is the record's own IDN.
//
// The operation letter says how entries are written: I (LISTINS), L
// (LISTLOAD, not journalled) or D (LISTDEL). The first negative result ends
// the generation; entries written before it stay.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "config/dictionary.h"
#include "indexing/terms.h"
#include "records/record.h"
#include "util/result.h"

namespace corvanta::records {

struct IndexContext {
  TermContext terms;                // the pool, its dbm and translations
  std::size_t term_buffer = 10000;  // IdxBufLen
};

// One entry of a list file: the key, cut to or filled with zero bytes to
// the file's key length.
struct ListEntry {
  int file;
  std::string key;
};
using ListEntries = std::vector<ListEntry>;

// The entries a record gives, without writing anything: a failure (such as
// -702) leaves the pool untouched.
ResultCode idx_entries(const IndexContext& ctx, const dict::FileDef& file, RecordHandle& record,
                       ListEntries& out, const std::vector<std::uint8_t>* selection = nullptr);
ResultCode lnk_entries(const IndexContext& ctx, const dict::FileDef& file, RecordHandle& record,
                       ListEntries& out);
// Writes entries with the record's IDN as item by LISTINS (I), LISTLOAD (L)
// or LISTDEL (D); the first failure ends it.
ResultCode write_entries(const IndexContext& ctx, const ListEntries& entries, std::uint32_t idn, char op);

// Entries made and written. `selection`, when given, holds a flag per index
// number (1..999): only the flagged index definitions are generated.
ResultCode idx_generate(const IndexContext& ctx, const dict::FileDef& file, RecordHandle& record, char op,
                        const std::vector<std::uint8_t>* selection = nullptr);
ResultCode lnk_generate(const IndexContext& ctx, const dict::FileDef& file, RecordHandle& record, char op);

// The list file an index or link definition writes (its number; 0: none)
// and that file's key length (4 when only a number was given).
int list_file_of(const dict::IndexDef& index);
int list_file_of(const dict::LinkDef& link);
std::size_t list_key_length(const dict::IndexDef& index);
std::size_t list_key_length(const dict::LinkDef& link);

// The walk element of a definition's element in `file`; its tag is null
// when the file does not define the tag (or the subfield).
WalkElement walk_element(const dict::FileDef& file, const dict::Element& element);
// The value type of an index's SOURCE= (CHAR when the file does not define it).
dict::ValueType source_type(const dict::FileDef& file, const dict::IndexDef& index);

// Appends the IDNs (low 24 bits of each 4-byte item) of the list entry that
// a READ, SET, GET or PREV just gave (`rc` its result, `value` the first
// part in `buffer`), reading the entry's continuation to its end.
ResultCode take_list_items(dbm::Dbm& dbm, const std::string& pool, int file, ResultCode rc,
                           std::vector<unsigned char>& buffer, dbm::DataRef& value, dbm::Continuation& cont,
                           std::vector<std::uint32_t>& out);

}  // namespace corvanta::records
