// Fuzz target: the command-line parser. Any bytes must parse without
// overflowing the list, and every stored word, name and value must keep the
// limits and the case rules of the grammar.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "shell/params.h"

namespace {

void require(bool ok) {
  if (!ok) std::abort();
}

bool has_lower(std::string_view s) {
  for (char c : s) {
    if (c >= 'a' && c <= 'z') return true;
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::size_t split = input.find('\n');
  const std::string_view line = input.substr(0, split);

  corvanta::ParamList list(corvanta::kCommandLineEntries);
  list.parse(line);
  require(list.command().size() <= corvanta::kMaxCommandWord && !has_lower(list.command()));
  require(list.count() <= corvanta::kCommandLineEntries);
  for (const corvanta::ParamEntry& e : list.entries()) {
    require(!e.name.empty() && e.name.size() <= corvanta::kMaxParamName && !has_lower(e.name));
    require(e.value.size() <= corvanta::kMaxParamValue);
    require(list.get(e.name).data() != nullptr);
  }
  if (split != std::string_view::npos) {
    const std::string_view rest = input.substr(split + 1);
    const std::size_t before = list.count();
    list.add(rest.substr(0, rest.size() / 2), rest.substr(rest.size() / 2));
    require(list.count() <= before + 1 && list.count() <= corvanta::kCommandLineEntries);
    std::string value;
    require(corvanta::scan_value(value, rest) <= rest.size() && value.size() <= corvanta::kMaxParamValue);
  }
  return 0;
}
