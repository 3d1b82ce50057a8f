#include "app/import_checks.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <utility>
#include <vector>

#include "platform/bundle_info.h"
#include "platform/run_loop_main_queue.h"
#include "source/memory_source_library.h"
#include "testsupport/fake_workspace.h"

namespace zv::app {
namespace {

using testsupport::FakeWorkspace;
using Outcome = std::variant<std::shared_ptr<source::SourceLibrary>, Alert>;
constexpr const char16_t* kBase = platform::kZelvarBundleIdentifier;
constexpr const char16_t* kFour = platform::kZelvar4BundleIdentifier;

class ImportChecksTest : public testing::Test {
 protected:
  ImportChecksTest() { platform::setMainQueue(&queue_); }
  ~ImportChecksTest() override { platform::setMainQueue(nullptr); }

  // A handle for every installed identifier, as the desktop factory makes them.
  Outcome runChecks() {
    SourceApplicationFactory factory = [this](std::u16string_view id) {
      asked_.emplace_back(id);
      std::shared_ptr<source::SourceLibrary> handle;
      if (workspace_.URLForApplicationWithBundleIdentifier(id)) {
        handle = std::make_shared<source::MemorySourceLibrary>(source::LibraryContents{}, nullptr);
      }
      return handles_[std::u16string(id)] = handle;
    };
    std::optional<Outcome> outcome;
    bool onMainThread = false;
    checkZelvar(workspace_, factory, [&](Outcome result) {
      onMainThread = queue_.isCurrentThreadMain();
      outcome = std::move(result);
    });
    EXPECT_TRUE(queue_.runUntil([&] { return outcome.has_value(); }));
    EXPECT_TRUE(onMainThread);
    return *std::move(outcome);
  }

  platform::RunLoopMainQueue queue_;
  FakeWorkspace workspace_;
  std::vector<std::u16string> asked_;
  std::map<std::u16string, std::shared_ptr<source::SourceLibrary>> handles_;
};

TEST_F(ImportChecksTest, EachFailedCheckEndsWithItsAlert) {
  struct Case {
    const char* name;
    std::map<std::u16string, std::optional<std::u16string>> versions;
    bool launchSucceeds;
    std::int32_t permission;
    std::optional<platform::Error> launchError;
    std::optional<Alert> expected;  // none: the checks pass
  };
  const std::u16string cannot = u"Cannot start import.";
  const Alert noZelvar{cannot, u"Unable to locate the Zelvar application."};
  const Alert tooOld{cannot,
                     u"This version of Zelvar is too old. Version 1.4.2 or later is required."};
  const Alert notOpened{cannot, u"Could not open Zelvar."};
  const platform::Error reason{u"D", 5, u"No such service."};
  const std::map<std::u16string, std::optional<std::u16string>> current = {{kBase, u"1.5"}};
  // Those the command line's own tests reach (nothing installed, too old, refused) are not
  // repeated here.
  const Case cases[] = {
      {"only Quennet", {{platform::kQuennetBundleIdentifier, u"2"}}, true, 0, {}, noZelvar},
      {"no version", {{kBase, std::nullopt}}, true, 0, {}, tooOld},
      {"launch failed", current, false, 0, reason, Alert{cannot, u"No such service."}},
      {"launch failed without error", current, false, 0, {}, notOpened},
      {"launch failed, no description", current, false, 0, platform::Error{u"D", 1, u""},
       notOpened},
      {"consent still to ask goes on", current, true, -1744, {}, std::nullopt},
      {"permitted", current, true, 0, {}, std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    workspace_.versions = c.versions;
    workspace_.launchSucceeds = c.launchSucceeds;
    workspace_.permission = c.permission;
    workspace_.launchError = c.launchError;
    Outcome outcome = runChecks();
    if (c.expected) {
      ASSERT_TRUE(std::holds_alternative<Alert>(outcome));
      EXPECT_EQ(std::get<Alert>(outcome), *c.expected);
      continue;
    }
    ASSERT_FALSE(std::holds_alternative<Alert>(outcome));
    EXPECT_EQ(std::get<0>(outcome), handles_[kBase]);
    EXPECT_THAT(workspace_.launchActivations, testing::Each(false));
    EXPECT_TRUE(workspace_.permissionAskedOnMainThread);
  }
}

TEST_F(ImportChecksTest, PrefersVersionFourWhenBothAreInstalled) {
  // The base application alone would fail the version test.
  workspace_.versions = {{kBase, u"1.0"}, {kFour, u"4.6"}};
  Outcome outcome = runChecks();
  ASSERT_FALSE(std::holds_alternative<Alert>(outcome));
  EXPECT_EQ(std::get<0>(outcome), handles_[kFour]);
  EXPECT_THAT(asked_, testing::ElementsAre(kFour));
  EXPECT_THAT(workspace_.launched, testing::ElementsAre(FakeWorkspace::applicationURL(kFour)));
  EXPECT_EQ(std::get<Alert>(checkQuennet(workspace_)),
            (Alert{u"Cannot start import.", u"Unable to locate the Quennet application."}));
}

TEST(ZelvarVersionTest, AcceptsOneFourTwoAndLater) {
  // Pieces too long for an integer count as the largest, never wrapping round.
  const std::pair<bool, std::vector<std::u16string>> cases[] = {
      {true,
       {u"1.4.2", u"1.10.0", u"4", u"1.4.2.9", u"1.4.2beta", u"1.04.02", u"18446744073709551617"}},
      {false, {u"1.4", u"0.9.9", u"", u"v2", u"1..9", u"1.4.1.99", u"1.3.99999999999999999999999"}},
  };
  for (const auto& [supported, versions] : cases) {
    for (const std::u16string& version : versions) {
      SCOPED_TRACE(std::string(version.begin(), version.end()));
      EXPECT_EQ(isSupportedZelvarVersion(version), supported);
    }
  }
}

}  // namespace
}  // namespace zv::app
