#pragma once

// How exported items are named in the root folder, shared by the export and its dry run so that
// a dry run predicts every name exactly.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/url.h"
#include "source/source_library.h"
#include "weblink/web_link_file.h"

namespace zv::exporter {

/// The file name for an exported item, before it is made unique. Names are untrusted: whatever
/// they hold, the result is one non-empty name for a file directly in the root folder.
std::u16string fileNameForItem(const source::DatabaseItem& item, std::u16string_view fileExtension);

/// The web link's title as a file name, before it is made unique.
std::u16string fileNameForBookmark(const weblink::QNTWebLinkFile& link);

/// The extension of a file of this name, as its URL would give it: that of the name's last
/// path component.
std::u16string extensionOfFileName(std::u16string_view fileName);

bool isWebArchiveExtension(std::u16string_view extension);

/// A web archive's main resource as a file of its own.
struct ConvertedWebArchive {
  std::u16string fileName;
  std::vector<std::uint8_t> data;
};

/// What the web archive `bytes`, a file named fileName, unwraps into. Nothing when it stays a web
/// archive; when it cannot be converted, that is logged naming it `shownAs`.
std::optional<ConvertedWebArchive> convertedWebArchive(std::span<const std::uint8_t> bytes,
                                                       std::u16string_view fileName,
                                                       std::u16string_view shownAs);

}  // namespace zv::exporter
