#include "app/run_log.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <set>

#include "platform/bundle_info.h"
#include "platform/files.h"
#include "platform/log.h"
#include "platform/unicode.h"
#include "testsupport/file_contents.h"
#include "testsupport/result_matchers.h"
#include "testsupport/temporary_folder.h"

namespace zv::app {
namespace {

using platform::toUtf8;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using testsupport::IsOk;

std::tm launchAt(int year, int month, int day, int hour, int minute, int second) {
  std::tm time{};
  time.tm_year = year - 1900;
  time.tm_mon = month - 1;
  time.tm_mday = day;
  time.tm_hour = hour;
  time.tm_min = minute;
  time.tm_sec = second;
  return time;
}

TEST(RunLogNames, FileNameIsTheProgramAndTheLaunchTime) {
  struct Case {
    std::tm time;
    int attempt;
    std::string expected;
  };
  const Case cases[] = {
      {launchAt(2026, 12, 8, 6, 15, 0), 0, "Zelvar Importer_2026-12-08-061500.log"},
      {launchAt(999, 1, 2, 23, 5, 9), 0, "Zelvar Importer_0999-01-02-230509.log"},
      {launchAt(2026, 12, 8, 6, 15, 0), 1, "Zelvar Importer_2026-12-08-061500-2.log"},
      {launchAt(2026, 12, 8, 6, 15, 0), 11, "Zelvar Importer_2026-12-08-061500-12.log"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.expected);
    EXPECT_EQ(toUtf8(logFileName(c.time, c.attempt)), c.expected);
  }
}

TEST(RunLogNames, HeaderIsVersionSystemComputerAndWholeSeconds) {
  struct Case {
    LogHeaderFields fields;
    std::string expected;
  };
  const Case cases[] = {
      {{u"2.1(57)", u"Debian GNU/Linux 12 (bookworm), Linux 6.1.0", u"Anna’s Laptop", 86399.6},
       "2.1(57); Debian GNU/Linux 12 (bookworm), Linux 6.1.0; Anna’s Laptop; 86400"},
      {{u"1.0(1)", u"Linux 6.1.0", u"box", 12.4}, "1.0(1); Linux 6.1.0; box; 12"},
      // A name with a placeholder in it is text, not a format.
      {{u"1.0(1)", u"%@", u"%.0lf", 0}, "1.0(1); %@; %.0lf; 0"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.expected);
    EXPECT_EQ(toUtf8(logHeaderMessage(c.fields)), c.expected);
  }
  EXPECT_EQ(versionAndBuildNumber(), std::u16string(platform::kBundleShortVersionString) + u"(" +
                                         std::u16string(platform::kBundleVersion) + u")");
}

class RunLogTest : public testsupport::TemporaryFolderTest {
 protected:
  // A file below the log folder whose creation date reads as `day`, or unreadable without one.
  void addLog(const std::string& relative, std::optional<int> day) {
    const std::filesystem::path path = std::filesystem::path(logs_.fileSystemPath()) / relative;
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path) << relative;
    if (day) {
      days_[path.string()] = *day;
    }
  }

  CreationDateReader reader() const {
    return [this](const platform::URL& url) -> platform::Result<platform::Date> {
      auto found = days_.find(url.fileSystemPath());
      if (found == days_.end()) {
        return platform::makeFileError(platform::FileErrorCode::kFileNotFound, url.path());
      }
      return platform::Date{found->second * 86400.0};
    };
  }

  // The files left below the log folder, relative to it.
  std::set<std::string> remaining() const {
    std::set<std::string> names;
    for (const auto& entry :
         std::filesystem::recursive_directory_iterator(logs_.fileSystemPath())) {
      if (entry.is_regular_file()) {
        names.insert(std::filesystem::relative(entry.path(), logs_.fileSystemPath()).string());
      }
    }
    return names;
  }

  static std::string logName(int day) {
    return "Zelvar Importer_2026-11-" + std::to_string(10 + day) + "-120000.log";
  }

  platform::URL logs_ = logFolderURL(folder_.url()).value();
  std::map<std::string, int> days_;
};

TEST_F(RunLogTest, PruningLeavesNineEarlierLogsTheNewestOnes) {
  struct Case {
    const char* name;
    int earlier;
    std::set<int> kept;
  };
  const Case cases[] = {
      {"nine stay", 9, {0, 1, 2, 3, 4, 5, 6, 7, 8}},
      {"ten lose the oldest", 10, {1, 2, 3, 4, 5, 6, 7, 8, 9}},
      {"twelve lose three", 12, {3, 4, 5, 6, 7, 8, 9, 10, 11}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove_all(logs_.fileSystemPath());
    days_.clear();
    // Made newest first, so that neither the names' order nor the making's decides.
    for (int day = c.earlier - 1; day >= 0; --day) {
      addLog(logName(day), day);
    }
    pruneEarlierLogsInFolderAtURL(logs_, reader());
    std::set<std::string> expected;
    for (int day : c.kept) {
      expected.insert(logName(day));
    }
    EXPECT_EQ(remaining(), expected);
  }
}

TEST_F(RunLogTest, OnlyVisibleLogsWithAReadableDateCountOrGo) {
  for (int day = 0; day < 10; ++day) {
    addLog(day < 2 ? "older/" + logName(day) : logName(day), day);
  }
  // Older than every log, yet none of them is a log of ours that we may count or delete.
  addLog("notes.txt", -5);
  addLog("Zelvar Importer.log", -5);
  addLog(".Zelvar Importer_hidden.log", -5);
  addLog(".hidden/" + logName(-3), -3);
  addLog("Zelvar Importer_no-date.log", std::nullopt);

  const auto earlier = earlierLogsInFolderAtURL(logs_, reader());
  EXPECT_EQ(earlier.size(), 10U);
  const auto doomed = earlierLogsToDelete(earlier);
  ASSERT_EQ(doomed.size(), 1U);
  EXPECT_EQ(toUtf8(doomed[0].fileURL.lastPathComponent()), logName(0));

  pruneEarlierLogsInFolderAtURL(logs_, reader());
  const auto left = remaining();
  EXPECT_EQ(left.size(), 14U);
  EXPECT_FALSE(left.contains("older/" + logName(0)));
  EXPECT_TRUE(left.contains("older/" + logName(1)));
}

TEST_F(RunLogTest, SameSecondLaunchesGetFilesOfTheirOwnPrivateToTheUser) {
  const std::tm launch = launchAt(2026, 12, 8, 6, 15, 0);
  std::vector<std::string> names;
  for (int run = 0; run < 3; ++run) {
    auto file = createRunLogFile(logs_, launch);
    ASSERT_THAT(file, IsOk());
    const std::string line = "run " + std::to_string(run) + "\n";
    ASSERT_EQ(::write(file->descriptor.get(), line.data(), line.size()),
              static_cast<ssize_t>(line.size()));
    names.push_back(toUtf8(file->fileURL.lastPathComponent()));
    struct stat status {};
    ASSERT_EQ(::stat(file->fileURL.fileSystemPath().c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0600U);
  }
  EXPECT_THAT(names, ElementsAre("Zelvar Importer_2026-12-08-061500.log",
                                 "Zelvar Importer_2026-12-08-061500-2.log",
                                 "Zelvar Importer_2026-12-08-061500-3.log"));
  EXPECT_EQ(testsupport::readFileText(logs_.appendingPathComponent(platform::fromUtf8(names[0]))),
            std::optional<std::string>("run 0\n"));
  struct stat status {};
  ASSERT_EQ(::stat(logs_.fileSystemPath().c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0700U);
}

TEST_F(RunLogTest, LinksPlantedInTheWayAreRefusedNeverFollowed) {
  const std::filesystem::path victim = folder_.path("victim");
  std::filesystem::create_directories(victim);
  struct Case {
    const char* linked;
  };
  for (const Case& c :
       {Case{"Library"}, Case{"Library/Zelvar Importer"}, Case{"Library/Zelvar Importer/Logs"}}) {
    SCOPED_TRACE(c.linked);
    std::filesystem::remove_all(folder_.path("Library"));
    std::filesystem::create_directories(folder_.path(c.linked).parent_path());
    std::filesystem::create_directory_symlink(victim, folder_.path(c.linked));
    EXPECT_FALSE(createRunLogFile(logs_, launchAt(2026, 12, 8, 6, 15, 0)).ok());
    EXPECT_TRUE(std::filesystem::is_empty(victim));
  }
}

TEST_F(RunLogTest, StandardErrorGoesToTheLogUntilItIsClosed) {
  const int saved = ::dup(STDERR_FILENO);
  ASSERT_GE(saved, 0);
  RunLog runLog = redirectStandardOutputToLogFile(folder_.url(), launchAt(2026, 12, 8, 6, 15, 0));
  std::fputs("after the header\n", stderr);
  ASSERT_TRUE(runLog.logFile.has_value());
  runLog.logFile->close();
  // Standard error is back where it was: its descriptor is the one saved, not a closed slot.
  struct stat before {};
  struct stat after {};
  ASSERT_EQ(::fstat(saved, &before), 0);
  ASSERT_EQ(::fstat(STDERR_FILENO, &after), 0);
  EXPECT_EQ(std::pair(before.st_dev, before.st_ino), std::pair(after.st_dev, after.st_ino));
  ::close(saved);

  ASSERT_TRUE(runLog.logFileURL.has_value());
  EXPECT_EQ(toUtf8(runLog.logFileURL->lastPathComponent()),
            "Zelvar Importer_2026-12-08-061500.log");
  const std::string text = testsupport::readFileText(*runLog.logFileURL).value_or("");
  const std::string firstLine = text.substr(0, text.find('\n'));
  EXPECT_THAT(firstLine, HasSubstr("] " + toUtf8(versionAndBuildNumber()) + "; "));
  EXPECT_EQ(text.substr(std::min(text.size(), firstLine.size() + 1)), "after the header\n");
}

TEST_F(RunLogTest, FolderThatCannotBeMadeLeavesEverythingAsItWas) {
  std::ofstream(folder_.path("Library")) << "a file where a folder must go";
  const int saved = ::dup(STDERR_FILENO);
  RunLog runLog = redirectStandardOutputToLogFile(folder_.url());
  struct stat before {};
  struct stat after {};
  ASSERT_EQ(::fstat(saved, &before), 0);
  ASSERT_EQ(::fstat(STDERR_FILENO, &after), 0);
  ::close(saved);
  EXPECT_EQ(before.st_ino, after.st_ino);
  EXPECT_FALSE(runLog.logFile.has_value());
  EXPECT_FALSE(runLog.logFileURL.has_value());
}

}  // namespace
}  // namespace zv::app
