#include "app/export_report.h"

#include "platform/localization.h"

namespace zv::app {
namespace {

using source::ItemKind;

// " (notes 7, images 2)", or nothing when no kind has a count.
std::u16string countsByKind(const std::map<ItemKind, std::int64_t>& counts) {
  std::u16string text;
  for (const source::ItemKindNames& names : source::kItemKindNames) {
    auto found = counts.find(names.kind);
    if (found == counts.end() || found->second == 0) {
      continue;
    }
    text += text.empty() ? u" (" : u", ";
    text += platform::formatLocalized(u"%@ %ld",
                                      {platform::localized(names.pluralName), found->second});
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
