// Checks our codecs against Python's plistlib, an independent implementation, in both
// directions. The sample below must stay equal to the one in testdata/plist_interop.py.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/property_list_serialization.h"
#include "testsupport/file_contents.h"
#include "testsupport/result_matchers.h"
#include "testsupport/temporary_folder.h"

namespace zv::platform {
namespace {

constexpr std::size_t kDeepNesting = 400;

PropertyList sample(PropertyListFormat format) {
  PropertyList deep(PropertyList::Array{u"deep"});
  for (std::size_t i = 1; i < kDeepNesting; ++i) {
    deep = PropertyList(PropertyList::Array{std::move(deep)});
  }
  PropertyList::Array many;
  for (int i = 0; i < 300; ++i) {
    many.emplace_back(i);
  }
  PropertyList::Data allBytes;
  for (int i = 0; i < 256; ++i) {
    allBytes.push_back(static_cast<std::uint8_t>(i));
  }
  PropertyList::Dictionary value;
  value.set(u"ascii", u"Zelvar Importer");
  value.set(u"non-ascii", u"caf\u00e9 \u65e5\u672c");
  value.set(u"astral \U0001F600", u"emoji \U0001F600\U0001F44D\U0001F3FD");
  value.set(u"markup", u"a & b < c > d \"e\" 'f'");
  value.set(u"empty string", u"");
  value.set(u"long string", std::u16string(300, u'x'));
  value.set(u"integers",
            PropertyList::Array{0, 1, 255, 256, 65535, 65536, 0xFFFF'FFFFLL, 0x1'0000'0000LL, -1,
                                INT64_MIN, INT64_MAX, std::uint64_t{1} << 63, UINT64_MAX});
  value.set(u"reals", PropertyList::Array{0.1, -2.5, 1e300, INFINITY});
  value.set(u"booleans", PropertyList::Array{true, false});
  value.set(u"dates", PropertyList::Array{dateFromUnixTime(1709210096), dateFromUnixTime(-14182940),
                                          dateFromUnixTime(kReferenceDateUnixTime)});
  value.set(u"data", PropertyList::Array{PropertyList::Data{}, allBytes});
  value.set(u"empty array", PropertyList::Array{});
  value.set(u"empty dictionary", PropertyList::Dictionary{});
  value.set(u"many", std::move(many));
  value.set(u"deep", std::move(deep));
  if (format == PropertyListFormat::kBinary) {
    value.set(u"uids", PropertyList::Array{PropertyListUid{0}, PropertyListUid{300},
                                           PropertyListUid{std::uint64_t{1} << 32}});
  }
  return PropertyList(std::move(value));
}

class PropertyListInteropTest : public testing::TestWithParam<PropertyListFormat> {
 protected:
  void SetUp() override {
    if (std::system("python3 -c 'import plistlib' >/dev/null 2>&1") != 0) {
      GTEST_SKIP() << "python3 with plistlib is not installed; interoperability is unchecked";
    }
  }

  int runScript(const std::string& action, const std::filesystem::path& file) const {
    const std::string format = GetParam() == PropertyListFormat::kBinary ? "binary" : "xml";
    const std::string command = "python3 '" ZV_SOURCE_DIR "/platform/testdata/plist_interop.py' " +
                                action + " " + format + " '" + file.string() + "'";
    return std::system(command.c_str());
  }

  testsupport::TemporaryFolder folder_;
};

TEST_P(PropertyListInteropTest, PlistlibReadsOurOutputAsTheSameValues) {
  auto bytes = writePropertyList(sample(GetParam()), GetParam());
  ASSERT_THAT(bytes, testsupport::IsOk());
  const auto file = folder_.path("ours.plist");
  ASSERT_TRUE(testsupport::writeFileText(file, std::string(bytes->begin(), bytes->end())));
  EXPECT_EQ(runScript("verify", file), 0);
}

TEST_P(PropertyListInteropTest, WeReadPlistlibOutputAsTheSameValues) {
  const auto file = folder_.path("theirs.plist");
  ASSERT_EQ(runScript("write", file), 0);
  PropertyListFormat format{};
  auto read =
      readPropertyList(testsupport::readFileBytes(file).value_or(PropertyList::Data{}), &format);
  ASSERT_THAT(read, testsupport::IsOk());
  EXPECT_EQ(format, GetParam());
  EXPECT_EQ(*read, sample(GetParam()));
}

INSTANTIATE_TEST_SUITE_P(BothFormats, PropertyListInteropTest,
                         testing::Values(PropertyListFormat::kBinary, PropertyListFormat::kXml),
                         [](const auto& info) {
                           return info.param == PropertyListFormat::kBinary ? "Binary" : "Xml";
                         });

}  // namespace
}  // namespace zv::platform
