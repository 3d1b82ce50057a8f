#include "app/export_report.h"

#include "platform/localization.h"

namespace zv::app {
namespace {

using source::ItemKind;

std::u16string kindName(ItemKind kind) {
  switch (kind) {
    case ItemKind::note:
      return platform::localized(u"notes");
    case ItemKind::serialNumber:
      return platform::localized(u"serial numbers");
    case ItemKind::password:
      return platform::localized(u"passwords");
    case ItemKind::bookmark:
      return platform::localized(u"bookmarks");
    case ItemKind::image:
      return platform::localized(u"images");
    case ItemKind::pdfArchive:
      return platform::localized(u"PDF archives");
    case ItemKind::webArchive:
      return platform::localized(u"web archives");
  }
  return {};
}

// " (notes 7, images 2)", or nothing when no kind has a count.
std::u16string countsByKind(const std::map<ItemKind, std::int64_t>& counts) {
  std::u16string text;
  for (ItemKind kind : source::kAllItemKinds) {
    auto found = counts.find(kind);
    if (found == counts.end() || found->second == 0) {
      continue;
    }
    text += text.empty() ? u" (" : u", ";
    text += platform::formatLocalized(u"%@ %ld", {kindName(kind), found->second});
  }
  return text.empty() ? text : text + u")";
}

}  // namespace

std::u16string exportSummaryLine(const exporter::ExportSummary& summary) {
  return platform::formatLocalized(u"Exported %ld items%@, skipped %ld%@.",
                                   {summary.exportedTotal(), countsByKind(summary.exported),
                                    summary.skippedTotal(), countsByKind(summary.skipped)});
}

std::u16string exportFailureMessage(const platform::Error& error) {
  return platform::formatLocalized(u"%@ %@ (%@, code %ld)",
                                   {platform::localized(u"Cannot export from Zelvar."),
                                    error.description, error.domain, error.code});
}

bool isUserCancelledError(const platform::Error& error) {
  return error.domain == platform::kCocoaErrorDomain &&
         error.code == platform::kUserCancelledErrorCode;
}

}  // namespace zv::app
