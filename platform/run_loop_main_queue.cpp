#include "platform/run_loop_main_queue.h"

#include <cassert>
#include <utility>

namespace zv::platform {

RunLoopMainQueue::RunLoopMainQueue() : mainThread_(std::this_thread::get_id()) {}

RunLoopMainQueue::~RunLoopMainQueue() {
  shutDown();
}

void RunLoopMainQueue::post(std::function<void()> block) {
  {
    std::lock_guard lock(mutex_);
    if (!shutDown_) {
      blocks_.push_back(std::move(block));
      blockPosted_.notify_one();
      return;
    }
  }
  // Destroyed here, outside the lock, because destroying a block may post again.
  block = nullptr;
}

bool RunLoopMainQueue::isCurrentThreadMain() const {
  return std::this_thread::get_id() == mainThread_;
}

std::function<void()> RunLoopMainQueue::takeNextBlock(bool wait) {
  std::unique_lock lock(mutex_);
  if (wait) {
    blockPosted_.wait(lock, [this] { return !blocks_.empty() || stopRequested_ || shutDown_; });
  }
  if ((wait && stopRequested_) || shutDown_ || blocks_.empty()) {
    return nullptr;
  }
  auto block = std::move(blocks_.front());
  blocks_.pop_front();
  return block;
}

void RunLoopMainQueue::run() {
  assert(isCurrentThreadMain());
  while (auto block = takeNextBlock(true)) {
    block();
  }
  // Consumed only here, so that a stop() that comes before run() is not lost.
  std::lock_guard lock(mutex_);
  stopRequested_ = false;
}

bool RunLoopMainQueue::runUntil(const std::function<bool()>& predicate) {
  assert(isCurrentThreadMain());
  while (!predicate()) {
    std::unique_lock lock(mutex_);
    blockPosted_.wait(lock, [this] { return !blocks_.empty() || shutDown_; });
    if (shutDown_) {
      return false;
    }
    auto block = std::move(blocks_.front());
    blocks_.pop_front();
    lock.unlock();
    block();
  }
  return true;
}

int RunLoopMainQueue::runPendingBlocks() {
  assert(isCurrentThreadMain());
  std::size_t waiting = 0;
  {
    std::lock_guard lock(mutex_);
    waiting = blocks_.size();
  }
  // Only those waiting now: a block that posts itself again must not keep us here forever.
  int count = 0;
  for (; waiting > 0; --waiting) {
    auto block = takeNextBlock(false);
    if (!block) {
      break;
    }
    block();
    ++count;
  }
  return count;
}

void RunLoopMainQueue::stop() {
  std::lock_guard lock(mutex_);
  stopRequested_ = true;
  blockPosted_.notify_all();
}

void RunLoopMainQueue::shutDown() {
  std::deque<std::function<void()>> dropped;
  {
    std::lock_guard lock(mutex_);
    shutDown_ = true;
    dropped.swap(blocks_);
    blockPosted_.notify_all();
  }
  // Outside the lock: destroying a block can release a waiting thread, which may post again.
  dropped.clear();
}

}  // namespace zv::platform
