// The metadata file's records at 100,000 and 1,000,000 items: time per item and the memory they
// hold, streamed (MetadataRecords) against the whole property-list tree the export once kept. Heap
// figures come from mallinfo2, so run one benchmark per process for the peak:
// --benchmark_filter=...

#include <benchmark/benchmark.h>
#include <malloc.h>

#include <string>

#include "export/metadata_keys.h"
#include "export/metadata_records.h"
#include "platform/temporary_directory.h"
#include "platform/unicode.h"

namespace zv::exporter {
namespace {

struct SampleItem {
  std::u16string identifier;
  std::u16string fileURL;
  std::u16string label;
};

SampleItem sampleItem(int i) {
  return {platform::fromUtf8("8F3C2A1E-0000-4000-8000-" + std::to_string(100'000'000'000 + i)),
          platform::fromUtf8("file:///home/someone/.local/share/Quennet/Zelvar/Zelvar/Item%20" +
                             std::to_string(i) + ".rtfd"),
          platform::fromUtf8("label-" + std::to_string(i % 20))};
}

double heapInUse() {
  return static_cast<double>(mallinfo2().uordblks);
}

void BM_MetadataRecordsStreamed(benchmark::State& state) {
  const auto itemCount = static_cast<int>(state.range(0));
  auto folder = platform::TemporaryDirectory::create(u"zv-metadata-benchmark");
  double heapPerItem = 0;
  double heldPerItem = 0;
  for (auto _ : state) {
    const double before = heapInUse();
    auto records = MetadataRecords::create(folder->url());
    for (int i = 0; i < itemCount; ++i) {
      const SampleItem item = sampleItem(i);
      records->addItem({.identifier = item.identifier,
                        .fileURL = item.fileURL,
                        .wasEncrypted = i % 7 == 0,
                        .isFavorite = i % 11 == 0,
                        .wasNote = true,
                        .label = item.label,
                        .tags = i % 3 == 0 ? u"" : u"work,caf\u00e9,2024"});
    }
    heapPerItem = (heapInUse() - before) / itemCount;
    heldPerItem = static_cast<double>(records->memoryBytes()) / itemCount;
    const platform::PropertyList::Dictionary none;
    auto written = records->writeFile(folder->url().appendingPathComponent(u"Zelvar.plist"),
                                      {.rootFolderName = u"Zelvar",
                                       .rootFolderURLString = u"file:///Zelvar/",
                                       .labels = &none,
                                       .groups = &none,
                                       .searches = &none,
                                       .exporter = &none});
    if (!written) {
      state.SkipWithError("writing the metadata file failed");
    }
  }
  state.counters["heap_bytes_per_item"] = heapPerItem;
  state.counters["held_bytes_per_item"] = heldPerItem;
}
BENCHMARK(BM_MetadataRecordsStreamed)->Arg(100'000)->Arg(1'000'000)->Unit(benchmark::kMillisecond);

// What each item cost when its record was a dictionary in one tree.
void BM_MetadataRecordsAsTree(benchmark::State& state) {
  const auto itemCount = static_cast<int>(state.range(0));
  double heapPerItem = 0;
  for (auto _ : state) {
    const double before = heapInUse();
    platform::PropertyList::Array items;
    for (int i = 0; i < itemCount; ++i) {
      SampleItem item = sampleItem(i);
      platform::PropertyList::Dictionary record;
      record.reserve(7);
      record.set(kIdentifierKey, std::move(item.identifier));
      record.set(kFileURLKey, std::move(item.fileURL));
      record.set(kWasEncryptedKey, i % 7 == 0);
      record.set(kIsFavoriteKey, i % 11 == 0);
      record.set(kWasNoteKey, true);
      record.set(kLabelKey, std::move(item.label));
      record.set(kTagsKey, i % 3 == 0 ? u"" : u"work,caf\u00e9,2024");
      items.emplace_back(std::move(record));
    }
    heapPerItem = (heapInUse() - before) / itemCount;
    benchmark::DoNotOptimize(items.data());
  }
  state.counters["heap_bytes_per_item"] = heapPerItem;
}
BENCHMARK(BM_MetadataRecordsAsTree)->Arg(100'000)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace zv::exporter
