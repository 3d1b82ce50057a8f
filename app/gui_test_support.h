#pragma once

#include <QApplication>
#include <cstdlib>
#include <functional>

#include "app/qt_main_queue.h"

namespace zv::app::testing {

/// The process's QApplication on the offscreen platform, with a QtMainQueue installed as the
/// main queue; both made on first use and kept for the whole test run.
inline void ensureGuiApplication() {
  // Never destroyed: widgets and blocks of one test may still be waiting when the run ends.
  static QApplication* application = [] {
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    static int argc = 1;
    static char name[] = "zv_gui_tests";
    static char* argv[] = {name, nullptr};
    return new QApplication(argc, argv);
  }();
  static QtMainQueue* queue = [] {
    auto* made = new QtMainQueue;
    platform::setMainQueue(made);
    return made;
  }();
  (void)application;
  (void)queue;
}

/// Runs the Qt event loop until the predicate holds; it is tested after every batch of events.
inline void processEventsUntil(const std::function<bool()>& predicate) {
  while (!predicate()) {
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
  }
}

}  // namespace zv::app::testing
