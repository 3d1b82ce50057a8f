#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/result.h"
#include "source/source_library.h"

namespace zv::source {

struct DBusLibraryServiceOptions {
  /// Answer every permission request with AccessDenied.
  bool denyControl = false;
  /// Held before answering each call, to make a small library slow enough to watch.
  std::chrono::milliseconds callDelay{0};
  /// How big one page of items may grow before the rest is left to the next page: well below the
  /// bus's 128 MiB message limit.
  std::size_t itemPageBytes = 32U << 20U;
  /// Called on the service's thread when the bus goes away; nothing is served after that.
  std::function<void()> onDisconnected;
};

/// Serves a library over D-Bus under a well-known name, the way the source application does:
/// the library object and the permission object, answered on a thread of the service's own
/// until the service is destroyed. The library is only called from that thread.
class DBusLibraryService {
 public:
  /// Claims busName on the session bus, or on the bus at busAddress when one is given, and starts
  /// answering. Fails when the bus cannot be reached or the name is taken.
  static platform::Result<std::unique_ptr<DBusLibraryService>> start(
      SourceLibrary& library, const std::string& busName, DBusLibraryServiceOptions options,
      const std::optional<std::string>& busAddress = std::nullopt);

  ~DBusLibraryService();
  DBusLibraryService(const DBusLibraryService&) = delete;
  DBusLibraryService& operator=(const DBusLibraryService&) = delete;

  struct Parts;

 private:
  explicit DBusLibraryService(std::unique_ptr<Parts> parts);

  std::unique_ptr<Parts> parts_;
};

}  // namespace zv::source
