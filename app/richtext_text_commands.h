#pragma once

#include <span>
#include <string>
#include <string_view>

// The commands of zelvar-richtext that work on a rich-text file: clean-web, apply-styles,
// scale, dynamic-colors and dump. Each answers the process's exit status.
namespace zv::app::richtext_commands {

inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsage = 2;

/// The usage lines of these commands, for the tool's help.
extern const char kUsage[];

int cleanWeb(std::span<const std::string> arguments);
int applyStyles(std::span<const std::string> arguments);
int scale(std::span<const std::string> arguments);
int dynamicColors(std::span<const std::string> arguments);
int dump(std::span<const std::string> arguments);

}  // namespace zv::app::richtext_commands
