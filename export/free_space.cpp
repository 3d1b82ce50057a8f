#include "export/free_space.h"

#include <sys/stat.h>
#include <sys/statvfs.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <limits>

#include "export/export_errors.h"
#include "platform/localization.h"
#include "platform/platform_errors.h"
#include "platform/retry_on_interrupt.h"
#include "platform/unicode.h"

namespace zv::exporter {

namespace {

std::u16string groupedDigits(std::int64_t value) {
  std::string digits = std::to_string(value);
  for (auto at = static_cast<std::ptrdiff_t>(digits.size()) - 3; at > 0; at -= 3) {
    digits.insert(static_cast<std::size_t>(at), 1, ',');
  }
  return platform::fromUtf8(digits);
}

}  // namespace

platform::Result<std::int64_t> freeSpaceOfFileSystem(const platform::URL& folder) {
  std::filesystem::path path = folder.fileSystemPath();
  for (;;) {
    struct statvfs status {};
    const int result = platform::retryOnInterrupt([&] { return ::statvfs(path.c_str(), &status); });
    int error = result == 0 ? 0 : errno;
    // The container is to be a folder there; a file in its way would fail the export.
    struct stat fileStatus {};
    if (error == 0 && ::stat(path.c_str(), &fileStatus) == 0 && !S_ISDIR(fileStatus.st_mode)) {
      error = ENOTDIR;
    }
    if (error == 0) {
      const auto bytes = static_cast<unsigned __int128>(status.f_bavail) * status.f_frsize;
      const auto limit = static_cast<unsigned __int128>(std::numeric_limits<std::int64_t>::max());
      return static_cast<std::int64_t>(bytes < limit ? bytes : limit);
    }
    if (error != ENOENT || path == path.parent_path()) {
      return platform::Error{platform::kPlatformErrorDomain,
                             static_cast<std::int64_t>(platform::PlatformErrorCode::kUnknown),
                             platform::formatLocalized(u"Cannot find the free space of %@: %@",
                                                       {platform::fromUtf8(path.string()),
                                                        platform::fromUtf8(std::strerror(error))})};
    }
    path = path.parent_path();
  }
}

std::int64_t bytesNeededForExport(std::int64_t payloadBytes, std::int64_t itemCount) {
  return payloadBytes + itemCount * kMetadataBytesPerItem + kMetadataBaseBytes;
}

std::u16string formattedByteCount(std::int64_t bytes) {
  if (bytes < 1000) {
    return platform::formatLocalized(u"%@ bytes", {groupedDigits(bytes)});
  }
  static constexpr const char* kUnits[] = {"kB", "MB", "GB", "TB", "PB", "EB"};
  double value = static_cast<double>(bytes) / 1000;
  std::size_t unit = 0;
  while (value >= 999.95 && unit + 1 < std::size(kUnits)) {
    value /= 1000;
    ++unit;
  }
  char figure[32];
  std::snprintf(figure, sizeof figure, "%.1f %s", value, kUnits[unit]);
  return platform::formatLocalized(u"%@ (%@ bytes)",
                                   {platform::fromUtf8(figure), groupedDigits(bytes)});
}

platform::Result<void> checkFreeSpace(const platform::URL& container, std::int64_t needed,
                                      std::int64_t available) {
  if (available >= needed) {
    return {};
  }
  return makeImportError(
      kFileExportErrorCode,
      platform::formatLocalized(
          u"Not enough free space in %@: %@ needed, %@ available.",
          {container.path(), formattedByteCount(needed), formattedByteCount(available)}));
}

}  // namespace zv::exporter
