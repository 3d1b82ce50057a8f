#include "platform/binary_property_list_stream.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/binary_property_list.h"
#include "platform/binary_property_list_encoding.h"
#include "platform/platform_errors.h"
#include "platform/unicode.h"
#include "testsupport/result_matchers.h"
#include "testsupport/temporary_folder.h"

namespace zv::platform {
namespace {

using testsupport::IsOk;
using testsupport::IsPlatformError;
using Writer = BinaryPropertyListStreamWriter;

class BinaryPropertyListStreamTest : public testsupport::TemporaryFolderTest {
 protected:
  void SetUp() override {
    auto output = createUnnamedScratchFile(folder_.url());
    ASSERT_THAT(output, IsOk());
    output_ = std::move(*output);
  }

  Result<Writer> makeWriter(std::uint64_t maximumObjectCount) {
    return Writer::create(output_.get(), maximumObjectCount, folder_.url());
  }

  std::vector<std::uint8_t> written() const {
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(::lseek(output_.get(), 0, SEEK_END)));
    EXPECT_EQ(::pread(output_.get(), bytes.data(), bytes.size(), 0),
              static_cast<ssize_t>(bytes.size()));
    return bytes;
  }

  ScopedDescriptor output_;
};

// Two different strings whose hashes agree in the bits the string tables keep; found by a
// birthday search, which needs about 2^16 candidates.
std::pair<std::u16string, std::u16string> stringsWithCollidingHashes() {
  std::unordered_map<std::uint32_t, std::u16string> seen;
  for (int i = 0; i < 2'000'000; ++i) {
    std::u16string text = fromUtf8("item-" + std::to_string(i));
    const auto tag = static_cast<std::uint32_t>(bplist::hashText(text) >> 32);
    auto [found, inserted] = seen.try_emplace(tag, text);
    if (!inserted) {
      return {found->second, text};
    }
  }
  return {};
}

TEST_F(BinaryPropertyListStreamTest, StreamedValuesReadBackAsWritten) {
  PropertyList::Dictionary nested;
  nested.set(u"caf\u00e9 \U0001F600", PropertyList::Array{true, false, 0.5, u"x"});
  nested.set(u"long", std::u16string(300'000, u'y'));
  const auto [first, second] = stringsWithCollidingHashes();
  ASSERT_FALSE(first.empty()) << "no colliding pair found";
  const std::pair<const char*, PropertyList> cases[] = {
      {"a string alone", PropertyList(u"only a string")},
      {"an empty array", PropertyList(PropertyList::Array{})},
      {"nested, non-ASCII and long", PropertyList(std::move(nested))},
      {"strings whose hashes collide",
       PropertyList(PropertyList::Array{first, second, first, second})},
  };
  for (const auto& [name, value] : cases) {
    SCOPED_TRACE(name);
    ASSERT_EQ(::ftruncate(output_.get(), 0), 0);
    ASSERT_EQ(::lseek(output_.get(), 0, SEEK_SET), 0);
    auto writer = makeWriter(1'000);
    ASSERT_THAT(writer, IsOk());
    auto root = writer->addValue(value);
    ASSERT_THAT(root, IsOk());
    ASSERT_THAT(writer->finish(*root), IsOk());
    // The tree writer merges equal strings by the same hash, so it is checked on each value too.
    auto tree = writeBinaryPropertyList(value);
    ASSERT_THAT(tree, IsOk());
    for (const std::vector<std::uint8_t>& bytes : {written(), *tree}) {
      auto read = readBinaryPropertyList(bytes);
      ASSERT_THAT(read, IsOk());
      EXPECT_EQ(*read, value);
    }
  }
}

TEST_F(BinaryPropertyListStreamTest, MisuseFailsAsAnEncodingErrorAndStaysFailed) {
  const auto invalid = IsPlatformError(PlatformErrorCode::kPropertyListWriteInvalid);
  {
    auto writer = makeWriter(2);
    ASSERT_THAT(writer, IsOk());
    const Writer::ObjectNumber notYetWritten[] = {5};
    EXPECT_THAT(writer->addArray(notYetWritten), invalid);
    EXPECT_THAT(writer->finish(0), invalid);
  }
  {
    auto writer = makeWriter(2);
    ASSERT_THAT(writer, IsOk());
    ASSERT_THAT(writer->addString(u"a"), IsOk());
    ASSERT_THAT(writer->addString(u"b"), IsOk());
    EXPECT_THAT(writer->addString(u"c"), invalid) << "more objects than the maximum given";
    EXPECT_THAT(writer->finish(0), invalid);
  }
  auto writer = makeWriter(2);
  ASSERT_THAT(writer, IsOk());
  EXPECT_THAT(writer->addString(std::u16string(1, char16_t{0xD800})), invalid);
  EXPECT_THAT(writer->finish(0), invalid);
}

}  // namespace
}  // namespace zv::platform
