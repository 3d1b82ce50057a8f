#include "app/import_checks.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/bundle_info.h"
#include "platform/run_loop_main_queue.h"
#include "source/memory_source_library.h"

namespace zv::app {
namespace {

using platform::RunningApplication;
using platform::URL;

struct InstalledApplication {
  std::u16string identifier;
  std::optional<std::u16string> version;
};

URL applicationURL(std::u16string_view identifier) {
  return URL::fileURLWithPath(u"/usr/share/applications/" + std::u16string(identifier) +
                              u".desktop");
}

// Answers from a table and reports the launch from a thread of its own, as a real workspace may.
class FakeWorkspace final : public platform::Workspace {
 public:
  std::vector<InstalledApplication> installed;
  bool launchSucceeds = true;
  std::optional<platform::Error> launchError;
  std::int32_t permission = 0;

  std::vector<URL> opened;
  std::vector<bool> activations;
  std::vector<RunningApplication> permissionTargets;
  bool permissionAskedOnMainThread = false;

  ~FakeWorkspace() override {
    for (std::thread& thread : threads_) {
      thread.join();
    }
  }

  std::optional<URL> URLForApplicationWithBundleIdentifier(
      std::u16string_view identifier) const override {
    for (const InstalledApplication& application : installed) {
      if (application.identifier == identifier) {
        return applicationURL(identifier);
      }
    }
    return std::nullopt;
  }

  std::optional<std::u16string> shortVersionStringOfApplicationAtURL(
      const URL& url) const override {
    for (const InstalledApplication& application : installed) {
      if (applicationURL(application.identifier) == url) {
        return application.version;
      }
    }
    return std::nullopt;
  }

  void openApplicationAtURL(const URL& url, bool activates, OpenCompletion completion) override {
    opened.push_back(url);
    activations.push_back(activates);
    std::optional<RunningApplication> application;
    if (launchSucceeds) {
      application = RunningApplication{url.lastPathComponent(), "bus.name", 4242};
    }
    threads_.emplace_back([completion = std::move(completion), application, this] {
      completion(application, launchError);
    });
  }

  std::int32_t determinePermissionToAutomateTarget(const RunningApplication& target) override {
    permissionTargets.push_back(target);
    permissionAskedOnMainThread = platform::mainQueue()->isCurrentThreadMain();
    return permission;
  }

  void openURLsWithApplicationAtURL(const std::vector<URL>&, const URL&, OpenCompletion) override {}
  void selectFileInFileViewer(const URL&, const URL&) override {}

 private:
  std::vector<std::thread> threads_;
};

class ImportChecksTest : public testing::Test {
 protected:
  ImportChecksTest() { platform::setMainQueue(&queue_); }
  ~ImportChecksTest() override { platform::setMainQueue(nullptr); }

  // A handle for every identifier the workspace has installed, as the desktop factory makes them.
  SourceApplicationFactory factory() {
    return [this](std::u16string_view identifier) -> std::shared_ptr<source::SourceLibrary> {
      askedIdentifiers_.emplace_back(identifier);
      if (!workspace_.URLForApplicationWithBundleIdentifier(identifier)) {
        return nullptr;
      }
      auto library =
          std::make_shared<source::MemorySourceLibrary>(source::LibraryContents{}, nullptr);
      handles_[std::u16string(identifier)] = library;
      return library;
    };
  }

  std::variant<std::shared_ptr<source::SourceLibrary>, Alert> runChecks() {
    std::optional<std::variant<std::shared_ptr<source::SourceLibrary>, Alert>> outcome;
    bool onMainThread = false;
    checkZelvar(workspace_, factory(), [&](auto result) {
      onMainThread = queue_.isCurrentThreadMain();
      outcome = std::move(result);
    });
    EXPECT_TRUE(queue_.runUntil([&] { return outcome.has_value(); }));
    EXPECT_TRUE(onMainThread);
    return *std::move(outcome);
  }

  platform::RunLoopMainQueue queue_;
  FakeWorkspace workspace_;
  std::vector<std::u16string> askedIdentifiers_;
  std::map<std::u16string, std::shared_ptr<source::SourceLibrary>> handles_;
};

const Alert kNoZelvar{u"Cannot start import.", u"Unable to locate the Zelvar application."};
const Alert kTooOld{u"Cannot start import.",
                    u"This version of Zelvar is too old. Version 1.4.2 or later is required."};
const Alert kNotPermitted{u"This app does not have authority to control Zelvar.",
                          u"Allow this app to control Zelvar in Security & Privacy System "
                          u"Settings."};

TEST_F(ImportChecksTest, EachFailedCheckEndsWithItsAlert) {
  struct Case {
    const char* name;
    std::vector<InstalledApplication> installed;
    bool launchSucceeds;
    std::int32_t permission;
    std::optional<platform::Error> launchError;
    std::optional<Alert> expected;  // none: the checks pass
  };
  const platform::Error reason{u"Domain", 5, u"No such service."};
  const platform::Error noReason{u"Domain", 1, u""};
  const std::vector<InstalledApplication> current = {{platform::kZelvarBundleIdentifier, u"1.5"}};
  const Alert launchFailed{u"Cannot start import.", u"Could not open Zelvar."};
  const Case cases[] = {
      {"nothing installed", {}, true, 0, std::nullopt, kNoZelvar},
      {"only Quennet", {{platform::kQuennetBundleIdentifier, u"2"}}, true, 0, {}, kNoZelvar},
      {"too old", {{platform::kZelvarBundleIdentifier, u"1.4.1"}}, true, 0, {}, kTooOld},
      {"no version", {{platform::kZelvarBundleIdentifier, std::nullopt}}, true, 0, {}, kTooOld},
      {"launch failed", current, false, 0, reason,
       Alert{u"Cannot start import.", u"No such service."}},
      {"launch failed without error", current, false, 0, std::nullopt, launchFailed},
      {"launch failed, no description", current, false, 0, noReason, launchFailed},
      {"not permitted", current, true, platform::kAutomationNotPermitted, {}, kNotPermitted},
      {"consent still to ask goes on", current, true, -1744, std::nullopt, std::nullopt},
      {"process not found goes on", current, true, -600, std::nullopt, std::nullopt},
      {"permitted", current, true, 0, std::nullopt, std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    workspace_.installed = c.installed;
    workspace_.launchSucceeds = c.launchSucceeds;
    workspace_.permission = c.permission;
    workspace_.launchError = c.launchError;
    auto outcome = runChecks();
    if (c.expected) {
      ASSERT_TRUE(std::holds_alternative<Alert>(outcome));
      EXPECT_EQ(std::get<Alert>(outcome), *c.expected);
    } else {
      ASSERT_TRUE(std::holds_alternative<std::shared_ptr<source::SourceLibrary>>(outcome));
      EXPECT_EQ(std::get<0>(outcome), handles_[platform::kZelvarBundleIdentifier]);
    }
  }
}

TEST_F(ImportChecksTest, LaunchesBehindAndAsksPermissionOnTheMainThread) {
  workspace_.installed = {{platform::kZelvarBundleIdentifier, u"1.4.2"}};
  auto outcome = runChecks();
  ASSERT_TRUE(std::holds_alternative<std::shared_ptr<source::SourceLibrary>>(outcome));
  EXPECT_THAT(workspace_.activations, testing::ElementsAre(false));
  ASSERT_EQ(workspace_.permissionTargets.size(), 1U);
  EXPECT_EQ(workspace_.permissionTargets[0].processIdentifier, 4242);
  EXPECT_TRUE(workspace_.permissionAskedOnMainThread);
}

TEST_F(ImportChecksTest, PrefersVersionFourWhenBothAreInstalled) {
  // The base application alone would fail the version test: only version 4 may be looked at.
  workspace_.installed = {{platform::kZelvarBundleIdentifier, u"1.0"},
                          {platform::kZelvar4BundleIdentifier, u"4.6"}};
  auto outcome = runChecks();
  ASSERT_TRUE(std::holds_alternative<std::shared_ptr<source::SourceLibrary>>(outcome));
  EXPECT_EQ(std::get<0>(outcome), handles_[platform::kZelvar4BundleIdentifier]);
  EXPECT_THAT(askedIdentifiers_, testing::ElementsAre(platform::kZelvar4BundleIdentifier));
  EXPECT_THAT(workspace_.opened,
              testing::ElementsAre(applicationURL(platform::kZelvar4BundleIdentifier)));
}

TEST_F(ImportChecksTest, FailedChecksLaunchNothing) {
  workspace_.installed = {{platform::kZelvarBundleIdentifier, u"1.4"}};
  EXPECT_TRUE(std::holds_alternative<Alert>(runChecks()));
  EXPECT_TRUE(workspace_.opened.empty());
}

TEST(ZelvarVersionTest, AcceptsOneFourTwoAndLater) {
  struct Case {
    std::u16string version;
    bool supported;
  };
  const Case cases[] = {
      {u"1.4.2", true},
      {u"1.5", true},
      {u"1.10.0", true},
      {u"4.6", true},
      {u"4", true},
      {u"1.4.2.9", true},
      {u"1.4.2beta", true},
      {u"2.x", true},
      {u"1.4.1", false},
      {u"1.4", false},
      {u"0.9.9", false},
      {u"", false},
      {u"v2", false},
      {u"1..9", false},
      {u"1.4.1.99", false},
      {u"1.04.02", true},
      {u"1.3.99999999999999999999999", false},
      {u"1.4.99999999999999999999999", true},
      {u"18446744073709551617", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.version.begin(), c.version.end()));
    EXPECT_EQ(isSupportedZelvarVersion(c.version), c.supported);
  }
}

TEST_F(ImportChecksTest, QuennetIsLocatedOrReported) {
  EXPECT_EQ(std::get<Alert>(checkQuennet(workspace_)),
            (Alert{u"Cannot start import.", u"Unable to locate the Quennet application."}));
  workspace_.installed = {{platform::kQuennetBundleIdentifier, std::nullopt}};
  EXPECT_EQ(std::get<URL>(checkQuennet(workspace_)),
            applicationURL(platform::kQuennetBundleIdentifier));
}

}  // namespace
}  // namespace zv::app
