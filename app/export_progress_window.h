#pragma once

#include <QDialog>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <functional>
#include <memory>
#include <optional>

#include "app/check_operations.h"
#include "app/progress_line.h"
#include "export/dry_run.h"
#include "export/free_space.h"
#include "platform/operation_queue.h"
#include "platform/progress.h"
#include "platform/result.h"
#include "platform/url.h"
#include "source/source_library.h"

namespace zv::app {

/// The progress sheet: runs one export at a time on a queue of its own, then checks what it
/// wrote, shows the progress of both, lets the user cancel, and closes when they have ended,
/// before it hands the result on. The library check runs on it too. Created once and reused.
class ZVExportProgressWindow : public QDialog {
  Q_OBJECT

 public:
  /// Receives, on the main thread, either the export's error or the metadata file's URL.
  using CompletionHandler =
      std::function<void(std::optional<platform::Error>, std::optional<platform::URL>)>;

  /// Receives, on the main thread, either the library check's error or its plan.
  using LibraryCheckHandler = ZVLibraryCheckOperation::CompletionBlock;

  explicit ZVExportProgressWindow(QWidget* parent = nullptr);
  /// Cancels a running export and waits for it to end.
  ~ZVExportProgressWindow() override;

  /// Starts one export of the library with the two options, then shows the sheet on the parent
  /// window. A finished export is checked before the handler hears of it: one that fails the
  /// check ends with the check's error. The handler may be empty; the sheet then only closes.
  void showExportSheetOnParentWindow(QWidget* parent,
                                     std::shared_ptr<source::SourceLibrary> zelvarApp,
                                     bool exportPasswords, bool exportEncrypted,
                                     CompletionHandler completionHandler);

  /// Reads the library as an export with the two options would, writing nothing, then shows the
  /// sheet on the parent window while it runs.
  void showLibraryCheckSheetOnParentWindow(QWidget* parent,
                                           std::shared_ptr<source::SourceLibrary> zelvarApp,
                                           bool exportPasswords, bool exportEncrypted,
                                           LibraryCheckHandler handler);

  /// The app-group container to export into; none means the platform's container of the target.
  void setContainerURL(std::optional<platform::URL> url) { containerURL_ = std::move(url); }
  /// Where exports and checks learn the container's free space; the file system by default.
  void setFreeSpaceSource(exporter::FreeSpaceSource source) { freeSpace_ = std::move(source); }
  /// What checks a finished export; the verifier of zelvar-verify by default.
  void setExportVerifier(ExportVerifier verifier) { verifier_ = std::move(verifier); }

  platform::OperationQueue* operationQueue() const { return operationQueue_.get(); }
  std::shared_ptr<platform::Progress> progress() const { return progress_; }
  QLabel* additionalTextField() const { return additionalTextField_; }
  QLabel* descriptionField() const { return descriptionField_; }
  QProgressBar* progressBar() const { return progressBar_; }
  QPushButton* cancelButton() const { return cancelButton_; }

  /// The text of additionalTextField for a state: the counts and, when known, the time left.
  static QString additionalText(const platform::ProgressState& state,
                                std::optional<double> secondsRemaining);

 public slots:
  /// Asks the running export to stop; the sheet stays up until the export has ended.
  void cancel();
  // Escape and the window's close button cancel too.
  void reject() override { cancel(); }

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  void windowDidLoad();
  // Checks the finished export, then ends the run.
  void verifyExport(const platform::URL& metadataFileURL, CompletionHandler handler);
  // Closes the sheet before the run's result goes anywhere.
  void endSheet();
  void showOnParentWindow(QWidget* parent, const QString& title);
  void observe(std::shared_ptr<platform::Progress> progress);
  void showProgressState(const platform::ProgressState& state);

  QLabel* descriptionField_;
  QProgressBar* progressBar_;
  QLabel* additionalTextField_;
  QPushButton* cancelButton_;
  std::unique_ptr<platform::OperationQueue> operationQueue_;
  std::shared_ptr<platform::Progress> progress_;
  std::optional<platform::Progress::ObserverToken> observerToken_;
  std::optional<platform::URL> containerURL_;
  exporter::FreeSpaceSource freeSpace_ = exporter::freeSpaceOfFileSystem;
  ExportVerifier verifier_ = exporter::verifyExport;
  // Set by a cancel during the current run: an export that finished meanwhile is not checked
  // and not handed on.
  bool cancelRequested_ = false;
  TimeRemainingEstimator estimator_;
  // Expires with this object.
  std::shared_ptr<const int> lifetime_ = std::make_shared<const int>(0);
};

/// The system font at its usual size with digits of equal width, so that counts do not jitter
/// as they change. Qt 6.4 cannot switch on a font's tabular figures, so the system font is kept
/// when its own digits already have one width (as most UI fonts' do) and the fixed-pitch system
/// font is used otherwise.
QFont monospacedDigitSystemFont();

}  // namespace zv::app
