#pragma once

#include <filesystem>
#include <memory>

#include "platform/result.h"
#include "source/source_library.h"

namespace zv::source {

struct ItemRecord;

/// The file of a snapshot folder that describes the library.
inline constexpr char kLibrarySnapshotFileName[] = "library.json";

/// Error domain and codes of snapshot loading.
inline constexpr char16_t kLibrarySnapshotErrorDomain[] = u"ZVLibrarySnapshotErrorDomain";
enum LibrarySnapshotErrorCode : std::int64_t {
  kSnapshotUnreadable = 1,  // the folder or library.json cannot be read
  kSnapshotMalformed = 2,   // not JSON, or JSON of the wrong shape
};

/// A library read from a snapshot folder: library.json and the payload files it names. Its
/// payloads are handed over open for reading; exporting an item instead copies its payload into
/// the given directory as a new file private to the user, the way the application writes a file
/// on export: the payload's mode and dates stay behind. An item's "exportError" makes both fail
/// with that reason, as the application would.
class SnapshotSourceLibrary final : public SourceLibrary {
 public:
  /// What the loader read, in compact form (source/snapshot_contents.h).
  struct Contents;

  explicit SnapshotSourceLibrary(std::unique_ptr<Contents> contents);
  ~SnapshotSourceLibrary() override;
  SnapshotSourceLibrary(const SnapshotSourceLibrary&) = delete;
  SnapshotSourceLibrary& operator=(const SnapshotSourceLibrary&) = delete;

  /// The application that wrote the snapshot, as it names itself; none when it does not say.
  std::optional<std::u16string> applicationBundleIdentifier() const;
  std::optional<std::u16string> applicationVersion() const;

  platform::Result<std::int64_t> countItems(ItemKind kind) override;
  platform::Result<std::vector<DatabaseItem>> getItems(ItemKind kind) override;
  platform::Result<void> forEachItem(
      ItemKind kind, const std::function<bool(const DatabaseItem&)>& visit) override;
  platform::Result<std::int64_t> countLabels() override;
  platform::Result<std::vector<Label>> getLabels() override;
  platform::Result<std::int64_t> countFolderCollections() override;
  platform::Result<std::vector<FolderCollection>> getFolderCollections() override;
  platform::Result<std::int64_t> countTagCollections() override;
  platform::Result<std::vector<TagCollection>> getTagCollections() override;
  platform::Result<std::optional<platform::URL>> exportItem(
      const DatabaseItem& item, const platform::URL& directory) override;
  bool canOpenItemPayloads() const override { return true; }
  platform::Result<std::optional<ItemPayload>> openItemPayload(const DatabaseItem& item) override;
  std::optional<std::int64_t> itemPayloadSize(const DatabaseItem& item) override;
  std::optional<platform::URL> libraryFolderURL() const override;

 private:
  const ItemRecord* recordOf(const DatabaseItem& item) const;

  std::unique_ptr<Contents> contents_;
  // The item forEachItem is handing out and its record, while the visitor holds it: asked about
  // that very item, the library needs no look-up by identifier.
  const DatabaseItem* visitedItem_ = nullptr;
  const ItemRecord* visitedRecord_ = nullptr;
};

/// Opens a library snapshot folder. The whole description is checked first; any fault is an
/// error naming the item and the field, and then nothing can be exported. Nothing the folder
/// holds makes it throw: every fault, a number out of range, nesting too deep or memory running
/// out included, comes back as an error.
platform::Result<std::unique_ptr<SnapshotSourceLibrary>> openLibrarySnapshot(
    const std::filesystem::path& folder);

/// The same, from the text of library.json; payload paths are resolved against folder. The
/// library does not name a folder of its own then.
platform::Result<std::unique_ptr<SnapshotSourceLibrary>> parseLibrarySnapshot(
    std::string_view json, const std::filesystem::path& folder);

}  // namespace zv::source
