#pragma once

#include <string_view>

namespace zv::platform {

/// A file name cut at its extension: base + "." + extension gives the name back, and base alone
/// does when the extension is empty.
struct FileNameParts {
  std::u16string_view base;
  std::u16string_view extension;
};

/// The one rule for a file name's extension, which every layer uses: the text after the last
/// ".", provided that "." neither starts nor ends the name. So "x.y.z" is ("x.y", "z"), while
/// ".x" (a hidden file, not an empty name with extension "x"), "x." and "." have no extension
/// and stay whole: numbering or shortening such a name must not lose or move its ".". It lives
/// in platform, below text, because URL::pathExtension answers by it too.
constexpr FileNameParts splitFileNameExtension(std::u16string_view name) {
  const std::size_t dot = name.rfind(u'.');
  if (dot == std::u16string_view::npos || dot == 0 || dot + 1 == name.size()) {
    return {name, {}};
  }
  return {name.substr(0, dot), name.substr(dot + 1)};
}

}  // namespace zv::platform
