#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "platform/unicode.h"
#include "platform/url.h"
#include "text/file_name_extensions.h"

namespace zv::text {
namespace {

// Titles as users write them: several scripts, emoji, list markers, paths, and the odd very
// long first line pasted from somewhere.
std::vector<std::u16string> realisticTitles(std::size_t count) {
  const std::u16string pieces[] = {
      u"Meeting notes",
      u"Einkaufsliste f\u00FCr Samstag",
      u"\u65E5\u672C\u8A9E\u306E\u30E1\u30E2",
      u"\u0417\u0430\u043C\u0435\u0442\u043A\u0438",
      u"\U0001F4DD Ideas \U0001F680",
      u"\u2022 Buy milk",
      u"12. Chapter",
      u"a/b:c~d",
      u"\u0645\u0644\u0627\u062D\u0638\u0627\u062A",
      u"...hidden",
      u"Line one\nLine two",
      u"Reise nach K\u00F6ln. Tag 2",
  };
  std::mt19937 random(42);
  std::vector<std::u16string> titles;
  titles.reserve(count);
  for (std::size_t index = 0; index < count; ++index) {
    std::u16string title;
    std::size_t words = index % 10 == 0 ? 40 : 1 + random() % 4;
    for (std::size_t word = 0; word < words; ++word) {
      title += pieces[random() % std::size(pieces)];
      title += u' ';
    }
    titles.push_back(std::move(title));
  }
  return titles;
}

void BM_StringSanitizedForFileName(benchmark::State& state) {
  const std::vector<std::u16string> titles = realisticTitles(10000);
  for (auto _ : state) {
    for (const auto& title : titles) {
      benchmark::DoNotOptimize(stringSanitizedForFileName(title));
    }
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(titles.size()));
}
BENCHMARK(BM_StringSanitizedForFileName)->Unit(benchmark::kMillisecond);

void BM_GenerateItemName(benchmark::State& state) {
  const std::vector<std::u16string> titles = realisticTitles(10000);
  for (auto _ : state) {
    for (const auto& title : titles) {
      benchmark::DoNotOptimize(generateItemName(title));
    }
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(titles.size()));
}
BENCHMARK(BM_GenerateItemName)->Unit(benchmark::kMillisecond);

// Finding the 1,000th free name means testing the 999 numbered names before it.
void BM_MakeFilenameUniqueThousandthCopy(benchmark::State& state) {
  std::string pattern = (std::filesystem::temp_directory_path() / "zv-bench-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) {
    state.SkipWithError("cannot create a temporary folder");
    return;
  }
  std::filesystem::path folder = pattern;
  std::ofstream(folder / "Report.pdf").put('x');
  for (int number = 1; number < 1000; ++number) {
    std::ofstream(folder / ("Report " + std::to_string(number) + ".pdf")).put('x');
  }
  auto directory = platform::URL::fileURLWithPath(platform::fromUtf8(folder.string()), true);
  for (auto _ : state) {
    std::u16string name = makeFilenameUniqueInDirectoryAtURL(u"Report.pdf", directory);
    if (name != u"Report 1000.pdf") {
      state.SkipWithError("unexpected name");
      break;
    }
  }
  std::filesystem::remove_all(folder);
}
BENCHMARK(BM_MakeFilenameUniqueThousandthCopy)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace zv::text
