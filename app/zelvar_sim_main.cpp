// zelvar-sim: a stand-in for the source application. It serves a library snapshot on the session
// bus the way the application serves its library, and installs itself so that programs looking
// for the application find and start it.

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "platform/files.h"
#include "platform/unicode.h"
#include "platform/url.h"
#include "source/dbus_library_protocol.h"
#include "source/dbus_library_service.h"
#include "source/library_snapshot.h"

namespace {

constexpr char kProgramName[] = "zelvar-sim";
constexpr char kDefaultVersion[] = "4.6";
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

constexpr char kUsage[] =
    "Usage: zelvar-sim --library DIR [--name BUS_NAME] [--version V] [--deny-control]\n"
    "                  [--call-delay-ms N]\n"
    "       zelvar-sim install --prefix DIR --library DIR [--name BUS_NAME] [--version V]\n"
    "Serves a library snapshot on the session bus as the Zelvar application would, until\n"
    "SIGTERM or SIGINT; or installs a desktop entry, AppStream metadata and a D-Bus service\n"
    "file under DIR/share that start it.\n";

void printError(const std::string& message) {
  std::fprintf(stderr, "%s: %s\n", kProgramName, message.c_str());
}

int usageError(const std::string& message) {
  printError(message);
  std::fputs(kUsage, stderr);
  return kExitUsage;
}

struct Options {
  bool install = false;
  std::optional<std::string> prefix;
  std::optional<std::string> library;
  std::string name = zv::source::dbus_protocol::kDefaultBusName;
  std::string version = kDefaultVersion;
  bool versionGiven = false;
  bool denyControl = false;
  long callDelayMs = 0;
};

// A bus name as D-Bus allows it: dot-separated elements of letters, digits, "_" and "-", not
// starting with a digit, at least two, at most 255 characters.
bool isValidBusName(std::string_view name) {
  if (name.empty() || name.size() > 255 || name.front() == '.' || name.back() == '.') {
    return false;
  }
  bool elementStart = true;
  int elements = 1;
  for (char character : name) {
    if (character == '.') {
      if (elementStart) {
        return false;
      }
      ++elements;
      elementStart = true;
      continue;
    }
    const bool letter = (character >= 'a' && character <= 'z') ||
                        (character >= 'A' && character <= 'Z') || character == '_' ||
                        character == '-';
    const bool digit = character >= '0' && character <= '9';
    if (!letter && !(digit && !elementStart)) {
      return false;
    }
    elementStart = false;
  }
  return elements >= 2;
}

// Versions go into key files and XML: printable ASCII without quotes or markup.
bool isValidVersion(std::string_view version) {
  if (version.empty() || version.size() > 64) {
    return false;
  }
  for (char character : version) {
    if (character <= ' ' || character > '~' || character == '"' || character == '<' ||
        character == '>' || character == '&' || character == '\'' || character == '\\') {
      return false;
    }
  }
  return true;
}

std::optional<int> parseOptions(int argc, char** argv, Options& options) {
  std::vector<std::string_view> arguments(argv + 1, argv + argc);
  std::size_t index = 0;
  if (!arguments.empty() && arguments.front() == "install") {
    options.install = true;
    index = 1;
  }
  for (; index < arguments.size(); ++index) {
    const std::string_view argument = arguments[index];
    if (argument == "--help") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    auto value = [&]() -> std::optional<std::string> {
      if (index + 1 >= arguments.size()) {
        return std::nullopt;
      }
      return std::string(arguments[++index]);
    };
    std::optional<std::string>* target = nullptr;
    std::optional<std::string> given;
    if (argument == "--library") {
      target = &options.library;
    } else if (argument == "--prefix" && options.install) {
      target = &options.prefix;
    } else if (argument == "--name" || argument == "--version" ||
               (argument == "--call-delay-ms" && !options.install)) {
      target = &given;
    } else if (argument == "--deny-control" && !options.install) {
      options.denyControl = true;
      continue;
    } else {
      return usageError("unknown argument \"" + std::string(argument) + "\"");
    }
    *target = value();
    if (!*target) {
      return usageError(std::string(argument) + " needs a value");
    }
    if (argument == "--name") {
      if (!isValidBusName(*given)) {
        return usageError("\"" + *given + "\" is not a D-Bus name");
      }
      options.name = *given;
    } else if (argument == "--version") {
      if (!isValidVersion(*given)) {
        return usageError("\"" + *given + "\" is not a version");
      }
      options.version = *given;
      options.versionGiven = true;
    } else if (argument == "--call-delay-ms") {
      char* end = nullptr;
      errno = 0;
      const long delay = std::strtol(given->c_str(), &end, 10);
      if (given->empty() || *end != '\0' || errno != 0 || delay < 0 || delay > 3'600'000) {
        return usageError("--call-delay-ms needs a number of milliseconds");
      }
      options.callDelayMs = delay;
    }
  }
  if (!options.library) {
    return usageError("name a library with --library");
  }
  if (options.install && !options.prefix) {
    return usageError("name where to install with --prefix");
  }
  return std::nullopt;
}

int serve(const Options& options) {
  // Blocked before any thread starts, so that every thread leaves them to sigwait below.
  sigset_t termination;
  sigemptyset(&termination);
  sigaddset(&termination, SIGTERM);
  sigaddset(&termination, SIGINT);
  pthread_sigmask(SIG_BLOCK, &termination, nullptr);

  auto library = zv::source::openLibrarySnapshot(*options.library);
  if (!library) {
    printError("cannot open the library " + *options.library + ": " +
               zv::platform::toUtf8(library.error().description));
    return kExitUsage;
  }
  zv::source::DBusLibraryServiceOptions serviceOptions;
  serviceOptions.denyControl = options.denyControl;
  serviceOptions.callDelay = std::chrono::milliseconds(options.callDelayMs);
  // Without its bus the application has nobody left to serve, as when the session ends.
  std::atomic<bool> disconnected = false;
  serviceOptions.onDisconnected = [&disconnected] {
    disconnected = true;
    ::kill(::getpid(), SIGTERM);
  };
  auto service = zv::source::DBusLibraryService::start(**library, options.name, serviceOptions);
  if (!service) {
    printError(zv::platform::toUtf8(service.error().description));
    return kExitFailure;
  }
  int received = 0;
  while (sigwait(&termination, &received) != 0) {
  }
  service->reset();
  if (disconnected) {
    printError("the session bus went away");
    return kExitFailure;
  }
  return 0;
}

// One argument of an Exec line as desktop entries quote it, before the key
// file's own escaping: reserved characters in double quotes, with ", `, $ and \ escaped, and
// "%" doubled since it starts a field code.
std::string desktopExecArgument(const std::string& argument) {
  std::string quoted;
  bool needsQuotes = argument.empty();
  for (char character : argument) {
    if (std::string_view(" \t\n\"'\\><~|&;$*?#()`").find(character) != std::string_view::npos) {
      needsQuotes = true;
    }
  }
  for (char character : argument) {
    if (needsQuotes && std::string_view("\"`$\\").find(character) != std::string_view::npos) {
      quoted += '\\';
    }
    quoted += character;
    if (character == '%') {
      quoted += '%';
    }
  }
  return needsQuotes ? "\"" + quoted + "\"" : quoted;
}

// A key file's string value: backslashes escaped once more.
std::string keyFileString(const std::string& text) {
  std::string escaped;
  for (char character : text) {
    if (character == '\\') {
      escaped += "\\\\";
    } else {
      escaped += character;
    }
  }
  return escaped;
}

// dbus-daemon splits Exec as a shell would; single quotes keep everything but a single quote.
std::string serviceExecArgument(const std::string& argument) {
  std::string quoted = "'";
  for (char character : argument) {
    if (character == '\'') {
      quoted += "'\\''";
    } else {
      quoted += character;
    }
  }
  return quoted + "'";
}

std::string xmlEscaped(const std::string& text) {
  std::string escaped;
  for (char character : text) {
    switch (character) {
      case '&':
        escaped += "&amp;";
        break;
      case '<':
        escaped += "&lt;";
        break;
      case '>':
        escaped += "&gt;";
        break;
      case '"':
        escaped += "&quot;";
        break;
      default:
        escaped += character;
    }
  }
  return escaped;
}

// Written beside its final name and renamed over it, so that a reader never sees half a file;
// a link planted at the name or in the folders on the way is refused, never followed.
bool writeFile(const std::filesystem::path& path, const std::string& contents) {
  using zv::platform::URL;
  const auto folder = zv::platform::createDirectoryAtURL(
      URL::fileURLWithFileSystemPath(path.parent_path().string(), true), true, 0755);
  if (!folder) {
    printError("cannot create " + path.parent_path().string() + ": " +
               zv::platform::toUtf8(folder.error().description));
    return false;
  }
  const auto written = zv::platform::writeFileAtomicallyAtURL(
      URL::fileURLWithFileSystemPath(path.string()),
      {reinterpret_cast<const std::uint8_t*>(contents.data()), contents.size()},
      zv::platform::WriteMode::kReplaceExisting);
  if (!written) {
    printError("cannot write " + path.string() + ": " +
               zv::platform::toUtf8(written.error().description));
    return false;
  }
  return true;
}

int install(const Options& options) {
  std::error_code error;
  const std::filesystem::path library = std::filesystem::absolute(*options.library, error);
  if (error || !std::filesystem::is_regular_file(library / zv::source::kLibrarySnapshotFileName)) {
    printError("cannot open the library " + *options.library + ": it has no " +
               zv::source::kLibrarySnapshotFileName);
    return kExitUsage;
  }
  const std::filesystem::path program = std::filesystem::read_symlink("/proc/self/exe", error);
  if (error) {
    printError("cannot find this program: " + error.message());
    return kExitFailure;
  }
  for (const std::string& text : {library.string(), program.string()}) {
    if (text.find_first_of("\n\r") != std::string::npos) {
      printError("cannot install a path with a line break: " + text);
      return kExitUsage;
    }
  }
  std::vector<std::string> command = {program.string(), "--library",
                                      library.lexically_normal().string(), "--name", options.name};
  if (options.versionGiven) {
    command.push_back("--version");
    command.push_back(options.version);
  }
  std::string desktopExec;
  std::string serviceExec;
  for (const std::string& argument : command) {
    desktopExec += (desktopExec.empty() ? "" : " ") + desktopExecArgument(argument);
    serviceExec += (serviceExec.empty() ? "" : " ") + serviceExecArgument(argument);
  }
  const std::filesystem::path share = std::filesystem::path(*options.prefix) / "share";
  const std::string desktopEntry =
      "[Desktop Entry]\n"
      "Type=Application\n"
      "Name=Zelvar\n"
      "Comment=A library of notes, passwords, bookmarks and archives\n"
      "Exec=" +
      keyFileString(desktopExec) +
      "\n"
      "DBusActivatable=true\n"
      "X-AppVersion=" +
      options.version + "\n";
  const std::string metainfo =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      "<component type=\"desktop-application\">\n"
      "  <id>" +
      xmlEscaped(options.name) +
      "</id>\n"
      "  <name>Zelvar</name>\n"
      "  <summary>A library of notes, passwords, bookmarks and archives</summary>\n"
      "  <metadata_license>CC0-1.0</metadata_license>\n"
      "  <launchable type=\"desktop-id\">" +
      xmlEscaped(options.name) +
      ".desktop</launchable>\n"
      "  <releases>\n"
      "    <release version=\"" +
      xmlEscaped(options.version) +
      "\"/>\n"
      "  </releases>\n"
      "</component>\n";
  const std::string service =
      "[D-BUS Service]\nName=" + options.name + "\nExec=" + serviceExec + "\n";
  const bool written =
      writeFile(share / "applications" / (options.name + ".desktop"), desktopEntry) &&
      writeFile(share / "metainfo" / (options.name + ".metainfo.xml"), metainfo) &&
      writeFile(share / "dbus-1" / "services" / (options.name + ".service"), service);
  return written ? 0 : kExitFailure;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (std::optional<int> exit = parseOptions(argc, argv, options)) {
    return *exit;
  }
  return options.install ? install(options) : serve(options);
}
