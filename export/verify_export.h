#pragma once

// Checks a finished export the way the target application will read it, without changing
// anything in it: the metadata file and its records, the files in the root folder, and, given the
// library it came from, that every item that should be there is, with the same bytes.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "source/source_library.h"

namespace zv::exporter {

/// What verifyExport compares the export with.
struct VerifyOptions {
  /// A library snapshot folder: every item that should have been exported must be there.
  std::optional<std::filesystem::path> libraryFolder;
  /// Hears, now and then on the checking thread, how many item records' files have been checked
  /// of how many; the library comparison asks it too, with the last figures. Answering false
  /// stops the check, which then reports it as a problem.
  std::function<bool(std::size_t checked, std::size_t total)> progress;
  /// The library to compare with when no folder is given: the running application, say. Used
  /// on the calling thread only.
  std::shared_ptr<source::SourceLibrary> library;
  /// The export's own report: each exported file's size and SHA-256 are checked against it
  /// instead of against the payload, and the report must list exactly the exported items.
  std::optional<std::filesystem::path> reportFile;
};

/// Counts of what was checked; problems are listed apart.
struct VerifySummary {
  std::size_t itemRecords = 0;
  std::size_t filesInRootFolder = 0;
  std::size_t webLinks = 0;
  std::size_t labels = 0;
  std::size_t groups = 0;
  std::size_t searches = 0;
  /// Group members without an item record: skipped items stay in their groups, so this is allowed.
  std::size_t groupMembersNotExported = 0;

  // With a report only.
  std::size_t reportItems = 0;
  /// Exported files whose size and SHA-256 equal the report's.
  std::size_t comparedWithReport = 0;

  // With a library only.
  std::size_t libraryItems = 0;
  /// Compared by size and SHA-256 against the payload.
  std::size_t comparedByContent = 0;
  /// Read to compare with payloads or the report.
  std::uint64_t bytesHashed = 0;
  /// Files the export made from their payload (a converted web archive) or bookmarks, whose URL
  /// is compared instead of bytes.
  std::size_t comparedByPresence = 0;
  /// Encrypted items (every password among them) absent from the export. The export's options
  /// are not recorded in it, and the source may withhold encrypted items, so they may be absent
  /// on purpose and are not problems.
  std::size_t encryptedLeftOut = 0;
  /// Items no export writes: nameless items, bookmarks without a location.
  std::size_t skippedByExport = 0;
};

/// The outcome of one check.
struct VerifyReport {
  /// At most kMaximumListedProblems, each one line of UTF-8 text without control characters.
  std::vector<std::string> problems;
  /// Every problem found, listed or not.
  std::size_t problemCount = 0;
  VerifySummary summary;
  /// The progress callback stopped the check before its end.
  bool stopped = false;

  /// A hostile export could make millions of problems; the count stays exact.
  static constexpr std::size_t kMaximumListedProblems = 10'000;

  bool complete() const { return problemCount == 0; }
};

/// Checks the export folder at `exportFolder` (the folder holding "Zelvar.plist" and the root
/// folder "Zelvar"). Never changes, and never follows a symbolic link inside, the export; every
/// fault, an unreadable or missing folder included, is a problem of the report. Memory grows with
/// the number of records, never with the size of the files.
VerifyReport verifyExport(const std::filesystem::path& exportFolder, const VerifyOptions& options);

/// Checks the metadata file's bytes alone: that they load and have the exporter's shape.
VerifyReport verifyMetadataBytes(std::span<const std::uint8_t> bytes);

}  // namespace zv::exporter
