#pragma once

#include <string_view>

namespace zv::text {

/// True when the item at the path asks that its file name extension not be shown.
bool fileExtensionIsHiddenAtPath(std::u16string_view path);

}  // namespace zv::text
