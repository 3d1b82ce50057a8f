#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "platform/main_queue.h"

namespace zv::platform {

/// One moment of a progress object, as its observers receive it.
struct ProgressState {
  /// Units of work in all; -1 while the amount is not known.
  std::int64_t totalUnitCount = -1;
  std::int64_t completedUnitCount = 0;
  /// The one line that tells the user what is going on.
  std::u16string localizedDescription;
  bool cancelled = false;

  /// True while no meaningful fraction can be shown.
  bool isIndeterminate() const { return totalUnitCount < 0 || completedUnitCount < 0; }

  /// The completed share, between 0 and 1. A completed count above the total (items reported
  /// that were not counted) shows as done rather than beyond.
  double fractionCompleted() const;

  friend bool operator==(const ProgressState&, const ProgressState&) = default;
};

/// The progress of one long task: unit counts, a description line and a cancel request. Its
/// values may be set from any thread; observers are told of every change, in order, on the
/// main queue, so that the windows showing it are touched only on the main thread.
class Progress {
 public:
  using Observer = std::function<void(const ProgressState&)>;
  using ObserverToken = std::uint64_t;

  /// Starts indeterminate, with an empty description. The main queue must outlive the object.
  explicit Progress(MainQueue& mainQueue);
  /// Changes still on their way to the main queue are not delivered after this.
  ~Progress();
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;

  std::int64_t totalUnitCount() const;
  void setTotalUnitCount(std::int64_t count);
  std::int64_t completedUnitCount() const;
  void setCompletedUnitCount(std::int64_t count);
  std::u16string localizedDescription() const;
  void setLocalizedDescription(std::u16string description);
  ProgressState state() const;

  /// Asks the task to stop: marks the progress cancelled and calls the cancellation handler on
  /// the calling thread, once, however often it is called.
  void cancel();
  bool isCancelled() const;

  /// The block that cancel() calls; called at once if the progress is already cancelled.
  void setCancellationHandler(const std::function<void()>& handler);

  /// Registers a block that receives the state after each change, on the main thread. Changes
  /// made before it was added are not replayed.
  ObserverToken addObserver(Observer observer);
  /// After this the observer is not called again, even for changes already on their way.
  void removeObserver(ObserverToken token);

 private:
  struct Observers;

  // Takes the lock held by the caller: the snapshot is posted under it so that changes from
  // different threads reach the main queue in the order they were made.
  void notifyLocked();

  MainQueue& mainQueue_;
  mutable std::mutex mutex_;
  ProgressState state_;
  std::function<void()> cancellationHandler_;
  // Shared with the posted notifications, which may run after this object is gone.
  std::shared_ptr<Observers> observers_;
};

}  // namespace zv::platform
