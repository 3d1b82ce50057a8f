#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace zv::platform {

/// An absolute URL: file URLs for items on disk, web URLs for bookmarks. Values are immutable;
/// the operations that derive a URL return a new one.
class URL {
 public:
  /// Parses an absolute URL string (RFC 3986). Nothing when the text is not an absolute URL.
  static std::optional<URL> fromString(std::u16string_view text);

  /// A file URL for an absolute path; a relative path is taken as it stands under "/" never,
  /// so callers must pass absolute paths. A directory URL's absolute string ends in "/".
  static URL fileURLWithPath(std::u16string_view path, bool isDirectory = false);

  /// The URL as text, percent-encoded as needed.
  std::u16string absoluteString() const;
  std::u16string scheme() const;
  bool isFileURL() const;

  /// The percent-decoded path, without a trailing "/" (except for the root).
  std::u16string path() const;
  /// The path as the file system wants it (UTF-8 bytes).
  std::string fileSystemPath() const;

  std::u16string lastPathComponent() const;
  std::u16string pathExtension() const;
  bool hasDirectoryPath() const;

  URL appendingPathComponent(std::u16string_view component, bool isDirectory = false) const;
  URL appendingPathExtension(std::u16string_view extension) const;
  URL deletingLastPathComponent() const;

  friend bool operator==(const URL&, const URL&) = default;

 private:
  URL() = default;
  // For file URLs: the decoded absolute path, and whether it names a directory.
  std::u16string scheme_;
  std::u16string path_;
  std::u16string absolute_;
  bool directory_ = false;
};

}  // namespace zv::platform
