// What one waited-for block on the main queue costs a worker thread: the export pays it once per
// item, for the progress.
#include <benchmark/benchmark.h>

#include <atomic>
#include <thread>

#include "platform/operation_queue.h"
#include "platform/run_loop_main_queue.h"

namespace {

void BM_MainQueueRoundTrip(benchmark::State& state) {
  constexpr int kBlocksPerRound = 2000;
  zv::platform::RunLoopMainQueue mainQueue;
  std::int64_t counter = 0;
  for (auto _ : state) {
    std::atomic<bool> done{false};
    std::thread worker([&] {
      for (int block = 0; block < kBlocksPerRound; ++block) {
        zv::platform::addOperationWithBlockAndWaitUntilFinished(mainQueue, [&] { ++counter; });
      }
      mainQueue.post([&] { done = true; });
    });
    mainQueue.runUntil([&] { return done.load(); });
    worker.join();
  }
  benchmark::DoNotOptimize(counter);
  state.SetItemsProcessed(state.iterations() * kBlocksPerRound);
}
BENCHMARK(BM_MainQueueRoundTrip)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
