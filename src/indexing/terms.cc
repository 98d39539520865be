#include "indexing/terms.h"

#include <algorithm>

#include "dbm/codes.h"
#include "records/translate.h"
#include "util/big_endian.h"
#include "util/unicode.h"

namespace corvanta::records {
namespace {

constexpr std::size_t kMaxMarks = 9;
constexpr std::size_t kMaxStopKey = 256;

// The piece size of the data types cut into pieces; 0 for text and types
// that give no terms.
std::size_t piece_size(std::uint8_t type) {
  switch (type) {
    case 2:
    case 5: return 4;
    case 3: return 5;
    case 4: return 9;
    case 6: return 8;
    default: return 0;
  }
}

bool is_text(std::uint8_t type) {
  return type == 1 || type == 7;
}

// A negative number (first byte 0x01) of types 3 and 4 is stored with every
// byte inverted, so that it orders before the positive ones.
void invert(std::string& piece) {
  for (char& c : piece) c = static_cast<char>(~static_cast<unsigned char>(c));
}

// MAXLEN: at most 240; 0 counts as the default.
std::size_t max_length(const dict::TermDef& def) {
  return def.max_length == 0 ? dict::kMaxTermLength
                             : std::min<std::size_t>(def.max_length, dict::kMaxTermLength);
}

std::string aligned(std::string term, const dict::TermDef& def) {
  const std::size_t max = max_length(def);
  if (def.align == dict::Align::None || term.size() >= max) return term;
  if (def.align == dict::Align::Left) {
    term.append(max - term.size(), def.fill);
  } else {
    term.insert(0, max - term.size(), def.fill);
  }
  return term;
}

bool only_fill(std::string_view term, const dict::TermDef& def) {
  return std::all_of(term.begin(), term.end(), [&](char c) { return c == def.fill; });
}

// TYPE=YEAR: the first run of exactly four digits ("c1999." gives "1999",
// "12345" none), empty when there is none.
std::string_view first_year(std::string_view value) {
  const auto digit = [](char c) { return c >= '0' && c <= '9'; };
  for (std::size_t i = 0; i < value.size();) {
    if (!digit(value[i])) {
      ++i;
      continue;
    }
    std::size_t end = i;
    while (end < value.size() && digit(value[end])) ++end;
    if (end - i == 4) return value.substr(i, 4);
    i = end;
  }
  return {};
}

// TYPE=ISBN: the first ISBN of the value, its digits (and a final X) only;
// empty when the value has none.
std::string first_isbn(std::string_view value) {
  const auto digit = [](char c) { return c >= '0' && c <= '9'; };
  for (std::size_t i = 0; i < value.size(); ++i) {
    if (!digit(value[i]) || (i > 0 && (digit(value[i - 1]) || value[i - 1] == '-'))) continue;
    std::string isbn;
    std::size_t at = i;
    for (; at < value.size() && isbn.size() < 13; ++at) {
      const char c = value[at];
      if (digit(c)) {
        isbn += c;
      } else if ((c == 'X' || c == 'x') && isbn.size() == 9) {
        isbn += 'X';
        ++at;
        break;
      } else if (c != '-' && c != ' ') {
        break;
      }
    }
    const bool ends = at >= value.size() || !digit(value[at]);
    if (ends && (isbn.size() == 10 || (isbn.size() == 13 && isbn.back() != 'X'))) return isbn;
  }
  return {};
}

std::string indicator_prefix(std::string_view indicators) {
  std::string prefix = "__";
  if (!indicators.empty() && indicators[0] != ' ') prefix[0] = indicators[0];
  if (indicators.size() > 1 && indicators[1] != ' ') prefix[1] = indicators[1];
  return prefix;
}

// The word terms of a text (step by step as documented in terms.h).
ResultCode word_terms(TermList& list, const dict::TermDef& def, TermMode mode, std::string_view text) {
  const std::size_t max = max_length(def);
  const std::size_t min = std::max<std::size_t>(def.min_length, 1);
  const bool search = mode == TermMode::Search;
  const bool phrase = mode == TermMode::Phrase;
  const bool retrieval = mode == TermMode::Retrieval || phrase;
  std::size_t i = 0;
  const std::size_t n = text.size();
  while (i < n) {
    char cls = kTermNormal;
    std::string term;
    std::vector<std::size_t> marks;
    while (i < n && text[i] == ' ') ++i;
    if (i >= n) break;
    while (i < n) {
      const auto c = static_cast<unsigned char>(text[i]);
      if (c == 0x01) {
        if (!search) {
          ++i;
          break;
        }
        term += static_cast<char>(c);
      } else if (c > 0x09) {
        if (!(c == ' ' && !search && !term.empty() && term.back() == ' ')) term += static_cast<char>(c);
      } else if (c == 0x02 && !phrase) {
        std::size_t end = text.find('\x03', i + 1);
        i = end == std::string_view::npos ? n : end;
        if (search && i + 1 < n && text[i + 1] == ' ') ++i;
      } else if (c == 0x04 && !phrase) {
        std::size_t end = text.find_first_of(std::string_view("\x04\x03", 2), i + 1);
        i = end == std::string_view::npos ? n : end;
      } else if (c == 0x05) {
        cls = kTermKept;
      } else if (c == 0x06) {
        if (mode == TermMode::Index && marks.size() < kMaxMarks) marks.push_back(term.size());
      } else if (c == 0x08 || c == 0x09) {
        if (retrieval) {
          term += static_cast<char>(c);
          cls = kTermTruncated;
        }
      } else if (c == 0x03 || c == 0x07) {
        term += static_cast<char>(c);
      }
      ++i;
      if (term.size() >= max) {
        // The rest of the word gives no term; in search mode the text is
        // one word.
        while (i < n && (search || text[i] != '\x01')) ++i;
      }
    }
    if (search) {
      // Word ends at the edges of a search term separate nothing.
      const std::size_t first = term.find_first_not_of("\x01 ");
      term.erase(0, first == std::string::npos ? term.size() : first);
      while (!term.empty() && (term.back() == '\x01' || term.back() == ' ')) term.pop_back();
    }
    while (!term.empty() && term.back() == ' ') term.pop_back();
    if (term.size() < min) continue;
    if (const ResultCode rc = list.append(cls, aligned(term, def)); rc.failed()) return rc;
    if (search) break;
    if (!marks.empty()) {
      std::vector<std::size_t> bounds{0};
      for (const std::size_t m : marks) bounds.push_back(std::min(m, term.size()));
      bounds.push_back(term.size());
      bounds.erase(std::unique(bounds.begin(), bounds.end()), bounds.end());  // marks at the edges
      for (std::size_t a = 0; a < bounds.size(); ++a) {
        for (std::size_t b = a + 1; b < bounds.size(); ++b) {
          if (bounds[b] <= bounds[a] || (bounds[a] == 0 && bounds[b] == term.size())) continue;
          const std::string piece = term.substr(bounds[a], bounds[b] - bounds[a]);
          if (piece.size() < min) continue;
          if (const ResultCode rc = list.append(cls, aligned(piece, def)); rc.failed()) return rc;
        }
      }
    }
  }
  return 0;
}

ResultCode apply_stop_words(const TermContext& ctx, TermList& list, const dict::TermDef& def) {
  if (def.stop_file == 0 || ctx.dbm == nullptr) {
    for (auto& e : list.entries()) {
      if (e.cls == kTermKept) e.cls = kTermNormal;
    }
    return 0;
  }
  const std::size_t count = list.entries().size();
  bool any_kept = false;
  for (std::size_t k = 0; k < count; ++k) {
    if (list.entries()[k].cls == kTermKept) {
      list.entries()[k].cls = kTermNormal;
      any_kept = true;
      continue;
    }
    if (list.entries()[k].cls != kTermNormal) {
      any_kept = true;
      continue;
    }
    std::string extra;
    ResultCode rc = 0;
    std::string cache_key;
    if (ctx.stop_cache != nullptr) {
      cache_key =
          std::to_string(def.stop_file) + ':' + std::to_string(def.stop_list) + ':' + list.entries()[k].term;
      if (const auto it = ctx.stop_cache->find(cache_key); it != ctx.stop_cache->end()) {
        rc = it->second.first;
        extra = it->second.second;
      } else {
        rc = stp_lookup(*ctx.dbm, ctx.pool, def.stop_file, def.stop_list, list.entries()[k].term, extra);
        if (rc.ok()) ctx.stop_cache->emplace(cache_key, std::make_pair(rc.code(), extra));
      }
    } else {
      rc = stp_lookup(*ctx.dbm, ctx.pool, def.stop_file, def.stop_list, list.entries()[k].term, extra);
    }
    if (rc.failed()) return rc;
    if (rc.code() == 1) {
      list.entries()[k].cls = kTermStop;
      continue;
    }
    any_kept = true;
    if (rc.code() == 2) {
      if (const ResultCode a = list.append(kTermNormal, aligned(extra, def)); a.failed()) return a;
    }
  }
  if (!any_kept) {
    // A value of stop words only is indexed with all of them.
    for (auto& e : list.entries()) e.cls = kTermNormal;
  } else {
    list.remove_class(kTermStop);
  }
  return 0;
}

std::string stop_key(int stop_list, std::string_view term, std::size_t key_length) {
  std::string key(2, '\0');
  key[0] = static_cast<char>((stop_list >> 8) & 0xFF);
  key[1] = static_cast<char>(stop_list & 0xFF);
  key.append(term.substr(0, key_length > 2 ? key_length - 2 : 0));
  key.resize(key_length, ' ');
  return key;
}

ResultCode stop_key_for(dbm::Dbm& dbm, std::string_view pool, int stop_file, int stop_list,
                        std::string_view term, std::string& key) {
  dbm::FileInfo info;
  if (const ResultCode rc = dbm.file_info(pool, stop_file, info); rc.failed()) return rc;
  key = stop_key(stop_list, term,
                 std::min<std::size_t>(static_cast<std::size_t>(info.key_length), kMaxStopKey));
  return 0;
}

}  // namespace

ResultCode TermList::append(char cls, std::string_view term) {
  const std::size_t size = 3 + term.size();
  if (bytes_ + size >= capacity_) return kTermListFull;
  entries_.push_back({cls, std::string(term)});
  bytes_ += size;
  return 0;
}

void TermList::remove_class(char cls) {
  std::erase_if(entries_, [&](const Entry& e) {
    if (e.cls != cls) return false;
    bytes_ -= 3 + e.term.size();
    return true;
  });
}

std::string TermList::encode() const {
  std::string out;
  for (const Entry& e : entries_) {
    const std::size_t size = 3 + e.term.size();
    out += static_cast<char>((size >> 8) & 0xFF);
    out += static_cast<char>(size & 0xFF);
    out += e.cls;
    out += e.term;
  }
  return out;
}

ResultCode trm_generate(const TermContext& ctx, TermList& list, std::string_view indicators,
                        const dict::TermDef* term, TermMode mode, std::string_view value, std::uint8_t type) {
  list.clear();
  if (term == nullptr) return kNoTermDefinition;
  if (is_text(type) && term->type == dict::TermType::Year) {
    value = first_year(value);
    if (value.empty()) return 0;
  }
  std::string isbn;
  if (is_text(type) && term->type == dict::TermType::Isbn) {
    isbn = first_isbn(value);
    if (!isbn.empty()) value = isbn;
  }
  if (is_text(type)) {
    // The value in NFC, so that composed and decomposed letters give the
    // same terms. Control bytes are the translation's to make: those in the
    // data itself (line feeds and tabs too) are taken as blanks, so that
    // stored text cannot steer its own terms and ends a word there.
    std::string translated;
    std::string cleaned = to_nfc(value);
    for (char& c : cleaned) {
      if (static_cast<unsigned char>(c) < 0x20) c = ' ';
    }
    value = cleaned;
    if (!term->translation.empty() && ctx.translations != nullptr) {
      if (const TranslationTable* table = ctx.translations->find(term->translation)) {
        translated = table->translate(value, kPlain, ctx.escape);
        value = translated;
      }
    }
    if (const ResultCode rc = word_terms(list, *term, mode, value); rc.failed()) return rc;
    if (mode == TermMode::Retrieval || mode == TermMode::Phrase) {
      std::erase_if(list.entries(), [&](const TermList::Entry& e) {
        return e.cls == kTermTruncated && only_fill(e.term, *term);
      });
    }
    if (mode != TermMode::Phrase) {
      if (const ResultCode rc = apply_stop_words(ctx, list, *term); rc.failed()) return rc;
    }
  } else if (const std::size_t size = piece_size(type); size != 0) {
    for (std::size_t at = 0; at + size <= value.size(); at += size) {
      std::string piece(value.substr(at, size));
      if ((type == 3 || type == 4) && static_cast<unsigned char>(piece[0]) == 0x01) invert(piece);
      if (const ResultCode rc = list.append(kTermNormal, piece); rc.failed()) return rc;
    }
  }
  if (term->indicators) {
    const std::string prefix = indicator_prefix(indicators);
    std::vector<TermList::Entry> entries = std::move(list.entries());
    list.clear();
    for (const TermList::Entry& e : entries) {
      if (const ResultCode rc = list.append(e.cls, prefix + e.term); rc.failed()) return rc;
    }
  }
  return static_cast<std::int32_t>(list.entries().size());
}

std::string trm_display(std::string_view stored, const dict::TermDef& term, std::uint8_t type,
                        std::size_t capacity) {
  std::string out;
  if (const std::size_t size = piece_size(type); size != 0 && !is_text(type)) {
    out = std::string(stored);
    if ((type == 3 || type == 4) && !out.empty() && static_cast<unsigned char>(out[0]) == 0xFE) invert(out);
  } else {
    if (term.indicators) stored.remove_prefix(std::min<std::size_t>(2, stored.size()));
    out = std::string(stored);
  }
  if (out.size() > capacity) out.resize(capacity);
  return out;
}

ResultCode stp_lookup(dbm::Dbm& dbm, std::string_view pool, int stop_file, int stop_list,
                      std::string_view term, std::string& target) {
  target.clear();
  std::string key;
  if (const ResultCode rc = stop_key_for(dbm, pool, stop_file, stop_list, term, key); rc.failed()) return rc;
  std::vector<unsigned char> buffer(kMaxStopKey);
  dbm::DataRef value{buffer};
  const ResultCode rc = dbm.read(pool, stop_file, reinterpret_cast<const unsigned char*>(key.data()), value);
  if (rc.code() == 1) return 0;  // not there
  if (rc.failed()) return rc;
  const std::string_view data(reinterpret_cast<const char*>(buffer.data()), value.length);
  if (data.empty() || data == " ") return 1;
  target = std::string(data);
  return 2;
}

ResultCode stp_add(dbm::Dbm& dbm, std::string_view pool, int stop_file, int stop_list, std::string_view term,
                   std::string_view data) {
  std::string key;
  if (const ResultCode rc = stop_key_for(dbm, pool, stop_file, stop_list, term, key); rc.failed()) return rc;
  const std::string_view stored = data.empty() ? std::string_view(" ") : data;
  return dbm.load(pool, stop_file, reinterpret_cast<const unsigned char*>(key.data()),
                  {reinterpret_cast<const unsigned char*>(stored.data()), stored.size()});
}

}  // namespace corvanta::records
