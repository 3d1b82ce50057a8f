#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/main_queue.h"
#include "platform/operation.h"

namespace zv::platform {

/// A serial queue with a thread of its own: operations run one after another, in the order they
/// were added, on that thread.
class OperationQueue {
 public:
  OperationQueue();
  /// Cancels every operation still on the queue, lets each finish (a cancelled operation
  /// normally ends at once) and joins the thread. So an operation that waits for the main queue
  /// must not outlive the main queue's event loop unless that queue has shut down.
  ~OperationQueue();
  OperationQueue(const OperationQueue&) = delete;
  OperationQueue& operator=(const OperationQueue&) = delete;

  /// Adds the operation; it starts on the queue's thread once those before it have finished.
  void addOperation(std::shared_ptr<Operation> operation);

  /// Wraps the block in an operation and adds it.
  void addOperationWithBlock(std::function<void()> block);

  /// Cancels the running operation and every waiting one; does not wait.
  void cancelAllOperations();

  /// Blocks until every operation added so far has finished. Not from the queue's own thread.
  void waitUntilAllOperationsAreFinished();

  /// Operations added and not yet finished, the running one included.
  std::size_t operationCount() const;

  /// True when the caller runs on this queue's thread (inside one of its operations).
  bool isCurrentThreadQueueThread() const;

 private:
  void runOperations();

  mutable std::mutex mutex_;
  std::condition_variable operationAdded_;
  std::condition_variable operationFinished_;
  std::deque<std::shared_ptr<Operation>> waiting_;
  std::shared_ptr<Operation> running_;
  bool shuttingDown_ = false;
  // Last, so that everything above exists before the thread looks at it.
  std::thread thread_;
};

/// Adds the operation to the queue and blocks until it has finished. When the caller already
/// runs on the queue's thread the operation runs at once instead, since waiting for it there
/// could never end.
void addOperationAndWaitUntilFinished(OperationQueue& queue, std::shared_ptr<Operation> operation);

/// As above for the main queue: a caller on the main thread runs the operation at once.
void addOperationAndWaitUntilFinished(MainQueue& queue, std::shared_ptr<Operation> operation);

/// Runs the block on the queue and waits until it has run; on the caller's thread at once when
/// the caller is already on the queue's thread. Returns false when the queue dropped the block
/// unrun because it shut down.
bool addOperationWithBlockAndWaitUntilFinished(OperationQueue& queue, std::function<void()> block);

/// As above for the main queue: a caller on the main thread never deadlocks on it.
bool addOperationWithBlockAndWaitUntilFinished(MainQueue& queue, std::function<void()> block);

}  // namespace zv::platform
