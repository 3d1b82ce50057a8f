#include "app/export_report.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/unicode.h"

namespace zv::app {
namespace {

using source::ItemKind;

struct SummaryCase {
  exporter::ExportSummary summary;
  std::string expected;
};

TEST(ExportReport, SummaryCountsEachKindInExportOrderLeavingOutKindsWithoutItems) {
  const SummaryCase cases[] = {
      {{}, "Exported 0 items, skipped 0."},
      {{{{ItemKind::webArchive, 2}, {ItemKind::note, 7}, {ItemKind::pdfArchive, 0}},
        {{ItemKind::password, 1}},
        {}},
       "Exported 9 items (notes 7, web archives 2), skipped 1 (passwords 1)."},
      {{{{ItemKind::serialNumber, 1}, {ItemKind::image, 3}, {ItemKind::bookmark, 4}}, {}, {}},
       "Exported 8 items (serial numbers 1, bookmarks 4, images 3), skipped 0."},
  };
  for (const auto& testCase : cases) {
    SCOPED_TRACE(testCase.expected);
    EXPECT_EQ(platform::toUtf8(exportSummaryLine(testCase.summary)), testCase.expected);
  }
}

TEST(ExportReport, OnlyTheUserCancelledErrorCountsAsCancellation) {
  struct Case {
    platform::Error error;
    bool cancelled;
  };
  const Case cases[] = {
      {{platform::kCocoaErrorDomain, platform::kUserCancelledErrorCode, u""}, true},
      {{platform::kCocoaErrorDomain, 3071, u""}, false},
      {{u"ZVImportErrorDomain", platform::kUserCancelledErrorCode, u""}, false},
  };
  for (const auto& testCase : cases) {
    SCOPED_TRACE(platform::toUtf8(testCase.error.domain) + " " +
                 std::to_string(testCase.error.code));
    EXPECT_EQ(isUserCancelledError(testCase.error), testCase.cancelled);
  }
}

}  // namespace
}  // namespace zv::app
