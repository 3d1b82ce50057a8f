#include "export/dry_run.h"

#include <sys/stat.h>

#include <numeric>

#include "export/item_file_names.h"
#include "export/root_folder_names.h"
#include "platform/app_group_containers.h"
#include "platform/bundle_info.h"
#include "platform/exclusive_file.h"
#include "platform/files.h"
#include "platform/localization.h"
#include "platform/property_list_serialization.h"
#include "platform/unicode.h"
#include "weblink/web_link_file.h"

namespace zv::exporter {

using platform::formatLocalized;
using platform::URL;
using source::DatabaseItem;
using source::ItemKind;

namespace {

constexpr unsigned kKindTraits[] = {
#define ZV_ITEM_KIND(kind, snapshotName, pluralName, exportPhase, logLine, progressText, traits) \
  (traits),
#include "source/item_kinds.def"
};

bool hasTrait(ItemKind kind, source::ItemKindTrait trait) {
  return (kKindTraits[static_cast<std::size_t>(kind)] & trait) != 0;
}

// Goes through one library once, in the export's order.
class Planner {
 public:
  Planner(source::SourceLibrary& library, const PlanOptions& options)
      : library_(library), options_(options), direct_(library.canOpenItemPayloads()) {
    plan_.payloadSizesKnown = direct_ && options_.openPayloads;
  }

  platform::Result<ExportPlan> run() {
    for (ItemKind kind : source::kAllItemKinds) {
      const bool bookmarks = kind == ItemKind::bookmark;
      if (bookmarks && !options_.openPayloads) {
        // Only counted: handing each over would make the source go through them twice.
        ZV_ASSIGN_OR_RETURN(const std::int64_t count, library_.countItems(kind));
        KindPlan& plan = plan_.kinds[static_cast<std::size_t>(kind)];
        plan.exported = count;
        plan.payloadBytes = count * kWebLinkFileAllowance;
        continue;
      }
      std::optional<platform::Error> failure;
      ZV_TRY(library_.forEachItem(kind, [&](const DatabaseItem& item) {
        auto planned = bookmarks ? planBookmark(item) : planItem(item);
        if (!planned) {
          failure = std::move(planned).error();
          return false;
        }
        return true;
      }));
      if (failure) {
        return *failure;
      }
    }
    for (const KindPlan& kind : plan_.kinds) {
      plan_.payloadBytes += kind.payloadBytes;
    }
    return std::move(plan_);
  }

 private:
  void add(const DatabaseItem& item, PlannedOutcome outcome, std::optional<SkipReason> reason,
           std::u16string_view wantedName, std::optional<std::int64_t> bytes) {
    KindPlan& kind = plan_.kinds[static_cast<std::size_t>(item.kind)];
    if (reason) {
      ++kind.skipped[static_cast<std::size_t>(*reason)];
    } else {
      ++kind.exported;
      kind.converted += outcome == PlannedOutcome::converted ? 1 : 0;
      kind.payloadBytes += bytes.value_or(0);
    }
    if (!options_.listItems) {
      return;
    }
    PlannedItem planned{item.kind, item.id, outcome, reason, std::nullopt, bytes, item.name};
    if (!reason && !wantedName.empty()) {
      planned.fileName = names_.reserveUniqueName(wantedName);
    }
    plan_.items.push_back(std::move(planned));
  }

  void skip(const DatabaseItem& item, SkipReason reason) {
    add(item, PlannedOutcome::skipped, reason, {}, std::nullopt);
  }

  platform::Result<void> planBookmark(const DatabaseItem& bookmark) {
    if (!bookmark.location || bookmark.location->empty()) {
      skip(bookmark, SkipReason::noLocation);
      return {};
    }
    weblink::QNTWebLinkFile link;
    link.setTitle(bookmark.name);
    link.setURL(URL::fromStringAllowingRelative(*bookmark.location));
    platform::Error error;
    auto data = link.webLinkDataForType(weblink::QNTWebLinkFile::fileType(), &error);
    if (!data) {
      plan_.problems.push_back(formatLocalized(
          u"Cannot save bookmark %@: %@",
          {bookmark.name.empty() ? bookmark.id : bookmark.name, error.description}));
      return {};
    }
    add(bookmark, PlannedOutcome::exported, std::nullopt,
        options_.listItems ? fileNameForBookmark(link) : std::u16string(),
        static_cast<std::int64_t>(data->size()));
    return {};
  }

  platform::Result<void> planItem(const DatabaseItem& item) {
    if (hasTrait(item.kind, source::kNeedsPasswordOption) && !options_.exportPasswordItems) {
      skip(item, SkipReason::passwordsLeftOut);
      return {};
    }
    const bool encrypted =
        hasTrait(item.kind, source::kAlwaysEncrypt) || item.encrypted.value_or(false);
    if (encrypted && !options_.exportEncryptedItems) {
      skip(item, SkipReason::encrypted);
      return {};
    }
    if (item.name.empty()) {
      skip(item, SkipReason::noName);
      return {};
    }
    if (!direct_ || !options_.openPayloads) {
      // Only the source knows the file it would write.
      add(item, PlannedOutcome::exported, std::nullopt, {}, library_.itemPayloadSize(item));
      return {};
    }
    auto opened = library_.openItemPayload(item);
    if (!opened) {
      plan_.problems.push_back(
          formatLocalized(u"Cannot export “%@”: %@", {item.name, opened.error().description}));
      return {};
    }
    if (!*opened) {
      if (encrypted) {
        skip(item, SkipReason::encryptedNotReturned);
      } else {
        plan_.problems.push_back(
            formatLocalized(u"Cannot export “%@”. An unknown error occurred.", {item.name}));
      }
      return {};
    }
    const source::ItemPayload& payload = **opened;
    std::optional<std::int64_t> size = payload.size();
    // Measured again only where the source did not measure it as it opened the file.
    if (struct stat status{}; !size) {
      if (::fstat(payload.file.get(), &status) != 0) {
        plan_.problems.push_back(
            formatLocalized(u"The file “%@” cannot be read.", {payload.displayName}));
        return {};
      }
      size = static_cast<std::int64_t>(status.st_size);
    }
    const std::u16string extension = extensionOfFileName(payload.fileName);
    if (options_.predictConversions && isWebArchiveExtension(extension)) {
      auto bytes =
          platform::readOpenFileContent(payload.file.get(), platform::toUtf8(payload.displayName),
                                        platform::kPropertyListMaximumInputSize);
      if (bytes) {
        if (auto converted = convertedWebArchive(*bytes, payload.fileName, payload.displayName)) {
          add(item, PlannedOutcome::converted, std::nullopt,
              options_.listItems ? fileNameForItem(item, extensionOfFileName(converted->fileName))
                                 : std::u16string(),
              static_cast<std::int64_t>(converted->data.size()));
          return {};
        }
      }
    }
    add(item, PlannedOutcome::exported, std::nullopt,
        options_.listItems ? fileNameForItem(item, extension) : std::u16string(), *size);
    return {};
  }

  source::SourceLibrary& library_;
  const PlanOptions& options_;
  const bool direct_;
  ExportPlan plan_;
  RootFolderNames names_;
};

}  // namespace

std::u16string_view skipReasonText(SkipReason reason) {
  switch (reason) {
    case SkipReason::encrypted:
      return u"encrypted";
    case SkipReason::passwordsLeftOut:
      return u"passwords left out";
    case SkipReason::encryptedNotReturned:
      return u"encrypted and not returned";
    case SkipReason::noName:
      return u"no name";
    case SkipReason::noLocation:
      return u"no location";
  }
  return u"";
}

std::int64_t KindPlan::skippedTotal() const {
  return std::accumulate(skipped.begin(), skipped.end(), std::int64_t{0});
}

std::int64_t ExportPlan::exportedTotal() const {
  std::int64_t total = 0;
  for (const KindPlan& kind : kinds) {
    total += kind.exported;
  }
  return total;
}

platform::Result<ExportPlan> planExport(source::SourceLibrary& library,
                                        const PlanOptions& options) {
  return Planner(library, options).run();
}

void planContainer(ExportPlan& plan, const std::optional<URL>& container,
                   const FreeSpaceSource& freeSpace) {
  auto resolved = container ? platform::Result<URL>(*container)
                            : platform::containerURLForSecurityApplicationGroupIdentifier(
                                  platform::kQuennetApplicationGroupIdentifier);
  plan.bytesNeeded = bytesNeededForExport(plan.payloadBytes, plan.exportedTotal());
  if (!resolved) {
    plan.problems.push_back(
        formatLocalized(u"No container to export into: %@", {resolved.error().description}));
    return;
  }
  plan.container = *resolved;
  auto available = freeSpace(*resolved);
  if (!available) {
    plan.problems.push_back(available.error().description);
    return;
  }
  plan.bytesAvailable = *available;
  if (auto enough = checkFreeSpace(*resolved, plan.bytesNeeded, *available); !enough) {
    plan.problems.push_back(enough.error().description);
  }
}

}  // namespace zv::exporter
