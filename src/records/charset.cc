#include "records/charset.h"

#include <yaz/yaz-iconv.h>

#include <algorithm>
#include <memory>
#include <type_traits>

#include "util/text.h"
#include "util/unicode.h"

namespace corvanta::records {
namespace {

constexpr char kEsc = '\x1b';

struct IconvCloser {
  void operator()(yaz_iconv_t cd) const { yaz_iconv_close(cd); }
};
using Iconv = std::unique_ptr<std::remove_pointer_t<yaz_iconv_t>, IconvCloser>;

struct Step {
  std::size_t consumed = 0;  // of the piece, not counting the set prefix
  int error = 0;             // YAZ_ICONV_E...
  std::string text;          // what the decoder wrote
};

// The length of the escape sequence at the start of `in`: ESC, bytes 0x20
// to 0x2F, a final byte (ISO 2022); the rest of `in` when it ends early.
std::size_t escape_length(std::string_view in) {
  std::size_t n = 1;
  while (n < in.size() && in[n] >= 0x20 && in[n] <= 0x2F) ++n;
  return n < in.size() ? n + 1 : n;
}

// Drives one YAZ decoder piece by piece. YAZ keeps diacritics it has read
// when a piece ends before their letter, so every piece starts from a fresh
// decoder, given first the escape sequences that chose the current G0 and
// G1 sets.
class Decoder {
 public:
  explicit Decoder(yaz_iconv_t cd) : cd_(cd) {}

  // Back to the default sets.
  void reset() {
    g0_.clear();
    g1_.clear();
  }

  // One run of graphic bytes and escape sequences (no byte below 0x20 but
  // ESC) into `out`.
  void run(std::string_view run, std::string& out) {
    std::size_t at = 0;
    while (at < run.size()) {
      if (run[at] == kEsc) {
        at += designate(run.substr(at), out);
        continue;
      }
      // ASCII in the default G0 set is itself (most of every value).
      if (ascii_g0() && static_cast<unsigned char>(run[at]) < 0x80) {
        out += run[at++];
        continue;
      }
      // The shortest piece the decoder takes whole: a character with the
      // diacritics before it (YAZ asks for more while it has only those).
      std::size_t end = std::min(at + unit(run[at]), run.size());
      Step step = feed(run.substr(at, end - at));
      while (step.error == YAZ_ICONV_EINVAL && end < run.size() && run[end] != kEsc) {
        end = std::min(end + unit(run[end]), run.size());
        step = feed(run.substr(at, end - at));
      }
      if (step.error == YAZ_ICONV_EINVAL) {
        // Diacritics (or part of a character) at the end: on a blank.
        std::string tail(run.substr(at, end - at));
        tail += ' ';
        const Step last = feed(tail);
        out += last.error == 0 && last.consumed == tail.size() && !last.text.empty()
                   ? last.text
                   : std::string(kReplacementUtf8);
        at = end;
      } else if (step.error != 0 || step.consumed == 0) {
        out += kReplacementUtf8;
        ++at;
      } else {
        // Nothing written: no set maps it; but a blank is a blank in every
        // set (YAZ drops it among the superscripts).
        if (step.text.empty()) step.text = end == at + 1 && run[at] == ' ' ? " " : kReplacementUtf8;
        out += step.text;
        at += step.consumed;
      }
    }
  }

 private:
  bool ascii_g0() const { return g0_.empty() || g0_ == "\x1b(B" || g0_ == "\x1bs"; }

  // The bytes of a character starting with `c`: 3 in a multibyte set
  // (EACC), else 1. YAZ drops a multibyte character cut short silently, so
  // the piece is measured here.
  std::size_t unit(char c) const {
    const std::string& set = static_cast<unsigned char>(c) >= 0x80 ? g1_ : g0_;
    return c != ' ' && set.find('$') != std::string::npos ? 3 : 1;
  }

  // An escape sequence: a set for G0 or G1, or a replacement when the
  // decoder knows no such set. Returns its length.
  std::size_t designate(std::string_view in, std::string& out) {
    const std::size_t n = escape_length(in);
    const std::string_view esc = in.substr(0, n);
    const bool g1 = esc.find_first_of(")-") != std::string_view::npos;
    std::string& slot = g1 ? g1_ : g0_;
    const std::string before = slot;
    slot.clear();
    // YAZ checks the set only when a character follows: one it would know
    // in any set of that side.
    std::string probe(esc);
    probe += g1 ? '\xC1' : 'A';
    if (feed(probe).error != YAZ_ICONV_EILSEQ) {
      slot = esc;
    } else {
      slot = before;
      out += kReplacementUtf8;
    }
    return n;
  }

  Step feed(std::string_view piece) {
    yaz_iconv(cd_, nullptr, nullptr, nullptr, nullptr);  // a fresh decoder
    std::string in = g0_ + g1_;
    const std::size_t prefix = in.size();
    in += piece;
    Step step;
    char* ip = in.data();
    std::size_t left = in.size();
    for (;;) {
      char buf[256];
      char* op = buf;
      std::size_t room = sizeof buf;
      const std::size_t r = yaz_iconv(cd_, &ip, &left, &op, &room);
      step.text.append(buf, static_cast<std::size_t>(op - buf));
      step.error = r == static_cast<std::size_t>(-1) ? yaz_iconv_error(cd_) : 0;
      if (step.error != YAZ_ICONV_E2BIG) break;
    }
    const std::size_t consumed = in.size() - left;
    step.consumed = consumed > prefix ? consumed - prefix : 0;
    return step;
  }

  yaz_iconv_t cd_;
  std::string g0_, g1_;  // the escape sequences of the current sets
};

}  // namespace

std::optional<Charset> charset_named(std::string_view name) {
  if (equal_nocase(name, "MARC8")) return Charset::Marc8;
  if (equal_nocase(name, "ISO5426")) return Charset::Iso5426;
  return std::nullopt;
}

std::string decode_to_utf8(Charset set, std::string_view input) {
  const Iconv cd(yaz_iconv_open("utf8", set == Charset::Marc8 ? "marc8" : "iso5426"));
  std::string out;
  if (cd == nullptr) {
    out += kReplacementUtf8;  // cannot happen with a working YAZ
    return out;
  }
  out.reserve(input.size() + input.size() / 4);
  Decoder decoder(cd.get());
  std::size_t start = 0;
  for (std::size_t i = 0; i <= input.size(); ++i) {
    const auto c = i < input.size() ? static_cast<unsigned char>(input[i]) : 0;
    const bool control = i < input.size() && c < 0x20 && c != 0x1b;
    const bool nonsort = set == Charset::Iso5426 && (c == 0x88 || c == 0x89);
    if (i < input.size() && !control && !nonsort) continue;
    decoder.run(input.substr(start, i - start), out);
    if (control) {
      out += static_cast<char>(c);
      decoder.reset();
    }
    start = i + 1;
  }
  return to_nfc(out);
}

}  // namespace corvanta::records
