// The keywords of the definition language: one table of 149 words, each an
// upper-case word followed by "=". A keyword's position in the table is its
// number. The list below is the single source of the enumeration and of the
// texts; keep its order.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace corvanta::dict {

// clang-format off
#define CORVANTA_DICTIONARY_KEYWORDS(X) \
  X(POOL) X(FILE) X(TAG) X(SUB) X(INDEX) X(TERM) X(TYPE) X(INDIC) \
  X(VIRT) X(MAX) X(DELIM) X(LINK) X(SOURCE) X(FILL) X(MAXLEN) X(MINLEN) \
  X(ALIGN) X(STOP) X(INDEXLEN) X(INDEXDAT) X(DATALEN) X(ITEMLEN) X(MAIN) X(FORM) \
  X(NOEX) X(LENG) X(TEXT) X(TRANSL) X(PATH) X(INDEXBUF) X(DATABUF) X(APPL) \
  X(VERSION) X(MAXSET) X(MAXLIST) X(LONG) X(DEFIN) X(NUMBER) X(DFORM) X(SUBSORT) \
  X(LIST) X(FULL) X(SORT) X(FAM) X(COLUMNS) X(CNT) X(COLUMN) X(ALPHA) \
  X(FONT) X(COLOR) X(WIDTH) X(HEAD) X(LOG) X(CMPFLD) X(CMPIND) X(CMPINDM) \
  X(NAME) X(CMPLEN) X(INDDEL) X(BEFORE) X(AFTER) X(COMPARE) X(INDPOS) X(INDTEXT) \
  X(INDTAB) X(INDMAIN) X(PRINT) X(PRINTFM) X(FIND) X(SCAN) X(DESTTAG) X(REFTAG) \
  X(DESTREC) X(LANG) X(UPDATE) X(PAGEHEAD) X(PAGEFOOT) X(RECHEAD) X(RECFOOT) X(COMMAND) \
  X(RECFORM) X(FONT2) X(COLOR2) X(DIRECT) X(SORT2) X(ITEMS) X(ORDER) X(DATEFORM) \
  X(TIMEFORM) X(SEQU) X(SEQTAG) X(LINKTAG) X(INFO) X(SCRIPT) X(DOUBLE) X(FOUND) \
  X(NOTFND) X(START) X(EXIST) X(LOCATE) X(NAMI) X(INDIC1) X(INDIC2) X(TAB) \
  X(ACCDIS) X(ACCINS) X(ACCUPD) X(ACCDEL) X(AUTONUM) X(CODE) X(BACK) X(MARGIN) \
  X(LAYOUT) X(OFFSET) X(ATTRIB) X(SUPPL) X(COUNT) X(ACTION) X(INCREM) X(KEY) \
  X(LAYOUTH) X(SUBLIB) X(PERIOD) X(REPORT) X(FORWARD) X(SIGN) X(PREFIX) X(USERPERM) \
  X(OLX) X(SUPPRESS) X(LIMIT) X(CASCADE) X(SETUP) X(FILTER) X(PRECISE) X(XTAG) \
  X(STYLE) X(TABNO) X(USERTAB) X(NFINDIC) X(CHARS) X(SUBDELIM) X(SUBLINK) X(PUBLISH) \
  X(FACET) X(PROC) X(SHELF) X(REFFORM) X(ELSE)
// clang-format on

enum class Kw : std::uint8_t {
#define CORVANTA_KW_ENUM(name) name,
  CORVANTA_DICTIONARY_KEYWORDS(CORVANTA_KW_ENUM)
#undef CORVANTA_KW_ENUM
};

inline constexpr std::size_t kKeywordCount = 149;

// The keyword's text, "=" included ("POOL=").
std::string_view keyword_text(Kw kw);

// The first keyword of the table that `text` begins with (exact case), or
// nullopt.
std::optional<Kw> match_keyword(std::string_view text);

}  // namespace corvanta::dict
