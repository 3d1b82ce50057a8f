#include "platform/property_list.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>

#include "platform/unicode.h"
#include "testsupport/result_matchers.h"

namespace zv::platform {
namespace {

TEST(PropertyListDictionaryTest, KeepsInsertionOrderAndFindsEveryKeyAcrossTheIndexThreshold) {
  for (int count : {0, 1, 8, 9, 100, 1000}) {
    PropertyListDictionary dictionary;
    for (int i = 0; i < count; ++i) {
      dictionary.set(u"key" + std::u16string(1, static_cast<char16_t>(u'A' + i % 26)) +
                         std::u16string(static_cast<std::size_t>(i / 26), u'z'),
                     PropertyList(i));
    }
    ASSERT_EQ(dictionary.size(), static_cast<std::size_t>(count));
    int position = 0;
    for (const auto& entry : dictionary) {
      EXPECT_EQ(entry.value.asInt64(), position) << count;
      const PropertyList* found = dictionary.find(entry.key);
      ASSERT_NE(found, nullptr) << count;
      EXPECT_EQ(found->asInt64(), position) << count;
      ++position;
    }
    EXPECT_EQ(dictionary.find(u"absent"), nullptr);
  }
}

TEST(PropertyListDictionaryTest, SetReplacesInPlaceAndEraseKeepsTheIndexConsistent) {
  for (int count : {3, 20}) {
    PropertyListDictionary dictionary;
    for (int i = 0; i < count; ++i) {
      dictionary.set(u"k" + std::u16string(static_cast<std::size_t>(i + 1), u'x'), PropertyList(i));
    }
    dictionary.set(u"kx", PropertyList(u"replaced"));
    EXPECT_EQ(dictionary.size(), static_cast<std::size_t>(count));
    EXPECT_EQ(dictionary.entries().front().key, u"kx");
    EXPECT_EQ(*dictionary.find(u"kx")->asString(), u"replaced");

    EXPECT_TRUE(dictionary.erase(u"kxx"));
    EXPECT_FALSE(dictionary.erase(u"kxx"));
    EXPECT_EQ(dictionary.find(u"kxx"), nullptr);
    EXPECT_EQ(dictionary.find(u"kxxx")->asInt64(), 2);
    EXPECT_EQ(dictionary.entries()[1].key, u"kxxx");
  }
}

TEST(PropertyListIntegerTest, EqualValuesCompareEqualWhateverTheSourceType) {
  struct Case {
    PropertyListInteger integer;
    std::optional<std::int64_t> signedValue;
    std::optional<std::uint64_t> unsignedValue;
  };
  const Case cases[] = {
      {PropertyListInteger(0), 0, 0u},
      {PropertyListInteger(-1), -1, std::nullopt},
      {PropertyListInteger(std::uint64_t{5}), 5, 5u},
      {PropertyListInteger(INT64_MIN), INT64_MIN, std::nullopt},
      {PropertyListInteger(std::uint64_t{INT64_MAX}), INT64_MAX, std::uint64_t{INT64_MAX}},
      {PropertyListInteger(UINT64_MAX), std::nullopt, UINT64_MAX},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.signedValue) + testing::PrintToString(c.unsignedValue));
    EXPECT_EQ(c.integer.signedValue(), c.signedValue);
    EXPECT_EQ(c.integer.unsignedValue(), c.unsignedValue);
  }
  EXPECT_EQ(PropertyListInteger(std::uint64_t{5}), PropertyListInteger(5));
  EXPECT_NE(PropertyListInteger(UINT64_MAX), PropertyListInteger(-1));
}

TEST(PropertyListUtf16Test, AcceptsOnlyPairedSurrogates) {
  const std::pair<std::u16string, bool> cases[] = {
      {u"", true},
      {u"plain", true},
      {u"\U0001F600", true},
      {std::u16string(1, 0xD83D), false},
      {std::u16string(1, 0xDE00), false},
      {std::u16string{0xDE00, 0xD83D}, false},
      {std::u16string{u'a', 0xD83D, u'b'}, false},
  };
  for (const auto& [text, valid] : cases) {
    SCOPED_TRACE(testing::PrintToString(text));
    EXPECT_EQ(isValidUtf16(text), valid);
  }
}

TEST(PropertyListInputSizeTest, RefusesOnlyWhatIsAboveTheLimit) {
  EXPECT_THAT(checkPropertyListInputSize(kPropertyListMaximumInputSize), testsupport::IsOk());
  EXPECT_THAT(checkPropertyListInputSize(kPropertyListMaximumInputSize + 1),
              testsupport::IsPlatformError(PlatformErrorCode::kPropertyListReadCorrupt));
}

}  // namespace
}  // namespace zv::platform
