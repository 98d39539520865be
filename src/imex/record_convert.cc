#include "imex/record_convert.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "config/field_address.h"
#include "imex/formats.h"
#include "util/posix_io.h"
#include "util/text.h"

namespace corvanta::imex {
namespace {

using records::FieldDesc;
using records::RecordHandle;

constexpr std::size_t kMaxTableLine = 119;

std::vector<std::string> split_tabs(std::string_view line) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  while (true) {
    const std::size_t tab = line.find('\t', start);
    parts.emplace_back(
        line.substr(start, tab == std::string_view::npos ? std::string_view::npos : tab - start));
    if (tab == std::string_view::npos) break;
    start = tab + 1;
  }
  return parts;
}

std::string parameter_of(std::string_view text) {
  if (text.size() >= 2 && text.front() == '"') {
    const std::size_t close = text.find('"', 1);
    return std::string(cut_to(
        text.substr(1, close == std::string_view::npos ? std::string_view::npos : close - 1), kMaxParameter));
  }
  return std::string(cut_to(trim_trailing_blanks(text), kMaxParameter));
}

// The value a routine works on: the subfield's, or the field's content.
std::string value_of(const FieldDesc& field, const FieldDesc* subfield) {
  return std::string(subfield != nullptr ? subfield->content() : field.content());
}

// Where a value goes: the rule's target address, completed from the source.
struct Target {
  std::string tag;
  std::string indicators;
  std::uint16_t occurrence = 0;  // 0: the next free one
  char subfield = 0;
};

Target target_of(const ConversionRule& rule, const FieldDesc& field, const FieldDesc* subfield) {
  Target t;
  t.tag = rule.target.tag.empty() ? field.tag : rule.target.tag;
  t.indicators = rule.target.indicators.value_or(field.indicators);
  t.occurrence = rule.target.occurrence;
  t.subfield =
      rule.target.subfield != 0 ? rule.target.subfield : (subfield != nullptr ? subfield->tag[0] : 0);
  // Subfields of one source field go to one target field.
  if (t.subfield != 0 && t.occurrence == 0) t.occurrence = field.occurrence;
  return t;
}

std::uint16_t occurrences_of(RecordHandle& h, const std::string& tag) {
  FieldDesc probe;
  probe.tag = tag;
  probe.occurrence = records::kLastOccurrence;
  return records::fld_get(h, probe).code() == 0 ? probe.occurrence : 0;
}

// Adds the value at the target address (replacing what is there with
// `replace`).
ResultCode write_value(RecordHandle& target, const Target& t, std::string_view value, bool replace) {
  FieldDesc f;
  f.tag = t.tag;
  f.indicators = t.indicators;
  f.type = 1;
  if (t.subfield == 0) {
    f.set(value);
    if (replace && t.occurrence != 0) {
      f.occurrence = t.occurrence;
      const ResultCode rc = records::fld_replace(target, f);
      if (rc.code() != records::kNotFound) return rc;
    }
    f.occurrence =
        t.occurrence != 0 ? t.occurrence : static_cast<std::uint16_t>(occurrences_of(target, t.tag) + 1);
    return records::fld_put_any_indicator(target, f);
  }
  FieldDesc s;
  s.tag.assign(1, t.subfield);
  s.type = 1;
  s.set(value);
  f.occurrence =
      t.occurrence != 0 ? t.occurrence : static_cast<std::uint16_t>(occurrences_of(target, t.tag) + 1);
  FieldDesc probe = f;
  if (records::fld_get(target, probe).code() == 0) {
    if (replace && records::sfl_replace(target, probe, s).code() == 0) return 0;
    return records::sfl_put(target, probe, s);
  }
  return records::fld_put_any_indicator(target, f, &s);
}

std::string existing_value(RecordHandle& target, const Target& t) {
  FieldDesc f;
  f.tag = t.tag;
  f.occurrence = t.occurrence != 0 ? t.occurrence : 1;
  FieldDesc s;
  if (t.subfield != 0) s.tag.assign(1, t.subfield);
  if (records::fld_get(target, f, t.subfield != 0 ? &s : nullptr).code() != 0) return {};
  return std::string(t.subfield != 0 ? s.content() : f.content());
}

// The routines.

ResultCode cnv_copy(RecordConverter&, RecordHandle& target, RecordHandle&, const FieldDesc& field,
                    const FieldDesc* subfield, const ConversionRule&) {
  if (subfield != nullptr) {
    Target t{field.tag, field.indicators, field.occurrence, subfield->tag[0]};
    return write_value(target, t, subfield->content(), false);
  }
  FieldDesc f = field;
  f.occurrence = static_cast<std::uint16_t>(occurrences_of(target, field.tag) + 1);
  return records::fld_put(target, f);
}

ResultCode cnv_delete(RecordConverter&, RecordHandle&, RecordHandle&, const FieldDesc&, const FieldDesc*,
                      const ConversionRule&) {
  return 0;
}

ResultCode cnv_norm(RecordConverter&, RecordHandle& target, RecordHandle&, const FieldDesc& field,
                    const FieldDesc* subfield, const ConversionRule& rule) {
  return write_value(target, target_of(rule, field, subfield), value_of(field, subfield), false);
}

ResultCode cnv_update(RecordConverter&, RecordHandle& target, RecordHandle&, const FieldDesc& field,
                      const FieldDesc* subfield, const ConversionRule& rule) {
  Target t = target_of(rule, field, subfield);
  if (t.occurrence == 0) t.occurrence = 1;
  return write_value(target, t, value_of(field, subfield), true);
}

ResultCode cnv_cat(RecordConverter&, RecordHandle& target, RecordHandle&, const FieldDesc& field,
                   const FieldDesc* subfield, const ConversionRule& rule) {
  Target t = target_of(rule, field, subfield);
  if (t.occurrence == 0) t.occurrence = 1;
  std::string value = existing_value(target, t);
  if (!value.empty()) value += rule.parameter;
  value += value_of(field, subfield);
  return write_value(target, t, value, true);
}

ResultCode cnv_prefix(RecordConverter&, RecordHandle& target, RecordHandle&, const FieldDesc& field,
                      const FieldDesc* subfield, const ConversionRule& rule) {
  return write_value(target, target_of(rule, field, subfield), rule.parameter + value_of(field, subfield),
                     false);
}

ResultCode cnv_suffix(RecordConverter&, RecordHandle& target, RecordHandle&, const FieldDesc& field,
                      const FieldDesc* subfield, const ConversionRule& rule) {
  return write_value(target, target_of(rule, field, subfield), value_of(field, subfield) + rule.parameter,
                     false);
}

ResultCode cnv_gndlink(RecordConverter&, RecordHandle& target, RecordHandle&, const FieldDesc& field,
                       const FieldDesc* subfield, const ConversionRule& rule) {
  return write_value(target, target_of(rule, field, subfield),
                     rule.parameter + "\"" + value_of(field, subfield) + "\"", false);
}

ResultCode cnv_substr(RecordConverter&, RecordHandle& target, RecordHandle&, const FieldDesc& field,
                      const FieldDesc* subfield, const ConversionRule& rule) {
  const std::string value = value_of(field, subfield);
  const std::size_t comma = rule.parameter.find(',');
  std::size_t start = static_cast<std::size_t>(std::max(0L, parse_long(rule.parameter)));
  std::size_t length = comma == std::string::npos
                           ? value.size()
                           : static_cast<std::size_t>(std::max(
                                 0L, parse_long(std::string_view(rule.parameter).substr(comma + 1))));
  if (start >= value.size()) start = 0;
  length = std::min(length, value.size() - start);
  return write_value(target, target_of(rule, field, subfield), value.substr(start, length), false);
}

ResultCode cnv_tabkey(RecordConverter& converter, RecordHandle& target, RecordHandle&, const FieldDesc& field,
                      const FieldDesc* subfield, const ConversionRule& rule) {
  const auto found = converter.key_lookup(rule.parameter, value_of(field, subfield));
  if (!found) return 0;
  Target t = target_of(rule, field, subfield);
  if (t.occurrence == 0) t.occurrence = 1;
  return write_value(target, t, *found, true);
}

ResultCode cnv_increm(RecordConverter&, RecordHandle& target, RecordHandle&, const FieldDesc& field,
                      const FieldDesc* subfield, const ConversionRule& rule) {
  Target t = target_of(rule, field, subfield);
  const long step = std::max(1L, parse_long(rule.parameter));
  long number = parse_long(t.tag);
  for (int guard = 0; guard < 1000 && occurrences_of(target, t.tag) != 0; ++guard) {
    number += step;
    if (number > 999) return 0;
    char tag[24];
    std::snprintf(tag, sizeof tag, "%03ld", number);
    t.tag = tag;
  }
  t.occurrence = 1;
  return write_value(target, t, value_of(field, subfield), false);
}

ResultCode cnv_all_subfields(RecordConverter&, RecordHandle& target, RecordHandle& source,
                             const FieldDesc& field, const FieldDesc* subfield, const ConversionRule& rule) {
  std::string joined;
  FieldDesc s;
  for (ResultCode rc = records::sfl_first(source, field, s); rc.code() == 0;
       rc = records::sfl_next(source, field, s)) {
    if (!joined.empty()) joined += '/';
    joined += s.content();
  }
  Target t = target_of(rule, field, subfield);
  t.occurrence = 0;
  return write_value(target, t, joined, false);
}

ResultCode conditional(RecordHandle& target, RecordHandle& source, const FieldDesc& field,
                       const FieldDesc* subfield, const ConversionRule& rule, bool when_present) {
  const auto address = parse_address(rule.parameter);
  bool present = false;
  if (address && !address->tag.empty()) {
    FieldDesc f;
    f.tag = address->tag;
    f.indicators = address->indicators.value_or("");
    f.occurrence = address->occurrence;
    FieldDesc s;
    if (address->subfield != 0) s.tag.assign(1, address->subfield);
    present = records::fld_get(source, f, address->subfield != 0 ? &s : nullptr).code() == 0;
  }
  if (present != when_present) return 0;
  return write_value(target, target_of(rule, field, subfield), value_of(field, subfield), false);
}

ResultCode cnv_cond_tag(RecordConverter&, RecordHandle& target, RecordHandle& source, const FieldDesc& field,
                        const FieldDesc* subfield, const ConversionRule& rule) {
  return conditional(target, source, field, subfield, rule, true);
}

ResultCode cnv_cond_notag(RecordConverter&, RecordHandle& target, RecordHandle& source,
                          const FieldDesc& field, const FieldDesc* subfield, const ConversionRule& rule) {
  return conditional(target, source, field, subfield, rule, false);
}

// Keeps a field no rule places as a field of its own, the local tag the
// parameter names ("MAB"; default "LOC"): subfield t the source tag, i its
// indicators ("_" for a blank), then the source's subfields as they are,
// or its content as subfield a. Called for one subfield, that one only.
ResultCode cnv_keep_local(RecordConverter&, RecordHandle& target, RecordHandle& source,
                          const FieldDesc& field, const FieldDesc* subfield, const ConversionRule& rule) {
  FieldDesc kept;
  kept.tag = rule.parameter.size() == 3 ? rule.parameter : std::string("LOC");
  kept.type = 1;
  if (const ResultCode rc = records::fld_append(target, kept); rc.failed()) return rc;
  std::string indicators = field.indicators.empty() ? std::string("_") : field.indicators;
  std::replace(indicators.begin(), indicators.end(), ' ', '_');
  const auto add = [&](std::string_view code, std::string_view text) {
    if (text.empty()) return ResultCode(0);
    FieldDesc piece;
    piece.tag = std::string(code);
    piece.type = 1;
    piece.set(text);
    return records::fld_append(target, kept, &piece);
  };
  if (const ResultCode rc = add("t", field.tag); rc.failed()) return rc;
  if (const ResultCode rc = add("i", indicators); rc.failed()) return rc;
  if (subfield != nullptr) return add(subfield->tag, subfield->content());
  FieldDesc s;
  if (records::sfl_first(source, field, s).code() != 0) return add("a", field.content());
  do {
    if (const ResultCode rc = add(s.tag, s.content()); rc.failed()) return rc;
  } while (records::sfl_next(source, field, s).code() == 0);
  return 0;
}

struct NamedRoutine {
  std::string_view name;
  ConversionRoutine routine;
};

// The 62 routines in table order. The field-specific conversions between
// MARC 21, MAB2, the internal format and authority data behave like cnv_norm.
const std::array<NamedRoutine, 62> kRoutines = {{
    {"cnv_copy", cnv_copy},
    {"cnv_increm", cnv_increm},
    {"cnv_norm", cnv_norm},
    {"cnv_update", cnv_update},
    {"cnv_cat", cnv_cat},
    {"cnv_delete", cnv_delete},
    {"cnv_prefix", cnv_prefix},
    {"cnv_suffix", cnv_suffix},
    {"cnv_edit", cnv_norm},
    {"cnv_tabkey", cnv_tabkey},
    {"cnv_substr", cnv_substr},
    {"cnv_all_subfields", cnv_all_subfields},
    {"cnv_arrange_subfd", cnv_norm},
    {"cnv_marc006_mab", cnv_norm},
    {"cnv_marc007_mab", cnv_norm},
    {"cnv_marc008_mab", cnv_norm},
    {"cnv_mab025_marc", cnv_norm},
    {"cnv_mab030_marc", cnv_norm},
    {"cnv_mab050_marc", cnv_norm},
    {"cnv_mabGT_marc", cnv_norm},
    {"cnv_mabQUE_marc", cnv_norm},
    {"cnv_mabSWT_marc", cnv_norm},
    {"cnv_mabLDR_marc", cnv_norm},
    {"cnv_mabTIT_marc", cnv_norm},
    {"cnv_punct_marc", cnv_norm},
    {"cnv_marc440_crv", cnv_norm},
    {"cnv_mab072_crv", cnv_norm},
    {"cnv_mab100_crv", cnv_norm},
    {"cnv_swb200_crv", cnv_norm},
    {"cnv_mab451_crv", cnv_norm},
    {"cnv_mab502_crv", cnv_norm},
    {"cnv_mab526_crv", cnv_norm},
    {"cnv_mab540_crv", cnv_norm},
    {"cnv_mab700_crv", cnv_norm},
    {"cnv_swb710_crv", cnv_norm},
    {"cnv_mab800_crv", cnv_norm},
    {"cnv_mab902_crv", cnv_norm},
    {"cnv_swb902_crv", cnv_norm},
    {"cnv_swb902n_crv", cnv_norm},
    {"cnv_vorna902_crv", cnv_norm},
    {"cnv_cutVID_crv", cnv_norm},
    {"cnv_mabVID_crv", cnv_norm},
    {"cnv_mabItmVID_crv", cnv_norm},
    {"cnv_hbzcjk_crv", cnv_norm},
    {"cnv_crv100_mab", cnv_norm},
    {"cnv_crv502_mab", cnv_norm},
    {"cnv_crv526_mab", cnv_norm},
    {"cnv_crv540_mab", cnv_norm},
    {"cnv_crv902_mab", cnv_norm},
    {"cnv_crvGT_mab", cnv_norm},
    {"cnv_crvGTU_mab", cnv_norm},
    {"cnv_cond_tag", cnv_cond_tag},
    {"cnv_cond_notag", cnv_cond_notag},
    {"cnv_mabldr", cnv_norm},
    {"cnv_gndlink", cnv_gndlink},
    {"cnv_gnd100_crv", cnv_norm},
    {"cnv_gnd200_crv", cnv_norm},
    {"cnv_gnd902_crv", cnv_norm},
    {"cnv_gndswt_crv", cnv_norm},
    {"cnv_shift_auth", cnv_norm},
    {"cnv_shift4", cnv_norm},
    {"cnv_keep_local", cnv_keep_local},
}};

bool indicators_match(const FieldAddress& a, const FieldDesc& field) {
  if (!a.indicators) return field.indicators.find_first_not_of(' ') == std::string::npos;
  return *a.indicators == field.indicators;
}

}  // namespace

const std::vector<std::string_view>& routine_names() {
  static const std::vector<std::string_view> names = [] {
    std::vector<std::string_view> n;
    for (const NamedRoutine& r : kRoutines) n.push_back(r.name);
    return n;
  }();
  return names;
}

ConversionRoutine find_routine(std::string_view name) {
  for (const NamedRoutine& r : kRoutines) {
    if (r.name == name) return r.routine;
  }
  return nullptr;
}

std::optional<FieldAddress> parse_address(std::string_view text) {
  text = trim_blanks(text);
  if (text.empty()) return FieldAddress{};
  // Tables may leave out the "/" before the indicators.
  std::string full(text.substr(0, 3));
  if (text.size() > 3 && text[3] != '/' && text[3] != '.' && text[3] != '$') full += '/';
  if (text.size() > 3) full += text.substr(3);
  const auto parsed = config::parse_field_address(full);
  if (!parsed || parsed->subfield.size() > 1 || parsed->subfield_occurrence != 0) return std::nullopt;
  FieldAddress a;
  a.tag = parsed->tag;
  if (!parsed->indicators.empty()) {
    a.indicators = parsed->indicators;
    std::replace(a.indicators->begin(), a.indicators->end(), '_', ' ');
  }
  a.occurrence = parsed->occurrence;
  a.subfield = parsed->subfield.empty() ? 0 : parsed->subfield.front();
  return a;
}

bool RecordConverter::load(const std::string& table, const std::string& file_code) {
  const std::string path = table_path(table, file_code);
  if (path == loaded_ && has_table_) return true;
  const std::optional<std::string> text = read_regular_file(path);
  if (!text) {
    loaded_.clear();
    has_table_ = false;
    rules_.clear();
    default_ = {};
    return false;
  }
  load_text(*text);
  loaded_ = path;
  return true;
}

void RecordConverter::load_text(std::string_view text) {
  rules_.clear();
  default_ = {};
  has_table_ = true;
  std::size_t start = 0;
  while (start < text.size() && rules_.size() < kMaxRules) {
    std::size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = cut_to(text.substr(start, end - start), kMaxTableLine);
    start = end + 1;
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.remove_suffix(1);
    if (line.empty() || line.front() == '*' || line.front() == '!') continue;
    if (line.substr(0, 7) == "DEFAULT") {
      std::string_view rest = line.substr(7);
      while (!rest.empty() && rest.front() == '\t') rest.remove_prefix(1);
      const auto parts = split_tabs(rest);
      default_.routine_name = std::string(cut_to(parts[0], kMaxParameter));
      default_.routine = find_routine(default_.routine_name.empty() ? "cnv_norm" : default_.routine_name);
      default_.parameter = parts.size() > 1 ? parameter_of(parts[1]) : std::string();
      continue;
    }
    const auto parts = split_tabs(line);
    ConversionRule rule;
    const auto source = parse_address(parts[0]);
    if (!source || source->tag.empty()) continue;
    rule.source = *source;
    if (parts.size() > 1) {
      const auto target = parse_address(parts[1]);
      if (target) rule.target = *target;
    }
    rule.routine_name =
        parts.size() > 2 ? std::string(cut_to(trim_blanks(parts[2]), kMaxParameter)) : std::string();
    rule.routine = find_routine(rule.routine_name.empty() ? "cnv_norm" : rule.routine_name);
    rule.parameter = parts.size() > 3 ? parameter_of(parts[3]) : std::string();
    rules_.push_back(std::move(rule));
  }
}

const ConversionRule* RecordConverter::match(const FieldDesc& field, char subfield) const {
  for (const ConversionRule& r : rules_) {
    if (r.source.tag != field.tag || !indicators_match(r.source, field)) continue;
    if (r.source.occurrence != 0 && field.occurrence != 0 && r.source.occurrence != field.occurrence)
      continue;
    if (subfield != 0 && r.source.subfield != subfield) continue;
    return &r;
  }
  return nullptr;
}

std::optional<std::string> RecordConverter::key_lookup(const std::string& table, std::string_view key) {
  auto it = key_tables_.find(table);
  if (it == key_tables_.end()) {
    std::map<std::string, std::string, std::less<>> entries;
    std::istringstream in(read_regular_file(table).value_or(""));
    std::string line;
    while (std::getline(in, line)) {
      const std::size_t tab = line.find('\t');
      if (tab == std::string::npos || line.empty() || line[0] == '*') continue;
      entries.emplace(line.substr(0, tab), line.substr(tab + 1));
    }
    it = key_tables_.emplace(table, std::move(entries)).first;
  }
  const auto found = it->second.find(key);
  if (found == it->second.end()) return std::nullopt;
  return found->second;
}

ResultCode RecordConverter::convert_fields(RecordHandle& target, RecordHandle& source) {
  FieldDesc field;
  for (ResultCode rc = records::fld_first(source, field); rc.code() == 0;
       rc = records::fld_next(source, field)) {
    // Routines may walk the source's subfields; the field walk keeps its place.
    auto run = [&](const ConversionRule& r, const FieldDesc* sub) -> ResultCode {
      if (r.routine == nullptr) return 0;
      const std::size_t cursor = source.field_cursor;
      const ResultCode out = r.routine(*this, target, source, field, sub, r);
      source.field_cursor = cursor;
      return out;
    };
    const ConversionRule* rule = match(field, 0);
    ResultCode result = 0;
    if (rule == nullptr) {
      result = run(default_, nullptr);
    } else if (rule->source.subfield == 0) {
      result = run(*rule, nullptr);
    } else {
      FieldDesc s;
      for (ResultCode r = records::sfl_first(source, field, s); r.code() == 0 && result.code() == 0;
           r = records::sfl_next(source, field, s)) {
        const ConversionRule* sub_rule = match(field, s.tag[0]);
        result = run(sub_rule != nullptr ? *sub_rule : default_, &s);
      }
    }
    if (result.failed()) return result;
    if (result.code() > 0) break;  // a routine ended the conversion early
  }
  return 0;
}

ResultCode RecordConverter::apply(RecordHandle& target, RecordHandle& source, const std::string& test_file) {
  if (target.buffer == nullptr || source.buffer == nullptr) return records::kMissing;
  target.idn = source.idn;
  target.length = records::kHeaderSize;
  target.order = source.order;
  target.status = source.status;
  target.form = source.form;
  records::rec_store_header(target);
  ResultCode result = 0;
  const bool convert = has_table_ && (!rules_.empty() || default_.routine != nullptr);
  if (!convert) {
    result = records::rec_copy(target, source);
  } else {
    result = convert_fields(target, source);
  }
  if (result.ok() && !test_file.empty()) {
    std::ofstream out(test_file, std::ios::binary | std::ios::trunc);
    out << generic_internal_text(target);
  }
  return result;
}

}  // namespace corvanta::imex
