#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "source/source_library.h"

namespace zv::source {

/// Everything a library holds, as plain values.
struct LibraryContents {
  std::optional<std::u16string> applicationBundleIdentifier;
  std::optional<std::u16string> applicationVersion;
  std::vector<DatabaseItem> items;  // every kind, each kind in library order
  std::vector<Label> labels;
  std::vector<FolderCollection> folderCollections;
  std::vector<TagCollection> tagCollections;
};

/// A source library held in memory. Exporting an item runs the exporter given at construction.
class MemorySourceLibrary : public SourceLibrary {
 public:
  /// Writes one item into the directory; nothing when the source writes nothing for it.
  using ItemExporter = std::function<platform::Result<std::optional<platform::URL>>(
      const DatabaseItem&, const platform::URL&)>;

  MemorySourceLibrary(LibraryContents contents, ItemExporter exporter);

  const LibraryContents& contents() const { return contents_; }

  platform::Result<std::int64_t> countItems(ItemKind kind) override;
  platform::Result<std::vector<DatabaseItem>> getItems(ItemKind kind) override;
  platform::Result<std::int64_t> countLabels() override;
  platform::Result<std::vector<Label>> getLabels() override;
  platform::Result<std::int64_t> countFolderCollections() override;
  platform::Result<std::vector<FolderCollection>> getFolderCollections() override;
  platform::Result<std::int64_t> countTagCollections() override;
  platform::Result<std::vector<TagCollection>> getTagCollections() override;
  platform::Result<std::optional<platform::URL>> exportItem(
      const DatabaseItem& item, const platform::URL& directory) override;

  /// The folder the library was read from; none for a library made in memory.
  void setLibraryFolderURL(std::optional<platform::URL> url) { libraryFolderURL_ = std::move(url); }
  std::optional<platform::URL> libraryFolderURL() const override { return libraryFolderURL_; }

 private:
  LibraryContents contents_;
  ItemExporter exporter_;
  std::optional<platform::URL> libraryFolderURL_;
};

/// The error a source call fails with: its description is the source's reason.
platform::Error makeSourceError(std::u16string reason);

}  // namespace zv::source
