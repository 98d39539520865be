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

}  // namespace

ResultCode PoolLayer::rec_duplicates(const dict::AppPoolDef& pool, const dict::FileDef& file, RecordHandle& h,
                                     std::vector<std::uint32_t>& found) {
  found.clear();
  if (file.doubles.empty()) return 0;
  RecordHandle temp;
  RecordHandle* image = nullptr;
  if (const ResultCode rc = internal_image(file, h, temp, image); rc.failed()) return rc;
  const IndexContext ctx = index_context(pool);
  std::optional<std::vector<std::uint32_t>> candidates;
  std::vector<unsigned char> buffer(2048);
  for (const dict::DoubleDef* check : file.doubles) {
    for (const dict::TagDef* tag : check->tags) {
      std::vector<std::uint8_t> selection(1000, 0);
      bool any = false;
      for (const dict::IndexDef* index : file.indexes) {
        if (index->source.tag == tag->tag && index->number < selection.size()) {
          selection[index->number] = 1;
          any = true;
        }
      }
      if (!any) continue;
      ListEntries entries;
      if (const ResultCode rc = idx_entries(ctx, file, *image, entries, &selection); rc.failed()) return rc;
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
  }
  if (!candidates) return 0;
  for (const std::uint32_t idn : *candidates) {
    bool equal = true;
    for (const dict::DoubleDef* check : file.doubles) {
      if (check->found != 'C' || !equal) continue;
      RecordHandle stored;
      if (rec_read(pool, file, idn, stored, max_record_, kExternalForm).code() != 0) {
        equal = false;
        break;
      }
      for (const dict::TagDef* tag : check->tags) {
        if (field_texts(h, tag->tag, check->indicators) != field_texts(stored, tag->tag, check->indicators))
          equal = false;
      }
    }
    if (equal) found.push_back(idn);
  }
  return 0;
}

}  // namespace corvanta::records
