#include "forms/formatting.h"

#include <algorithm>

#include "util/posix_io.h"

namespace corvanta::records {
namespace {

constexpr std::int32_t kCannotRead = -143;
constexpr std::int32_t kBadLine = -145;

bool has_subfields(const FieldDesc& f) {
  return f.length > 0 && f.data != nullptr && f.data[0] == kSubfieldMark;
}

std::string trim_right(std::string text) {
  while (!text.empty() && text.back() == ' ') text.pop_back();
  return text;
}

bool is_blank(char c) {
  return c == ' ' || c == '\t' || c == '\r';
}

// Tags and indicators are printable characters.
bool printable(std::string_view text) {
  return std::all_of(text.begin(), text.end(), [](char c) { return c > ' ' && c < 0x7F; });
}

// A quoted literal starting at text[i] (a quote): its text, i after it.
bool read_literal(std::string_view text, std::size_t& i, std::string& out) {
  out.clear();
  for (++i; i < text.size(); ++i) {
    if (text[i] != '\'') {
      out += text[i];
    } else if (i + 1 < text.size() && text[i + 1] == '\'') {
      out += '\'';
      ++i;
    } else {
      ++i;
      return true;
    }
  }
  return false;
}

bool parse_line(std::string_view line, LayoutLine& out) {
  out.assign(1, {});
  std::size_t i = 0;
  while (i < line.size()) {
    const char c = line[i];
    if (is_blank(c)) {
      ++i;
    } else if (c == '|') {
      out.emplace_back();
      ++i;
    } else if (c == '\'') {
      LayoutItem item;
      if (!read_literal(line, i, item.text)) return false;
      out.back().push_back(std::move(item));
    } else if (c == '@') {
      std::size_t end = i + 1;
      while (end < line.size() && !is_blank(line[end]) && line[end] != '|' && line[end] != '\'') ++end;
      const std::string_view word = line.substr(i + 1, end - i - 1);
      LayoutItem item;
      if (word == "IDN") {
        item.kind = 'I';
      } else if (word == "NO") {
        item.kind = 'N';
      } else if (word == "TOTAL") {
        item.kind = 'C';
      } else {
        return false;
      }
      out.back().push_back(std::move(item));
      i = end;
    } else {
      std::size_t end = i;
      while (end < line.size() && !is_blank(line[end]) && line[end] != '|' && line[end] != '\'' &&
             line[end] != '+' && line[end] != '!')
        ++end;
      const auto element = dict::parse_element(line.substr(i, end - i));
      if (!element || !printable(element->tag) || !printable(element->indicators)) return false;
      LayoutItem item;
      item.kind = 'E';
      item.element = *element;
      i = end;
      if (i < line.size() && line[i] == '+') {
        ++i;
        if (i >= line.size() || line[i] != '\'' || !read_literal(line, i, item.separator)) return false;
      }
      if (i < line.size() && line[i] == '!') {
        if (i + 1 >= line.size() || (line[i + 1] != '1' && line[i + 1] != '2')) return false;
        item.nonfiling = line[i + 1] - '0';
        i += 2;
      }
      out.back().push_back(std::move(item));
    }
  }
  return true;
}

// The text of one field: its content, or its subfields' texts joined by
// blanks.
std::string field_text(RecordHandle& record, const FieldDesc& f) {
  if (!has_subfields(f)) return trim_right(std::string(f.content()));
  std::string out;
  FieldDesc s;
  for (ResultCode rc = sfl_first(record, f, s); rc.code() == 0; rc = sfl_next(record, f, s)) {
    const std::string part = trim_right(std::string(s.content()));
    if (part.empty()) continue;
    if (!out.empty()) out += ' ';
    out += part;
  }
  return out;
}

std::string join(const std::vector<std::string>& parts, std::string_view separator) {
  std::string out;
  for (const std::string& p : parts) {
    if (!out.empty()) out += separator;
    out += p;
  }
  return out;
}

std::string item_text(const LayoutItem& item, RecordHandle& record, const FormatContext& ctx) {
  switch (item.kind) {
    case 'I': return std::to_string(record.idn);
    case 'N': return std::to_string(ctx.hit_number);
    case 'C': return std::to_string(ctx.total);
    case 'E': return join(element_texts(record, item.element, item.nonfiling), item.separator);
    default: return item.text;
  }
}

std::string format_column(const LayoutColumn& column, RecordHandle& record, const FormatContext& ctx,
                          bool& any_element_text) {
  std::string leading;  // literals before the first element
  std::string body;
  std::string pending;  // literals since the last element
  bool seen_element = false;
  bool had_text = false;
  bool last_had_text = false;
  for (const LayoutItem& item : column) {
    if (item.kind == 'T') {
      (seen_element ? pending : leading) += item.text;
      continue;
    }
    seen_element = true;
    const std::string text = item_text(item, record, ctx);
    last_had_text = !text.empty();
    if (last_had_text) {
      if (had_text) body += pending;
      body += text;
      had_text = true;
    }
    pending.clear();
  }
  if (!seen_element) return leading;
  if (!had_text) return {};
  any_element_text = true;
  return leading + body + (last_had_text ? pending : std::string());
}

}  // namespace

ResultCode parse_layout(std::string_view text, Layout& out, long& error_line) {
  out.lines.clear();
  long number = 0;
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    ++number;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.find_first_not_of(" \t") == std::string_view::npos || line[0] == '*') continue;
    LayoutLine parsed;
    if (!parse_line(line, parsed)) {
      error_line = number;
      return kBadLine;
    }
    out.lines.push_back(std::move(parsed));
  }
  return 0;
}

ResultCode FormCatalogue::load(const dict::ApplDictionary& appl, std::FILE* errors) {
  layouts_.clear();
  ResultCode first = 0;
  for (const dict::FormDef& form : appl.forms()) {
    const std::pair<FormPart, const std::string*> parts[] = {
        {FormPart::Body, &form.path},          {FormPart::Leading, &form.leading},
        {FormPart::Trailing, &form.trailing},  {FormPart::ListHead, &form.list_head},
        {FormPart::ListFoot, &form.list_foot},
    };
    for (const auto& [part, path] : parts) {
      if (path->empty()) continue;
      if (const ResultCode rc = load_part(form, part, *path, errors); rc.failed() && first.ok()) first = rc;
    }
  }
  return first;
}

ResultCode FormCatalogue::load_part(const dict::FormDef& form, FormPart part, const std::string& path,
                                    std::FILE* errors) {
  const auto text = read_regular_file(path);
  long line = 0;
  Layout layout;
  const ResultCode rc = text ? parse_layout(*text, layout, line) : ResultCode(kCannotRead);
  if (rc.failed()) {
    if (errors != nullptr) {
      std::string shown;
      if (text && line > 0) {
        std::string_view rest = *text;
        for (long k = 1; k < line; ++k) rest.remove_prefix(std::min(rest.size(), rest.find('\n') + 1));
        shown = std::string(rest.substr(0, rest.find('\n')));
      }
      std::fprintf(errors, "\nERROR-%d IN %s LINE %ld:\n %s", -rc.code(), path.c_str(), line, shown.c_str());
    }
    return rc;
  }
  layouts_.emplace(std::pair(&form, part), std::move(layout));
  return 0;
}

const Layout* FormCatalogue::layout(const dict::FormDef* form, FormPart part) const {
  if (form == nullptr) return nullptr;
  const auto it = layouts_.find({form, part});
  return it == layouts_.end() ? nullptr : &it->second;
}

std::vector<std::string> element_texts(RecordHandle& record, const dict::Element& element, int nonfiling) {
  std::vector<std::string> out;
  FieldDesc f;
  for (ResultCode rc = fld_first(record, f); rc.code() == 0; rc = fld_next(record, f)) {
    if (f.tag != element.tag) continue;
    if (element.field_occurrence != 0 && f.occurrence != element.field_occurrence) continue;
    if (!element.indicators.empty() &&
        f.indicators.compare(0, element.indicators.size(), element.indicators) != 0)
      continue;
    // The nonfiling indicator's digit: characters left out of each text.
    std::size_t skip = 0;
    if (nonfiling > 0 && f.indicators.size() >= static_cast<std::size_t>(nonfiling)) {
      const char digit = f.indicators[static_cast<std::size_t>(nonfiling - 1)];
      if (digit >= '1' && digit <= '9') skip = static_cast<std::size_t>(digit - '0');
    }
    auto take = [&](std::string text) {
      text.erase(0, std::min(skip, text.size()));
      if (!text.empty()) out.push_back(std::move(text));
    };
    if (element.subfield == 0) {
      take(field_text(record, f));
      continue;
    }
    if (!has_subfields(f)) continue;
    const FieldDesc field = f;
    FieldDesc s;
    std::uint16_t occurrence = 0;
    for (ResultCode r = sfl_first(record, field, s); r.code() == 0; r = sfl_next(record, field, s)) {
      if (s.tag.empty() || s.tag[0] != element.subfield) continue;
      ++occurrence;
      if (element.subfield_occurrence != 0 && occurrence != element.subfield_occurrence) continue;
      take(trim_right(std::string(s.content())));
    }
    // The subfield walk moved the record's cursor; put it back on the field.
    record.field_cursor = field.offset;
    f = field;
  }
  return out;
}

std::vector<FormattedLine> format_record(const Layout* layout, RecordHandle& record,
                                         const FormatContext& ctx) {
  std::vector<FormattedLine> out;
  if (layout == nullptr) {
    FieldDesc f;
    for (ResultCode rc = fld_first(record, f); rc.code() == 0; rc = fld_next(record, f)) {
      const FieldDesc field = f;
      std::string text = field.tag + ' ' + field_text(record, field);
      record.field_cursor = field.offset;
      f = field;
      out.push_back({trim_right(std::move(text))});
    }
    return out;
  }
  for (const LayoutLine& line : layout->lines) {
    FormattedLine formatted;
    bool any = false;
    bool elements = false;
    for (const LayoutColumn& column : line) {
      for (const LayoutItem& item : column) elements = elements || item.kind != 'T';
      formatted.push_back(format_column(column, record, ctx, any));
    }
    if (elements && !any) continue;
    out.push_back(std::move(formatted));
  }
  return out;
}

std::string format_text(const Layout* layout, RecordHandle& record, const FormatContext& ctx) {
  std::string out;
  for (const FormattedLine& line : format_record(layout, record, ctx)) {
    for (const std::string& column : line) {
      if (column.empty()) continue;
      if (!out.empty()) out += ' ';
      out += column;
    }
  }
  return out;
}

}  // namespace corvanta::records
