#pragma once

#include <string_view>

#include "platform/result.h"
#include "platform/url.h"
#include "source/source_library.h"

namespace zv::exporter {

/// Gives the file the item's creation and modification dates, for every phase that writes an
/// item as a file. True when the file took dates, false when the item has none to give.
[[nodiscard]] platform::Result<bool> restoreItemDatesAtURL(const source::DatabaseItem& item,
                                                           const platform::URL& fileURL);

/// restoreItemDatesAtURL for a file still open, written at `path`.
[[nodiscard]] platform::Result<bool> restoreItemDatesOfOpenFile(const source::DatabaseItem& item,
                                                                int descriptor,
                                                                std::string_view path);

/// Logs the item when its file, where it ends up, does not hold the modification date it was
/// given: the file system stored the nearest date it can. Call it after restoreItemDatesAtURL
/// gave the file dates.
void logItemDateOutsideFileSystemRange(const source::DatabaseItem& item,
                                       const platform::URL& fileURL);

}  // namespace zv::exporter
