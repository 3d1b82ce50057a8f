#pragma once

#include <cstdint>
#include <string>

#include "platform/result.h"

namespace zv::exporter {

/// The importer's error domain and its codes.
inline constexpr char16_t kZVImportErrorDomain[] = u"ZVImportErrorDomain";

enum ImportErrorCode : std::int64_t {
  /// The source application failed a call, or the metadata could not be serialised.
  kSourceFailedErrorCode = 10001,
  /// The export folder, an exported file or its move failed.
  kFileExportErrorCode = 10002,
  /// A bookmark or the metadata file could not be saved.
  kSaveErrorCode = 10003,
};

inline platform::Error makeImportError(ImportErrorCode code, std::u16string description) {
  return platform::Error{kZVImportErrorDomain, code, std::move(description)};
}

}  // namespace zv::exporter
