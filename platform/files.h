#pragma once

#include "platform/url.h"

namespace zv::platform {

/// True when an item (file, folder, or a symbolic link itself, which is not followed) exists at
/// the file URL. An unreachable folder reads as "nothing there".
bool itemIsReachableAtURL(const URL& url);

}  // namespace zv::platform
