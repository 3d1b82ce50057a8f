// Placeholder file-URL implementation; the uriparser-based one replaces it.
#include "platform/url.h"

#include "platform/unicode.h"

namespace zv::platform {

std::optional<URL> URL::fromString(std::u16string_view text) {
  constexpr std::u16string_view kFilePrefix = u"file://";
  if (!text.starts_with(kFilePrefix)) {
    return std::nullopt;
  }
  std::u16string_view path = text.substr(kFilePrefix.size());
  bool directory = path.ends_with(u'/');
  return fileURLWithPath(path, directory);
}

URL URL::fileURLWithPath(std::u16string_view path, bool isDirectory) {
  URL url;
  url.scheme_ = u"file";
  url.path_ = std::u16string(path);
  while (url.path_.size() > 1 && url.path_.back() == u'/') {
    url.path_.pop_back();
  }
  url.directory_ = isDirectory || url.path_ == u"/";
  url.absolute_ = u"file://" + url.path_ + (url.directory_ && url.path_ != u"/" ? u"/" : u"");
  return url;
}

std::u16string URL::absoluteString() const {
  return absolute_;
}
std::u16string URL::scheme() const {
  return scheme_;
}
bool URL::isFileURL() const {
  return scheme_ == u"file";
}
std::u16string URL::path() const {
  return path_;
}
std::string URL::fileSystemPath() const {
  return toUtf8(path_);
}

std::u16string URL::lastPathComponent() const {
  auto slash = path_.rfind(u'/');
  if (path_ == u"/") {
    return u"/";
  }
  return slash == std::u16string::npos ? path_ : path_.substr(slash + 1);
}

std::u16string URL::pathExtension() const {
  std::u16string last = lastPathComponent();
  auto dot = last.rfind(u'.');
  if (dot == std::u16string::npos || dot == 0) {
    return u"";
  }
  return last.substr(dot + 1);
}

bool URL::hasDirectoryPath() const {
  return directory_;
}

URL URL::appendingPathComponent(std::u16string_view component, bool isDirectory) const {
  std::u16string path = path_;
  if (path.empty() || path.back() != u'/') {
    path.push_back(u'/');
  }
  path.append(component);
  return fileURLWithPath(path, isDirectory);
}

URL URL::appendingPathExtension(std::u16string_view extension) const {
  return fileURLWithPath(path_ + u"." + std::u16string(extension), directory_);
}

URL URL::deletingLastPathComponent() const {
  auto slash = path_.rfind(u'/');
  if (slash == std::u16string::npos || slash == 0) {
    return fileURLWithPath(u"/", true);
  }
  return fileURLWithPath(path_.substr(0, slash), true);
}

}  // namespace zv::platform
