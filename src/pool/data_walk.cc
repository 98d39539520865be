#include "pool/data_walk.h"

#include <algorithm>
#include <vector>

namespace corvanta::records {

ResultCode walk_prefix(dbm::Dbm& dbm, std::string_view pool, int file, std::span<const unsigned char> start,
                       std::size_t prefix, std::size_t room,
                       const std::function<ResultCode(std::span<const unsigned char> key,
                                                      std::span<const unsigned char> value)>& visit) {
  std::vector<unsigned char> key(start.begin(), start.end());
  std::vector<unsigned char> value(room);
  prefix = std::min(prefix, key.size());
  dbm::Position pos;
  dbm::DataRef ref{value};
  for (ResultCode rc = dbm.set(pool, file, key.data(), pos, ref);;
       rc = dbm.get(pool, file, key.data(), pos, ref)) {
    if (rc.failed()) return rc;
    if (rc.code() != 0 && rc.code() != dbm::kTruncated) return 0;  // the end of the file
    if (!std::equal(key.begin(), key.begin() + static_cast<std::ptrdiff_t>(prefix), start.begin())) return 0;
    if (const ResultCode v =
            visit(key, std::span<const unsigned char>(value.data(), std::min(ref.length, room)));
        v.failed())
      return v;
    ref = dbm::DataRef{value};
  }
}

}  // namespace corvanta::records
