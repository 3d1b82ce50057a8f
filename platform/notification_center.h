#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace zv::platform {

/// Delivers named notifications to observers, synchronously, on the posting thread, in the
/// order the observers were added. Observers may be added and removed from any thread, also
/// from inside a delivery.
class NotificationCenter {
 public:
  using ObserverToken = std::uint64_t;
  using Observer = std::function<void(std::u16string_view name)>;

  static NotificationCenter& defaultCenter();

  ObserverToken addObserver(std::u16string name, Observer observer);
  void removeObserver(ObserverToken token);
  void postNotificationName(std::u16string_view name);

 private:
  struct Registration {
    ObserverToken token;
    std::u16string name;
    std::shared_ptr<Observer> observer;
  };
  std::mutex mutex_;
  std::vector<Registration> registrations_;
  ObserverToken nextToken_ = 1;
};

}  // namespace zv::platform
