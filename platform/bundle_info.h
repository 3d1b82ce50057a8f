#pragma once

#include <optional>
#include <string_view>

// kBundleShortVersionString and kBundleVersion, generated from the build's version.
#include "platform/bundle_info_version.h"

namespace zv::platform {

/// The program's name: the process name in log lines and the prefix of its log files.
inline constexpr char16_t kBundleName[] = u"Zelvar Importer";

/// The importer's own bundle identifier.
inline constexpr char16_t kBundleIdentifier[] = u"org.example.zelvar-importer";

/// Keys of the bundle information, under which the metadata file records the exporter.
inline constexpr char16_t kBundleIdentifierKey[] = u"CFBundleIdentifier";
inline constexpr char16_t kBundleVersionKey[] = u"CFBundleVersion";
inline constexpr char16_t kBundleShortVersionStringKey[] = u"CFBundleShortVersionString";

/// The source application: its bundle identifier and that of its version 4, which is the same
/// identifier with "4" appended.
inline constexpr char16_t kZelvarBundleIdentifier[] = u"org.example.zelvar";
inline constexpr char16_t kZelvar4BundleIdentifier[] = u"org.example.zelvar4";
inline constexpr char16_t kZelvarApplicationGroupIdentifier[] = u"Z3LV4RT34M.org.example.zelvar";

/// The maker's team identifier, which opens every app-group identifier of ours.
inline constexpr char16_t kTeamIdentifier[] = u"QN7T3AM0RG";

/// The target application: its bundle identifier and its app-group identifier (team identifier,
/// a dot, the bundle identifier), whose shared container receives the export and the run logs.
inline constexpr char16_t kQuennetBundleIdentifier[] = u"org.example.quennet";
inline constexpr char16_t kQuennetApplicationGroupIdentifier[] = u"QN7T3AM0RG.org.example.quennet";

/// The program's bundle information under one of the three keys above; nothing for other keys.
constexpr std::optional<std::u16string_view> bundleInfoValue(std::u16string_view key) {
  if (key == kBundleIdentifierKey) {
    return kBundleIdentifier;
  }
  if (key == kBundleVersionKey) {
    return kBundleVersion;
  }
  if (key == kBundleShortVersionStringKey) {
    return kBundleShortVersionString;
  }
  return std::nullopt;
}

}  // namespace zv::platform
