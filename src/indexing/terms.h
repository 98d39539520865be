// Index terms: how a field value becomes the keys of an index.
//
// One term generator serves indexing and retrieval, so that stored terms
// and query words are made alike. A value is made into terms by its data
// type:
//   CHAR, URL            words (below), then stop words
//   IDNR, LINK, DATE     4-byte pieces
//   NUMBER               9-byte pieces   } a piece starting 0x01 (negative)
//   type 3               5-byte pieces   } has every byte inverted
//   DATETIME             8-byte pieces
// A text value under a TYPE=YEAR term definition is first cut to its first
// run of exactly four digits; a value without one gives no term.
// With INDIC=YES every term gets a two-character prefix from the
// field's indicators ('_' where there is none).
//
// Words: the value is brought into NFC (a letter and its combining mark
// become the composed letter; text that is not UTF-8 stays as it is), every
// byte below 0x20 (line feed, tab...) becomes a blank, so it ends a word;
// then the value passes the term definition's character translation,
// which decides the index form of each character and may produce these
// control bytes:
//   0x00 dropped               0x05 the term is kept from stop words (K)
//   0x01 ends a word           0x06 a part-term mark (indexing, up to 9)
//   0x02 .. 0x03 skipped       0x08, 0x09 truncation marks (retrieval: T)
//   0x04 .. 0x04/0x03 skipped  0x03, 0x07 alone are kept
// A word reaching MAXLEN is cut there; one shorter than MINLEN is dropped;
// ALIGN= fills it with the FILL= character to MAXLEN (left or right).
//
// The term list has a fixed byte layout: per entry 2 bytes big-endian
// length (3 + term), 1 byte class (N normal, K kept, T truncation-marked,
// S stop word), the term. It holds at most its capacity (IdxBufLen) - 1
// bytes; an entry that would reach the capacity fails with -702.
//
// Stop words live in a record or data file of the pool: key = 2-byte stop
// list number and the term, blank-filled to the file's key length; data
// empty or one blank marks a stop word, other data is an additional term
// made beside the word.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "config/dictionary.h"
#include "dbm/dbm.h"
#include "util/result.h"

namespace corvanta::records {

class Translations;

inline constexpr std::int32_t kNoTermDefinition = -701;
inline constexpr std::int32_t kTermListFull = -702;

inline constexpr char kTermNormal = 'N';
inline constexpr char kTermKept = 'K';
inline constexpr char kTermTruncated = 'T';
inline constexpr char kTermStop = 'S';

// Modes of term generation.
enum class TermMode : char {
  Index = 'U',      // storing entries
  Search = 'S',     // a search string taken as one term
  Retrieval = 'R',  // query words
  Phrase = 'P',     // phrase words
};

class TermList {
 public:
  struct Entry {
    char cls;
    std::string term;
  };

  explicit TermList(std::size_t capacity) : capacity_(capacity) {}

  // Appends an entry: 0, or -702 when it would reach the capacity.
  ResultCode append(char cls, std::string_view term);
  void clear() {
    entries_.clear();
    bytes_ = 0;
  }
  std::vector<Entry>& entries() { return entries_; }
  const std::vector<Entry>& entries() const { return entries_; }
  // Removes the entries of class `cls`.
  void remove_class(char cls);
  // The list in its byte layout.
  std::string encode() const;

 private:
  std::size_t capacity_;
  std::size_t bytes_ = 0;
  std::vector<Entry> entries_;
};

// Stop word lookups remembered during one long run (INDEX): the result of
// stp_lookup and its additional term, by stop file, list and term.
using StopCache = std::unordered_map<std::string, std::pair<std::int32_t, std::string>>;

// Where terms come from besides the value: the pool (for stop words) and
// the character translations.
struct TermContext {
  dbm::Dbm* dbm = nullptr;  // null: no stop words
  std::string pool;
  const Translations* translations = nullptr;
  char escape = '\\';
  StopCache* stop_cache = nullptr;  // the caller's, while the stop file stays as it is
};

// Makes the terms of one value into `list` (emptied first): the number of
// terms, or -701 (no term definition), -702 (list full) or a failure of the
// stop word lookup. `indicators` are the field's (up to 2 characters),
// `type` the value's data type code.
ResultCode trm_generate(const TermContext& ctx, TermList& list, std::string_view indicators,
                        const dict::TermDef* term, TermMode mode, std::string_view value, std::uint8_t type);

// Undoes the key encoding of one term for display, cut to `capacity`.
std::string trm_display(std::string_view stored, const dict::TermDef& term, std::uint8_t type,
                        std::size_t capacity);

// 0 not a stop word, 1 a stop word, 2 an additional term (in `target`);
// negative on a failure of the pool.
ResultCode stp_lookup(dbm::Dbm& dbm, std::string_view pool, int stop_file, int stop_list,
                      std::string_view term, std::string& target);
// Stores a stop word (empty data) or additional term, not journalled.
ResultCode stp_add(dbm::Dbm& dbm, std::string_view pool, int stop_file, int stop_list, std::string_view term,
                   std::string_view data);

}  // namespace corvanta::records
