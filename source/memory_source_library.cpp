#include "source/memory_source_library.h"

#include <algorithm>
#include <utility>

namespace zv::source {

platform::Error makeSourceError(std::u16string reason) {
  return platform::Error{kSourceErrorDomain, kSourceCallFailedErrorCode, std::move(reason)};
}

MemorySourceLibrary::MemorySourceLibrary(LibraryContents contents, ItemExporter exporter)
    : contents_(std::move(contents)), exporter_(std::move(exporter)) {}

void MemorySourceLibrary::failCall(std::string call, std::u16string reason, int fromUse) {
  failures_[std::move(call)] = Failure{std::move(reason), fromUse};
}

std::optional<platform::Error> MemorySourceLibrary::failureFor(const std::string& call) {
  int use = uses_[call]++;
  auto found = failures_.find(call);
  if (found == failures_.end() || use < found->second.fromUse) {
    return std::nullopt;
  }
  return makeSourceError(found->second.reason);
}

platform::Result<std::int64_t> MemorySourceLibrary::countItems(ItemKind kind) {
  if (auto failure = failureFor("countItems")) {
    return *failure;
  }
  return static_cast<std::int64_t>(
      std::count_if(contents_.items.begin(), contents_.items.end(),
                    [&](const auto& item) { return item.kind == kind; }));
}

platform::Result<std::vector<DatabaseItem>> MemorySourceLibrary::getItems(ItemKind kind) {
  if (auto failure = failureFor("getItems")) {
    return *failure;
  }
  std::vector<DatabaseItem> items;
  std::copy_if(contents_.items.begin(), contents_.items.end(), std::back_inserter(items),
               [&](const auto& item) { return item.kind == kind; });
  return items;
}

platform::Result<std::int64_t> MemorySourceLibrary::countLabels() {
  if (auto failure = failureFor("countLabels")) {
    return *failure;
  }
  return static_cast<std::int64_t>(contents_.labels.size());
}

platform::Result<std::vector<Label>> MemorySourceLibrary::getLabels() {
  if (auto failure = failureFor("getLabels")) {
    return *failure;
  }
  return contents_.labels;
}

platform::Result<std::int64_t> MemorySourceLibrary::countFolderCollections() {
  if (auto failure = failureFor("countFolderCollections")) {
    return *failure;
  }
  return static_cast<std::int64_t>(contents_.folderCollections.size());
}

platform::Result<std::vector<FolderCollection>> MemorySourceLibrary::getFolderCollections() {
  if (auto failure = failureFor("getFolderCollections")) {
    return *failure;
  }
  return contents_.folderCollections;
}

platform::Result<std::int64_t> MemorySourceLibrary::countTagCollections() {
  if (auto failure = failureFor("countTagCollections")) {
    return *failure;
  }
  return static_cast<std::int64_t>(contents_.tagCollections.size());
}

platform::Result<std::vector<TagCollection>> MemorySourceLibrary::getTagCollections() {
  if (auto failure = failureFor("getTagCollections")) {
    return *failure;
  }
  return contents_.tagCollections;
}

platform::Result<std::optional<platform::URL>> MemorySourceLibrary::exportItem(
    const DatabaseItem& item, const platform::URL& directory) {
  if (auto failure = failureFor("exportItem")) {
    return *failure;
  }
  if (!exporter_) {
    return std::optional<platform::URL>{};
  }
  return exporter_(item, directory);
}

}  // namespace zv::source
