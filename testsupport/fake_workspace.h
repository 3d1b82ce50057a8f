#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/main_queue.h"
#include "platform/workspace.h"

namespace zv::testsupport {

/// A workspace whose installed applications and answers the test sets, and which records what it
/// was asked to do. The two open calls report back on a thread of their own, as a real
/// workspace may.
class FakeWorkspace final : public platform::Workspace {
 public:
  using URL = platform::URL;

  ~FakeWorkspace() override {
    for (std::thread& thread : threads_) {
      thread.join();
    }
  }

  /// Where an installed application is found; its identifier has dots of its own, hence the
  /// extension.
  static URL applicationURL(std::u16string_view identifier) {
    return URL::fileURLWithPath(u"/apps/" + std::u16string(identifier) + u".desktop");
  }

  // The test's settings. An installed application may have no version.
  std::map<std::u16string, std::optional<std::u16string>> versions;
  bool launchSucceeds = true;
  std::optional<platform::Error> launchError;
  std::int32_t permission = 0;
  std::optional<platform::Error> handOverError;

  // What the workspace was asked; written on the main thread only.
  std::vector<URL> launched;
  std::vector<bool> launchActivations;
  bool permissionAskedOnMainThread = false;
  std::vector<URL> handedOverURLs;
  std::vector<std::pair<URL, URL>> revealedFiles;

  std::optional<URL> URLForApplicationWithBundleIdentifier(
      std::u16string_view identifier) const override {
    if (!versions.contains(std::u16string(identifier))) {
      return std::nullopt;
    }
    return applicationURL(identifier);
  }
  std::optional<std::u16string> shortVersionStringOfApplicationAtURL(
      const URL& url) const override {
    auto found = versions.find(url.deletingPathExtension().lastPathComponent());
    return found == versions.end() ? std::nullopt : found->second;
  }
  void openApplicationAtURL(const URL& url, bool activates, OpenCompletion completion) override {
    launched.push_back(url);
    launchActivations.push_back(activates);
    std::optional<platform::RunningApplication> application;
    if (launchSucceeds) {
      application = platform::RunningApplication{u"", "bus.name", 4242};
    }
    report(std::move(completion), std::move(application), launchError);
  }
  std::int32_t determinePermissionToAutomateTarget(const platform::RunningApplication&) override {
    permissionAskedOnMainThread =
        platform::mainQueue() != nullptr && platform::mainQueue()->isCurrentThreadMain();
    return permission;
  }
  void openURLsWithApplicationAtURL(const std::vector<URL>& urls, const URL&,
                                    OpenCompletion completion) override {
    handedOverURLs.insert(handedOverURLs.end(), urls.begin(), urls.end());
    report(std::move(completion), std::nullopt, handOverError);
  }
  void selectFileInFileViewer(const URL& file, const URL& rootFolder) override {
    revealedFiles.emplace_back(file, rootFolder);
  }

 private:
  void report(OpenCompletion completion, std::optional<platform::RunningApplication> application,
              std::optional<platform::Error> error) {
    threads_.emplace_back([completion = std::move(completion), application = std::move(application),
                           error = std::move(error)] { completion(application, error); });
  }

  std::vector<std::thread> threads_;
};

}  // namespace zv::testsupport
