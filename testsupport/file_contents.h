#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/url.h"

namespace zv::testsupport {

/// The bytes of the file at `path`, or nullopt when it cannot be opened or read.
std::optional<std::vector<std::uint8_t>> readFileBytes(const std::filesystem::path& path);
std::optional<std::vector<std::uint8_t>> readFileBytes(const platform::URL& url);

/// The same as text, unchanged ("abc" compares equal to the optional directly).
std::optional<std::string> readFileText(const std::filesystem::path& path);
std::optional<std::string> readFileText(const platform::URL& url);

/// The whole content of the open file `descriptor`, from its start whatever its offset, or
/// nullopt when it cannot be read (a pipe cannot: it has no start to read from).
std::optional<std::string> readDescriptorText(int descriptor);

/// Creates or replaces the file at `path` with `text` (mode 0600); false when that fails.
[[nodiscard]] bool writeFileText(const std::filesystem::path& path, std::string_view text);

/// The bytes of `text`, for APIs that take bytes.
std::vector<std::uint8_t> bytesOf(std::string_view text);

}  // namespace zv::testsupport
