#include "app/command_line.h"

#include <gtest/gtest.h>

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
      {{"--no-log", "--verbose"},
       CommandLineAction::exportLibrary,
       {{}, {}, true, true, true, false}},
      {{"--verbose", "--help", "--bogus"}, CommandLineAction::showHelp, {{}, {}, true, true, true}},
      {{"--version"}, CommandLineAction::showVersion, {{}, {}, true, true, false}},
      {{"--from-app", "--container", "c"},
       CommandLineAction::exportLibrary,
       {{}, "c", true, true, false, true, true}},
      {{"--json", "--dry-run", "--list"},
       CommandLineAction::exportLibrary,
       {{}, {}, true, true, false, true, false, true, true, true}},
      {{"--report", "out/items.jsonl", "--report=items.csv"},
       CommandLineAction::exportLibrary,
       {{}, {}, true, true, false, true, false, false, false, false, "items.csv"}},
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
    EXPECT_EQ(options.keepsLog, testCase.options.keepsLog);
    EXPECT_EQ(options.fromApplication, testCase.options.fromApplication);
    EXPECT_EQ(options.dryRun, testCase.options.dryRun);
    EXPECT_EQ(options.listItems, testCase.options.listItems);
    EXPECT_EQ(options.json, testCase.options.json);
    EXPECT_EQ(options.reportFile, testCase.options.reportFile);
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
      {{"--no-log=1"}, "option '--no-log' doesn't allow an argument"},
      {{"--dry-run=yes"}, "option '--dry-run' doesn't allow an argument"},
      {{"--list"}, "option '--list' requires '--dry-run'"},
      {{"--library", "x", "--json"}, "option '--json' requires '--dry-run'"},
      {{"--bogus", "--help"}, "unrecognized option '--bogus'"},
      {{"--from-app=1"}, "option '--from-app' doesn't allow an argument"},
      {{"--from-app", "--library", "l"},
       "options '--from-app' and '--library' cannot be used together"},
      {{"--library=l", "--from-app"},
       "options '--from-app' and '--library' cannot be used together"},
      {{"--report"}, "option '--report' requires a file"},
      {{"--report", "items.txt"}, "the report file 'items.txt' must end in .jsonl or .csv"},
      {{"--report=items.json"}, "the report file 'items.json' must end in .jsonl or .csv"},
      {{"--report=items"}, "the report file 'items' must end in .jsonl or .csv"},
      {{"--dry-run", "--report", "r.csv"},
       "option '--report' cannot be used with '--dry-run', which writes nothing"},
  };
  for (const auto& testCase : cases) {
    SCOPED_TRACE(testing::PrintToString(testCase.arguments));
    auto parsed = parseCommandLine(testCase.arguments);
    ASSERT_FALSE(parsed.ok());
    EXPECT_EQ(parsed.error().domain, kCommandLineErrorDomain);
    EXPECT_EQ(platform::toUtf8(parsed.error().description), testCase.message);
  }
}

}  // namespace
}  // namespace zv::app
