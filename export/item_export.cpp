// The phases that have the source write each database item as a file and move it into the
// export's root folder.
#include "export/export_errors.h"
#include "export/export_operation.h"
#include "export/item_file_dates.h"
#include "export/item_file_names.h"
#include "export/metadata_keys.h"
#include "export/root_folder_names.h"
#include "export/source_call.h"
#include "platform/content_type.h"
#include "platform/exclusive_file.h"
#include "platform/file_attributes.h"
#include "platform/files.h"
#include "platform/localization.h"
#include "platform/log.h"
#include "platform/property_list_serialization.h"
#include "platform/temporary_directory.h"
#include "platform/unicode.h"
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
  // Sized first: one allocation an item, not one per doubling.
  std::size_t size = 0;
  for (const auto& tag : tags) {
    size += tag.name ? tag.name->size() + 1 : 0;
  }
  std::u16string joined;
  joined.reserve(size);
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

}  // namespace

std::u16string fileNameForItem(const DatabaseItem& item, std::u16string_view fileExtension) {
  std::u16string name = sanitizedFileNameForTitle(item.name);
  if (name.empty()) {
    name = sanitizedFileNameForTitle(item.id);
  }
  if (name.empty()) {
    name = platform::localized(u"Untitled");
  }
  // A file without an extension gives nothing to append; "Version 1.2" must not become "1.2.".
  if (!fileExtension.empty() && text::splitFileNameExtension(name).extension != fileExtension) {
    name += u'.';
    name += fileExtension;
  }
  return name;
}

std::u16string extensionOfFileName(std::u16string_view fileName) {
  // As in a URL's path, a trailing "/" ends no component; npos + 1 is 0, so a name without a "/"
  // is its own last component.
  std::u16string_view lastComponent = fileName;
  while (lastComponent.ends_with(u'/')) {
    lastComponent.remove_suffix(1);
  }
  lastComponent = lastComponent.substr(lastComponent.rfind(u'/') + 1);
  return std::u16string(text::splitFileNameExtension(lastComponent).extension);
}

namespace {

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

std::optional<ConvertedWebArchive> convertedWebArchive(std::span<const std::uint8_t> bytes,
                                                       std::u16string_view fileName,
                                                       std::u16string_view shownAs) {
  // What cannot be converted stays a web archive, which the target application can import.
  auto staysArchive = [&](std::u16string_view reason) {
    logFormat(u"Keeping web archive %@: %@", {std::u16string(shownAs), std::u16string(reason)});
    return std::nullopt;
  };
  auto archive = platform::readPropertyList(bytes);
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
    return std::nullopt;
  }
  if (!isDocumentOrMediaType(*mainType)) {
    return staysArchive(u"its MIME type " + *mimeValue->asString() +
                        u" is not that of a document or of media");
  }
  auto extension = mainType->preferredFilenameExtension();
  if (!extension) {
    return staysArchive(u"its MIME type " + *mimeValue->asString() + u" has no file extension");
  }
  std::u16string newName =
      std::u16string(text::splitFileNameExtension(fileName).base) + u"." + *extension;
  if (newName == fileName) {
    return std::nullopt;
  }
  const PropertyList* data = mainResource->asDictionary()->find(u"WebResourceData");
  if (data == nullptr || data->asData() == nullptr) {
    return staysArchive(u"its main resource has no data");
  }
  return ConvertedWebArchive{std::move(newName), *data->asData()};
}

bool isWebArchiveExtension(std::u16string_view extension) {
  if (extension.empty()) {
    return false;
  }
  // Asked once per item, mostly with the extension asked before; the type database is read once
  // per process, so an answer never goes stale.
  thread_local std::u16string lastExtension;
  thread_local bool lastAnswer = false;
  if (extension != lastExtension || lastExtension.empty()) {
    auto type = platform::ContentType::withFilenameExtension(std::u16string(extension));
    lastAnswer = type && type->conformsTo(platform::ContentType::webArchive());
    lastExtension = extension;
  }
  return lastAnswer;
}

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
  if (!beginItemPhase(phase)) {
    return true;
  }
  return exportDatabaseItemsAsFiles(kind, phase.convertToNotes, phase.alwaysEncrypt, error);
}

bool ZVExportOperation::beginItemPhase(const ItemPhase& phase) {
  if (phase.needsPasswordOption && !exportPasswordItems_) {
    platform::log(u"Skipping export of passwords");
    reportKindLeftOut(phase.kind, SkipReason::passwordsLeftOut);
    return false;
  }
  if (isCancelled()) {
    return false;
  }
  platform::log(phase.logLine);
  setProgressDescription(phase.progressDescription, true);
  return true;
}

void ZVExportOperation::removeAbandonedTemporaryFolders() {
  if (std::exchange(abandonedTemporaryFoldersRemoved_, true)) {
    return;
  }
  for (const auto& removed :
       platform::TemporaryDirectory::removeAbandoned(kTemporaryFolderPrefix)) {
    if (removed) {
      logFormat(u"Removed abandoned temporary folder: %@", {removed->path()});
    } else {
      logFormat(u"Couldn't remove abandoned temporary folder: %@", {removed.error().description});
    }
  }
}

platform::Result<URL> ZVExportOperation::temporaryDirectory() {
  if (!temporaryDirectory_) {
    removeAbandonedTemporaryFolders();
    ZV_ASSIGN_OR_RETURN(auto created,
                        platform::TemporaryDirectory::createForThisProcess(kTemporaryFolderPrefix));
    temporaryDirectory_ = std::make_unique<platform::TemporaryDirectory>(std::move(created));
  }
  return temporaryDirectory_->url();
}

bool ZVExportOperation::exportDatabaseItemsAsFiles(ItemKind kind, bool convertToNotes,
                                                   bool alwaysEncrypt,
                                                   std::optional<Error>& error) {
  auto library = zelvarApp();
  // A payload handed over is written straight under its final name: no temporary folder, whose
  // creations compete with everything else under the system's, and no move.
  const bool direct = library->canOpenItemPayloads();
  const URL rootFolder = *rootFolderURL();
  std::optional<URL> temporaryFolder;
  bool succeeded = true;
  auto stop = [&succeeded] {
    succeeded = false;
    return false;
  };
  auto exportItem = [&](const DatabaseItem& item) {
    if (direct) {
      removeAbandonedTemporaryFolders();
    } else if (!temporaryFolder) {
      auto temporary = temporaryDirectory();
      if (!temporary) {
        error = makeImportError(kFileExportErrorCode,
                                formatLocalized(u"Cannot create a temporary folder: %@",
                                                {temporary.error().description}));
        return stop();
      }
      temporaryFolder = *temporary;
    }
    if (isCancelled()) {
      return false;
    }
    const bool encrypted = alwaysEncrypt || item.encrypted.value_or(false);
    if (encrypted && !exportEncryptedItems_) {
      logFormat(u"Skipping encrypted item: %@", {item.id});
      skipItem(item, SkipReason::encrypted);
      return true;
    }
    if (item.name.empty()) {
      logFormat(u"Skipping item %@, because it has no name.", {item.id});
      skipItem(item, SkipReason::noName);
      return true;
    }
    logFormat(u"Exporting item: %@", {item.id});
    std::optional<PlacedFile> placed;
    switch (direct ? writeItemPayload(item, rootFolder, placed, error)
                   : exportItemThroughFolder(item, *temporaryFolder, rootFolder, placed, error)) {
      case ItemFileOutcome::kPlaced:
        break;
      case ItemFileOutcome::kCancelled:
        return false;
      case ItemFileOutcome::kFailed:
        addCompletedItem(item);
        return stop();
      case ItemFileOutcome::kNotReturned:
        if (encrypted) {
          logFormat(u"Skipping encrypted item that wasn't returned: %@", {item.id});
          skipItem(item, SkipReason::encryptedNotReturned);
          return true;
        }
        error = makeImportError(
            kFileExportErrorCode,
            formatLocalized(u"Cannot export “%@”. An unknown error occurred.", {item.name}));
        addCompletedItem(item);
        return stop();
    }
    // Checked where the file ends up: a move to another file system copies the dates anew.
    if (placed->datesRestored) {
      logItemDateOutsideFileSystemRange(item, placed->url);
    }
    addInfoForItem(item, placed->url, convertToNotes, encrypted);
    ++summary_.exported[item.kind];
    addCompletedItem(item);
    if (itemObserver_) {
      itemObserver_->itemExported(
          item, placed->converted ? PlannedOutcome::converted : PlannedOutcome::exported,
          placed->url);
    }
    logFormat(u"Finished exporting item: %@", {item.id});
    return true;
  };
  sourceValue(library->forEachItem(kind, exportItem));
  return succeeded;
}

ZVExportOperation::ItemFileOutcome ZVExportOperation::exportItemThroughFolder(
    const DatabaseItem& item, const URL& temporaryFolder, const URL& rootFolder,
    std::optional<PlacedFile>& placed, std::optional<Error>& error) {
  std::optional<URL> exported = sourceValue(zelvarApp()->exportItem(item, temporaryFolder));
  if (!exported) {
    return ItemFileOutcome::kNotReturned;
  }
  URL fileURL = convertedFileURLForExportedFileURL(*exported);
  const bool converted = fileURL != *exported;

  const platform::Result<bool> datesRestored = restoreItemDatesAtURL(item, fileURL);
  if (!datesRestored) {
    logFormat(u"Couldn't restore file attributes on %@: %@",
              {fileURL.path(), datesRestored.error().description});
  }

  platform::Result<URL> destination = rootFolderNames_.placeFileUnderFreeName(
      rootFolder, fileNameForItem(item, fileURL.pathExtension()), [&](const URL& candidate) {
        return platform::moveItemAtURLWithoutReplacing(fileURL, candidate);
      });
  if (!destination) {
    error = makeImportError(
        kFileExportErrorCode,
        formatLocalized(u"Cannot move exported file: %@", {destination.error().description}));
    return ItemFileOutcome::kFailed;
  }
  placed = PlacedFile{*destination, datesRestored.ok() && *datesRestored, converted};
  return ItemFileOutcome::kPlaced;
}

ZVExportOperation::ItemFileOutcome ZVExportOperation::writeItemPayload(
    const DatabaseItem& item, const URL& rootFolder, std::optional<PlacedFile>& placed,
    std::optional<Error>& error) {
  std::optional<source::ItemPayload> payload = sourceValue(zelvarApp()->openItemPayload(item));
  if (!payload) {
    return ItemFileOutcome::kNotReturned;
  }
  const int input = payload->file.get();
  const std::string inputName = platform::toUtf8(payload->displayName);
  const std::u16string payloadExtension = extensionOfFileName(payload->fileName);

  // A web archive may become its main resource, which decides the name; archives are bounded
  // in size, so one is read and converted in memory. One that cannot be read so is copied as
  // it stands, like any other payload.
  std::optional<std::vector<std::uint8_t>> archive;
  std::optional<ConvertedWebArchive> converted;
  if (isWebArchiveExtension(payloadExtension)) {
    for (int attempt = 1; attempt <= 2 && !archive; ++attempt) {
      auto bytes =
          platform::readOpenFileContent(input, inputName, platform::kPropertyListMaximumInputSize);
      if (bytes) {
        archive = std::move(*bytes);
      } else if (!platform::isFileError(bytes.error(),
                                        platform::FileErrorCode::kChangedWhileCopied)) {
        break;
      }
    }
    if (archive) {
      converted = convertedWebArchive(*archive, payload->fileName, payload->displayName);
    }
  }

  platform::CopyStep failedStep = platform::CopyStep::kWriting;
  // Puts a new file under the first free name for wantedName, filled by fill; a file that cannot
  // be finished is removed again.
  auto placeNewFile =
      [&](std::u16string_view wantedName,
          const std::function<platform::Result<void>(platform::ExclusiveFile&)>& fill)
      -> platform::Result<PlacedFile> {
    failedStep = platform::CopyStep::kWriting;
    std::optional<platform::ExclusiveFile> file;
    ZV_ASSIGN_OR_RETURN(
        URL destination,
        rootFolderNames_.placeFileUnderFreeName(
            rootFolder, wantedName, [&](const URL& candidate) -> platform::Result<void> {
              ZV_ASSIGN_OR_RETURN(auto created, platform::ExclusiveFile::createAtURL(candidate));
              file.emplace(std::move(created));
              return {};
            }));
    ZV_TRY(fill(*file));
    const platform::Result<bool> datesRestored =
        restoreItemDatesOfOpenFile(item, file->descriptor(), file->path());
    if (!datesRestored) {
      logFormat(u"Couldn't restore file attributes on %@: %@",
                {platform::fromUtf8(file->path()), datesRestored.error().description});
    }
    ZV_TRY(file->finish());
    return PlacedFile{destination, datesRestored.ok() && *datesRestored};
  };

  std::optional<platform::Result<PlacedFile>> result;
  if (converted) {
    logFormat(u"Converting web archive %@ to %@", {payload->displayName, converted->fileName});
    result = placeNewFile(
        fileNameForItem(item, extensionOfFileName(converted->fileName)),
        [&](platform::ExclusiveFile& file) { return file.writeContent(converted->data); });
    if (!*result) {
      logFormat(u"Couldn't save converted file: %@", {result->error().description});
      result.reset();
    } else {
      (*result)->converted = true;
    }
  }
  if (!result) {
    result = placeNewFile(fileNameForItem(item, payloadExtension),
                          [&](platform::ExclusiveFile& file) -> platform::Result<void> {
                            if (archive) {
                              return file.writeContent(*archive);
                            }
                            return copyPayloadContent(file, *payload, inputName, failedStep);
                          });
  }
  if (*result) {
    placed = std::move(**result);
    return ItemFileOutcome::kPlaced;
  }
  const Error& failure = result->error();
  if (failure.domain == platform::kCocoaErrorDomain &&
      failure.code == platform::kUserCancelledErrorCode) {
    return ItemFileOutcome::kCancelled;
  }
  if (platform::isFileError(failure, platform::FileErrorCode::kChangedWhileCopied)) {
    throw SourceCallFailed(u"The file “" + payload->displayName +
                           u"” changed while it was being copied.");
  }
  if (failedStep == platform::CopyStep::kReading) {
    throw SourceCallFailed(u"The file \"" + payload->displayName + u"\" cannot be copied: " +
                           failure.description);
  }
  error = makeImportError(kFileExportErrorCode,
                          formatLocalized(u"Cannot move exported file: %@", {failure.description}));
  return ItemFileOutcome::kFailed;
}

platform::Result<void> ZVExportOperation::copyPayloadContent(platform::ExclusiveFile& file,
                                                             const source::ItemPayload& payload,
                                                             const std::string& inputName,
                                                             platform::CopyStep& failedStep) {
  // A payload that changes while it is copied would give a torn file. It is copied once more,
  // since whoever wrote it has mostly finished by then; one that changes again fails the item.
  // The second copy measures the file afresh, not as it was opened.
  for (int attempt = 1;; ++attempt) {
    const struct stat* openedStatus = attempt == 1 && payload.status ? &*payload.status : nullptr;
    platform::Result<void> copied = file.copyContentFrom(
        payload.file.get(), inputName, [this] { return isCancelled(); }, &failedStep, openedStatus);
    if (copied || attempt == 2 ||
        !platform::isFileError(copied.error(), platform::FileErrorCode::kChangedWhileCopied)) {
      return copied;
    }
  }
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
  auto bytes = platform::readFileAtURL(fileURL, platform::kPropertyListMaximumInputSize);
  if (!bytes) {
    return fileURL;
  }
  auto converted = convertedWebArchive(*bytes, fileURL.lastPathComponent(), fileURL.path());
  if (!converted) {
    return fileURL;
  }
  logFormat(u"Converting web archive %@ to %@", {fileURL.absoluteString(), converted->fileName});
  URL newURL = fileURL.deletingLastPathComponent().appendingPathComponent(converted->fileName);
  if (auto written =
          platform::writeFileAtURL(newURL, converted->data, platform::WriteMode::kCreateNew, 0600);
      !written) {
    logFormat(u"Couldn't save converted file: %@", {written.error().description});
    return fileURL;
  }
  return newURL;
}

}  // namespace zv::exporter
