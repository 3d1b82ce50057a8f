#pragma once

#include <QObject>
#include <QPointer>
#include <QWidget>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "app/export_progress_window.h"
#include "app/import_checks.h"
#include "app/library_check_window.h"
#include "app/options_window_controller.h"
#include "platform/result.h"
#include "platform/url.h"
#include "platform/workspace.h"
#include "richtext/attributed_string.h"
#include "source/source_library.h"

namespace zv::app {

class ZVInstructionsTextView;

/// How an alert is shown: blocking the whole program until dismissed, or as a sheet on the main
/// window that leaves the caller running.
enum class AlertStyle { kApplicationModal, kSheet };

/// Shows alerts. The program uses message boxes; tests record what would be shown.
class AlertPresenter {
 public:
  virtual ~AlertPresenter() = default;
  /// Shows the alert with one default button; window is the main window (may be null).
  virtual void presentAlert(const Alert& alert, AlertStyle style, QWidget* window) = 0;
};

/// Alerts as QMessageBox: application-modal ones return when dismissed, sheets do not wait.
std::unique_ptr<AlertPresenter> makeMessageBoxAlertPresenter();

/// This run's log file: where standard error goes until the program quits.
struct RunLogHooks {
  /// Opens a new log file, points standard error at it and writes its header line; the file's
  /// URL, or none when no log could be made (standard error is then left as it was).
  std::function<std::optional<platform::URL>()> open;
  /// Closes the log at quit.
  std::function<void()> close;
};

/// What the controller works with, injected so that tests can stand in for each part.
struct AppEnvironment {
  /// Finds, launches and hands documents to the other applications; must outlive the delegate.
  platform::Workspace* workspace = nullptr;
  SourceApplicationFactory makeSource;
  std::shared_ptr<AlertPresenter> alertPresenter;
  RunLogHooks runLog;
  /// The "Instructions" resource read as rich text; none when it cannot be read.
  std::function<std::optional<richtext::AttributedString>()> readInstructions;
  /// The app-group container to export into; none means the platform's container.
  std::optional<platform::URL> containerURL;
  /// Where exports and library checks learn the container's free space; empty: the file system.
  exporter::FreeSpaceSource freeSpace;
  /// What checks a finished export before the hand-over; empty: the verifier of zelvar-verify.
  ExportVerifier verifyExport;
  /// Ends the program; defaults to QCoreApplication::quit.
  std::function<void()> terminate;
};

/// The controller of the main window: prepares it at launch, answers its four actions, and runs
/// an import as a chain of checks followed by the export, the check of what it wrote and the
/// hand-over to Quennet. The library check runs the same checks of Zelvar, then reads the library
/// as an export would and shows what an import would do. Every method runs on the main thread.
class AppDelegate : public QObject {
  Q_OBJECT

 public:
  explicit AppDelegate(AppEnvironment environment, QObject* parent = nullptr);
  ~AppDelegate() override;

  /// The main window (parent of every sheet) and its instructions view.
  void setWindow(QWidget* window, ZVInstructionsTextView* textView);

  void applicationDidFinishLaunching();
  void applicationWillTerminate();

  void checkZelvar();
  // Checks Zelvar, then calls next; a failed check clears underWay (a member) and alerts.
  void checkZelvarThen(bool& underWay, void (AppDelegate::*next)());
  void checkQuennet();
  void startExportOperation();
  void startLibraryCheck();
  void reportError(const platform::Error& error);
  void openQuennetToImportMetadataFileAtURL(const platform::URL& metadataFileURL);
  void redirectStandardOutputToLogFile();

  /// "2.1(57)": the short version and the build number.
  static std::u16string versionAndBuildNumber();

  bool exportPasswordItems() const { return exportPasswordItems_; }
  bool exportEncryptedItems() const { return exportEncryptedItems_; }
  QWidget* window() const { return window_; }
  std::shared_ptr<source::SourceLibrary> zelvarApp() const { return zelvarApp_; }
  ZVOptionsWindowController* optionsWindow() const { return optionsWindow_; }
  ZVExportProgressWindow* progressWindow() const { return progressWindow_; }
  ZVLibraryCheckWindow* libraryCheckWindow() const { return libraryCheckWindow_; }
  std::optional<platform::URL> logFileURL() const { return logFileURL_; }
  /// True from a start until the attempt has ended (or the program quits after a hand-over).
  bool isImportUnderWay() const { return importUnderWay_; }
  /// True from a library check's start until its result or alert is shown.
  bool isLibraryCheckUnderWay() const { return libraryCheckUnderWay_; }

 public slots:
  void showOptions();
  void startImport();
  void checkLibrary();
  void showLogFiles();

 private:
  void showAlert(const Alert& alert, AlertStyle style);
  void showLibraryCheckResult(const std::optional<platform::Error>& error,
                              const std::optional<exporter::ExportPlan>& plan);
  ZVExportProgressWindow* preparedProgressWindow();

  bool exportPasswordItems_ = true;
  bool exportEncryptedItems_ = true;
  QPointer<QWidget> window_;
  QPointer<ZVInstructionsTextView> textView_;
  std::shared_ptr<source::SourceLibrary> zelvarApp_;
  QPointer<ZVOptionsWindowController> optionsWindow_;
  QPointer<ZVExportProgressWindow> progressWindow_;
  QPointer<ZVLibraryCheckWindow> libraryCheckWindow_;
  bool logFileOpen_ = false;
  std::optional<platform::URL> logFileURL_;
  AppEnvironment environment_;
  // Expires with this object. Callbacks hold it weakly rather than a QPointer, since they may
  // be destroyed on other threads, where a QPointer must not be let go.
  std::shared_ptr<const int> lifetime_ = std::make_shared<const int>(0);
  // Set while a check or an export is under way, so that a second start does not run beside it.
  bool importUnderWay_ = false;
  // Both read the source on the sheet's thread; neither starts while the other runs.
  bool libraryCheckUnderWay_ = false;
};

}  // namespace zv::app
