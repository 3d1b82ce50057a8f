#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "platform/file_name_extension.h"
#include "platform/url.h"

namespace zv::text {

/// A file name's (base, extension), by the one rule every layer uses: the text after the last
/// "." that neither starts nor ends the name ("x.y.z" gives "z"; ".x" and "x." have none). It
/// is defined in platform, below this layer, so that file URLs answer by the same rule.
using zv::platform::splitFileNameExtension;

/// Longest file name, in UTF-16 code units, that the name operations produce.
inline constexpr std::size_t kMaximumFileNameLength = 255;

/// A name that can stand as one file name in a folder: trimmed of blanks and ellipses, without a
/// leading ".", "/", ":", "~", tabs or line breaks, at most 255 code units with the extension
/// kept where it fits. Blank input gives the empty string.
std::u16string stringSanitizedForFileName(std::u16string_view name);

/// The name itself when nothing is at that name in the directory; otherwise a sanitised name
/// numbered "name 1.ext", "name 2.ext", ... that no item in the directory uses. The number and
/// the extension survive the length limit; the name before them is shortened instead.
std::u16string makeFilenameUniqueInDirectoryAtURL(std::u16string_view name,
                                                  const zv::platform::URL& directory);

/// A short name from the first line or sentence of a text, without list markers or attachment
/// placeholders. truncateToPeriod also ends the name at the first "." and drops a leading
/// "1. " style number; sanitize returns it as stringSanitizedForFileName would.
std::u16string generateNameTruncatingToPeriod(std::u16string_view text, bool truncateToPeriod,
                                              bool sanitize);

/// generateNameTruncatingToPeriod(text, false, false).
std::u16string generateItemName(std::u16string_view text);

/// generateNameTruncatingToPeriod(text, true, sanitize).
std::u16string generateNameSanitizedForFilename(std::u16string_view text, bool sanitize);

/// True when both names would name the same file: case, diacritics, character width and
/// canonically equivalent forms are not told apart.
bool isEqualToFilename(std::u16string_view name, std::u16string_view otherName);

/// The name as the file system stores it: canonically decomposed, and ending at a U+0000, which
/// no file name can hold.
std::u16string fileSystemRepresentationString(std::u16string_view name);

/// The name to show for the item at a path: its last component, without the extension when the
/// item hides it.
std::u16string fileDisplayName(std::u16string_view path);

}  // namespace zv::text
