#include <benchmark/benchmark.h>

#include <string>

#include "platform/url.h"
#include "weblink/url_extensions.h"

namespace zv::weblink {
namespace {

// A long article with the highlighted passage near its end, so that every search walks most of
// the text.
std::u16string articleText() {
  std::u16string text;
  for (int paragraph = 0; paragraph < 2000; ++paragraph) {
    text += u"Paragraph text with caf\u00e9 words, commas and no passage at all. ";
  }
  text += u"The prefix then the start of the passage, a middle, its end and the suffix.";
  return text;
}

void BM_HighlightedTextFromString(benchmark::State& state) {
  std::u16string text = articleText();
  platform::URL url = *platform::URL::fromString(
      u"https://example.com/article#:~:text=The%20prefix-,start%20of,its%20end,-and%20the");
  for (auto _ : state) {
    benchmark::DoNotOptimize(highlightedTextFromString(url, text));
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(text.size() * 2));
}
BENCHMARK(BM_HighlightedTextFromString);

void BM_URLCleanedForImport(benchmark::State& state) {
  platform::URL reader = *platform::URL::fromString(
      u"about:reader?id=12&url=https%3A%2F%2Fexample.com%2Fa%2Flong%2Fpath%3Fq%3D1%26r%3D2");
  for (auto _ : state) {
    benchmark::DoNotOptimize(URLCleanedForImport(reader));
  }
}
BENCHMARK(BM_URLCleanedForImport);

void BM_MatchesHost(benchmark::State& state) {
  platform::URL url = *platform::URL::fromString(u"https://news.subdomain.Example.co.uk/path");
  for (auto _ : state) {
    benchmark::DoNotOptimize(matchesHost(url, u"example.CO.uk"));
  }
}
BENCHMARK(BM_MatchesHost);

}  // namespace
}  // namespace zv::weblink
