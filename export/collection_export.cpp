// Folder collections, labels and tag collections, recorded for the metadata file.
#include "export/export_operation.h"
#include "export/metadata_keys.h"
#include "export/source_call.h"
#include "platform/localization.h"
#include "platform/log.h"

namespace zv::exporter {

using platform::PropertyList;

void ZVExportOperation::exportCollections() {
  exportFolderCollections();
  exportLabels();
  exportTagCollections();
}

void ZVExportOperation::exportFolderCollections() {
  if (isCancelled()) {
    return;
  }
  platform::log(u"Exporting folder collections");
  setProgressDescription(u"Exporting collections…", false);
  auto collections = sourceValue(zelvarApp()->getFolderCollections());
  PropertyList::Dictionary groups;
  groups.reserve(collections.size());
  for (const auto& collection : collections) {
    if (isCancelled()) {
      return;
    }
    PropertyList::Dictionary group;
    group.set(kNameKey, collection.name ? *collection.name : platform::localized(u"Untitled"));
    group.set(kIdentifierKey, collection.id);
    PropertyList::Array items(collection.databaseItems.begin(), collection.databaseItems.end());
    group.set(kItemsKey, std::move(items));
    groups.set(collection.id, std::move(group));
  }
  groupDicts_ = std::move(groups);
}

void ZVExportOperation::exportLabels() {
  if (isCancelled()) {
    return;
  }
  platform::log(u"Exporting labels");
  setProgressDescription(u"Exporting labels…", false);
  auto labels = sourceValue(zelvarApp()->getLabels());
  PropertyList::Dictionary records;
  records.reserve(labels.size());
  for (const auto& label : labels) {
    if (isCancelled()) {
      return;
    }
    PropertyList::Dictionary record;
    if (label.name) {
      record.set(kNameKey, *label.name);
    }
    record.set(kIdentifierKey, label.id);
    // A colour that cannot be had in device RGB reads as black; alpha is always opaque.
    source::DeviceRGBColor color = label.color.value_or(source::DeviceRGBColor{0, 0, 0, 1});
    record.set(kRedComponentKey, color.red);
    record.set(kGreenComponentKey, color.green);
    record.set(kBlueComponentKey, color.blue);
    record.set(kAlphaComponentKey, 1.0);
    // "items" follows from the item records when the metadata file is written.
    records.set(label.id, std::move(record));
  }
  labelDicts_ = std::move(records);
}

void ZVExportOperation::exportTagCollections() {
  if (isCancelled()) {
    return;
  }
  platform::log(u"Exporting tag collections");
  setProgressDescription(u"Exporting tag collections…", false);
  auto collections = sourceValue(zelvarApp()->getTagCollections());
  PropertyList::Dictionary searches;
  searches.reserve(collections.size());
  for (const auto& collection : collections) {
    if (isCancelled()) {
      return;
    }
    PropertyList::Dictionary search;
    if (collection.name) {
      search.set(kNameKey, *collection.name);
    }
    search.set(kIdentifierKey, collection.id);
    search.set(kMatchAllKey, collection.tagCollectionBehavior == source::kTagCollectionBehaviorAll);
    PropertyList::Array options;
    options.reserve(collection.tags.size());
    for (const auto& tag : collection.tags) {
      PropertyList::Dictionary option;
      option.set(kSearchOptionKeyKey, kTagNameSearchKey);
      // A tag without a name matches the empty name rather than vanishing from the search.
      option.set(kSearchOptionStringValueKey, tag.name.value_or(u""));
      options.emplace_back(std::move(option));
    }
    search.set(kSearchOptionsKey, std::move(options));
    searches.set(collection.id, std::move(search));
  }
  savedSearchDicts_ = std::move(searches);
}

}  // namespace zv::exporter
