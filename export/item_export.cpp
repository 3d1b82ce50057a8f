// The phases that have the source write each database item as a file and move it into the
// export's root folder.
#include "export/export_errors.h"
#include "export/export_operation.h"
#include "export/item_file_dates.h"
#include "export/metadata_keys.h"
#include "export/root_folder_names.h"
#include "export/source_call.h"
#include "platform/containers.h"
#include "platform/content_type.h"
#include "platform/file_attributes.h"
#include "platform/files.h"
#include "platform/localization.h"
#include "platform/log.h"
#include "platform/property_list_serialization.h"
#include "text/file_name_extensions.h"

namespace zv::exporter {

using platform::Error;
using platform::formatLocalized;
using platform::logFormat;
using platform::PropertyList;
using platform::URL;
using source::DatabaseItem;
using source::ItemKind;

namespace {

// The temporary folder holds payload copies; with this prefix a later run finds and removes the
// folder of a run that a signal ended before it could clean up.
constexpr char16_t kTemporaryFolderPrefix[] = u"ZelvarExport";

std::u16string joinedTagNames(const std::vector<source::Tag>& tags) {
  std::u16string joined;
  for (const auto& tag : tags) {
    if (!tag.name) {
      continue;
    }
    if (!joined.empty()) {
      joined += u',';
    }
    joined += *tag.name;
  }
  return joined;
}

// The file name for an exported item, before it is made unique. Names are untrusted: whatever
// they hold, the result is one non-empty name for a file directly in the root folder.
std::u16string fileNameForItem(const DatabaseItem& item, const URL& fileURL) {
  std::u16string name = sanitizedFileNameForTitle(item.name);
  if (name.empty()) {
    name = sanitizedFileNameForTitle(item.id);
  }
  if (name.empty()) {
    name = platform::localized(u"Untitled");
  }
  std::u16string fileExtension = fileURL.pathExtension();
  // A file without an extension gives nothing to append; "Version 1.2" must not become "1.2.".
  if (!fileExtension.empty() && text::splitFileNameExtension(name).extension != fileExtension) {
    name += u'.';
    name += fileExtension;
  }
  return name;
}

// What a web archive may be unwrapped into: documents and media, which open in a viewer.
// Anything else (launchers, scripts, programs, libraries, installers, and the text types that
// are really code) could run when opened, and so stays inside the archive.
bool isDocumentOrMediaType(const platform::ContentType& type) {
  std::optional<std::u16string> mimeType = type.preferredMIMEType();
  if (!mimeType) {
    return false;
  }
  for (std::u16string_view media : {u"image/", u"audio/", u"video/"}) {
    if (mimeType->starts_with(media)) {
      return true;
    }
  }
  for (std::u16string_view document : {u"application/pdf", u"text/plain", u"text/markdown"}) {
    if (*mimeType == document) {
      return true;
    }
  }
  return false;
}

}  // namespace

bool ZVExportOperation::exportNotes(std::optional<Error>& error) {
  return exportItemsOfKind(ItemKind::note, error);
}

bool ZVExportOperation::exportSerialNumbers(std::optional<Error>& error) {
  return exportItemsOfKind(ItemKind::serialNumber, error);
}

bool ZVExportOperation::exportPasswords(std::optional<Error>& error) {
  return exportItemsOfKind(ItemKind::password, error);
}

bool ZVExportOperation::exportImages(std::optional<Error>& error) {
  return exportItemsOfKind(ItemKind::image, error);
}

bool ZVExportOperation::exportPDFs(std::optional<Error>& error) {
  return exportItemsOfKind(ItemKind::pdfArchive, error);
}

bool ZVExportOperation::exportWebArchives(std::optional<Error>& error) {
  return exportItemsOfKind(ItemKind::webArchive, error);
}

bool ZVExportOperation::exportItemsOfKind(ItemKind kind, std::optional<Error>& error) {
  const ItemPhase& phase = itemPhase(kind);
  auto items = beginItemPhase(phase);
  if (!items) {
    return true;
  }
  return exportDatabaseItemsAsFiles(*items, phase.convertToNotes, phase.alwaysEncrypt, error);
}

std::optional<std::vector<DatabaseItem>> ZVExportOperation::beginItemPhase(const ItemPhase& phase) {
  if (phase.needsPasswordOption && !exportPasswordItems_) {
    platform::log(u"Skipping export of passwords");
    return std::nullopt;
  }
  if (isCancelled()) {
    return std::nullopt;
  }
  platform::log(phase.logLine);
  setProgressDescription(phase.progressDescription, true);
  return sourceValue(zelvarApp()->getItems(phase.kind));
}

platform::Result<URL> ZVExportOperation::temporaryDirectory() {
  if (!temporaryDirectory_) {
    for (const auto& removed :
         platform::TemporaryDirectory::removeAbandoned(kTemporaryFolderPrefix)) {
      if (removed) {
        logFormat(u"Removed abandoned temporary folder: %@", {removed->path()});
      } else {
        logFormat(u"Couldn't remove abandoned temporary folder: %@", {removed.error().description});
      }
    }
    ZV_ASSIGN_OR_RETURN(auto created,
                        platform::TemporaryDirectory::createForThisProcess(kTemporaryFolderPrefix));
    temporaryDirectory_ = std::make_unique<platform::TemporaryDirectory>(std::move(created));
  }
  return temporaryDirectory_->url();
}

bool ZVExportOperation::exportDatabaseItemsAsFiles(const std::vector<DatabaseItem>& items,
                                                   bool convertToNotes, bool alwaysEncrypt,
                                                   std::optional<Error>& error) {
  if (items.empty()) {
    return true;
  }
  auto temporary = temporaryDirectory();
  if (!temporary) {
    error = makeImportError(
        kFileExportErrorCode,
        formatLocalized(u"Cannot create a temporary folder: %@", {temporary.error().description}));
    return false;
  }
  const URL temporaryFolder = *temporary;
  const URL rootFolder = *rootFolderURL();
  auto library = zelvarApp();
  for (const DatabaseItem& item : items) {
    if (isCancelled()) {
      return true;
    }
    const bool encrypted = alwaysEncrypt || item.encrypted.value_or(false);
    if (encrypted && !exportEncryptedItems_) {
      logFormat(u"Skipping encrypted item: %@", {item.id});
      skipItem(item);
      continue;
    }
    if (item.name.empty()) {
      logFormat(u"Skipping item %@, because it has no name.", {item.id});
      skipItem(item);
      continue;
    }
    logFormat(u"Exporting item: %@", {item.id});
    std::optional<URL> exported = sourceValue(library->exportItem(item, temporaryFolder));
    if (!exported) {
      if (encrypted) {
        logFormat(u"Skipping encrypted item that wasn't returned: %@", {item.id});
        skipItem(item);
        continue;
      }
      error = makeImportError(
          kFileExportErrorCode,
          formatLocalized(u"Cannot export “%@”. An unknown error occurred.", {item.name}));
      addCompletedItem(item);
      return false;
    }
    URL fileURL = convertedFileURLForExportedFileURL(*exported);

    const platform::Result<bool> datesRestored = restoreItemDatesAtURL(item, fileURL);
    if (!datesRestored) {
      logFormat(u"Couldn't restore file attributes on %@: %@",
                {fileURL.path(), datesRestored.error().description});
    }

    platform::Result<URL> destination = rootFolderNames_.placeFileUnderFreeName(
        rootFolder, fileNameForItem(item, fileURL), [&](const URL& candidate) {
          return platform::moveItemAtURLWithoutReplacing(fileURL, candidate);
        });
    if (!destination) {
      error = makeImportError(
          kFileExportErrorCode,
          formatLocalized(u"Cannot move exported file: %@", {destination.error().description}));
      addCompletedItem(item);
      return false;
    }
    // Checked where the file ends up: a move to another file system copies the dates anew.
    if (datesRestored.ok() && *datesRestored) {
      logItemDateOutsideFileSystemRange(item, *destination);
    }
    addInfoForItem(item, *destination, convertToNotes, encrypted);
    ++summary_.exported[item.kind];
    addCompletedItem(item);
    logFormat(u"Finished exporting item: %@", {item.id});
  }
  return true;
}

void ZVExportOperation::addInfoForItem(const DatabaseItem& item, const URL& fileURL,
                                       bool convertToNote, bool shouldEncrypt) {
  MetadataRecords* records = metadataRecords();
  if (records == nullptr) {
    return;
  }
  const std::u16string fileURLString = fileURL.absoluteString();
  const std::u16string tags = joinedTagNames(item.tags);
  ItemRecord record{.identifier = item.id,
                    .fileURL = fileURLString,
                    .wasEncrypted = shouldEncrypt,
                    .isFavorite = item.flagged,
                    .wasNote = convertToNote,
                    .tags = tags};
  if (item.comments) {
    record.comments = *item.comments;
  }
  if (item.label) {
    record.label = *item.label;
  }
  records->addItem(record);
}

MetadataRecords* ZVExportOperation::metadataRecords() {
  if (!metadataRecords_ && !metadataRecordsError_) {
    // Scratch space in the export folder, which this run made and owns.
    auto created = MetadataRecords::create(*exportFolderURL());
    if (!created) {
      metadataRecordsError_ = created.error();
      return nullptr;
    }
    metadataRecords_.emplace(std::move(*created));
  }
  return metadataRecords_ ? &*metadataRecords_ : nullptr;
}

URL ZVExportOperation::convertedFileURLForExportedFileURL(const URL& fileURL) {
  auto type = platform::contentTypeOfItemAtURL(fileURL);
  if (!type || !type->conformsTo(platform::ContentType::webArchive())) {
    return fileURL;
  }
  // What cannot be converted stays a web archive, which the target application can import.
  auto staysArchive = [&](std::u16string_view reason) {
    logFormat(u"Keeping web archive %@: %@", {fileURL.path(), std::u16string(reason)});
    return fileURL;
  };
  auto bytes = platform::readFileAtURL(fileURL, platform::kPropertyListMaximumInputSize);
  if (!bytes) {
    return fileURL;
  }
  auto archive = platform::readPropertyList(*bytes);
  if (!archive) {
    return staysArchive(archive.error().description);
  }
  const PropertyList* mainResource =
      archive->asDictionary() ? archive->asDictionary()->find(u"WebMainResource") : nullptr;
  if (mainResource == nullptr || mainResource->asDictionary() == nullptr) {
    return staysArchive(u"it has no main resource");
  }
  const PropertyList* mimeValue = mainResource->asDictionary()->find(u"WebResourceMIMEType");
  if (mimeValue == nullptr || mimeValue->asString() == nullptr) {
    return staysArchive(u"its main resource has no MIME type");
  }
  auto mainType = platform::ContentType::withMIMEType(*mimeValue->asString());
  if (!mainType) {
    return staysArchive(u"its MIME type " + *mimeValue->asString() + u" is unknown");
  }
  if (mainType->conformsTo(platform::ContentType::html()) ||
      mainType->conformsTo(platform::ContentType::webArchive())) {
    return fileURL;
  }
  if (!isDocumentOrMediaType(*mainType)) {
    return staysArchive(u"its MIME type " + *mimeValue->asString() +
                        u" is not that of a document or of media");
  }
  auto extension = mainType->preferredFilenameExtension();
  if (!extension) {
    return staysArchive(u"its MIME type " + *mimeValue->asString() + u" has no file extension");
  }
  std::u16string oldName = fileURL.lastPathComponent();
  std::u16string newName =
      std::u16string(text::splitFileNameExtension(oldName).base) + u"." + *extension;
  if (newName == oldName) {
    return fileURL;
  }
  const PropertyList* data = mainResource->asDictionary()->find(u"WebResourceData");
  if (data == nullptr || data->asData() == nullptr) {
    return staysArchive(u"its main resource has no data");
  }
  logFormat(u"Converting web archive %@ to %@", {fileURL.absoluteString(), newName});
  URL newURL = fileURL.deletingLastPathComponent().appendingPathComponent(newName);
  if (auto written =
          platform::writeFileAtURL(newURL, *data->asData(), platform::WriteMode::kCreateNew, 0600);
      !written) {
    logFormat(u"Couldn't save converted file: %@", {written.error().description});
    return fileURL;
  }
  return newURL;
}

}  // namespace zv::exporter
