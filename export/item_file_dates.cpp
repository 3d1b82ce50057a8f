#include "export/item_file_dates.h"

#include <cmath>

#include "platform/date.h"
#include "platform/file_attributes.h"
#include "platform/log.h"

namespace zv::exporter {

platform::Result<bool> restoreItemDatesAtURL(const source::DatabaseItem& item,
                                             const platform::URL& fileURL) {
  const platform::FileDates dates{item.creationDate, item.modificationDate};
  if (!dates.creationDate && !dates.contentModificationDate) {
    return false;
  }
  if (auto restored = platform::setFileDatesAtURL(fileURL, dates); !restored) {
    return restored.error();
  }
  return true;
}

platform::Result<bool> restoreItemDatesOfOpenFile(const source::DatabaseItem& item, int descriptor,
                                                  std::string_view path) {
  const platform::FileDates dates{item.creationDate, item.modificationDate};
  if (!dates.creationDate && !dates.contentModificationDate) {
    return false;
  }
  if (auto restored = platform::setFileDatesOfOpenFile(descriptor, dates, path); !restored) {
    return restored.error();
  }
  return true;
}

void logItemDateOutsideFileSystemRange(const source::DatabaseItem& item,
                                       const platform::URL& fileURL) {
  // The kernel stores a date beyond the file system's range as the nearest one it can, without
  // a word; only reading it back tells. Coarse file systems round by a second or two.
  constexpr double kRoundingTolerance = 2;
  if (!item.modificationDate) {
    return;
  }
  auto stored = platform::contentModificationDateAtURL(fileURL);
  if (!stored ||
      std::fabs(stored->secondsSinceReferenceDate -
                item.modificationDate->secondsSinceReferenceDate) <= kRoundingTolerance) {
    return;
  }
  platform::logFormat(
      u"Date of item %@ is outside the range the file system can store; it was stored as "
      u"%@.",
      {item.id, platform::iso8601StringFromDate(*stored)});
}

}  // namespace zv::exporter
