// The bookmark phase. Bookmarks become web link files, which this build cannot write yet: the
// phase announces itself and leaves every bookmark alone.
#include "export/export_operation.h"
#include "platform/log.h"

namespace zv::exporter {

bool ZVExportOperation::exportBookmarks(std::optional<platform::Error>& /*error*/) {
  if (isCancelled()) {
    return true;
  }
  platform::log(u"Exporting bookmarks…");
  setProgressDescription(u"Exporting bookmarks…", true);
  return true;
}

}  // namespace zv::exporter
