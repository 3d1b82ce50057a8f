// zelvar-verify: checks a finished export before the user lets go of the library it came from.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <iostream>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "app/live_source.h"
#include "export/verify_export.h"
#include "platform/log.h"
#include "platform/workspace.h"

namespace {

constexpr int kComplete = 0;
constexpr int kProblems = 1;
constexpr int kUsageError = 2;

constexpr char kUsage[] =
    "Usage: zelvar-verify EXPORT_FOLDER [--library DIR | --from-app] [--report FILE]\n"
    "\n"
    "Checks a finished export without changing it: the metadata file Zelvar.plist and its\n"
    "records, and that the root folder holds exactly the recorded files, each a regular file.\n"
    "\n"
    "Options:\n"
    "  --library DIR   also check that every item of the library snapshot in DIR that the export\n"
    "                  writes is there, with the same size and SHA-256 as its payload\n"
    "  --from-app      the same against the running Zelvar application over the session bus,\n"
    "                  once it has passed the checks zelvar-export --from-app makes\n"
    "  --report FILE   check each exported file's size and SHA-256 against the report that\n"
    "                  zelvar-export --report wrote (instead of against the payloads), and that\n"
    "                  the report is complete and lists exactly the exported items\n"
    "  --help          this text\n"
    "\n"
    "Exit status: 0 when the export is complete, 1 when anything is missing or wrong (or Zelvar\n"
    "cannot be used with --from-app), 2 for usage errors.\n";

struct Arguments {
  std::filesystem::path exportFolder;
  zv::exporter::VerifyOptions options;
  bool fromApplication = false;
};

int usageError(std::string_view message) {
  std::cerr << "zelvar-verify: " << zv::platform::escapedControlCharacters(message) << "\n\n"
            << kUsage;
  return kUsageError;
}

// The parsed arguments, or the message of a usage error.
std::optional<Arguments> parse(const std::vector<std::string>& arguments, std::string& message) {
  Arguments parsed;
  bool haveFolder = false;
  for (std::size_t index = 0; index < arguments.size(); ++index) {
    const std::string& argument = arguments[index];
    if (argument == "--library") {
      if (index + 1 == arguments.size() || parsed.options.libraryFolder) {
        message = "--library needs one folder";
        return std::nullopt;
      }
      parsed.options.libraryFolder = arguments[++index];
    } else if (argument == "--from-app") {
      parsed.fromApplication = true;
    } else if (argument == "--report") {
      if (index + 1 == arguments.size() || parsed.options.reportFile) {
        message = "--report needs one file";
        return std::nullopt;
      }
      parsed.options.reportFile = arguments[++index];
    } else if (argument.starts_with("-") && argument != "-") {
      message = "unknown option " + argument;
      return std::nullopt;
    } else if (haveFolder) {
      message = "only one export folder can be checked at a time";
      return std::nullopt;
    } else {
      parsed.exportFolder = argument;
      haveFolder = true;
    }
  }
  if (!haveFolder) {
    message = "no export folder given";
    return std::nullopt;
  }
  if (parsed.fromApplication && parsed.options.libraryFolder) {
    message = "--library and --from-app cannot be used together";
    return std::nullopt;
  }
  return parsed;
}

void printSummary(const zv::exporter::VerifyReport& report, const Arguments& arguments) {
  const zv::exporter::VerifySummary& s = report.summary;
  std::cout << "Export: " << zv::platform::escapedControlCharacters(arguments.exportFolder.string())
            << "\n"
            << "  item records: " << s.itemRecords
            << ", files in the root folder: " << s.filesInRootFolder
            << ", web links: " << s.webLinks << "\n"
            << "  labels: " << s.labels << ", groups: " << s.groups
            << ", saved searches: " << s.searches << "\n"
            << "  group members without a record (skipped items): " << s.groupMembersNotExported
            << "\n";
  if (arguments.options.reportFile) {
    std::cout << "Report: " << s.reportItems << " items\n"
              << "  exported files compared by size and SHA-256 with the report: "
              << s.comparedWithReport << "\n";
  }
  if (s.bytesHashed > 0) {
    std::cout << "Bytes read for SHA-256: " << s.bytesHashed << "\n";
  }
  if (arguments.options.libraryFolder || arguments.options.library) {
    std::cout << "Library: " << s.libraryItems << " items\n"
              << "  compared by size and SHA-256: " << s.comparedByContent
              << (arguments.options.reportFile ? " (the report answers for the bytes)\n" : "\n")
              << "  checked for presence only (bookmarks by URL, converted web archives): "
              << s.comparedByPresence << "\n"
              << "  encrypted items and passwords not exported: " << s.encryptedLeftOut
              << " (not problems: the export may have left them out by its options, which it "
                 "does not record)\n"
              << "  skipped by every export (no name, no location): " << s.skippedByExport << "\n";
  }
  if (report.complete()) {
    std::cout << "The export is complete.\n";
    return;
  }
  std::cout << "Problems: " << report.problemCount << "\n";
  for (const std::string& problem : report.problems) {
    std::cout << "  " << problem << "\n";
  }
  if (report.problems.size() < report.problemCount) {
    std::cout << "  (" << report.problemCount - report.problems.size() << " more not listed)\n";
  }
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> arguments(argv + 1, argv + argc);
  for (const std::string& argument : arguments) {
    if (argument == "--help" || argument == "-h") {
      std::cout << kUsage;
      return kComplete;
    }
  }
  std::string message;
  const std::optional<Arguments> parsed = parse(arguments, message);
  if (!parsed) {
    return usageError(message);
  }
  Arguments checked = *parsed;
  if (checked.fromApplication) {
    std::unique_ptr<zv::platform::Workspace> workspace = zv::platform::makeDesktopWorkspace();
    auto found =
        zv::app::checkZelvarAndWait(*workspace, zv::app::makeLiveSourceFactory(*workspace));
    if (const auto* alert = std::get_if<zv::app::Alert>(&found)) {
      std::cerr << zv::platform::escapedControlCharacters(
                       zv::app::alertLine("zelvar-verify", *alert))
                << "\n";
      return kProblems;
    }
    checked.options.library = std::get<0>(std::move(found));
  }
  const zv::exporter::VerifyReport report =
      zv::exporter::verifyExport(checked.exportFolder, checked.options);
  printSummary(report, checked);
  return report.complete() ? kComplete : kProblems;
}
