#include "text/extension_visibility.h"

#include "platform/file_attributes.h"
#include "platform/url.h"

namespace zv::text {

bool fileExtensionIsHiddenAtPath(std::u16string_view path) {
  if (path.empty() || path.front() != u'/') {
    return false;
  }
  // An item we cannot read shows its extension, as an item without the flag does.
  auto hidden = platform::hasHiddenExtensionAtURL(platform::URL::fileURLWithPath(path));
  return hidden && *hidden;
}

}  // namespace zv::text
