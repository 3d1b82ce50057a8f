#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/date.h"
#include "platform/result.h"
#include "platform/scoped_descriptor.h"
#include "platform/url.h"
#include "source/item_kinds.h"

namespace zv::source {

/// The domain of the errors that source calls fail with; the description is the source's reason.
inline constexpr char16_t kSourceErrorDomain[] = u"ZVSourceErrorDomain";

/// The codes of kSourceErrorDomain.
enum SourceErrorCode : std::int64_t {
  /// The source refused or failed the call.
  kSourceCallFailedErrorCode = 1,
};

struct Tag {
  std::optional<std::u16string> name;

  friend bool operator==(const Tag&, const Tag&) = default;
};

/// A colour already converted to device RGB, components 0 to 1.
struct DeviceRGBColor {
  double red = 0;
  double green = 0;
  double blue = 0;
  double alpha = 1;

  friend bool operator==(const DeviceRGBColor&, const DeviceRGBColor&) = default;
};

struct Label {
  std::u16string id;
  std::optional<std::u16string> name;
  /// None when the source's colour cannot be converted to device RGB.
  std::optional<DeviceRGBColor> color;
};

struct DatabaseItem {
  ItemKind kind = ItemKind::note;
  std::u16string id;
  std::u16string name;
  /// None when the item has no "encrypted" property at all.
  std::optional<bool> encrypted;
  std::optional<platform::Date> creationDate;
  std::optional<platform::Date> modificationDate;
  bool flagged = false;
  std::optional<std::u16string> comments;
  /// The identifier of the item's label.
  std::optional<std::u16string> label;
  std::vector<Tag> tags;
  /// Bookmarks only: the URL text as the source stores it.
  std::optional<std::u16string> location;

  bool hasEncrypted() const { return encrypted.has_value(); }
};

struct FolderCollection {
  std::u16string id;
  std::optional<std::u16string> name;
  /// Identifiers of the collection's database items, in the collection's order.
  std::vector<std::u16string> databaseItems;
};

/// The enumerator code of a tag collection whose items must carry all its tags ("TgAl").
inline constexpr std::uint32_t kTagCollectionBehaviorAll = 0x5467416C;

struct TagCollection {
  std::u16string id;
  std::optional<std::u16string> name;
  std::vector<Tag> tags;
  std::uint32_t tagCollectionBehavior = 0;
};

/// An item's payload, handed over for the export to copy itself.
struct ItemPayload {
  /// Open for reading.
  platform::ScopedDescriptor file;
  /// The payload's own file name; its extension tells the file's type.
  std::u16string fileName;
  /// How the library names the payload, for messages.
  std::u16string displayName;
  /// The open file's status (its size among it) as the source found it when it opened the file;
  /// none when only the file itself can tell. A copy checks the file against it afterwards, so a
  /// change since the opening is noticed too.
  std::optional<struct stat> status = std::nullopt;

  std::optional<std::int64_t> size() const {
    return status ? std::optional<std::int64_t>(status->st_size) : std::nullopt;
  }
};

/// The source application's library as the export sees it. Every call may fail; the error's
/// description is the reason the source gave. Calls come from the export thread only.
class SourceLibrary {
 public:
  virtual ~SourceLibrary() = default;

  virtual platform::Result<std::int64_t> countItems(ItemKind kind) = 0;
  /// The items of one kind, in the library's order.
  virtual platform::Result<std::vector<DatabaseItem>> getItems(ItemKind kind) = 0;
  /// Hands each item of one kind to visit, in the library's order, without the caller holding
  /// them all; stops early when visit returns false. The default fetches them with getItems.
  virtual platform::Result<void> forEachItem(
      ItemKind kind, const std::function<bool(const DatabaseItem&)>& visit) {
    ZV_ASSIGN_OR_RETURN(const std::vector<DatabaseItem> items, getItems(kind));
    for (const DatabaseItem& item : items) {
      if (!visit(item)) {
        break;
      }
    }
    return {};
  }

  virtual platform::Result<std::int64_t> countLabels() = 0;
  virtual platform::Result<std::vector<Label>> getLabels() = 0;
  virtual platform::Result<std::int64_t> countFolderCollections() = 0;
  virtual platform::Result<std::vector<FolderCollection>> getFolderCollections() = 0;
  virtual platform::Result<std::int64_t> countTagCollections() = 0;
  virtual platform::Result<std::vector<TagCollection>> getTagCollections() = 0;

  /// Has the source write the item as a file into the directory. Nothing when the source wrote
  /// nothing for it.
  virtual platform::Result<std::optional<platform::URL>> exportItem(
      const DatabaseItem& item, const platform::URL& directory) = 0;

  /// Whether openItemPayload hands payloads over. A source that can only write files answers
  /// false, and then exportItem writes each item into a folder of the export's.
  virtual bool canOpenItemPayloads() const { return false; }
  /// The item's payload, open for reading. Nothing when the source has nothing for the item,
  /// as when exportItem writes nothing.
  virtual platform::Result<std::optional<ItemPayload>> openItemPayload(const DatabaseItem& item) {
    (void)item;
    return std::optional<ItemPayload>{};
  }

  /// The size of the item's payload in bytes, for making room before an export; none when the
  /// source cannot tell without handing the payload over.
  virtual std::optional<std::int64_t> itemPayloadSize(const DatabaseItem& item) {
    (void)item;
    return std::nullopt;
  }

  /// The folder on this machine that holds the library's data, when there is one: an export
  /// must neither replace it nor be put inside it.
  virtual std::optional<platform::URL> libraryFolderURL() const { return std::nullopt; }
};

}  // namespace zv::source
