#pragma once

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

}  // namespace zv::platform
