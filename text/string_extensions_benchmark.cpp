#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>

#include "text/character_sets.h"
#include "text/string_extensions.h"

namespace zv::text {
namespace {

// Notes text in which every fifth character is a control character to remove.
std::u16string textWithManyHits(std::size_t length) {
  const std::u16string_view pattern = u"abc\u200Bd\u00E9f\U0001F600\u0001 xyz\u00AD";
  std::u16string text;
  text.reserve(length + pattern.size());
  while (text.size() < length) {
    text += pattern;
  }
  text.resize(length);
  return text;
}

void BM_StringByRemovingCharactersInSet(benchmark::State& state) {
  const std::u16string text = textWithManyHits(static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) {
    benchmark::DoNotOptimize(stringByRemovingCharactersInSet(text, controlCharacterSet()));
  }
  state.SetBytesProcessed(state.iterations() * state.range(0) * 2);
  state.SetComplexityN(state.range(0));
}
BENCHMARK(BM_StringByRemovingCharactersInSet)
    ->Arg(std::int64_t{100} * 1024)
    ->Arg(std::int64_t{1024} * 1024)
    ->Unit(benchmark::kMillisecond)
    ->Complexity(benchmark::oN);

}  // namespace
}  // namespace zv::text
