#pragma once

#include <ctime>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/date.h"
#include "platform/result.h"
#include "platform/scoped_descriptor.h"
#include "platform/url.h"

namespace zv::app {

/// The log folder's place inside the container, outermost first.
inline constexpr const char16_t* kLogFolderPathComponents[] = {u"Library", u"Zelvar Importer",
                                                               u"Logs"};
/// Filled with the program name and the launch time.
inline constexpr char16_t kLogFileNameFormat[] = u"%@_%@.log";
/// Filled with the program name: what every log of ours, and only a log, is named with first.
inline constexpr char16_t kEarlierLogPrefixFormat[] = u"%@_";
/// Version and build, operating system, computer name, uptime in seconds.
inline constexpr char16_t kLogHeaderFormat[] = u"%@; %@; %@; %.0lf";
/// At most this many logs stay in the folder, the new one included.
inline constexpr std::size_t kMaximumLogCount = 10;

/// The program's short version and build number as "2.1(57)".
std::u16string versionAndBuildNumber();

/// The log folder: Library/Zelvar Importer/Logs inside `containerURL`, or inside the target
/// application's app-group container when none is given. Nothing is created here.
platform::Result<platform::URL> logFolderURL(
    const std::optional<platform::URL>& containerURL = std::nullopt);

/// The name of the log of a launch at `launchTime` (local time), "Zelvar Importer_2026-12-08-
/// 061500.log"; a later `attempt` (from 1) names an alternative for a launch in the same second,
/// "Zelvar Importer_2026-12-08-061500-2.log", which still counts as an earlier log next time.
std::u16string logFileName(const std::tm& launchTime, int attempt = 0);

/// A log left by an earlier launch.
struct EarlierLog {
  platform::URL fileURL;
  platform::Date creationDate;
};

using CreationDateReader = std::function<platform::Result<platform::Date>(const platform::URL&)>;

/// Every item below the folder (subfolders descended, hidden items left out) named with the
/// prefix of earlier logs and whose creation date `readCreationDate` can tell; the others are
/// not ours to count or delete. An unreadable folder holds none.
std::vector<EarlierLog> earlierLogsInFolderAtURL(const platform::URL& folder,
                                                 const CreationDateReader& readCreationDate);

/// Those of the earlier logs that have to go so that a new one makes at most kMaximumLogCount:
/// the oldest by creation date, none when fewer than kMaximumLogCount are there.
std::vector<EarlierLog> earlierLogsToDelete(std::vector<EarlierLog> logs);

/// Deletes the earlier logs that earlierLogsToDelete names; a failed deletion is ignored.
void pruneEarlierLogsInFolderAtURL(const platform::URL& folder,
                                   const CreationDateReader& readCreationDate);

/// What the first line of a log tells about the run's surroundings.
struct LogHeaderFields {
  std::u16string versionAndBuild;
  std::u16string operatingSystem;
  std::u16string computerName;
  double uptimeSeconds = 0;

  /// This program on this computer now.
  static LogHeaderFields current();
};

/// The header message, kLogHeaderFormat filled with the fields.
std::u16string logHeaderMessage(const LogHeaderFields& fields);

/// Logs the header of this run where log lines go now.
void logHeaderLine();

/// A new log file, open for appending.
struct NewLogFile {
  platform::ScopedDescriptor descriptor;
  platform::URL fileURL;
};

/// Makes the log folder with whatever it lies in (new folders private to the user; a symbolic
/// link in place of the container's Library, Zelvar Importer or Logs folder is refused, never
/// followed), prunes the earlier logs and creates the log of a launch at `launchTime` as a new
/// file private to the user. A name taken already (a launch in the same second) is never
/// reused: the next free alternative is. On failure `attemptedFileURL` (when given) receives
/// the name the file was to have, once the folder exists.
platform::Result<NewLogFile> createRunLogFile(
    const platform::URL& folder, const std::tm& launchTime,
    std::optional<platform::URL>* attemptedFileURL = nullptr);

/// Standard error pointed at a run log. Closing it, or letting it go, closes the log and points
/// standard error back where it went before: a bare close would free descriptor 2 for the next
/// file the program opens, which would then receive every line written to standard error.
class LogFileStream {
 public:
  /// Points standard error at the file; the stream keeps what standard error was until then.
  static platform::Result<LogFileStream> reopenStandardErrorOnto(int fileDescriptor);

  LogFileStream(LogFileStream&& other) noexcept = default;
  LogFileStream& operator=(LogFileStream&& other) noexcept;
  LogFileStream(const LogFileStream&) = delete;
  LogFileStream& operator=(const LogFileStream&) = delete;
  ~LogFileStream() { close(); }

  void close();

 private:
  explicit LogFileStream(platform::ScopedDescriptor previous) : previous_(std::move(previous)) {}

  platform::ScopedDescriptor previous_;
};

/// What the desktop program keeps of its run log.
struct RunLog {
  /// None when the folder could not be made or standard error could not be pointed at the file.
  std::optional<LogFileStream> logFile;
  /// The file the log was to go to; none when the folder could not be made.
  std::optional<platform::URL> logFileURL;
};

/// Makes the log folder, prunes it, opens a new log for a launch now, points standard error at
/// it and logs the header line. Every failure is silent: without a folder standard error stays
/// as it was and no old log is deleted. `containerURL` stands in for the target application's
/// container.
RunLog redirectStandardOutputToLogFile(
    const std::optional<platform::URL>& containerURL = std::nullopt);

/// The same for a launch at a given local time.
RunLog redirectStandardOutputToLogFile(const std::optional<platform::URL>& containerURL,
                                       const std::tm& launchTime);

/// The local time now, as log file names want it.
std::tm currentLocalTime();

}  // namespace zv::app
