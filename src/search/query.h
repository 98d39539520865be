// The query language: search elements joined by AND, OR and NOT.
//
//   query    element { operator element }      operators " AND ", " OR ",
//   element  "(" query ")" | set | term         " NOT " (any case)
//   set      "SET" [blanks] "=" ["("] number    (any case; rest skipped)
//   term     [aspect [blanks]] [comparison] value [" < " value]
//
// An aspect is three characters before a comparison: three letters in a
// search (upper-cased), a tag with an optional "$" and subfield code in a
// filter. The comparison is a run of "=", "<", ">" and "(" with blanks
// between; the last of = < <= > >= counts and each "(" opens a parenthesis
// that the value may close. A term without an aspect keeps the aspect of
// the last element that had one; a bare value (no aspect, no comparison)
// takes aspect and comparison of the last element that had a comparison
// (at the start: no aspect and "="). A value starting with a double quote
// runs to the next single double quote, then on like any value: up to the
// next operator, " < ", or a ")" closing a parenthesis it may close. The
// quotes stay in the value.
//
// The operators have no precedence: elements combine from left to right,
// parentheses grouping. The parse fills node, term and set arrays of at
// most `max_elements` entries each (-505 beyond); syntax errors, unbalanced
// parentheses and set numbers below 1 give -506.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "util/result.h"

namespace corvanta::records {

inline constexpr std::int32_t kTooManyElements = -505;
inline constexpr std::int32_t kQuerySyntax = -506;

enum class Comparison : std::uint8_t { Equal = 0, Less = 1, LessEqual = 2, Greater = 3, GreaterEqual = 4 };
std::string_view comparison_text(Comparison c);

struct QueryTerm {
  std::string aspect;  // three characters (a filter: tag, "$" and code), may be empty
  Comparison comparison = Comparison::Equal;
  std::string value;
  std::string second;  // the range's upper value
  bool range = false;
};

struct QueryNode {
  char op = 'R';            // R first element, A AND, O OR, N NOT
  char kind = 'A';          // A term, Q sub-query, L set reference
  std::size_t payload = 0;  // term index, first node of the sub-query, or set index
  int next = -1;            // next node of the same level
};

struct ParsedQuery {
  std::vector<QueryNode> nodes;  // node 0 starts the top level
  std::vector<QueryTerm> terms;
  std::vector<std::uint32_t> sets;
};

// How a query is read: 'R' a query of a search, 'F' a filter's conditions
// (tags as aspects), 'I' or 'L' a single term (the whole text its value).
ResultCode qry_parse(char mode, std::string_view text, ParsedQuery& out, std::size_t max_elements);

}  // namespace corvanta::records
