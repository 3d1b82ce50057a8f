#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace zv::platform {

/// The operating system as a person would name it, with the kernel it runs on:
/// "Debian GNU/Linux 12 (bookworm), Linux 6.1.0-18-amd64". The distribution's name comes from
/// the PRETTY_NAME of os-release below `root` ("/" for the running system); without one the kernel
/// stands alone.
std::u16string operatingSystemVersionString(std::string_view root = "/");

/// The computer's user-visible name: the PRETTY_HOSTNAME of /etc/machine-info below `root` when
/// it holds one, else the host name.
std::u16string hostLocalizedName(std::string_view root = "/");

/// Seconds since the computer started, time spent suspended included.
double systemUptime();

/// The value of `key` in the text of an os-release or machine-info file: "KEY=value" lines with
/// shell-style quoting ('…', "…" with backslash escapes, or bare words); comments and lines of
/// other keys are skipped. Nothing when the key is absent or its value is empty.
std::optional<std::string> environmentFileValue(std::string_view text, std::string_view key);

}  // namespace zv::platform
