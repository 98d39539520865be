// Fuzz target: random sequences of field and subfield operations on a
// record. After every operation the image must keep its invariants: tags in
// order, lengths consistent, the header current, subfields in code order
// unless the order flag is 'N'. Also walks the bytes as an untrusted image.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <string>
#include <vector>

#include "records/record.h"

namespace {

using corvanta::records::FieldDesc;
using corvanta::records::RecordHandle;

struct Reader {
  const std::uint8_t* data;
  std::size_t size;
  std::size_t at = 0;
  std::uint8_t byte() { return at < size ? data[at++] : 0; }
  std::string text(std::size_t max) {
    const std::size_t n = byte() % (max + 1);
    std::string s;
    for (std::size_t i = 0; i < n; ++i) s += static_cast<char>(byte());
    return s;
  }
  bool done() const { return at >= size; }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Reader in{data, size};
  RecordHandle h;
  corvanta::records::rec_init(h, 64 + in.byte() * 8u, 1);
  h.order = in.byte() % 2 == 0 ? 'N' : 0;
  const char tags[] = {"001100245650700900"};
  std::deque<std::string> keep;  // texts the descriptors point to (stable addresses)
  for (int steps = 0; steps < 200 && !in.done(); ++steps) {
    const unsigned op = in.byte() % 8;
    FieldDesc f;
    const unsigned t = in.byte() % 6;
    f.tag = std::string(tags + t * 3, 3);
    if (in.byte() % 3 == 0) f.indicators = in.text(2);
    f.occurrence = static_cast<std::uint16_t>(in.byte() % 5 == 4 ? 999 : in.byte() % 4);
    f.type = 1;
    keep.push_back(in.text(40));
    // Content that begins with the subfield mark declares subfields; plain
    // text must not.
    if (!keep.back().empty() && keep.back()[0] == '\x1F') keep.back()[0] = 'x';
    f.set(keep.back());
    FieldDesc s;
    const bool with_sub = in.byte() % 2 == 0;
    if (with_sub) {
      s.tag.assign(1, static_cast<char>('a' + in.byte() % 4));
      s.occurrence = static_cast<std::uint16_t>(in.byte() % 3);
      keep.push_back(in.text(20));
      s.set(keep.back());
    }
    const FieldDesc* sp = with_sub ? &s : nullptr;
    switch (op) {
      case 0:
      case 1: (void)corvanta::records::fld_put(h, f, sp); break;
      case 2: (void)corvanta::records::fld_put_any_indicator(h, f, sp); break;
      case 3: (void)corvanta::records::fld_replace(h, f, sp); break;
      case 4: (void)corvanta::records::fld_delete(h, f, sp); break;
      case 5: {
        FieldDesc g = f;
        if (corvanta::records::fld_get(h, g).code() == 0 && with_sub) {
          (void)corvanta::records::sfl_put(h, g, s);
        }
        break;
      }
      case 6: {
        FieldDesc g = f;
        FieldDesc ref = s;
        // Inserting beside a subfield places it where the caller says, which
        // only keeps the image valid when subfields stand as entered.
        if (h.order == 'N' && with_sub && corvanta::records::fld_get(h, g, &ref).code() == 0) {
          FieldDesc extra;
          extra.tag.assign(1, 'z');
          (void)(in.byte() % 2 == 0 ? corvanta::records::sfl_insert_before(h, g, extra, ref)
                                    : corvanta::records::sfl_insert_after(h, g, extra, ref));
        }
        break;
      }
      default: {
        FieldDesc g;
        for (auto rc = corvanta::records::fld_first(h, g); rc.code() == 0;
             rc = corvanta::records::fld_next(h, g)) {
          FieldDesc sub;
          for (auto r = corvanta::records::sfl_first(h, g, sub); r.code() == 0;
               r = corvanta::records::sfl_next(h, g, sub)) {
          }
        }
      }
    }
    std::string why;
    if (!corvanta::records::rec_check_image(h, &why)) {
      std::fprintf(stderr, "step %d, operation %u: %s\n", steps, op, why.c_str());

      std::abort();
    }
  }
  // The same bytes as an untrusted image.
  std::vector<unsigned char> image(data, data + size);
  RecordHandle raw;
  raw.attach(image.data(), image.size());
  raw.length = static_cast<std::uint32_t>(image.size());
  FieldDesc g;
  for (auto rc = corvanta::records::fld_first(raw, g); rc.code() == 0;
       rc = corvanta::records::fld_next(raw, g)) {
    FieldDesc sub;
    for (auto r = corvanta::records::sfl_first(raw, g, sub); r.code() == 0;
         r = corvanta::records::sfl_next(raw, g, sub)) {
    }
  }
  corvanta::records::rec_free(h);
  return 0;
}
