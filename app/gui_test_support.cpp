#include "app/gui_test_support.h"

#include <cstdlib>

#include "platform/files.h"

namespace zv::app::testing {

void ensureGuiApplication() {
  static QApplication* application = [] {
    // Set before the application exists: the offscreen platform needs no display.
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    static int argc = 1;
    static char name[] = "zv_gui_tests";
    static char* argv[] = {name, nullptr};
    return new QApplication(argc, argv);
  }();
  (void)application;
  testMainQueue();
}

QtMainQueue& testMainQueue() {
  static QtMainQueue* queue = [] {
    auto* made = new QtMainQueue;
    platform::setMainQueue(made);
    return made;
  }();
  return *queue;
}

void processEventsUntil(const std::function<bool()>& predicate) {
  while (!predicate()) {
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
  }
}

FakeWorkspace::~FakeWorkspace() {
  for (std::thread& thread : threads_) {
    thread.join();
  }
}

void FakeWorkspace::install(std::u16string bundleIdentifier,
                            std::optional<std::u16string> version) {
  uninstall(bundleIdentifier);
  platform::URL url =
      platform::URL::fileURLWithPath(u"/usr/share/applications/" + bundleIdentifier + u".desktop");
  applications_.emplace_back(std::move(bundleIdentifier),
                             Application{std::move(url), std::move(version)});
}

void FakeWorkspace::uninstall(std::u16string_view bundleIdentifier) {
  std::erase_if(applications_, [&](const auto& entry) { return entry.first == bundleIdentifier; });
}

void FakeWorkspace::failLaunch(std::optional<platform::Error> error) {
  launchFails_ = true;
  launchError_ = std::move(error);
}

std::optional<platform::URL> FakeWorkspace::URLForApplicationWithBundleIdentifier(
    std::u16string_view bundleIdentifier) const {
  for (const auto& [identifier, application] : applications_) {
    if (identifier == bundleIdentifier) {
      return application.url;
    }
  }
  return std::nullopt;
}

std::optional<std::u16string> FakeWorkspace::shortVersionStringOfApplicationAtURL(
    const platform::URL& applicationURL) const {
  for (const auto& entry : applications_) {
    if (entry.second.url == applicationURL) {
      return entry.second.version;
    }
  }
  return std::nullopt;
}

void FakeWorkspace::openApplicationAtURL(const platform::URL& applicationURL, bool activates,
                                         OpenCompletion completion) {
  {
    std::lock_guard lock(mutex_);
    activations_.push_back(activates);
  }
  if (launchFails_) {
    reportFromAnotherThread(std::move(completion), std::nullopt, launchError_);
    return;
  }
  platform::RunningApplication running{applicationURL.lastPathComponent(), "org.example.zelvar",
                                       4242};
  reportFromAnotherThread(std::move(completion), running, std::nullopt);
}

std::int32_t FakeWorkspace::determinePermissionToAutomateTarget(
    const platform::RunningApplication&) {
  return permissionAnswer_;
}

void FakeWorkspace::openURLsWithApplicationAtURL(const std::vector<platform::URL>& urls,
                                                 const platform::URL&, OpenCompletion completion) {
  {
    std::lock_guard lock(mutex_);
    handedOver_.insert(handedOver_.end(), urls.begin(), urls.end());
  }
  if (handOverError_) {
    reportFromAnotherThread(std::move(completion), std::nullopt, handOverError_);
    return;
  }
  reportFromAnotherThread(std::move(completion),
                          platform::RunningApplication{u"org.example.quennet", {}, 4343},
                          std::nullopt);
}

void FakeWorkspace::selectFileInFileViewer(const platform::URL& file,
                                           const platform::URL& rootFolder) {
  revealed_.emplace_back(file, rootFolder);
}

std::vector<platform::URL> FakeWorkspace::handedOverURLs() const {
  std::lock_guard lock(mutex_);
  return handedOver_;
}

std::vector<bool> FakeWorkspace::launchActivations() const {
  std::lock_guard lock(mutex_);
  return activations_;
}

void FakeWorkspace::reportFromAnotherThread(OpenCompletion completion,
                                            std::optional<platform::RunningApplication> application,
                                            std::optional<platform::Error> error) {
  threads_.emplace_back([completion = std::move(completion), application = std::move(application),
                         error = std::move(error)] { completion(application, error); });
}

void RecordingAlertPresenter::presentAlert(const Alert& alert, AlertStyle style, QWidget*) {
  shown.push_back(Shown{alert, style});
}

source::LibraryContents smallLibrary() {
  auto item = [](source::ItemKind kind, std::u16string id, std::u16string name,
                 std::optional<bool> encrypted) {
    source::DatabaseItem made;
    made.kind = kind;
    made.id = std::move(id);
    made.name = std::move(name);
    made.encrypted = encrypted;
    return made;
  };
  source::LibraryContents contents;
  contents.items = {item(source::ItemKind::note, u"n1", u"Plain", false),
                    item(source::ItemKind::note, u"n2", u"Secret", true),
                    item(source::ItemKind::password, u"p1", u"Login", std::nullopt)};
  return contents;
}

std::shared_ptr<source::MemorySourceLibrary> makeMemoryLibrary(source::LibraryContents contents) {
  return std::make_shared<source::MemorySourceLibrary>(
      std::move(contents),
      [](const source::DatabaseItem& item,
         const platform::URL& directory) -> platform::Result<std::optional<platform::URL>> {
        platform::URL file = directory.appendingPathComponent(item.name + u".txt");
        const std::vector<std::uint8_t> content{'x'};
        ZV_TRY(platform::writeFileAtURL(file, content, platform::WriteMode::kCreateNew));
        return std::optional<platform::URL>(file);
      });
}

}  // namespace zv::app::testing
