// The metadata file, written last: everything the exported files cannot carry.
#include "export/export_errors.h"
#include "export/export_operation.h"
#include "export/metadata_keys.h"
#include "platform/binary_property_list.h"
#include "platform/bundle_info.h"
#include "platform/files.h"
#include "platform/localization.h"
#include "platform/log.h"

namespace zv::exporter {

using platform::formatLocalized;
using platform::PropertyList;

namespace {

constexpr char16_t kMetadataFileName[] = u"Zelvar.plist";

PropertyList::Dictionary exporterRecord() {
  PropertyList::Dictionary exporter;
  exporter.set(platform::kBundleIdentifierKey, std::u16string(platform::kBundleIdentifier));
  exporter.set(platform::kBundleVersionKey, std::u16string(platform::kBundleVersion));
  exporter.set(platform::kBundleShortVersionStringKey,
               std::u16string(platform::kBundleShortVersionString));
  return exporter;
}

}  // namespace

bool ZVExportOperation::writeMetadataFile(std::optional<platform::Error>& error) {
  if (isCancelled()) {
    return true;
  }
  platform::log(u"Preparing metadata file");
  runOnMainQueueAndWait([progress = exportProgress_, text = platform::localized(u"Finishing…")] {
    progress->setLocalizedDescription(text);
    progress->setTotalUnitCount(-1);
  });

  PropertyList::Dictionary files;
  files.set(kNameKey, rootFolderName_);
  files.set(kItemsKey, std::move(rootFolderItems_));
  files.set(kFolderURLKey, rootFolderURLString_);
  rootFolderItems_.clear();

  PropertyList::Dictionary root;
  root.set(kFilesKey, std::move(files));
  root.set(kLabelsKey, std::move(labelDicts_).value_or(PropertyList::Dictionary{}));
  root.set(kGroupsKey, std::move(groupDicts_).value_or(PropertyList::Dictionary{}));
  root.set(kSearchesKey, std::move(savedSearchDicts_).value_or(PropertyList::Dictionary{}));
  root.set(kExporterKey, exporterRecord());

  auto bytes = platform::writeBinaryPropertyList(PropertyList(std::move(root)));
  if (!bytes) {
    error = makeImportError(
        kSourceFailedErrorCode,
        formatLocalized(u"Cannot create data for metadata file: %@", {bytes.error().description}));
    platform::logFormat(u"Error creating plist: %@", {bytes.error().description});
    return false;
  }
  platform::URL fileURL = exportFolderURL()->appendingPathComponent(kMetadataFileName);
  if (auto written =
          platform::writeFileAtURL(fileURL, *bytes, platform::WriteMode::kReplaceExisting, 0600);
      !written) {
    error = makeImportError(kSaveErrorCode, formatLocalized(u"Cannot save metadata file: %@",
                                                            {written.error().description}));
    platform::logFormat(u"Error creating plist: %@", {written.error().description});
    return false;
  }
  std::lock_guard lock(mutex_);
  metadataFileURL_ = fileURL;
  return true;
}

}  // namespace zv::exporter
