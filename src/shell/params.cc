#include "shell/params.h"

#include "util/text.h"

namespace corvanta {
namespace {

bool is_separator(char c) {
  return static_cast<unsigned char>(c) <= 32;
}

}  // namespace

std::size_t scan_value(std::string& destination, std::string_view source, bool* cut) {
  destination.clear();
  if (cut != nullptr) *cut = false;
  std::size_t i = 0;
  const bool quoted = !source.empty() && source[0] == '"';
  if (quoted) ++i;
  while (i < source.size() && destination.size() < kMaxParamValue) {
    const char c = source[i];
    if (static_cast<unsigned char>(c) < 32) break;
    if (!quoted && c == ' ') break;
    if (quoted && c == '"') {
      if (i + 1 < source.size() && source[i + 1] == '"') {
        destination += '"';
        i += 2;
        continue;
      }
      ++i;  // the closing quote is consumed
      break;
    }
    destination += c;
    ++i;
  }
  if (cut != nullptr && destination.size() >= kMaxParamValue && i < source.size()) {
    // Stopped by the length while the value went on.
    const char c = source[i];
    const bool closing = quoted && c == '"' && !(i + 1 < source.size() && source[i + 1] == '"');
    *cut = static_cast<unsigned char>(c) >= 32 && !closing && (quoted || c != ' ');
  }
  return i;
}

void ParamList::parse(std::string_view line) {
  command_.clear();
  entries_.clear();
  job_no = 0;
  std::size_t i = 0;
  while (i < line.size() && !is_separator(line[i])) ++i;
  command_ = upper(cut_to(line.substr(0, i), kMaxCommandWord));

  for (;;) {
    while (i < line.size() && line[i] == ' ') ++i;
    const std::size_t name_start = i;
    while (i < line.size() && !is_separator(line[i]) && line[i] != '=') ++i;
    if (i == name_start || i >= line.size() || line[i] != '=') return;
    std::string name = upper(cut_to(line.substr(name_start, i - name_start), kMaxParamName));
    ++i;
    while (i < line.size() && line[i] == ' ') ++i;
    std::string value;
    bool cut = false;
    i += scan_value(value, line.substr(i), &cut);
    // Parameters beyond the list's room are read past, never stored.
    if (entries_.size() < capacity_) entries_.push_back({std::move(name), std::move(value), cut});
  }
}

const ParamEntry* ParamList::find(std::string_view name) const {
  for (const ParamEntry& e : entries_) {
    if (equal_nocase(e.name, name)) return &e;
  }
  return nullptr;
}

std::string_view ParamList::get(std::string_view name) const {
  const ParamEntry* e = find(name);
  return e != nullptr ? std::string_view(e->value) : std::string_view();
}

bool ParamList::has(std::string_view name) const {
  return find(name) != nullptr;
}

bool ParamList::was_cut(std::string_view name) const {
  const ParamEntry* e = find(name);
  return e != nullptr && e->cut;
}

std::string ParamList::get_into(std::string_view name, std::string_view fallback, std::size_t max_len,
                                bool upper_case) const {
  const ParamEntry* e = find(name);
  std::string out(cut_to(e != nullptr ? std::string_view(e->value) : fallback, max_len));
  if (upper_case) upper_in_place(out);
  return out;
}

void ParamList::add(std::string_view name, std::string_view text) {
  if (entries_.size() >= capacity_ || find(name) != nullptr) return;
  ParamEntry e;
  e.name = upper(cut_to(name, kMaxParamName));
  scan_value(e.value, text);
  entries_.push_back(std::move(e));
}

}  // namespace corvanta
