#include "platform/file_lock.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <thread>

#include "platform/files.h"
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
  EXPECT_EQ(std::filesystem::status(file.fileSystemPath()).permissions(),
            std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);

  auto second = FileLock::tryLockAtURL(file);
  ASSERT_THAT(second, IsOk());
  EXPECT_FALSE(second->has_value());

  // A waiting lock comes only after the holder lets go.
  std::atomic<bool> released = false;
  std::atomic<bool> releasedBeforeTaken = false;
  std::thread waiter([&] {
    auto lock = FileLock::lockAtURL(file);
    releasedBeforeTaken = lock.ok() && released.load();
  });
  released = true;
  first->reset();
  waiter.join();
  EXPECT_TRUE(releasedBeforeTaken);

  auto third = FileLock::tryLockAtURL(file);
  ASSERT_THAT(third, IsOk());
  EXPECT_TRUE(third->has_value());
}

TEST_F(FileLockTest, RefusesWhatIsNoPlainFile) {
  ASSERT_EQ(::symlink(pathOf(u"target").c_str(), pathOf(u"link.lock").c_str()), 0);
  ASSERT_EQ(::mkfifo(pathOf(u"fifo.lock").c_str(), 0600), 0);
  EXPECT_THAT(FileLock::tryLockAtURL(at(u"link.lock")),
              testsupport::IsPlatformError(FileErrorCode::kSymbolicLink));
  EXPECT_FALSE(itemIsReachableAtURL(at(u"target")));
  EXPECT_THAT(FileLock::tryLockAtURL(at(u"fifo.lock")),
              testsupport::IsPlatformError(FileErrorCode::kNotARegularFile));
  EXPECT_THAT(FileLock::lockAtURL(at(u"link.lock")),
              testsupport::IsPlatformError(FileErrorCode::kSymbolicLink));
  EXPECT_THAT(FileLock::lockAtURL(at(u"fifo.lock")),
              testsupport::IsPlatformError(FileErrorCode::kNotARegularFile));
}

}  // namespace
}  // namespace zv::platform
