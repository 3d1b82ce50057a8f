#include "platform/progress.h"

#include <algorithm>
#include <map>
#include <utility>
#include <vector>

namespace zv::platform {

struct Progress::Observers {
  std::mutex mutex;
  std::map<ObserverToken, Observer> observers;
  ObserverToken nextToken = 1;
  bool closed = false;

  // Copies the list first so that an observer may add or remove observers while it is called.
  void deliver(const ProgressState& state) {
    std::vector<std::pair<ObserverToken, Observer>> current;
    {
      std::lock_guard lock(mutex);
      if (closed) {
        return;
      }
      current.assign(observers.begin(), observers.end());
    }
    for (const auto& [token, observer] : current) {
      if (isRegistered(token)) {
        observer(state);
      }
    }
  }

  bool isRegistered(ObserverToken token) {
    std::lock_guard lock(mutex);
    return !closed && observers.contains(token);
  }
};

double ProgressState::fractionCompleted() const {
  if (isIndeterminate()) {
    return 0.0;
  }
  if (totalUnitCount == 0) {
    return completedUnitCount > 0 ? 1.0 : 0.0;
  }
  const double fraction =
      static_cast<double>(completedUnitCount) / static_cast<double>(totalUnitCount);
  return std::min(fraction, 1.0);
}

Progress::Progress(MainQueue& mainQueue)
    : mainQueue_(mainQueue), observers_(std::make_shared<Observers>()) {}

Progress::~Progress() {
  std::lock_guard lock(observers_->mutex);
  observers_->closed = true;
}

std::int64_t Progress::totalUnitCount() const {
  std::lock_guard lock(mutex_);
  return state_.totalUnitCount;
}

void Progress::setTotalUnitCount(std::int64_t count) {
  std::lock_guard lock(mutex_);
  state_.totalUnitCount = count;
  notifyLocked();
}

std::int64_t Progress::completedUnitCount() const {
  std::lock_guard lock(mutex_);
  return state_.completedUnitCount;
}

void Progress::setCompletedUnitCount(std::int64_t count) {
  std::lock_guard lock(mutex_);
  state_.completedUnitCount = count;
  notifyLocked();
}

std::u16string Progress::localizedDescription() const {
  std::lock_guard lock(mutex_);
  return state_.localizedDescription;
}

void Progress::setLocalizedDescription(std::u16string description) {
  std::lock_guard lock(mutex_);
  state_.localizedDescription = std::move(description);
  notifyLocked();
}

ProgressState Progress::state() const {
  std::lock_guard lock(mutex_);
  return state_;
}

void Progress::cancel() {
  std::function<void()> handler;
  {
    std::lock_guard lock(mutex_);
    if (state_.cancelled) {
      return;
    }
    state_.cancelled = true;
    handler = cancellationHandler_;
    notifyLocked();
  }
  if (handler) {
    handler();
  }
}

bool Progress::isCancelled() const {
  std::lock_guard lock(mutex_);
  return state_.cancelled;
}

void Progress::setCancellationHandler(const std::function<void()>& handler) {
  bool alreadyCancelled = false;
  {
    std::lock_guard lock(mutex_);
    cancellationHandler_ = handler;
    alreadyCancelled = state_.cancelled;
  }
  if (alreadyCancelled && handler) {
    handler();
  }
}

Progress::ObserverToken Progress::addObserver(Observer observer) {
  std::lock_guard lock(observers_->mutex);
  const ObserverToken token = observers_->nextToken++;
  observers_->observers.emplace(token, std::move(observer));
  return token;
}

void Progress::removeObserver(ObserverToken token) {
  std::lock_guard lock(observers_->mutex);
  observers_->observers.erase(token);
}

void Progress::notifyLocked() {
  mainQueue_.post([observers = observers_, state = state_] { observers->deliver(state); });
}

}  // namespace zv::platform
