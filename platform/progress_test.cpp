#include "platform/progress.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "platform/operation_queue.h"
#include "platform/run_loop_main_queue.h"

namespace zv::platform {
namespace {

TEST(Progress, ObserversSeeEveryChangeInOrderOnTheMainThread) {
  RunLoopMainQueue mainQueue;
  Progress progress(mainQueue);
  std::vector<ProgressState> seen;
  std::vector<std::thread::id> threads;
  progress.addObserver([&](const ProgressState& state) {
    seen.push_back(state);
    threads.push_back(std::this_thread::get_id());
  });

  OperationQueue queue;
  queue.addOperationWithBlock([&progress] {
    progress.setTotalUnitCount(2);
    progress.setLocalizedDescription(u"Exporting notes…");
    progress.setCompletedUnitCount(1);
    progress.setCompletedUnitCount(2);
  });
  progress.cancel();  // From the main thread too: still delivered after the worker's changes.
  ASSERT_TRUE(mainQueue.runUntil([&seen] { return seen.size() == 5; }));
  queue.waitUntilAllOperationsAreFinished();
  mainQueue.runPendingBlocks();

  ASSERT_EQ(seen.size(), 5u);
  EXPECT_THAT(threads, ::testing::Each(std::this_thread::get_id()));
  EXPECT_EQ(seen.back(), progress.state());
  // Counts only ever rise in the order they were set, whichever thread's change came first.
  for (std::size_t i = 1; i < seen.size(); ++i) {
    EXPECT_GE(seen[i].completedUnitCount, seen[i - 1].completedUnitCount);
    EXPECT_GE(seen[i].totalUnitCount, seen[i - 1].totalUnitCount);
  }
}

TEST(Progress, NoNotificationAfterObserverRemovedOrProgressGone) {
  RunLoopMainQueue mainQueue;
  int removedCalls = 0;
  int destroyedCalls = 0;
  {
    Progress progress(mainQueue);
    auto token = progress.addObserver([&](const ProgressState&) { ++removedCalls; });
    progress.addObserver([&](const ProgressState&) { ++destroyedCalls; });
    progress.setCompletedUnitCount(1);
    progress.removeObserver(token);
  }
  mainQueue.runPendingBlocks();
  EXPECT_EQ(removedCalls, 0);
  EXPECT_EQ(destroyedCalls, 0);
}

TEST(Progress, CancellationHandlerRunsExactlyOnce) {
  RunLoopMainQueue mainQueue;
  int calls = 0;
  Progress early(mainQueue);
  early.setCancellationHandler([&calls] { ++calls; });
  early.cancel();
  early.cancel();
  EXPECT_EQ(calls, 1) << "handler set first, cancelled twice";
  Progress late(mainQueue);
  late.cancel();
  late.setCancellationHandler([&calls] { ++calls; });
  EXPECT_TRUE(late.isCancelled());
  EXPECT_EQ(calls, 2) << "handler set after cancel runs at once";
}

TEST(ProgressState, FractionStaysWithinZeroAndOne) {
  struct Case {
    std::int64_t total;
    std::int64_t completed;
    bool indeterminate;
    double fraction;
  };
  const Case cases[] = {
      {-1, 0, true, 0.0},
      {-1, 7, true, 0.0},
      {0, 0, false, 0.0},  // An empty library: nothing to do, but not unknown.
      {4, 1, false, 0.25},
      {4, 4, false, 1.0},
      // Skipped items are reported as completed without being counted in the total.
      {2, 5, false, 1.0},
      {0, 3, false, 1.0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.total << "/" << c.completed);
    ProgressState state;
    state.totalUnitCount = c.total;
    state.completedUnitCount = c.completed;
    EXPECT_EQ(state.isIndeterminate(), c.indeterminate);
    EXPECT_DOUBLE_EQ(state.fractionCompleted(), c.fraction);
  }
}

}  // namespace
}  // namespace zv::platform
