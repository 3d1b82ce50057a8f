#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/binary_property_list_stream.h"
#include "platform/property_list.h"
#include "platform/result.h"
#include "platform/scoped_descriptor.h"
#include "platform/url.h"

namespace zv::exporter {

/// What the metadata file says about one exported file.
struct ItemRecord {
  std::u16string_view identifier = {};
  std::u16string_view fileURL = {};
  bool wasEncrypted = false;
  bool isFavorite = false;
  /// The file is to become a note.
  bool wasNote = false;
  std::optional<std::u16string_view> comments = std::nullopt;
  /// The label's identifier.
  std::optional<std::u16string_view> label = std::nullopt;
  /// The tag names joined with ",".
  std::u16string_view tags = {};
};

/// What the metadata file holds besides the item records; labels without their "items", which
/// come from the item records.
struct MetadataContent {
  std::u16string_view rootFolderName = {};
  std::u16string_view rootFolderURLString = {};
  const platform::PropertyList::Dictionary* labels = nullptr;
  const platform::PropertyList::Dictionary* groups = nullptr;
  const platform::PropertyList::Dictionary* searches = nullptr;
  const platform::PropertyList::Dictionary* exporter = nullptr;
};

/// The metadata file's item records, written into an unnamed scratch file as the items are
/// exported, so that memory grows with the distinct shared strings (keys, labels, tag lists) and a
/// few bytes an item, never with the records' text. writeFile() completes the binary property
/// list and writes it in place.
class MetadataRecords {
 public:
  /// Records kept in scratch files in `folder`, which the run owns.
  static platform::Result<MetadataRecords> create(const platform::URL& folder);

  /// Adds the record of the next exported file. A failure is kept for writeFile(), which
  /// reports it; later records are then dropped.
  void addItem(const ItemRecord& item);

  /// Completes the property list with content and writes it at url (mode 0600, replacing a
  /// regular file there, never following a link). The records cannot be written twice.
  platform::Result<void> writeFile(const platform::URL& url, const MetadataContent& content);

  /// True for an error of making the property list, false for one of storing it.
  static bool isEncodingError(const platform::Error& error);

  /// Bytes these records hold in memory.
  std::size_t memoryBytes() const;

 private:
  using ObjectNumber = platform::BinaryPropertyListStreamWriter::ObjectNumber;

  // A labelled item: its identifier's object, its label, and a hash that finds repeated
  // identifiers without keeping their text.
  struct LabelledItem {
    std::uint64_t identifierHash;
    ObjectNumber identifier;
    std::uint32_t label;
  };

  MetadataRecords(platform::ScopedDescriptor body, platform::BinaryPropertyListStreamWriter writer);
  // Finds labels by a view of their text, without making a string of it.
  struct TextHash {
    using is_transparent = void;
    std::size_t operator()(std::u16string_view text) const {
      return std::hash<std::u16string_view>{}(text);
    }
  };

  platform::Result<ObjectNumber> writeItem(const ItemRecord& item);
  platform::Result<ObjectNumber> rememberedSharedString(ObjectNumber& known,
                                                        std::u16string_view text);
  std::uint32_t labelIndex(std::u16string_view label);
  // Per label index, the identifier objects of its items.
  platform::Result<std::vector<std::vector<ObjectNumber>>> membersByLabel();
  platform::Result<ObjectNumber> writeLabels(const platform::PropertyList::Dictionary& labels);

  platform::ScopedDescriptor body_;
  platform::BinaryPropertyListStreamWriter writer_;
  std::vector<ObjectNumber> items_;
  // The item record's keys and, per label index, the label's string: their object numbers plus
  // one, 0 until known.
  std::array<ObjectNumber, 8> itemKeys_{};
  std::vector<ObjectNumber> labelStrings_;
  std::vector<std::u16string> labels_;
  std::unordered_map<std::u16string, std::uint32_t, TextHash, std::equal_to<>> labelIndexes_;
  std::vector<LabelledItem> labelledItems_;
  std::optional<platform::Error> error_;
};

}  // namespace zv::exporter
