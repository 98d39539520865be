#include "util/unicode.h"

#include <unicode/bytestream.h>
#include <unicode/normalizer2.h>
#include <unicode/unistr.h>

#include <algorithm>
#include <cstdint>

namespace corvanta {

std::size_t utf8_char_length(std::string_view s) noexcept {
  if (s.empty()) return 0;
  const auto b = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
  const unsigned char c = b(0);
  if (c < 0x80) return 1;
  std::size_t n = 0;
  unsigned char low = 0x80;
  unsigned char high = 0xBF;  // the range of the second byte
  if (c >= 0xC2 && c <= 0xDF) {
    n = 2;
  } else if (c >= 0xE0 && c <= 0xEF) {
    n = 3;
    if (c == 0xE0) low = 0xA0;   // no overlong forms
    if (c == 0xED) high = 0x9F;  // no surrogates
  } else if (c >= 0xF0 && c <= 0xF4) {
    n = 4;
    if (c == 0xF0) low = 0x90;
    if (c == 0xF4) high = 0x8F;  // nothing beyond U+10FFFF
  } else {
    return 0;
  }
  if (s.size() < n || b(1) < low || b(1) > high) return 0;
  for (std::size_t i = 2; i < n; ++i) {
    if ((b(i) & 0xC0) != 0x80) return 0;
  }
  return n;
}

bool is_ascii(std::string_view text) noexcept {
  return std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

bool is_valid_utf8(std::string_view text) noexcept {
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t n = utf8_char_length(text.substr(at));
    if (n == 0) return false;
    at += n;
  }
  return true;
}

std::string to_nfc(std::string_view text) {
  // ASCII is its own normal form; most values are ASCII.
  if (is_ascii(text) || text.size() > 0x7FFFFFFF || !is_valid_utf8(text)) {
    return std::string(text);
  }
  UErrorCode status = U_ZERO_ERROR;
  const icu::Normalizer2* nfc = icu::Normalizer2::getNFCInstance(status);
  if (U_FAILURE(status)) return std::string(text);
  // Checked and normalised in UTF-8, without a copy in UTF-16.
  const icu::StringPiece piece(text.data(), static_cast<std::int32_t>(text.size()));
  if (nfc->isNormalizedUTF8(piece, status) && U_SUCCESS(status)) return std::string(text);
  status = U_ZERO_ERROR;
  std::string out;
  icu::StringByteSink<std::string> sink(&out, static_cast<std::int32_t>(text.size()));
  nfc->normalizeUTF8(0, piece, sink, nullptr, status);
  if (U_FAILURE(status)) return std::string(text);
  return out;
}

}  // namespace corvanta
