#include "export/root_folder_names.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <set>

#include "platform/files.h"
#include "platform/unicode.h"
#include "testsupport/file_contents.h"
#include "testsupport/result_matchers.h"
#include "testsupport/temporary_folder.h"

namespace zv::exporter {
namespace {

using platform::toUtf8;
using ::testing::EndsWith;
using ::testing::HasSubstr;
using ::testing::Not;
using testsupport::IsOk;
using testsupport::readFileText;

TEST(RootFolderNames, NumbersCopiesFromOneAndSkipsNamesTakenOtherwise) {
  RootFolderNames names;
  // An item literally named like the second copy comes first.
  EXPECT_EQ(names.reserveUniqueName(u"Report 2.pdf"), u"Report 2.pdf");
  const std::u16string expected[] = {u"Report.pdf", u"Report 1.pdf", u"Report 3.pdf",
                                     u"Report 4.pdf"};
  for (const auto& name : expected) {
    EXPECT_EQ(names.reserveUniqueName(u"Report.pdf"), name);
  }
  EXPECT_EQ(names.reserveUniqueName(u"Notes"), u"Notes");
  EXPECT_EQ(names.reserveUniqueName(u"Notes"), u"Notes 1");
  // An item literally named like a numbered copy takes that name; the copy moves on.
  EXPECT_EQ(names.reserveUniqueName(u"Notes 2"), u"Notes 2");
  EXPECT_EQ(names.reserveUniqueName(u"Notes"), u"Notes 3");
  // Thousands of copies on, each name is still new.
  std::set<std::u16string> seen;
  for (int i = 0; i < 5000; ++i) {
    ASSERT_TRUE(seen.insert(names.reserveUniqueName(u"Same.rtf")).second);
  }
  EXPECT_TRUE(seen.contains(u"Same 4999.rtf"));
}

TEST(RootFolderNames, PlacingPassesOverNamesTakenOnDiskBehindTheIndexsBack) {
  testsupport::TemporaryFolder folder;
  ASSERT_TRUE(testsupport::writeFileText(folder.path("Report.pdf"), "theirs"));
  ASSERT_EQ(::symlink("/nonexistent", folder.path("Report 1.pdf").c_str()), 0);

  RootFolderNames names;
  auto placed =
      names.placeFileUnderFreeName(folder.url(), u"Report.pdf", [](const platform::URL& candidate) {
        return platform::writeFileAtURL(candidate, testsupport::bytesOf("ours"),
                                        platform::WriteMode::kCreateNew);
      });
  ASSERT_THAT(placed, IsOk());
  EXPECT_EQ(placed->lastPathComponent(), u"Report 2.pdf");
  EXPECT_EQ(readFileText(folder.path("Report.pdf")), "theirs");
  EXPECT_EQ(readFileText(folder.path("Report 2.pdf")), "ours");
  // The names found taken stay reserved, so the next copy is not sent to them again.
  EXPECT_EQ(names.reserveUniqueName(u"Report.pdf"), u"Report 3.pdf");
}

TEST(RootFolderNames, NamesThatCollideOnlyAfterTheCutCostConstantWorkEach) {
  struct Case {
    const char* name;
    std::u16string prefix;
  };
  // 100 × 漢 is 300 bytes: the distinct number at the end is always cut away.
  const Case cases[] = {
      {"three-byte script", std::u16string(100, u'漢')},
      {"ASCII", std::u16string(300, u'a')},
      {"mixed widths", std::u16string(120, u'é') + std::u16string(20, u'漢')},
  };
  constexpr int kCount = 3000;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    RootFolderNames names;
    std::set<std::u16string> seen;
    for (int i = 0; i < kCount; ++i) {
      std::u16string name = c.prefix + platform::fromUtf8(" " + std::to_string(i) + ".rtf");
      std::u16string unique = names.reserveUniqueName(name);
      ASSERT_LE(toUtf8(unique).size(), kMaximumFileNameBytes);
      ASSERT_TRUE(unique.ends_with(u".rtf"));
      ASSERT_TRUE(seen.insert(unique).second);
    }
    // The plain name and one numbered copy each.
    EXPECT_LE(names.probeCount(), 2 * kCount);
  }
}

TEST(RootFolderNames, NamesAlikeInTheirLowBytesStayApart) {
  struct Case {
    const char* name;
    std::u16string first;
    std::u16string second;
  };
  // Latin-1 names are kept a byte a character, wider ones two: neither may pass for the other.
  const Case cases[] = {
      {"Latin-1 and wider", u"A.rtf", u"\u0141.rtf"},
      {"highest Latin-1", u"\u00FF", u"\u01FF"},
      {"same bytes, different lengths", u"\u4141", u"AA"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    RootFolderNames names;
    const std::u16string first = names.reserveUniqueName(c.first);
    const std::u16string second = names.reserveUniqueName(c.second);
    EXPECT_NE(first, second);
    EXPECT_EQ(first, fileNameFittedToFileSystem(c.first));
    EXPECT_EQ(second, fileNameFittedToFileSystem(c.second));
    // And each is taken now.
    EXPECT_NE(names.reserveUniqueName(c.first), first);
    EXPECT_NE(names.reserveUniqueName(c.second), second);
  }
}

TEST(RootFolderNames, HoldsEachNameInAFewBytesBeyondItsText) {
  // A million items each take a name of their own: a string object and a hash node apiece
  // would cost more than a hundred bytes a name.
  constexpr int kCount = 200000;
  RootFolderNames names;
  std::size_t textBytes = 0;
  for (int i = 0; i < kCount; ++i) {
    textBytes += names.reserveUniqueName(u"Meeting notes.rtf").size();
  }
  EXPECT_EQ(names.reserveUniqueName(u"Meeting notes.rtf"),
            platform::fromUtf8("Meeting notes " + std::to_string(kCount) + ".rtf"));
  EXPECT_LE(names.memoryBytes(), 2 * textBytes + std::size_t{40} * kCount);
}

TEST(FileNameFittedToFileSystem, CutsTheBaseAtCharacterBoundariesKeepingSuffixAndExtension) {
  struct Case {
    std::u16string name;
    std::u16string suffix;
    std::string expectedEnd;
  };
  std::u16string emoji;
  for (int i = 0; i < 60; ++i) {
    emoji += u"\U0001F600";
  }
  const Case cases[] = {
      {std::u16string(300, u'a') + u".pdf", u"", ".pdf"},
      {std::u16string(200, u'记') + u".rtf", u" 12", " 12.rtf"},
      // 😀 is a surrogate pair and four UTF-8 bytes: never split.
      {std::u16string(100, u'x') + emoji + u".txt", u" 3", " 3.txt"},
      // An extension with no room beside it is cut like the rest of the name.
      {u"a." + std::u16string(300, u'e'), u" 1", " 1"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.expectedEnd);
    std::u16string fitted = fileNameFittedToFileSystem(c.name, c.suffix);
    std::string bytes = toUtf8(fitted);
    EXPECT_LE(bytes.size(), kMaximumFileNameBytes);
    EXPECT_THAT(bytes, EndsWith(c.expectedEnd));
    EXPECT_THAT(bytes, Not(HasSubstr("\xEF\xBF\xBD"))) << "split surrogate pair";
  }
  // At the edge of what fits whole, and what must still be cleaned although it fits.
  for (auto [name, expected] :
       {std::pair<std::u16string, std::u16string>{u"short.txt", u"short.txt"},
        {std::u16string(85, u'记'), std::u16string(85, u'记')},
        {std::u16string(86, u'记'), std::u16string(85, u'记')},
        {u"a\u0001b\u009F.rtf", u"ab.rtf"}}) {
    EXPECT_EQ(fileNameFittedToFileSystem(name), expected) << toUtf8(name);
  }
}

}  // namespace
}  // namespace zv::exporter
