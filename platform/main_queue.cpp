#include "platform/main_queue.h"

#include <atomic>
#include <utility>

namespace zv::platform {
namespace {

std::atomic<MainQueue*> installedMainQueue{nullptr};

}  // namespace

void MainQueue::addOperation(std::shared_ptr<Operation> operation) {
  // Owned by the posted block: whether the block runs or is destroyed unrun, the operation ends
  // up finished, so a thread waiting on it is always released.
  struct Posted {
    std::shared_ptr<Operation> operation;
    ~Posted() {
      if (operation) {
        operation->abandon();
      }
    }
  };
  auto posted = std::make_shared<Posted>();
  posted->operation = std::move(operation);
  post([posted] { posted->operation->runAndFinish(); });
}

void MainQueue::addOperationWithBlock(std::function<void()> block) {
  addOperation(std::make_shared<BlockOperation>(std::move(block)));
}

MainQueue* mainQueue() {
  return installedMainQueue.load(std::memory_order_acquire);
}

void setMainQueue(MainQueue* queue) {
  installedMainQueue.store(queue, std::memory_order_release);
}

}  // namespace zv::platform
