// The metadata file, written last: everything the exported files cannot carry.
#include "export/export_errors.h"
#include "export/export_operation.h"
#include "export/metadata_keys.h"
#include "platform/bundle_info.h"
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

  platform::URL fileURL = exportFolderURL()->appendingPathComponent(kMetadataFileName);
  const PropertyList::Dictionary exporter = exporterRecord();
  MetadataRecords* records = metadataRecords();
  platform::Result<void> written =
      metadataRecordsError_
          ? platform::Result<void>(*metadataRecordsError_)
          : records->writeFile(fileURL,
                               {.rootFolderName = rootFolderName_,
                                .rootFolderURLString = rootFolderURLString_,
                                .labels = labelDicts_ ? &*labelDicts_ : nullptr,
                                .groups = groupDicts_ ? &*groupDicts_ : nullptr,
                                .searches = savedSearchDicts_ ? &*savedSearchDicts_ : nullptr,
                                .exporter = &exporter});
  // The scratch files go with the records.
  metadataRecords_.reset();
  if (!written) {
    const std::u16string& description = written.error().description;
    if (MetadataRecords::isEncodingError(written.error())) {
      error = makeImportError(
          kSourceFailedErrorCode,
          formatLocalized(u"Cannot create data for metadata file: %@", {description}));
    } else {
      error = makeImportError(kSaveErrorCode,
                              formatLocalized(u"Cannot save metadata file: %@", {description}));
    }
    platform::logFormat(u"Error creating plist: %@", {description});
    return false;
  }
  std::lock_guard lock(mutex_);
  metadataFileURL_ = fileURL;
  return true;
}

}  // namespace zv::exporter
