#include "platform/operation.h"

#include <chrono>
#include <thread>
#include <utility>

namespace zv::platform {
namespace {

// Tells the processor that this is a wait loop, which spares the other hardware thread.
inline void pauseWhileSpinning() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  asm volatile("yield");
#endif
}

}  // namespace

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
  // Waits for another thread are mostly short (a progress update on the main thread). Sleeping
  // and being woken for each cost more than the work itself, so look for a while first; with a
  // single core the other thread cannot run meanwhile, so there is no point.
  static const bool spinning = std::thread::hardware_concurrency() > 1;
  if (spinning) {
    constexpr auto kSpinTime = std::chrono::microseconds(50);
    const auto giveUp = std::chrono::steady_clock::now() + kSpinTime;
    for (int round = 1; !finishedFlag_.load(std::memory_order_acquire); ++round) {
      if (round % 64 == 0 && std::chrono::steady_clock::now() > giveUp) {
        break;
      }
      pauseWhileSpinning();
    }
  }
  // Taken even when the flag is seen set: finish() may still be notifying, under this lock, and
  // the caller may destroy the operation as soon as this returns.
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
  finishedFlag_.store(true, std::memory_order_release);
  finishedChanged_.notify_all();
}

void BlockOperation::main() {
  if (block_) {
    block_();
  }
}

}  // namespace zv::platform
