#pragma once

#include <string>
#include <string_view>

namespace zv::testsupport {

/// The bytes of a web archive (a binary property list) whose main resource is `data` of
/// `mimeType`, as a browser saves a page.
std::string webArchive(std::u16string_view mimeType, std::string_view data);

}  // namespace zv::testsupport
