#include "export/metadata_records.h"

#include <algorithm>
#include <array>
#include <functional>
#include <limits>
#include <numeric>
#include <span>
#include <utility>

#include "export/metadata_keys.h"
#include "platform/files.h"
#include "platform/localization.h"
#include "platform/platform_errors.h"

namespace zv::exporter {

using platform::BinaryPropertyListStreamWriter;
using platform::PropertyList;
using platform::Result;

namespace {

// References take four bytes: the count of records is unknown when the first is written, and
// anything above 65,536 objects (a few thousand items) needs four anyway.
constexpr std::uint64_t kMaximumObjectCount = std::numeric_limits<std::uint32_t>::max();

// An item record's keys in the record's order, which name their places in kItemKeys and in
// MetadataRecords::itemKeys_.
enum class ItemKey : std::uint8_t {
  kIdentifier,
  kFileURL,
  kWasEncrypted,
  kIsFavorite,
  kWasNote,
  kComments,
  kLabel,
  kTags,
};
constexpr std::array<std::u16string_view, 8> kItemKeys = {
    kIdentifierKey, kFileURLKey,  kWasEncryptedKey, kIsFavoriteKey,
    kWasNoteKey,    kCommentsKey, kLabelKey,        kTagsKey};

}  // namespace

Result<MetadataRecords> MetadataRecords::create(const platform::URL& folder) {
  ZV_ASSIGN_OR_RETURN(platform::ScopedDescriptor body, platform::createUnnamedScratchFile(folder));
  ZV_ASSIGN_OR_RETURN(
      BinaryPropertyListStreamWriter writer,
      BinaryPropertyListStreamWriter::create(body.get(), kMaximumObjectCount, folder));
  return MetadataRecords(std::move(body), std::move(writer));
}

MetadataRecords::MetadataRecords(platform::ScopedDescriptor body,
                                 BinaryPropertyListStreamWriter writer)
    : body_(std::move(body)), writer_(std::move(writer)) {}

bool MetadataRecords::isEncodingError(const platform::Error& error) {
  return error.domain == platform::kPlatformErrorDomain &&
         error.code ==
             static_cast<std::int64_t>(platform::PlatformErrorCode::kPropertyListWriteInvalid);
}

void MetadataRecords::addItem(const ItemRecord& item) {
  if (error_) {
    return;
  }
  Result<ObjectNumber> written = writeItem(item);
  if (!written) {
    error_ = written.error();
    return;
  }
  items_.push_back(*written);
}

std::uint32_t MetadataRecords::labelIndex(std::u16string_view label) {
  if (auto found = labelIndexes_.find(label); found != labelIndexes_.end()) {
    return found->second;
  }
  const auto index = static_cast<std::uint32_t>(labels_.size());
  labelIndexes_.emplace(label, index);
  labels_.emplace_back(label);
  labelStrings_.push_back(0);
  return index;
}

Result<MetadataRecords::ObjectNumber> MetadataRecords::rememberedSharedString(
    ObjectNumber& known, std::u16string_view text) {
  // Keys and labels repeat in every record: once the writer keeps one, its number is taken from
  // here without a lookup. One that the writer no longer keeps is written at each use, as
  // addSharedString does.
  if (known != 0) {
    return known - 1;
  }
  const bool kept = writer_.keepsNewSharedStrings();
  ZV_ASSIGN_OR_RETURN(const ObjectNumber number, writer_.addSharedString(text));
  if (kept) {
    known = number + 1;
  }
  return number;
}

Result<MetadataRecords::ObjectNumber> MetadataRecords::writeItem(const ItemRecord& item) {
  // Keys and values in the order of the record's keys; the optional ones only when present.
  // After a failure the writer fails every call with that failure, so the dictionary that ends
  // the record reports it: no call on the way needs checking.
  std::array<ObjectNumber, kItemKeys.size()> keys{};
  std::array<ObjectNumber, kItemKeys.size()> values{};
  std::size_t count = 0;
  auto add = [&](ItemKey key, const Result<ObjectNumber>& value) {
    const auto index = static_cast<std::size_t>(key);
    const Result<ObjectNumber> keyNumber =
        rememberedSharedString(itemKeys_[index], kItemKeys[index]);
    keys[count] = keyNumber ? *keyNumber : 0;
    values[count] = value ? *value : 0;
    ++count;
  };
  add(ItemKey::kIdentifier, writer_.addString(item.identifier));
  const ObjectNumber identifier = values[0];
  add(ItemKey::kFileURL, writer_.addString(item.fileURL));
  add(ItemKey::kWasEncrypted, writer_.addBoolean(item.wasEncrypted));
  add(ItemKey::kIsFavorite, writer_.addBoolean(item.isFavorite));
  if (item.wasNote) {
    add(ItemKey::kWasNote, writer_.addBoolean(true));
  }
  if (item.comments) {
    add(ItemKey::kComments, writer_.addString(*item.comments));
  }
  if (item.label) {
    const std::uint32_t label = labelIndex(*item.label);
    add(ItemKey::kLabel, rememberedSharedString(labelStrings_[label], *item.label));
    labelledItems_.push_back(
        {std::hash<std::u16string_view>{}(item.identifier), identifier, label});
  }
  add(ItemKey::kTags, writer_.addSharedString(item.tags));
  return writer_.addDictionary(std::span(keys).first(count), std::span(values).first(count));
}

Result<std::vector<std::vector<MetadataRecords::ObjectNumber>>> MetadataRecords::membersByLabel() {
  // An identifier labelled more than once counts once, where it was first labelled, under its
  // last label. Equal hashes find the candidates; their text, read back, decides.
  std::vector<std::uint32_t> byHash(labelledItems_.size());
  std::iota(byHash.begin(), byHash.end(), 0);
  std::stable_sort(byHash.begin(), byHash.end(), [&](std::uint32_t a, std::uint32_t b) {
    return labelledItems_[a].identifierHash < labelledItems_[b].identifierHash;
  });
  std::vector<std::uint8_t> repeated(labelledItems_.size(), 0);
  std::vector<std::uint32_t> finalLabel(labelledItems_.size());
  for (std::size_t i = 0; i < labelledItems_.size(); ++i) {
    finalLabel[i] = labelledItems_[i].label;
  }
  for (std::size_t start = 0; start < byHash.size();) {
    std::size_t end = start + 1;
    while (end < byHash.size() && labelledItems_[byHash[end]].identifierHash ==
                                      labelledItems_[byHash[start]].identifierHash) {
      ++end;
    }
    if (end - start > 1) {
      std::vector<std::u16string> texts;
      for (std::size_t i = start; i < end; ++i) {
        ZV_ASSIGN_OR_RETURN(std::u16string text,
                            writer_.stringAt(labelledItems_[byHash[i]].identifier));
        texts.push_back(std::move(text));
      }
      // byHash keeps each hash's entries in record order: the first of equal texts stays.
      for (std::size_t i = 0; i < texts.size(); ++i) {
        if (repeated[byHash[start + i]] != 0) {
          continue;
        }
        for (std::size_t j = i + 1; j < texts.size(); ++j) {
          if (texts[j] == texts[i]) {
            repeated[byHash[start + j]] = 1;
            finalLabel[byHash[start + i]] = labelledItems_[byHash[start + j]].label;
          }
        }
      }
    }
    start = end;
  }
  std::vector<std::vector<ObjectNumber>> members(labels_.size());
  for (std::size_t i = 0; i < labelledItems_.size(); ++i) {
    if (repeated[i] == 0) {
      members[finalLabel[i]].push_back(labelledItems_[i].identifier);
    }
  }
  return members;
}

Result<MetadataRecords::ObjectNumber> MetadataRecords::writeLabels(
    const PropertyList::Dictionary& labels) {
  ZV_ASSIGN_OR_RETURN(auto members, membersByLabel());
  std::vector<ObjectNumber> labelKeys;
  std::vector<ObjectNumber> labelValues;
  for (const auto& entry : labels) {
    const PropertyList::Dictionary* record = entry.value.asDictionary();
    std::vector<ObjectNumber> keys;
    std::vector<ObjectNumber> values;
    if (record != nullptr) {
      for (const auto& field : *record) {
        ZV_ASSIGN_OR_RETURN(const ObjectNumber key, writer_.addSharedString(field.key));
        ZV_ASSIGN_OR_RETURN(const ObjectNumber value, writer_.addValue(field.value));
        keys.push_back(key);
        values.push_back(value);
      }
    }
    // A label that no exported item carries has no items.
    auto index = labelIndexes_.find(entry.key);
    const std::vector<ObjectNumber> none;
    ZV_ASSIGN_OR_RETURN(
        const ObjectNumber items,
        writer_.addArray(index == labelIndexes_.end() ? none : members[index->second]));
    ZV_ASSIGN_OR_RETURN(const ObjectNumber itemsKey, writer_.addSharedString(kItemsKey));
    keys.push_back(itemsKey);
    values.push_back(items);
    ZV_ASSIGN_OR_RETURN(const ObjectNumber labelKey, writer_.addSharedString(entry.key));
    ZV_ASSIGN_OR_RETURN(const ObjectNumber labelRecord, writer_.addDictionary(keys, values));
    labelKeys.push_back(labelKey);
    labelValues.push_back(labelRecord);
  }
  return writer_.addDictionary(labelKeys, labelValues);
}

Result<void> MetadataRecords::writeFile(const platform::URL& url, const MetadataContent& content) {
  if (error_) {
    return *error_;
  }
  const PropertyList::Dictionary empty;
  auto dictionaryOrEmpty = [&](const PropertyList::Dictionary* dictionary) {
    return writer_.addValue(dictionary != nullptr ? *dictionary : empty);
  };
  std::array<ObjectNumber, 3> filesKeys{};
  std::array<ObjectNumber, 3> filesValues{};
  ZV_ASSIGN_OR_RETURN(filesKeys[0], writer_.addSharedString(kNameKey));
  ZV_ASSIGN_OR_RETURN(filesValues[0], writer_.addSharedString(content.rootFolderName));
  ZV_ASSIGN_OR_RETURN(filesKeys[1], writer_.addSharedString(kItemsKey));
  ZV_ASSIGN_OR_RETURN(filesValues[1], writer_.addArray(items_));
  ZV_ASSIGN_OR_RETURN(filesKeys[2], writer_.addSharedString(kFolderURLKey));
  ZV_ASSIGN_OR_RETURN(filesValues[2], writer_.addSharedString(content.rootFolderURLString));

  std::array<ObjectNumber, 5> rootKeys{};
  std::array<ObjectNumber, 5> rootValues{};
  ZV_ASSIGN_OR_RETURN(rootKeys[0], writer_.addSharedString(kFilesKey));
  ZV_ASSIGN_OR_RETURN(rootValues[0], writer_.addDictionary(filesKeys, filesValues));
  ZV_ASSIGN_OR_RETURN(rootKeys[1], writer_.addSharedString(kLabelsKey));
  ZV_ASSIGN_OR_RETURN(rootValues[1],
                      writeLabels(content.labels != nullptr ? *content.labels : empty));
  ZV_ASSIGN_OR_RETURN(rootKeys[2], writer_.addSharedString(kGroupsKey));
  ZV_ASSIGN_OR_RETURN(rootValues[2], dictionaryOrEmpty(content.groups));
  ZV_ASSIGN_OR_RETURN(rootKeys[3], writer_.addSharedString(kSearchesKey));
  ZV_ASSIGN_OR_RETURN(rootValues[3], dictionaryOrEmpty(content.searches));
  ZV_ASSIGN_OR_RETURN(rootKeys[4], writer_.addSharedString(kExporterKey));
  ZV_ASSIGN_OR_RETURN(rootValues[4], dictionaryOrEmpty(content.exporter));
  ZV_ASSIGN_OR_RETURN(const ObjectNumber root, writer_.addDictionary(rootKeys, rootValues));
  ZV_TRY(writer_.finish(root));
  return platform::writeFileAtURL(url, body_.get(), platform::WriteMode::kReplaceExisting, 0600);
}

std::size_t MetadataRecords::memoryBytes() const {
  // Each label's text is held twice: in labels_ and as a key of labelIndexes_.
  std::size_t labelBytes = 0;
  for (const auto& label : labels_) {
    labelBytes += 2 * (sizeof(std::u16string) + label.capacity() * sizeof(char16_t));
  }
  return writer_.memoryBytes() + items_.capacity() * sizeof(ObjectNumber) +
         labelStrings_.capacity() * sizeof(ObjectNumber) +
         labelledItems_.capacity() * sizeof(LabelledItem) + labelBytes;
}

}  // namespace zv::exporter
