#include "app/dry_run_report.h"

#include "export/free_space.h"
#include "export/item_report.h"
#include "platform/localization.h"
#include "platform/log.h"
#include "platform/unicode.h"

namespace zv::app {
namespace {

using exporter::ExportPlan;
using exporter::KindPlan;
using exporter::PlannedItem;
using exporter::PlannedOutcome;
using exporter::SkipReason;
using platform::toUtf8;

constexpr SkipReason kSkipReasons[] = {SkipReason::encrypted, SkipReason::passwordsLeftOut,
                                       SkipReason::encryptedNotReturned, SkipReason::noName,
                                       SkipReason::noLocation};
static_assert(std::size(kSkipReasons) == exporter::kSkipReasonCount);

// The reason's key in JSON documents, which scripts match: never localised.
const char* skipReasonKey(SkipReason reason) {
  switch (reason) {
    case SkipReason::encrypted:
      return "encrypted";
    case SkipReason::passwordsLeftOut:
      return "passwordsLeftOut";
    case SkipReason::encryptedNotReturned:
      return "encryptedNotReturned";
    case SkipReason::noName:
      return "noName";
    case SkipReason::noLocation:
      return "noLocation";
  }
  return "";
}

const char* outcomeKey(PlannedOutcome outcome) {
  switch (outcome) {
    case PlannedOutcome::exported:
      return "exported";
    case PlannedOutcome::converted:
      return "converted";
    case PlannedOutcome::skipped:
      return "skipped";
  }
  return "";
}

std::int64_t skipped(const KindPlan& kind, SkipReason reason) {
  return kind.skipped[static_cast<std::size_t>(reason)];
}

std::string shown(std::u16string_view text) {
  return platform::escapedControlCharacters(toUtf8(text));
}

std::string jsonQuoted(std::u16string_view text) {
  return exporter::jsonString(toUtf8(text));
}

}  // namespace

std::vector<std::string> dryRunSummaryLines(const ExportPlan& plan) {
  std::vector<std::string> lines;
  std::int64_t converted = 0;
  std::int64_t skippedItems = 0;
  for (const source::ItemKindNames& names : source::kItemKindNames) {
    const KindPlan& kind = plan.kind(names.kind);
    converted += kind.converted;
    skippedItems += kind.skippedTotal();
    std::u16string reasons;
    for (SkipReason reason : kSkipReasons) {
      if (skipped(kind, reason) != 0) {
        reasons += reasons.empty() ? u" (" : u", ";
        reasons += platform::formatLocalized(
            u"%@ %ld",
            {platform::localized(exporter::skipReasonText(reason)), skipped(kind, reason)});
      }
    }
    if (!reasons.empty()) {
      reasons += u")";
    }
    lines.push_back(
        toUtf8(platform::formatLocalized(u"%@: %ld to export, %ld converted, %ld skipped%@",
                                         {platform::localized(names.pluralName), kind.exported,
                                          kind.converted, kind.skippedTotal(), reasons})));
  }
  lines.push_back(
      toUtf8(platform::formatLocalized(u"Items: %ld to export, %ld converted, %ld skipped",
                                       {plan.exportedTotal(), converted, skippedItems})));
  lines.push_back(toUtf8(platform::formatLocalized(
      plan.payloadSizesKnown ? u"Payloads: %@"
                             : u"Payloads: %@ (the source does not tell their sizes)",
      {exporter::formattedByteCount(plan.payloadBytes)})));
  if (plan.container) {
    lines.push_back(shown(platform::formatLocalized(u"Container: %@", {plan.container->path()})));
  }
  lines.push_back(toUtf8(platform::formatLocalized(
      u"Space: %@ needed, %@ available",
      {exporter::formattedByteCount(plan.bytesNeeded),
       plan.bytesAvailable ? exporter::formattedByteCount(*plan.bytesAvailable)
                           : platform::localized(u"unknown")})));
  return lines;
}

std::vector<std::string> dryRunSkippedItemLines(const ExportPlan& plan) {
  std::vector<std::string> lines;
  for (const PlannedItem& item : plan.items) {
    if (!item.skipReason) {
      continue;
    }
    // A name says more to the user than an identifier, which tells apart items named alike.
    const std::u16string who = item.name.empty() || item.name == item.id
                                   ? item.id
                                   : platform::formatLocalized(u"%@ (%@)", {item.name, item.id});
    lines.push_back(shown(platform::formatLocalized(
        u"%@: %@ (%@)", {who, platform::localized(exporter::skipReasonText(*item.skipReason)),
                         platform::localized(source::itemKindNames(item.kind).pluralName)})));
  }
  return lines;
}

std::string dryRunText(const ExportPlan& plan, bool listItems) {
  std::string text = toUtf8(platform::localized(u"Dry run: nothing was written.")) + "\n";
  for (const std::string& line : dryRunSummaryLines(plan)) {
    text += line + "\n";
  }
  if (listItems) {
    for (const PlannedItem& item : plan.items) {
      std::string line = toUtf8(source::itemKindName(item.kind)) + "\t" + shown(item.id) + "\t" +
                         outcomeKey(item.outcome) + "\t";
      if (item.skipReason) {
        line += toUtf8(platform::localized(exporter::skipReasonText(*item.skipReason)));
      } else if (item.fileName) {
        line += shown(*item.fileName);
      }
      text += line + "\n";
    }
  }
  return text;
}

std::string dryRunJson(const ExportPlan& plan, bool listItems) {
  auto number = [](std::int64_t value) { return std::to_string(value); };
  std::string json = "{\"version\":1,\"exportWouldStart\":";
  json += plan.problems.empty() ? "true" : "false";
  json += ",\"problems\":[";
  for (std::size_t index = 0; index < plan.problems.size(); ++index) {
    json += (index == 0 ? "" : ",") + jsonQuoted(plan.problems[index]);
  }
  json += "],\"kinds\":{";
  bool first = true;
  for (const source::ItemKindNames& names : source::kItemKindNames) {
    const KindPlan& kind = plan.kind(names.kind);
    json += (first ? "" : ",") + jsonQuoted(names.snapshotName) +
            ":{\"exported\":" + number(kind.exported) + ",\"converted\":" + number(kind.converted) +
            ",\"skipped\":{";
    first = false;
    for (SkipReason reason : kSkipReasons) {
      json += (reason == kSkipReasons[0] ? "\"" : ",\"") + std::string(skipReasonKey(reason)) +
              "\":" + number(skipped(kind, reason));
    }
    json += "},\"payloadBytes\":" + number(kind.payloadBytes) + "}";
  }
  json += "},\"payloadBytes\":" + number(plan.payloadBytes);
  json += ",\"payloadSizesKnown\":" + std::string(plan.payloadSizesKnown ? "true" : "false");
  json += ",\"container\":" + (plan.container ? jsonQuoted(plan.container->path()) : "null");
  json += ",\"bytesNeeded\":" + number(plan.bytesNeeded);
  json += ",\"bytesAvailable\":" + (plan.bytesAvailable ? number(*plan.bytesAvailable) : "null");
  if (listItems) {
    json += ",\"items\":[";
    for (std::size_t index = 0; index < plan.items.size(); ++index) {
      const PlannedItem& item = plan.items[index];
      json += (index == 0 ? "{\"kind\":" : ",{\"kind\":") +
              jsonQuoted(source::itemKindName(item.kind)) + ",\"id\":" + jsonQuoted(item.id) +
              ",\"outcome\":\"" + outcomeKey(item.outcome) + "\"";
      if (item.skipReason) {
        json += ",\"reason\":\"" + std::string(skipReasonKey(*item.skipReason)) + "\"";
      }
      json += ",\"fileName\":" + (item.fileName ? jsonQuoted(*item.fileName) : "null");
      json += ",\"bytes\":" + (item.bytes ? number(*item.bytes) : "null") + "}";
    }
    json += "]";
  }
  return json + "}\n";
}

}  // namespace zv::app
