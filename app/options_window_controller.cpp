#include "app/options_window_controller.h"

#include <QDialogButtonBox>
#include <QLabel>
#include <QVBoxLayout>
#include <utility>

#include "app/qt_text.h"

namespace zv::app {
ZVOptionsWindowController::ZVOptionsWindowController(QWidget* parent)
    : QDialog(parent),
      passwordItems_(new QCheckBox(localizedQString(u"Export password items"), this)),
      encryptedItems_(new QCheckBox(localizedQString(u"Export encrypted items"), this)) {
  setObjectName(QStringLiteral("OptionsWindow"));
  setWindowTitle(localizedQString(u"Options"));
  setWindowModality(Qt::WindowModal);

  auto* heading = new QLabel(localizedQString(u"Choose what to import from Zelvar:"), this);
  auto* buttons = new QDialogButtonBox(this);
  saveButton_ = buttons->addButton(localizedQString(u"Save"), QDialogButtonBox::AcceptRole);
  cancelButton_ = buttons->addButton(localizedQString(u"Cancel"), QDialogButtonBox::RejectRole);
  saveButton_->setDefault(true);
  connect(buttons, &QDialogButtonBox::accepted, this, &ZVOptionsWindowController::save);
  connect(buttons, &QDialogButtonBox::rejected, this, &ZVOptionsWindowController::cancel);

  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(20, 20, 20, 16);
  layout->setSpacing(10);
  layout->addWidget(heading);
  layout->addWidget(passwordItems_);
  layout->addWidget(encryptedItems_);
  layout->addSpacing(8);
  layout->addWidget(buttons);
  layout->setSizeConstraint(QLayout::SetFixedSize);
}

bool ZVOptionsWindowController::exportPasswordItems() const {
  return passwordItems_->isChecked();
}

void ZVOptionsWindowController::setExportPasswordItems(bool value) {
  passwordItems_->setChecked(value);
}

bool ZVOptionsWindowController::exportEncryptedItems() const {
  return encryptedItems_->isChecked();
}

void ZVOptionsWindowController::setExportEncryptedItems(bool value) {
  encryptedItems_->setChecked(value);
}

void ZVOptionsWindowController::showSheetOnWindow(QWidget* parent, CompletionHandler handler) {
  handler_ = std::move(handler);
  if (parent != nullptr && parentWidget() != parent) {
    setParent(parent, windowFlags());
  }
  setWindowModality(Qt::WindowModal);
  saveButton_->setFocus();
  open();
}

void ZVOptionsWindowController::save() {
  endSheet(kSaved);
}

void ZVOptionsWindowController::cancel() {
  endSheet(kCancelled);
}

void ZVOptionsWindowController::endSheet(int returnCode) {
  QDialog::done(returnCode);
  // Taken first: the handler may show the sheet again, which sets a new one.
  CompletionHandler handler = std::exchange(handler_, nullptr);
  if (handler) {
    handler(returnCode);
  }
}

}  // namespace zv::app
