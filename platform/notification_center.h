#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace zv::platform {

/// Delivers named notifications to observers, synchronously, on the posting thread, in the
/// order the observers were added. Observers may be added and removed from any thread, also
/// from inside a delivery: an observer added during a delivery hears the next post, not the one
/// under way; an observer removed on the posting thread, even by an earlier observer of the same
/// post, is not called again. A call that already started on another thread may still be
/// running when removeObserver returns.
class NotificationCenter {
 public:
  using ObserverToken = std::uint64_t;
  using Observer = std::function<void(std::u16string_view name)>;

  static NotificationCenter& defaultCenter();

  ObserverToken addObserver(std::u16string name, Observer observer);
  /// An unknown or already removed token is ignored.
  void removeObserver(ObserverToken token);
  void postNotificationName(std::u16string_view name);

 private:
  struct Delivery {
    explicit Delivery(Observer function) : observer(std::move(function)) {}
    Observer observer;
    std::atomic<bool> active = true;
  };
  struct Registration {
    ObserverToken token;
    std::u16string name;
    std::shared_ptr<Delivery> delivery;
  };
  std::mutex mutex_;
  std::vector<Registration> registrations_;
  ObserverToken nextToken_ = 1;
};

}  // namespace zv::platform
