#pragma once

#include <string>

#include "export/export_operation.h"
#include "platform/result.h"

namespace zv::app {

/// One line on what an export did: the items exported and the items skipped, each with its
/// count per kind, kinds in export order and only those that occurred.
std::u16string exportSummaryLine(const exporter::ExportSummary& summary);

/// The message for a failed export: "Cannot export from Zelvar. ", the error's description, then
/// its domain and code, so that a report names the exact failure.
std::u16string exportFailureMessage(const platform::Error& error);

/// True for the error an export ends with when it was cancelled.
bool isUserCancelledError(const platform::Error& error);

}  // namespace zv::app
