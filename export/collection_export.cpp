// Folder collections, labels and tag collections, recorded for the metadata file.
#include <unordered_map>

#include "export/export_operation.h"
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
    group.set(u"name", collection.name ? *collection.name : platform::localized(u"Untitled"));
    group.set(u"identifier", collection.id);
    PropertyList::Array items(collection.databaseItems.begin(), collection.databaseItems.end());
    group.set(u"items", std::move(items));
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
  // One pass over the labelled items, so that the step is linear in items plus labels.
  std::unordered_map<std::u16string, PropertyList::Array> membersByLabel;
  for (const auto& itemIdentifier : labelledItemOrder_) {
    membersByLabel[itemLabels_.at(itemIdentifier)].emplace_back(itemIdentifier);
  }
  PropertyList::Dictionary records;
  records.reserve(labels.size());
  for (const auto& label : labels) {
    if (isCancelled()) {
      return;
    }
    PropertyList::Dictionary record;
    if (label.name) {
      record.set(u"name", *label.name);
    }
    record.set(u"identifier", label.id);
    // A colour that cannot be had in device RGB reads as black; alpha is always opaque.
    source::DeviceRGBColor color = label.color.value_or(source::DeviceRGBColor{0, 0, 0, 1});
    record.set(u"redComponent", color.red);
    record.set(u"greenComponent", color.green);
    record.set(u"blueComponent", color.blue);
    record.set(u"alphaComponent", 1.0);
    auto members = membersByLabel.find(label.id);
    record.set(u"items", members == membersByLabel.end() ? PropertyList::Array{} : members->second);
    records.set(label.id, std::move(record));
  }
  labelDicts_ = std::move(records);
  // Nothing reads the item-to-label map after this step; the metadata step wants the memory.
  itemLabels_ = {};
  labelledItemOrder_ = {};
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
      search.set(u"name", *collection.name);
    }
    search.set(u"identifier", collection.id);
    search.set(u"matchAll", collection.tagCollectionBehavior == source::kTagCollectionBehaviorAll);
    PropertyList::Array options;
    options.reserve(collection.tags.size());
    for (const auto& tag : collection.tags) {
      PropertyList::Dictionary option;
      option.set(u"key", u"tags.name");
      // A tag without a name matches the empty name rather than vanishing from the search.
      option.set(u"stringValue", tag.name.value_or(u""));
      options.emplace_back(std::move(option));
    }
    search.set(u"searchOptions", std::move(options));
    searches.set(collection.id, std::move(search));
  }
  savedSearchDicts_ = std::move(searches);
}

}  // namespace zv::exporter
