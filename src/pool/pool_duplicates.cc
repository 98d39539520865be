// The duplicate search of imports and of the record update service.
#include <algorithm>
#include <iterator>
#include <optional>

#include "pool/pool_service.h"

namespace corvanta::records {
namespace {

// The texts of every occurrence of `tag` in a record in external form, in
// order, with or without indicators.
std::vector<std::string> field_texts(RecordHandle& h, const std::string& tag, bool indicators) {
  std::vector<std::string> out;
  FieldDesc f;
  for (ResultCode rc = fld_first(h, f); rc.code() == 0; rc = fld_next(h, f)) {
    if (f.tag != tag) continue;
    std::string text = indicators ? f.indicators + "|" : std::string();
    FieldDesc s;
    if (sfl_first(h, f, s).code() == 0) {
      do {
        text += '\x1f' + s.tag + std::string(s.content());
      } while (sfl_next(h, f, s).code() == 0);
    } else {
      text += f.content();
    }
    out.push_back(std::move(text));
  }
  return out;
}

// Marks in `selection` the indexes fed by `tag` (their SOURCE= or an
// ELSE= element); false when there is none.
bool select_indexes(const dict::FileDef& file, const std::string& tag, std::vector<std::uint8_t>& selection) {
  bool any = false;
  for (const dict::IndexDef* index : file.indexes) {
    bool feeds = index->source.tag == tag;
    for (const dict::Element& e : index->fallbacks) feeds = feeds || e.tag == tag;
    if (feeds && index->number < selection.size()) {
      selection[index->number] = 1;
      any = true;
    }
  }
  return any;
}

std::vector<std::string> sorted_keys(const ListEntries& entries) {
  std::vector<std::string> keys;
  for (const ListEntry& e : entries) keys.push_back(std::to_string(e.file) + ':' + e.key);
  std::sort(keys.begin(), keys.end());
  keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
  return keys;
}

constexpr std::size_t kIndexNumbers = 1000;

}  // namespace

ResultCode PoolLayer::rec_duplicates(const dict::AppPoolDef& pool, const dict::FileDef& file, RecordHandle& h,
                                     std::vector<std::uint32_t>& found) {
  found.clear();
  if (file.doubles.empty()) return 0;
  RecordHandle temp;
  RecordHandle* image = nullptr;
  if (const ResultCode rc = internal_image(file, h, temp, image); rc.failed()) return rc;
  const IndexContext ctx = index_context(pool);
  std::vector<unsigned char> buffer(2048);
  bool applied = false;
  for (const dict::DoubleDef* check : file.doubles) {
    if (check->fallback && applied) continue;
    // Candidates: the records every indexed field of the key that gives
    // this record terms shares a term with.
    std::optional<std::vector<std::uint32_t>> candidates;
    std::vector<std::uint8_t> key_indexes(kIndexNumbers, 0);
    for (const dict::TagDef* tag : check->tags) {
      std::vector<std::uint8_t> selection(kIndexNumbers, 0);
      if (!select_indexes(file, tag->tag, selection)) continue;
      for (std::size_t i = 0; i < kIndexNumbers; ++i) key_indexes[i] |= selection[i];
      ListEntries entries;
      if (const ResultCode rc = idx_entries(ctx, file, *image, entries, &selection); rc.failed()) return rc;
      if (entries.empty()) continue;
      std::vector<std::uint32_t> hits;
      for (const ListEntry& entry : entries) {
        std::vector<unsigned char> key(entry.key.begin(), entry.key.end());
        dbm::DataRef value{buffer};
        dbm::Continuation cont;
        const ResultCode rc = dbm_.read(pool.name, entry.file, key.data(), value, &cont);
        if (rc.code() == dbm::kAbsent) continue;
        if (const ResultCode r = take_list_items(dbm_, pool.name, entry.file, rc, buffer, value, cont, hits);
            r.failed())
          return r;
      }
      std::sort(hits.begin(), hits.end());
      hits.erase(std::unique(hits.begin(), hits.end()), hits.end());
      std::erase(hits, h.idn);
      if (!candidates) {
        candidates = std::move(hits);
      } else {
        std::vector<std::uint32_t> both;
        std::set_intersection(candidates->begin(), candidates->end(), hits.begin(), hits.end(),
                              std::back_inserter(both));
        candidates = std::move(both);
      }
    }
    if (!candidates) continue;  // the record does not carry the key
    applied = true;
    std::vector<std::string> own_terms;
    if (check->found == 'T') {
      ListEntries entries;
      if (const ResultCode rc = idx_entries(ctx, file, *image, entries, &key_indexes); rc.failed()) return rc;
      own_terms = sorted_keys(entries);
    }
    for (const std::uint32_t idn : *candidates) {
      if (check->found != 'C' && check->found != 'T') {
        found.push_back(idn);
        continue;
      }
      // Both records as stored, so that what storing changes (blanks at
      // the end of a value) does not count.
      RecordHandle stored;
      if (rec_read(pool, file, idn, stored, max_record_, kInternalForm).code() != 0) continue;
      bool equal = true;
      if (check->found == 'T') {
        ListEntries entries;
        if (const ResultCode rc = idx_entries(ctx, file, stored, entries, &key_indexes); rc.failed())
          return rc;
        equal = sorted_keys(entries) == own_terms;
      } else {
        for (const dict::TagDef* tag : check->tags) {
          if (field_texts(*image, tag->tag, check->indicators) !=
              field_texts(stored, tag->tag, check->indicators))
            equal = false;
        }
      }
      if (equal) found.push_back(idn);
    }
    if (!found.empty() || check->not_found == 'N') return 0;
  }
  return 0;
}

}  // namespace corvanta::records
