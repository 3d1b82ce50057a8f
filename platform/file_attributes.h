#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/date.h"
#include "platform/result.h"
#include "platform/url.h"

namespace zv::platform {

/// Dates to put on a file; an absent one is left as it is.
struct FileDates {
  std::optional<Date> creationDate;
  std::optional<Date> contentModificationDate;
};

/// The item's content modification date, to the nanosecond (a symbolic link's own date).
Result<Date> contentModificationDateAtURL(const URL& url);

/// The item's creation date: the one we set, else the file system's birth time, else (where the
/// file system keeps none) its modification date, the oldest date it then knows.
Result<Date> creationDateAtURL(const URL& url);

/// Sets the dates present in `dates`. Linux cannot set a birth time, so a creation date is kept
/// in an extended attribute; a volume without them keeps none, which is not an error.
Result<void> setFileDatesAtURL(const URL& url, const FileDates& dates);

/// Sets the dates present in `dates` on the open file, as setFileDatesAtURL does; errors name
/// `path`. Spares the lookups of the path for a file just written.
Result<void> setFileDatesOfOpenFile(int descriptor, const FileDates& dates, std::string_view path);

/// Gives the open file `destination` the creation date of the open file `source` (the one we
/// set, else its birth time, else its modification date), so that a file written anew to take
/// the other's place keeps it. A volume without extended attributes keeps none, which is not an
/// error. Errors name `path`, the file both stand for.
Result<void> copyCreationDate(int source, int destination, std::string_view path);

/// Whether the item shows without its extension. An item without the flag shows it; an item
/// that does not exist is an error.
Result<bool> hasHiddenExtensionAtURL(const URL& url);

/// Records whether the item hides its extension. A volume without extended attributes cannot
/// keep the flag, which is not an error (the item then shows its extension).
Result<void> setHasHiddenExtensionAtURL(const URL& url, bool hidden);

/// setHasHiddenExtensionAtURL for an open file; errors name `path`.
Result<void> setHasHiddenExtensionOfOpenFile(int descriptor, bool hidden, std::string_view path);

/// The name to show for the item: its last path component, without the extension when the item
/// hides it.
std::u16string displayNameAtURL(const URL& url);

}  // namespace zv::platform
