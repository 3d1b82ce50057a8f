#pragma once

#include <cstddef>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "platform/keyed_archive.h"
#include "platform/property_list.h"
#include "platform/result.h"

namespace zv::platform {

/// A program's preferences: one property-list dictionary in a file of its own (binary property
/// list, mode 0600, its folder made 0700 when missing).
///
/// Reading: the file is read at first use and kept; reload() forgets it. A link planted at the
/// file's path is never followed. A file that is not a property list, whose root is no
/// dictionary or that is larger than kMaximumFileSize is damaged: it is logged, moved aside to
/// "<name>.corrupt-<UTC time>" (never over an earlier one) and read as empty. A file that cannot
/// be read for another reason (permissions, I/O error, a link or a folder at the path) is left
/// alone: reads answer nothing and every change fails, so that data we could not read is never
/// replaced.
///
/// Writing: every change takes an advisory lock (flock) on "<name>.lock" beside the file, reads
/// the file again, applies itself to what it read and writes the result atomically (temporary
/// file, fsync, rename, fsync of the folder), so that a reader never meets a torn file and two
/// processes changing different keys both keep theirs. What this object answers afterwards is
/// the file as that change left it.
///
/// Safe to use from several threads; each call holds a mutex for its whole duration, file work
/// included.
class UserDefaults {
 public:
  /// Files above this size are taken for damaged rather than read into memory.
  static constexpr std::size_t kMaximumFileSize = std::size_t{64} << 20;

  explicit UserDefaults(std::filesystem::path file);

  /// The defaults of this program, at standardUserDefaultsPath().
  static UserDefaults& standardUserDefaults();
  /// "<bundle identifier>.plist" in $XDG_CONFIG_HOME, or in ~/.config when that variable is
  /// unset, empty or relative. Empty when no home folder can be found: such defaults read as
  /// empty and refuse every change.
  static std::filesystem::path standardUserDefaultsPath();

  const std::filesystem::path& path() const { return path_; }

  /// False when the key is absent or holds no boolean or number; a number is true when not 0.
  bool boolForKey(std::u16string_view key);
  std::optional<PropertyList> objectForKey(std::u16string_view key);
  Result<void> setObject(PropertyList object, std::u16string_view key);
  /// Removing an absent key succeeds and leaves the file as it is.
  Result<void> removeObjectForKey(std::u16string_view key);
  /// Stores the keyed archive (secure coding) of object under key, as data.
  Result<void> archiveObject(const ArchivedObject& object, std::u16string_view key);

  /// Forgets what was read, so the next access reads the file again.
  void reload();

 private:
  using Dictionary = PropertyList::Dictionary;
  // Edits the values read under the lock; answers whether it changed anything.
  using Edit = std::function<bool(Dictionary& values)>;

  void loadIfNeeded();  // callers hold mutex_
  Result<void> change(const Edit& edit);
  // The values in the file, a damaged file moved aside first; the caller holds the file lock.
  Result<Dictionary> readValuesLocked();
  Result<void> moveDamagedFileAside(const Error& damage);

  std::filesystem::path path_;
  std::mutex mutex_;
  std::optional<Dictionary> values_;
};

}  // namespace zv::platform
