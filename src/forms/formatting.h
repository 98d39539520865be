// The record formatting service: a record shown by a form of the
// application dictionary (FORM= statements of a file: display forms, sort
// forms, the scan display, the list of hits).
//
// A form with PATH= names a layout file; each line of it that is not empty
// and does not begin with "*" gives one output line (a result row), and
// "|" splits a line into columns (the row's fields). A column is a sequence
// of items separated by blanks:
//
//   'text'          literal text ('' for a quote)
//   245$a           a field or subfield: TAG[/ind][.n][$c[.m]]; without
//                   an occurrence all of them, joined by "; "
//   650$a+' / '     the same, joined by the text after "+"
//   245$a!2         the same without as many leading characters as the
//                   field's second indicator says (1: the first); a
//                   nonfiling article left out for sorting
//   @IDN            the record's number
//   @NO             the hit's position in its set (or printed list)
//   @TOTAL          the number of records in that set or list
//
// Literals before the first element show when any element of the column
// has text; literals between two elements show when the element after them
// has text and text stands before them; literals after the last element
// show when that element has text. A column without elements always shows
// its literals, and a line whose elements are all empty is left out. So
// 'Titel: ' 245$a ' : ' 245$b ' / ' 245$c gives "Titel: a / c" without $b. A field named
// without a subfield code shows its subfields' texts separated by blanks.
//
// A form without PATH= (or a missing form) has the default layout: one
// line per field, "TAG text".
#pragma once

#include <cstdio>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "config/dictionary.h"
#include "records/record.h"
#include "util/result.h"

namespace corvanta::records {

inline constexpr std::int32_t kFormatFailed = -455;

struct LayoutItem {
  char kind = 'T';  // T text, E element, I the IDN, N the hit number, C the total
  std::string text;
  dict::Element element;
  std::string separator = "; ";
  int nonfiling = 0;  // the indicator (1, 2) that counts characters to leave out
};

using LayoutColumn = std::vector<LayoutItem>;
using LayoutLine = std::vector<LayoutColumn>;

struct Layout {
  std::vector<LayoutLine> lines;
};

// Parses a layout file's text: 0, or -145 with the failing line's number
// (from 1) in `error_line`.
ResultCode parse_layout(std::string_view text, Layout& out, long& error_line);

// The layout files of a form: PATH= and, of print forms, the parts around
// a record (RECHEAD=, RECFOOT=) and a list (PAGEHEAD=, PAGEFOOT=).
enum class FormPart { Body, Leading, Trailing, ListHead, ListFoot };

// The layouts of all forms, read once at start-up.
class FormCatalogue {
 public:
  // Reads every layout file. Errors are printed to `errors` (when given) as
  // "\nERROR-%d IN %s LINE %ld:\n %s"; the first failure is returned (-143
  // a file that cannot be read, -145 a line that is not a layout) after all
  // files were tried.
  ResultCode load(const dict::ApplDictionary& appl, std::FILE* errors);
  void clear() { layouts_.clear(); }
  // The form's layout; nullptr for the default layout (of the body) or
  // for a part the form does not have.
  const Layout* layout(const dict::FormDef* form, FormPart part = FormPart::Body) const;

 private:
  ResultCode load_part(const dict::FormDef& form, FormPart part, const std::string& path, std::FILE* errors);
  std::map<std::pair<const dict::FormDef*, FormPart>, Layout> layouts_;
};

// One formatted line: the texts of its columns.
using FormattedLine = std::vector<std::string>;

struct FormatContext {
  std::uint32_t hit_number = 0;  // @NO: the position in a set or list
  std::uint32_t total = 0;       // @TOTAL: the length of that set or list
};

// The lines of a record (in external form) laid out by `layout` (nullptr:
// the default layout).
std::vector<FormattedLine> format_record(const Layout* layout, RecordHandle& record,
                                         const FormatContext& ctx = {});
// The same as one text: columns and lines joined by single blanks.
std::string format_text(const Layout* layout, RecordHandle& record, const FormatContext& ctx = {});

// The texts of a field or subfield element in a record (external form);
// with `nonfiling` 1 or 2, each text without as many leading characters as
// that indicator of its field gives.
std::vector<std::string> element_texts(RecordHandle& record, const dict::Element& element, int nonfiling = 0);

}  // namespace corvanta::records
