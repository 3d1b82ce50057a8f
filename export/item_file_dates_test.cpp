#include "export/item_file_dates.h"

#include <gtest/gtest.h>

#include <optional>
#include <span>

#include "platform/file_attributes.h"
#include "platform/files.h"
#include "platform/temporary_directory.h"
#include "platform/unicode.h"

namespace zv::exporter {
namespace {

using platform::Date;

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
  auto folder = platform::TemporaryDirectory::create(u"zv-item-dates");
  ASSERT_TRUE(folder);
  int fileNumber = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const platform::URL file = folder->url().appendingPathComponent(
        u"file" + platform::fromUtf8(std::to_string(++fileNumber)));
    if (c.fileExists) {
      ASSERT_TRUE(platform::writeFileAtURL(file, std::span<const std::uint8_t>(),
                                           platform::WriteMode::kCreateNew));
    }
    const std::optional<Date> before =
        c.fileExists ? std::optional<Date>(*platform::contentModificationDateAtURL(file))
                     : std::nullopt;
    source::DatabaseItem item;
    item.id = u"I";
    item.creationDate = c.creationDate;
    item.modificationDate = c.modificationDate;

    platform::Result<bool> restored = restoreItemDatesAtURL(item, file);
    if (!c.expectedRestored) {
      ASSERT_FALSE(restored.ok());
      EXPECT_TRUE(platform::isFileError(restored.error(), platform::FileErrorCode::kFileNotFound))
          << platform::toUtf8(restored.error().description);
      continue;
    }
    ASSERT_TRUE(restored.ok()) << platform::toUtf8(restored.error().description);
    EXPECT_EQ(*restored, *c.expectedRestored);
    if (!c.fileExists) {
      continue;
    }
    auto modified = platform::contentModificationDateAtURL(file);
    ASSERT_TRUE(modified);
    if (c.modificationDate) {
      EXPECT_NEAR(modified->secondsSinceReferenceDate,
                  c.modificationDate->secondsSinceReferenceDate, 1e-6);
    } else {
      ASSERT_TRUE(before);
      EXPECT_EQ(*modified, *before);
    }
  }
}

}  // namespace
}  // namespace zv::exporter
