#include "platform/file_attributes.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/xattr.h>

#include "platform/files.h"
#include "testsupport/file_contents.h"
#include "testsupport/result_matchers.h"
#include "testsupport/temporary_folder.h"

namespace zv::platform {
namespace {

using testsupport::IsOk;
using testsupport::IsPlatformError;

class FileAttributesTest : public testsupport::TemporaryFolderTest {
 protected:
  void SetUp() override {
    ASSERT_TRUE(testsupport::writeFileText(file_.fileSystemPath(), "x"));
    supportsAttributes_ = ::setxattr(file_.fileSystemPath().c_str(), "user.probe", "1", 1, 0) == 0;
  }

  const URL file_ = at(u"Bookmark.qntweblink");
  bool supportsAttributes_ = false;
};

TEST_F(FileAttributesTest, DatesRoundTripWithoutDisturbingEachOther) {
  if (!supportsAttributes_) {
    GTEST_SKIP() << "the temporary folder's file system has no user extended attributes";
  }
  const Date created = dateFromUnixTime(1262304000.5);        // 2010
  const Date modified = dateFromUnixTime(1614931200.123456);  // 2021
  ASSERT_THAT(setFileDatesAtURL(file_, {created, modified}), IsOk());
  EXPECT_NEAR(creationDateAtURL(file_)->secondsSinceReferenceDate,
              created.secondsSinceReferenceDate, 1e-6);
  EXPECT_NEAR(contentModificationDateAtURL(file_)->secondsSinceReferenceDate,
              modified.secondsSinceReferenceDate, 1e-6);

  const Date later = dateFromUnixTime(1700000000);
  ASSERT_THAT(setFileDatesAtURL(file_, {later, std::nullopt}), IsOk());
  EXPECT_NEAR(contentModificationDateAtURL(file_)->secondsSinceReferenceDate,
              modified.secondsSinceReferenceDate, 1e-6);
  EXPECT_EQ(*creationDateAtURL(file_), later);
}

TEST_F(FileAttributesTest, CreationDateFallsBackToTheFileSystemWhenOursIsMissingOrForged) {
  Result<Date> fresh = creationDateAtURL(file_);
  ASSERT_THAT(fresh, IsOk());
  EXPECT_NEAR(fresh->secondsSinceReferenceDate, currentDate().secondsSinceReferenceDate, 3600);
  if (supportsAttributes_) {
    std::string path = file_.fileSystemPath();
    ASSERT_EQ(::setxattr(path.c_str(), "user.zelvar.creation-date", "garbage", 7, 0), 0);
    EXPECT_EQ(*creationDateAtURL(file_), *fresh);
  }
}

TEST_F(FileAttributesTest, RefusesDatesNoFileCanCarry) {
  const Date refused[] = {Date{std::numeric_limits<double>::infinity()},
                          Date{std::numeric_limits<double>::quiet_NaN()}, Date{1e300}};
  for (Date date : refused) {
    SCOPED_TRACE(date.secondsSinceReferenceDate);
    EXPECT_THAT(setFileDatesAtURL(file_, {std::nullopt, date}),
                IsPlatformError(FileErrorCode::kInvalidValue));
  }
}

TEST_F(FileAttributesTest, HiddenExtensionShapesTheDisplayName) {
  if (!supportsAttributes_) {
    GTEST_SKIP() << "the temporary folder's file system has no user extended attributes";
  }
  EXPECT_EQ(hasHiddenExtensionAtURL(file_).value(), false);
  EXPECT_EQ(displayNameAtURL(file_), u"Bookmark.qntweblink");
  ASSERT_THAT(setHasHiddenExtensionAtURL(file_, true), IsOk());
  EXPECT_EQ(hasHiddenExtensionAtURL(file_).value(), true);
  EXPECT_EQ(displayNameAtURL(file_), u"Bookmark");
  ASSERT_THAT(setHasHiddenExtensionAtURL(file_, false), IsOk());
  EXPECT_EQ(hasHiddenExtensionAtURL(file_).value(), false);
}

TEST_F(FileAttributesTest, MissingItemsAreErrors) {
  const URL missing = at(u"missing.qntweblink");
  const auto notFound = IsPlatformError(FileErrorCode::kFileNotFound);
  EXPECT_THAT(hasHiddenExtensionAtURL(missing), notFound);
  EXPECT_THAT(setHasHiddenExtensionAtURL(missing, true), notFound);
  EXPECT_THAT(creationDateAtURL(missing), notFound);
  EXPECT_THAT(setFileDatesAtURL(missing, {currentDate(), currentDate()}), notFound);
  EXPECT_FALSE(itemIsReachableAtURL(missing)) << "a setter created it";
}

}  // namespace
}  // namespace zv::platform
