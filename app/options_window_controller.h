#pragma once

#include <QCheckBox>
#include <QDialog>
#include <QPushButton>
#include <functional>

namespace zv::app {

/// The options sheet: whether password items and encrypted items are exported. It edits its
/// own copy of the two options; the caller copies them in before showing it and back only when
/// the sheet was saved.
class ZVOptionsWindowController : public QDialog {
  Q_OBJECT

 public:
  /// The sheet's return codes.
  static constexpr int kCancelled = 0;
  static constexpr int kSaved = 1;

  using CompletionHandler = std::function<void(int returnCode)>;

  explicit ZVOptionsWindowController(QWidget* parent = nullptr);

  bool exportPasswordItems() const;
  void setExportPasswordItems(bool value);
  bool exportEncryptedItems() const;
  void setExportEncryptedItems(bool value);

  /// Shows the sheet on the parent window; the handler receives kSaved or kCancelled when the
  /// sheet ends.
  void showSheetOnWindow(QWidget* parent, CompletionHandler handler);

  QCheckBox* passwordItemsCheckBox() const { return passwordItems_; }
  QCheckBox* encryptedItemsCheckBox() const { return encryptedItems_; }
  QPushButton* saveButton() const { return saveButton_; }
  QPushButton* cancelButton() const { return cancelButton_; }

 public slots:
  void save();
  void cancel();

  // Return saves (the default button) and Escape cancels, as QDialog maps them.
  void accept() override { save(); }
  void reject() override { cancel(); }

 private:
  void endSheet(int returnCode);

  QCheckBox* passwordItems_;
  QCheckBox* encryptedItems_;
  QPushButton* saveButton_;
  QPushButton* cancelButton_;
  CompletionHandler handler_;
};

}  // namespace zv::app
