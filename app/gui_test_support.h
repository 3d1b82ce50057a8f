#pragma once

#include <QApplication>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "app/app_delegate.h"
#include "app/qt_main_queue.h"
#include "platform/workspace.h"
#include "source/memory_source_library.h"

namespace zv::app::testing {

/// The process's QApplication on the offscreen platform, and a QtMainQueue installed as the main
/// queue; made on first use and kept for the whole test run.
void ensureGuiApplication();
QtMainQueue& testMainQueue();

/// Runs the Qt event loop until the predicate holds; it is tested after every batch of events.
void processEventsUntil(const std::function<bool()>& predicate);

/// A workspace whose applications, answers and failures the test sets. Both open calls report
/// back on a thread of their own, as the platform's do.
class FakeWorkspace final : public platform::Workspace {
 public:
  struct Application {
    platform::URL url;
    std::optional<std::u16string> version;
  };

  ~FakeWorkspace() override;

  void install(std::u16string bundleIdentifier, std::optional<std::u16string> version);
  void uninstall(std::u16string_view bundleIdentifier);

  /// Makes the launch fail; the error may be none (a launch that reports neither).
  void failLaunch(std::optional<platform::Error> error);
  void setPermissionAnswer(std::int32_t answer) { permissionAnswer_ = answer; }
  void setHandOverError(std::optional<platform::Error> error) { handOverError_ = std::move(error); }

  std::optional<platform::URL> URLForApplicationWithBundleIdentifier(
      std::u16string_view bundleIdentifier) const override;
  std::optional<std::u16string> shortVersionStringOfApplicationAtURL(
      const platform::URL& applicationURL) const override;
  void openApplicationAtURL(const platform::URL& applicationURL, bool activates,
                            OpenCompletion completion) override;
  std::int32_t determinePermissionToAutomateTarget(
      const platform::RunningApplication& target) override;
  void openURLsWithApplicationAtURL(const std::vector<platform::URL>& urls,
                                    const platform::URL& applicationURL,
                                    OpenCompletion completion) override;
  void selectFileInFileViewer(const platform::URL& file, const platform::URL& rootFolder) override;

  std::vector<platform::URL> handedOverURLs() const;
  std::vector<bool> launchActivations() const;
  std::vector<std::pair<platform::URL, platform::URL>> revealedFiles() const { return revealed_; }

 private:
  void reportFromAnotherThread(OpenCompletion completion,
                               std::optional<platform::RunningApplication> application,
                               std::optional<platform::Error> error);

  std::vector<std::pair<std::u16string, Application>> applications_;
  bool launchFails_ = false;
  std::optional<platform::Error> launchError_;
  std::int32_t permissionAnswer_ = 0;
  std::optional<platform::Error> handOverError_;
  mutable std::mutex mutex_;
  std::vector<platform::URL> handedOver_;
  std::vector<bool> activations_;
  std::vector<std::pair<platform::URL, platform::URL>> revealed_;
  std::vector<std::thread> threads_;
};

/// Records alerts instead of showing them.
class RecordingAlertPresenter final : public AlertPresenter {
 public:
  struct Shown {
    Alert alert;
    AlertStyle style;
  };
  void presentAlert(const Alert& alert, AlertStyle style, QWidget* window) override;
  std::vector<Shown> shown;
};

/// A small library of every kind the options decide on: a plain note, an encrypted note and a
/// password; the source writes each item as a small file.
source::LibraryContents smallLibrary();
std::shared_ptr<source::MemorySourceLibrary> makeMemoryLibrary(source::LibraryContents contents);

}  // namespace zv::app::testing
