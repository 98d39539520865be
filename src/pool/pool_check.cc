// The pre-write check of records: the pool's completion procedure, link
// maintenance and the numbering hook (see pool_service.h).
#include <algorithm>
#include <cstdio>

#include "pool/pool_service.h"
#include "util/text.h"

namespace corvanta::records {
namespace {

std::string idn_text(std::uint32_t idn) {
  char text[16];
  std::snprintf(text, sizeof text, "%09lu", static_cast<unsigned long>(idn));
  return text;
}

// The IDN in the first nine characters of an external value (0: none).
std::uint32_t idn_of(const FieldDesc& value) {
  return static_cast<std::uint32_t>(std::max(0L, fld_number(value)));
}

// What link maintenance decided for one link text: the field occurrence
// that holds it and the target found or made.
struct Resolved {
  std::uint16_t occurrence = 0;
  std::uint32_t idn = 0;
};

}  // namespace

std::string PoolLayer::reference(const dict::AppPoolDef& pool, int file) const {
  for (const dict::AppFileDef* f : pool.file_defs) {
    if (f->number == file) {
      char text[16];
      std::snprintf(text, sizeof text, "%.1s-%-3.3s", pool.name.c_str(), f->code.c_str());
      return text;
    }
  }
  return "???";
}

ResultCode PoolLayer::run_procedure(const dict::AppPoolDef& pool, const dict::FileDef& file,
                                    std::string_view name, RecordHandle& h, std::string& message) {
  if (procedures_ == nullptr) return 0;
  ProcedureArgs args;
  args.reference = reference(pool, file.number);
  args.user = user_;
  args.idn = idn_text(h.idn);
  std::string text;
  const std::optional<ResultCode> rc = procedures_->run(pool, name, args, h, text);
  if (text.size() > kMaxProcedureMessage) text.resize(kMaxProcedureMessage);
  message += text;
  return rc.value_or(ResultCode(0));
}

ResultCode PoolLayer::rec_check(const dict::AppPoolDef& pool, const dict::FileDef& file, RecordHandle& h,
                                char mode, std::string& message) {
  const char upper = mode == 'n' ? 'N' : mode == 'u' ? 'U' : mode;
  const bool peeked = upper == 'N' && h.idn == 0;
  if (h.form == kExternalForm) {
    if (peeked) {
      if (const ResultCode rc = idn_peek(pool, file, h); rc.failed()) return rc;
    }
    const ResultCode rc = run_procedure(pool, file, "COMPL", h, message);
    if (peeked) {
      h.idn = 0;
      rec_store_header(h);
    }
    if (rc.failed()) return rc;
    if (const ResultCode links = link_maintenance(pool, file, h, upper, message); links.failed())
      return links;
  }
  if (numbering_) return numbering_(pool, file, h, mode == 'n' || mode == 'u' ? 'C' : upper);
  return 0;
}

ResultCode PoolLayer::remove_made_targets(const dict::AppPoolDef& pool, std::vector<MadeTarget>& made) {
  for (auto it = made.rbegin(); it != made.rend(); ++it) {
    RecordHandle t;
    if (rec_read(pool, *it->file, it->idn, t, max_record_, kInternalForm).code() != 0) continue;
    if (const ResultCode rc = rec_delete(pool, *it->file, t); rc.failed()) return rc;
  }
  made.clear();
  return 0;
}

ResultCode PoolLayer::link_maintenance(const dict::AppPoolDef& pool, const dict::FileDef& file,
                                       RecordHandle& h, char mode, std::string& message,
                                       std::vector<MadeTarget>* made) {
  if (pool.data == nullptr) return 0;
  for (const dict::LinkDef* link : file.links) {
    const dict::FileDef* target = pool.data->find_file(link->target_file);
    const std::string target_ref = target != nullptr ? reference(pool, target->number) : "???";
    auto note = [&](std::int32_t code, std::string_view tag) {
      if (link->tolerant) return;
      const std::string args = std::string(tag) + " " + target_ref;
      if (!message.empty()) message += '\n';
      message += message_text_ ? message_text_(code, args) : std::to_string(code) + " " + args;
    };
    for (const dict::LinkTagDef* element : link->elements) {
      const WalkElement idn_walk = walk_element(file, element->idn);
      // 1. The targets the record names by IDN must exist.
      if (mode != 'L' && idn_walk.tag != nullptr && target != nullptr) {
        FieldDesc f;
        FieldDesc s;
        while (fld_walk(h, f, s, idn_walk).code() == 0) {
          const std::uint32_t idn = idn_of(idn_walk.subfield != nullptr ? s : f);
          RecordHandle t;
          if (rec_read(pool, *target, idn, t, max_record_, kInternalForm).code() != 0)
            note(kMsgTargetNotFound, f.tag);
        }
      }
      // 2. Texts without an IDN in their field are resolved.
      const WalkElement text_walk = walk_element(file, element->text);
      if (text_walk.tag == nullptr) continue;
      std::vector<Resolved> resolved;
      FieldDesc f;
      FieldDesc s;
      while (fld_walk(h, f, s, text_walk).code() == 0) {
        const std::string text(text_walk.subfield != nullptr ? s.content() : f.content());
        const bool same_field = idn_walk.tag == text_walk.tag && idn_walk.subfield != nullptr;
        if (same_field) {
          FieldDesc has;
          has.tag.assign(1, idn_walk.subfield->code);
          if (sfl_get(h, f, has).code() == 0) continue;
        }
        std::vector<std::uint32_t> hits;
        if (text.size() > 5 && text.front() == '?') {
          // "?" and the digits of an IDN name the target directly.
          RecordHandle t;
          FieldDesc digits;
          digits.set(std::string_view(text).substr(1));
          const std::uint32_t idn = idn_of(digits);
          if (target != nullptr && rec_read(pool, *target, idn, t, max_record_, kInternalForm).code() == 0)
            hits.push_back(idn);
        } else if (text.size() > max_query_) {
          note(kMsgLinkTextTooLong, f.tag);
          continue;
        } else if (link_search_) {
          const bool truncated = !text.empty() && text.back() == '*';
          const std::string_view wanted =
              truncated ? std::string_view(text).substr(0, text.size() - 1) : text;
          if (const ResultCode rc = link_search_(pool, *link, wanted, truncated, hits); rc.failed())
            return rc;
        }
        if (hits.size() > 1) {
          note(kMsgSeveralTargets, f.tag);
          continue;
        }
        if (hits.empty()) {
          const bool may_create = (link->create_target || mode == 'I' || mode == 'L') && mode != 'C';
          if (!may_create || target == nullptr) {
            note(kMsgTargetNotFound, f.tag);
            continue;
          }
          // A new target record holds the text in the same field and
          // subfield, when its file defines them.
          const WalkElement in_target = walk_element(*target, element->text);
          if (in_target.tag == nullptr) {
            note(kMsgTargetNotFound, f.tag);
            continue;
          }
          RecordHandle t;
          rec_init(t, max_record_, kExternalForm);
          FieldDesc nf;
          nf.tag = in_target.tag->tag;
          nf.type = 1;
          FieldDesc ns;
          if (in_target.subfield != nullptr) {
            ns.tag.assign(1, in_target.subfield->code);
            ns.type = 1;
            ns.set(text);
          } else {
            nf.set(text);
          }
          if (const ResultCode rc = fld_put(t, nf, in_target.subfield != nullptr ? &ns : nullptr);
              rc.failed())
            return rc;
          if (const ResultCode rc = rec_insert(pool, *target, t); rc.failed()) return rc;
          if (made != nullptr) made->push_back({target, t.idn});
          hits.push_back(t.idn);
        }
        resolved.push_back({f.occurrence, hits.front()});
      }
      // The IDNs found go into the record after the walk.
      for (const Resolved& r : resolved) {
        if (idn_walk.tag == nullptr) break;
        const std::string idn = idn_text(r.idn);
        FieldDesc field;
        field.tag = idn_walk.tag->tag;
        field.occurrence = idn_walk.tag == text_walk.tag ? r.occurrence : 999;
        FieldDesc sub;
        if (idn_walk.subfield != nullptr) {
          sub.tag.assign(1, idn_walk.subfield->code);
          sub.type = 1;
          sub.set(idn);
          if (idn_walk.tag == text_walk.tag && fld_get(h, field).code() == 0) {
            FieldDesc first;
            ResultCode rc = sfl_first(h, field, first);
            rc = rc.code() == 0 ? sfl_insert_before(h, field, sub, first) : sfl_put(h, field, sub);
            if (rc.failed()) return rc;
            continue;
          }
          field.occurrence = 999;
          field.type = 1;
          if (const ResultCode rc = fld_put(h, field, &sub); rc.failed()) return rc;
        } else {
          field.occurrence = 999;
          field.type = 1;
          field.set(idn);
          if (const ResultCode rc = fld_put(h, field); rc.failed()) return rc;
        }
      }
    }
  }
  return 0;
}

}  // namespace corvanta::records
