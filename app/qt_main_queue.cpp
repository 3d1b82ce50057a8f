#include "app/qt_main_queue.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QThread>
#include <utility>

namespace zv::app {

struct QtMainQueue::State {
  std::mutex mutex;
  bool shutDown = false;
};

QtMainQueue::QtMainQueue()
    : state_(std::make_shared<State>()), receiver_(std::make_unique<QObject>()) {}

QtMainQueue::~QtMainQueue() {
  shutDown();
  // Deleting the receiver discards its queued calls, which destroys the blocks they hold.
  std::lock_guard lock(state_->mutex);
  receiver_.reset();
}

void QtMainQueue::post(std::function<void()> block) {
  std::unique_lock lock(state_->mutex);
  if (state_->shutDown || !receiver_) {
    lock.unlock();
    block = nullptr;
    return;
  }
  // The block is dropped unrun when the queue shut down after posting but before the event loop
  // got to it; dropping (not leaking) it is what releases a waiting export thread.
  auto shared = std::make_shared<std::function<void()>>(std::move(block));
  QMetaObject::invokeMethod(
      receiver_.get(),
      [state = state_, shared]() mutable {
        bool run = false;
        {
          std::lock_guard guard(state->mutex);
          run = !state->shutDown;
        }
        if (run) {
          (*shared)();
        }
        *shared = nullptr;
      },
      Qt::QueuedConnection);
}

bool QtMainQueue::isCurrentThreadMain() const {
  std::lock_guard lock(state_->mutex);
  return receiver_ && QThread::currentThread() == receiver_->thread();
}

void QtMainQueue::shutDown() {
  QObject* receiver = nullptr;
  {
    std::lock_guard lock(state_->mutex);
    state_->shutDown = true;
    receiver = receiver_.get();
  }
  // Blocks still waiting in the event loop are destroyed now rather than when (or if) the loop
  // runs again: a thread waiting on one of them must not wait for a loop that has ended.
  if (receiver != nullptr && QThread::currentThread() == receiver->thread()) {
    QCoreApplication::removePostedEvents(receiver);
  }
}

}  // namespace zv::app
