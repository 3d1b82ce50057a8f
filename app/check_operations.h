#pragma once

// The two checks the desktop program runs on the progress sheet's queue besides the export: the
// library check before an import, and the check of a finished export before the hand-over.

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>

#include "export/dry_run.h"
#include "export/free_space.h"
#include "export/verify_export.h"
#include "platform/main_queue.h"
#include "platform/operation.h"
#include "platform/progress.h"
#include "platform/result.h"
#include "platform/url.h"
#include "source/source_library.h"

namespace zv::app {

/// Reads the library as an export under the two options would, writing nothing, and weighs the
/// container's free space against what the export needs. Its progress counts the items read.
/// Cancelling makes the source calls that follow fail, so that a long read ends soon.
class ZVLibraryCheckOperation : public platform::Operation {
 public:
  /// Receives exactly once, on the main thread, either the error (the user-cancelled error when
  /// cancelled) or the plan.
  using CompletionBlock =
      std::function<void(std::optional<platform::Error>, std::optional<exporter::ExportPlan>)>;

  ZVLibraryCheckOperation(std::shared_ptr<source::SourceLibrary> library,
                          platform::MainQueue& mainQueue);

  // Set by the creator before the operation starts.
  void setExportPasswordItems(bool value) { exportPasswordItems_ = value; }
  void setExportEncryptedItems(bool value) { exportEncryptedItems_ = value; }
  void setContainerURL(std::optional<platform::URL> url) { containerURL_ = std::move(url); }
  void setFreeSpaceSource(exporter::FreeSpaceSource source) { freeSpace_ = std::move(source); }
  void setCheckCompletionBlock(CompletionBlock block) { completion_ = std::move(block); }

  std::shared_ptr<platform::Progress> progress() const { return progress_; }

  /// Runs the check, and reports even when cancelled before it began.
  void start() override;
  void cancel() override;

 private:
  platform::Result<exporter::ExportPlan> check();

  std::shared_ptr<source::SourceLibrary> library_;
  platform::MainQueue& mainQueue_;
  std::shared_ptr<platform::Progress> progress_;
  bool exportPasswordItems_ = true;
  bool exportEncryptedItems_ = true;
  std::optional<platform::URL> containerURL_;
  exporter::FreeSpaceSource freeSpace_ = exporter::freeSpaceOfFileSystem;
  CompletionBlock completion_;
};

/// Checks a finished export the way the target application will read it. The folder is the one
/// that holds the metadata file.
using ExportVerifier = std::function<exporter::VerifyReport(const std::filesystem::path& folder,
                                                            const exporter::VerifyOptions&)>;

/// The last step of an import: checks the export whose metadata file it is given, and passes
/// that file on only when the check finds nothing wrong.
class ZVVerifyExportOperation : public platform::Operation {
 public:
  /// Receives exactly once, on the main thread, either an error or the metadata file's URL.
  using CompletionBlock =
      std::function<void(std::optional<platform::Error>, std::optional<platform::URL>)>;

  ZVVerifyExportOperation(platform::URL metadataFileURL, platform::MainQueue& mainQueue);

  void setVerifier(ExportVerifier verifier) { verifier_ = std::move(verifier); }
  void setVerificationCompletionBlock(CompletionBlock block) { completion_ = std::move(block); }

  /// "Verifying…", the item records checked of all of them.
  std::shared_ptr<platform::Progress> progress() const { return progress_; }

  /// Runs the check, and reports even when cancelled before it began.
  void start() override;
  void cancel() override;

 private:
  platform::URL metadataFileURL_;
  platform::MainQueue& mainQueue_;
  std::shared_ptr<platform::Progress> progress_;
  ExportVerifier verifier_ = exporter::verifyExport;
  CompletionBlock completion_;
};

/// The error a failed check of an export ends the import with: how many problems, and the first
/// few of them.
platform::Error verificationError(const exporter::VerifyReport& report);

}  // namespace zv::app
