#include "app/run_log.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <set>

#include "platform/files.h"
#include "platform/unicode.h"
#include "testsupport/file_contents.h"
#include "testsupport/temporary_folder.h"

namespace zv::app {
namespace {

using platform::toUtf8;

TEST(RunLogText, NamesAndHeaderFollowTheirFormats) {
  // 2026-12-08 06:05:09.
  std::tm launch{9, 5, 6, 8, 11, 126, 0, 0, 0, 0, nullptr};
  EXPECT_EQ(toUtf8(logFileName(launch)), "Zelvar Importer_2026-12-08-060509.log");
  // A second launch in the same second, and the twelfth.
  EXPECT_EQ(toUtf8(logFileName(launch, 1)), "Zelvar Importer_2026-12-08-060509-2.log");
  EXPECT_EQ(toUtf8(logFileName(launch, 11)), "Zelvar Importer_2026-12-08-060509-12.log");
  EXPECT_EQ(toUtf8(logHeaderMessage({u"2.1(57)", u"Debian 12, Linux 6.1", u"Anna’s PC", 86399.6})),
            "2.1(57); Debian 12, Linux 6.1; Anna’s PC; 86400");
}

class RunLogTest : public testsupport::TemporaryFolderTest {
 protected:
  // A file below the log folder whose creation date reads as `day`; unreadable without one.
  void add(const std::string& relative, std::optional<int> day = std::nullopt) {
    const auto path = std::filesystem::path(logs_.fileSystemPath()) / relative;
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path) << relative;
    if (day) {
      days_[path.string()] = *day;
    }
  }

  void prune() {
    pruneEarlierLogsInFolderAtURL(logs_, [this](const platform::URL& url) {
      auto found = days_.find(url.fileSystemPath());
      return found == days_.end() ? platform::Result<platform::Date>(platform::makeFileError(
                                        platform::FileErrorCode::kFileNotFound, url.path()))
                                  : platform::Date{found->second * 86400.0};
    });
  }

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

  platform::URL logs_ = logFolderURL(folder_.url()).value();
  std::map<std::string, int> days_;
};

// Older than any log, yet none is a log of ours to count or delete.
const std::set<std::string> kNotOurs = {
    "notes.txt", "Zelvar Importer.log", ".Zelvar Importer_hidden.log",
    ".hidden/Zelvar Importer_1.log", "Zelvar Importer_undated.log"};

TEST_F(RunLogTest, PruningKeepsTheNineNewestLogsAndWhatIsNotOurs) {
  for (int earlier : {9, 10, 12}) {
    SCOPED_TRACE(earlier);
    std::filesystem::remove_all(logs_.fileSystemPath());
    std::set<std::string> expected = kNotOurs;
    for (const std::string& name : kNotOurs) {
      add(name, name.ends_with("undated.log") ? std::nullopt : std::optional(-1));
    }
    // Named against their age and two in a subfolder: only the creation date decides.
    for (int day = 0; day < earlier; ++day) {
      const std::string name =
          (day % 5 == 0 ? "old/" : "") + ("Zelvar Importer_" + std::to_string(99 - day) + ".log");
      add(name, day);
      if (day >= earlier - 9) {
        expected.insert(name);
      }
    }
    prune();
    EXPECT_EQ(remaining(), expected);
  }
}

TEST_F(RunLogTest, ClosingPointsStandardErrorBackWhereItWent) {
  const int saved = ::dup(STDERR_FILENO);
  RunLog runLog = redirectStandardOutputToLogFile(folder_.url());
  std::fputs("after the header\n", stderr);
  ASSERT_TRUE(runLog.logFile.has_value());
  runLog.logFile->close();
  struct stat before {};
  struct stat after {};
  ASSERT_EQ(::fstat(saved, &before), 0);
  ASSERT_EQ(::fstat(STDERR_FILENO, &after), 0);
  ::close(saved);
  EXPECT_EQ(std::pair(before.st_dev, before.st_ino), std::pair(after.st_dev, after.st_ino));
  const std::string text = testsupport::readFileText(runLog.logFileURL.value()).value_or("");
  EXPECT_NE(text.find("] " + toUtf8(versionAndBuildNumber()) + "; "), std::string::npos) << text;
  EXPECT_EQ(text.substr(text.find('\n') + 1), "after the header\n");
}

}  // namespace
}  // namespace zv::app
