#include "config/dict_keywords.h"

#include <array>

namespace corvanta::dict {
namespace {

constexpr std::array kTexts = {
#define CORVANTA_KW_TEXT(name) std::string_view(#name "="),
    CORVANTA_DICTIONARY_KEYWORDS(CORVANTA_KW_TEXT)
#undef CORVANTA_KW_TEXT
};
static_assert(kTexts.size() == kKeywordCount, "the keyword table has 149 entries");

}  // namespace

std::string_view keyword_text(Kw kw) {
  return kTexts[static_cast<std::size_t>(kw)];
}

std::optional<Kw> match_keyword(std::string_view text) {
  for (std::size_t i = 0; i < kTexts.size(); ++i) {
    if (text.substr(0, kTexts[i].size()) == kTexts[i]) return static_cast<Kw>(i);
  }
  return std::nullopt;
}

}  // namespace corvanta::dict
