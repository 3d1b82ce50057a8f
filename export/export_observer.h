#pragma once

#include "export/dry_run.h"
#include "platform/result.h"
#include "platform/url.h"
#include "source/source_library.h"

namespace zv::exporter {

/// Hears what the export does with each item, as it happens. Called on the export's thread, in
/// the export's order, once per item the export goes through, before it goes on to the next; a
/// slow observer slows the export, and nothing it does changes the export.
class ExportItemObserver {
 public:
  virtual ~ExportItemObserver() = default;

  /// The item's file is complete in the root folder at `file`. `outcome` is exported or
  /// converted (a web archive that became its main resource).
  virtual void itemExported(const source::DatabaseItem& item, PlannedOutcome outcome,
                            const platform::URL& file) = 0;
  /// The export left the item out.
  virtual void itemSkipped(const source::DatabaseItem& item, SkipReason reason) = 0;
  /// The items of a kind that the export left out as a whole could not be gone through to tell
  /// of each; the export itself goes on.
  virtual void itemsNotListed(source::ItemKind kind, const platform::Error& error) = 0;
};

}  // namespace zv::exporter
