#pragma once

#include <string>
#include <vector>

#include "export/dry_run.h"

namespace zv::app {

/// The summary for people, one line each: per kind the items to export, converted and skipped
/// with the reasons, then the totals, the payloads' size, the container and the space needed and
/// available. UTF-8, whatever the library named escaped: the command line prints these lines and
/// the desktop program shows them.
std::vector<std::string> dryRunSummaryLines(const exporter::ExportPlan& plan);

/// One line per skipped item of a plan made with `listItems`: its identifier, the reason and its
/// kind. Escaped as above.
std::vector<std::string> dryRunSkippedItemLines(const exporter::ExportPlan& plan);

/// The plan for people: counts per kind with the reasons for skips, the payloads' size, the
/// space needed and available, and with `listItems` one line per item. UTF-8, with whatever the
/// library named escaped so that it cannot drive a terminal.
std::string dryRunText(const exporter::ExportPlan& plan, bool listItems);

/// The same as one JSON document (its shape is in the README); "items" only with `listItems`.
std::string dryRunJson(const exporter::ExportPlan& plan, bool listItems);

}  // namespace zv::app
