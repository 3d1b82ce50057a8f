#pragma once

#include <string>
#include <string_view>

namespace zv::testsupport {

/// The bytes of a web archive (a binary property list) whose main resource is `data` of
/// `mimeType`, as a browser saves a page; the text encoding and the page's address are stored
/// when given.
std::string webArchive(std::u16string_view mimeType, std::string_view data,
                       std::u16string_view encoding = {}, std::u16string_view url = {});

}  // namespace zv::testsupport
