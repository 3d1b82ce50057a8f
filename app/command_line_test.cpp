#include "app/command_line.h"

#include <gtest/gtest.h>

#include <tuple>
#include <utility>

#include "platform/unicode.h"

namespace zv::app {
namespace {

struct AcceptedCase {
  std::vector<std::string> arguments;
  ExportOptions options;
  CommandLineAction action = CommandLineAction::exportLibrary;
};

// Every option in one value, so that a failure shows the parsed and the expected side by side.
auto optionsTuple(const ExportOptions& options) {
  return std::make_tuple(options.libraryFolder, options.containerFolder,
                         options.exportPasswordItems, options.exportEncryptedItems, options.verbose,
                         options.keepsLog, options.fromApplication, options.dryRun,
                         options.listItems, options.json, options.reportFile);
}

TEST(CommandLine, ReadsOptionsInBothFormsLaterOnesWinning) {
  const AcceptedCase cases[] = {
      {{}, {{}, {}, true, true, false}},
      {{"--library", "lib", "--container=box"}, {"lib", "box", true, true, false}},
      {{"--library=a", "--library", "b"}, {"b", {}, true, true, false}},
      // A folder may look like an option when it is the option's value.
      {{"--container", "--verbose"}, {{}, "--verbose", true, true, false}},
      {{"--library=a=b"}, {"a=b", {}, true, true, false}},
      {{"--no-passwords", "--no-encrypted", "--verbose", "--"}, {{}, {}, false, false, true}},
      {{"--no-log", "--verbose"}, {{}, {}, true, true, true, false}},
      {{"--verbose", "--help", "--bogus"}, {{}, {}, true, true, true}, CommandLineAction::showHelp},
      {{"--version"}, {{}, {}, true, true, false}, CommandLineAction::showVersion},
      {{"--from-app", "--container", "c"}, {{}, "c", true, true, false, true, true}},
      {{"--json", "--dry-run", "--list"},
       {{}, {}, true, true, false, true, false, true, true, true}},
      {{"--report", "out/items.jsonl", "--report=items.csv"},
       {{}, {}, true, true, false, true, false, false, false, false, "items.csv"}},
  };
  for (const auto& testCase : cases) {
    SCOPED_TRACE(testing::PrintToString(testCase.arguments));
    auto parsed = parseCommandLine(testCase.arguments);
    ASSERT_TRUE(parsed.ok()) << platform::toUtf8(parsed.error().description);
    EXPECT_EQ(parsed->action, testCase.action);
    EXPECT_EQ(optionsTuple(parsed->options), optionsTuple(testCase.options));
  }
}

TEST(CommandLine, RejectsWhatItCannotUseNamingTheArgument) {
  const std::pair<std::vector<std::string>, std::string> cases[] = {
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
  for (const auto& [arguments, message] : cases) {
    SCOPED_TRACE(testing::PrintToString(arguments));
    auto parsed = parseCommandLine(arguments);
    ASSERT_FALSE(parsed.ok());
    EXPECT_EQ(parsed.error().domain, kCommandLineErrorDomain);
    EXPECT_EQ(platform::toUtf8(parsed.error().description), message);
  }
}

}  // namespace
}  // namespace zv::app
