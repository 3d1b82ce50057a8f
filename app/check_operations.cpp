#include "app/check_operations.h"

#include <chrono>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "export/export_errors.h"
#include "platform/localization.h"
#include "platform/operation_queue.h"
#include "platform/unicode.h"

namespace zv::app {
namespace {

using platform::Error;
using platform::URL;

// How often at most a count goes to the progress object: every item would flood the main queue.
constexpr std::chrono::milliseconds kProgressInterval{5};
// The problems a failed check names in its message; the rest are counted.
constexpr std::size_t kProblemsNamed = 3;

// Sends a count now and then, and always the last one.
class ThrottledCount {
 public:
  explicit ThrottledCount(std::shared_ptr<platform::Progress> progress)
      : progress_(std::move(progress)) {}

  void update(std::int64_t completed) {
    const auto now = std::chrono::steady_clock::now();
    if (now - sentAt_ >= kProgressInterval) {
      progress_->setCompletedUnitCount(completed);
      sentAt_ = now;
    }
  }

 private:
  std::shared_ptr<platform::Progress> progress_;
  std::chrono::steady_clock::time_point sentAt_;
};

Error cancelledByTheUser() {
  return platform::makeUserCancelledError();
}

// The source as the check reads it: every item it hands over is counted, and once the operation
// is cancelled the items stop and every further call fails, which ends the read at once.
class WatchedLibrary final : public source::SourceLibrary {
 public:
  WatchedLibrary(source::SourceLibrary& wrapped, const platform::Operation& operation,
                 std::function<void()> itemRead)
      : wrapped_(wrapped), operation_(operation), itemRead_(std::move(itemRead)) {}

  platform::Result<std::int64_t> countItems(source::ItemKind kind) override {
    ZV_TRY(goingOn());
    return wrapped_.countItems(kind);
  }
  platform::Result<std::vector<source::DatabaseItem>> getItems(source::ItemKind kind) override {
    ZV_TRY(goingOn());
    return wrapped_.getItems(kind);
  }
  platform::Result<void> forEachItem(
      source::ItemKind kind,
      const std::function<bool(const source::DatabaseItem&)>& visit) override {
    ZV_TRY(goingOn());
    ZV_TRY(wrapped_.forEachItem(kind, [&](const source::DatabaseItem& item) {
      if (operation_.isCancelled()) {
        return false;
      }
      itemRead_();
      return visit(item);
    }));
    // Items cut short look like a kind read to its end: the caller must not take it for one.
    return goingOn();
  }
  platform::Result<std::int64_t> countLabels() override {
    ZV_TRY(goingOn());
    return wrapped_.countLabels();
  }
  platform::Result<std::vector<source::Label>> getLabels() override {
    ZV_TRY(goingOn());
    return wrapped_.getLabels();
  }
  platform::Result<std::int64_t> countFolderCollections() override {
    ZV_TRY(goingOn());
    return wrapped_.countFolderCollections();
  }
  platform::Result<std::vector<source::FolderCollection>> getFolderCollections() override {
    ZV_TRY(goingOn());
    return wrapped_.getFolderCollections();
  }
  platform::Result<std::int64_t> countTagCollections() override {
    ZV_TRY(goingOn());
    return wrapped_.countTagCollections();
  }
  platform::Result<std::vector<source::TagCollection>> getTagCollections() override {
    ZV_TRY(goingOn());
    return wrapped_.getTagCollections();
  }
  platform::Result<std::optional<URL>> exportItem(const source::DatabaseItem& item,
                                                  const URL& directory) override {
    ZV_TRY(goingOn());
    return wrapped_.exportItem(item, directory);
  }
  bool canOpenItemPayloads() const override { return wrapped_.canOpenItemPayloads(); }
  platform::Result<std::optional<source::ItemPayload>> openItemPayload(
      const source::DatabaseItem& item) override {
    ZV_TRY(goingOn());
    return wrapped_.openItemPayload(item);
  }
  std::optional<std::int64_t> itemPayloadSize(const source::DatabaseItem& item) override {
    return wrapped_.itemPayloadSize(item);
  }
  std::optional<URL> libraryFolderURL() const override { return wrapped_.libraryFolderURL(); }

 private:
  platform::Result<void> goingOn() const {
    if (operation_.isCancelled()) {
      return cancelledByTheUser();
    }
    return {};
  }

  source::SourceLibrary& wrapped_;
  const platform::Operation& operation_;
  std::function<void()> itemRead_;
};

}  // namespace

ZVLibraryCheckOperation::ZVLibraryCheckOperation(std::shared_ptr<source::SourceLibrary> library,
                                                 platform::MainQueue& mainQueue)
    : library_(std::move(library)),
      mainQueue_(mainQueue),
      progress_(std::make_shared<platform::Progress>(mainQueue)) {
  progress_->setLocalizedDescription(platform::localized(u"Checking the library…"));
}

void ZVLibraryCheckOperation::start() {
  platform::Result<exporter::ExportPlan> outcome = check();
  std::optional<Error> error;
  std::optional<exporter::ExportPlan> plan;
  if (isCancelled()) {
    // Whatever a read cut short found, it is not what an import would do.
    outcome.ignoreError();
    error = cancelledByTheUser();
  } else if (outcome) {
    plan = *std::move(outcome);
  } else {
    error = outcome.error();
  }
  platform::addOperationWithBlockAndWaitUntilFinished(
      mainQueue_,
      [completion = completion_, error = std::move(error), plan = std::move(plan)]() mutable {
        if (completion) {
          completion(std::move(error), std::move(plan));
        }
      });
}

platform::Result<exporter::ExportPlan> ZVLibraryCheckOperation::check() {
  std::int64_t itemsRead = 0;
  ThrottledCount shown(progress_);
  WatchedLibrary library(*library_, *this, [&] { shown.update(++itemsRead); });
  // The check reads every item of every kind once, whatever the options leave out.
  std::int64_t total = 0;
  for (source::ItemKind kind : source::kAllItemKinds) {
    auto count = library.countItems(kind);
    if (!count) {
      return exporter::makeImportError(exporter::kSourceFailedErrorCode, count.error().description);
    }
    total += *count;
  }
  progress_->setTotalUnitCount(total);
  auto plan = exporter::planExport(library, {.exportPasswordItems = exportPasswordItems_,
                                             .exportEncryptedItems = exportEncryptedItems_,
                                             .listItems = true});
  progress_->setCompletedUnitCount(itemsRead);
  if (!plan) {
    return exporter::makeImportError(exporter::kSourceFailedErrorCode, plan.error().description);
  }
  exporter::planContainer(*plan, containerURL_, freeSpace_);
  return plan;
}

void ZVLibraryCheckOperation::cancel() {
  Operation::cancel();
  mainQueue_.post([progress = progress_] {
    progress->cancel();
    progress->setLocalizedDescription(platform::localized(u"Cancelling…"));
  });
}

ZVVerifyExportOperation::ZVVerifyExportOperation(URL metadataFileURL,
                                                 platform::MainQueue& mainQueue)
    : metadataFileURL_(std::move(metadataFileURL)),
      mainQueue_(mainQueue),
      progress_(std::make_shared<platform::Progress>(mainQueue)) {
  progress_->setLocalizedDescription(platform::localized(u"Verifying…"));
}

void ZVVerifyExportOperation::start() {
  std::optional<Error> error;
  if (!isCancelled()) {
    ThrottledCount shown(progress_);
    bool totalSent = false;
    exporter::VerifyOptions options;
    options.progress = [&](std::size_t checked, std::size_t total) {
      if (!totalSent) {
        progress_->setTotalUnitCount(static_cast<std::int64_t>(total));
        totalSent = true;
      }
      shown.update(static_cast<std::int64_t>(checked));
      return !isCancelled();
    };
    const exporter::VerifyReport report =
        verifier_(metadataFileURL_.deletingLastPathComponent().fileSystemPath(), options);
    if (!report.complete()) {
      error = verificationError(report);
    }
  }
  // A check cut short proves nothing; a finished one is still not handed over once the user
  // asked to stop.
  if (isCancelled()) {
    error = cancelledByTheUser();
  }
  platform::addOperationWithBlockAndWaitUntilFinished(
      mainQueue_, [completion = completion_, error = std::move(error), url = metadataFileURL_] {
        if (!completion) {
          return;
        }
        if (error) {
          completion(error, std::nullopt);
        } else {
          completion(std::nullopt, url);
        }
      });
}

void ZVVerifyExportOperation::cancel() {
  Operation::cancel();
  mainQueue_.post([progress = progress_] {
    progress->cancel();
    progress->setLocalizedDescription(platform::localized(u"Cancelling…"));
  });
}

platform::Error verificationError(const exporter::VerifyReport& report) {
  std::u16string named;
  for (std::size_t index = 0; index < report.problems.size() && index < kProblemsNamed; ++index) {
    named += (index == 0 ? u"" : u"; ") + platform::fromUtf8(report.problems[index]);
  }
  std::u16string description =
      report.problemCount == 1
          ? platform::formatLocalized(u"The check of the finished export found a problem: %@.",
                                      {named})
          : platform::formatLocalized(u"The check of the finished export found %ld problems: %@",
                                      {static_cast<std::int64_t>(report.problemCount), named});
  if (report.problemCount > kProblemsNamed) {
    description += platform::formatLocalized(
        u"; and %ld more.", {static_cast<std::int64_t>(report.problemCount - kProblemsNamed)});
  } else if (report.problemCount != 1) {
    description += u".";
  }
  description += u" ";
  description += platform::localized(u"Nothing was handed over to Quennet.");
  return exporter::makeImportError(exporter::kFileExportErrorCode, std::move(description));
}

}  // namespace zv::app
