#include "app/qt_main_queue.h"

#include <QCoreApplication>
#include <QEvent>
#include <QThread>
#include <utility>

namespace zv::app {

struct QtMainQueue::State {
  std::mutex mutex;
  bool shutDown = false;
};

namespace {

// One posted block. The event loop owns it: deleting it unrun (at shutdown) destroys the block.
class BlockEvent final : public QEvent {
 public:
  static QEvent::Type type() {
    static const auto registered = static_cast<QEvent::Type>(QEvent::registerEventType());
    return registered;
  }

  explicit BlockEvent(std::function<void()> block) : QEvent(type()), block_(std::move(block)) {}

  void run() { block_(); }

 private:
  std::function<void()> block_;
};

class Receiver final : public QObject {
 public:
  explicit Receiver(std::shared_ptr<QtMainQueue::State> state) : state_(std::move(state)) {}

  bool event(QEvent* event) override {
    if (event->type() != BlockEvent::type()) {
      return QObject::event(event);
    }
    // The lock also orders this thread after the one that made the event under it.
    bool shutDown = false;
    {
      std::lock_guard lock(state_->mutex);
      shutDown = state_->shutDown;
    }
    // A block posted before the shutdown but reached after it is dropped like a later one.
    if (!shutDown) {
      static_cast<BlockEvent*>(event)->run();
    }
    return true;
  }

 private:
  std::shared_ptr<QtMainQueue::State> state_;
};

}  // namespace

QtMainQueue::QtMainQueue()
    : state_(std::make_shared<State>()), receiver_(std::make_unique<Receiver>(state_)) {}

QtMainQueue::~QtMainQueue() {
  shutDown();
  std::unique_ptr<QObject> receiver;
  {
    std::lock_guard lock(state_->mutex);
    receiver = std::move(receiver_);
  }
  // Deleting the receiver discards its waiting events and the blocks they hold, outside the
  // lock: a block's destructor may post.
  receiver.reset();
}

void QtMainQueue::post(std::function<void()> block) {
  std::unique_lock lock(state_->mutex);
  if (state_->shutDown || !receiver_) {
    lock.unlock();
    block = nullptr;
    return;
  }
  QCoreApplication::postEvent(receiver_.get(), new BlockEvent(std::move(block)));
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
