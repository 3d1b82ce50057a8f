#include "app/run_log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <string>

#include "platform/app_group_containers.h"
#include "platform/bundle_info.h"
#include "platform/file_attributes.h"
#include "platform/files.h"
#include "platform/localization.h"
#include "platform/log.h"
#include "platform/process_info.h"
#include "platform/retry_on_interrupt.h"
#include "platform/unicode.h"

namespace zv::app {
namespace {

using platform::Result;
using platform::URL;

constexpr mode_t kPrivateFolderMode = 0700;
constexpr mode_t kPrivateFileMode = 0600;
// Launches within one second are few; a folder that refuses this many names refuses them all.
constexpr int kMaximumNameAttempts = 100;

std::u16string earlierLogPrefix() {
  return platform::formatString(kEarlierLogPrefixFormat, {std::u16string(platform::kBundleName)});
}

// The launch time as "yyyy-MM-dd-HHmmss".
std::u16string launchTimeText(const std::tm& time) {
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d-%02d%02d%02d", time.tm_year + 1900,
                time.tm_mon + 1, time.tm_mday, time.tm_hour, time.tm_min, time.tm_sec);
  return platform::fromUtf8(text);
}

Result<void> createLogFolder(const URL& folder) {
  // The container may lie behind links the user set up; below it every folder is ours, and
  // each is refused when a link stands in its place.
  URL level = folder;
  for (std::size_t count = std::size(kLogFolderPathComponents); count > 0; --count) {
    level = level.deletingLastPathComponent();
  }
  ZV_TRY(platform::createDirectoryAtURL(level, true, kPrivateFolderMode));
  for (const char16_t* component : kLogFolderPathComponents) {
    level = level.appendingPathComponent(component, true);
    ZV_TRY(platform::createDirectoryAtURL(level, true, kPrivateFolderMode));
  }
  return {};
}

}  // namespace

std::u16string versionAndBuildNumber() {
  return platform::formatString(u"%@(%@)", {std::u16string(platform::kBundleShortVersionString),
                                            std::u16string(platform::kBundleVersion)});
}

Result<URL> logFolderURL(const std::optional<URL>& containerURL) {
  ZV_ASSIGN_OR_RETURN(URL folder, containerURL
                                      ? Result<URL>(*containerURL)
                                      : platform::containerURLForSecurityApplicationGroupIdentifier(
                                            platform::kQuennetApplicationGroupIdentifier));
  for (const char16_t* component : kLogFolderPathComponents) {
    folder = folder.appendingPathComponent(component, true);
  }
  return folder;
}

std::u16string logFileName(const std::tm& launchTime, int attempt) {
  std::u16string time = launchTimeText(launchTime);
  if (attempt > 0) {
    time += u"-" + platform::fromUtf8(std::to_string(attempt + 1));
  }
  return platform::formatString(kLogFileNameFormat,
                                {std::u16string(platform::kBundleName), std::move(time)});
}

std::vector<EarlierLog> earlierLogsInFolderAtURL(const URL& folder,
                                                 const CreationDateReader& readCreationDate) {
  auto items = platform::contentsOfDirectoryAtURL(
      folder, platform::DirectoryListingOptions{.recursive = true, .skipsHiddenFiles = true});
  if (!items) {
    return {};
  }
  const std::u16string prefix = earlierLogPrefix();
  std::vector<EarlierLog> logs;
  for (URL& item : *items) {
    if (!item.lastPathComponent().starts_with(prefix)) {
      continue;
    }
    if (auto created = readCreationDate(item)) {
      logs.push_back(EarlierLog{std::move(item), *created});
    }
  }
  return logs;
}

std::vector<EarlierLog> earlierLogsToDelete(std::vector<EarlierLog> logs) {
  if (logs.size() < kMaximumLogCount) {
    return {};
  }
  std::stable_sort(logs.begin(), logs.end(), [](const EarlierLog& a, const EarlierLog& b) {
    return a.creationDate < b.creationDate;
  });
  logs.erase(logs.end() - static_cast<std::ptrdiff_t>(kMaximumLogCount - 1), logs.end());
  return logs;
}

void pruneEarlierLogsInFolderAtURL(const URL& folder, const CreationDateReader& readCreationDate) {
  for (const EarlierLog& log :
       earlierLogsToDelete(earlierLogsInFolderAtURL(folder, readCreationDate))) {
    // A log that cannot go is only one more file; the new log matters more.
    (void)platform::removeItemAtURL(log.fileURL);
  }
}

LogHeaderFields LogHeaderFields::current() {
  return LogHeaderFields{versionAndBuildNumber(), platform::operatingSystemVersionString(),
                         platform::hostLocalizedName(), platform::systemUptime()};
}

std::u16string logHeaderMessage(const LogHeaderFields& fields) {
  return platform::formatString(kLogHeaderFormat, {fields.versionAndBuild, fields.operatingSystem,
                                                   fields.computerName, fields.uptimeSeconds});
}

void logHeaderLine() {
  platform::log(logHeaderMessage(LogHeaderFields::current()));
}

Result<NewLogFile> createRunLogFile(const URL& folder, const std::tm& launchTime,
                                    std::optional<URL>* attemptedFileURL) {
  ZV_TRY(createLogFolder(folder));
  pruneEarlierLogsInFolderAtURL(folder,
                                [](const URL& url) { return platform::creationDateAtURL(url); });
  if (attemptedFileURL != nullptr) {
    *attemptedFileURL = folder.appendingPathComponent(logFileName(launchTime));
  }
  platform::ScopedDescriptor descriptor;
  // O_EXCL: a log of a launch in the same second, or anything planted under the name, a link
  // included, is never opened, let alone truncated.
  auto created = platform::placeFileUnderFreeName(
      folder, kMaximumNameAttempts,
      [&launchTime](int attempt) { return logFileName(launchTime, attempt); },
      [&descriptor](const URL& candidate) -> Result<void> {
        const std::string path = candidate.fileSystemPath();
        descriptor.reset(platform::retryOnInterrupt([&path] {
          return ::open(path.c_str(),
                        O_WRONLY | O_CREAT | O_EXCL | O_APPEND | O_NOFOLLOW | O_CLOEXEC,
                        kPrivateFileMode);
        }));
        if (!descriptor.valid()) {
          return platform::makeFileErrorFromErrno(errno, path);
        }
        return {};
      });
  if (!created) {
    return created.error();
  }
  return NewLogFile{std::move(descriptor), std::move(*created)};
}

Result<LogFileStream> LogFileStream::reopenStandardErrorOnto(int fileDescriptor) {
  // Kept above the standard three, so that it can never become standard error itself.
  platform::ScopedDescriptor previous(::fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3));
  std::fflush(stderr);
  if (platform::retryOnInterrupt([&] { return ::dup2(fileDescriptor, STDERR_FILENO); }) < 0) {
    return platform::makeFileErrorFromErrno(errno, "stderr");
  }
  return LogFileStream(std::move(previous));
}

LogFileStream& LogFileStream::operator=(LogFileStream&& other) noexcept {
  if (this != &other) {
    close();
    previous_ = std::move(other.previous_);
  }
  return *this;
}

void LogFileStream::close() {
  if (!previous_.valid()) {
    return;
  }
  std::fflush(stderr);
  platform::retryOnInterrupt([&] { return ::dup2(previous_.get(), STDERR_FILENO); });
  previous_.reset();
}

std::tm currentLocalTime() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  ::localtime_r(&now, &local);
  return local;
}

RunLog redirectStandardOutputToLogFile(const std::optional<URL>& containerURL) {
  return redirectStandardOutputToLogFile(containerURL, currentLocalTime());
}

RunLog redirectStandardOutputToLogFile(const std::optional<URL>& containerURL,
                                       const std::tm& launchTime) {
  RunLog runLog;
  auto folder = logFolderURL(containerURL);
  if (!folder) {
    return runLog;
  }
  auto file = createRunLogFile(*folder, launchTime, &runLog.logFileURL);
  if (!runLog.logFileURL) {
    return runLog;
  }
  if (file) {
    runLog.logFileURL = file->fileURL;
    if (auto stream = LogFileStream::reopenStandardErrorOnto(file->descriptor.get())) {
      runLog.logFile.emplace(std::move(*stream));
    }
  }
  // Standard error holds its own copy of the file now; the header goes wherever it points.
  logHeaderLine();
  return runLog;
}

}  // namespace zv::app
