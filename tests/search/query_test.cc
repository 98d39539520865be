// The query language's parse: what each element becomes, and the texts it
// refuses.
#include "search/query.h"

#include <gtest/gtest.h>

#include <string>

#include "search/retrieval.h"

namespace corvanta::records {
namespace {

// The parse written back in one line: "op kind(aspect cmp value[<second])".
std::string shape(const ParsedQuery& q, int node = 0) {
  std::string out;
  for (int n = node; n >= 0; n = q.nodes[static_cast<std::size_t>(n)].next) {
    const QueryNode& qn = q.nodes[static_cast<std::size_t>(n)];
    out += qn.op;
    if (qn.kind == 'Q') {
      out += "(" + shape(q, static_cast<int>(qn.payload)) + ")";
    } else if (qn.kind == 'L') {
      out += "SET" + std::to_string(q.sets[qn.payload]);
    } else {
      const QueryTerm& t = q.terms[qn.payload];
      out += "[" + t.aspect + std::string(comparison_text(t.comparison)) + t.value;
      if (t.range) out += "<" + t.second;
      out += "]";
    }
    out += ' ';
  }
  if (!out.empty()) out.pop_back();
  return out;
}

std::string parse(std::string_view text, char mode = 'R', std::size_t max = 100) {
  ParsedQuery q;
  const ResultCode rc = qry_parse(mode, text, q, max);
  return rc.failed() ? std::to_string(rc.code()) : shape(q);
}

TEST(QueryParse, ElementsAspectsAndComparisons) {
  EXPECT_EQ(parse("TIT=a AND b OR c"), "R[TIT=a] A[TIT=b] O[TIT=c]");
  EXPECT_EQ(parse("tit = haus and aut=müller not sub=x"), "R[TIT=haus] A[AUT=müller] N[SUB=x]");
  // A comparison alone keeps the last aspect; a bare value takes aspect and
  // comparison of the last element that had a comparison.
  EXPECT_EQ(parse("JAH>1990 AND <2000 OR 1800"), "R[JAH>1990] A[JAH<2000] O[JAH<1800]");
  EXPECT_EQ(parse("haus"), "R[=haus]");
  EXPECT_EQ(parse("JAH >= 1990"), "R[JAH>=1990]");
  EXPECT_EQ(parse("JAH=<1990"), "R[JAH<1990]");  // the last comparison of the run
  EXPECT_EQ(parse("JAH=1990 < 2000 OR 1800 < 1850"), "R[JAH=1990<2000] O[JAH=1800<1850]");
  // Operators need their blanks; words that only look like one are values.
  EXPECT_EQ(parse("TIT=rock and roll"), "R[TIT=rock] A[TIT=roll]");
  EXPECT_EQ(parse("TIT=android ornament"), "R[TIT=android ornament]");
  EXPECT_EQ(parse("TIT=a  AND   b"), "R[TIT=a] A[TIT=b]");
  // Three letters before a comparison are an aspect, anything else a value.
  EXPECT_EQ(parse("TIT=a AND bcd"), "R[TIT=a] A[TIT=bcd]");
  EXPECT_EQ(parse("TIT=a AND 123=x"), "R[TIT=a] A[TIT=123=x]");
}

TEST(QueryParse, QuotesParenthesesAndSets) {
  EXPECT_EQ(parse("TIT=\"rock AND roll\" band"), "R[TIT=\"rock AND roll\" band]");
  EXPECT_EQ(parse("TIT=\"say \"\"no\"\"\""), "R[TIT=\"say \"\"no\"\"\"]");
  EXPECT_EQ(parse("TIT=a OR (AUT=b AND (c OR d)) NOT e"),
            "R[TIT=a] O(R[AUT=b] A(R[AUT=c] O[AUT=d])) N[AUT=e]");
  EXPECT_EQ(parse("TIT=(haus) AND x"), "R[TIT=haus] A[TIT=x]");
  EXPECT_EQ(parse("(TIT=(a < b))"), "R(R[TIT=a<b])");
  EXPECT_EQ(parse("SET=3 AND set = (12) OR Set=7 rest"), "RSET3 ASET12 OSET7");
  // Elements that begin with SET are set references, whatever follows.
  EXPECT_EQ(parse("TIT=a AND settle"), std::to_string(kQuerySyntax));
  EXPECT_EQ(parse("SET=0"), std::to_string(kQuerySyntax));
  EXPECT_EQ(parse("SET=(4"), std::to_string(kQuerySyntax));
  for (const char* bad : {"TIT=(a", "TIT=a)", "(TIT=a", "((TIT=a)", "TIT=a))", "TIT=\"a", "TIT=a AND ", "",
                          "()", "TIT=a AND (", "TIT=a OR )"}) {
    EXPECT_EQ(parse(bad), std::to_string(kQuerySyntax)) << bad;
  }
}

TEST(QueryParse, LimitsAndOtherModes) {
  std::string many = "TIT=a";
  for (int i = 1; i < 100; ++i) many += " OR a";
  EXPECT_NE(parse(many), std::to_string(kTooManyElements));
  EXPECT_EQ(parse(many + " OR a"), std::to_string(kTooManyElements));
  // Parentheses count as elements, and nest only so deep.
  EXPECT_EQ(parse(std::string(50, '(') + "a" + std::string(50, ')'), 'R', 40),
            std::to_string(kTooManyElements));
  EXPECT_EQ(parse(std::string(200, '(') + "a" + std::string(200, ')'), 'R', 1000),
            std::to_string(kQuerySyntax));
  // A 10,000-character value is read, not overflowed.
  EXPECT_EQ(parse("TIT=" + std::string(10000, 'x')).size(), 10000u + 7);
  // Filters: tags with subfield codes are aspects, kept as written.
  EXPECT_EQ(parse("245$a=Haus AND 100=* OR 260$c=1990 < 2000", 'F'),
            "R[245$a=Haus] A[100=*] O[260$c=1990<2000]");
  EXPECT_EQ(parse("100=", 'F'), "R[100=]");
  // Single terms: the whole rest is the value.
  EXPECT_EQ(parse("tit=rock AND roll", 'I'), "R[TIT=rock AND roll]");
}

TEST(PatternMatch, TruncationAndMasks) {
  const std::string t = "\x09";
  const std::string m = "\x08";
  EXPECT_TRUE(pattern_match("HAUS" + t, "HAUS", ' '));
  EXPECT_TRUE(pattern_match("HAUS" + t, "HAUSBOOT", ' '));
  EXPECT_FALSE(pattern_match("HAUS" + t, "HAU", ' '));
  EXPECT_TRUE(pattern_match(t + "BOOT", "HAUSBOOT", ' '));
  EXPECT_TRUE(pattern_match("H" + t + "B" + t + "T", "HAUSBOOT", ' '));
  EXPECT_FALSE(pattern_match("H" + t + "X" + t, "HAUSBOOT", ' '));
  EXPECT_TRUE(pattern_match("HA" + m + "S", "HAUS", ' '));
  EXPECT_FALSE(pattern_match("HA" + m + "S", "HAS", ' '));
  // A mask needs a character: trailing fill and zero bytes are no characters.
  EXPECT_FALSE(pattern_match("HAUS" + m, "HAUS    ", ' '));
  EXPECT_FALSE(pattern_match("HAUS" + m, std::string("HAUS\0\0", 6), ' '));
  EXPECT_TRUE(pattern_match("HAUS" + t, std::string("HAUS  \0", 7), ' '));
  // Right-aligned numbers: their zeros are digits, not fill.
  EXPECT_TRUE(pattern_match("0000019" + m + "0", "000001990", '\0'));
}

}  // namespace
}  // namespace corvanta::records
