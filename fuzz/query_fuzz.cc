// Fuzz target: the query parser in every mode, the layout parser and the
// stored set decoder. A parse that succeeds must give nodes whose links and
// payloads stay inside their arrays, without cycles; a decoded set holds
// exactly the hits its count says.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "forms/formatting.h"
#include "search/query.h"
#include "search/result_sets.h"

namespace {

using namespace corvanta::records;

void check_level(const ParsedQuery& q, int node, std::vector<char>& seen) {
  for (int n = node; n >= 0; n = q.nodes[static_cast<std::size_t>(n)].next) {
    if (static_cast<std::size_t>(n) >= q.nodes.size() || seen[static_cast<std::size_t>(n)]) std::abort();
    seen[static_cast<std::size_t>(n)] = 1;
    const QueryNode& qn = q.nodes[static_cast<std::size_t>(n)];
    if (qn.kind == 'A' && qn.payload >= q.terms.size()) std::abort();
    if (qn.kind == 'L' && (qn.payload >= q.sets.size() || q.sets[qn.payload] == 0)) std::abort();
    if (qn.kind == 'Q') check_level(q, static_cast<int>(qn.payload), seen);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  for (const char mode : {'R', 'F', 'I'}) {
    ParsedQuery q;
    if (qry_parse(mode, input, q, 50).ok()) {
      if (q.nodes.empty() || q.nodes.size() > 50) std::abort();
      std::vector<char> seen(q.nodes.size(), 0);
      check_level(q, 0, seen);
    }
  }
  Layout layout;
  long line = 0;
  (void)parse_layout(input, layout, line);
  ResultSet set;
  if (decode_stored_set(input, set).ok()) {
    if (input.size() < kStoredSetHeader + set.hits.size() * 4 || set.query.size() > kMaxSetQuery)
      std::abort();
  }
  return 0;
}
