#pragma once

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "export/metadata_records.h"
#include "export/root_folder_names.h"
#include "platform/file_lock.h"
#include "platform/main_queue.h"
#include "platform/operation.h"
#include "platform/progress.h"
#include "platform/property_list.h"
#include "platform/result.h"
#include "platform/url.h"
#include "source/source_library.h"

namespace zv::platform {
class TemporaryDirectory;
}

namespace zv::exporter {

/// What one run did, per kind of item, for summaries and tests.
struct ExportSummary {
  std::map<source::ItemKind, std::int64_t> exported;
  std::map<source::ItemKind, std::int64_t> skipped;
  std::int64_t exportedTotal() const;
  std::int64_t skippedTotal() const;
};

class ZVExportOperation;

/// How the export deals with one kind of item: a row of ZVExportOperation's phase table. Rows
/// name only the flags they set.
struct ItemPhase {
  source::ItemKind kind;
  /// The exported files are to become notes when imported.
  bool convertToNotes = false;
  /// Every item counts as encrypted, whatever it says.
  bool alwaysEncrypt = false;
  /// With encrypted items left out, the progress total leaves this kind's out too. Counting them
  /// means fetching the items, so kinds that skip none by themselves are counted as they stand.
  bool totalLeavesOutEncrypted = false;
  /// Exported only when the user asks for password items.
  bool needsPasswordOption = false;
  /// Bookmarks have a phase of their own; the other kinds' phases share one worker.
  bool (ZVExportOperation::*run)(std::optional<platform::Error>& error);
  std::u16string_view logLine;
  std::u16string_view progressDescription;
};

/// Runs one whole export of a source library into the target application's container: prepares
/// the export folder, exports every item as a file, records collections, labels and saved
/// searches, and writes the metadata file. Runs on an operation queue's thread; progress and
/// the completion callback reach the main queue. One operation runs one export.
class ZVExportOperation : public platform::Operation {
 public:
  /// Receives exactly once, on the main thread, either an error or the metadata file's URL.
  using CompletionBlock =
      std::function<void(std::optional<platform::Error>, std::optional<platform::URL>)>;

  ZVExportOperation(std::shared_ptr<source::SourceLibrary> zelvarApp,
                    platform::MainQueue& mainQueue);
  ~ZVExportOperation() override;

  // Set by the creator before the operation starts.
  void setExportPasswordItems(bool value) { exportPasswordItems_ = value; }
  void setExportEncryptedItems(bool value) { exportEncryptedItems_ = value; }
  bool exportPasswordItems() const { return exportPasswordItems_; }
  bool exportEncryptedItems() const { return exportEncryptedItems_; }
  void setExportCompletionBlock(CompletionBlock block);
  /// The application-group container to export into; without one the platform's container of
  /// the target application is used.
  void setContainerURL(std::optional<platform::URL> url);

  std::shared_ptr<source::SourceLibrary> zelvarApp() const;
  void setZelvarApp(std::shared_ptr<source::SourceLibrary> library);
  std::optional<platform::URL> exportFolderURL() const;
  std::optional<platform::URL> rootFolderURL() const;
  std::optional<platform::URL> metadataFileURL() const;

  /// The progress object; changed only on the main thread.
  std::shared_ptr<platform::Progress> progress() const { return exportProgress_; }
  /// Valid once the completion callback has run.
  const ExportSummary& summary() const { return summary_; }

  /// Runs the whole export on the calling thread, even when cancelled before it began (so that
  /// the callback still reports the cancellation).
  void start() override;
  /// Marks the operation cancelled and tells the progress object on the main queue.
  void cancel() override;

 private:
  // Lifecycle and driver.
  bool createExportFolder(std::optional<platform::Error>& error);
  // Fails when the library lies in the export folder that a run replaces, or the export
  // folder would lie in the library.
  platform::Result<void> checkLibraryOverlap(const platform::URL& container) const;
  bool performExport(std::optional<platform::Error>& error);
  void updateProgressForItems();
  void endWithError(std::optional<platform::Error> error);
  void addCompletedItem(const source::DatabaseItem& item);
  void skipItem(const source::DatabaseItem& item);
  void setProgressDescription(std::u16string_view description, bool wait);
  void runOnMainQueueAndWait(std::function<void()> block);

  // Items as files.
  bool exportNotes(std::optional<platform::Error>& error);
  bool exportSerialNumbers(std::optional<platform::Error>& error);
  bool exportPasswords(std::optional<platform::Error>& error);
  bool exportImages(std::optional<platform::Error>& error);
  bool exportPDFs(std::optional<platform::Error>& error);
  bool exportWebArchives(std::optional<platform::Error>& error);
  bool exportItemsOfKind(source::ItemKind kind, std::optional<platform::Error>& error);
  bool exportDatabaseItemsAsFiles(const std::vector<source::DatabaseItem>& items,
                                  bool convertToNotes, bool alwaysEncrypt,
                                  std::optional<platform::Error>& error);
  void addInfoForItem(const source::DatabaseItem& item, const platform::URL& fileURL,
                      bool convertToNote, bool shouldEncrypt);
  // The metadata file's records, made at the first use; null when they could not be made.
  MetadataRecords* metadataRecords();
  platform::URL convertedFileURLForExportedFileURL(const platform::URL& fileURL);
  // This run's private temporary folder, created at the first call; a failure is local, never
  // the source's.
  platform::Result<platform::URL> temporaryDirectory();

  // Bookmarks.
  bool exportBookmarks(std::optional<platform::Error>& error);

  // The item phases, one row per kind in the order they run; the progress total and every
  // phase read their kind's row.
  static constexpr ItemPhase kItemPhases[] = {
      {.kind = source::ItemKind::note,
       .convertToNotes = true,
       .totalLeavesOutEncrypted = true,
       .run = &ZVExportOperation::exportNotes,
       .logLine = u"Exporting notes…",
       .progressDescription = u"Exporting notes…"},
      {.kind = source::ItemKind::serialNumber,
       .convertToNotes = true,
       .run = &ZVExportOperation::exportSerialNumbers,
       .logLine = u"Exporting serial numbers…",
       .progressDescription = u"Exporting serial numbers…"},
      {.kind = source::ItemKind::password,
       .convertToNotes = true,
       .alwaysEncrypt = true,
       .needsPasswordOption = true,
       .run = &ZVExportOperation::exportPasswords,
       .logLine = u"Exporting passwords…",
       .progressDescription = u"Exporting passwords…"},
      {.kind = source::ItemKind::bookmark,
       .run = &ZVExportOperation::exportBookmarks,
       .logLine = u"Exporting bookmarks…",
       .progressDescription = u"Exporting bookmarks…"},
      {.kind = source::ItemKind::image,
       .totalLeavesOutEncrypted = true,
       .run = &ZVExportOperation::exportImages,
       .logLine = u"Exporting images…",
       .progressDescription = u"Exporting images…"},
      {.kind = source::ItemKind::pdfArchive,
       .totalLeavesOutEncrypted = true,
       .run = &ZVExportOperation::exportPDFs,
       .logLine = u"Exporting PDFs",
       .progressDescription = u"Exporting PDFs…"},
      {.kind = source::ItemKind::webArchive,
       .totalLeavesOutEncrypted = true,
       .run = &ZVExportOperation::exportWebArchives,
       .logLine = u"Exporting web archives",
       .progressDescription = u"Exporting web archives…"},
  };
  static_assert(source::hasOneRowPerItemKindInOrder(kItemPhases),
                "every item kind needs its row, in the kinds' order");

  static constexpr const ItemPhase& itemPhase(source::ItemKind kind) {
    return kItemPhases[static_cast<std::size_t>(kind)];
  }
  // Writes the phase's log line, shows its progress description and fetches its items; nothing
  // when the phase is not to run (cancelled, or its option is off).
  std::optional<std::vector<source::DatabaseItem>> beginItemPhase(const ItemPhase& phase);

  // Collections, labels, saved searches.
  void exportCollections();
  void exportFolderCollections();
  void exportLabels();
  void exportTagCollections();

  // Metadata file.
  bool writeMetadataFile(std::optional<platform::Error>& error);

  platform::MainQueue& mainQueue_;
  mutable std::mutex mutex_;  // guards the fields that other threads may read
  std::shared_ptr<source::SourceLibrary> zelvarApp_;
  std::optional<platform::URL> containerURL_;
  std::optional<platform::URL> exportFolderURL_;
  std::optional<platform::URL> rootFolderURL_;
  std::optional<platform::URL> metadataFileURL_;
  CompletionBlock exportCompletionBlock_;
  bool exportPasswordItems_ = false;
  bool exportEncryptedItems_ = false;
  bool ended_ = false;

  std::shared_ptr<platform::Progress> exportProgress_;
  // Keeps other runs out of the container from the folder's removal until the end.
  std::optional<platform::FileLock> exportLock_;
  std::unique_ptr<platform::TemporaryDirectory> temporaryDirectory_;
  RootFolderNames rootFolderNames_;

  // The root folder record, kept in parts until the metadata file is written.
  std::u16string rootFolderName_;
  std::u16string rootFolderURLString_;
  // The item records, written as the items are exported; the label membership comes from them.
  std::optional<MetadataRecords> metadataRecords_;
  std::optional<platform::Error> metadataRecordsError_;

  std::optional<platform::PropertyList::Dictionary> groupDicts_;
  std::optional<platform::PropertyList::Dictionary> savedSearchDicts_;
  // Without their "items", which the metadata records add.
  std::optional<platform::PropertyList::Dictionary> labelDicts_;

  std::unordered_set<std::u16string> completedItemIdentifiers_;

  ExportSummary summary_;
};

}  // namespace zv::exporter
