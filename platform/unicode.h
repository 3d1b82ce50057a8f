#pragma once

#include <string>
#include <string_view>

namespace zv::platform {

/// UTF-16 to UTF-8 for the edges (file system, terminal, JSON). An unpaired surrogate becomes
/// U+FFFD rather than invalid UTF-8.
std::string toUtf8(std::u16string_view text);

/// UTF-8 to UTF-16; invalid sequences become U+FFFD.
std::u16string fromUtf8(std::string_view text);

/// True when the bytes are well-formed UTF-8.
bool isValidUtf8(std::string_view text);

}  // namespace zv::platform
