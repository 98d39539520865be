// Fuzz target: every exchange format's reader over any bytes. The first
// byte picks the format; every record read must be a sound record image
// that the format's writer can write.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "imex/formats.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace corvanta;
  if (size < 1) return 0;
  imex::FormatOptions o;
  o.type = static_cast<imex::FormatType>(data[0] % 8);
  o.flags = data[0] & 0x80 ? "S=;/Q=Y" : "";
  o.csv_columns = 3;
  imex::InputFile in;
  in.open_text(std::string(reinterpret_cast<const char*>(data) + 1, size - 1));
  auto reader = imex::make_reader(o, in);
  imex::OutputFile out;  // not opened: writes go nowhere
  auto writer = imex::make_writer(o, out);
  records::RecordHandle h;
  for (int n = 0; n < 1000; ++n) {
    const ResultCode rc = reader->next(h);
    if (rc.code() == imex::kEndOfInput || rc.failed()) break;
    if (rc.code() != 0) continue;
    if (!records::rec_check_image(h)) std::abort();
    if (writer->write(h).failed()) std::abort();
  }
  return 0;
}
