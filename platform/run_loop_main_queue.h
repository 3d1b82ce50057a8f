#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

#include "platform/main_queue.h"

namespace zv::platform {

/// A main queue for programs without a windowing event loop (the command line, tests): the
/// thread that creates it is the main thread, and posted blocks run when that thread calls
/// run(), runUntil() or runPendingBlocks().
class RunLoopMainQueue final : public MainQueue {
 public:
  RunLoopMainQueue();
  /// Shuts down: blocks still waiting are destroyed unrun.
  ~RunLoopMainQueue() override;
  RunLoopMainQueue(const RunLoopMainQueue&) = delete;
  RunLoopMainQueue& operator=(const RunLoopMainQueue&) = delete;

  void post(std::function<void()> block) override;
  bool isCurrentThreadMain() const override;

  /// Runs blocks as they arrive until stop() is called or the queue shuts down. Main thread only.
  void run();

  /// Runs blocks as they arrive until the predicate holds; it is tested before the first block
  /// and after each one, so whatever makes it true must happen in a posted block. Returns false
  /// when the queue shut down first. Main thread only.
  bool runUntil(const std::function<bool()>& predicate);

  /// Runs the blocks that are waiting now, not those they post, without waiting for more; returns
  /// how many ran. Main thread only.
  int runPendingBlocks();

  /// Makes run() return after the block that is running, or at once if it is not running yet;
  /// callable from any thread.
  void stop();

  /// Destroys every waiting block unrun, and every block posted from now on; threads waiting on
  /// an operation among them are released. Callable from any thread.
  void shutDown();

 private:
  // Waits for the next block; nothing when stopped or shut down.
  std::function<void()> takeNextBlock(bool wait);

  const std::thread::id mainThread_;
  mutable std::mutex mutex_;
  std::condition_variable blockPosted_;
  std::deque<std::function<void()>> blocks_;
  bool stopRequested_ = false;
  bool shutDown_ = false;
};

}  // namespace zv::platform
