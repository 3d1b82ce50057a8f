#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "export/free_space.h"
#include "platform/result.h"
#include "platform/url.h"
#include "source/item_kinds.h"
#include "source/source_library.h"

namespace zv::exporter {

/// Why an export would leave an item out.
enum class SkipReason {
  /// Encrypted, and encrypted items are left out.
  encrypted,
  /// A password item, and password items are left out.
  passwordsLeftOut,
  /// Encrypted, and the source gave nothing for it.
  encryptedNotReturned,
  noName,
  /// A bookmark without a location.
  noLocation,
};
inline constexpr std::size_t kSkipReasonCount = 5;

/// The reason in the words of the summaries: "encrypted", "no name", ...
std::u16string_view skipReasonText(SkipReason reason);

enum class PlannedOutcome { exported, converted, skipped };

/// One item as an export would treat it.
struct PlannedItem {
  source::ItemKind kind = source::ItemKind::note;
  std::u16string id;
  PlannedOutcome outcome = PlannedOutcome::exported;
  std::optional<SkipReason> skipReason;
  /// The name it would get in the root folder; none when skipped, or when the source cannot
  /// hand over payloads and so only names them as it writes them.
  std::optional<std::u16string> fileName;
  /// The bytes its file would hold; none when the source does not say.
  std::optional<std::int64_t> bytes;
  /// The item's name in the library; empty for a nameless item.
  std::u16string name;
};

/// What an export would do with one kind. "exported" counts the converted items too.
struct KindPlan {
  std::int64_t exported = 0;
  std::int64_t converted = 0;
  std::array<std::int64_t, kSkipReasonCount> skipped{};
  std::int64_t payloadBytes = 0;

  std::int64_t skippedTotal() const;
};

/// What an export under the same options would do, found without writing anything.
struct ExportPlan {
  std::array<KindPlan, source::kItemKindCount> kinds{};
  /// Every item, in the export's order; filled only when asked for.
  std::vector<PlannedItem> items;
  std::int64_t payloadBytes = 0;
  /// False when the source cannot hand over payloads: their sizes then count as 0, and file
  /// names are not known before the source writes the files.
  bool payloadSizesKnown = true;
  /// The container the export would use, and what it needs and has there.
  std::optional<platform::URL> container;
  std::int64_t bytesNeeded = 0;
  std::optional<std::int64_t> bytesAvailable;
  /// Why an export could not start, or would fail on the way; empty when it would run.
  std::vector<std::u16string> problems;

  std::int64_t exportedTotal() const;
  const KindPlan& kind(source::ItemKind kind) const {
    return kinds[static_cast<std::size_t>(kind)];
  }
};

/// Room for a bookmark's web link file when it is not measured: a small property list whose URL
/// seldom runs past a few kilobytes.
inline constexpr std::int64_t kWebLinkFileAllowance = 4096;

struct PlanOptions {
  bool exportPasswordItems = true;
  bool exportEncryptedItems = true;
  /// Keep every item with the name it would get.
  bool listItems = false;
  /// Read web archives to find which would be unwrapped. Without it they count as copied whole,
  /// which never needs less room.
  bool predictConversions = true;
  /// Open every payload as the export will, which finds the ones that would fail it. Without
  /// it, sizes come from the source's word (none counts as 0), bookmarks are only counted, each
  /// with room for its file, and nothing is asked of the source that the export asks again.
  bool openPayloads = true;
};

/// Goes through the library as the export would: the same phases, options, skips, conversions
/// and naming. A source call that fails, which would fail the export, is an error; an item that
/// would fail it is a problem of the plan.
platform::Result<ExportPlan> planExport(source::SourceLibrary& library, const PlanOptions& options);

/// Adds the container to the plan: the one given, else the target application's (a problem
/// when there is none), and its free space against what the export needs.
void planContainer(ExportPlan& plan, const std::optional<platform::URL>& container,
                   const FreeSpaceSource& freeSpace);

}  // namespace zv::exporter
