#include "platform/user_defaults.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <string>
#include <utility>
#include <vector>

#include "platform/app_group_containers.h"
#include "platform/bundle_info.h"
#include "platform/file_lock.h"
#include "platform/files.h"
#include "platform/localization.h"
#include "platform/log.h"
#include "platform/property_list_serialization.h"
#include "platform/retry_on_interrupt.h"
#include "platform/scoped_descriptor.h"
#include "platform/unicode.h"
#include "platform/url.h"

namespace zv::platform {
namespace {

// Names tried for a damaged file before giving up: the same second rarely sees more than one.
constexpr int kMaximumAsideAttempts = 100;

// What a read of the file found: the values, or, for a damaged file, why it is damaged.
struct StoredValues {
  PropertyList::Dictionary values;
  std::optional<Error> damage;
};

URL fileURL(const std::filesystem::path& path) {
  return URL::fileURLWithFileSystemPath(path.native());
}

URL lockURL(const std::filesystem::path& path) {
  return URL::fileURLWithFileSystemPath(path.native() + ".lock");
}

Error damaged(std::u16string_view reason) {
  return makeFileError(FileErrorCode::kReadFailed, std::u16string(reason));
}

// The whole file, read without following a link planted at its path. Nothing when it does not
// exist; a file above `maximumSize` is reported as damaged rather than read.
Result<std::optional<std::vector<std::uint8_t>>> readFileWithoutLinks(
    const std::string& path, std::size_t maximumSize, std::optional<Error>& damage) {
  using Bytes = std::optional<std::vector<std::uint8_t>>;
  // O_NONBLOCK keeps a FIFO planted under the name from blocking until fstat refuses it.
  ScopedDescriptor file(
      ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (!file.valid()) {
    if (errno == ENOENT) {
      return Bytes();
    }
    return makeFileErrorFromErrno(errno, path);
  }
  struct stat status {};
  if (::fstat(file.get(), &status) != 0) {
    return makeFileErrorFromErrno(errno, path);
  }
  if (S_ISDIR(status.st_mode)) {
    return makeFileErrorFromErrno(EISDIR, path);
  }
  if (!S_ISREG(status.st_mode)) {
    return makeFileError(FileErrorCode::kNotARegularFile,
                         formatLocalized(u"Not a regular file: %@", {fromUtf8(path)}));
  }
  auto tooLarge = [&] {
    damage = damaged(formatString(u"The file is larger than %ld bytes",
                                  {static_cast<std::int64_t>(maximumSize)}));
    return Bytes(std::vector<std::uint8_t>());
  };
  if (static_cast<std::uintmax_t>(status.st_size) > maximumSize) {
    return tooLarge();
  }
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(status.st_size));
  std::size_t filled = 0;
  while (true) {
    if (filled == bytes.size()) {
      // The file grew since fstat: read on, within the bound.
      if (bytes.size() >= maximumSize) {
        std::uint8_t probe = 0;
        const ssize_t count = retryOnInterrupt([&] { return ::read(file.get(), &probe, 1); });
        if (count < 0) {
          return makeFileErrorFromErrno(errno, path);
        }
        return count == 0 ? Bytes(std::move(bytes)) : tooLarge();
      }
      bytes.resize(std::min(maximumSize, std::max<std::size_t>(bytes.size() * 2, 4096)));
    }
    const ssize_t count = retryOnInterrupt(
        [&] { return ::read(file.get(), bytes.data() + filled, bytes.size() - filled); });
    if (count < 0) {
      return makeFileErrorFromErrno(errno, path);
    }
    if (count == 0) {
      bytes.resize(filled);
      return Bytes(std::move(bytes));
    }
    filled += static_cast<std::size_t>(count);
  }
}

// The values in the file: empty when there is none. An error only when the file cannot be read;
// a file read whole but not as a dictionary comes back with its damage named.
Result<StoredValues> readStoredValues(const std::filesystem::path& path) {
  StoredValues stored;
  ZV_ASSIGN_OR_RETURN(
      std::optional<std::vector<std::uint8_t>> bytes,
      readFileWithoutLinks(path.native(), UserDefaults::kMaximumFileSize, stored.damage));
  if (!bytes || stored.damage) {
    return stored;
  }
  Result<PropertyList> root = readPropertyList(*bytes);
  if (!root) {
    stored.damage = std::move(root).error();
    return stored;
  }
  PropertyList::Dictionary* values = root->asDictionary();
  if (values == nullptr) {
    stored.damage = damaged(formatString(u"The root is a %@, not a dictionary",
                                         {std::u16string(propertyListTypeName(root->type()))}));
    return stored;
  }
  stored.values = std::move(*values);
  return stored;
}

// "20261208T133345Z": sorts by time and holds nothing a file name cannot.
std::string timestampNow() {
  const std::time_t now = std::time(nullptr);
  std::tm utc{};
  char text[32] = "";
  if (::gmtime_r(&now, &utc) == nullptr ||
      std::strftime(text, sizeof text, "%Y%m%dT%H%M%SZ", &utc) == 0) {
    return "unknown-time";
  }
  return text;
}

// The folder of the file, made private when missing. A folder that exists stays as the user has
// it, a link to one included: ~/.config is often such a link.
Result<void> createFolderIfMissing(const std::filesystem::path& file) {
  const std::filesystem::path folder = file.parent_path();
  struct stat status {};
  if (::stat(folder.c_str(), &status) == 0 && S_ISDIR(status.st_mode)) {
    return {};
  }
  return createDirectoryAtURL(URL::fileURLWithFileSystemPath(folder.native(), true), true, 0700);
}

}  // namespace

UserDefaults::UserDefaults(std::filesystem::path file) : path_(std::move(file)) {}

UserDefaults& UserDefaults::standardUserDefaults() {
  static UserDefaults defaults(standardUserDefaultsPath());
  return defaults;
}

std::filesystem::path UserDefaults::standardUserDefaultsPath() {
  const std::string fileName = toUtf8(kBundleIdentifier) + ".plist";
  // The XDG base directory rules say a relative XDG_CONFIG_HOME is to be ignored.
  const char* configHome = std::getenv("XDG_CONFIG_HOME");
  if (configHome != nullptr && configHome[0] == '/') {
    return std::filesystem::path(configHome) / fileName;
  }
  const std::optional<std::string> home = ContainerEnvironment::current().home;
  if (!home || home->empty() || home->front() != '/') {
    return {};
  }
  return std::filesystem::path(*home) / ".config" / fileName;
}

bool UserDefaults::boolForKey(std::u16string_view key) {
  const std::optional<PropertyList> value = objectForKey(key);
  if (!value) {
    return false;
  }
  if (const std::optional<bool> flag = value->asBoolean()) {
    return *flag;
  }
  if (const std::optional<PropertyListInteger> number = value->asInteger()) {
    return number->bits() != 0;
  }
  if (const std::optional<double> number = value->asReal()) {
    return *number != 0.0;
  }
  return false;
}

std::optional<PropertyList> UserDefaults::objectForKey(std::u16string_view key) {
  std::lock_guard guard(mutex_);
  loadIfNeeded();
  const PropertyList* value = values_->find(key);
  return value == nullptr ? std::nullopt : std::optional<PropertyList>(*value);
}

Result<void> UserDefaults::setObject(PropertyList object, std::u16string_view key) {
  return change([&](Dictionary& values) {
    const PropertyList* existing = values.find(key);
    if (existing != nullptr && *existing == object) {
      return false;
    }
    values.set(std::u16string(key), std::move(object));
    return true;
  });
}

Result<void> UserDefaults::removeObjectForKey(std::u16string_view key) {
  return change([&](Dictionary& values) { return values.erase(key); });
}

Result<void> UserDefaults::archiveObject(const ArchivedObject& object, std::u16string_view key) {
  ZV_ASSIGN_OR_RETURN(std::vector<std::uint8_t> archive, archivedDataWithRootObject(object));
  return setObject(PropertyList(std::move(archive)), key);
}

void UserDefaults::reload() {
  std::lock_guard guard(mutex_);
  values_.reset();
}

void UserDefaults::loadIfNeeded() {
  if (values_) {
    return;
  }
  values_.emplace();
  Result<StoredValues> stored = readStoredValues(path_);
  if (stored && !stored->damage) {
    values_ = std::move(stored->values);
    return;
  }
  Result<Dictionary> values = [&]() -> Result<Dictionary> {
    if (!stored) {
      return std::move(stored).error();
    }
    // Moving the file aside must not race a writer that has just put a sound file there.
    ZV_ASSIGN_OR_RETURN(FileLock lock, FileLock::lockAtURL(lockURL(path_)));
    return readValuesLocked();
  }();
  if (!values) {
    logFormat(u"Could not read the user defaults at %@: %@",
              {fromUtf8(path_.native()), values.error().description});
    return;
  }
  values_ = std::move(*values);
}

Result<void> UserDefaults::change(const Edit& edit) {
  std::lock_guard guard(mutex_);
  ZV_TRY(createFolderIfMissing(path_));
  ZV_ASSIGN_OR_RETURN(FileLock lock, FileLock::lockAtURL(lockURL(path_)));
  // Another process may have written since we read: change what is there now, not our copy.
  ZV_ASSIGN_OR_RETURN(Dictionary values, readValuesLocked());
  if (!edit(values)) {
    values_ = std::move(values);
    return {};
  }
  PropertyList root(std::move(values));
  ZV_ASSIGN_OR_RETURN(std::vector<std::uint8_t> bytes,
                      writePropertyList(root, PropertyListFormat::kBinary));
  ZV_TRY(writeFileAtomicallyAtURL(fileURL(path_), bytes, WriteMode::kReplaceExisting, 0600,
                                  WriteDurability::kAlways));
  values_ = std::move(*root.asDictionary());
  return {};
}

Result<UserDefaults::Dictionary> UserDefaults::readValuesLocked() {
  ZV_ASSIGN_OR_RETURN(StoredValues stored, readStoredValues(path_));
  if (stored.damage) {
    ZV_TRY(moveDamagedFileAside(*stored.damage));
  }
  return std::move(stored.values);
}

Result<void> UserDefaults::moveDamagedFileAside(const Error& damage) {
  const URL damagedFile = fileURL(path_);
  const std::string baseName = path_.filename().native() + ".corrupt-" + timestampNow();
  const URL folder = URL::fileURLWithFileSystemPath(path_.parent_path().native(), true);
  Result<URL> aside = placeFileUnderFreeName(
      folder, kMaximumAsideAttempts,
      [&](int attempt) {
        return fromUtf8(attempt == 0 ? baseName : baseName + "-" + std::to_string(attempt + 1));
      },
      [&](const URL& destination) {
        return moveItemAtURLWithoutReplacing(damagedFile, destination);
      });
  if (!aside) {
    logFormat(u"The user defaults at %@ are damaged (%@) and could not be moved aside: %@",
              {fromUtf8(path_.native()), damage.description, aside.error().description});
    return std::move(aside).error();
  }
  logFormat(u"The user defaults at %@ are damaged (%@); they were moved to %@ and read as empty",
            {fromUtf8(path_.native()), damage.description, aside->path()});
  return {};
}

}  // namespace zv::platform
