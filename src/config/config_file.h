// Configuration files: the reader, the in-memory tree and the handle table.
//
// Every setting of the service lives in text files of one format: section
// headers in parentheses and lines NAME=VALUE. The same reader serves the
// main configuration, message and text files and any such file a command
// opens. A loaded file is a ConfigTree; the ConfigTable owns up to 20 of them
// and names each by a small number, the ConfigHandle (2 is the main
// configuration, further files get 3 to 20).
//
// Names of sections and entries compare without regard to case. A name that
// occurs several times in one section keeps all its values: the newest is the
// entry's value, the earlier ones form its older values. Deleted entries and
// sections stay in the tree but are invisible to lookups, enumeration and
// saving.
//
// Not thread-safe; the service is single-threaded.
#pragma once

#include <array>
#include <cstdio>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "util/result.h"
#include "util/text.h"

namespace corvanta::config {

using ConfigHandle = int;

inline constexpr ConfigHandle kMainConfig = 2;
inline constexpr int kHandleSlots = 20;
inline constexpr std::size_t kMaxLineLength = 199;
inline constexpr std::size_t kMaxNameLength = 50;

// Result codes of the configuration reader.
inline constexpr int kCannotOpen = -1;
inline constexpr int kCannotOpenMain = -3;
inline constexpr int kNoFreeHandle = -5;  // also: main configuration loaded twice
inline constexpr int kOutOfMemory = -6;

// One (name, value) pair of an enumeration. `has_value` is false for an entry
// written without a value and for a section node listed at the top level.
struct ConfigEntry {
  std::string name;
  std::string value;
  bool has_value = false;
};

class ConfigTree {
 public:
  ConfigTree() = default;
  ConfigTree(const ConfigTree&) = delete;
  ConfigTree& operator=(const ConfigTree&) = delete;
  ConfigTree(ConfigTree&&) = default;
  ConfigTree& operator=(ConfigTree&&) = default;

  // Reads a whole file in the configuration format. Never fails on content:
  // what does not fit the format is read as well as it can be.
  void read(std::FILE* in);
  void read_text(std::string_view text);

  // In every call below an empty `section` names the top level (the entries
  // before the first section header).

  // Newest value of the entry; empty when missing, deleted or without value.
  std::string get(std::string_view section, std::string_view name) const;
  // The n-th visible value counted from the newest (1 = newest); nullopt when
  // there are fewer. `reached` receives the count of values walked.
  std::optional<std::string> get_nth(std::string_view section, std::string_view name, int n,
                                     int* reached = nullptr) const;
  // Entries in name order; repeated names list their values earliest first.
  std::vector<ConfigEntry> enumerate(std::string_view section) const;
  bool has_section(std::string_view section) const;

  // Adds a value like a line of the file; creates the section. Nothing
  // happens without a section.
  void add(std::string_view section, std::string_view name, std::string_view value);
  // Changes the n-th value: an empty text clears it, nullopt removes an older
  // value from the chain (the newest one is cleared instead).
  void replace(std::string_view section, std::string_view name, std::optional<std::string_view> value, int n);
  // replace(..., 1) when the entry exists, else add().
  void set(std::string_view section, std::string_view name, std::string_view value);
  // Without a name: deletes the whole section. With one: its n-th value.
  void remove(std::string_view section, std::optional<std::string_view> name, int n);

  // The tree as text: values of the top level first, then each section with
  // its entries in name order. Entries without a value are left out; "*" and
  // a leading "(" or "\\" are escaped so that the text reads back the same.
  std::string to_text() const;
  // Writes to_text() to a temporary file and renames it over `path`, so a
  // failed save leaves the old file. Returns 0 or -1.
  ResultCode save(const std::string& path) const;

 private:
  struct Value {
    std::optional<std::string> text;
    bool deleted = false;
  };
  struct Node;
  using Tree = std::map<std::string, Node, NoCaseLess>;
  struct Node {
    std::vector<Value> values;  // earliest first; back() is the newest
    std::unique_ptr<Tree> children;
    bool deleted = false;  // the node itself: its newest value and its section
  };

  void read_line(std::string_view raw);
  static Node* find(Tree& tree, std::string_view name);
  static const Node* find(const Tree& tree, std::string_view name);
  const Tree* section_tree(std::string_view section) const;
  Tree* section_tree_for_update(std::string_view section);
  Tree& open_section(std::string_view section);
  static void add_value(Tree& tree, std::string_view name, std::optional<std::string> value);
  // Index into node.values of the n-th visible value from the newest, or -1.
  static int nth_index(const Node& node, int n, int* reached);
  static void enumerate_tree(const Tree& tree, std::vector<ConfigEntry>& out);

  Tree root_;
  Tree* current_ = nullptr;  // section that lines go into while reading
};

// The handle table: 20 slots, slot h - 1 for handle h; handles 0 and 1 name
// the first slot, which is never loaded. Reads on an invalid or free handle
// give the empty text; updates do nothing.
class ConfigTable {
 public:
  // Loads "../etc/" + name (default "corvanta.cfg") as handle 2.
  ResultCode load_main(std::string_view name = {});
  // Loads `path` as handle 2: 0, -5 when loaded already, -3 when unreadable.
  ResultCode load_main_path(const std::string& path);
  // Loads `path` under the lowest free handle 3..20: the handle, -5 when all
  // are in use, -1 when the file cannot be opened.
  int load(const std::string& path);
  void close(ConfigHandle h);
  void close_all();
  bool loaded(ConfigHandle h) const { return tree(h) != nullptr; }
  // The path a loaded handle was read from; empty for a free handle.
  const std::string& path(ConfigHandle h) const;

  ConfigTree* tree(ConfigHandle h);
  const ConfigTree* tree(ConfigHandle h) const;

  std::string get(ConfigHandle h, std::string_view section, std::string_view name) const;
  long get_long(ConfigHandle h, std::string_view section, std::string_view name) const;
  int get_int(ConfigHandle h, std::string_view section, std::string_view name) const;
  char get_char(ConfigHandle h, std::string_view section, std::string_view name) const;
  std::optional<std::string> get_nth(ConfigHandle h, std::string_view section, std::string_view name,
                                     int& n) const;
  std::optional<std::string> get_next(ConfigHandle h, std::string_view section, std::string_view name,
                                      int& n) const;
  std::vector<ConfigEntry> enumerate(ConfigHandle h, std::string_view section) const;

 private:
  static int slot_of(ConfigHandle h) { return h <= 1 ? 0 : h - 1; }
  std::array<std::unique_ptr<ConfigTree>, kHandleSlots> slots_;
  std::array<std::string, kHandleSlots> paths_;
};

}  // namespace corvanta::config
