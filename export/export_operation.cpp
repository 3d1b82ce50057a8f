#include "export/export_operation.h"

#include <algorithm>
#include <exception>
#include <filesystem>
#include <numeric>

#include "export/dry_run.h"
#include "export/export_errors.h"
#include "export/source_call.h"
#include "platform/app_group_containers.h"
#include "platform/bundle_info.h"
#include "platform/file_lock.h"
#include "platform/files.h"
#include "platform/localization.h"
#include "platform/log.h"
#include "platform/operation_queue.h"
#include "platform/temporary_directory.h"
#include "platform/unicode.h"

namespace zv::exporter {

using platform::Error;
using platform::formatLocalized;
using platform::localized;
using platform::log;
using platform::URL;

namespace {

constexpr char16_t kExportFolderName[] = u"Zelvar";
constexpr char16_t kExportLockFileName[] = u".Zelvar.lock";
// The export holds passwords: nobody but the user may look inside.
constexpr mode_t kPrivateFolderMode = 0700;
// How often at most the completed count is sent to the main thread while items go by. Sending
// it after every item cost more than copying a small item; a count that moves every few
// milliseconds still moves faster than a screen shows it.
constexpr std::chrono::milliseconds kCompletedCountInterval{5};

// The real path of a folder, resolved as far as it exists; what does not exist yet is taken as
// written. Nothing when it cannot be resolved.
std::optional<std::filesystem::path> realPathOfFolder(const URL& folder, bool mustExist) {
  std::error_code error;
  std::filesystem::path path = folder.fileSystemPath();
  std::filesystem::path real = mustExist ? std::filesystem::canonical(path, error)
                                         : std::filesystem::weakly_canonical(path, error);
  if (error) {
    return std::nullopt;
  }
  real = real.lexically_normal();
  // "/a/b/" would end in an empty component.
  return real.has_filename() ? real : real.parent_path();
}

// True when inner is outer or lies below it, compared component by component: "/a/bc" does not
// lie in "/a/b".
bool liesWithin(const std::filesystem::path& inner, const std::filesystem::path& outer) {
  return std::mismatch(outer.begin(), outer.end(), inner.begin(), inner.end()).first == outer.end();
}

Error cannotCreateExportFolder(const Error& cause) {
  return makeImportError(kFileExportErrorCode,
                         formatLocalized(u"Cannot create export folder: %@", {cause.description}));
}

}  // namespace

std::int64_t ExportSummary::exportedTotal() const {
  return std::accumulate(exported.begin(), exported.end(), std::int64_t{0},
                         [](std::int64_t sum, const auto& entry) { return sum + entry.second; });
}

std::int64_t ExportSummary::skippedTotal() const {
  return std::accumulate(skipped.begin(), skipped.end(), std::int64_t{0},
                         [](std::int64_t sum, const auto& entry) { return sum + entry.second; });
}

ZVExportOperation::ZVExportOperation(std::shared_ptr<source::SourceLibrary> zelvarApp,
                                     platform::MainQueue& mainQueue)
    : mainQueue_(mainQueue),
      zelvarApp_(std::move(zelvarApp)),
      exportProgress_(std::make_shared<platform::Progress>(mainQueue)) {
  exportProgress_->setTotalUnitCount(-1);
  exportProgress_->setLocalizedDescription(localized(u"Preparing to export…"));
}

ZVExportOperation::~ZVExportOperation() = default;

void ZVExportOperation::setExportCompletionBlock(CompletionBlock block) {
  std::lock_guard lock(mutex_);
  exportCompletionBlock_ = std::move(block);
}

void ZVExportOperation::setContainerURL(std::optional<URL> url) {
  std::lock_guard lock(mutex_);
  containerURL_ = std::move(url);
}

std::shared_ptr<source::SourceLibrary> ZVExportOperation::zelvarApp() const {
  std::lock_guard lock(mutex_);
  return zelvarApp_;
}

void ZVExportOperation::setZelvarApp(std::shared_ptr<source::SourceLibrary> library) {
  std::lock_guard lock(mutex_);
  zelvarApp_ = std::move(library);
}

std::optional<URL> ZVExportOperation::exportFolderURL() const {
  std::lock_guard lock(mutex_);
  return exportFolderURL_;
}

std::optional<URL> ZVExportOperation::rootFolderURL() const {
  std::lock_guard lock(mutex_);
  return rootFolderURL_;
}

std::optional<URL> ZVExportOperation::metadataFileURL() const {
  std::lock_guard lock(mutex_);
  return metadataFileURL_;
}

void ZVExportOperation::start() {
  try {
    if (auto created = createExportFolder(); !created) {
      endWithError(std::move(created).error());
      return;
    }
    log(u"*** Export started");
    std::optional<Error> error;
    bool succeeded = performExport(error);
    log(u"*** Export ended");
    endWithError(succeeded || isCancelled() ? std::nullopt : std::move(error));
  } catch (const SourceCallFailed& failure) {
    endWithError(makeImportError(kSourceFailedErrorCode, failure.reason()));
  } catch (const std::exception& exception) {
    endWithError(makeImportError(kSourceFailedErrorCode, platform::fromUtf8(exception.what())));
  }
}

void ZVExportOperation::cancel() {
  // Every request is noted and shown; the flag itself is set once, and the run ends once.
  Operation::cancel();
  log(u"User requested cancellation");
  mainQueue_.post([progress = exportProgress_] {
    progress->cancel();
    progress->setLocalizedDescription(localized(u"Cancelling…"));
  });
}

platform::Result<void> ZVExportOperation::createExportFolder() {
  std::optional<URL> base;
  {
    std::lock_guard lock(mutex_);
    base = containerURL_;
  }
  // An injected container is used as it stands; otherwise the target application's.
  auto container = base ? platform::Result<URL>(*base)
                        : platform::containerURLForSecurityApplicationGroupIdentifier(
                              platform::kQuennetApplicationGroupIdentifier);
  if (!container) {
    return cannotCreateExportFolder(container.error());
  }
  URL exportFolder = container->appendingPathComponent(kExportFolderName, true);
  URL rootFolder = exportFolder.appendingPathComponent(kExportFolderName, true);
  {
    std::lock_guard lock(mutex_);
    exportFolderURL_ = exportFolder;
    rootFolderURL_ = rootFolder;
  }
  ZV_TRY(checkLibraryOverlap(*container));
  // The container is created private too when it is new; an existing one keeps its mode.
  if (auto created = platform::createDirectoryAtURL(*container, true, kPrivateFolderMode);
      !created) {
    return cannotCreateExportFolder(created.error());
  }
  // Held until the run has ended: two runs into one container would each remove the other's
  // files and both report success. The lock file lies beside the export folder, never in it.
  auto lock =
      platform::FileLock::tryLockAtURL(container->appendingPathComponent(kExportLockFileName));
  if (!lock) {
    return cannotCreateExportFolder(lock.error());
  }
  if (!lock->has_value()) {
    return makeImportError(
        kFileExportErrorCode,
        formatLocalized(u"Cannot start the export: another export into %@ is running.",
                        {container->path()}));
  }
  exportLock_ = std::move(*lock);
  if (platform::itemIsReachableAtURL(exportFolder)) {
    if (auto removed = platform::removeItemAtURL(exportFolder); !removed) {
      return makeImportError(
          kFileExportErrorCode,
          formatLocalized(u"Cannot remove old export folder: %@", {removed.error().description}));
    }
  }
  // Checked once the old export has made room, and before anything big is written: a disk
  // that fills half-way leaves a broken export behind.
  ZV_TRY(checkFreeSpaceForItems(*container));
  // One at a time and never adopting what is there: a folder that appeared since the removal is
  // not ours.
  for (const URL& folder : {exportFolder, rootFolder}) {
    if (auto created = platform::createDirectoryAtURL(folder, false, kPrivateFolderMode);
        !created) {
      return cannotCreateExportFolder(created.error());
    }
  }
  rootFolderNames_.clear();
  return {};
}

platform::Result<void> ZVExportOperation::checkLibraryOverlap(const URL& container) const {
  std::optional<URL> libraryFolder = zelvarApp()->libraryFolderURL();
  if (!libraryFolder) {
    return {};
  }
  // A library that cannot be resolved does not exist, and nothing of it can be lost.
  std::optional<std::filesystem::path> library = realPathOfFolder(*libraryFolder, true);
  std::optional<std::filesystem::path> realContainer = realPathOfFolder(container, false);
  if (!library || !realContainer) {
    return {};
  }
  // The export folder itself is never followed when it is a link: it is removed as one.
  const std::filesystem::path exportFolder =
      *realContainer / platform::toUtf8(std::u16string(kExportFolderName));
  const std::u16string libraryPath = platform::fromUtf8(library->string());
  const std::u16string exportPath = platform::fromUtf8(exportFolder.string());
  if (liesWithin(*library, exportFolder)) {
    return makeImportError(
        kFileExportErrorCode,
        formatLocalized(u"The library %@ lies inside the export folder %@, which every export "
                        u"replaces.",
                        {libraryPath, exportPath}));
  }
  if (liesWithin(exportFolder, *library)) {
    return makeImportError(kFileExportErrorCode,
                           formatLocalized(u"The export folder %@ would lie inside the library %@.",
                                           {exportPath, libraryPath}));
  }
  return {};
}

platform::Result<void> ZVExportOperation::checkFreeSpaceForItems(const URL& container) {
  // Web archives count as copied whole: reading each to see whether it unwraps would cost more
  // than the room it could save. Payloads are not asked for twice; a source that cannot tell
  // their sizes otherwise gets room for the metadata only.
  auto plan = planExport(*zelvarApp(), {.exportPasswordItems = exportPasswordItems_,
                                        .exportEncryptedItems = exportEncryptedItems_,
                                        .predictConversions = false,
                                        .openPayloads = false});
  if (!plan) {
    return makeImportError(kSourceFailedErrorCode, plan.error().description);
  }
  ZV_ASSIGN_OR_RETURN(const std::int64_t available, freeSpaceSource_(container));
  const std::int64_t needed = bytesNeededForExport(plan->payloadBytes, plan->exportedTotal());
  return checkFreeSpace(container, needed, available);
}

bool ZVExportOperation::performExport(std::optional<Error>& error) {
  URL exportFolder = *exportFolderURL();
  URL rootFolder = *rootFolderURL();
  platform::logFormat(u"Exporting to %@", {exportFolder.path()});
  rootFolderName_ = rootFolder.lastPathComponent();
  rootFolderURLString_ = rootFolder.absoluteString();
  metadataRecords_.reset();

  updateProgressForItems();
  if (isCancelled()) {
    return true;
  }
  for (const ItemPhase& phase : kItemPhases) {
    if (!timedStep(source::itemKindNames(phase.kind).pluralName,
                   [&] { return (this->*phase.run)(error); })) {
      return false;
    }
  }
  timedStep(u"collections", [&] {
    exportCollections();
    return true;
  });
  // The item phases are over: their indexes only cost memory while the metadata is written.
  completedItems_.forgetIdentifiers();
  rootFolderNames_.clear();
  flushCompletedCount();
  return timedStep(u"metadata file", [&] { return writeMetadataFile(error); });
}

bool ZVExportOperation::timedStep(std::u16string_view name, const std::function<bool()>& step) {
  const auto started = std::chrono::steady_clock::now();
  const bool succeeded = step();
  const std::chrono::duration<double> took = std::chrono::steady_clock::now() - started;
  summary_.stepSeconds.emplace_back(std::u16string(name), took.count());
  return succeeded;
}

void ZVExportOperation::updateProgressForItems() {
  auto library = zelvarApp();
  // Counting the unencrypted ones means fetching the items; the others count as they stand.
  auto countOf = [&](source::ItemKind kind, bool excludeEncrypted) -> std::int64_t {
    if (!excludeEncrypted) {
      return sourceValue(library->countItems(kind));
    }
    std::int64_t count = 0;
    sourceValue(library->forEachItem(kind, [&count](const source::DatabaseItem& item) {
      count += item.encrypted.value_or(false) ? 0 : 1;
      return true;
    }));
    return count;
  };
  std::int64_t total = 0;
  for (const ItemPhase& phase : kItemPhases) {
    if (phase.needsPasswordOption && !exportPasswordItems_) {
      continue;
    }
    total += countOf(phase.kind, phase.totalLeavesOutEncrypted && !exportEncryptedItems_);
  }
  runOnMainQueueAndWait(
      [progress = exportProgress_, total] { progress->setTotalUnitCount(total); });
}

void ZVExportOperation::addCompletedItem(const source::DatabaseItem& item) {
  completedItems_.insert(item.id);
  // Between two sendings the count only grows here, unseen; every description change, the
  // metadata step and the end send it first, so each observer still sees every description
  // with the count reached before it, and the exact final count.
  if (std::chrono::steady_clock::now() - completedCountShownAt_ >= kCompletedCountInterval) {
    flushCompletedCount();
  }
}

void ZVExportOperation::flushCompletedCount() {
  const std::int64_t completed = completedItems_.count();
  if (completed == shownCompletedCount_) {
    return;
  }
  shownCompletedCount_ = completed;
  auto block = [progress = exportProgress_, completed] {
    progress->setCompletedUnitCount(completed);
  };
  // Not waited for: the main queue runs blocks in the order they were posted, so the count still
  // arrives before any later description and before the completion, which are waited for.
  if (mainQueue_.isCurrentThreadMain()) {
    block();
  } else {
    mainQueue_.post(block);
  }
  completedCountShownAt_ = std::chrono::steady_clock::now();
}

void ZVExportOperation::skipItem(const source::DatabaseItem& item, SkipReason reason) {
  ++summary_.skipped[item.kind];
  addCompletedItem(item);
  if (itemObserver_) {
    itemObserver_->itemSkipped(item, reason);
  }
}

void ZVExportOperation::reportKindLeftOut(source::ItemKind kind, SkipReason reason) {
  if (!itemObserver_) {
    return;
  }
  // Going through the kind costs a source call that the export itself does not make, so it is
  // made for the observer only, and its failure is the observer's to hear, not the run's.
  platform::Result<void> listed =
      zelvarApp()->forEachItem(kind, [&](const source::DatabaseItem& item) {
        if (isCancelled()) {
          return false;
        }
        itemObserver_->itemSkipped(item, reason);
        return true;
      });
  if (!listed) {
    itemObserver_->itemsNotListed(kind, listed.error());
  }
}

void ZVExportOperation::setProgressDescription(std::u16string_view description, bool wait) {
  flushCompletedCount();
  auto block = [progress = exportProgress_, text = localized(description)] {
    progress->setLocalizedDescription(text);
  };
  if (wait) {
    runOnMainQueueAndWait(block);
  } else {
    mainQueue_.post(block);
  }
}

void ZVExportOperation::runOnMainQueueAndWait(std::function<void()> block) {
  platform::addOperationWithBlockAndWaitUntilFinished(mainQueue_, std::move(block));
}

void ZVExportOperation::endWithError(std::optional<Error> error) {
  if (ended_) {
    return;
  }
  ended_ = true;
  if (temporaryDirectory_) {
    if (auto removed = temporaryDirectory_->remove(); !removed) {
      platform::logFormat(u"Couldn't remove temporary folder: %@", {removed.error().description});
    }
    temporaryDirectory_.reset();
  }
  flushCompletedCount();
  if (isCancelled()) {
    error = platform::makeUserCancelledError();
  }
  CompletionBlock completion;
  std::optional<URL> metadataFile;
  {
    std::lock_guard lock(mutex_);
    completion = exportCompletionBlock_;
    metadataFile = metadataFileURL_;
  }
  runOnMainQueueAndWait([completion = std::move(completion), error = std::move(error),
                         metadataFile = std::move(metadataFile)] {
    if (!completion) {
      return;
    }
    if (error) {
      completion(error, std::nullopt);
    } else {
      completion(std::nullopt, metadataFile);
    }
  });
  // The run has ended; the next one may replace the export folder.
  exportLock_.reset();
}

}  // namespace zv::exporter
