#include "testsupport/file_contents.h"

#include <fcntl.h>
#include <unistd.h>

#include "platform/retry_on_interrupt.h"
#include "platform/scoped_descriptor.h"

namespace zv::testsupport {

std::optional<std::vector<std::uint8_t>> readFileBytes(const std::filesystem::path& path) {
  const platform::ScopedDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!file.valid()) {
    return std::nullopt;
  }
  std::vector<std::uint8_t> bytes;
  std::uint8_t buffer[65536];
  for (;;) {
    const ssize_t count =
        platform::retryOnInterrupt([&] { return ::read(file.get(), buffer, sizeof buffer); });
    if (count < 0) {
      return std::nullopt;
    }
    if (count == 0) {
      return bytes;
    }
    bytes.insert(bytes.end(), buffer, buffer + count);
  }
}

std::optional<std::vector<std::uint8_t>> readFileBytes(const platform::URL& url) {
  return readFileBytes(std::filesystem::path(url.fileSystemPath()));
}

std::optional<std::string> readFileText(const std::filesystem::path& path) {
  auto bytes = readFileBytes(path);
  if (!bytes) {
    return std::nullopt;
  }
  return std::string(bytes->begin(), bytes->end());
}

std::optional<std::string> readFileText(const platform::URL& url) {
  return readFileText(std::filesystem::path(url.fileSystemPath()));
}

std::optional<std::string> readDescriptorText(int descriptor) {
  std::string text;
  char buffer[65536];
  for (;;) {
    const ssize_t count = platform::retryOnInterrupt([&] {
      return ::pread(descriptor, buffer, sizeof buffer, static_cast<off_t>(text.size()));
    });
    if (count < 0) {
      return std::nullopt;
    }
    if (count == 0) {
      return text;
    }
    text.append(buffer, static_cast<std::size_t>(count));
  }
}

bool writeFileText(const std::filesystem::path& path, std::string_view text) {
  platform::ScopedDescriptor file(
      ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
  if (!file.valid()) {
    return false;
  }
  while (!text.empty()) {
    const ssize_t count =
        platform::retryOnInterrupt([&] { return ::write(file.get(), text.data(), text.size()); });
    if (count <= 0) {
      return false;
    }
    text.remove_prefix(static_cast<std::size_t>(count));
  }
  return ::close(file.release()) == 0;
}

std::vector<std::uint8_t> bytesOf(std::string_view text) {
  return {text.begin(), text.end()};
}

}  // namespace zv::testsupport
