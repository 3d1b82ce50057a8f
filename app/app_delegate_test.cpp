#include "app/app_delegate.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QKeyEvent>
#include <filesystem>
#include <set>
#include <tuple>

#include "app/export_progress_window.h"
#include "app/gui_test_support.h"
#include "app/handover_url.h"
#include "app/main_window.h"
#include "app/options_window_controller.h"
#include "export/verify_export.h"
#include "platform/bundle_info.h"
#include "platform/files.h"
#include "platform/operation_queue.h"
#include "platform/unicode.h"
#include "source/memory_source_library.h"
#include "testsupport/fake_workspace.h"
#include "testsupport/fault_injecting_source_library.h"
#include "testsupport/file_contents.h"
#include "testsupport/temporary_folder.h"

namespace zv::app {
namespace {

using platform::URL;
using ::testing::HasSubstr;
using testsupport::FakeWorkspace;
using testsupport::FaultInjectingSourceLibrary;
using testsupport::SourceCall;

std::string utf8(const std::u16string& text) {
  return platform::toUtf8(text);
}

class RecordingAlertPresenter final : public AlertPresenter {
 public:
  void presentAlert(const Alert& alert, AlertStyle style, QWidget*) override {
    shown.emplace_back(alert, style);
  }
  std::vector<std::pair<Alert, AlertStyle>> shown;
};

// A plain note, an encrypted note and a password, each written as a small file; whileWriting
// runs as each is written.
std::shared_ptr<source::MemorySourceLibrary> makeSmallLibrary(
    std::function<void(const source::DatabaseItem&)> whileWriting = {}) {
  source::LibraryContents contents;
  for (auto [kind, name, encrypted] : {std::tuple{source::ItemKind::note, u"Plain", false},
                                       {source::ItemKind::note, u"Secret", true},
                                       {source::ItemKind::password, u"Login", false}}) {
    source::DatabaseItem item;
    item.kind = kind;
    item.id = item.name = name;
    item.encrypted = encrypted;
    contents.items.push_back(item);
  }
  return std::make_shared<source::MemorySourceLibrary>(
      std::move(contents),
      [whileWriting = std::move(whileWriting)](const source::DatabaseItem& item, const URL& folder)
          -> platform::Result<std::optional<URL>> {
        if (whileWriting) {
          whileWriting(item);
        }
        URL file = folder.appendingPathComponent(item.name + u".txt");
        ZV_TRY(platform::writeFileAtURL(file, testsupport::bytesOf("x"),
                                        platform::WriteMode::kCreateNew));
        return std::optional<URL>(file);
      });
}

class AppDelegateTest : public testsupport::TemporaryFolderTest {
 protected:
  void SetUp() override {
    testing::ensureGuiApplication();
    startOver();
  }

  void TearDown() override {
    window_.reset();
    delegate_.reset();
  }

  // Both applications installed, a fresh library, nothing shown yet.
  void startOver() {
    TearDown();
    workspace_ = std::make_unique<FakeWorkspace>();
    workspace_->versions = {{platform::kZelvarBundleIdentifier, u"1.5"},
                            {platform::kQuennetBundleIdentifier, u"3.0"}};
    library_ = std::make_shared<FaultInjectingSourceLibrary>(makeSmallLibrary());
    alerts_->shown.clear();
    terminations_ = 0;
  }

  void launch(RunLogHooks runLog = {},
              std::function<std::optional<richtext::AttributedString>()> instructions = {}) {
    AppEnvironment environment;
    environment.workspace = workspace_.get();
    environment.makeSource =
        [this](std::u16string_view identifier) -> std::shared_ptr<source::SourceLibrary> {
      return workspace_->URLForApplicationWithBundleIdentifier(identifier) ? library_ : nullptr;
    };
    environment.alertPresenter = alerts_;
    environment.runLog = std::move(runLog);
    environment.readInstructions = std::move(instructions);
    environment.containerURL = at(u"container", true);
    environment.freeSpace = freeSpace_;
    environment.verifyExport = verifier_;
    environment.terminate = [this] { ++terminations_; };
    delegate_ = std::make_unique<AppDelegate>(std::move(environment));
    window_ = std::make_unique<ZVMainWindow>(*delegate_);
    delegate_->applicationDidFinishLaunching();
  }

  // Starts an import the way the shortcut does and runs the event loop until it has ended.
  void runImport() {
    window_->startImportAction()->trigger();
    testing::processEventsUntil(
        [this] { return !delegate_->isImportUnderWay() || terminations_ > 0; });
  }

  URL metadataFileURL() const { return at(u"container/Zelvar/Zelvar.plist"); }

  // Runs the library check the way its shortcut does, until its result or alert is up.
  void runLibraryCheck() {
    window_->checkLibraryAction()->trigger();
    testing::processEventsUntil([this] { return !delegate_->isLibraryCheckUnderWay(); });
  }

  // Asks the sheet to cancel from the main thread, the way its button does; false when the
  // sheet was already gone.
  bool clickCancelOnTheSheet(QString* description = nullptr) {
    bool visible = false;
    platform::addOperationWithBlockAndWaitUntilFinished(*platform::mainQueue(), [&] {
      ZVExportProgressWindow* sheet = delegate_->progressWindow();
      visible = sheet->isVisible();
      if (description != nullptr) {
        *description = sheet->descriptionField()->text();
      }
      sheet->cancelButton()->click();
    });
    return visible;
  }

  std::unique_ptr<FakeWorkspace> workspace_;
  std::shared_ptr<FaultInjectingSourceLibrary> library_;
  std::shared_ptr<RecordingAlertPresenter> alerts_ = std::make_shared<RecordingAlertPresenter>();
  int terminations_ = 0;
  exporter::FreeSpaceSource freeSpace_;
  ExportVerifier verifier_;
  std::unique_ptr<AppDelegate> delegate_;
  std::unique_ptr<ZVMainWindow> window_;
};

struct FlowCase {
  const char* name;
  std::function<void(FakeWorkspace&, FaultInjectingSourceLibrary&)> arrange;
  // Empty message: no alert, the export is handed over and the program quits.
  std::u16string message{};
  std::u16string informative{};
  AlertStyle style = AlertStyle::kApplicationModal;
};

const std::u16string kCannotStart = u"Cannot start import.";

// Each check's own alerts are the checks' tests' business (and the command line's end-to-end
// tests'); here one alert of each step shows that the controller shows it, in its style.
TEST_F(AppDelegateTest, EachCheckEitherAlertsOrHandsTheExportOver) {
  const FlowCase cases[] = {
      {"both applications installed", [](auto&, auto&) {}},
      {"zelvar not installed",
       [](FakeWorkspace& w, auto&) { w.versions.erase(platform::kZelvarBundleIdentifier); },
       kCannotStart, u"Unable to locate the Zelvar application."},
      {"quennet not installed",
       [](FakeWorkspace& w, auto&) { w.versions.erase(platform::kQuennetBundleIdentifier); },
       kCannotStart, u"Unable to locate the Quennet application."},
      {"export fails",
       [](auto&, FaultInjectingSourceLibrary& l) {
         l.failCall(SourceCall::forEachItem, u"Zelvar stopped answering.");
       },
       u"Cannot export from Zelvar.", u"Zelvar stopped answering.", AlertStyle::kSheet},
      {"quennet refuses the hand-over",
       [](FakeWorkspace& w, auto&) {
         w.handOverError = platform::Error{u"test", 2, u"Quennet exited with status 1."};
       },
       u"Cannot open Quennet", u"Quennet exited with status 1.", AlertStyle::kSheet},
      {"quennet removed during the export",
       [](FakeWorkspace& w, FaultInjectingSourceLibrary& l) {
         // The main thread does not look at the applications while the export runs.
         l.setBeforeCall(
             [&w](SourceCall) { w.versions.erase(platform::kQuennetBundleIdentifier); });
       },
       u"Cannot open Quennet", u"Unable to locate the Quennet application.", AlertStyle::kSheet},
  };
  for (const FlowCase& c : cases) {
    SCOPED_TRACE(c.name);
    startOver();
    c.arrange(*workspace_, *library_);
    launch();

    runImport();

    if (c.message.empty()) {
      EXPECT_TRUE(alerts_->shown.empty());
      EXPECT_EQ(terminations_, 1);
      EXPECT_EQ(workspace_->launchActivations, std::vector<bool>{false});
      EXPECT_EQ(workspace_->handedOverURLs,
                std::vector<URL>{*importURLForMetadataFileAtURL(metadataFileURL())});
      EXPECT_TRUE(std::filesystem::exists(metadataFileURL().fileSystemPath()));
      continue;
    }
    ASSERT_EQ(alerts_->shown.size(), 1U);
    EXPECT_EQ(utf8(alerts_->shown[0].first.messageText), utf8(c.message));
    EXPECT_THAT(utf8(alerts_->shown[0].first.informativeText), HasSubstr(utf8(c.informative)));
    EXPECT_EQ(alerts_->shown[0].second, c.style);
    EXPECT_EQ(terminations_, 0);
    EXPECT_FALSE(delegate_->progressWindow() && delegate_->progressWindow()->isVisible());
  }
}

enum class Ending { kSaveButton, kReturnKey, kCancelButton, kEscapeKey };

TEST_F(AppDelegateTest, OnlyASavedOptionsSheetChangesTheOptions) {
  struct Case {
    const char* name;
    Ending ending;
    bool saved;
  } const cases[] = {
      {"save button", Ending::kSaveButton, true},
      {"return key", Ending::kReturnKey, true},
      {"cancel button", Ending::kCancelButton, false},
      {"escape key", Ending::kEscapeKey, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    launch();
    window_->optionsAction()->trigger();
    ZVOptionsWindowController* sheet = delegate_->optionsWindow();
    ASSERT_NE(sheet, nullptr);
    EXPECT_TRUE(sheet->isVisible());
    EXPECT_TRUE(sheet->passwordItemsCheckBox()->isChecked());
    sheet->passwordItemsCheckBox()->setChecked(false);
    sheet->encryptedItemsCheckBox()->setChecked(false);
    switch (c.ending) {
      case Ending::kSaveButton:
        sheet->saveButton()->click();
        break;
      case Ending::kCancelButton:
        sheet->cancelButton()->click();
        break;
      case Ending::kReturnKey:
      case Ending::kEscapeKey: {
        QKeyEvent press(QEvent::KeyPress,
                        c.ending == Ending::kReturnKey ? Qt::Key_Return : Qt::Key_Escape,
                        Qt::NoModifier);
        QCoreApplication::sendEvent(sheet, &press);
        break;
      }
    }
    EXPECT_FALSE(sheet->isVisible());
    EXPECT_EQ(delegate_->exportPasswordItems(), !c.saved);
    EXPECT_EQ(delegate_->exportEncryptedItems(), !c.saved);

    // The next showing starts from the controller's values, not from the last edit.
    window_->optionsAction()->trigger();
    EXPECT_EQ(delegate_->optionsWindow(), sheet);
    EXPECT_EQ(sheet->passwordItemsCheckBox()->isChecked(), !c.saved);
    sheet->cancel();
  }
}

TEST_F(AppDelegateTest, CancelKeepsTheSheetUntilTheExportEndsAndShowsNoAlert) {
  for (const bool byEscape : {false, true}) {
    SCOPED_TRACE(byEscape ? "escape key" : "cancel button");
    startOver();
    bool visibleAfterCancel = false;
    library_->setBeforeItem([&](const source::DatabaseItem&) {
      platform::addOperationWithBlockAndWaitUntilFinished(*platform::mainQueue(), [&] {
        ZVExportProgressWindow* sheet = delegate_->progressWindow();
        if (byEscape) {
          QKeyEvent press(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
          QCoreApplication::sendEvent(sheet, &press);
        } else {
          sheet->cancelButton()->click();
        }
        visibleAfterCancel = sheet->isVisible();
      });
    });
    launch();

    runImport();

    EXPECT_TRUE(visibleAfterCancel);
    EXPECT_FALSE(delegate_->progressWindow()->isVisible());
    EXPECT_TRUE(alerts_->shown.empty());
    EXPECT_TRUE(workspace_->handedOverURLs.empty());
    EXPECT_EQ(terminations_, 0);
  }
}

TEST_F(AppDelegateTest, ASecondExportReusesTheSheetAndItsQueue) {
  workspace_->handOverError = platform::Error{u"test", 2, u"Quennet is busy."};
  launch();
  runImport();
  ASSERT_EQ(alerts_->shown.size(), 1U);
  ZVExportProgressWindow* sheet = delegate_->progressWindow();
  platform::OperationQueue* queue = sheet->operationQueue();
  std::shared_ptr<platform::Progress> firstProgress = sheet->progress();

  workspace_->handOverError = std::nullopt;
  runImport();

  EXPECT_EQ(delegate_->progressWindow(), sheet);
  EXPECT_EQ(sheet->operationQueue(), queue);
  EXPECT_NE(sheet->progress(), firstProgress);
  EXPECT_EQ(terminations_, 1);
}

TEST_F(AppDelegateTest, ASecondStartWhileTheChecksRunIsIgnored) {
  launch();
  // Zelvar's launch reports back through the main queue, so both starts come before it does.
  window_->startImportAction()->trigger();
  window_->startImportAction()->trigger();
  testing::processEventsUntil([this] { return terminations_ > 0; });

  EXPECT_EQ(workspace_->launchActivations.size(), 1U);
  EXPECT_EQ(workspace_->handedOverURLs.size(), 1U);
}

TEST_F(AppDelegateTest, CheckLibraryShowsWhatAnImportWouldDoAndWritesNothing) {
  struct Case {
    const char* name;
    bool passwords;
    bool encrypted;
    QString headline;
    std::vector<std::string> inSummary;
    std::vector<std::string> notInSummary;
    std::set<std::string> exported;  // by the import that follows
  } const cases[] = {
      {"everything exported",
       true,
       true,
       QStringLiteral("An import would export 3 of 3 items."),
       {"notes: 2 to export, 0 converted, 0 skipped", "No item would be left out."},
       {"Left out:"},
       {"Login.txt", "Plain.txt", "Secret.txt"}},
      {"passwords and encrypted items left out",
       false,
       false,
       QStringLiteral("An import would export 1 of 3 items."),
       {"notes: 1 to export, 0 converted, 1 skipped (encrypted 1)",
        "passwords: 0 to export, 0 converted, 1 skipped (passwords left out 1)",
        "Items: 1 to export, 0 converted, 2 skipped", "Space: ", "Left out:",
        "Secret: encrypted (notes)", "Login: passwords left out (passwords)"},
       {"Plain:"},
       {"Plain.txt"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    startOver();
    std::filesystem::remove_all(folder_.path("container"));
    launch();
    window_->optionsAction()->trigger();
    delegate_->optionsWindow()->setExportPasswordItems(c.passwords);
    delegate_->optionsWindow()->setExportEncryptedItems(c.encrypted);
    delegate_->optionsWindow()->save();

    runLibraryCheck();

    EXPECT_TRUE(alerts_->shown.empty());
    ZVLibraryCheckWindow* sheet = delegate_->libraryCheckWindow();
    ASSERT_NE(sheet, nullptr);
    EXPECT_TRUE(sheet->isVisible());
    EXPECT_FALSE(delegate_->progressWindow()->isVisible());
    EXPECT_EQ(sheet->headlineField()->text(), c.headline);
    const std::string summary = sheet->summaryView()->toPlainText().toStdString();
    for (const std::string& text : c.inSummary) {
      EXPECT_THAT(summary, HasSubstr(text));
    }
    for (const std::string& text : c.notInSummary) {
      EXPECT_THAT(summary, ::testing::Not(HasSubstr(text)));
    }
    // A check writes nothing, hands nothing over, and leaves the way open for an import, which
    // follows the same options.
    EXPECT_FALSE(std::filesystem::exists(folder_.path("container/Zelvar")));
    EXPECT_TRUE(workspace_->handedOverURLs.empty());
    sheet->doneButton()->click();
    EXPECT_FALSE(sheet->isVisible());
    runImport();
    EXPECT_EQ(terminations_, 1);
    std::set<std::string> exported;
    for (const auto& entry :
         std::filesystem::directory_iterator(folder_.path("container/Zelvar/Zelvar"))) {
      exported.insert(entry.path().filename().string());
    }
    EXPECT_EQ(exported, c.exported);
  }
}

TEST_F(AppDelegateTest, ACheckOfTheLibraryThatCannotEndWellShowsWhyInAnAlert) {
  const FlowCase cases[] = {
      {"zelvar not installed",
       [](FakeWorkspace& w, auto&) { w.versions.erase(platform::kZelvarBundleIdentifier); },
       kCannotStart, u"Unable to locate the Zelvar application."},
      {"zelvar fails a call",
       [](auto&, FaultInjectingSourceLibrary& l) {
         l.failCall(SourceCall::forEachItem, u"Zelvar stopped answering.", 1);
       },
       u"Cannot check the library.", u"Zelvar stopped answering.", AlertStyle::kSheet},
      {"not enough space", [](auto&, auto&) {}, u"An import would not succeed.",
       u"Not enough free space in", AlertStyle::kSheet},
      {"cancelled", [](auto&, auto&) {}},
  };
  for (const FlowCase& c : cases) {
    SCOPED_TRACE(c.name);
    startOver();
    c.arrange(*workspace_, *library_);
    freeSpace_ = {};
    if (std::string_view(c.name) == "not enough space") {
      freeSpace_ = [](const URL&) -> platform::Result<std::int64_t> { return 1000; };
    }
    bool visibleWhenCancelled = false;
    if (std::string_view(c.name) == "cancelled") {
      library_->setBeforeItem(
          [&](const source::DatabaseItem&) { visibleWhenCancelled = clickCancelOnTheSheet(); });
    }
    launch();

    runLibraryCheck();

    EXPECT_FALSE(delegate_->progressWindow() && delegate_->progressWindow()->isVisible());
    EXPECT_FALSE(delegate_->libraryCheckWindow() && delegate_->libraryCheckWindow()->isVisible());
    if (c.message.empty()) {
      EXPECT_TRUE(visibleWhenCancelled);
      EXPECT_TRUE(alerts_->shown.empty());
      continue;
    }
    ASSERT_EQ(alerts_->shown.size(), 1U);
    EXPECT_EQ(utf8(alerts_->shown[0].first.messageText), utf8(c.message));
    EXPECT_THAT(utf8(alerts_->shown[0].first.informativeText), HasSubstr(utf8(c.informative)));
    EXPECT_EQ(alerts_->shown[0].second, c.style);
  }
}

TEST_F(AppDelegateTest, AnExportIsHandedOverOnlyAfterItsCheckFoundNothingWrong) {
  struct Case {
    const char* name;
    // Plants a fault in the export as the library writes its files.
    std::function<void(const source::DatabaseItem&)> plant;
    // Stands in for the verifier; none: the real one alone.
    ExportVerifier verifier;
    std::vector<std::string> informative;  // empty: no alert
    bool handedOver = false;
  } const cases[] = {
      {"clean export", {}, {}, {}, true},
      {"cancelled while verifying",
       {},
       [this](const std::filesystem::path& folder, const exporter::VerifyOptions& options) {
         EXPECT_TRUE(clickCancelOnTheSheet());
         exporter::VerifyReport report = exporter::verifyExport(folder, options);
         EXPECT_TRUE(report.stopped);
         return report;
       },
       {}},
      {"an extra file in the root folder",
       [this](const source::DatabaseItem& item) {
         if (item.name == u"Plain") {
           ASSERT_TRUE(platform::writeFileAtURL(at(u"container/Zelvar/Zelvar/planted.bin"),
                                                testsupport::bytesOf("?"),
                                                platform::WriteMode::kCreateNew));
         }
       },
       {},
       {"found a problem: the file \"planted.bin\" in the root folder has no item record.",
        "Nothing was handed over"}},
      {"many problems",
       {},
       [](const std::filesystem::path&, const exporter::VerifyOptions&) {
         exporter::VerifyReport report;
         report.problems = {"one", "two", "three", "four"};
         report.problemCount = 12;
         return report;
       },
       {"found 12 problems: one; two; three; and 9 more."}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    startOver();
    library_ = std::make_shared<FaultInjectingSourceLibrary>(
        makeSmallLibrary([&c](const source::DatabaseItem& item) {
          if (c.plant) {
            c.plant(item);
          }
        }));
    QString description;
    std::filesystem::path checkedFolder;
    verifier_ = [&](const std::filesystem::path& folder, const exporter::VerifyOptions& options) {
      checkedFolder = folder;
      platform::addOperationWithBlockAndWaitUntilFinished(*platform::mainQueue(), [&] {
        description = delegate_->progressWindow()->descriptionField()->text();
      });
      return c.verifier ? c.verifier(folder, options) : exporter::verifyExport(folder, options);
    };
    launch();

    runImport();

    EXPECT_EQ(description, QStringLiteral("Verifying…"));
    EXPECT_TRUE(std::filesystem::equivalent(checkedFolder, folder_.path("container/Zelvar")));
    EXPECT_FALSE(delegate_->progressWindow()->isVisible());
    EXPECT_EQ(workspace_->handedOverURLs.size(), c.handedOver ? 1U : 0U);
    EXPECT_EQ(terminations_, c.handedOver ? 1 : 0);
    if (c.informative.empty()) {
      EXPECT_TRUE(alerts_->shown.empty());
      continue;
    }
    ASSERT_EQ(alerts_->shown.size(), 1U);
    EXPECT_EQ(utf8(alerts_->shown[0].first.messageText), "Cannot export from Zelvar.");
    EXPECT_EQ(alerts_->shown[0].second, AlertStyle::kSheet);
    for (const std::string& text : c.informative) {
      EXPECT_THAT(utf8(alerts_->shown[0].first.informativeText), HasSubstr(text));
    }
  }
}

TEST_F(AppDelegateTest, LaunchShowsTheInstructionsInThePaletteTextColour) {
  richtext::AttributedString text(u"Welcome\n",
                                  {{richtext::NSForegroundColorAttributeName,
                                    richtext::Color{.red = 1, .green = 0, .blue = 0}}});
  launch({}, [&] { return text; });

  ZVInstructionsTextView* view = window_->textView();
  EXPECT_EQ(view->toPlainText(), QStringLiteral("Welcome\n"));
  EXPECT_EQ(view->textContainerInset(), QSizeF(5.0, 10.0));
  QTextCursor cursor(view->document());
  cursor.setPosition(1);
  EXPECT_EQ(cursor.charFormat().foreground().color(), view->palette().color(QPalette::Text));
}

TEST_F(AppDelegateTest, TheLogIsRevealedWhenThereIsOneAndClosedOnceAtQuit) {
  launch({[] { return std::optional<URL>(); }, [] {}});
  window_->showLogFilesAction()->trigger();
  EXPECT_TRUE(workspace_->revealedFiles.empty());

  int closes = 0;
  const URL log = at(u"Logs/Zelvar Importer_1.log");
  launch({[&] { return std::optional<URL>(log); }, [&] { ++closes; }});
  window_->showLogFilesAction()->trigger();
  delegate_->applicationWillTerminate();
  delegate_->applicationWillTerminate();

  ASSERT_EQ(workspace_->revealedFiles.size(), 1U);
  EXPECT_EQ(workspace_->revealedFiles[0].first, log);
  EXPECT_EQ(workspace_->revealedFiles[0].second, log.deletingLastPathComponent());
  EXPECT_EQ(closes, 1);
}

}  // namespace
}  // namespace zv::app
