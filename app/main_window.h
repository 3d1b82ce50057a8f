#pragma once

#include <QAction>
#include <QMainWindow>
#include <QPushButton>
#include <QSizeF>
#include <QTextEdit>
#include <optional>

#include "richtext/attributed_string.h"

namespace zv::app {

class AppDelegate;

/// The read-only view of the instructions. It keeps the text so that it can paint it again in
/// the palette's text colour whenever the palette changes (light and dark themes).
class ZVInstructionsTextView : public QTextEdit {
  Q_OBJECT

 public:
  explicit ZVInstructionsTextView(QWidget* parent = nullptr);

  /// The space between the view's edges and the text, horizontally and vertically, in points.
  void setTextContainerInset(QSizeF inset);
  QSizeF textContainerInset() const { return inset_; }

  /// Shows the text with every run's colour replaced by the palette's text colour.
  void setAttributedString(const richtext::AttributedString& text);

 protected:
  void changeEvent(QEvent* event) override;

 private:
  void render();

  QSizeF inset_;
  std::optional<richtext::AttributedString> text_;
};

/// The one main window: the instructions and the four actions as buttons and menu items.
class ZVMainWindow : public QMainWindow {
  Q_OBJECT

 public:
  explicit ZVMainWindow(AppDelegate& delegate, QWidget* parent = nullptr);

  ZVInstructionsTextView* textView() const { return textView_; }
  QAction* optionsAction() const { return optionsAction_; }
  QAction* startImportAction() const { return startImportAction_; }
  QAction* checkLibraryAction() const { return checkLibraryAction_; }
  QAction* showLogFilesAction() const { return showLogFilesAction_; }
  QAction* quitAction() const { return quitAction_; }

 private:
  ZVInstructionsTextView* textView_;
  QAction* optionsAction_;
  QAction* startImportAction_;
  QAction* checkLibraryAction_;
  QAction* showLogFilesAction_;
  QAction* quitAction_;
};

}  // namespace zv::app
