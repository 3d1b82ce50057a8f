#include "export/metadata_records.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <map>
#include <string>
#include <unordered_map>
#include <vector>

#include "export/metadata_keys.h"
#include "platform/binary_property_list.h"
#include "platform/files.h"
#include "platform/temporary_directory.h"
#include "platform/unicode.h"

namespace zv::exporter {
namespace {

using platform::PropertyList;
using platform::URL;

struct OwnedItem {
  std::u16string identifier = {};
  std::u16string fileURL = {};
  bool wasEncrypted = false;
  bool isFavorite = false;
  bool wasNote = false;
  std::optional<std::u16string> comments = std::nullopt;
  std::optional<std::u16string> label = std::nullopt;
  std::u16string tags = {};
};

ItemRecord viewOf(const OwnedItem& item) {
  ItemRecord record{.identifier = item.identifier,
                    .fileURL = item.fileURL,
                    .wasEncrypted = item.wasEncrypted,
                    .isFavorite = item.isFavorite,
                    .wasNote = item.wasNote,
                    .tags = item.tags};
  if (item.comments) {
    record.comments = *item.comments;
  }
  if (item.label) {
    record.label = *item.label;
  }
  return record;
}

PropertyList::Dictionary labelRecord(const std::u16string& identifier) {
  PropertyList::Dictionary record;
  record.set(kNameKey, u"Name of " + identifier);
  record.set(kIdentifierKey, identifier);
  record.set(kRedComponentKey, 0.25);
  record.set(kGreenComponentKey, 0.5);
  record.set(kBlueComponentKey, 1.0);
  record.set(kAlphaComponentKey, 1.0);
  return record;
}

// The metadata file as a whole tree, built as the export built it before its records were
// streamed: the content the streamed file must keep.
PropertyList treeOf(const std::vector<OwnedItem>& items, const PropertyList::Dictionary& labels,
                    const PropertyList::Dictionary& groups,
                    const PropertyList::Dictionary& exporter) {
  PropertyList::Array records;
  std::unordered_map<std::u16string, std::u16string> itemLabels;
  std::vector<std::u16string> labelledOrder;
  for (const OwnedItem& item : items) {
    PropertyList::Dictionary record;
    record.set(kIdentifierKey, item.identifier);
    record.set(kFileURLKey, item.fileURL);
    record.set(kWasEncryptedKey, item.wasEncrypted);
    record.set(kIsFavoriteKey, item.isFavorite);
    if (item.wasNote) {
      record.set(kWasNoteKey, true);
    }
    if (item.comments) {
      record.set(kCommentsKey, *item.comments);
    }
    if (item.label) {
      record.set(kLabelKey, *item.label);
      if (itemLabels.insert_or_assign(item.identifier, *item.label).second) {
        labelledOrder.push_back(item.identifier);
      }
    }
    record.set(kTagsKey, item.tags);
    records.emplace_back(std::move(record));
  }
  std::unordered_map<std::u16string, PropertyList::Array> members;
  for (const auto& identifier : labelledOrder) {
    members[itemLabels.at(identifier)].emplace_back(identifier);
  }
  PropertyList::Dictionary labelsWithItems;
  for (const auto& entry : labels) {
    PropertyList::Dictionary record = *entry.value.asDictionary();
    record.set(kItemsKey, members[entry.key]);
    labelsWithItems.set(entry.key, std::move(record));
  }
  PropertyList::Dictionary files;
  files.set(kNameKey, u"Zelvar");
  files.set(kItemsKey, std::move(records));
  files.set(kFolderURLKey, u"file:///export/Zelvar/");
  PropertyList::Dictionary root;
  root.set(kFilesKey, std::move(files));
  root.set(kLabelsKey, std::move(labelsWithItems));
  root.set(kGroupsKey, groups);
  root.set(kSearchesKey, PropertyList::Dictionary{});
  root.set(kExporterKey, exporter);
  return PropertyList(std::move(root));
}

class MetadataRecordsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto temporary = platform::TemporaryDirectory::create(u"zv-metadata-records-test");
    ASSERT_TRUE(temporary);
    temporary_.emplace(std::move(*temporary));
  }

  URL folder() const { return temporary_->url(); }
  URL fileURL() const { return folder().appendingPathComponent(u"Zelvar.plist"); }

  platform::Result<void> write(const std::vector<OwnedItem>& items,
                               const PropertyList::Dictionary& labels,
                               const PropertyList::Dictionary& groups,
                               const PropertyList::Dictionary& exporter) {
    auto records = MetadataRecords::create(folder());
    EXPECT_TRUE(records);
    for (const OwnedItem& item : items) {
      records->addItem(viewOf(item));
    }
    return records->writeFile(fileURL(), {.rootFolderName = u"Zelvar",
                                          .rootFolderURLString = u"file:///export/Zelvar/",
                                          .labels = &labels,
                                          .groups = &groups,
                                          .exporter = &exporter});
  }

  std::optional<platform::TemporaryDirectory> temporary_;
};

std::vector<OwnedItem> manyItems(int count) {
  std::vector<OwnedItem> items;
  for (int i = 0; i < count; ++i) {
    const std::u16string number = platform::fromUtf8(std::to_string(i));
    OwnedItem item{.identifier = u"ID-" + number,
                   .fileURL = u"file:///export/Zelvar/Item%20" + number + u".rtf",
                   .wasEncrypted = i % 7 == 0,
                   .isFavorite = i % 5 == 0,
                   .wasNote = i % 2 == 0,
                   .tags = i % 3 == 0 ? u"" : u"work,caf\u00e9"};
    if (i % 4 == 0) {
      item.comments = u"note " + number;
    }
    if (i % 3 != 1) {
      item.label = i % 3 == 0 ? u"L1" : u"L2";
    }
    items.push_back(std::move(item));
  }
  // The same identifier labelled again far from its first record, past the offsets kept in
  // memory: it stays where it was first labelled, under its last label.
  items.push_back({.identifier = u"ID-0", .fileURL = u"file:///x", .label = u"L2"});
  return items;
}

TEST_F(MetadataRecordsTest, FileHoldsWhatTheWholeTreeHeld) {
  PropertyList::Dictionary labels;
  labels.set(u"L1", labelRecord(u"L1"));
  labels.set(u"L2", labelRecord(u"L2"));
  labels.set(u"Lonly-skipped", labelRecord(u"Lonly-skipped"));
  PropertyList::Dictionary groups;
  PropertyList::Dictionary group;
  group.set(kNameKey, u"G");
  group.set(kIdentifierKey, u"G");
  group.set(kItemsKey, PropertyList::Array{u"A", u"missing"});
  groups.set(u"G", std::move(group));
  PropertyList::Dictionary exporter;
  exporter.set(u"CFBundleIdentifier", u"org.example.importer");

  struct Case {
    const char* name;
    std::vector<OwnedItem> items;
  };
  const std::vector<Case> cases = {
      {"no items", {}},
      {"optional keys, non-ASCII text, a relabelled and an unknown label",
       {{.identifier = u"A",
         .fileURL = u"file:///export/Zelvar/A.rtf",
         .wasNote = true,
         .comments = u"caf\u00e9 \U0001F600",
         .label = u"L1",
         .tags = u"a,b"},
        {.identifier = u"B", .fileURL = u"file:///export/Zelvar/B.pdf", .isFavorite = true},
        {.identifier = u"C", .fileURL = u"file:///export/Zelvar/C", .label = u"elsewhere"},
        {.identifier = u"A", .fileURL = u"file:///export/Zelvar/A 2.rtf", .label = u"L2"}}},
      {"more objects than one chunk of offsets", manyItems(20'000)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(write(c.items, labels, groups, exporter));
    auto bytes = platform::readFileAtURL(fileURL());
    ASSERT_TRUE(bytes);
    auto streamed = platform::readBinaryPropertyList(*bytes);
    ASSERT_TRUE(streamed) << platform::toUtf8(streamed.error().description);
    const PropertyList expected = treeOf(c.items, labels, groups, exporter);
    EXPECT_EQ(*streamed, expected);
    // An independent reader sees the same, where one is installed.
    if (std::system("python3 -c 'import plistlib' >/dev/null 2>&1") == 0) {
      const URL treeFile = folder().appendingPathComponent(u"tree.plist");
      ASSERT_TRUE(platform::writeFileAtURL(treeFile, *platform::writeBinaryPropertyList(expected),
                                           platform::WriteMode::kReplaceExisting));
      const std::string command =
          "python3 -c 'import plistlib,sys; l=lambda p: plistlib.load(open(p,\"rb\")); "
          "sys.exit(l(sys.argv[1]) != l(sys.argv[2]))' '" +
          fileURL().fileSystemPath() + "' '" + treeFile.fileSystemPath() + "'";
      EXPECT_EQ(std::system(command.c_str()), 0);
    }
  }
}

TEST_F(MetadataRecordsTest, FileIsPrivateReplacesOursAndNeverFollowsALink) {
  const PropertyList::Dictionary none;
  const std::vector<OwnedItem> one = {{.identifier = u"A", .fileURL = u"file:///a"}};
  ASSERT_TRUE(platform::writeFileAtURL(fileURL(), std::vector<std::uint8_t>(100'000, 'x'),
                                       platform::WriteMode::kCreateNew, 0600));
  ASSERT_TRUE(write(one, none, none, none));
  struct stat status {};
  ASSERT_EQ(::stat(fileURL().fileSystemPath().c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0600u);
  auto bytes = platform::readFileAtURL(fileURL());
  ASSERT_TRUE(bytes);
  EXPECT_TRUE(platform::readBinaryPropertyList(*bytes)) << "the old, longer content is gone";

  const URL target = folder().appendingPathComponent(u"target");
  ASSERT_TRUE(platform::writeFileAtURL(target, std::vector<std::uint8_t>{'k'},
                                       platform::WriteMode::kCreateNew, 0600));
  ASSERT_EQ(::unlink(fileURL().fileSystemPath().c_str()), 0);
  ASSERT_EQ(::symlink(target.fileSystemPath().c_str(), fileURL().fileSystemPath().c_str()), 0);
  auto written = write(one, none, none, none);
  ASSERT_FALSE(written);
  EXPECT_FALSE(MetadataRecords::isEncodingError(written.error()));
  EXPECT_EQ(*platform::readFileAtURL(target), std::vector<std::uint8_t>{'k'});
}

TEST_F(MetadataRecordsTest, TextThatIsNotUtf16FailsAsAnEncodingErrorAndWritesNothing) {
  const PropertyList::Dictionary none;
  const std::u16string loneSurrogate(1, static_cast<char16_t>(0xD800));
  auto written = write({{.identifier = u"A", .fileURL = u"file:///a"},
                        {.identifier = loneSurrogate, .fileURL = u"file:///b"}},
                       none, none, none);
  ASSERT_FALSE(written);
  EXPECT_TRUE(MetadataRecords::isEncodingError(written.error()));
  EXPECT_FALSE(platform::itemIsReachableAtURL(fileURL()));
}

}  // namespace
}  // namespace zv::exporter
