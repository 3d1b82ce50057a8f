#include "platform/operation_queue.h"

#include <cassert>
#include <utility>

namespace zv::platform {

OperationQueue::OperationQueue() : thread_([this] { runOperations(); }) {}

OperationQueue::~OperationQueue() {
  {
    std::lock_guard lock(mutex_);
    shuttingDown_ = true;
    for (const auto& operation : waiting_) {
      operation->cancel();
    }
    if (running_) {
      running_->cancel();
    }
    operationAdded_.notify_all();
  }
  thread_.join();
}

void OperationQueue::addOperation(std::shared_ptr<Operation> operation) {
  std::lock_guard lock(mutex_);
  // Only an operation of this queue can add work while the queue is being destroyed; that work
  // still runs, but cancelled, so that anyone waiting for it is released.
  if (shuttingDown_) {
    operation->cancel();
  }
  waiting_.push_back(std::move(operation));
  operationAdded_.notify_one();
}

void OperationQueue::addOperationWithBlock(std::function<void()> block) {
  addOperation(std::make_shared<BlockOperation>(std::move(block)));
}

void OperationQueue::cancelAllOperations() {
  std::lock_guard lock(mutex_);
  for (const auto& operation : waiting_) {
    operation->cancel();
  }
  if (running_) {
    running_->cancel();
  }
}

void OperationQueue::waitUntilAllOperationsAreFinished() {
  assert(!isCurrentThreadQueueThread());
  std::unique_lock lock(mutex_);
  operationFinished_.wait(lock, [this] { return waiting_.empty() && !running_; });
}

std::size_t OperationQueue::operationCount() const {
  std::lock_guard lock(mutex_);
  return waiting_.size() + (running_ ? 1 : 0);
}

bool OperationQueue::isCurrentThreadQueueThread() const {
  return std::this_thread::get_id() == thread_.get_id();
}

void OperationQueue::runOperations() {
  std::unique_lock lock(mutex_);
  while (true) {
    operationAdded_.wait(lock, [this] { return !waiting_.empty() || shuttingDown_; });
    if (waiting_.empty()) {
      return;
    }
    running_ = std::move(waiting_.front());
    waiting_.pop_front();
    auto operation = running_;
    lock.unlock();
    operation->runAndFinish();
    operation.reset();
    lock.lock();
    running_.reset();
    operationFinished_.notify_all();
  }
}

void addOperationAndWaitUntilFinished(OperationQueue& queue, std::shared_ptr<Operation> operation) {
  if (queue.isCurrentThreadQueueThread()) {
    operation->runAndFinish();
    return;
  }
  queue.addOperation(operation);
  operation->waitUntilFinished();
}

void addOperationAndWaitUntilFinished(MainQueue& queue, std::shared_ptr<Operation> operation) {
  if (queue.isCurrentThreadMain()) {
    operation->runAndFinish();
    return;
  }
  queue.addOperation(operation);
  operation->waitUntilFinished();
}

namespace {

template <typename Queue>
bool runBlockAndWait(Queue& queue, std::function<void()> block) {
  // Written on the queue's thread and read here only after the operation has finished, which
  // orders the two through the operation's lock.
  bool ran = false;
  auto operation = std::make_shared<BlockOperation>([&ran, &block] {
    block();
    ran = true;
  });
  addOperationAndWaitUntilFinished(queue, std::move(operation));
  return ran;
}

}  // namespace

bool addOperationWithBlockAndWaitUntilFinished(OperationQueue& queue, std::function<void()> block) {
  return runBlockAndWait(queue, std::move(block));
}

bool addOperationWithBlockAndWaitUntilFinished(MainQueue& queue, std::function<void()> block) {
  return runBlockAndWait(queue, std::move(block));
}

}  // namespace zv::platform
