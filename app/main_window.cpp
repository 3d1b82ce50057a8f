#include "app/main_window.h"

#include <QApplication>
#include <QEvent>
#include <QFontMetricsF>
#include <QHBoxLayout>
#include <QMenuBar>
#include <QTextOption>
#include <QVBoxLayout>
#include <cmath>

#include "app/app_delegate.h"
#include "app/attributed_text_document.h"
#include "app/qt_text.h"

namespace zv::app {
ZVInstructionsTextView::ZVInstructionsTextView(QWidget* parent) : QTextEdit(parent) {
  setReadOnly(true);
  setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
  setFrameShape(QFrame::NoFrame);
  // The view's own background, so that the instructions read as a page in either theme.
  setBackgroundRole(QPalette::Base);
}

void ZVInstructionsTextView::setTextContainerInset(QSizeF inset) {
  inset_ = inset;
  document()->setDocumentMargin(0);
  const int horizontal = static_cast<int>(std::lround(inset.width()));
  const int vertical = static_cast<int>(std::lround(inset.height()));
  setViewportMargins(horizontal, vertical, horizontal, vertical);
}

void ZVInstructionsTextView::setAttributedString(const richtext::AttributedString& text) {
  text_ = text;
  render();
}

void ZVInstructionsTextView::changeEvent(QEvent* event) {
  QTextEdit::changeEvent(event);
  if (event->type() == QEvent::PaletteChange && text_) {
    render();
  }
}

void ZVInstructionsTextView::render() {
  if (!text_) {
    return;
  }
  setAttributedStringOnDocument(*document(), *text_, palette().color(QPalette::Text));
  // The bullets of the text are a tab apart from their words; the default stop (80 pixels) sets
  // them adrift.
  QTextOption option = document()->defaultTextOption();
  option.setTabStopDistance(QFontMetricsF(font()).horizontalAdvance(QLatin1Char('M')) * 1.5);
  document()->setDefaultTextOption(option);
  // Filling the document leaves the cursor, and the view, at the end: a reader starts at the top.
  moveCursor(QTextCursor::Start);
}

ZVMainWindow::ZVMainWindow(AppDelegate& delegate, QWidget* parent)
    : QMainWindow(parent), textView_(new ZVInstructionsTextView(this)) {
  setObjectName(QStringLiteral("MainWindow"));
  setWindowTitle(localizedQString(u"Zelvar Importer"));

  optionsAction_ = new QAction(localizedQString(u"Options…"), this);
  optionsAction_->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Comma));
  startImportAction_ = new QAction(localizedQString(u"Start Import"), this);
  startImportAction_->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_I));
  checkLibraryAction_ = new QAction(localizedQString(u"Check Library…"), this);
  checkLibraryAction_->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_K));
  showLogFilesAction_ = new QAction(localizedQString(u"Show Log Files"), this);
  showLogFilesAction_->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_L));
  quitAction_ = new QAction(localizedQString(u"Quit"), this);
  quitAction_->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
  quitAction_->setMenuRole(QAction::QuitRole);

  connect(optionsAction_, &QAction::triggered, &delegate, &AppDelegate::showOptions);
  connect(startImportAction_, &QAction::triggered, &delegate, &AppDelegate::startImport);
  connect(checkLibraryAction_, &QAction::triggered, &delegate, &AppDelegate::checkLibrary);
  connect(showLogFilesAction_, &QAction::triggered, &delegate, &AppDelegate::showLogFiles);
  connect(quitAction_, &QAction::triggered, qApp, &QApplication::quit, Qt::QueuedConnection);

  QMenu* fileMenu = menuBar()->addMenu(localizedQString(u"&File"));
  fileMenu->addAction(optionsAction_);
  fileMenu->addSeparator();
  fileMenu->addAction(checkLibraryAction_);
  fileMenu->addAction(startImportAction_);
  fileMenu->addAction(showLogFilesAction_);
  fileMenu->addSeparator();
  fileMenu->addAction(quitAction_);

  auto makeButton = [this](QAction* action, const QString& title) {
    auto* button = new QPushButton(title, this);
    connect(button, &QPushButton::clicked, action, &QAction::trigger);
    return button;
  };
  QPushButton* optionsButton = makeButton(optionsAction_, localizedQString(u"Options…"));
  QPushButton* showLogsButton =
      makeButton(showLogFilesAction_, localizedQString(u"Show Log Files"));
  QPushButton* checkButton = makeButton(checkLibraryAction_, localizedQString(u"Check Library…"));
  QPushButton* startButton = makeButton(startImportAction_, localizedQString(u"Start Import"));
  startButton->setDefault(true);

  auto* buttons = new QHBoxLayout;
  buttons->setContentsMargins(16, 10, 16, 14);
  // A nested layout takes its parent's spacing, and the text view sits flush on the buttons.
  buttons->setSpacing(8);
  buttons->addWidget(optionsButton);
  buttons->addWidget(showLogsButton);
  buttons->addStretch();
  buttons->addWidget(checkButton);
  buttons->addWidget(startButton);

  auto* central = new QWidget(this);
  auto* layout = new QVBoxLayout(central);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);
  layout->addWidget(textView_, 1);
  layout->addLayout(buttons);
  setCentralWidget(central);
  resize(560, 520);

  delegate.setWindow(this, textView_);
}

}  // namespace zv::app
