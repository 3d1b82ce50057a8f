#pragma once

#include <filesystem>
#include <memory>

#include "platform/result.h"
#include "source/memory_source_library.h"

namespace zv::source {

/// The file of a snapshot folder that describes the library.
inline constexpr char kLibrarySnapshotFileName[] = "library.json";

/// Error domain and codes of snapshot loading.
inline constexpr char16_t kLibrarySnapshotErrorDomain[] = u"ZVLibrarySnapshotErrorDomain";
enum LibrarySnapshotErrorCode : std::int64_t {
  kSnapshotUnreadable = 1,  // the folder or library.json cannot be read
  kSnapshotMalformed = 2,   // not JSON, or JSON of the wrong shape
};

/// Opens a library snapshot: a folder with library.json and the payload files it names. The whole
/// description is checked first; any fault is an error naming the item and the field, and then
/// nothing can be exported. Exporting an item copies its payload into the given directory as a
/// new file private to the user, the way the application writes a file on export: the payload's
/// mode and dates stay behind. Nothing the folder holds makes it throw: every fault, a number out
/// of range, nesting too deep or memory running out included, comes back as an error.
platform::Result<std::unique_ptr<MemorySourceLibrary>> openLibrarySnapshot(
    const std::filesystem::path& folder);

/// The same, from the text of library.json; payload paths are resolved against folder.
platform::Result<std::unique_ptr<MemorySourceLibrary>> parseLibrarySnapshot(
    std::string_view json, const std::filesystem::path& folder);

}  // namespace zv::source
