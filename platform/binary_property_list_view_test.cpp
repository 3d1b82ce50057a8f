#include "platform/binary_property_list_view.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "platform/binary_property_list.h"
#include "platform/binary_property_list_view_comparison.h"
#include "platform/unicode.h"
#include "testsupport/binary_property_list_bytes.h"
#include "testsupport/file_contents.h"
#include "testsupport/result_matchers.h"

namespace zv::platform {
namespace {

using testsupport::assembleBinaryPropertyList;
using testsupport::IsOk;

using Bytes = std::vector<std::uint8_t>;

// A dictionary of count keys "k0", "k1", ... (objects 1..count) valued by integers
// (objects count+1...), whose key references are keyRefs.
Bytes dictionaryWithKeys(const std::vector<std::uint8_t>& keyRefs, std::size_t keyCount) {
  Bytes dictionary = {0xDF, 0x10, static_cast<std::uint8_t>(keyRefs.size())};
  dictionary.insert(dictionary.end(), keyRefs.begin(), keyRefs.end());
  for (std::size_t i = 0; i < keyRefs.size(); ++i) {
    dictionary.push_back(static_cast<std::uint8_t>(keyCount + 1 + i));
  }
  std::vector<Bytes> objects = {dictionary};
  for (std::size_t i = 0; i < keyCount; ++i) {
    const std::string key = "k" + std::to_string(i);
    Bytes object = {static_cast<std::uint8_t>(0x50 | key.size())};
    object.insert(object.end(), key.begin(), key.end());
    objects.push_back(object);
  }
  for (std::size_t i = 0; i < keyRefs.size(); ++i) {
    objects.push_back({0x10, static_cast<std::uint8_t>(i)});
  }
  return assembleBinaryPropertyList(objects);
}

// {k: 1, j: 2, k (as UTF-16): 3}
Bytes keyRepeatedAsAsciiAndUtf16() {
  const Bytes dictionary = {0xD3, 1, 2, 3, 4, 5, 6};
  return assembleBinaryPropertyList(
      {dictionary, {0x51, 'k'}, {0x51, 'j'}, {0x61, 0, 'k'}, {0x10, 1}, {0x10, 2}, {0x10, 3}});
}

class Generator {
 public:
  explicit Generator(unsigned seed) : random_(seed) {}

  PropertyList value(int depth) {
    switch (pick(depth > 3 ? 7 : 9)) {
      case 0:
        return PropertyList(text());
      case 1: {
        const std::int64_t integers[] = {0, 1, 255, 256, 65'535, 1LL << 40, -1, INT64_MIN};
        return PropertyList(integers[pick(std::size(integers))]);
      }
      case 2:
        return PropertyList(UINT64_MAX - pick(3));
      case 3:
        return PropertyList(static_cast<double>(pick(1000)) / 7);
      case 4:
        return PropertyList(pick(2) == 0);
      case 5:
        return PropertyList(Date{static_cast<double>(pick(1'000'000))});
      case 6:
        return pick(2) == 0 ? PropertyList(PropertyListUid{pick(70'000)})
                            : PropertyList(PropertyList::Data(pick(20), 0xAB));
      case 7: {
        PropertyList::Array array;
        for (std::size_t i = pick(18); i > 0; --i) {
          array.push_back(value(depth + 1));
        }
        return PropertyList(std::move(array));
      }
      default: {
        PropertyList::Dictionary dictionary;
        for (std::size_t i = pick(20); i > 0; --i) {
          dictionary.set(text(), value(depth + 1));
        }
        return PropertyList(std::move(dictionary));
      }
    }
  }

  std::size_t pick(std::size_t bound) {
    return std::uniform_int_distribution<std::size_t>(0, bound - 1)(random_);
  }

 private:
  // Few distinct texts, so that keys and values share objects; long ones take a count object.
  std::u16string text() {
    const std::u16string texts[] = {u"",
                                    u"a",
                                    u"identifier",
                                    u"caf\u00e9",
                                    u"\U0001F600x",
                                    u"a string longer than fifteen units",
                                    u"\u00e9t\u00e9, long enough for a count"};
    return texts[pick(std::size(texts))];
  }

  std::mt19937 random_;
};

// Both readers must agree on every input: both fail with the same description, or both succeed
// and the view shows the tree.
void expectSameAsTree(const Bytes& bytes) {
  const auto tree = readBinaryPropertyList(bytes);
  const auto view = BinaryPropertyListView::open(bytes);
  ASSERT_EQ(tree.ok(), view.ok()) << (tree.ok() ? toUtf8(view.error().description)
                                                : toUtf8(tree.error().description));
  if (!tree.ok()) {
    EXPECT_EQ(view.error().code, tree.error().code);
    EXPECT_EQ(toUtf8(view.error().description), toUtf8(tree.error().description));
    return;
  }
  EXPECT_EQ(viewDifference(view->root(), *tree), "");
}

TEST(BinaryPropertyListViewTest, AcceptsAndShowsExactlyWhatTheTreeReaderDoes) {
  std::vector<Bytes> inputs;
  Generator generator(20'261'208);
  for (int i = 0; i < 200; ++i) {
    auto written = writeBinaryPropertyList(generator.value(0));
    ASSERT_THAT(written, IsOk());
    inputs.push_back(*written);
  }
  // Damage: one byte anywhere (the trailer and offset table included), or a cut.
  const std::size_t wellFormed = inputs.size();
  for (std::size_t i = 0; i < wellFormed; ++i) {
    for (int damage = 0; damage < 20; ++damage) {
      Bytes damaged = inputs[i];
      const std::size_t at = generator.pick(damaged.size());
      if (damage == 0) {
        damaged.resize(at);
      } else {
        damaged[at] = static_cast<std::uint8_t>(generator.pick(256));
      }
      inputs.push_back(std::move(damaged));
    }
  }
  for (const auto& entry : std::filesystem::directory_iterator(
           ZV_SOURCE_DIR "/fuzz/corpus/binary_property_list_fuzzer")) {
    inputs.push_back(testsupport::readFileBytes(entry.path()).value_or(Bytes{}));
  }
  // Keys repeated by the same object, by an equal ASCII and UTF-16 text, and among many keys.
  inputs.push_back(assembleBinaryPropertyList(
      {{0xD3, 1, 1, 2, 3, 4, 5}, {0x51, 'k'}, {0x51, 'j'}, {0x10, 1}, {0x10, 2}, {0x10, 3}}));
  inputs.push_back(keyRepeatedAsAsciiAndUtf16());
  inputs.push_back(dictionaryWithKeys(
      {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 3, 21, 1, 3}, 21));
  for (const Bytes& input : inputs) {
    SCOPED_TRACE(input.size());
    expectSameAsTree(input);
  }
}

TEST(BinaryPropertyListViewTest, RepeatedKeysShowOnceInFirstPlaceWithLastValue) {
  auto view = BinaryPropertyListView::open(keyRepeatedAsAsciiAndUtf16());
  ASSERT_THAT(view, IsOk());
  const auto root = view->root();
  ASSERT_EQ(root.size(), 2U);
  EXPECT_TRUE(root.key(0) == u"k");
  EXPECT_EQ(root.value(0).asInteger(), PropertyListInteger(3));
  EXPECT_TRUE(root.key(1) == u"j");
  EXPECT_EQ(root.find(u"k")->asInteger(), PropertyListInteger(3));
  EXPECT_FALSE(root.find(u"x"));
}

TEST(BinaryPropertyListViewTest, ValuesOfAnotherTypeAnswerNothing) {
  // ["é", 7] in a view that keeps its bytes and is moved before it is read.
  auto opened = BinaryPropertyListView::open(
      assembleBinaryPropertyList({{0xA2, 1, 2}, {0x61, 0, 0xE9}, {0x10, 7}}));
  ASSERT_THAT(opened, IsOk());
  const BinaryPropertyListView view = std::move(*opened);
  const auto root = view.root();
  const auto text = root.element(0);
  EXPECT_FALSE(root.find(u"a"));
  EXPECT_FALSE(root.asString());
  EXPECT_EQ(text.size(), 0U);
  EXPECT_FALSE(text.asInteger());
  EXPECT_FALSE(text.asString()->asciiText());
  EXPECT_EQ(text.asString()->decoded(), u"\u00e9");
  EXPECT_FALSE(root.element(1).asReal());
  EXPECT_FALSE(root.element(1).asBoolean());
  EXPECT_FALSE(root.element(1).asData());
}

}  // namespace
}  // namespace zv::platform
