#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <future>
#include <optional>
#include <string>

#include "platform/unicode.h"
#include "platform/workspace.h"
#include "testsupport/file_contents.h"
#include "testsupport/temporary_folder.h"

namespace zv::platform {
namespace {

using testing::HasSubstr;

using DesktopWorkspaceTest = testsupport::TemporaryFolderTest;

TEST_F(DesktopWorkspaceTest, HandsTheURLToTheExecLine) {
  // The program records its first argument and exits with its second.
  ASSERT_TRUE(testsupport::writeFileText(
      folder_.path("quennet.sh"),
      "#!/bin/sh\nprintf %s \"$1\" > \"$(dirname \"$0\")/received\"\nexit $2\n"));
  ASSERT_EQ(::chmod(folder_.path("quennet.sh").c_str(), 0700), 0);
  ASSERT_TRUE(std::filesystem::create_directories(folder_.path("data/applications")));
  const std::string script = "\"" + folder_.path("quennet.sh").string() + "\"";
  struct Case {
    const char* name;
    std::string exec;
    std::optional<std::string> errorText;  // none: the hand-over succeeds
  };
  const Case cases[] = {
      {"program exits 0", script + " %u 0", std::nullopt},
      {"program exits 3", script + " %u 3", "exited with status 3"},
      {"program missing", folder_.path("absent").string() + " %u", "Could not start"},
      {"no field code for the URL", script, "cannot open"},
  };
  const URL handOver = *URL::fromString(u"quennet://library?location=x");
  std::unique_ptr<Workspace> workspace = makeDesktopWorkspace({folder_.path("data").string()});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove(folder_.path("received"));
    ASSERT_TRUE(
        testsupport::writeFileText(folder_.path("data/applications/org.example.quennet.desktop"),
                                   "[Desktop Entry]\nExec=" + c.exec + "\n"));
    const std::optional<URL> quennet =
        workspace->URLForApplicationWithBundleIdentifier(u"org.example.quennet");
    ASSERT_TRUE(quennet.has_value());
    std::promise<std::optional<Error>> reported;
    workspace->openURLsWithApplicationAtURL(
        {handOver}, *quennet,
        [&reported](const std::optional<RunningApplication>&, std::optional<Error> error) {
          reported.set_value(std::move(error));
        });
    const std::optional<Error> error = reported.get_future().get();
    if (c.errorText) {
      ASSERT_TRUE(error.has_value());
      EXPECT_THAT(toUtf8(error->description), HasSubstr(*c.errorText));
      continue;
    }
    EXPECT_FALSE(error.has_value()) << toUtf8(error->description);
    EXPECT_EQ(testsupport::readFileText(folder_.path("received")),
              toUtf8(handOver.absoluteString()));
  }
}

}  // namespace
}  // namespace zv::platform
