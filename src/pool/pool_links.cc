// Following links between records (see pool_service.h).
#include <algorithm>
#include <set>

#include "dbm/values.h"
#include "pool/pool_service.h"
#include "util/big_endian.h"

namespace corvanta::records {
namespace {

constexpr std::size_t kListBuffer = 30000;

void sort_unique(IdnList& list) {
  std::sort(list.begin(), list.end());
  list.erase(std::unique(list.begin(), list.end()), list.end());
}

// The items of one list key, continuation included.
ResultCode add_items(dbm::Dbm& dbm, const std::string& pool, int file, const unsigned char* key,
                     IdnList& out) {
  std::vector<unsigned char> buffer(kListBuffer);
  dbm::DataRef value{buffer};
  dbm::Continuation cont;
  const ResultCode rc = dbm.read(pool, file, key, value, &cont);  // an absent key adds nothing
  return take_list_items(dbm, pool, file, rc, buffer, value, cont, out);
}

}  // namespace

ResultCode PoolLayer::lnk_follow(const dict::AppPoolDef& pool, const dict::FileDef& file,
                                 const dict::LinkDef* link, std::uint32_t idn, IdnList& result,
                                 char direction, std::string_view sort) {
  if (link == nullptr) return kNoLinkDefinition;
  const int list = list_file_of(*link);
  if (direction == 'B' || (direction == 'C' && list != 0)) {
    if (list == 0) return 0;
    const std::size_t key_length = list_key_length(*link);
    std::vector<unsigned char> key(key_length, 0);
    put_u32(key.data(), idn);
    IdnList found;
    if (key_length <= 4) {
      const ResultCode rc = add_items(dbm_, pool.name, list, key.data(), found);
      if (rc.failed()) return rc;
    } else {
      // Every key from the IDN with zero bytes to the IDN with 0xFF bytes;
      // a sort value narrows the scan for 5-byte and packed sort parts.
      std::string wanted;
      if (!sort.empty() && key_length >= 9) {
        wanted = std::string(sort.substr(0, key_length >= 20 ? 16 : 5));
        if (key_length < 20) wanted.resize(5, '\0');
      }
      std::vector<unsigned char> buffer(kListBuffer);
      dbm::DataRef value{buffer};
      dbm::Position pos;
      std::vector<unsigned char> prefix(key.begin(), key.begin() + 4);
      for (ResultCode rc = dbm_.set(pool.name, list, key.data(), pos, value);
           rc.code() == 0 || rc.code() == dbm::kTruncated;
           rc = dbm_.get(pool.name, list, key.data(), pos, value)) {
        if (!std::equal(prefix.begin(), prefix.end(), key.begin())) break;
        const std::string part(key.begin() + 4, key.end());
        if (wanted.empty() || part.compare(0, wanted.size(), wanted) == 0) {
          if (const ResultCode r = add_items(dbm_, pool.name, list, key.data(), found); r.failed()) return r;
        }
        value = dbm::DataRef{buffer};
      }
    }
    sort_unique(found);
    result.insert(result.end(), found.begin(), found.end());
    sort_unique(result);
    return 0;
  }

  // Forward: the targets named in the record's link fields; with C the
  // targets' own links again, to the end of the chain.
  const dict::FileDef* target = pool.data != nullptr ? pool.data->find_file(link->target_file) : nullptr;
  std::set<std::uint32_t> seen{idn};
  IdnList todo{idn};
  const dict::FileDef* in = &file;
  IdnList found;
  while (!todo.empty()) {
    IdnList next;
    for (const std::uint32_t from : todo) {
      RecordHandle h;
      if (rec_read(pool, *in, from, h, max_record_, kInternalForm).code() != 0) continue;
      for (const dict::LinkTagDef* element : link->elements) {
        const WalkElement walk = walk_element(*in, element->idn);
        if (walk.tag == nullptr) continue;
        FieldDesc f;
        FieldDesc s;
        while (fld_walk(h, f, s, walk).code() == 0) {
          const std::string_view v = walk.subfield != nullptr ? s.content() : f.content();
          if (v.size() < 4) continue;
          const std::uint32_t to = get_u32(reinterpret_cast<const unsigned char*>(v.data()));
          found.push_back(to);
          if (direction == 'C' && seen.insert(to).second) next.push_back(to);
        }
      }
    }
    if (direction != 'C' || target == nullptr) break;
    todo = std::move(next);
    in = target;
  }
  if (direction == 'C') {
    result.insert(result.end(), found.begin(), found.end());
    sort_unique(result);
  } else {
    result.insert(result.end(), found.begin(), found.end());
  }
  return 0;
}

ResultCode PoolLayer::lnk_follow_count(const dict::AppPoolDef& pool, const dict::FileDef& file,
                                       const dict::LinkDef* link, std::uint32_t idn, char direction,
                                       std::string_view sort) {
  IdnList result;
  if (const ResultCode rc = lnk_follow(pool, file, link, idn, result, direction, sort); rc.failed())
    return rc;
  return static_cast<std::int32_t>(result.size());
}

ResultCode PoolLayer::lnk_follow_all(const dict::AppPoolDef& pool, const dict::FileDef& file,
                                     const dict::LinkDef* link, const IdnList& start, IdnList& result,
                                     char direction, std::string_view sort) {
  for (const std::uint32_t idn : start) {
    if (const ResultCode rc = lnk_follow(pool, file, link, idn, result, direction, sort); rc.failed())
      return rc;
  }
  sort_unique(result);
  return 0;
}

ResultCode PoolLayer::rec_complete_links(const dict::AppPoolDef& pool, const dict::FileDef& file,
                                         RecordHandle& h) {
  if (pool.data == nullptr) return 0;
  for (const dict::LinkDef* link : file.links) {
    const dict::FileDef* target = pool.data->find_file(link->target_file);
    if (target == nullptr) continue;
    const WalkElement source = walk_element(*target, link->source);
    if (source.tag == nullptr) continue;
    for (const dict::LinkTagDef* element : link->elements) {
      if (element->inactive) continue;
      const WalkElement idn_walk = walk_element(file, element->idn);
      if (idn_walk.tag == nullptr) continue;
      // The occurrences first: the record changes as data goes in.
      struct Occurrence {
        std::uint16_t field, sub;
        long idn;
      };
      std::vector<Occurrence> found;
      FieldDesc f;
      FieldDesc s;
      while (fld_walk(h, f, s, idn_walk).code() == 0) {
        found.push_back({f.occurrence, s.occurrence, fld_number(idn_walk.subfield != nullptr ? s : f)});
      }
      for (auto it = found.rbegin(); it != found.rend(); ++it) {
        RecordHandle t;
        if (it->idn <= 0 ||
            rec_read(pool, *target, static_cast<std::uint32_t>(it->idn), t, max_record_, kExternalForm)
                    .code() != 0)
          continue;
        FieldDesc sf;
        FieldDesc ss;
        if (fld_walk(t, sf, ss, source).code() != 0) continue;
        FieldDesc field;
        field.tag = idn_walk.tag->tag;
        field.occurrence = it->field;
        FieldDesc ref;
        const bool in_field = idn_walk.subfield != nullptr;
        if (in_field) {
          ref.tag.assign(1, idn_walk.subfield->code);
          ref.occurrence = it->sub;
          if (fld_get(h, field).code() != 0 || sfl_get(h, field, ref).code() != 0) continue;
        }
        if (!element->subfield_codes.empty() && in_field) {
          // The listed subfields of the source field, in their order.
          FieldDesc from;
          for (ResultCode rc = sfl_first(t, sf, from); rc.code() == 0; rc = sfl_next(t, sf, from)) {
            if (from.tag.empty() || element->subfield_codes.find(from.tag[0]) == std::string::npos) continue;
            const std::string data(from.content());
            FieldDesc copy;
            copy.tag = from.tag;
            copy.type = 1;
            copy.set(data);
            if (const ResultCode r = sfl_insert_after(h, field, copy, ref); r.failed()) return r;
          }
          continue;
        }
        const std::string value(source.subfield != nullptr ? ss.content() : sf.content());
        if (in_field && element->text.tag == element->idn.tag && element->text.subfield != 0) {
          FieldDesc present;
          present.tag.assign(1, element->text.subfield);
          present.occurrence = 1;
          if (sfl_get(h, field, present).code() == 0) continue;  // there already
          FieldDesc copy;
          copy.tag.assign(1, element->text.subfield);
          copy.type = 1;
          copy.set(value);
          if (const ResultCode r = sfl_insert_after(h, field, copy, ref); r.failed()) return r;
          continue;
        }
        if (element->text.tag.empty()) continue;
        FieldDesc added;
        added.tag = element->text.tag;
        added.indicators = element->text.indicators;
        added.occurrence = kLastOccurrence;
        added.type = 1;
        added.set(value);
        if (const ResultCode r = fld_put(h, added); r.failed()) return r;
      }
    }
  }
  return 0;
}

ResultCode PoolLayer::rec_strip_links(const dict::AppPoolDef&, const dict::FileDef& file, RecordHandle& h) {
  for (const dict::LinkDef* link : file.links) {
    for (const dict::LinkTagDef* element : link->elements) {
      const WalkElement idn_walk = walk_element(file, element->idn);
      if (idn_walk.tag == nullptr || idn_walk.subfield == nullptr || element->subfield_codes.empty())
        continue;
      for (std::uint16_t occurrence = 1; occurrence < kLastOccurrence; ++occurrence) {
        FieldDesc field;
        field.tag = idn_walk.tag->tag;
        field.occurrence = occurrence;
        if (fld_get(h, field).code() != 0) break;
        bool removed = true;
        while (removed) {
          removed = false;
          FieldDesc s;
          for (ResultCode rc = sfl_first(h, field, s); rc.code() == 0; rc = sfl_next(h, field, s)) {
            if (s.tag.empty() || s.tag[0] == idn_walk.subfield->code ||
                element->subfield_codes.find(s.tag[0]) == std::string::npos)
              continue;
            if (const ResultCode r = sfl_delete(h, field, s); r.failed()) return r;
            if (fld_get(h, field).code() != 0) return 0;
            removed = true;
            break;
          }
        }
      }
    }
  }
  return 0;
}

}  // namespace corvanta::records
