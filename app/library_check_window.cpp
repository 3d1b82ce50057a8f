#include "app/library_check_window.h"

#include <QDialogButtonBox>
#include <QFontMetrics>
#include <QVBoxLayout>
#include <cstdint>
#include <string>
#include <vector>

#include "app/dry_run_report.h"
#include "app/qt_text.h"
#include "platform/localization.h"
#include "platform/unicode.h"

namespace zv::app {

ZVLibraryCheckWindow::ZVLibraryCheckWindow(QWidget* parent)
    : QDialog(parent), headlineField_(new QLabel(this)), summaryView_(new QPlainTextEdit(this)) {
  setObjectName(QStringLiteral("LibraryCheckWindow"));
  setWindowTitle(localizedQString(u"Library Check"));
  setWindowModality(Qt::WindowModal);

  QFont bold = headlineField_->font();
  bold.setBold(true);
  headlineField_->setFont(bold);
  headlineField_->setTextFormat(Qt::PlainText);
  headlineField_->setWordWrap(true);
  summaryView_->setReadOnly(true);
  // Long lines (a container path, an odd identifier) scroll rather than break the columns.
  summaryView_->setLineWrapMode(QPlainTextEdit::NoWrap);
  const QFontMetrics metrics(summaryView_->font());
  summaryView_->setMinimumSize(metrics.horizontalAdvance(QLatin1Char('M')) * 40,
                               metrics.lineSpacing() * 16);

  auto* buttons = new QDialogButtonBox(this);
  doneButton_ = buttons->addButton(localizedQString(u"OK"), QDialogButtonBox::AcceptRole);
  doneButton_->setDefault(true);
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);

  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(20, 20, 20, 16);
  layout->setSpacing(10);
  layout->addWidget(headlineField_);
  layout->addWidget(summaryView_, 1);
  layout->addWidget(buttons);
  resize(620, 440);
}

void ZVLibraryCheckWindow::showPlanOnParentWindow(QWidget* parent,
                                                  const exporter::ExportPlan& plan) {
  headlineField_->setText(headline(plan));
  summaryView_->setPlainText(summaryText(plan));
  if (parent != nullptr && parentWidget() != parent) {
    setParent(parent, windowFlags());
  }
  setWindowModality(Qt::WindowModal);
  doneButton_->setFocus();
  open();
}

QString ZVLibraryCheckWindow::headline(const exporter::ExportPlan& plan) {
  std::int64_t skipped = 0;
  for (const exporter::KindPlan& kind : plan.kinds) {
    skipped += kind.skippedTotal();
  }
  return toQString(
      platform::formatLocalized(u"An import would export %ld of %ld items.",
                                {plan.exportedTotal(), plan.exportedTotal() + skipped}));
}

QString ZVLibraryCheckWindow::summaryText(const exporter::ExportPlan& plan) {
  std::string text;
  for (const std::string& line : dryRunSummaryLines(plan)) {
    text += line + "\n";
  }
  const std::vector<std::string> skipped = dryRunSkippedItemLines(plan);
  text += "\n";
  if (skipped.empty()) {
    text += platform::toUtf8(platform::localized(u"No item would be left out."));
  } else {
    text += platform::toUtf8(platform::localized(u"Left out:")) + "\n";
    for (const std::string& line : skipped) {
      text += "  " + line + "\n";
    }
  }
  return QString::fromStdString(text);
}

}  // namespace zv::app
