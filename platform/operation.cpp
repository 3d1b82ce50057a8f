#include "platform/operation.h"

#include <utility>

namespace zv::platform {

void Operation::start() {
  if (isCancelled()) {
    return;
  }
  main();
}

void Operation::cancel() {
  cancelled_.store(true, std::memory_order_release);
}

bool Operation::isCancelled() const {
  return cancelled_.load(std::memory_order_acquire);
}

bool Operation::isFinished() const {
  std::lock_guard lock(mutex_);
  return finished_;
}

void Operation::waitUntilFinished() const {
  std::unique_lock lock(mutex_);
  finishedChanged_.wait(lock, [this] { return finished_; });
}

void Operation::setCompletionBlock(std::function<void()> block) {
  std::lock_guard lock(mutex_);
  completionBlock_ = std::move(block);
}

void Operation::runAndFinish() {
  if (started_.exchange(true)) {
    return;
  }
  start();
  finish();
}

void Operation::abandon() {
  if (started_.exchange(true)) {
    return;
  }
  // The flag alone: an overridden cancel() might post to the very queue that is shutting down.
  cancelled_.store(true, std::memory_order_release);
  finish();
}

void Operation::finish() {
  std::function<void()> completion;
  {
    std::lock_guard lock(mutex_);
    completion = std::move(completionBlock_);
    completionBlock_ = nullptr;
  }
  // Outside the lock: the block may well ask this operation whether it was cancelled.
  if (completion) {
    completion();
  }
  // Notified under the lock: a waiter that wakes may destroy this operation at once.
  std::lock_guard lock(mutex_);
  finished_ = true;
  finishedChanged_.notify_all();
}

void BlockOperation::main() {
  if (block_) {
    block_();
  }
}

}  // namespace zv::platform
