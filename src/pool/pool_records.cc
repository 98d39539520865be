// Whole records of a pool's record files, read and written by IDN with
// their index and link list entries kept in step (see pool_service.h).
#include <cstdio>
#include <ctime>

#include "dbm/codes.h"
#include "pool/pool_service.h"
#include "records/convert.h"
#include "util/big_endian.h"
#include "util/date.h"
#include "util/posix_io.h"

namespace corvanta::records {
namespace {

struct IdnKey {
  unsigned char bytes[4];
  explicit IdnKey(std::uint32_t idn) { put_u32(bytes, idn); }
};

std::span<const unsigned char> image_of(const RecordHandle& h) {
  return {h.buffer, h.length};
}

}  // namespace

bool PoolLayer::stored_here(const dict::AppPoolDef& pool, const dict::FileDef& file, std::uint32_t idn) {
  const IdnKey key(idn);
  std::size_t length = 0;
  return dbm_.get_length(pool.name, file.number, key.bytes, length).code() == 0;
}

IndexContext PoolLayer::index_context(const dict::AppPoolDef& pool) const {
  IndexContext ctx;
  ctx.terms.dbm = &dbm_;
  ctx.terms.pool = pool.name;
  ctx.terms.translations = translations_;
  ctx.terms.escape = escape_;
  ctx.term_buffer = term_buffer_;
  return ctx;
}

ConversionContext PoolLayer::conversion(const dict::FileDef& file) const {
  ConversionContext conv;
  conv.file = &file;
  conv.max_field_length = max_field_;
  conv.translations = translations_;
  conv.escape = escape_;
  return conv;
}

ResultCode PoolLayer::internal_image(const dict::FileDef& file, RecordHandle& h, RecordHandle& temp,
                                     RecordHandle*& image) {
  rec_store_header(h);
  image = &h;
  if (h.form == kInternalForm) return 0;
  rec_init(temp, max_record_, kInternalForm);
  if (rec_to_internal(conversion(file), h, temp).failed()) return kNoConversion;
  temp.idn = h.idn;
  rec_store_header(temp);
  image = &temp;
  return 0;
}

ResultCode PoolLayer::make_entries(const dict::AppPoolDef& pool, const dict::FileDef& file,
                                   RecordHandle& image, RecordEntries& out) {
  const IndexContext ctx = index_context(pool);
  if (const ResultCode rc = idx_entries(ctx, file, image, out.index); rc.failed()) return rc;
  return lnk_entries(ctx, file, image, out.links);
}

ResultCode PoolLayer::put_entries(const dict::AppPoolDef& pool, const RecordEntries& entries,
                                  std::uint32_t idn) {
  const IndexContext ctx = index_context(pool);
  if (const ResultCode rc = write_entries(ctx, entries.index, idn, 'I'); rc.failed()) return rc;
  return write_entries(ctx, entries.links, idn, 'I');
}

ResultCode PoolLayer::take_entries(const dict::AppPoolDef& pool, const RecordEntries& entries,
                                   std::uint32_t idn) {
  const IndexContext ctx = index_context(pool);
  if (const ResultCode rc = write_entries(ctx, entries.links, idn, 'D'); rc.failed()) return rc;
  return write_entries(ctx, entries.index, idn, 'D');
}

ResultCode PoolLayer::rec_read(const dict::AppPoolDef& pool, const dict::FileDef& file, std::uint32_t idn,
                               RecordHandle& h, std::size_t capacity, int form) {
  RecordHandle internal;
  RecordHandle& target = form == kExternalForm ? internal : h;
  rec_init(h, capacity, form);
  if (&target != &h) rec_init(internal, max_record_, kInternalForm);
  const IdnKey key(idn);
  dbm::DataRef value{{target.buffer, target.room()}};
  const ResultCode rc = dbm_.read(pool.name, file.number, key.bytes, value);
  if (rc.code() != 0 || value.length < kHeaderSize) {
    rec_free(h);
    return kNotFound;
  }
  // An image whose lengths do not hold is not readable.
  if (!rec_take_stored(target, idn, value.length)) {
    rec_free(h);
    return kNotFound;
  }
  if (form == kExternalForm) {
    if (rec_to_external(conversion(file), internal, h).failed()) {
      rec_free(h);
      return kNotFound;
    }
    h.idn = internal.idn;
    rec_store_header(h);
  }
  return 0;
}

ResultCode PoolLayer::rec_load_now(const dict::AppPoolDef& pool, const dict::FileDef& file, RecordHandle& h,
                                   bool without_index) {
  if (h.idn == 0) {
    if (const ResultCode rc = idn_next(pool, file, h); rc.failed()) return rc;
  }
  if (h.idn > kMaxLoadIdn) return kIdnOutOfRange;
  RecordHandle temp;
  RecordHandle* image = nullptr;
  if (const ResultCode rc = internal_image(file, h, temp, image); rc.failed()) return rc;
  // Every entry is made before anything is written: a record whose terms
  // overflow (-702) leaves nothing behind.
  RecordEntries entries;
  if (!without_index) {
    if (const ResultCode rc = make_entries(pool, file, *image, entries); rc.failed()) return rc;
  }
  const IdnKey key(image->idn);
  if (const ResultCode rc = dbm_.load(pool.name, file.number, key.bytes, image_of(*image)); rc.failed())
    return rc;
  return without_index ? ResultCode(0) : put_entries(pool, entries, image->idn);
}

ResultCode PoolLayer::rec_insert_now(const dict::AppPoolDef& pool, const dict::FileDef& file,
                                     RecordHandle& h) {
  if (const ResultCode rc = access_check(group_, &file, kAccessInsert); rc.failed()) return rc;
  if (h.idn == 0) {
    if (const ResultCode rc = idn_next(pool, file, h); rc.failed()) return rc;
  }
  if (h.idn > kMaxInsertIdn) return kIdnOutOfRange;
  RecordHandle temp;
  RecordHandle* image = nullptr;
  if (const ResultCode rc = internal_image(file, h, temp, image); rc.failed()) return rc;
  RecordEntries entries;
  if (const ResultCode rc = make_entries(pool, file, *image, entries); rc.failed()) return rc;
  const IdnKey key(image->idn);
  if (const ResultCode rc = dbm_.insert(pool.name, file.number, key.bytes, image_of(*image)); rc.failed())
    return rc;
  if (const ResultCode rc = put_entries(pool, entries, image->idn); rc.failed()) return rc;
  return notify_change(pool, file, *image, "NEW");
}

ResultCode PoolLayer::rec_update_now(const dict::AppPoolDef& pool, const dict::FileDef& file, RecordHandle& h,
                                     RecordHandle* old) {
  if (h.idn < 1 || h.idn > kMaxLoadIdn) return kIdnOutOfRange;
  if (const ResultCode rc = access_check(group_, &file, kAccessUpdate); rc.failed()) return rc;
  // Everything that would refuse the update is settled before the old
  // entries are taken out: the record must be there, and fit a fixed length.
  RecordHandle stored;
  if (old == nullptr) {
    if (rec_read(pool, file, h.idn, stored, max_record_, kInternalForm).code() != 0) return kRecordAbsent;
    old = &stored;
  } else if (!stored_here(pool, file, h.idn)) {
    return kRecordAbsent;
  }
  RecordHandle temp;
  RecordHandle* image = nullptr;
  if (const ResultCode rc = internal_image(file, h, temp, image); rc.failed()) return rc;
  if (file.fixed_data && image->length > file.data_length) return dbm::kValueTooLong;
  RecordEntries before;
  RecordEntries after;
  if (const ResultCode rc = make_entries(pool, file, *old, before); rc.failed()) return rc;
  if (const ResultCode rc = make_entries(pool, file, *image, after); rc.failed()) return rc;
  if (const ResultCode rc = take_entries(pool, before, h.idn); rc.failed()) return rc;
  const IdnKey key(image->idn);
  if (const ResultCode rc = dbm_.update(pool.name, file.number, key.bytes, image_of(*image)); rc.failed())
    return rc;
  if (const ResultCode rc = put_entries(pool, after, image->idn); rc.failed()) return rc;
  return notify_change(pool, file, *image, "UPD");
}

ResultCode PoolLayer::rec_delete_now(const dict::AppPoolDef& pool, const dict::FileDef& file,
                                     RecordHandle& h) {
  if (const ResultCode rc = access_check(group_, &file, kAccessDelete); rc.failed()) return rc;
  if (h.idn < 1 || h.idn > kMaxInsertIdn) return kIdnOutOfRange;
  if (!stored_here(pool, file, h.idn)) return kRecordAbsent;
  RecordHandle temp;
  RecordHandle* image = nullptr;
  if (const ResultCode rc = internal_image(file, h, temp, image); rc.failed()) return rc;
  RecordEntries entries;
  if (const ResultCode rc = make_entries(pool, file, *image, entries); rc.failed()) return rc;
  if (const ResultCode rc = notify_change(pool, file, *image, "DEL"); rc.failed()) return rc;
  if (const ResultCode rc = take_entries(pool, entries, image->idn); rc.failed()) return rc;
  const IdnKey key(image->idn);
  return dbm_.remove(pool.name, file.number, key.bytes);
}

// Each change of a record is one unit of the journal: its record and entry
// changes reach the journal together or not at all.
template <typename Work>
ResultCode in_unit(dbm::Dbm& dbm, std::string_view pool, Work work) {
  if (const ResultCode rc = dbm.begin_unit(pool); rc.failed()) return rc;
  const ResultCode rc = work();
  const ResultCode ended = dbm.end_unit(pool);
  return rc.code() != 0 ? rc : ended;
}

ResultCode PoolLayer::as_unit(const dict::AppPoolDef& pool, const std::function<ResultCode()>& work) {
  return in_unit(dbm_, pool.name, work);
}

ResultCode PoolLayer::as_unit(std::string_view pool, const std::function<ResultCode()>& work) {
  return in_unit(dbm_, pool, work);
}

ResultCode PoolLayer::rec_load(const dict::AppPoolDef& pool, const dict::FileDef& file, RecordHandle& h,
                               bool without_index) {
  return in_unit(dbm_, pool.name, [&] { return rec_load_now(pool, file, h, without_index); });
}

ResultCode PoolLayer::rec_insert(const dict::AppPoolDef& pool, const dict::FileDef& file, RecordHandle& h) {
  return in_unit(dbm_, pool.name, [&] { return rec_insert_now(pool, file, h); });
}

ResultCode PoolLayer::rec_update(const dict::AppPoolDef& pool, const dict::FileDef& file, RecordHandle& h,
                                 RecordHandle* old) {
  return in_unit(dbm_, pool.name, [&] { return rec_update_now(pool, file, h, old); });
}

ResultCode PoolLayer::rec_delete(const dict::AppPoolDef& pool, const dict::FileDef& file, RecordHandle& h) {
  return in_unit(dbm_, pool.name, [&] { return rec_delete_now(pool, file, h); });
}

ResultCode PoolLayer::notify_change(const dict::AppPoolDef& pool, const dict::FileDef& file,
                                    RecordHandle& image, std::string_view what) {
  const dict::AppFileDef* app = nullptr;
  for (const dict::AppFileDef* f : pool.file_defs) {
    if (f->number == file.number) app = f;
  }
  // The consortium upload file.
  const std::string upload = configs_.get(server_, "Files", "MessUpload");
  if (!upload.empty() && app != nullptr && (app->name == "ITEMS" || app->name == "HOLDG")) {
    std::FILE* out = open_append_stream(upload);
    if (out == nullptr) return kCannotWriteNotice;
    const CivilTime t = local_now();
    const bool ok =
        std::fprintf(out, "%.*s %s %09lu %04d%02d%02d%02d%02d%02d\n", static_cast<int>(what.size()),
                     what.data(), app->name.c_str(), static_cast<unsigned long>(image.idn), t.year, t.month,
                     t.day, t.hour, t.minute, t.second) > 0;
    if (std::fclose(out) != 0 || !ok) return kCannotWriteNotice;
  }
  // The harvest mark of the bibliographic record concerned.
  const int harvest = pool.data != nullptr ? pool.data->publish : 0;
  if (harvest == 0 || harvest == file.number) return 0;
  const dict::AppFileDef* bibls = dict::ApplDictionary::find_file(pool, "BIBLS");
  if (bibls == nullptr) return kNoSuchFileName;
  std::vector<std::uint32_t> marked;
  if (bibls->number == file.number) {
    marked.push_back(image.idn);
  } else {
    for (const dict::LinkDef* link : file.links) {
      if (link->target_file != bibls->number) continue;
      for (const dict::LinkTagDef* element : link->elements) {
        const WalkElement walk = walk_element(file, element->idn);
        if (walk.tag == nullptr) continue;
        FieldDesc f;
        FieldDesc s;
        while (fld_walk(image, f, s, walk).code() == 0) {
          const std::string_view v = walk.subfield != nullptr ? s.content() : f.content();
          if (v.size() >= 4) marked.push_back(get_u32(reinterpret_cast<const unsigned char*>(v.data())));
        }
      }
    }
  }
  for (const std::uint32_t idn : marked) {
    const IdnKey key(idn);
    unsigned char when[4];
    put_u32(when, static_cast<std::uint32_t>(std::time(nullptr)));
    ResultCode rc = dbm_.update(pool.name, harvest, key.bytes, when);
    if (rc.code() == 1) rc = dbm_.insert(pool.name, harvest, key.bytes, when);
    if (rc.failed()) return rc;
  }
  return 0;
}

ResultCode PoolLayer::idn_next(const dict::AppPoolDef& pool, const dict::FileDef& file, RecordHandle& h) {
  std::uint32_t idn = 0;
  if (const ResultCode rc = dbm_.next_idn(pool.name, file.number, &idn); rc.failed()) return rc;
  h.idn = idn;
  rec_store_header(h);
  return 0;
}

ResultCode PoolLayer::idn_peek(const dict::AppPoolDef& pool, const dict::FileDef& file, RecordHandle& h) {
  std::uint32_t last = 0;
  if (const ResultCode rc = dbm_.last_idn(pool.name, file.number, last); rc.failed()) return rc;
  h.idn = last + 1;
  rec_store_header(h);
  return 0;
}

ResultCode PoolLayer::idn_return(const dict::AppPoolDef& pool, const dict::FileDef& file, std::uint32_t idn) {
  std::uint32_t last = 0;
  if (const ResultCode rc = dbm_.last_idn(pool.name, file.number, last); rc.failed()) return rc;
  if (idn == 0 || idn != last) return 0;
  return dbm_.give_back_idn(pool.name, file.number);
}

}  // namespace corvanta::records
