// The pieces of the desktop program below the controller: the main queue, the progress sheet's
// text and the instructions' character formats.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "app/attributed_text_document.h"
#include "app/export_progress_window.h"
#include "app/gui_test_support.h"
#include "app/qt_main_queue.h"
#include "platform/operation_queue.h"

namespace zv::app {
namespace {

TEST(QtMainQueueTest, ShuttingDownReleasesAThreadWaitingOnABlock) {
  testing::ensureGuiApplication();
  QtMainQueue queue;
  std::atomic<bool> waiting{false};
  bool ranBlock = false;
  bool answer = true;
  std::thread waiter([&] {
    waiting = true;
    answer = platform::addOperationWithBlockAndWaitUntilFinished(queue, [&] { ranBlock = true; });
  });
  // The block is posted before or after the shutdown; either way it must never run and the
  // waiter must come back.
  while (!waiting) {
    std::this_thread::yield();
  }
  queue.shutDown();
  waiter.join();
  QCoreApplication::processEvents();
  EXPECT_FALSE(answer);
  EXPECT_FALSE(ranBlock);
}

TEST(ExportProgressWindowTest, AdditionalTextShowsCountsAndTimeLeft) {
  struct Case {
    const char* name;
    std::int64_t total;
    std::int64_t completed;
    bool cancelled;
    std::optional<double> secondsRemaining;
    QString expected;
  } const cases[] = {
      {"indeterminate", -1, 4, false, 30.0, QString()},
      {"cancelling", 10, 4, true, 30.0, QStringLiteral("4 of 10 items")},
      {"with estimate", 1000, 250, false, 125.0,
       QStringLiteral("250 of 1000 items  \u2014  2 minutes remaining")},
      {"more completed than counted", 2, 3, false, 0.0,
       QStringLiteral("3 of 2 items  \u2014  0 seconds remaining")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    platform::ProgressState state;
    state.totalUnitCount = c.total;
    state.completedUnitCount = c.completed;
    state.cancelled = c.cancelled;
    EXPECT_EQ(ZVExportProgressWindow::additionalText(state, c.secondsRemaining), c.expected);
  }
}

TEST(AttributedTextDocumentTest, FormatsFollowTheFaceAndIgnoreTheRunColour) {
  const QColor textColor(10, 20, 30);
  struct Case {
    const char* name;
    std::u16string fontName;
    const char* family;
    bool bold;
    bool italic;
    bool underline;  // the run asks for it too
  } const cases[] = {
      {"plain face", u"Times", "Times", false, false, false},
      {"bold variant", u"Helvetica-Bold", "Helvetica", true, false, false},
      {"bold oblique variant", u"Helvetica-BoldOblique", "Helvetica", true, true, false},
      {"italic with underline", u"Georgia-Italic", "Georgia", false, true, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    // Each run has a colour of its own, which the text colour overrides.
    richtext::Attributes attributes = {
        {richtext::NSFontAttributeName, richtext::Font{c.fontName, 12}},
        {richtext::NSForegroundColorAttributeName, richtext::Color{.red = 1}}};
    if (c.underline) {
      attributes[richtext::NSUnderlineStyleAttributeName] = std::int64_t{1};
    }
    const QTextCharFormat format = charFormatForAttributes(attributes, textColor);
    EXPECT_EQ(format.fontFamilies().toStringList(), QStringList{QString::fromUtf8(c.family)});
    EXPECT_EQ(format.fontWeight() == QFont::Bold, c.bold);
    EXPECT_EQ(format.fontItalic(), c.italic);
    EXPECT_EQ(format.fontUnderline(), c.underline);
    EXPECT_EQ(format.foreground().color(), textColor);
  }
}

}  // namespace
}  // namespace zv::app

// Fontconfig keeps its configuration until the process ends, which the leak checker of the
// address sanitizer build would report after every test that lays out text. The runtime asks
// for this hook by its reserved name.
extern "C" const char* __lsan_default_suppressions() {  // NOLINT(bugprone-reserved-identifier)
  return "leak:libfontconfig.so\n";
}
