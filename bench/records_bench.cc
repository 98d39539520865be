// Records: building a 60-field record field by field, finding fields by tag
// and occurrence, converting whole records between internal and external
// form, and translating 10 MB of text through a table with multi-byte
// sequences.
#include <benchmark/benchmark.h>

#include <deque>
#include <random>
#include <string>
#include <vector>

#include "config/dictionary.h"
#include "records/convert.h"
#include "records/record.h"
#include "records/translate.h"

namespace {

using corvanta::records::FieldDesc;
using corvanta::records::RecordHandle;

constexpr int kFields = 60;

std::string tag_of(int i) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "%03d", 100 + (i % 20) * 10);
  return buf;
}

void build(RecordHandle& h) {
  h.length = corvanta::records::kHeaderSize;
  corvanta::records::rec_store_header(h);
  static const std::string text = "Ein Feldinhalt mittlerer Laenge fuer den Test";
  for (int i = 0; i < kFields; ++i) {
    FieldDesc f;
    f.tag = tag_of(i);
    f.type = 1;
    f.occurrence = corvanta::records::kLastOccurrence;
    if (i % 3 == 0) {
      FieldDesc s;
      s.tag = "a";
      s.type = 1;
      s.set(text);
      (void)corvanta::records::fld_put(h, f, &s);
    } else {
      f.set(text);
      (void)corvanta::records::fld_put(h, f);
    }
  }
}

void BM_BuildRecord(benchmark::State& state) {
  RecordHandle h;
  corvanta::records::rec_init(h, 30000, 1);
  for (auto _ : state) {
    build(h);
    benchmark::DoNotOptimize(h.length);
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * kFields);
  corvanta::records::rec_free(h);
}
BENCHMARK(BM_BuildRecord);

void BM_FindField(benchmark::State& state) {
  RecordHandle h;
  corvanta::records::rec_init(h, 30000, 1);
  build(h);
  std::mt19937 rng(1);
  for (auto _ : state) {
    FieldDesc f;
    f.tag = tag_of(static_cast<int>(rng() % 20));
    f.occurrence = static_cast<std::uint16_t>(1 + rng() % 3);
    benchmark::DoNotOptimize(corvanta::records::fld_get(h, f));
  }
  corvanta::records::rec_free(h);
}
BENCHMARK(BM_FindField);

struct Definitions {
  Definitions() {
    for (int i = 0; i < 20; ++i) {
      auto& t = tags.emplace_back();
      t.tag = tag_of(i);
      t.max_occurrence = 100;
    }
    sub.code = 'a';
    for (int i = 0; i < 20; ++i) {
      tags[static_cast<std::size_t>(i)].subfields.push_back(&sub);
      file.tags.push_back(&tags[static_cast<std::size_t>(i)]);
    }
  }
  std::deque<corvanta::dict::TagDef> tags;
  corvanta::dict::SubfieldDef sub;
  corvanta::dict::FileDef file;
};

void BM_ConvertRecord(benchmark::State& state) {
  static Definitions defs;
  RecordHandle ext;
  RecordHandle in;
  RecordHandle back;
  corvanta::records::rec_init(ext, 30000, 1);
  corvanta::records::rec_init(in, 30000, 0);
  corvanta::records::rec_init(back, 30000, 1);
  build(ext);
  corvanta::records::ConversionContext ctx;
  ctx.file = &defs.file;
  for (auto _ : state) {
    (void)corvanta::records::rec_to_internal(ctx, ext, in);
    (void)corvanta::records::rec_to_external(ctx, in, back);
    benchmark::DoNotOptimize(back.length);
  }
  state.SetLabel("to internal and back");
  corvanta::records::rec_free(ext);
  corvanta::records::rec_free(in);
  corvanta::records::rec_free(back);
}
BENCHMARK(BM_ConvertRecord);

void BM_Translate10MB(benchmark::State& state) {
  corvanta::records::TranslationTable table("T");
  table.load_text(
      "LETPASS=ALL\n196 65+101\n214 79+101\n220 85+101\n228 97+101\n246 111+101\n252 117+101\n223 115+115\n"
      "97+101 228\n111+101 246\n117+101 252\n",
      '\\');
  std::string text;
  const std::string piece =
      "Gr\xFC\xDF"
      "e aus K\xF6ln, sch\xF6ne Bl\xFCten und aehnliche Woerter. ";
  while (text.size() < 10 * 1024 * 1024) text += piece;
  for (auto _ : state) {
    const std::string out = table.translate(text, corvanta::records::kPlain, '\\');
    benchmark::DoNotOptimize(out.size());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_Translate10MB)->Unit(benchmark::kMillisecond);

}  // namespace
