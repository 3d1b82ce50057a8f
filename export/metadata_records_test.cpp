#include "export/metadata_records.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <deque>
#include <filesystem>
#include <map>
#include <string>
#include <unordered_map>
#include <vector>

#include "export/metadata_keys.h"
#include "platform/binary_property_list.h"
#include "platform/files.h"
#include "platform/unicode.h"
#include "testsupport/file_contents.h"
#include "testsupport/result_matchers.h"
#include "testsupport/temporary_folder.h"

namespace zv::exporter {
namespace {

using platform::PropertyList;
using platform::URL;
using testsupport::IsOk;
using testsupport::readFileText;
using testsupport::writeFileText;

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
PropertyList treeOf(const std::vector<ItemRecord>& items, const PropertyList::Dictionary& labels,
                    const PropertyList::Dictionary& groups,
                    const PropertyList::Dictionary& exporter) {
  PropertyList::Array records;
  std::unordered_map<std::u16string_view, std::u16string_view> itemLabels;
  std::vector<std::u16string_view> labelledOrder;
  for (const ItemRecord& item : items) {
    PropertyList::Dictionary record;
    record.set(kIdentifierKey, std::u16string(item.identifier));
    record.set(kFileURLKey, std::u16string(item.fileURL));
    record.set(kWasEncryptedKey, item.wasEncrypted);
    record.set(kIsFavoriteKey, item.isFavorite);
    if (item.wasNote) {
      record.set(kWasNoteKey, true);
    }
    if (item.comments) {
      record.set(kCommentsKey, std::u16string(*item.comments));
    }
    if (item.label) {
      record.set(kLabelKey, std::u16string(*item.label));
      if (itemLabels.insert_or_assign(item.identifier, *item.label).second) {
        labelledOrder.push_back(item.identifier);
      }
    }
    record.set(kTagsKey, std::u16string(item.tags));
    records.emplace_back(std::move(record));
  }
  std::unordered_map<std::u16string, PropertyList::Array> members;
  for (const auto identifier : labelledOrder) {
    members[std::u16string(itemLabels.at(identifier))].emplace_back(std::u16string(identifier));
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

class MetadataRecordsTest : public testsupport::TemporaryFolderTest {
 protected:
  URL fileURL() const { return at(u"Zelvar.plist"); }

  platform::Result<void> write(const std::vector<ItemRecord>& items,
                               const PropertyList::Dictionary& labels,
                               const PropertyList::Dictionary& groups,
                               const PropertyList::Dictionary& exporter) {
    auto records = MetadataRecords::create(folder_.url());
    EXPECT_THAT(records, IsOk());
    for (const ItemRecord& item : items) {
      records->addItem(item);
    }
    return records->writeFile(fileURL(), {.rootFolderName = u"Zelvar",
                                          .rootFolderURLString = u"file:///export/Zelvar/",
                                          .labels = &labels,
                                          .groups = &groups,
                                          .exporter = &exporter});
  }
};

// Item records whose text lives in `text`.
std::vector<ItemRecord> manyItems(int count, std::deque<std::u16string>& text) {
  std::vector<ItemRecord> items;
  for (int i = 0; i < count; ++i) {
    const std::u16string number = platform::fromUtf8(std::to_string(i));
    ItemRecord item{
        .identifier = text.emplace_back(u"ID-" + number),
        .fileURL = text.emplace_back(u"file:///export/Zelvar/Item%20" + number + u".rtf"),
        .wasEncrypted = i % 7 == 0,
        .isFavorite = i % 5 == 0,
        .wasNote = i % 2 == 0,
        .tags = i % 3 == 0 ? u"" : u"work,caf\u00e9"};
    if (i % 4 == 0) {
      item.comments = text.emplace_back(u"note " + number);
    }
    if (i % 3 != 1) {
      item.label = i % 3 == 0 ? u"L1" : u"L2";
    }
    items.push_back(item);
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

  std::deque<std::u16string> text;
  struct Case {
    const char* name;
    std::vector<ItemRecord> items;
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
      {"more objects than one chunk of offsets", manyItems(20'000, text)},
  };
  // Longer content of ours goes whole when the file is replaced.
  ASSERT_TRUE(writeFileText(pathOf(u"Zelvar.plist"), std::string(100'000, 'x')));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_THAT(write(c.items, labels, groups, exporter), IsOk());
    EXPECT_EQ(std::filesystem::status(pathOf(u"Zelvar.plist")).permissions(),
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    auto streamed = platform::readBinaryPropertyList(*platform::readFileAtURL(fileURL()));
    ASSERT_THAT(streamed, IsOk());
    const PropertyList expected = treeOf(c.items, labels, groups, exporter);
    EXPECT_EQ(*streamed, expected);
    // An independent reader sees the same, where one is installed.
    if (std::system("python3 -c 'import plistlib' >/dev/null 2>&1") == 0) {
      const URL treeFile = at(u"tree.plist");
      ASSERT_THAT(platform::writeFileAtURL(treeFile, *platform::writeBinaryPropertyList(expected),
                                           platform::WriteMode::kReplaceExisting),
                  IsOk());
      const std::string command =
          "python3 -c 'import plistlib,sys; l=lambda p: plistlib.load(open(p,\"rb\")); "
          "sys.exit(l(sys.argv[1]) != l(sys.argv[2]))' '" +
          fileURL().fileSystemPath() + "' '" + treeFile.fileSystemPath() + "'";
      EXPECT_EQ(std::system(command.c_str()), 0);
    }
  }
}

TEST_F(MetadataRecordsTest, KeyFirstUsedOnceTheWriterSharesNoMoreIsWrittenAtEachUse) {
  // Distinct tags fill the writer's shared strings before any record is a note.
  std::deque<std::u16string> text;
  std::vector<ItemRecord> items;
  for (std::size_t i = 0; i < platform::BinaryPropertyListStreamWriter::kMaximumSharedStrings;
       ++i) {
    items.push_back({.identifier = u"A",
                     .fileURL = u"file:///a",
                     .tags = text.emplace_back(platform::fromUtf8(std::to_string(i)))});
  }
  const int notes = 3;
  for (int i = 0; i < notes; ++i) {
    items.push_back({.identifier = u"B", .fileURL = u"file:///b", .wasNote = true});
  }
  const PropertyList::Dictionary none;
  ASSERT_THAT(write(items, none, none, none), IsOk());
  const std::string bytes = *readFileText(fileURL());
  // An ASCII string object of seven characters.
  const std::string key = "\x57wasNote";
  int written = 0;
  for (auto at = bytes.find(key); at != std::string::npos; at = bytes.find(key, at + 1)) {
    ++written;
  }
  EXPECT_EQ(written, notes);
  auto read = platform::readBinaryPropertyList(*platform::readFileAtURL(fileURL()));
  ASSERT_THAT(read, IsOk());
  EXPECT_EQ(*read, treeOf(items, none, none, none));
}

TEST_F(MetadataRecordsTest, LinkWhereTheFileGoesIsNeitherFollowedNorReplaced) {
  const PropertyList::Dictionary none;
  const std::string target = pathOf(u"target");
  ASSERT_TRUE(writeFileText(target, "k"));
  ASSERT_EQ(::symlink(target.c_str(), pathOf(u"Zelvar.plist").c_str()), 0);
  auto written = write({{.identifier = u"A", .fileURL = u"file:///a"}}, none, none, none);
  ASSERT_FALSE(written);
  EXPECT_FALSE(MetadataRecords::isEncodingError(written.error()));
  EXPECT_EQ(readFileText(target), "k");
  EXPECT_TRUE(std::filesystem::is_symlink(pathOf(u"Zelvar.plist")));
}

}  // namespace
}  // namespace zv::exporter
