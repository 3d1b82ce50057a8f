#include "app/command_line.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/containers.h"
#include "platform/unicode.h"

namespace zv::app {
namespace {

struct AcceptedCase {
  std::vector<std::string> arguments;
  CommandLineAction action;
  ExportOptions options;
};

TEST(CommandLine, ReadsOptionsInBothFormsLaterOnesWinning) {
  const AcceptedCase cases[] = {
      {{}, CommandLineAction::exportLibrary, {{}, {}, true, true, false}},
      {{"--library", "lib", "--container=box"},
       CommandLineAction::exportLibrary,
       {"lib", "box", true, true, false}},
      {{"--library=a", "--library", "b"},
       CommandLineAction::exportLibrary,
       {"b", {}, true, true, false}},
      // A folder may look like an option when it is the option's value.
      {{"--container", "--verbose"},
       CommandLineAction::exportLibrary,
       {{}, "--verbose", true, true, false}},
      {{"--library=a=b"}, CommandLineAction::exportLibrary, {"a=b", {}, true, true, false}},
      {{"--no-passwords", "--no-encrypted", "--verbose", "--"},
       CommandLineAction::exportLibrary,
       {{}, {}, false, false, true}},
      {{"--verbose", "--help", "--bogus"}, CommandLineAction::showHelp, {{}, {}, true, true, true}},
      {{"--version"}, CommandLineAction::showVersion, {{}, {}, true, true, false}},
  };
  for (const auto& testCase : cases) {
    SCOPED_TRACE(testing::PrintToString(testCase.arguments));
    auto parsed = parseCommandLine(testCase.arguments);
    ASSERT_TRUE(parsed.ok()) << platform::toUtf8(parsed.error().description);
    EXPECT_EQ(parsed->action, testCase.action);
    const ExportOptions& options = parsed->options;
    EXPECT_EQ(options.libraryFolder, testCase.options.libraryFolder);
    EXPECT_EQ(options.containerFolder, testCase.options.containerFolder);
    EXPECT_EQ(options.exportPasswordItems, testCase.options.exportPasswordItems);
    EXPECT_EQ(options.exportEncryptedItems, testCase.options.exportEncryptedItems);
    EXPECT_EQ(options.verbose, testCase.options.verbose);
  }
}

struct RejectedCase {
  std::vector<std::string> arguments;
  std::string message;
};

TEST(CommandLine, RejectsWhatItCannotUseNamingTheArgument) {
  const RejectedCase cases[] = {
      {{"--bogus"}, "unrecognized option '--bogus'"},
      {{"-x"}, "invalid option '-x'"},
      {{"library"}, "unexpected argument 'library'"},
      {{"--", "extra"}, "unexpected argument 'extra'"},
      {{"--library"}, "option '--library' requires a folder"},
      {{"--container="}, "option '--container' requires a folder"},
      {{"--verbose=yes"}, "option '--verbose' doesn't allow an argument"},
      {{"--help=1"}, "option '--help' doesn't allow an argument"},
      {{"--bogus", "--help"}, "unrecognized option '--bogus'"},
  };
  for (const auto& testCase : cases) {
    SCOPED_TRACE(testing::PrintToString(testCase.arguments));
    auto parsed = parseCommandLine(testCase.arguments);
    ASSERT_FALSE(parsed.ok());
    EXPECT_EQ(parsed.error().domain, kCommandLineErrorDomain);
    EXPECT_EQ(platform::toUtf8(parsed.error().description), testCase.message);
  }
}

TEST(AbsoluteNormalizedPath, NamesTheFolderWithoutDotsOrTrailingSlashes) {
  auto temporary = platform::TemporaryDirectory::create(u"command-line-test");
  ASSERT_TRUE(temporary.ok());
  char* resolved = ::realpath(temporary->url().fileSystemPath().c_str(), nullptr);
  ASSERT_NE(resolved, nullptr);
  const std::string base = resolved;
  ::free(resolved);
  ASSERT_EQ(::mkdir((base + "/work").c_str(), 0700), 0);
  ASSERT_EQ(::mkdir((base + "/real").c_str(), 0700), 0);
  ASSERT_EQ(::mkdir((base + "/real/inner").c_str(), 0700), 0);
  ASSERT_EQ(::symlink((base + "/real/inner").c_str(), (base + "/work/link").c_str()), 0);
  const std::string current = base + "/work";

  struct Case {
    std::string path;
    std::string expected;
  };
  const Case cases[] = {
      {"../c", base + "/c"},
      {"./out", current + "/out"},
      {"c/./x/", current + "/c/x"},
      {"c//x//", current + "/c/x"},
      {".", current},
      {"/srv/./box/", "/srv/box"},
      {"/..", "/"},
      {"/../../srv", "/srv"},
      {"link", current + "/link"},  // a link named last stays what the user named
      {"link/../d", base + "/real/d"},
      {"missing/../d", current + "/d"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(absoluteNormalizedPath(c.path, current), c.expected);
  }
}

}  // namespace
}  // namespace zv::app
