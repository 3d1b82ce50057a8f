#include "platform/file_attributes.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>

#include <cerrno>
#include <charconv>
#include <cmath>

#include "platform/files.h"
#include "platform/localization.h"
#include "platform/unicode.h"

namespace zv::platform {
namespace {

constexpr char kCreationDateAttribute[] = "user.zelvar.creation-date";
constexpr char kHiddenExtensionAttribute[] = "user.zelvar.hidden-extension";

// The item's path, once lstat has found it there; `status` (optional) takes what lstat gave.
Result<std::string> existingItemPath(const URL& url, struct stat* status = nullptr) {
  if (!url.isFileURL()) {
    return makeFileError(FileErrorCode::kNotAFileURL,
                         formatLocalized(u"Not a file URL: %@", {url.absoluteString()}));
  }
  std::string path = url.fileSystemPath();
  if (path.empty() || path.find('\0') != std::string::npos) {
    return makeFileErrorFromErrno(EINVAL, path);
  }
  struct stat found {};
  if (::lstat(path.c_str(), status != nullptr ? status : &found) != 0) {
    return makeFileErrorFromErrno(errno, path);
  }
  return path;
}

// Extended attributes on the link itself are refused by Linux for user attributes; that and a
// volume without them both mean "cannot be kept here".
bool attributesUnsupported(int errorNumber) {
  return errorNumber == ENOTSUP || errorNumber == EPERM;
}

// The outcome of the call that set or cleared the hidden-extension flag, given its status: a
// flag not there to clear and a volume without attributes are no failure.
Result<void> hiddenExtensionStored(int status, std::string_view path) {
  if (status != 0 && errno != ENODATA && !attributesUnsupported(errno)) {
    return makeFileErrorFromErrno(errno, path);
  }
  return {};
}

std::optional<std::string> readAttribute(const std::string& path, const char* name) {
  char buffer[64];
  ssize_t size = ::lgetxattr(path.c_str(), name, buffer, sizeof buffer);
  if (size < 0) {
    return std::nullopt;
  }
  return std::string(buffer, static_cast<size_t>(size));
}

// A stored creation date, when it is ours and well formed.
std::optional<Date> parsedCreationDate(const std::optional<std::string>& text) {
  if (!text) {
    return std::nullopt;
  }
  double seconds = 0;
  auto [end, error] = std::from_chars(text->data(), text->data() + text->size(), seconds);
  if (error != std::errc() || end != text->data() + text->size() ||
      !isFileSystemDate(Date{seconds})) {
    return std::nullopt;
  }
  return Date{seconds};
}

std::optional<Date> storedCreationDate(const std::string& path) {
  return parsedCreationDate(readAttribute(path, kCreationDateAttribute));
}

// The attribute's text: seconds since the reference date, short enough for readAttribute.
std::optional<std::string> creationDateText(Date date) {
  char buffer[64];
  auto [end, error] = std::to_chars(buffer, buffer + sizeof buffer, date.secondsSinceReferenceDate);
  if (error != std::errc()) {
    return std::nullopt;
  }
  return std::string(buffer, end);
}

Date dateFromStatxTimestamp(const struct statx_timestamp& time) {
  struct timespec converted {};
  converted.tv_sec = time.tv_sec;
  converted.tv_nsec = time.tv_nsec;
  return dateFromTimespec(converted);
}

// Stores the date as our creation-date attribute through `set` (one of the xattr setters). A
// volume without user attributes keeps none, which is no failure.
template <typename SetAttribute>
Result<void> storeCreationDate(Date date, std::string_view path, SetAttribute&& set) {
  std::optional<std::string> text = creationDateText(date);
  if (!text) {
    return makeFileErrorFromErrno(EINVAL, path);
  }
  if (set(kCreationDateAttribute, *text) != 0 && !attributesUnsupported(errno)) {
    return makeFileErrorFromErrno(errno, path);
  }
  return {};
}

Result<void> storeCreationDate(const std::string& path, Date date) {
  return storeCreationDate(date, path, [&](const char* name, const std::string& value) {
    return ::lsetxattr(path.c_str(), name, value.data(), value.size(), 0);
  });
}

Result<void> storeCreationDateOfOpenFile(int descriptor, Date date, std::string_view path) {
  return storeCreationDate(date, path, [&](const char* name, const std::string& value) {
    return ::fsetxattr(descriptor, name, value.data(), value.size(), 0);
  });
}

}  // namespace

Result<Date> contentModificationDateAtURL(const URL& url) {
  struct stat status {};
  ZV_TRY(existingItemPath(url, &status));
  return dateFromTimespec(status.st_mtim);
}

Result<Date> creationDateAtURL(const URL& url) {
  ZV_ASSIGN_OR_RETURN(std::string path, existingItemPath(url));
  if (std::optional<Date> stored = storedCreationDate(path)) {
    return *stored;
  }
  struct statx status {};
  if (::statx(AT_FDCWD, path.c_str(), AT_SYMLINK_NOFOLLOW, STATX_BTIME | STATX_MTIME, &status) !=
      0) {
    return makeFileErrorFromErrno(errno, path);
  }
  if ((status.stx_mask & STATX_BTIME) != 0) {
    return dateFromStatxTimestamp(status.stx_btime);
  }
  return dateFromStatxTimestamp(status.stx_mtime);
}

Result<void> setFileDatesAtURL(const URL& url, const FileDates& dates) {
  ZV_ASSIGN_OR_RETURN(std::string path, existingItemPath(url));
  for (const std::optional<Date>& date : {dates.creationDate, dates.contentModificationDate}) {
    if (date && !isFileSystemDate(*date)) {
      return makeFileError(FileErrorCode::kInvalidValue,
                           formatLocalized(u"Invalid date for “%@”", {url.path()}));
    }
  }
  // The attribute first: setting it changes the status time only, never the modification date.
  if (dates.creationDate) {
    ZV_TRY(storeCreationDate(path, *dates.creationDate));
  }
  if (dates.contentModificationDate) {
    struct timespec times[2] = {};
    times[0].tv_nsec = UTIME_OMIT;
    times[1] = timespecFromDate(*dates.contentModificationDate);
    if (::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW) != 0) {
      return makeFileErrorFromErrno(errno, path);
    }
  }
  return {};
}

Result<void> setFileDatesOfOpenFile(int descriptor, const FileDates& dates, std::string_view path) {
  for (const std::optional<Date>& date : {dates.creationDate, dates.contentModificationDate}) {
    if (date && !isFileSystemDate(*date)) {
      return makeFileError(FileErrorCode::kInvalidValue,
                           formatLocalized(u"Invalid date for “%@”", {fromUtf8(path)}));
    }
  }
  // The attribute first: setting it changes the status time only, never the modification date.
  if (dates.creationDate) {
    ZV_TRY(storeCreationDateOfOpenFile(descriptor, *dates.creationDate, path));
  }
  if (dates.contentModificationDate) {
    struct timespec times[2] = {};
    times[0].tv_nsec = UTIME_OMIT;
    times[1] = timespecFromDate(*dates.contentModificationDate);
    if (::futimens(descriptor, times) != 0) {
      return makeFileErrorFromErrno(errno, path);
    }
  }
  return {};
}

Result<void> copyCreationDate(int source, int destination, std::string_view path) {
  char buffer[64];
  ssize_t size = ::fgetxattr(source, kCreationDateAttribute, buffer, sizeof buffer);
  std::optional<Date> date = parsedCreationDate(
      size < 0 ? std::nullopt : std::optional(std::string(buffer, static_cast<size_t>(size))));
  if (!date) {
    struct statx status {};
    if (::statx(source, "", AT_EMPTY_PATH, STATX_BTIME | STATX_MTIME, &status) != 0) {
      return makeFileErrorFromErrno(errno, path);
    }
    date = dateFromStatxTimestamp((status.stx_mask & STATX_BTIME) != 0 ? status.stx_btime
                                                                       : status.stx_mtime);
  }
  return storeCreationDateOfOpenFile(destination, *date, path);
}

Result<bool> hasHiddenExtensionAtURL(const URL& url) {
  ZV_ASSIGN_OR_RETURN(std::string path, existingItemPath(url));
  std::optional<std::string> value = readAttribute(path, kHiddenExtensionAttribute);
  return value == "1";
}

Result<void> setHasHiddenExtensionAtURL(const URL& url, bool hidden) {
  ZV_ASSIGN_OR_RETURN(std::string path, existingItemPath(url));
  return hiddenExtensionStored(hidden
                                   ? ::lsetxattr(path.c_str(), kHiddenExtensionAttribute, "1", 1, 0)
                                   : ::lremovexattr(path.c_str(), kHiddenExtensionAttribute),
                               path);
}

Result<void> setHasHiddenExtensionOfOpenFile(int descriptor, bool hidden, std::string_view path) {
  return hiddenExtensionStored(hidden
                                   ? ::fsetxattr(descriptor, kHiddenExtensionAttribute, "1", 1, 0)
                                   : ::fremovexattr(descriptor, kHiddenExtensionAttribute),
                               path);
}

std::u16string displayNameAtURL(const URL& url) {
  Result<bool> hidden = hasHiddenExtensionAtURL(url);
  if (hidden.ok() && *hidden && !url.pathExtension().empty()) {
    return url.deletingPathExtension().lastPathComponent();
  }
  return url.lastPathComponent();
}

}  // namespace zv::platform
