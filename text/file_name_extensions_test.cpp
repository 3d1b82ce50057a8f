#include "text/file_name_extensions.h"

#include <gtest/gtest.h>
#include <unicode/utf16.h>

#include <filesystem>
#include <tuple>
#include <utility>

#include "platform/file_attributes.h"
#include "platform/files.h"
#include "platform/unicode.h"
#include "testsupport/file_contents.h"
#include "testsupport/temporary_folder.h"

namespace zv::text {
namespace {

std::u16string repeated(std::u16string_view piece, std::size_t count) {
  std::u16string out;
  for (std::size_t index = 0; index < count; ++index) {
    out += piece;
  }
  return out;
}

TEST(StringSanitizedForFileName, CleansTitlesIntoOneFileName) {
  const std::pair<std::u16string, std::u16string> cases[] = {
      {u" .hidden name ", u"-hidden name"},
      {u"..x", u"-.x"},
      {u"a/b:c~d\te", u"a-b-c-d-e"},
      {u"line one\nline two", u"line oneline two"},
      {u"a\u2028b\r\nc", u"abc"},
      {u"Title\u2026", u"Title"},
      {u"\u2026Title", u"Title"},
      {u"Ti\u2026tle", u"Ti\u2026tle"},
      {u"\u3000\t\n", u""},
      {u"300 " + repeated(u"x", 296), u"300 " + repeated(u"x", 251)},
      {repeated(u"n", 300) + u".pdf", repeated(u"n", 251) + u".pdf"},
      {repeated(u"n", 254) + u"   x", repeated(u"n", 254)},
      // The cut falls inside the emoji's surrogate pair, so the whole pair goes.
      {repeated(u"n", 254) + u"\U0001F600" + u"tail", repeated(u"n", 254)},
      {repeated(u"n", 250) + u"\U0001F600" + repeated(u"n", 50) + u".txt",
       repeated(u"n", 250) + u".txt"},
  };
  for (const auto& [name, expected] : cases) {
    SCOPED_TRACE(platform::toUtf8(name));
    EXPECT_EQ(stringSanitizedForFileName(name), expected);
  }
}

TEST(StringSanitizedForFileName, StaysWithinTheLimitWhateverTheExtension) {
  const std::tuple<std::size_t, std::size_t, bool> cases[] = {
      {300, 0, false}, {300, 3, true},    {300, 253, true}, {1, 254, false},
      {1, 300, false}, {300, 300, false}, {2, 253, true},
  };
  for (const auto& [baseLength, extensionLength, keepsExtension] : cases) {
    std::u16string extension = repeated(u"e", extensionLength);
    std::u16string name = repeated(u"b", baseLength) + (extensionLength ? u"." : u"") + extension;
    std::u16string result = stringSanitizedForFileName(name);
    SCOPED_TRACE(testing::Message() << baseLength << "." << extensionLength);
    EXPECT_LE(result.size(), kMaximumFileNameLength);
    EXPECT_EQ(result.ends_with(u"." + extension), keepsExtension && extensionLength > 0);
    // A title is never reduced to nothing by the limit.
    EXPECT_FALSE(result.empty());
  }
}

class MakeFilenameUnique : public testsupport::TemporaryFolderTest {
 protected:
  // A new folder inside the test's own, holding the given items.
  platform::URL folderWith(const std::vector<std::u16string>& names) {
    const std::u16string folder = platform::fromUtf8(std::to_string(++folderCount_));
    std::filesystem::create_directory(pathOf(folder));
    for (const auto& name : names) {
      EXPECT_TRUE(testsupport::writeFileText(pathOf(folder + u"/" + name), "x"));
    }
    return at(folder, true);
  }

  int folderCount_ = 0;
};

TEST_F(MakeFilenameUnique, NumbersTakenNamesFromOne) {
  const std::tuple<std::vector<std::u16string>, std::u16string, std::u16string> cases[] = {
      {{}, u"Report.pdf", u"Report.pdf"},
      // A free name comes back as given, even when it would not pass as sanitised.
      {{}, u" a:b ", u" a:b "},
      {{u"Report.pdf"}, u"Report.pdf", u"Report 1.pdf"},
      {{u"Report.pdf", u"Report 1.pdf"}, u"Report.pdf", u"Report 2.pdf"},
      {{u"Report.pdf", u"Report 2.pdf"}, u"Report.pdf", u"Report 1.pdf"},
      {{u"Notes"}, u"Notes", u"Notes 1"},
      {{u"a.b.c"}, u"a.b.c", u"a.b 1.c"},
      {{u"a:b.txt", u"a-b 1.txt"}, u"a:b.txt", u"a-b 2.txt"},
      // The number goes before the last "." even where that "." begins no extension.
      {{u".pdf"}, u".pdf", u"1.pdf"},
      {{u"x."}, u"x.", u"x 1"},
  };
  for (const auto& [existing, name, expected] : cases) {
    SCOPED_TRACE(platform::toUtf8(name));
    EXPECT_EQ(makeFilenameUniqueInDirectoryAtURL(name, folderWith(existing)), expected);
  }
}

TEST_F(MakeFilenameUnique, ShortensTheNameNotTheNumberAtTheLimit) {
  const std::tuple<std::u16string, std::u16string, std::u16string> cases[] = {
      {repeated(u"n", 251) + u".pdf", repeated(u"n", 249) + u" 1.pdf",
       repeated(u"n", 249) + u" 2.pdf"},
      {repeated(u"n", 255), repeated(u"n", 253) + u" 1", repeated(u"n", 253) + u" 2"},
      // An extension that leaves no room for the number is dropped, not the number.
      {u"b." + repeated(u"e", 253), u"b 1", u"b 2"},
  };
  for (const auto& [name, first, second] : cases) {
    SCOPED_TRACE(platform::toUtf8(name));
    platform::URL folder = folderWith({name});
    EXPECT_EQ(makeFilenameUniqueInDirectoryAtURL(name, folder), first);
    ASSERT_TRUE(testsupport::writeFileText(platform::toUtf8(folder.path() + u"/" + first), "x"));
    EXPECT_EQ(makeFilenameUniqueInDirectoryAtURL(name, folder), second);
  }
}

TEST(GenerateName, TakesTheFirstLineOrSentenceWithoutMarkers) {
  const std::tuple<std::u16string, bool, std::u16string> cases[] = {
      {u"3. Groceries. Milk and eggs", true, u"Groceries"},
      {u"\u2022 Item one", true, u"Item one"},
      {u"\u2022\u00A0Item two", false, u"Item two"},
      {u"1000. Title", true, u"1000"},
      {u"0. Title", true, u"0"},
      {u"12. Shopping\nMilk", false, u"12. Shopping"},
      {u"Ch. 4 notes\nmore", false, u"Ch. 4 notes"},
      {u"First sentence. Second one", false, u"First sentence."},
      {u"\uFFFC\tPicture\u200Bcaption", false, u"Picture"},
      {u"\U0001F468\u200D\U0001F469\u200D\U0001F467 Family", false,
       u"\U0001F468\u200D\U0001F469\u200D\U0001F467 Family"},
      {u"\u0645\u06CC\u200C\u062E\u0648\u0627\u0647\u0645", false,
       u"\u0645\u06CC\u200C\u062E\u0648\u0627\u0647\u0645"},
      {u"- * + text", false, u"text"},
      {u"+ - text", false, u"- text"},
      {u" \n\t ", false, u""},
  };
  for (const auto& [text, truncateToPeriod, expected] : cases) {
    SCOPED_TRACE(platform::toUtf8(text));
    EXPECT_EQ(generateNameTruncatingToPeriod(text, truncateToPeriod, false), expected);
  }
}

TEST(GenerateName, EndsLongNamesInAnEllipsisOrSanitisesThem) {
  std::u16string longSentence = repeated(u"Word ", 80);
  std::u16string itemName = generateItemName(longSentence);
  EXPECT_EQ(itemName.size(), kMaximumFileNameLength);
  EXPECT_TRUE(itemName.ends_with(u"\u2026"));
  EXPECT_EQ(generateItemName(u"Short. " + longSentence), u"Short.");

  std::u16string emojiLine = repeated(u"a", 253) + u"\U0001F600" + repeated(u"a", 100);
  EXPECT_EQ(generateItemName(emojiLine), repeated(u"a", 253) + u"\u2026");

  EXPECT_EQ(generateNameSanitizedForFilename(u"a/b: c. d", true), u"a-b- c");
  EXPECT_EQ(generateNameSanitizedForFilename(u"a/b: c. d", false), u"a/b: c");
  EXPECT_EQ(generateNameSanitizedForFilename(longSentence, true).size(), 254u);
}

TEST(IsEqualToFilename, IgnoresCaseDiacriticsWidthAndNormalisation) {
  const std::tuple<std::u16string, std::u16string, bool> cases[] = {
      {u"r\u00E9sum\u00E9", u"RESUME", true},
      {u"\uFF21bc", u"abc", true},
      {u"\u00E9", u"e\u0301", true},
      {u"abc", u"abd", false},
      {u"abc", u"ab", false},
      {u"a b", u"ab", false},
  };
  for (const auto& [name, other, equal] : cases) {
    SCOPED_TRACE(platform::toUtf8(name + u" and " + other));
    EXPECT_EQ(isEqualToFilename(name, other), equal);
  }
}

TEST(FileSystemRepresentationString, DecomposesAndStopsAtTheTerminator) {
  const std::pair<std::u16string, std::u16string> cases[] = {
      {u"Caf\u00E9", u"Cafe\u0301"},
      {u"\uAC00", u"\u1100\u1161"},
      {std::u16string(u"ab\0cd", 5), u"ab"},
      {u"a\xD800z", u"a\uFFFDz"},
  };
  for (const auto& [name, expected] : cases) {
    SCOPED_TRACE(platform::toUtf8(name));
    EXPECT_EQ(fileSystemRepresentationString(name), expected);
  }
}

TEST(FileDisplayName, ShowsTheLastComponentWithItsExtension) {
  const std::pair<std::u16string, std::u16string> cases[] = {
      {u"/tmp/scratch.tiff", u"scratch.tiff"},
      {u"/tmp/folder/", u"folder"},
      {u"relative", u"relative"},
      {u"/", u"/"},
      {u"", u""},
  };
  for (const auto& [path, expected] : cases) {
    SCOPED_TRACE(platform::toUtf8(path));
    EXPECT_EQ(fileDisplayName(path), expected);
  }
}

class FileDisplayNameOfItem : public testsupport::TemporaryFolderTest {};

TEST_F(FileDisplayNameOfItem, HidesTheExtensionOnlyWhenTheItemAsksForIt) {
  // Each name and what it shows when the item asks to hide its extension.
  const std::pair<std::u16string, std::u16string> cases[] = {
      {u"Report.qntweblink", u"Report"},
      {u"a.b.c", u"a.b"},
      // Names without an extension have nothing to hide, and show as the platform shows them.
      {u".hidden", u".hidden"},
      {u"x.", u"x."},
  };
  for (const auto& [name, hidden] : cases) {
    SCOPED_TRACE(platform::toUtf8(name));
    platform::URL file = at(name);
    ASSERT_TRUE(platform::writeFileAtURL(file, std::span<const std::uint8_t>(),
                                         platform::WriteMode::kCreateNew));
    EXPECT_EQ(fileDisplayName(file.path()), name);
    if (!platform::setHasHiddenExtensionAtURL(file, true) ||
        !platform::hasHiddenExtensionAtURL(file).value()) {
      GTEST_SKIP() << "this file system keeps no extended attributes";
    }
    EXPECT_EQ(fileDisplayName(file.path()), hidden);
    EXPECT_EQ(fileDisplayName(file.path()), platform::displayNameAtURL(file));
  }
}

}  // namespace
}  // namespace zv::text
