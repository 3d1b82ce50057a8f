#include "export/item_file_dates.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <optional>

#include "platform/file_attributes.h"
#include "platform/files.h"
#include "platform/unicode.h"
#include "testsupport/file_contents.h"
#include "testsupport/result_matchers.h"
#include "testsupport/temporary_folder.h"

namespace zv::exporter {
namespace {

using platform::Date;
using testsupport::IsOk;

TEST(RestoreItemDates, GivesTheFileTheDatesTheItemHasAndSaysWhetherItDid) {
  struct Case {
    const char* name;
    std::optional<Date> creationDate;
    std::optional<Date> modificationDate;
    bool fileExists;
    // None: a failure is expected.
    std::optional<bool> expectedRestored;
  };
  const Case cases[] = {
      {"no dates", std::nullopt, std::nullopt, true, false},
      {"modification date", std::nullopt, Date{200000000.5}, true, true},
      {"both dates", Date{100000000}, Date{200000000}, true, true},
      {"creation date only", Date{100000000}, std::nullopt, true, true},
      {"no file", Date{100000000}, Date{200000000}, false, std::nullopt},
      // Nothing to give means nothing is asked of the file, so a missing one is no failure.
      {"no file and no dates", std::nullopt, std::nullopt, false, false},
  };
  testsupport::TemporaryFolder folder;
  // Linux keeps a creation date in an extended attribute, which not every file system has.
  ASSERT_TRUE(testsupport::writeFileText(folder.path("probe"), ""));
  ASSERT_THAT(platform::setFileDatesAtURL(folder.url(u"probe"), {Date{1000}, std::nullopt}),
              IsOk());
  const bool keepsCreationDates =
      platform::creationDateAtURL(folder.url(u"probe")).value() == Date{1000};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const platform::URL file = folder.url(platform::fromUtf8(c.name));
    if (c.fileExists) {
      ASSERT_TRUE(testsupport::writeFileText(file.fileSystemPath(), ""));
    }
    const Date before =
        c.fileExists ? platform::contentModificationDateAtURL(file).value() : Date{};
    const Date bornBefore = c.fileExists ? platform::creationDateAtURL(file).value() : Date{};
    source::DatabaseItem item;
    item.creationDate = c.creationDate;
    item.modificationDate = c.modificationDate;

    platform::Result<bool> restored = restoreItemDatesAtURL(item, file);
    if (!c.expectedRestored) {
      EXPECT_THAT(restored, testsupport::IsPlatformError(platform::FileErrorCode::kFileNotFound));
      continue;
    }
    ASSERT_THAT(restored, IsOk());
    EXPECT_EQ(*restored, *c.expectedRestored);
    if (!c.fileExists) {
      continue;
    }
    EXPECT_EQ(platform::contentModificationDateAtURL(file).value(),
              c.modificationDate.value_or(before));
    if (keepsCreationDates) {
      EXPECT_EQ(platform::creationDateAtURL(file).value(), c.creationDate.value_or(bornBefore));
    }
  }
}

}  // namespace
}  // namespace zv::exporter
