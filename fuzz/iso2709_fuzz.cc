// Fuzz target: the ISO 2709 reader over any bytes. Every record it reads
// must write back to an image that reads to the same fields.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "imex/iso2709.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace corvanta::imex;
  InputFile in;
  in.open_text(std::string(reinterpret_cast<const char*>(data), size));
  Iso2709Reader reader(in);
  MarcRecord record;
  std::string image;
  Problem why;
  for (int n = 0; n < 1000; ++n) {
    const auto rc = reader.next(record, image, why);
    if (rc.code() == 1) break;
    if (rc.failed()) continue;
    MarcRecord again;
    if (iso2709_decode(iso2709_encode(record), again, why).failed()) std::abort();
    if (again.fields.size() != record.fields.size()) std::abort();
    for (std::size_t i = 0; i < again.fields.size(); ++i) {
      if (again.fields[i].content != record.fields[i].content) std::abort();
    }
  }
  return 0;
}
