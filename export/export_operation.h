#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "export/completed_items.h"
#include "export/dry_run.h"
#include "export/export_observer.h"
#include "export/free_space.h"
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
class ExclusiveFile;
enum class CopyStep;
}  // namespace zv::platform

namespace zv::exporter {

/// What one run did, per kind of item, for summaries and tests.
struct ExportSummary {
  std::map<source::ItemKind, std::int64_t> exported;
  std::map<source::ItemKind, std::int64_t> skipped;
  /// How long each step took, in the order they ran: each kind's phase (by the kind's name), the
  /// collections and the metadata file. A regression shows in which step it lies.
  std::vector<std::pair<std::u16string, double>> stepSeconds;
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
  /// Where the export learns the container's free space; the file system's by default.
  void setFreeSpaceSource(FreeSpaceSource source) { freeSpaceSource_ = std::move(source); }
  /// Hears every item's outcome; none by default.
  void setItemObserver(std::shared_ptr<ExportItemObserver> observer) {
    itemObserver_ = std::move(observer);
  }

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
  platform::Result<void> createExportFolder();
  // Fails when the library lies in the export folder that a run replaces, or the export
  // folder would lie in the library.
  platform::Result<void> checkLibraryOverlap(const platform::URL& container) const;
  // Fails at once when the items' payloads and the metadata file would not fit in the container.
  platform::Result<void> checkFreeSpaceForItems(const platform::URL& container);
  bool performExport(std::optional<platform::Error>& error);
  void updateProgressForItems();
  void endWithError(std::optional<platform::Error> error);
  void addCompletedItem(const source::DatabaseItem& item);
  void skipItem(const source::DatabaseItem& item, SkipReason reason);
  // Tells the observer, when there is one, of each item of a kind whose phase does not run.
  void reportKindLeftOut(source::ItemKind kind, SkipReason reason);
  // Shows the completed count, when it changed since it was last shown.
  void flushCompletedCount();
  void setProgressDescription(std::u16string_view description, bool wait);
  // Runs one step of performExport and notes how long it took.
  bool timedStep(std::u16string_view name, const std::function<bool()>& step);
  void runOnMainQueueAndWait(std::function<void()> block);

  // One phase per kind, each named by its kind's row.
#define ZV_ITEM_KIND(kind, snapshotName, pluralName, exportPhase, ...) \
  bool exportPhase(std::optional<platform::Error>& error);
#include "source/item_kinds.def"

  // Items as files.
  bool exportItemsOfKind(source::ItemKind kind, std::optional<platform::Error>& error);
  bool exportDatabaseItemsAsFiles(source::ItemKind kind, bool convertToNotes, bool alwaysEncrypt,
                                  std::optional<platform::Error>& error);
  // Where an item's file ended up in the root folder.
  struct PlacedFile {
    platform::URL url;
    bool datesRestored = false;
    // A web archive that became its main resource.
    bool converted = false;
  };
  enum class ItemFileOutcome { kPlaced, kNotReturned, kCancelled, kFailed };
  // The source writes the item into the temporary folder; the file is then moved into the root
  // folder.
  ItemFileOutcome exportItemThroughFolder(const source::DatabaseItem& item,
                                          const platform::URL& temporaryFolder,
                                          const platform::URL& rootFolder,
                                          std::optional<PlacedFile>& placed,
                                          std::optional<platform::Error>& error);
  // The source hands over the item's payload, which is written straight under its final name.
  ItemFileOutcome writeItemPayload(const source::DatabaseItem& item,
                                   const platform::URL& rootFolder,
                                   std::optional<PlacedFile>& placed,
                                   std::optional<platform::Error>& error);
  // Copies the payload into the file, once more when it changed meanwhile.
  platform::Result<void> copyPayloadContent(platform::ExclusiveFile& file,
                                            const source::ItemPayload& payload,
                                            const std::string& inputName,
                                            platform::CopyStep& failedStep);
  void addInfoForItem(const source::DatabaseItem& item, const platform::URL& fileURL,
                      bool convertToNote, bool shouldEncrypt);
  // The metadata file's records, made at the first use; null when they could not be made.
  MetadataRecords* metadataRecords();
  platform::URL convertedFileURLForExportedFileURL(const platform::URL& fileURL);
  // This run's private temporary folder, created at the first call; a failure is local, never
  // the source's.
  platform::Result<platform::URL> temporaryDirectory();
  // Removes the temporary folders of runs that a signal ended; once per run.
  void removeAbandonedTemporaryFolders();

  // The item phases, one row per kind in the order they run; the progress total and every
  // phase read their kind's row.
  static constexpr ItemPhase kItemPhases[] = {
#define ZV_ITEM_KIND(kind, snapshotName, pluralName, exportPhase, logLine, progressText, traits) \
  {source::ItemKind::kind,                                                                       \
   ((traits)&source::kConvertToNotes) != 0,                                                      \
   ((traits)&source::kAlwaysEncrypt) != 0,                                                       \
   ((traits)&source::kTotalLeavesOutEncrypted) != 0,                                             \
   ((traits)&source::kNeedsPasswordOption) != 0,                                                 \
   &ZVExportOperation::exportPhase,                                                              \
   logLine,                                                                                      \
   progressText},
#include "source/item_kinds.def"
  };
  static_assert(source::hasOneRowPerItemKindInOrder(kItemPhases),
                "every item kind needs its row, in the kinds' order");

  static constexpr const ItemPhase& itemPhase(source::ItemKind kind) {
    return kItemPhases[static_cast<std::size_t>(kind)];
  }
  // Writes the phase's log line and shows its progress description; false when the phase is not
  // to run (cancelled, or its option is off).
  bool beginItemPhase(const ItemPhase& phase);

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
  FreeSpaceSource freeSpaceSource_ = freeSpaceOfFileSystem;
  std::shared_ptr<ExportItemObserver> itemObserver_;

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

  CompletedItems completedItems_;
  // The completed count last sent to the progress object, and when.
  std::int64_t shownCompletedCount_ = 0;
  std::chrono::steady_clock::time_point completedCountShownAt_;
  bool abandonedTemporaryFoldersRemoved_ = false;

  ExportSummary summary_;
};

}  // namespace zv::exporter
