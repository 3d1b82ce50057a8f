#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>

namespace zv::platform {

class MainQueue;
class OperationQueue;

/// One unit of work that a queue runs once on its own thread. The cancelled flag may be set and
/// read from any thread; the work itself decides where it looks at the flag.
class Operation {
 public:
  Operation() = default;
  virtual ~Operation() = default;
  Operation(const Operation&) = delete;
  Operation& operator=(const Operation&) = delete;

  /// Runs the work on the calling thread. By default it calls main() unless the operation was
  /// cancelled before it began; an operation that must report its end even when cancelled early
  /// overrides start() itself. The queue, not start(), marks the operation finished.
  virtual void start();

  /// Marks the operation cancelled. Never waits; the work notices it at its next check.
  virtual void cancel();

  /// True once cancel() has been called, from whichever thread.
  bool isCancelled() const;

  /// True once the operation has run (or was dropped by a queue that shut down) and its
  /// completion block has returned.
  bool isFinished() const;

  /// Blocks the calling thread until isFinished().
  void waitUntilFinished() const;

  /// A block run once, on the thread that ran the operation, just before it counts as finished.
  void setCompletionBlock(std::function<void()> block);

 protected:
  /// The work of a plain operation.
  virtual void main() {}

 private:
  friend class OperationQueue;
  friend class MainQueue;
  friend void addOperationAndWaitUntilFinished(OperationQueue&, std::shared_ptr<Operation>);
  friend void addOperationAndWaitUntilFinished(MainQueue&, std::shared_ptr<Operation>);

  // Runs start() and then finishes; a second call does nothing, so an operation added to two
  // queues still runs only once.
  void runAndFinish();
  // Finishes without running: for operations that a shut-down queue drops, so that no one
  // waits for them forever.
  void abandon();
  void finish();

  std::atomic<bool> cancelled_{false};
  std::atomic<bool> started_{false};
  mutable std::mutex mutex_;
  mutable std::condition_variable finishedChanged_;
  bool finished_ = false;
  // finished_ again, for waiters that look without the lock.
  std::atomic<bool> finishedFlag_{false};
  std::function<void()> completionBlock_;
};

/// An operation whose work is one block.
class BlockOperation : public Operation {
 public:
  explicit BlockOperation(std::function<void()> block) : block_(std::move(block)) {}

 protected:
  void main() override;

 private:
  std::function<void()> block_;
};

}  // namespace zv::platform
