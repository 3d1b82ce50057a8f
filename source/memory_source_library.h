#pragma once

#include <functional>
#include <map>
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

/// A source library held in memory. Exporting an item runs the exporter given at construction;
/// tests also use failAfter to make any call fail the way a source application would.
class MemorySourceLibrary : public SourceLibrary {
 public:
  /// Writes one item into the directory; nothing when the source writes nothing for it.
  using ItemExporter = std::function<platform::Result<std::optional<platform::URL>>(
      const DatabaseItem&, const platform::URL&)>;

  MemorySourceLibrary(LibraryContents contents, ItemExporter exporter);

  const LibraryContents& contents() const { return contents_; }

  /// Makes the named call ("countItems", "getItems", "getLabels", "exportItem", ...) fail with
  /// the reason from its n-th use on (0: the first).
  void failCall(std::string call, std::u16string reason, int fromUse = 0);

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
  struct Failure {
    std::u16string reason;
    int fromUse = 0;
  };
  // The error to return for this use of the call, if one was asked for.
  std::optional<platform::Error> failureFor(const std::string& call);

  LibraryContents contents_;
  ItemExporter exporter_;
  std::map<std::string, Failure> failures_;
  std::map<std::string, int> uses_;
  std::optional<platform::URL> libraryFolderURL_;
};

/// The error a source call fails with: its description is the source's reason.
platform::Error makeSourceError(std::u16string reason);

}  // namespace zv::source
