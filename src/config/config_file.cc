#include "config/config_file.h"

#include <unistd.h>

#include <cstdio>

#include "util/posix_io.h"

namespace corvanta::config {
namespace {

std::string cut_name(std::string_view s) {
  return std::string(trim_blanks(cut_to(s, kMaxNameLength)));
}

// A line ends at its first character below 32; an unescaped "*" starts a
// comment; "\*" stands for "*".
std::string strip_line(std::string_view raw) {
  std::string line;
  line.reserve(raw.size());
  for (std::size_t i = 0; i < raw.size(); ++i) {
    const auto c = static_cast<unsigned char>(raw[i]);
    if (c < 32) break;
    if (c == '*') break;
    if (c == '\\' && i + 1 < raw.size() && raw[i + 1] == '*') {
      line += '*';
      ++i;
      continue;
    }
    line += static_cast<char>(c);
  }
  return line;
}

// The inverse of strip_line for a value or name written by save().
std::string escape(std::string_view s) {
  std::string out;
  for (char c : s) {
    if (c == '*') out += '\\';
    out += c;
  }
  return out;
}

}  // namespace

void ConfigTree::read(std::FILE* in) {
  std::string raw;
  int c;
  while ((c = std::getc(in)) != EOF) {
    if (c == '\n') {
      read_line(raw);
      raw.clear();
      continue;
    }
    raw += static_cast<char>(c);
    if (raw.size() == kMaxLineLength) {  // the rest is read as the next line
      read_line(raw);
      raw.clear();
    }
  }
  if (!raw.empty()) read_line(raw);
  current_ = nullptr;
}

void ConfigTree::read_text(std::string_view text) {
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(start, end - start);
    while (line.size() > kMaxLineLength) {
      read_line(line.substr(0, kMaxLineLength));
      line.remove_prefix(kMaxLineLength);
    }
    if (!line.empty() || end < text.size()) read_line(line);
    start = end + 1;
  }
  current_ = nullptr;
}

void ConfigTree::read_line(std::string_view raw) {
  const std::string stripped = strip_line(raw);
  std::string_view line = trim_blanks(stripped);
  if (line.empty()) return;
  if (line.front() == '(') {
    line.remove_prefix(1);
    const std::size_t close = line.find(')');
    current_ = &open_section(cut_name(line.substr(0, close)));
    return;
  }
  if (line.front() == '\\') line.remove_prefix(1);
  const std::size_t eq = line.find('=');
  const std::string name = cut_name(line.substr(0, eq));
  std::optional<std::string> value;
  if (eq != std::string_view::npos) {
    const std::string_view v = trim_blanks(line.substr(eq + 1));
    if (!v.empty()) value = std::string(v);
  }
  add_value(current_ != nullptr ? *current_ : root_, name, std::move(value));
}

ConfigTree::Node* ConfigTree::find(Tree& tree, std::string_view name) {
  auto it = tree.find(name);
  return it == tree.end() || it->second.deleted ? nullptr : &it->second;
}

const ConfigTree::Node* ConfigTree::find(const Tree& tree, std::string_view name) {
  auto it = tree.find(name);
  return it == tree.end() || it->second.deleted ? nullptr : &it->second;
}

const ConfigTree::Tree* ConfigTree::section_tree(std::string_view section) const {
  if (section.empty()) return &root_;
  const Node* node = find(root_, section);
  return node != nullptr ? node->children.get() : nullptr;
}

ConfigTree::Tree* ConfigTree::section_tree_for_update(std::string_view section) {
  if (section.empty()) return &root_;
  Node* node = find(root_, section);
  return node != nullptr ? node->children.get() : nullptr;
}

ConfigTree::Tree& ConfigTree::open_section(std::string_view section) {
  auto [it, inserted] = root_.try_emplace(std::string(section));
  Node& node = it->second;
  node.deleted = false;  // adding to a deleted section brings it back
  if (!node.children) node.children = std::make_unique<Tree>();
  return *node.children;
}

void ConfigTree::add_value(Tree& tree, std::string_view name, std::optional<std::string> value) {
  auto [it, inserted] = tree.try_emplace(std::string(name));
  Node& node = it->second;
  if (!node.values.empty() && node.deleted) node.values.back().deleted = true;
  node.deleted = false;
  node.values.push_back(Value{std::move(value), false});
}

int ConfigTree::nth_index(const Node& node, int n, int* reached) {
  int count = 0;
  for (int i = static_cast<int>(node.values.size()) - 1; i >= 0; --i) {
    const bool newest = i == static_cast<int>(node.values.size()) - 1;
    if (newest ? node.deleted : node.values[static_cast<std::size_t>(i)].deleted) continue;
    if (++count == n) {
      if (reached != nullptr) *reached = count;
      return i;
    }
  }
  if (reached != nullptr) *reached = count;
  return -1;
}

std::string ConfigTree::get(std::string_view section, std::string_view name) const {
  const Tree* tree = section_tree(section);
  const Node* node = tree != nullptr ? find(*tree, name) : nullptr;
  if (node == nullptr || node->values.empty() || !node->values.back().text) return {};
  return *node->values.back().text;
}

std::optional<std::string> ConfigTree::get_nth(std::string_view section, std::string_view name, int n,
                                               int* reached) const {
  if (reached != nullptr) *reached = 0;
  const Tree* tree = section_tree(section);
  if (tree == nullptr) return std::nullopt;
  auto it = tree->find(name);
  if (it == tree->end() || n < 1) return std::nullopt;
  const int i = nth_index(it->second, n, reached);
  if (i < 0) return std::nullopt;
  return it->second.values[static_cast<std::size_t>(i)].text.value_or(std::string());
}

void ConfigTree::enumerate_tree(const Tree& tree, std::vector<ConfigEntry>& out) {
  for (const auto& [name, node] : tree) {
    if (node.values.empty()) {
      if (!node.deleted) out.push_back({name, {}, false});
      continue;
    }
    for (std::size_t i = 0; i < node.values.size(); ++i) {
      const bool newest = i + 1 == node.values.size();
      if (newest ? node.deleted : node.values[i].deleted) continue;
      const auto& text = node.values[i].text;
      out.push_back({name, text.value_or(std::string()), text.has_value()});
    }
  }
}

std::vector<ConfigEntry> ConfigTree::enumerate(std::string_view section) const {
  std::vector<ConfigEntry> out;
  if (const Tree* tree = section_tree(section)) enumerate_tree(*tree, out);
  return out;
}

bool ConfigTree::has_section(std::string_view section) const {
  const Node* node = find(root_, section);
  return node != nullptr && node->children != nullptr;
}

void ConfigTree::add(std::string_view section, std::string_view name, std::string_view value) {
  if (section.empty()) return;
  const std::string_view v = trim_blanks(value);
  add_value(open_section(cut_name(section)), cut_name(name),
            v.empty() ? std::nullopt : std::optional<std::string>(v));
}

void ConfigTree::replace(std::string_view section, std::string_view name,
                         std::optional<std::string_view> value, int n) {
  Tree* tree = section_tree_for_update(section);
  if (tree == nullptr || n < 1) return;
  auto it = tree->find(name);
  if (it == tree->end()) return;
  Node& node = it->second;
  const int i = nth_index(node, n, nullptr);
  if (i < 0) return;
  const bool newest = i + 1 == static_cast<int>(node.values.size());
  auto& slot = node.values[static_cast<std::size_t>(i)];
  if (!value) {
    if (newest)
      slot.text.reset();
    else
      node.values.erase(node.values.begin() + i);
    return;
  }
  const std::string_view v = trim_blanks(*value);
  slot.text = v.empty() ? std::nullopt : std::optional<std::string>(v);
}

void ConfigTree::set(std::string_view section, std::string_view name, std::string_view value) {
  const Tree* tree = section_tree(section);
  if (tree != nullptr && find(*tree, name) != nullptr) {
    replace(section, name, value, 1);
  } else {
    add(section, name, value);
  }
}

void ConfigTree::remove(std::string_view section, std::optional<std::string_view> name, int n) {
  if (!name) {
    if (Node* node = find(root_, section)) node->deleted = true;
    return;
  }
  Tree* tree = section_tree_for_update(section);
  if (tree == nullptr) return;
  auto it = tree->find(*name);
  if (it == tree->end()) return;
  Node& node = it->second;
  const int i = nth_index(node, n, nullptr);
  if (i < 0) return;
  if (i + 1 == static_cast<int>(node.values.size()))
    node.deleted = true;
  else
    node.values[static_cast<std::size_t>(i)].deleted = true;
}

std::string ConfigTree::to_text() const {
  std::string text;
  auto write_entries = [&text](const std::vector<ConfigEntry>& entries) {
    for (const ConfigEntry& e : entries) {
      if (!e.has_value) continue;
      if (!e.name.empty() && (e.name.front() == '(' || e.name.front() == '\\')) text += '\\';
      text += escape(e.name);
      text += '=';
      text += escape(e.value);
      text += '\n';
    }
  };
  write_entries(enumerate({}));
  for (const auto& [name, node] : root_) {
    if (node.deleted || !node.children) continue;
    text += "\n(";
    text += escape(name);
    text += ")\n";
    std::vector<ConfigEntry> entries;
    enumerate_tree(*node.children, entries);
    write_entries(entries);
  }
  return text;
}

ResultCode ConfigTree::save(const std::string& path) const {
  const std::string text = to_text();
  const std::string temp = path + ".new";
  std::FILE* out = std::fopen(temp.c_str(), "w");
  if (out == nullptr) return kCannotOpen;
  const bool written = std::fwrite(text.data(), 1, text.size(), out) == text.size();
  const bool closed = std::fclose(out) == 0;
  if (!written || !closed || std::rename(temp.c_str(), path.c_str()) != 0) {
    ::unlink(temp.c_str());
    return kCannotOpen;
  }
  return 0;
}

// ---------------------------------------------------------------------------

ResultCode ConfigTable::load_main(std::string_view name) {
  return load_main_path("../etc/" + std::string(name.empty() ? "corvanta.cfg" : name));
}

ResultCode ConfigTable::load_main_path(const std::string& path) {
  auto& slot = slots_[static_cast<std::size_t>(slot_of(kMainConfig))];
  if (slot) return kNoFreeHandle;
  std::FILE* in = open_regular_file(path);
  if (in == nullptr) return kCannotOpenMain;
  auto tree = std::make_unique<ConfigTree>();
  tree->read(in);
  std::fclose(in);
  slot = std::move(tree);
  paths_[static_cast<std::size_t>(slot_of(kMainConfig))] = path;
  return 0;
}

int ConfigTable::load(const std::string& path) {
  for (int h = kMainConfig + 1; h <= kHandleSlots; ++h) {
    auto& slot = slots_[static_cast<std::size_t>(slot_of(h))];
    if (slot) continue;
    std::FILE* in = open_regular_file(path);
    if (in == nullptr) return kCannotOpen;
    auto tree = std::make_unique<ConfigTree>();
    tree->read(in);
    std::fclose(in);
    slot = std::move(tree);
    paths_[static_cast<std::size_t>(slot_of(h))] = path;
    return h;
  }
  return kNoFreeHandle;
}

void ConfigTable::close(ConfigHandle h) {
  if (h < 0 || h > kHandleSlots) return;
  slots_[static_cast<std::size_t>(slot_of(h))].reset();
  paths_[static_cast<std::size_t>(slot_of(h))].clear();
}

void ConfigTable::close_all() {
  for (auto& slot : slots_) slot.reset();
  for (auto& path : paths_) path.clear();
}

const std::string& ConfigTable::path(ConfigHandle h) const {
  static const std::string kNone;
  if (h < 0 || h > kHandleSlots) return kNone;
  return paths_[static_cast<std::size_t>(slot_of(h))];
}

ConfigTree* ConfigTable::tree(ConfigHandle h) {
  if (h < 0 || h > kHandleSlots) return nullptr;
  return slots_[static_cast<std::size_t>(slot_of(h))].get();
}

const ConfigTree* ConfigTable::tree(ConfigHandle h) const {
  if (h < 0 || h > kHandleSlots) return nullptr;
  return slots_[static_cast<std::size_t>(slot_of(h))].get();
}

std::string ConfigTable::get(ConfigHandle h, std::string_view section, std::string_view name) const {
  const ConfigTree* t = tree(h);
  return t != nullptr ? t->get(section, name) : std::string();
}

long ConfigTable::get_long(ConfigHandle h, std::string_view section, std::string_view name) const {
  return parse_long(get(h, section, name));
}

int ConfigTable::get_int(ConfigHandle h, std::string_view section, std::string_view name) const {
  const long v = get_long(h, section, name);
  if (v > INT32_MAX) return INT32_MAX;
  if (v < INT32_MIN) return INT32_MIN;
  return static_cast<int>(v);
}

char ConfigTable::get_char(ConfigHandle h, std::string_view section, std::string_view name) const {
  const std::string v = get(h, section, name);
  return v.empty() ? '\0' : v.front();
}

std::optional<std::string> ConfigTable::get_nth(ConfigHandle h, std::string_view section,
                                                std::string_view name, int& n) const {
  const ConfigTree* t = tree(h);
  if (t == nullptr) return std::nullopt;
  int reached = 0;
  auto value = t->get_nth(section, name, n, &reached);
  n = reached;
  return value;
}

std::optional<std::string> ConfigTable::get_next(ConfigHandle h, std::string_view section,
                                                 std::string_view name, int& n) const {
  ++n;
  return get_nth(h, section, name, n);
}

std::vector<ConfigEntry> ConfigTable::enumerate(ConfigHandle h, std::string_view section) const {
  const ConfigTree* t = tree(h);
  return t != nullptr ? t->enumerate(section) : std::vector<ConfigEntry>();
}

}  // namespace corvanta::config
