#pragma once

// What the file operations of files.h share among the files that implement them, one job each:
// file_errors, file_paths, directories, remove_tree, file_copy, file_move, file_read_write,
// folder_handle and exclusive_file. Nothing outside those files includes this header.

#include <dirent.h>
#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/files.h"
#include "platform/result.h"
#include "platform/url.h"

namespace zv::platform {

enum class CopyStep;

}  // namespace zv::platform

namespace zv::platform::file_detail {

// A path as error texts show it.
std::u16string describedPath(std::string_view path);

// An error with the code whose text names the reason and the path.
Error errorForPath(FileErrorCode code, std::u16string_view reason, std::string_view path);

// The file-system path of a file URL, refused when it cannot name the item safely.
Result<std::string> checkedPath(const URL& url);

// Both ends of a move or copy, each refused when it cannot name an item safely.
Result<std::pair<std::string, std::string>> checkedPaths(const URL& source, const URL& destination);

// The folder part and the last component of an absolute path.
std::pair<std::string, std::string> splitParentAndName(const std::string& path);

// True when a component of the path is "." or "..".
bool hasDotComponent(std::string_view path);

// The names in an open folder, without "." and "..".
std::vector<std::string> directoryEntryNames(DIR* directory);

// Writes all the bytes, retrying short and interrupted writes.
Result<void> writeAll(int descriptor, std::span<const std::uint8_t> bytes, const std::string& path);

// Writes all the bytes at `offset`, whatever the file position, retrying short and interrupted
// writes.
Result<void> writeAllAt(int descriptor, std::span<const std::uint8_t> bytes, off_t offset,
                        std::string_view path);

// What one read gives, up to the buffer's size (zero at the end of the file).
Result<size_t> readSome(int descriptor, std::span<std::uint8_t> buffer, const std::string& path);

// Copies `input` to `output` from the start of both, whatever their positions, up to the size
// `status` saw; fails with kChangedWhileCopied when the input changed meanwhile. `shouldStop`
// (optional) is asked before each chunk, and a yes fails the copy with the user-cancelled
// error. `failedStep` (optional) tells which side failed. Neither file position moves.
Result<void> copyContent(int input, int output, const struct stat& status, std::string_view source,
                         std::string_view destination, const std::function<bool()>& shouldStop = {},
                         CopyStep* failedStep = nullptr);

// Whether the open input is still what `before` saw, now that its first `copied` bytes were
// copied: otherwise the copy mixes two versions of the file, or misses its end.
Result<void> checkUnchangedAfterCopy(int input, const struct stat& before, std::uint64_t copied,
                                     std::string_view source);

// Copies the user extended attributes of one open file to another, as far as the volume allows.
void copyExtendedAttributes(int source, int destination);

enum class CopiedMetadata { kContentOnly, kModeDatesAndAttributes };

// Copies the open regular file to a new file at `destination`, created private to the user; a
// file that cannot be copied whole is removed again.
Result<void> copyOpenRegularFile(int input, const struct stat& status, const std::string& source,
                                 const std::string& destination, CopiedMetadata metadata);

// Copies a file or tree to a destination that must not exist; what a failed copy made is removed.
Result<void> copyTreeRemovingPartialCopy(const std::string& source, const URL& destination);

}  // namespace zv::platform::file_detail
