// Loading a large library description: parsing, checking every field and every payload path.
#include <benchmark/benchmark.h>

#include <filesystem>
#include <string>

#include "source/library_snapshot.h"

namespace {

std::string describeLibrary(int items) {
  std::string text = R"({"format": 1, "labels": [)";
  for (int label = 0; label < 1000; ++label) {
    text += (label ? "," : "") + std::string(R"({"id": "L)") + std::to_string(label) +
            R"(", "name": "Label", "color": [0.1, 0.2, 0.3]})";
  }
  text += R"(], "items": [)";
  for (int item = 0; item < items; ++item) {
    const std::string id = std::to_string(item);
    text += (item ? "," : "") + std::string(R"({"kind": "note", "id": "I)") + id +
            R"(", "name": "Meeting notes", "tags": ["work", "q3"], "label": "L)" +
            std::to_string(item % 1000) +
            R"(", "creationDate": "2021-03-04T05:06:07Z", "file": "payload/I)" + id + R"(.rtf"})";
  }
  return text + "]}";
}

void BM_ParseLibrarySnapshot(benchmark::State& state) {
  const std::string text = describeLibrary(static_cast<int>(state.range(0)));
  const std::filesystem::path folder = std::filesystem::temp_directory_path();
  for (auto _ : state) {
    auto library = zv::source::parseLibrarySnapshot(text, folder);
    if (!library) {
      state.SkipWithError("the description did not load");
      break;
    }
    benchmark::DoNotOptimize(library);
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_ParseLibrarySnapshot)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);

}  // namespace
