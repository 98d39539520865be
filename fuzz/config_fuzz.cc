// Fuzz target: the configuration reader. Any bytes must read without a
// crash, names must keep their limit, and a tree written out as text must
// read back with the same sections and values.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "config/config_file.h"

namespace {

using corvanta::config::ConfigEntry;
using corvanta::config::ConfigTree;

void require(bool ok) {
  if (!ok) std::abort();
}

std::vector<std::string> values_of(const ConfigTree& t, std::string_view section) {
  std::vector<std::string> out;
  for (const ConfigEntry& e : t.enumerate(section)) {
    if (e.has_value) out.push_back(e.name + "=" + e.value);
  }
  return out;
}

// The text form can only be read back the same when no escaped line grows
// past the reader's line limit.
bool lines_fit(std::string_view text) {
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    if (end - start > corvanta::config::kMaxLineLength) return false;
    start = end + 1;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  ConfigTree tree;
  tree.read_text(std::string_view(reinterpret_cast<const char*>(data), size));
  const std::vector<ConfigEntry> sections = tree.enumerate("");
  for (const ConfigEntry& s : sections) {
    require(s.name.size() <= corvanta::config::kMaxNameLength);
    for (const ConfigEntry& e : tree.enumerate(s.name)) {
      require(e.name.size() <= corvanta::config::kMaxNameLength);
      (void)tree.get(s.name, e.name);
    }
  }

  const std::string text = tree.to_text();
  if (!lines_fit(text)) return 0;
  ConfigTree again;
  again.read_text(text);
  require(values_of(tree, "") == values_of(again, ""));
  for (const ConfigEntry& s : sections) {
    if (s.name.empty()) continue;  // a section "()" is not reachable by name
    require(values_of(tree, s.name) == values_of(again, s.name));
  }
  return 0;
}
