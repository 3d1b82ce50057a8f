#pragma once

#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "platform/keyed_archive.h"
#include "platform/property_list.h"
#include "platform/result.h"

namespace zv::platform {

/// A program's preferences: one property-list dictionary in a file of its own, read at first
/// use and written through on every change, atomically (temporary file, fsync, rename, mode
/// 0600), so that a reader or a second writer never sees a torn file; between two processes the
/// last writer wins. A file that cannot be read as a dictionary is logged, moved aside under a
/// new name and read as empty: the user's data is never overwritten before it was read.
/// Safe to use from several threads.
class UserDefaults {
 public:
  explicit UserDefaults(std::filesystem::path file);

  /// The defaults of this program: "<bundle identifier>.plist" in $XDG_CONFIG_HOME (by default
  /// ~/.config).
  static UserDefaults& standardUserDefaults();
  static std::filesystem::path standardUserDefaultsPath();

  const std::filesystem::path& path() const { return path_; }

  /// False when the key is absent or holds no boolean or number; a number is true when not 0.
  bool boolForKey(std::u16string_view key);
  std::optional<PropertyList> objectForKey(std::u16string_view key);
  Result<void> setObject(PropertyList object, std::u16string_view key);
  Result<void> removeObjectForKey(std::u16string_view key);
  /// Stores the keyed archive (secure coding) of object under key, as data.
  Result<void> archiveObject(const ArchivedObject& object, std::u16string_view key);

  /// Forgets what was read, so the next access reads the file again.
  void reload();

 private:
  void loadIfNeeded();  // callers hold mutex_
  Result<void> save();  // callers hold mutex_

  std::filesystem::path path_;
  std::mutex mutex_;
  std::optional<PropertyList::Dictionary> values_;
};

}  // namespace zv::platform
