#pragma once

#include <string>

#include "export/dry_run.h"

namespace zv::app {

/// The plan for people: counts per kind with the reasons for skips, the payloads' size, the
/// space needed and available, and with `listItems` one line per item. UTF-8, with whatever the
/// library named escaped so that it cannot drive a terminal.
std::string dryRunText(const exporter::ExportPlan& plan, bool listItems);

/// The same as one JSON document (its shape is in the README); "items" only with `listItems`.
std::string dryRunJson(const exporter::ExportPlan& plan, bool listItems);

}  // namespace zv::app
