#include "app/export_report.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "platform/unicode.h"

namespace zv::app {
namespace {

using source::ItemKind;

TEST(ExportReport, SummaryCountsEachKindInExportOrderLeavingOutKindsWithoutItems) {
  const std::pair<exporter::ExportSummary, std::string> cases[] = {
      {{}, "Exported 0 items, skipped 0."},
      {{{{ItemKind::webArchive, 2}, {ItemKind::note, 7}, {ItemKind::pdfArchive, 0}},
        {{ItemKind::password, 1}},
        {}},
       "Exported 9 items (notes 7, web archives 2), skipped 1 (passwords 1)."},
      {{{{ItemKind::serialNumber, 1}, {ItemKind::image, 3}, {ItemKind::bookmark, 4}}, {}, {}},
       "Exported 8 items (serial numbers 1, bookmarks 4, images 3), skipped 0."},
  };
  for (const auto& [summary, expected] : cases) {
    SCOPED_TRACE(expected);
    EXPECT_EQ(platform::toUtf8(exportSummaryLine(summary)), expected);
  }
}

TEST(ExportReport, OnlyTheUserCancelledErrorCountsAsCancellation) {
  const std::pair<platform::Error, bool> cases[] = {
      {{platform::kCocoaErrorDomain, platform::kUserCancelledErrorCode, u""}, true},
      {{platform::kCocoaErrorDomain, 3071, u""}, false},
      {{u"ZVImportErrorDomain", platform::kUserCancelledErrorCode, u""}, false},
  };
  for (const auto& [error, cancelled] : cases) {
    SCOPED_TRACE(platform::toUtf8(error.domain) + " " + std::to_string(error.code));
    EXPECT_EQ(isUserCancelledError(error), cancelled);
  }
}

}  // namespace
}  // namespace zv::app
