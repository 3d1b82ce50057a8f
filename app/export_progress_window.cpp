#include "app/export_progress_window.h"

#include <QApplication>
#include <QCloseEvent>
#include <QFontDatabase>
#include <QFontMetricsF>
#include <QHBoxLayout>
#include <QVBoxLayout>
#include <chrono>
#include <climits>
#include <utility>

#include "app/qt_text.h"
#include "export/export_operation.h"
#include "platform/localization.h"
#include "text/time_remaining.h"

namespace zv::app {
namespace {

double secondsNow() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

bool digitsHaveEqualWidth(const QFont& font) {
  const QFontMetricsF metrics(font);
  const qreal zero = metrics.horizontalAdvance(QLatin1Char('0'));
  for (char digit = '1'; digit <= '9'; ++digit) {
    if (metrics.horizontalAdvance(QLatin1Char(digit)) != zero) {
      return false;
    }
  }
  return true;
}

}  // namespace

QFont monospacedDigitSystemFont() {
  const QFont system = QFontDatabase::systemFont(QFontDatabase::GeneralFont);
  if (digitsHaveEqualWidth(system)) {
    return system;
  }
  QFont fixed = QFontDatabase::systemFont(QFontDatabase::FixedFont);
  if (system.pointSizeF() > 0) {
    fixed.setPointSizeF(system.pointSizeF());
  }
  return fixed;
}

ZVExportProgressWindow::ZVExportProgressWindow(QWidget* parent)
    : QDialog(parent),
      descriptionField_(new QLabel(this)),
      progressBar_(new QProgressBar(this)),
      additionalTextField_(new QLabel(this)),
      cancelButton_(new QPushButton(localizedQString(u"Cancel"), this)) {
  setObjectName(QStringLiteral("ExportProgressWindow"));
  setWindowTitle(localizedQString(u"Importing from Zelvar"));
  setWindowModality(Qt::WindowModal);

  QFont bold = descriptionField_->font();
  bold.setBold(true);
  descriptionField_->setFont(bold);
  descriptionField_->setTextFormat(Qt::PlainText);
  additionalTextField_->setTextFormat(Qt::PlainText);
  progressBar_->setTextVisible(false);
  progressBar_->setMinimumWidth(380);
  cancelButton_->setAutoDefault(false);
  connect(cancelButton_, &QPushButton::clicked, this, &ZVExportProgressWindow::cancel);

  auto* buttonRow = new QHBoxLayout;
  buttonRow->addStretch();
  buttonRow->addWidget(cancelButton_);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(20, 20, 20, 16);
  layout->setSpacing(8);
  layout->addWidget(descriptionField_);
  layout->addWidget(progressBar_);
  layout->addWidget(additionalTextField_);
  layout->addSpacing(6);
  layout->addLayout(buttonRow);
  layout->setSizeConstraint(QLayout::SetFixedSize);
  windowDidLoad();
}

ZVExportProgressWindow::~ZVExportProgressWindow() {
  if (progress_ && observerToken_) {
    progress_->removeObserver(*observerToken_);
  }
  // The queue's destructor cancels and joins the export thread while this object still exists.
  operationQueue_.reset();
}

void ZVExportProgressWindow::windowDidLoad() {
  operationQueue_ = std::make_unique<platform::OperationQueue>();
  additionalTextField_->setFont(monospacedDigitSystemFont());
}

void ZVExportProgressWindow::showExportSheetOnParentWindow(
    QWidget* parent, std::shared_ptr<source::SourceLibrary> zelvarApp, bool exportPasswords,
    bool exportEncrypted, CompletionHandler completionHandler) {
  auto operation =
      std::make_shared<exporter::ZVExportOperation>(std::move(zelvarApp), *platform::mainQueue());
  operation->setExportEncryptedItems(exportEncrypted);
  operation->setExportPasswordItems(exportPasswords);
  operation->setContainerURL(containerURL_);
  operation->setFreeSpaceSource(freeSpace_);
  cancelRequested_ = false;
  observe(operation->progress());

  // The operation, and this block with it, may be let go on the export thread: the block holds
  // a weak token of the sheet's life, not a QPointer.
  operation->setExportCompletionBlock(
      [sheet = this, alive = std::weak_ptr<const int>(lifetime_),
       handler = std::move(completionHandler)](std::optional<platform::Error> error,
                                               std::optional<platform::URL> metadataFileURL) {
        if (alive.expired()) {
          // Nothing is left to check it with: an export that cannot be checked is not handed on.
          if (handler) {
            handler(error ? std::move(error) : platform::makeUserCancelledError(), std::nullopt);
          }
          return;
        }
        if (!error && metadataFileURL && !sheet->cancelRequested_) {
          sheet->verifyExport(*metadataFileURL, handler);
          return;
        }
        if (!error && sheet->cancelRequested_) {
          error = platform::makeUserCancelledError();
          metadataFileURL.reset();
        }
        sheet->endSheet();
        if (handler) {
          handler(std::move(error), std::move(metadataFileURL));
        }
      });
  operationQueue_->addOperation(operation);
  showOnParentWindow(parent, localizedQString(u"Importing from Zelvar"));
}

void ZVExportProgressWindow::verifyExport(const platform::URL& metadataFileURL,
                                          CompletionHandler handler) {
  auto operation =
      std::make_shared<ZVVerifyExportOperation>(metadataFileURL, *platform::mainQueue());
  operation->setVerifier(verifier_);
  observe(operation->progress());
  operation->setVerificationCompletionBlock(
      [sheet = this, alive = std::weak_ptr<const int>(lifetime_), handler = std::move(handler)](
          std::optional<platform::Error> error, std::optional<platform::URL> url) {
        if (!alive.expired()) {
          sheet->endSheet();
        }
        if (handler) {
          handler(std::move(error), std::move(url));
        }
      });
  operationQueue_->addOperation(operation);
}

void ZVExportProgressWindow::showLibraryCheckSheetOnParentWindow(
    QWidget* parent, std::shared_ptr<source::SourceLibrary> zelvarApp, bool exportPasswords,
    bool exportEncrypted, LibraryCheckHandler handler) {
  auto operation =
      std::make_shared<ZVLibraryCheckOperation>(std::move(zelvarApp), *platform::mainQueue());
  operation->setExportPasswordItems(exportPasswords);
  operation->setExportEncryptedItems(exportEncrypted);
  operation->setContainerURL(containerURL_);
  operation->setFreeSpaceSource(freeSpace_);
  cancelRequested_ = false;
  observe(operation->progress());
  operation->setCheckCompletionBlock(
      [sheet = this, alive = std::weak_ptr<const int>(lifetime_), handler = std::move(handler)](
          std::optional<platform::Error> error, std::optional<exporter::ExportPlan> plan) {
        if (!alive.expired()) {
          sheet->endSheet();
        }
        if (handler) {
          handler(std::move(error), std::move(plan));
        }
      });
  operationQueue_->addOperation(operation);
  showOnParentWindow(parent, localizedQString(u"Checking the Library"));
}

void ZVExportProgressWindow::endSheet() {
  done(QDialog::Accepted);
  hide();
}

void ZVExportProgressWindow::showOnParentWindow(QWidget* parent, const QString& title) {
  setWindowTitle(title);
  if (parent != nullptr && parentWidget() != parent) {
    setParent(parent, windowFlags());
  }
  setWindowModality(Qt::WindowModal);
  open();
}

void ZVExportProgressWindow::cancel() {
  cancelRequested_ = true;
  operationQueue_->cancelAllOperations();
}

void ZVExportProgressWindow::closeEvent(QCloseEvent* event) {
  event->ignore();
  cancel();
}

void ZVExportProgressWindow::observe(std::shared_ptr<platform::Progress> progress) {
  if (progress_ && observerToken_) {
    progress_->removeObserver(*observerToken_);
  }
  progress_ = std::move(progress);
  estimator_ = TimeRemainingEstimator();
  observerToken_ = progress_->addObserver(
      [this](const platform::ProgressState& state) { showProgressState(state); });
  showProgressState(progress_->state());
}

void ZVExportProgressWindow::showProgressState(const platform::ProgressState& state) {
  descriptionField_->setText(toQString(state.localizedDescription));
  if (state.isIndeterminate()) {
    progressBar_->setRange(0, 0);
  } else {
    // QProgressBar counts in int; a fraction keeps huge totals in range.
    constexpr int kSteps = 10000;
    progressBar_->setRange(0, kSteps);
    progressBar_->setValue(static_cast<int>(state.fractionCompleted() * kSteps));
  }
  additionalTextField_->setText(additionalText(state, estimator_.update(state, secondsNow())));
}

QString ZVExportProgressWindow::additionalText(const platform::ProgressState& state,
                                               std::optional<double> secondsRemaining) {
  if (state.isIndeterminate()) {
    return {};
  }
  std::u16string text = platform::formatLocalized(u"%ld of %ld items",
                                                  {state.completedUnitCount, state.totalUnitCount});
  // While cancelling the estimate no longer tells anything.
  if (secondsRemaining && !state.cancelled) {
    text += u"  \u2014  ";
    text += text::stringForTimeInterval(*secondsRemaining);
  }
  return toQString(text);
}

}  // namespace zv::app
