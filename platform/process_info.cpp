#include "platform/process_info.h"

#include <sys/utsname.h>
#include <time.h>
#include <unistd.h>

#include <climits>
#include <optional>
#include <string>

#include "platform/files.h"
#include "platform/unicode.h"
#include "platform/url.h"

namespace zv::platform {
namespace {

// Both files are a few lines; anything larger is not one of them.
constexpr std::size_t kMaximumEnvironmentFileSize = 65536;

// The value after "KEY=", its quotes removed; a value that is not closed ends with the line.
std::string unquotedValue(std::string_view value) {
  std::string result;
  char quote = 0;
  for (std::size_t index = 0; index < value.size(); ++index) {
    const char character = value[index];
    if (quote == 0 && (character == '"' || character == '\'')) {
      quote = character;
    } else if (character == quote) {
      quote = 0;
    } else if (character == '\\' && quote != '\'' && index + 1 < value.size()) {
      result += value[++index];
    } else if (quote == 0 && (character == ' ' || character == '\t')) {
      break;
    } else {
      result += character;
    }
  }
  return result;
}

// The value of `key` in an os-release or machine-info text: "KEY=value" lines with shell-style
// quoting ('…', "…" with backslash escapes, or bare words). Nothing when the key is absent or
// its value is empty.
std::optional<std::string> environmentFileValue(std::string_view text, std::string_view key) {
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) {
      line.remove_prefix(1);
    }
    if (!line.starts_with(key) || line.substr(key.size(), 1) != "=") {
      continue;
    }
    std::string value = unquotedValue(line.substr(key.size() + 1));
    if (value.empty()) {
      return std::nullopt;
    }
    return value;
  }
  return std::nullopt;
}

std::optional<std::string> valueInFileBelowRoot(std::string_view root, std::string_view path,
                                                std::string_view key) {
  std::string fullPath(root);
  while (!fullPath.empty() && fullPath.back() == '/') {
    fullPath.pop_back();
  }
  fullPath += path;
  auto bytes = readFileAtURL(URL::fileURLWithFileSystemPath(fullPath), kMaximumEnvironmentFileSize);
  if (!bytes) {
    return std::nullopt;
  }
  return environmentFileValue(
      std::string_view(reinterpret_cast<const char*>(bytes->data()), bytes->size()), key);
}

}  // namespace

std::u16string operatingSystemVersionString(std::string_view root) {
  // /etc/os-release may be missing; /usr/lib/os-release is where it points to on most systems.
  std::optional<std::string> name = valueInFileBelowRoot(root, "/etc/os-release", "PRETTY_NAME");
  if (!name) {
    name = valueInFileBelowRoot(root, "/usr/lib/os-release", "PRETTY_NAME");
  }
  struct utsname system {};
  std::string kernel = ::uname(&system) == 0 ? std::string(system.sysname) + " " + system.release
                                             : std::string("Linux");
  return fromUtf8(name ? *name + ", " + kernel : kernel);
}

std::u16string hostLocalizedName(std::string_view root) {
  if (auto pretty = valueInFileBelowRoot(root, "/etc/machine-info", "PRETTY_HOSTNAME")) {
    return fromUtf8(*pretty);
  }
  char name[HOST_NAME_MAX + 1] = {};
  if (::gethostname(name, sizeof name - 1) != 0) {
    return {};
  }
  return fromUtf8(name);
}

double systemUptime() {
  struct timespec time {};
  if (::clock_gettime(CLOCK_BOOTTIME, &time) != 0) {
    return 0;
  }
  return static_cast<double>(time.tv_sec) + static_cast<double>(time.tv_nsec) / 1e9;
}

}  // namespace zv::platform
