#include "platform/notification_center.h"

#include <algorithm>

namespace zv::platform {

NotificationCenter& NotificationCenter::defaultCenter() {
  static NotificationCenter center;
  return center;
}

NotificationCenter::ObserverToken NotificationCenter::addObserver(std::u16string name,
                                                                  Observer observer) {
  std::lock_guard guard(mutex_);
  const ObserverToken token = nextToken_++;
  registrations_.push_back(
      {token, std::move(name), std::make_shared<Delivery>(std::move(observer))});
  return token;
}

void NotificationCenter::removeObserver(ObserverToken token) {
  std::lock_guard guard(mutex_);
  const auto found = std::find_if(registrations_.begin(), registrations_.end(),
                                  [&](const Registration& entry) { return entry.token == token; });
  if (found == registrations_.end()) {
    return;
  }
  // A post under way holds its own reference: this keeps it from calling an observer whose owner
  // may be gone once removeObserver returned.
  found->delivery->active = false;
  registrations_.erase(found);
}

void NotificationCenter::postNotificationName(std::u16string_view name) {
  std::vector<std::shared_ptr<Delivery>> recipients;
  {
    std::lock_guard guard(mutex_);
    for (const Registration& entry : registrations_) {
      if (entry.name == name) {
        recipients.push_back(entry.delivery);
      }
    }
  }
  // Called without the lock, so that an observer may add, remove or post in turn.
  for (const std::shared_ptr<Delivery>& recipient : recipients) {
    if (recipient->active && recipient->observer) {
      recipient->observer(name);
    }
  }
}

}  // namespace zv::platform
