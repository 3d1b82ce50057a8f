#include "app/dry_run_report.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace zv::app {
namespace {

using exporter::ExportPlan;
using exporter::PlannedItem;
using exporter::PlannedOutcome;
using exporter::SkipReason;
using ::testing::ElementsAre;

PlannedItem planned(source::ItemKind kind, std::u16string id, PlannedOutcome outcome,
                    std::optional<SkipReason> reason = std::nullopt, std::u16string name = {}) {
  return PlannedItem{kind,         std::move(id), outcome,        reason,
                     std::nullopt, std::nullopt,  std::move(name)};
}

TEST(DryRunReportTest, SkippedItemLinesNameOnlyTheSkippedOnesAndEscapeWhatTheyShow) {
  ExportPlan plan;
  plan.items = {
      planned(source::ItemKind::note, u"N1", PlannedOutcome::exported),
      planned(source::ItemKind::note, u"N2", PlannedOutcome::skipped, SkipReason::noName),
      planned(source::ItemKind::webArchive, u"W1", PlannedOutcome::converted),
      // A library may name an item anything; the lines are shown on terminals and in a window.
      planned(source::ItemKind::password, u"P\x1b[2J\n1", PlannedOutcome::skipped,
              SkipReason::passwordsLeftOut),
      planned(source::ItemKind::password, u"P2", PlannedOutcome::skipped, SkipReason::encrypted,
              u"Bank\x1b]0;x"),
      planned(source::ItemKind::bookmark, u"B1", PlannedOutcome::skipped, SkipReason::noLocation),
  };
  EXPECT_THAT(
      dryRunSkippedItemLines(plan),
      ElementsAre("N2: no name (notes)", "P\\x1B[2J\\n1: passwords left out (passwords)",
                  "Bank\\x1B]0;x (P2): encrypted (passwords)", "B1: no location (bookmarks)"));
}

TEST(DryRunReportTest, SummaryLinesAreTheLinesOfTheCommandLineText) {
  ExportPlan plan;
  plan.kinds[static_cast<std::size_t>(source::ItemKind::note)].exported = 2;
  plan.kinds[static_cast<std::size_t>(source::ItemKind::note)]
      .skipped[static_cast<std::size_t>(SkipReason::encrypted)] = 1;
  plan.container = platform::URL::fileURLWithPath(u"/tmp/odd\nname", true);
  plan.bytesNeeded = 2048;

  const std::vector<std::string> lines = dryRunSummaryLines(plan);
  std::string expected = "Dry run: nothing was written.\n";
  for (const std::string& line : lines) {
    EXPECT_EQ(line.find('\n'), std::string::npos) << line;
    expected += line + "\n";
  }
  EXPECT_EQ(dryRunText(plan, false), expected);
  EXPECT_EQ(lines.front(), "notes: 2 to export, 0 converted, 1 skipped (encrypted 1)");
  EXPECT_THAT(lines, ::testing::Contains("Container: /tmp/odd\\nname"));
  EXPECT_EQ(lines.back(), "Space: 2.0 kB (2,048 bytes) needed, unknown available");
}

}  // namespace
}  // namespace zv::app
