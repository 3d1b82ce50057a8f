#include "platform/operation_queue.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <future>
#include <mutex>
#include <numeric>
#include <thread>
#include <vector>

#include "platform/run_loop_main_queue.h"

namespace zv::platform {
namespace {

// Runs until cancelled, telling the test when it has started; waits on a condition, not a clock.
class WaitForCancelOperation : public Operation {
 public:
  void cancel() override {
    Operation::cancel();
    std::lock_guard lock(mutex_);
    cancelledChanged_.notify_all();
  }
  std::future<void> started() { return started_.get_future(); }
  bool sawCancellation() const { return sawCancellation_; }

 protected:
  void main() override {
    started_.set_value();
    std::unique_lock lock(mutex_);
    cancelledChanged_.wait(lock, [this] { return isCancelled(); });
    sawCancellation_ = true;
  }

 private:
  std::promise<void> started_;
  std::mutex mutex_;
  std::condition_variable cancelledChanged_;
  bool sawCancellation_ = false;
};

enum class Place { kMainThread, kQueueThread };

TEST(AddOperationWithBlockAndWaitUntilFinished, RunsBlockOnTargetAndReturnsAfterItRan) {
  struct Case {
    const char* name;
    Place caller;
    Place target;
  };
  const Case cases[] = {
      // The main thread waiting on its own queue must run the block itself, not deadlock.
      {"main thread to main queue", Place::kMainThread, Place::kMainThread},
      {"main thread to worker queue", Place::kMainThread, Place::kQueueThread},
      {"worker to main queue", Place::kQueueThread, Place::kMainThread},
      // Same for a worker waiting on its own serial queue.
      {"worker to its own queue", Place::kQueueThread, Place::kQueueThread},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    RunLoopMainQueue mainQueue;
    OperationQueue queue;
    const auto mainThread = std::this_thread::get_id();
    std::thread::id queueThread;
    ASSERT_TRUE(addOperationWithBlockAndWaitUntilFinished(
        queue, [&queueThread] { queueThread = std::this_thread::get_id(); }));

    int runs = 0;
    int runsAtReturn = -1;
    bool returned = false;
    std::thread::id ranOn;
    auto waitForBlock = [&] {
      auto block = [&] {
        ++runs;
        ranOn = std::this_thread::get_id();
      };
      returned = c.target == Place::kMainThread
                     ? addOperationWithBlockAndWaitUntilFinished(mainQueue, block)
                     : addOperationWithBlockAndWaitUntilFinished(queue, block);
      runsAtReturn = runs;
    };

    if (c.caller == Place::kMainThread) {
      waitForBlock();
    } else {
      bool done = false;
      queue.addOperationWithBlock([&] {
        waitForBlock();
        mainQueue.post([&done] { done = true; });
      });
      ASSERT_TRUE(mainQueue.runUntil([&done] { return done; }));
    }

    EXPECT_TRUE(returned);
    EXPECT_EQ(runsAtReturn, 1);
    EXPECT_EQ(runs, 1);
    EXPECT_EQ(ranOn, c.target == Place::kMainThread ? mainThread : queueThread);
  }
}

TEST(AddOperationWithBlockAndWaitUntilFinished, ReleasesWorkerWhenMainQueueShutsDown) {
  RunLoopMainQueue mainQueue;
  OperationQueue queue;
  std::promise<bool> result;
  bool blockRan = false;
  queue.addOperationWithBlock([&] {
    result.set_value(
        addOperationWithBlockAndWaitUntilFinished(mainQueue, [&blockRan] { blockRan = true; }));
  });
  // Whether the worker posted before or after the shutdown, it must come back with "not run".
  mainQueue.shutDown();
  EXPECT_FALSE(result.get_future().get());
  queue.waitUntilAllOperationsAreFinished();
  EXPECT_FALSE(blockRan);
}

TEST(OperationQueue, RunsOperationsInOrderOnOneThreadOfItsOwn) {
  OperationQueue queue;
  std::vector<int> order;
  std::vector<std::thread::id> threads;
  for (int i = 0; i < 20; ++i) {
    queue.addOperationWithBlock([&order, &threads, i] {
      order.push_back(i);
      threads.push_back(std::this_thread::get_id());
    });
  }
  queue.waitUntilAllOperationsAreFinished();
  EXPECT_EQ(queue.operationCount(), 0u);
  std::vector<int> expectedOrder(20);
  std::iota(expectedOrder.begin(), expectedOrder.end(), 0);
  EXPECT_EQ(order, expectedOrder);
  EXPECT_THAT(threads, ::testing::Each(threads.front()));
  EXPECT_NE(threads.front(), std::this_thread::get_id());
}

TEST(OperationQueue, CancelFromMainThreadReachesRunningAndWaitingOperations) {
  OperationQueue queue;
  auto running = std::make_shared<WaitForCancelOperation>();
  bool waitingRan = false;
  auto waiting = std::make_shared<BlockOperation>([&waitingRan] { waitingRan = true; });
  queue.addOperation(running);
  queue.addOperation(waiting);
  running->started().wait();

  queue.cancelAllOperations();
  waiting->waitUntilFinished();

  EXPECT_TRUE(running->isFinished());
  EXPECT_TRUE(running->sawCancellation());
  EXPECT_TRUE(waiting->isCancelled());
  EXPECT_FALSE(waitingRan);
}

TEST(OperationQueue, DestructionCancelsPendingWorkAndReleasesItsWaiters) {
  auto running = std::make_shared<WaitForCancelOperation>();
  std::vector<std::shared_ptr<Operation>> pending;
  std::atomic<int> pendingRuns = 0;
  std::promise<void> waiterReleased;
  std::thread waiter;
  {
    OperationQueue queue;
    queue.addOperation(running);
    for (int i = 0; i < 5; ++i) {
      pending.push_back(std::make_shared<BlockOperation>([&pendingRuns] { ++pendingRuns; }));
      queue.addOperation(pending.back());
    }
    running->started().wait();
    waiter = std::thread([&] {
      pending.back()->waitUntilFinished();
      waiterReleased.set_value();
    });
  }
  waiterReleased.get_future().wait();
  waiter.join();
  EXPECT_TRUE(running->sawCancellation());
  EXPECT_EQ(pendingRuns, 0);
  for (const auto& operation : pending) {
    EXPECT_TRUE(operation->isCancelled());
    EXPECT_TRUE(operation->isFinished());
  }
}

TEST(Operation, CompletionBlockHasRunWhenWaitersWake) {
  OperationQueue queue;
  bool completed = false;
  auto operation = std::make_shared<BlockOperation>([] {});
  operation->setCompletionBlock([&completed] { completed = true; });
  addOperationAndWaitUntilFinished(queue, operation);
  EXPECT_TRUE(operation->isFinished());
  EXPECT_TRUE(completed);
}

TEST(Operation, RunsOnlyOnceWhenAddedTwice) {
  OperationQueue first;
  OperationQueue second;
  std::atomic<int> runs = 0;
  auto operation = std::make_shared<BlockOperation>([&runs] { ++runs; });
  first.addOperation(operation);
  second.addOperation(operation);
  first.waitUntilAllOperationsAreFinished();
  second.waitUntilAllOperationsAreFinished();
  EXPECT_EQ(runs, 1);
}

TEST(RunLoopMainQueue, StopPostedBeforeRunIsNotLost) {
  RunLoopMainQueue mainQueue;
  OperationQueue queue;
  int ran = 0;
  mainQueue.post([&ran] { ++ran; });
  addOperationAndWaitUntilFinished(queue,
                                   std::make_shared<BlockOperation>([&] { mainQueue.stop(); }));
  mainQueue.run();  // Returns at once instead of waiting forever.
  EXPECT_EQ(ran, 0);
  EXPECT_EQ(mainQueue.runPendingBlocks(), 1);
  EXPECT_EQ(ran, 1);
}

TEST(RunLoopMainQueue, RunPendingBlocksLeavesBlocksPostedMeanwhileForLater) {
  RunLoopMainQueue mainQueue;
  int runs = 0;
  std::function<void()> repost = [&] {
    ++runs;
    mainQueue.post(repost);
  };
  mainQueue.post(repost);
  EXPECT_EQ(mainQueue.runPendingBlocks(), 1);
  EXPECT_EQ(mainQueue.runPendingBlocks(), 1);
  EXPECT_EQ(runs, 2);
}

}  // namespace
}  // namespace zv::platform
