#include "platform/binary_property_list_stream.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include "platform/binary_property_list.h"
#include "platform/platform_errors.h"
#include "platform/temporary_directory.h"

namespace zv::platform {
namespace {

using Writer = BinaryPropertyListStreamWriter;

class BinaryPropertyListStreamTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto temporary = TemporaryDirectory::create(u"zv-plist-stream-test");
    ASSERT_TRUE(temporary);
    temporary_.emplace(std::move(*temporary));
    auto output = createUnnamedScratchFile(temporary_->url());
    ASSERT_TRUE(output);
    output_ = std::move(*output);
  }

  Result<Writer> makeWriter(std::uint64_t maximumObjectCount) {
    return Writer::create(output_.get(), maximumObjectCount, temporary_->url());
  }

  std::vector<std::uint8_t> written() const {
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(::lseek(output_.get(), 0, SEEK_END)));
    EXPECT_EQ(::pread(output_.get(), bytes.data(), bytes.size(), 0),
              static_cast<ssize_t>(bytes.size()));
    return bytes;
  }

  std::optional<TemporaryDirectory> temporary_;
  ScopedDescriptor output_;
};

TEST_F(BinaryPropertyListStreamTest, StreamedValuesReadBackAsWritten) {
  PropertyList::Dictionary nested;
  nested.set(u"caf\u00e9 \U0001F600", PropertyList::Array{true, false, 0.5, u"x"});
  nested.set(u"long", std::u16string(300'000, u'y'));
  const std::vector<PropertyList> cases = {
      PropertyList(u"only a string"),
      PropertyList(PropertyList::Array{}),
      PropertyList(std::move(nested)),
  };
  for (const PropertyList& value : cases) {
    SCOPED_TRACE(static_cast<int>(value.type()));
    ASSERT_EQ(::ftruncate(output_.get(), 0), 0);
    ASSERT_EQ(::lseek(output_.get(), 0, SEEK_SET), 0);
    auto writer = makeWriter(1'000);
    ASSERT_TRUE(writer);
    auto root = writer->addValue(value);
    ASSERT_TRUE(root);
    ASSERT_TRUE(writer->finish(*root));
    auto read = readBinaryPropertyList(written());
    ASSERT_TRUE(read) << std::string(read.error().description.begin(),
                                     read.error().description.end());
    EXPECT_EQ(*read, value);
  }
}

TEST_F(BinaryPropertyListStreamTest, MisuseFailsAsAnEncodingErrorAndStaysFailed) {
  struct Case {
    const char* name;
    std::function<Result<Writer::ObjectNumber>(Writer&)> misuse;
  };
  const std::vector<Case> cases = {
      {"a reference to an object not yet written",
       [](Writer& writer) {
         const Writer::ObjectNumber ahead[] = {5};
         return writer.addArray(ahead);
       }},
      {"more objects than the maximum given",
       [](Writer& writer) {
         static_cast<void>(writer.addString(u"a"));
         static_cast<void>(writer.addString(u"b"));
         return writer.addString(u"c");
       }},
      {"a lone surrogate",
       [](Writer& writer) { return writer.addString(std::u16string(1, char16_t{0xD800})); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto writer = makeWriter(2);
    ASSERT_TRUE(writer);
    auto failed = c.misuse(*writer);
    ASSERT_FALSE(failed);
    EXPECT_EQ(failed.error().code,
              static_cast<std::int64_t>(PlatformErrorCode::kPropertyListWriteInvalid));
    EXPECT_FALSE(writer->finish(0));
  }
}

}  // namespace
}  // namespace zv::platform
