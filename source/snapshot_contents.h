#pragma once

// The compact form a library snapshot is held in, shared by its loader and the library. A
// million items must fit in memory beside the export: per item a fixed record of offsets into
// one text buffer, no string objects, no maps keyed by strings.

#include <array>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/files.h"
#include "platform/url.h"
#include "source/library_snapshot.h"

namespace zv::source {

/// A piece of text in a TextArena, or none, which differs from empty. Four bytes: the text's
/// length is kept in the arena, in front of it.
struct TextRef {
  static constexpr std::uint32_t kNone = UINT32_MAX;
  std::uint32_t offset = kNone;

  bool present() const { return offset != kNone; }
};

/// UTF-8 texts one after another in one buffer, each behind its length (seven bits a byte, the
/// last byte below 0x80): a text of up to 127 bytes costs one byte more than itself.
class TextArena {
 public:
  /// Room for this many bytes, reserved but not touched: a description's texts with their
  /// lengths never take more bytes than the description has (a length fits in a string's quotes
  /// up to 16 KB, and the keys alone outweigh that), so reserving its size spares reallocation.
  void reserve(std::size_t size) { bytes_.reserve(size); }
  /// Throws std::length_error beyond 4 GiB, which offsets cannot reach.
  TextRef add(std::string_view text);
  /// The same, but a text added this way before is not stored again: for tags and labels, which
  /// a library repeats on item after item.
  TextRef addShared(std::string_view text);
  /// Frees what addShared remembers, once the library has been read; the texts stay.
  void forgetShared() { shared_ = {}; }
  /// Empty for none.
  std::string_view view(TextRef ref) const {
    if (!ref.present()) {
      return {};
    }
    const char* at = bytes_.data() + ref.offset;
    const auto first = static_cast<unsigned char>(*at);
    if (first < 0x80) {
      return {at + 1, first};
    }
    return longView(at);
  }
  std::u16string text(TextRef ref) const;
  std::optional<std::u16string> optionalText(TextRef ref) const;

 private:
  static std::string_view longView(const char* at);

  // Found by a view of the text, without making a string of it.
  struct SharedHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view text) const {
      return std::hash<std::string_view>{}(text);
    }
  };

  std::string bytes_;
  std::unordered_map<std::string, TextRef, SharedHash, std::equal_to<>> shared_;
};

/// One database item. Dates are seconds since the reference date, valid where the flag says so.
struct ItemRecord {
  enum Flags : std::uint8_t {
    kHasEncrypted = 1,
    kEncrypted = 2,
    kFlagged = 4,
    kHasCreationDate = 8,
    kHasModificationDate = 16,
  };
  TextRef id;
  TextRef name;
  TextRef comments;
  TextRef label;
  TextRef location;
  TextRef file;
  TextRef exportError;
  double creationDate = 0;
  double modificationDate = 0;
  /// The item's tags are tags[firstTag, firstTag + tagCount); a tag without a name is none.
  std::uint32_t firstTag = 0;
  std::uint32_t tagCount = 0;
  /// Its place in the description's list of items, from 0.
  std::uint32_t position = 0;
  std::uint8_t flags = 0;
};

/// A folder collection; its members are members[firstMember, firstMember + memberCount).
struct CollectionRecord {
  TextRef id;
  TextRef name;
  std::uint32_t firstMember = 0;
  std::uint32_t memberCount = 0;
};

struct LibraryFolder;

/// Names in one buffer, found by their hash: a folder's hundred thousand names without an
/// allocation each.
class NameSet {
 public:
  void add(std::string_view name);
  bool contains(std::string_view name) const;
  std::size_t size() const { return count_; }

 private:
  // Where a name starts in bytes_, plus one; 0 is a free slot.
  std::size_t slotOf(std::string_view name) const;

  std::string bytes_;  // each name ends with a NUL, which no name holds
  std::vector<std::uint32_t> slots_;
  std::size_t count_ = 0;
};

/// The folders payloads sit in, held open by their path relative to the library, a few at a
/// time. Opened without following links, a folder vouches for a name in it that is no link, which
/// spares resolving each payload's whole path again.
class PayloadFolders {
 public:
  struct Folder {
    // Invalid where the folder could not be opened without following a link.
    platform::ScopedDescriptor descriptor;
    bool missing = false;
    // While a library is read: how often names were asked for, and once that is often, the
    // names the folder held then that are no link, from one listing rather than a look-up each.
    std::size_t lookups = 0;
    std::optional<NameSet> plainNames;
  };
  struct Place {
    std::string_view folder;
    std::string name;
  };

  /// The folder of a payload path ("" for the library's own) and the payload's name in it; none
  /// where no folder can vouch for the path: absolute, empty, with "." or ".." or a NUL.
  static std::optional<Place> placeOf(std::string_view relative);

  Folder& at(const LibraryFolder& library, std::string_view folder);

  /// Frees the listings, once the library has been read.
  void forgetListings();

 private:
  static constexpr std::size_t kMaximumOpenFolders = 16;
  std::unordered_map<std::string, Folder> folders_;
  std::pair<const std::string, Folder>* last_ = nullptr;
};

/// The library folder, by its resolved path and held open.
struct LibraryFolder {
  std::filesystem::path root;
  platform::FolderHandle handle;
  PayloadFolders payloadFolders = {};
};

/// Where a payload path leads: relative, without "..", resolved through every symbolic link
/// along it. A fault names what is wrong; a missing file is not a fault until the item is
/// exported, unless mustExist.
struct PayloadPath {
  std::optional<std::filesystem::path> resolved;
  std::optional<std::string> problem;
};
PayloadPath resolvePayloadPath(const std::filesystem::path& root, std::string_view file,
                               bool mustExist);

/// Items of one kind are found by an index below 2^29 in their kind's list, packed with the kind.
using ItemReference = std::uint32_t;

struct SnapshotSourceLibrary::Contents {
  std::optional<std::u16string> applicationBundleIdentifier;
  std::optional<std::u16string> applicationVersion;
  TextArena texts;
  // By kind, each in library order. Deques grow without copying what they hold.
  std::array<std::deque<ItemRecord>, kItemKindCount> items;
  std::deque<TextRef> tags;
  std::vector<Label> labels;
  std::vector<CollectionRecord> folderCollections;
  std::vector<TextRef> members;
  std::vector<TagCollection> tagCollections;
  std::optional<LibraryFolder> folder;
  std::optional<platform::URL> folderURL;

  static constexpr unsigned kKindShift = 29;
  // A kind beyond the bits above the index would wrap round to another kind's items.
  static_assert(kItemKindCount <= (std::size_t{1} << (32 - kKindShift)),
                "a new item kind needs a smaller kKindShift");
  static ItemReference referenceOf(ItemKind kind, std::size_t index) {
    return static_cast<ItemReference>((static_cast<std::uint32_t>(kind) << kKindShift) | index);
  }
  const ItemRecord& record(ItemReference reference) const {
    return items[reference >> kKindShift][reference & ((1u << kKindShift) - 1)];
  }

  /// Adds the item last stored under this kind to the identifier index; false when another item
  /// has its identifier.
  bool indexItem(ItemKind kind);
  /// The item with this identifier.
  std::optional<ItemReference> findItem(std::string_view id) const;
  /// Forgets every item, for a description that lists its items twice.
  void clearItems();

  DatabaseItem databaseItem(ItemKind kind, const ItemRecord& record) const;

 private:
  // Open addressing over item references, so that a million identifiers cost a few bytes each
  // rather than a hash node and a string each.
  std::vector<std::uint64_t> idSlots_;
  std::size_t indexedItems_ = 0;
};

}  // namespace zv::source
