#pragma once

#include <cstddef>
#include <iterator>
#include <optional>
#include <string_view>

namespace zv::source {

/// The kinds of database item, in the order the export runs through them.
enum class ItemKind {
#define ZV_ITEM_KIND(kind, ...) kind,
#include "source/item_kinds.def"
};

/// Every kind, in the export's order.
inline constexpr ItemKind kAllItemKinds[] = {
#define ZV_ITEM_KIND(kind, ...) ItemKind::kind,
#include "source/item_kinds.def"
};

inline constexpr std::size_t kItemKindCount = std::size(kAllItemKinds);

/// How the export treats a kind, as flags of its row.
enum ItemKindTrait : unsigned {
  kNoItemKindTraits = 0,
  /// The exported files are to become notes when imported.
  kConvertToNotes = 1U << 0U,
  /// Every item counts as encrypted, whatever it says.
  kAlwaysEncrypt = 1U << 1U,
  /// With encrypted items left out, the progress total leaves this kind's out too. Counting them
  /// means fetching the items, so kinds that skip none by themselves are counted as they stand.
  kTotalLeavesOutEncrypted = 1U << 2U,
  /// Exported only when the user asks for password items.
  kNeedsPasswordOption = 1U << 3U,
};

/// The names of one kind.
struct ItemKindNames {
  ItemKind kind;
  /// The name in library snapshots ("note", "serialNumber", ...).
  std::u16string_view snapshotName;
  /// The name for people, plural and in English ("notes", "PDF archives"); localise to show it.
  std::u16string_view pluralName;
};

/// One row per kind, in the kinds' order.
inline constexpr ItemKindNames kItemKindNames[] = {
#define ZV_ITEM_KIND(kind, snapshotName, pluralName, ...) \
  {ItemKind::kind, snapshotName, pluralName},
#include "source/item_kinds.def"
};

/// True when a table has one row per kind, in the kinds' order, each row naming its `kind`: such
/// a table can be indexed by kind. Tables of other layers assert it of themselves.
template <typename Row, std::size_t rowCount>
constexpr bool hasOneRowPerItemKindInOrder(const Row (&rows)[rowCount]) {
  if (rowCount != kItemKindCount) {
    return false;
  }
  for (std::size_t index = 0; index < rowCount; ++index) {
    if (rows[index].kind != kAllItemKinds[index]) {
      return false;
    }
  }
  return true;
}

constexpr const ItemKindNames& itemKindNames(ItemKind kind) {
  return kItemKindNames[static_cast<std::size_t>(kind)];
}

/// The kind's name in library snapshots ("note", "serialNumber", ...).
constexpr std::u16string_view itemKindName(ItemKind kind) {
  return itemKindNames(kind).snapshotName;
}

/// The kind a library snapshot names; nothing for a name that is no kind's.
constexpr std::optional<ItemKind> itemKindFromName(std::u16string_view name) {
  for (const ItemKindNames& names : kItemKindNames) {
    if (names.snapshotName == name) {
      return names.kind;
    }
  }
  return std::nullopt;
}

// Two kinds of one snapshot name would both read back as the first of them.
static_assert(
    [] {
      for (ItemKind kind : kAllItemKinds) {
        if (itemKindFromName(itemKindName(kind)) != kind) {
          return false;
        }
      }
      return true;
    }(),
    "every kind needs a snapshot name of its own");

}  // namespace zv::source
