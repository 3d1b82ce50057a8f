#include "app/app_delegate.h"

#include <QCoreApplication>
#include <QLabel>
#include <QMessageBox>
#include <utility>
#include <variant>
#include <vector>

#include "app/export_progress_window.h"
#include "app/handover_url.h"
#include "app/main_window.h"
#include "app/options_window_controller.h"
#include "app/qt_text.h"
#include "app/run_log.h"
#include "export/export_errors.h"
#include "platform/bundle_info.h"
#include "platform/localization.h"
#include "platform/main_queue.h"

namespace zv::app {
namespace {

constexpr int kInformativeTextWidth = 300;
// The problems of a library check that its alert names; the rest are counted.
constexpr std::size_t kProblemsShown = 5;

class MessageBoxAlertPresenter final : public AlertPresenter {
 public:
  void presentAlert(const Alert& alert, AlertStyle style, QWidget* window) override {
    auto* box = new QMessageBox(window);
    box->setIcon(QMessageBox::Warning);
    box->setText(toQString(alert.messageText));
    box->setInformativeText(toQString(alert.informativeText));
    // The texts may carry names from the library: shown as they are, never read as markup.
    if (auto* label = box->findChild<QLabel*>(QStringLiteral("qt_msgbox_label"))) {
      label->setTextFormat(Qt::PlainText);
      QFont bold = label->font();
      bold.setBold(true);
      label->setFont(bold);
    }
    if (auto* label = box->findChild<QLabel*>(QStringLiteral("qt_msgbox_informativelabel"))) {
      label->setTextFormat(Qt::PlainText);
      // Wide enough that a sentence does not wrap after every other word.
      label->setMinimumWidth(kInformativeTextWidth);
    }
    box->setDefaultButton(box->addButton(QMessageBox::Ok));
    box->setAttribute(Qt::WA_DeleteOnClose);
    if (style == AlertStyle::kSheet && window != nullptr) {
      box->setWindowModality(Qt::WindowModal);
      box->open();
      return;
    }
    box->setWindowModality(Qt::ApplicationModal);
    box->exec();
  }
};

// What the platform's open calls report when they fail without saying why.
std::u16string descriptionOrFallback(const std::optional<platform::Error>& error,
                                     std::u16string_view fallback) {
  if (error && !error->description.empty()) {
    return error->description;
  }
  return platform::localized(fallback);
}

}  // namespace

std::unique_ptr<AlertPresenter> makeMessageBoxAlertPresenter() {
  return std::make_unique<MessageBoxAlertPresenter>();
}

AppDelegate::AppDelegate(AppEnvironment environment, QObject* parent)
    : QObject(parent), environment_(std::move(environment)) {
  if (!environment_.terminate) {
    environment_.terminate = [] { QCoreApplication::quit(); };
  }
}

AppDelegate::~AppDelegate() {
  // The sheets are children of the window when there is one; one without a window is ours.
  if (optionsWindow_ && optionsWindow_->parent() == nullptr) {
    delete optionsWindow_.data();
  }
  if (progressWindow_ && progressWindow_->parent() == nullptr) {
    delete progressWindow_.data();
  }
  if (libraryCheckWindow_ && libraryCheckWindow_->parent() == nullptr) {
    delete libraryCheckWindow_.data();
  }
}

void AppDelegate::setWindow(QWidget* window, ZVInstructionsTextView* textView) {
  window_ = window;
  textView_ = textView;
}

void AppDelegate::applicationDidFinishLaunching() {
  redirectStandardOutputToLogFile();
  if (textView_) {
    textView_->setTextContainerInset(QSizeF(5.0, 10.0));
    // The window stays usable without its instructions.
    if (auto text =
            environment_.readInstructions ? environment_.readInstructions() : std::nullopt) {
      textView_->setAttributedString(*text);
    }
  }
  exportPasswordItems_ = true;
  exportEncryptedItems_ = true;
}

void AppDelegate::applicationWillTerminate() {
  if (logFileOpen_ && environment_.runLog.close) {
    environment_.runLog.close();
  }
  logFileOpen_ = false;
}

void AppDelegate::showOptions() {
  if (!optionsWindow_) {
    optionsWindow_ = new ZVOptionsWindowController(window_);
  }
  optionsWindow_->setExportPasswordItems(exportPasswordItems_);
  optionsWindow_->setExportEncryptedItems(exportEncryptedItems_);
  optionsWindow_->showSheetOnWindow(window_, [this](int returnCode) {
    if (returnCode != ZVOptionsWindowController::kSaved) {
      return;
    }
    exportEncryptedItems_ = optionsWindow_->exportEncryptedItems();
    exportPasswordItems_ = optionsWindow_->exportPasswordItems();
  });
}

void AppDelegate::startImport() {
  // The checks wait for Zelvar to launch; a second start meanwhile would run a second export
  // into the same folder after the first one.
  if (importUnderWay_ || libraryCheckUnderWay_) {
    return;
  }
  importUnderWay_ = true;
  checkZelvar();
}

void AppDelegate::checkLibrary() {
  if (importUnderWay_ || libraryCheckUnderWay_) {
    return;
  }
  libraryCheckUnderWay_ = true;
  // The same checks as an import's, so that the library read is the one an import would read.
  checkZelvarThen(libraryCheckUnderWay_, &AppDelegate::startLibraryCheck);
}

void AppDelegate::startLibraryCheck() {
  preparedProgressWindow()->showLibraryCheckSheetOnParentWindow(
      window_, zelvarApp_, exportPasswordItems_, exportEncryptedItems_,
      [self = this, alive = std::weak_ptr<const int>(lifetime_)](
          const std::optional<platform::Error>& error,
          const std::optional<exporter::ExportPlan>& plan) {
        if (alive.expired()) {
          return;
        }
        self->libraryCheckUnderWay_ = false;
        self->showLibraryCheckResult(error, plan);
      });
}

void AppDelegate::showLibraryCheckResult(const std::optional<platform::Error>& error,
                                         const std::optional<exporter::ExportPlan>& plan) {
  if (error || !plan) {
    if (error && error->domain == platform::kCocoaErrorDomain &&
        error->code == platform::kUserCancelledErrorCode) {
      return;
    }
    showAlert(
        Alert{platform::localized(u"Cannot check the library."),
              error ? error->description : platform::localized(u"The library could not be read.")},
        AlertStyle::kSheet);
    return;
  }
  if (!plan->problems.empty()) {
    std::u16string problems;
    for (std::size_t index = 0; index < plan->problems.size() && index < kProblemsShown; ++index) {
      problems += (index == 0 ? u"" : u"\n") + plan->problems[index];
    }
    if (plan->problems.size() > kProblemsShown) {
      problems += u"\n" + platform::formatLocalized(
                              u"And %ld more.",
                              {static_cast<std::int64_t>(plan->problems.size() - kProblemsShown)});
    }
    showAlert(Alert{platform::localized(u"An import would not succeed."), problems},
              AlertStyle::kSheet);
    return;
  }
  if (!libraryCheckWindow_) {
    libraryCheckWindow_ = new ZVLibraryCheckWindow(window_);
  }
  libraryCheckWindow_->showPlanOnParentWindow(window_, *plan);
}

ZVExportProgressWindow* AppDelegate::preparedProgressWindow() {
  if (!progressWindow_) {
    progressWindow_ = new ZVExportProgressWindow(window_);
  }
  progressWindow_->setContainerURL(environment_.containerURL);
  if (environment_.freeSpace) {
    progressWindow_->setFreeSpaceSource(environment_.freeSpace);
  }
  if (environment_.verifyExport) {
    progressWindow_->setExportVerifier(environment_.verifyExport);
  }
  return progressWindow_;
}

void AppDelegate::checkZelvar() {
  checkZelvarThen(importUnderWay_, &AppDelegate::checkQuennet);
}

void AppDelegate::checkZelvarThen(bool& underWay, void (AppDelegate::*next)()) {
  app::checkZelvar(*environment_.workspace, environment_.makeSource,
                   [self = this, &underWay, next, alive = std::weak_ptr<const int>(lifetime_)](
                       std::variant<std::shared_ptr<source::SourceLibrary>, Alert> outcome) {
                     if (alive.expired()) {
                       return;
                     }
                     if (const auto* alert = std::get_if<Alert>(&outcome)) {
                       underWay = false;
                       self->showAlert(*alert, AlertStyle::kApplicationModal);
                       return;
                     }
                     self->zelvarApp_ =
                         std::get<std::shared_ptr<source::SourceLibrary>>(std::move(outcome));
                     (self->*next)();
                   });
}

void AppDelegate::checkQuennet() {
  auto outcome = app::checkQuennet(*environment_.workspace);
  if (const auto* alert = std::get_if<Alert>(&outcome)) {
    importUnderWay_ = false;
    showAlert(*alert, AlertStyle::kApplicationModal);
    return;
  }
  startExportOperation();
}

void AppDelegate::startExportOperation() {
  preparedProgressWindow()->showExportSheetOnParentWindow(
      window_, zelvarApp_, exportPasswordItems_, exportEncryptedItems_,
      [self = this, alive = std::weak_ptr<const int>(lifetime_)](
          std::optional<platform::Error> error, std::optional<platform::URL> metadataFileURL) {
        if (alive.expired()) {
          return;
        }
        if (error) {
          self->importUnderWay_ = false;
          self->reportError(*error);
          return;
        }
        if (!metadataFileURL) {
          // The operation promises one of the two; an export that names no file has failed.
          self->importUnderWay_ = false;
          self->reportError(
              exporter::makeImportError(exporter::kSourceFailedErrorCode,
                                        platform::localized(u"No metadata file was written.")));
          return;
        }
        self->openQuennetToImportMetadataFileAtURL(*metadataFileURL);
      });
}

void AppDelegate::reportError(const platform::Error& error) {
  if (error.domain == platform::kCocoaErrorDomain &&
      error.code == platform::kUserCancelledErrorCode) {
    return;
  }
  showAlert(Alert{platform::localized(u"Cannot export from Zelvar."), error.description},
            AlertStyle::kSheet);
}

void AppDelegate::openQuennetToImportMetadataFileAtURL(const platform::URL& metadataFileURL) {
  auto fail = [this](std::u16string informativeText) {
    importUnderWay_ = false;
    showAlert(Alert{platform::localized(u"Cannot open Quennet"), std::move(informativeText)},
              AlertStyle::kSheet);
  };
  // Quennet may have been removed since the check.
  const std::optional<platform::URL> quennet =
      environment_.workspace->URLForApplicationWithBundleIdentifier(
          platform::kQuennetBundleIdentifier);
  if (!quennet) {
    fail(platform::localized(u"Unable to locate the Quennet application."));
    return;
  }
  const std::optional<platform::URL> importURL = importURLForMetadataFileAtURL(metadataFileURL);
  if (!importURL) {
    fail(platform::localized(u"The location of the export cannot be handed over."));
    return;
  }
  environment_.workspace->openURLsWithApplicationAtURL(
      {*importURL}, *quennet,
      // Runs on any thread: it leaves everything to the main queue.
      [self = this, alive = std::weak_ptr<const int>(lifetime_)](
          const std::optional<platform::RunningApplication>&,
          std::optional<platform::Error> error) {
        platform::MainQueue* queue = platform::mainQueue();
        if (queue == nullptr) {
          return;
        }
        queue->post([self, alive, error = std::move(error)] {
          if (alive.expired()) {
            return;
          }
          if (error) {
            self->importUnderWay_ = false;
            self->showAlert(Alert{platform::localized(u"Cannot open Quennet"),
                                  descriptionOrFallback(error, u"Could not open Quennet.")},
                            AlertStyle::kSheet);
            return;
          }
          self->environment_.terminate();
        });
      });
}

void AppDelegate::showLogFiles() {
  if (!logFileURL_) {
    return;
  }
  environment_.workspace->selectFileInFileViewer(*logFileURL_,
                                                 logFileURL_->deletingLastPathComponent());
}

void AppDelegate::redirectStandardOutputToLogFile() {
  if (!environment_.runLog.open) {
    return;
  }
  logFileURL_ = environment_.runLog.open();
  logFileOpen_ = logFileURL_.has_value();
}

std::u16string AppDelegate::versionAndBuildNumber() {
  return app::versionAndBuildNumber();
}

void AppDelegate::showAlert(const Alert& alert, AlertStyle style) {
  if (environment_.alertPresenter) {
    environment_.alertPresenter->presentAlert(alert, style, window_);
  }
}

}  // namespace zv::app
