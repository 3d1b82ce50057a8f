#include "platform/file_lock.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>

#include "platform/files.h"
#include "platform/temporary_directory.h"
#include "platform/unicode.h"
#include "testsupport/result_matchers.h"
#include "testsupport/temporary_folder.h"

namespace zv::platform {
namespace {

using testsupport::IsOk;
using FileLockTest = testsupport::TemporaryFolderTest;

TEST_F(FileLockTest, OneHolderAtATimeUntilItLetsGo) {
  const URL file = at(u"export.lock");
  auto first = FileLock::tryLockAtURL(file);
  ASSERT_THAT(first, IsOk());
  ASSERT_TRUE(first->has_value());
  struct stat status {};
  ASSERT_EQ(::stat(file.fileSystemPath().c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0600u);

  auto second = FileLock::tryLockAtURL(file);
  ASSERT_THAT(second, IsOk());
  EXPECT_FALSE(second->has_value());

  first->reset();
  auto third = FileLock::tryLockAtURL(file);
  ASSERT_THAT(third, IsOk());
  EXPECT_TRUE(third->has_value());
}

TEST_F(FileLockTest, RefusesWhatIsNoPlainFile) {
  struct Case {
    const char* name;
    std::function<void(const std::string& path)> plant;
    FileErrorCode expected;
  };
  const std::string target = at(u"target").fileSystemPath();
  const Case cases[] = {
      {"link",
       [&](const std::string& path) { ASSERT_EQ(::symlink(target.c_str(), path.c_str()), 0); },
       FileErrorCode::kSymbolicLink},
      {"fifo", [](const std::string& path) { ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0); },
       FileErrorCode::kNotARegularFile},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const URL file = at(platform::fromUtf8(std::string(c.name) + ".lock"));
    c.plant(file.fileSystemPath());
    EXPECT_THAT(FileLock::tryLockAtURL(file), testsupport::IsPlatformError(c.expected));
    EXPECT_FALSE(itemIsReachableAtURL(at(u"target")));
  }
}

}  // namespace
}  // namespace zv::platform
