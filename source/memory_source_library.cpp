#include "source/memory_source_library.h"

#include <algorithm>
#include <utility>

namespace zv::source {

platform::Error makeSourceError(std::u16string reason) {
  return platform::Error{kSourceErrorDomain, kSourceCallFailedErrorCode, std::move(reason)};
}

MemorySourceLibrary::MemorySourceLibrary(LibraryContents contents, ItemExporter exporter)
    : contents_(std::move(contents)), exporter_(std::move(exporter)) {}

platform::Result<std::int64_t> MemorySourceLibrary::countItems(ItemKind kind) {
  return static_cast<std::int64_t>(
      std::count_if(contents_.items.begin(), contents_.items.end(),
                    [&](const auto& item) { return item.kind == kind; }));
}

platform::Result<std::vector<DatabaseItem>> MemorySourceLibrary::getItems(ItemKind kind) {
  std::vector<DatabaseItem> items;
  std::copy_if(contents_.items.begin(), contents_.items.end(), std::back_inserter(items),
               [&](const auto& item) { return item.kind == kind; });
  return items;
}

platform::Result<std::int64_t> MemorySourceLibrary::countLabels() {
  return static_cast<std::int64_t>(contents_.labels.size());
}

platform::Result<std::vector<Label>> MemorySourceLibrary::getLabels() {
  return contents_.labels;
}

platform::Result<std::int64_t> MemorySourceLibrary::countFolderCollections() {
  return static_cast<std::int64_t>(contents_.folderCollections.size());
}

platform::Result<std::vector<FolderCollection>> MemorySourceLibrary::getFolderCollections() {
  return contents_.folderCollections;
}

platform::Result<std::int64_t> MemorySourceLibrary::countTagCollections() {
  return static_cast<std::int64_t>(contents_.tagCollections.size());
}

platform::Result<std::vector<TagCollection>> MemorySourceLibrary::getTagCollections() {
  return contents_.tagCollections;
}

platform::Result<std::optional<platform::URL>> MemorySourceLibrary::exportItem(
    const DatabaseItem& item, const platform::URL& directory) {
  if (!exporter_) {
    return std::optional<platform::URL>{};
  }
  return exporter_(item, directory);
}

}  // namespace zv::source
