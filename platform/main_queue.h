#pragma once

#include <functional>
#include <memory>

#include "platform/operation.h"

namespace zv::platform {

/// The queue of the main thread, which owns the windows and the progress objects. Blocks run
/// one at a time, in the order they were posted, on the main thread. The program's event loop
/// provides the implementation (a plain run loop on the command line and in tests).
class MainQueue {
 public:
  virtual ~MainQueue() = default;

  /// Schedules the block to run later on the main thread; safe from any thread, never waits.
  /// A queue that has shut down destroys the block without running it.
  virtual void post(std::function<void()> block) = 0;

  /// True when the calling thread is the main thread.
  virtual bool isCurrentThreadMain() const = 0;

  /// Schedules the operation to run on the main thread. If the queue drops it unrun (because
  /// the queue shut down), it is cancelled and finished so that no one waits for it forever.
  void addOperation(std::shared_ptr<Operation> operation);

  /// Wraps the block in an operation and adds it.
  void addOperationWithBlock(std::function<void()> block);
};

/// The process's main queue, as installed with setMainQueue(); nullptr before that.
MainQueue* mainQueue();

/// Installs the process's main queue (the program's entry point or a test does this once); the
/// caller keeps it alive until it installs nullptr again.
void setMainQueue(MainQueue* queue);

}  // namespace zv::platform
