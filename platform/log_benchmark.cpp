// What one log line costs to make: the export writes two for every item.
#include <benchmark/benchmark.h>

#include <ctime>
#include <string>

#include "platform/log.h"

namespace {

void BM_FormatLogLine(benchmark::State& state) {
  std::tm time{};
  time.tm_year = 126;
  time.tm_mon = 11;
  time.tm_mday = 10;
  const std::u16string message = u"Finished exporting item: 6C1B2D8E-41F7-4C8B-9E0A-3D5F7A2B9C14";
  std::size_t bytes = 0;
  for (auto _ : state) {
    bytes += zv::platform::formatLogLine(message, time, 883, 7907, 7909).size();
  }
  benchmark::DoNotOptimize(bytes);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_FormatLogLine);

}  // namespace
