#include "text/extension_visibility.h"

namespace zv::text {

// Until the file-attribute layer can read the item's hidden-extension flag, every extension is
// shown; that layer answers this question in place of this function.
bool fileExtensionIsHiddenAtPath(std::u16string_view /*path*/) {
  return false;
}

}  // namespace zv::text
