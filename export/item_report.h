#pragma once

// The per-item report of an export: a line for every item the export went through, written as
// the export goes, and read back by the verifier to check the exported files' bytes.

#include <array>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "export/export_observer.h"
#include "export/file_digest.h"
#include "platform/result.h"
#include "platform/scoped_descriptor.h"

namespace zv::exporter {

enum class ReportFormat { jsonLines, csv };

/// The shape of the records; a reader refuses any other.
inline constexpr int kReportVersion = 1;
/// Longer lines are not ours: a reader stops there instead of holding them.
inline constexpr std::size_t kMaximumReportLineLength = std::size_t{1} << 20;

/// The format the file's extension names: ".jsonl" or ".csv"; none for any other.
std::optional<ReportFormat> reportFormatForPath(const std::filesystem::path& path);

/// Counts of the item records of one report.
struct ReportCounts {
  std::uint64_t items = 0;
  std::uint64_t exported = 0;
  std::uint64_t converted = 0;
  std::uint64_t skipped = 0;
};

/// Writes the report into a private temporary file beside its final place, one record per event,
/// each with the SHA-256 of the file read back as soon as the export has closed it; finish()
/// ends it and moves it into place. A write that fails is kept as the report's error; the export
/// never hears of it.
class ItemReportWriter final : public ExportItemObserver {
 public:
  /// Creates the temporary file (mode 0600, never through a link, never over anything) in the
  /// folder of `reportFile`. Fails when something stands at `reportFile`: a report never
  /// replaces a file.
  static platform::Result<std::shared_ptr<ItemReportWriter>> create(
      const std::filesystem::path& reportFile, ReportFormat format);

  ItemReportWriter(const ItemReportWriter&) = delete;
  ItemReportWriter& operator=(const ItemReportWriter&) = delete;
  ~ItemReportWriter() override;

  void itemExported(const source::DatabaseItem& item, PlannedOutcome outcome,
                    const platform::URL& file) override;
  void itemSkipped(const source::DatabaseItem& item, SkipReason reason) override;
  void itemsNotListed(source::ItemKind kind, const platform::Error& error) override;

  /// Writes the last record, complete when neither `exportError` nor a failure of the report's
  /// own came, and moves the report to its place; once. Fails when the report could not be
  /// written whole or moved (it then stays at temporaryPath()).
  platform::Result<void> finish(const std::optional<platform::Error>& exportError);

  const std::filesystem::path& temporaryPath() const { return temporaryPath_; }
  const ReportCounts& counts() const { return counts_; }

 private:
  ItemReportWriter(platform::ScopedDescriptor folder, platform::ScopedDescriptor file,
                   std::string temporaryName, std::filesystem::path reportFile,
                   ReportFormat format);
  void writeRecord(const std::string& record);
  void noteFailure(std::u16string description);

  platform::ScopedDescriptor folder_;
  platform::ScopedDescriptor file_;
  std::string temporaryName_;
  std::filesystem::path temporaryPath_;
  std::filesystem::path reportFile_;
  std::string finalName_;
  ReportFormat format_;
  ReportCounts counts_;
  // The first failure of the report itself, or of listing items for it.
  std::optional<std::u16string> failure_;
  std::vector<unsigned char> hashBuffer_ = std::vector<unsigned char>(kDigestChunkSize);
  std::string pending_;
  bool finished_ = false;
};

/// One record of a report, as read.
struct ReportRecord {
  enum class Type { item, end };
  Type type = Type::item;
  // Items.
  std::string id;
  std::string kind;
  std::string name;
  /// "exported", "converted" or "skipped"; the reason of a skipped item in `reason`.
  std::string outcome;
  std::string reason;
  /// Relative to the export folder: "Zelvar/<name>".
  std::string file;
  std::optional<std::uint64_t> size;
  std::optional<std::array<unsigned char, FileDigest::kLength>> sha256;
  // The end.
  bool complete = false;
  std::string error;
  /// The number of item records before the end, as the writer counted them.
  std::optional<std::uint64_t> items;
};

/// Reads a report record by record, in bounded memory whatever the file holds.
class ItemReportReader {
 public:
  /// Opens the report (never through a link; a regular file only) and reads its heading, which
  /// must be of kReportVersion.
  static platform::Result<ItemReportReader> open(const std::filesystem::path& reportFile);

  /// The next record; none at the end of the file. A record that is damaged or too long is an
  /// error naming its line.
  platform::Result<std::optional<ReportRecord>> next();

  ItemReportReader(ItemReportReader&&) noexcept = default;
  ItemReportReader& operator=(ItemReportReader&&) noexcept = default;
  ItemReportReader(const ItemReportReader&) = delete;
  ItemReportReader& operator=(const ItemReportReader&) = delete;
  ~ItemReportReader();

 private:
  class Input;
  ItemReportReader(std::unique_ptr<Input> input, ReportFormat format);
  // The next line, CSV fields' quoted line breaks included; none at the end of the file.
  platform::Result<std::optional<std::string>> nextLine();
  platform::Error damaged(const std::string& why) const;

  std::unique_ptr<Input> input_;
  ReportFormat format_;
  std::uint64_t lineNumber_ = 0;
  std::uint64_t nextLineNumber_ = 1;
};

/// text (UTF-8) as a JSON string, quotes included; control characters and DEL are escaped.
std::string jsonString(std::string_view text);

}  // namespace zv::exporter
