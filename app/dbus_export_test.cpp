// Whole exports from a library served over a private bus.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <filesystem>
#include <map>

#include "export/export_errors.h"
#include "export/export_operation.h"
#include "export/export_run_for_testing.h"
#include "platform/run_loop_main_queue.h"
#include "platform/unicode.h"
#include "source/dbus_library_service.h"
#include "source/dbus_source_library.h"
#include "source/dbus_test_bus.h"
#include "source/library_snapshot.h"
#include "testsupport/fault_injecting_source_library.h"
#include "testsupport/file_contents.h"
#include "testsupport/result_matchers.h"
#include "testsupport/temporary_folder.h"

namespace zv::exporter {
namespace {

using testsupport::IsOk;
using testsupport::SourceCall;

constexpr char kBusName[] = "org.example.zelvar.export-test";

std::shared_ptr<source::SourceLibrary> demoLibrary() {
  auto library =
      source::openLibrarySnapshot(std::filesystem::path(ZV_SOURCE_DIR) / "data/demo-library");
  EXPECT_THAT(library, IsOk());
  return library ? std::shared_ptr<source::SourceLibrary>(std::move(*library)) : nullptr;
}

class DBusExportTest : public testsupport::TemporaryFolderTest {
 protected:
  void SetUp() override {
    if (!bus_.running()) {
      GTEST_SKIP() << "dbus-daemon cannot be started here";
    }
  }

  void TearDown() override {
    if (child_ > 0) {
      ::kill(child_, SIGKILL);
      int status = 0;
      ::waitpid(child_, &status, 0);
    }
  }

  ExportRun runExport(const std::shared_ptr<source::SourceLibrary>& library,
                      std::u16string_view container) {
    platform::RunLoopMainQueue mainQueue;
    auto operation = std::make_shared<ZVExportOperation>(library, mainQueue);
    operation->setExportPasswordItems(true);
    operation->setExportEncryptedItems(true);
    operation->setContainerURL(at(container, true));
    return runExportToEnd(std::move(operation), mainQueue, pathOf(u"log.txt"));
  }

  // Name and content of every file the export wrote.
  std::map<std::string, std::string> exportedFiles(std::u16string_view container) const {
    std::map<std::string, std::string> files;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(
             pathOf(std::u16string(container) + u"/Zelvar/Zelvar"))) {
      if (entry.is_regular_file()) {
        files[entry.path().filename().string()] =
            testsupport::readFileText(entry.path()).value_or("");
      }
    }
    return files;
  }

  // Serves the library from a process of its own, which ends itself as the chosen call begins
  // for the n-th time, as an application that crashes mid-export.
  void serveInChildEndingAt(int callsBeforeVanishing) {
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    child_ = ::fork();
    ASSERT_GE(child_, 0);
    if (child_ == 0) {
      ::close(ready[0]);
      auto library = std::make_shared<testsupport::FaultInjectingSourceLibrary>(demoLibrary());
      int calls = 0;
      library->setBeforeCall([&](SourceCall call) {
        if ((call == SourceCall::exportItem || call == SourceCall::openItemPayload) &&
            ++calls > callsBeforeVanishing) {
          ::_exit(0);
        }
      });
      auto service = source::DBusLibraryService::start(*library, kBusName, {}, bus_.address());
      const char answer = service ? 'y' : 'n';
      if (::write(ready[1], &answer, 1) != 1 || !service) {
        ::_exit(1);
      }
      for (;;) {
        ::pause();
      }
    }
    ::close(ready[1]);
    char answer = 0;
    ASSERT_EQ(::read(ready[0], &answer, 1), 1);
    ::close(ready[0]);
    ASSERT_EQ(answer, 'y');
  }

  source::PrivateBus bus_;
  pid_t child_ = -1;
};

TEST_F(DBusExportTest, ExportsWhatTheSnapshotExports) {
  const std::shared_ptr<source::SourceLibrary> snapshot = demoLibrary();
  const ExportRun direct = runExport(snapshot, u"direct");
  ASSERT_EQ(direct.error, std::nullopt);

  auto service = source::DBusLibraryService::start(*snapshot, kBusName, {}, bus_.address());
  ASSERT_THAT(service, IsOk());
  const ExportRun overBus =
      runExport(source::makeDBusSourceLibrary(kBusName, bus_.address()), u"bus");
  ASSERT_EQ(overBus.error, std::nullopt);
  ASSERT_TRUE(overBus.metadataFile.has_value());
  EXPECT_EQ(overBus.completed, direct.completed);
  EXPECT_EQ(overBus.summary.exported, direct.summary.exported);
  EXPECT_EQ(overBus.summary.skipped, direct.summary.skipped);
  EXPECT_EQ(exportedFiles(u"bus"), exportedFiles(u"direct"));
}

TEST_F(DBusExportTest, AServiceThatVanishesEndsTheExportWithASourceFailure) {
  for (int callsBeforeVanishing : {0, 2}) {
    SCOPED_TRACE(callsBeforeVanishing);
    serveInChildEndingAt(callsBeforeVanishing);
    const std::u16string container =
        u"container" + platform::fromUtf8(std::to_string(callsBeforeVanishing));
    const ExportRun run =
        runExport(source::makeDBusSourceLibrary(kBusName, bus_.address()), container);
    ASSERT_TRUE(run.error.has_value());
    EXPECT_EQ(run.error->domain, kZVImportErrorDomain);
    EXPECT_EQ(run.error->code, kSourceFailedErrorCode);
    EXPECT_EQ(run.metadataFile, std::nullopt);
    EXPECT_FALSE(std::filesystem::exists(pathOf(container + u"/Zelvar/Zelvar.plist")));
    int status = 0;
    ASSERT_EQ(::waitpid(child_, &status, 0), child_);
    child_ = -1;
  }
}

}  // namespace
}  // namespace zv::exporter
