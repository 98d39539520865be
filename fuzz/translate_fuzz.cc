// Fuzz target: the translation table reader and the translator. The first
// part of the input (up to a NUL byte) is a table; the rest is translated in
// every mode. Targets of sequences are at most 8 bytes; with the UTF-8 check
// on, a sequence writes only one well-formed character.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "records/translate.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::size_t split = input.find('\0');
  corvanta::records::TranslationTable table("T");
  table.load_text(input.substr(0, split), '\\');
  for (const auto& s : table.sequences()) {
    if (s.source.empty() || s.source.size() > 8 || s.target.size() > 8) std::abort();
  }
  const std::string_view text = split == std::string_view::npos ? input : input.substr(split + 1);
  for (int mode = 0; mode < 4; ++mode) (void)table.translate(text, mode, '\\');
  return 0;
}
