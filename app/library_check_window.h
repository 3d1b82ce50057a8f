#pragma once

#include <QDialog>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>

#include "export/dry_run.h"

namespace zv::app {

/// The sheet that shows what an import would do, found by the library check: a headline, then
/// the counts per kind with the reasons for skips, the space needed and free, and the skipped
/// items each with its reason. Created once and reused.
class ZVLibraryCheckWindow : public QDialog {
  Q_OBJECT

 public:
  explicit ZVLibraryCheckWindow(QWidget* parent = nullptr);

  /// Fills the sheet with the plan and shows it on the parent window.
  void showPlanOnParentWindow(QWidget* parent, const exporter::ExportPlan& plan);

  QLabel* headlineField() const { return headlineField_; }
  QPlainTextEdit* summaryView() const { return summaryView_; }
  QPushButton* doneButton() const { return doneButton_; }

  /// The headline and the text of the summary view for a plan.
  static QString headline(const exporter::ExportPlan& plan);
  static QString summaryText(const exporter::ExportPlan& plan);

 private:
  QLabel* headlineField_;
  QPlainTextEdit* summaryView_;
  QPushButton* doneButton_;
};

}  // namespace zv::app
