#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "platform/result.h"
#include "platform/url.h"

namespace zv::exporter {

/// Room kept for the metadata file beside the payloads: its records grow with the items, and
/// a few collections and labels come on top.
inline constexpr std::int64_t kMetadataBytesPerItem = 1024;
inline constexpr std::int64_t kMetadataBaseBytes = std::int64_t{1} << 20;

/// The bytes free to an unprivileged user on the file system that holds `folder`.
using FreeSpaceSource = std::function<platform::Result<std::int64_t>(const platform::URL& folder)>;

/// The file system's own answer. A folder that does not exist yet is answered for the nearest
/// folder above it that does, where it would be created.
platform::Result<std::int64_t> freeSpaceOfFileSystem(const platform::URL& folder);

/// What an export of `itemCount` items with this many payload bytes needs on disk.
std::int64_t bytesNeededForExport(std::int64_t payloadBytes, std::int64_t itemCount);

/// "512 bytes", "1.2 MB (1,234,567 bytes)": decimal units, and the exact count once rounded.
std::u16string formattedByteCount(std::int64_t bytes);

/// Fails with the export's file error when `available` is short of `needed`.
platform::Result<void> checkFreeSpace(const platform::URL& container, std::int64_t needed,
                                      std::int64_t available);

}  // namespace zv::exporter
