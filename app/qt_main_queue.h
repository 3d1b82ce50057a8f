#pragma once

#include <QObject>
#include <QPointer>
#include <functional>
#include <memory>
#include <mutex>

#include "platform/main_queue.h"

namespace zv::app {

/// The main queue of the desktop program: blocks are posted into the Qt event loop of the thread
/// that created the queue (the GUI thread) and run there one at a time, in order.
class QtMainQueue final : public platform::MainQueue {
 public:
  /// To be created on the GUI thread, after the QApplication.
  QtMainQueue();
  /// Shuts down; must run on the GUI thread.
  ~QtMainQueue() override;
  QtMainQueue(const QtMainQueue&) = delete;
  QtMainQueue& operator=(const QtMainQueue&) = delete;

  void post(std::function<void()> block) override;
  bool isCurrentThreadMain() const override;

  /// From now on blocks are destroyed unrun, those already waiting in the event loop included,
  /// so that an export thread waiting on one of them is released at quit. Any thread.
  void shutDown();

  struct State;

 private:
  std::shared_ptr<State> state_;
  // Lives on the GUI thread; the posted blocks are its queued calls.
  std::unique_ptr<QObject> receiver_;
};

}  // namespace zv::app
