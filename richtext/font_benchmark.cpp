#include <benchmark/benchmark.h>

#include "richtext/font.h"

namespace zv::richtext {
namespace {

// The first lookup lists and indexes every installed face.
void BM_FontconfigFirstLookup(benchmark::State& state) {
  for (auto _ : state) {
    std::shared_ptr<const FontManager> manager = makeFontconfigFontManager();
    benchmark::DoNotOptimize(manager->fontWithName(u"DejaVuSans-Bold", 12));
  }
}
BENCHMARK(BM_FontconfigFirstLookup)->Unit(benchmark::kMillisecond);

void BM_FontconfigCachedLookups(benchmark::State& state) {
  std::shared_ptr<const FontManager> manager = makeFontconfigFontManager();
  benchmark::DoNotOptimize(manager->fontWithName(u"DejaVuSans", 12));
  for (auto _ : state) {
    benchmark::DoNotOptimize(manager->fontWithName(u"DejaVuSans-Bold", 12));
    benchmark::DoNotOptimize(manager->fontWithName(u"Helvetica Neue", 12));
    benchmark::DoNotOptimize(
        manager->fontWithFamily(u"DejaVu Sans", kBoldFontMask | kItalicFontMask, 0, 12));
  }
}
BENCHMARK(BM_FontconfigCachedLookups);

}  // namespace
}  // namespace zv::richtext
