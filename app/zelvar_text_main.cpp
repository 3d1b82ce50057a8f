// zelvar-text: runs one text operation over each argument, or over each line of standard input.
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <iostream>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/unicode.h"
#include "platform/url.h"
#include "text/file_name_extensions.h"
#include "text/time_remaining.h"

namespace {

constexpr int kUsageError = 2;

constexpr char kUsage[] =
    "Usage: zelvar-text COMMAND [TEXT...]\n"
    "\n"
    "Runs one text operation on each TEXT, or on each line of standard input when no TEXT is\n"
    "given, and prints one result per line (UTF-8).\n"
    "\n"
    "Commands:\n"
    "  sanitize          the text as a file name\n"
    "  item-name         the item name generated from the text\n"
    "  unique DIR        a name for the text that no item in the folder DIR uses\n"
    "  time              the time-remaining text for a number of seconds\n"
    "  --help            this text\n";

using Operation = std::function<std::optional<std::u16string>(std::u16string_view)>;

int usageError(std::string_view message) {
  std::cerr << "zelvar-text: " << message << "\n\n" << kUsage;
  return kUsageError;
}

std::optional<double> parseSeconds(std::u16string_view text) {
  std::string utf8 = zv::platform::toUtf8(text);
  if (utf8.empty()) {
    return std::nullopt;
  }
  char* end = nullptr;
  errno = 0;
  double value = std::strtod(utf8.c_str(), &end);
  if (errno != 0 || end != utf8.c_str() + utf8.size() || !std::isfinite(value)) {
    return std::nullopt;
  }
  return value;
}

std::optional<Operation> operationFor(const std::string& command,
                                      std::vector<std::string>& arguments) {
  if (command == "sanitize") {
    return Operation([](std::u16string_view text) {
      return std::optional(zv::text::stringSanitizedForFileName(text));
    });
  }
  if (command == "item-name") {
    return Operation(
        [](std::u16string_view text) { return std::optional(zv::text::generateItemName(text)); });
  }
  if (command == "time") {
    return Operation([](std::u16string_view text) -> std::optional<std::u16string> {
      std::optional<double> seconds = parseSeconds(text);
      if (!seconds) {
        return std::nullopt;
      }
      return zv::text::stringForTimeInterval(*seconds);
    });
  }
  if (command == "unique" && !arguments.empty() && !arguments.front().empty()) {
    std::error_code error;
    std::filesystem::path folder = std::filesystem::absolute(arguments.front(), error);
    arguments.erase(arguments.begin());
    if (error) {
      return std::nullopt;
    }
    std::u16string path = zv::platform::fromUtf8(folder.string());
    auto directory = zv::platform::URL::fileURLWithPath(path, true);
    return Operation([directory](std::u16string_view text) {
      return std::optional(zv::text::makeFilenameUniqueInDirectoryAtURL(text, directory));
    });
  }
  return std::nullopt;
}

// Prints the result, or reports a text the operation cannot take; false for the latter.
bool runOne(const Operation& operation, std::string_view input) {
  std::optional<std::u16string> result = operation(zv::platform::fromUtf8(input));
  if (!result) {
    std::cerr << "zelvar-text: not a number of seconds: " << input << "\n";
    return false;
  }
  std::cout << zv::platform::toUtf8(*result) << "\n";
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> arguments(argv + 1, argv + argc);
  if (arguments.empty()) {
    return usageError("missing command");
  }
  std::string command = arguments.front();
  arguments.erase(arguments.begin());
  if (command == "--help" || command == "-h") {
    std::cout << kUsage;
    return 0;
  }
  std::optional<Operation> operation = operationFor(command, arguments);
  if (!operation) {
    return usageError(command == "unique" ? "unique needs a folder"
                                          : "unknown command: " + command);
  }
  bool allRan = true;
  if (!arguments.empty()) {
    for (const std::string& argument : arguments) {
      allRan = runOne(*operation, argument) && allRan;
    }
    return allRan ? 0 : 1;
  }
  std::string line;
  while (std::getline(std::cin, line)) {
    if (!line.empty() && line.back() == '\r') {
      line.pop_back();
    }
    allRan = runOne(*operation, line) && allRan;
  }
  return allRan ? 0 : 1;
}
