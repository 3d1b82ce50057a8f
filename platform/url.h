#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zv::platform {

namespace url_detail {

// The pieces of a URL reference in their percent-encoded, ASCII-only form. An IP literal host
// is kept without its square brackets.
struct Parts {
  std::optional<std::string> scheme;
  std::optional<std::string> userInfo;
  std::optional<std::string> host;
  bool hostIsIPLiteral = false;
  std::optional<std::string> port;
  std::string path;
  std::optional<std::string> query;
  std::optional<std::string> fragment;

  friend bool operator==(const Parts&, const Parts&) = default;
};

}  // namespace url_detail

/// One name/value pair of a URL's query. A name without "=" has no value; "name=" has an empty
/// one.
struct URLQueryItem {
  std::u16string name;
  std::optional<std::u16string> value;

  friend bool operator==(const URLQueryItem&, const URLQueryItem&) = default;
};

/// A URL: file URLs for items on disk, web URLs for bookmarks. Only fromStringAllowingRelative
/// makes one without a scheme. Values are immutable; the operations that derive a URL return a
/// new one.
class URL {
 public:
  /// Parses an absolute URL string (RFC 3986). Characters that can never stand in a URL (spaces,
  /// non-ASCII letters, a "%" that starts no escape, ...) are percent-encoded first, as browsers
  /// and the platform do; nothing when the text is still not an absolute URL, or when a file URL
  /// names a path containing a NUL byte.
  static std::optional<URL> fromString(std::u16string_view text);
  /// Parses a URL reference as fromString does, relative ones included, as the platform's own
  /// parser takes the addresses people type: "www.example.com/page", "//host/a", "/a", "a.html",
  /// "?q=1" and "#top" are URLs without a scheme (and, but for "//host", without a host), whose
  /// absolute string is the text itself. Nothing for empty text, and for text that is still no
  /// URL reference once the characters above are encoded: a scheme not starting with a letter
  /// ("1http://a"), a colon in the first segment of a reference without a scheme (":a"), a
  /// broken IP literal ("http://[::1"), a port that is not digits, a second "@" before the host.
  static std::optional<URL> fromStringAllowingRelative(std::u16string_view text);

  /// A file URL for an absolute path; a relative path is taken relative to the current working
  /// directory. Repeated "/" collapse to one. A directory URL's absolute string ends in "/"
  /// (given by the flag or by a trailing "/" in the path).
  static URL fileURLWithPath(std::u16string_view path, bool isDirectory = false);
  /// The same from the bytes the file system gives, which need not be UTF-8.
  static URL fileURLWithFileSystemPath(std::string_view path, bool isDirectory = false);

  /// The URL as text, percent-encoded as needed.
  std::u16string absoluteString() const;
  std::u16string scheme() const;
  bool isFileURL() const;

  /// The percent-decoded path, without a trailing "/" (except for the root).
  std::u16string path() const;
  /// The path as the file system wants it (the decoded bytes, no trailing "/" but for the root).
  std::string fileSystemPath() const;
  /// The path as it stands in the URL, escapes and a trailing "/" included.
  std::u16string percentEncodedPath() const;
  /// "/" for an absolute path, then each decoded component: "/a/b" gives "/", "a", "b".
  std::vector<std::u16string> pathComponents() const;

  std::u16string lastPathComponent() const;
  /// The extension of the last path component, by splitFileNameExtension.
  std::u16string pathExtension() const;
  bool hasDirectoryPath() const;

  /// The decoded host without brackets around an IP literal; nothing when the URL has none
  /// (a file URL's empty host reads as nothing too).
  std::optional<std::u16string> host() const;
  /// The port; nothing when absent, empty or out of range.
  std::optional<int> port() const;
  std::optional<std::u16string> user() const;
  std::optional<std::u16string> password() const;
  /// Query and fragment as they stand in the URL, percent-encoded.
  std::optional<std::u16string> query() const;
  std::optional<std::u16string> fragment() const;

  /// Adds a component (which may hold "/") to the path; the query and fragment stay.
  URL appendingPathComponent(std::u16string_view component, bool isDirectory = false) const;
  URL appendingPathExtension(std::u16string_view extension) const;
  URL deletingLastPathComponent() const;
  URL deletingPathExtension() const;

  friend bool operator==(const URL&, const URL&) = default;

 private:
  friend class URLComponents;
  URL() = default;
  static std::optional<URL> fromEncodedString(std::string text, bool allowsRelative = false);
  URL withEncodedPath(std::string path) const;

  std::string absolute_;
  url_detail::Parts parts_;
};

/// A URL taken apart into its components, which can be read, changed and put together again.
/// Setters taking decoded text percent-encode what their component needs; the percent-encoded
/// setters take the text as it should stand.
class URLComponents {
 public:
  URLComponents() = default;
  explicit URLComponents(const URL& url);
  /// Parses any URL reference, relative ones included; nothing when it is not one.
  static std::optional<URLComponents> fromString(std::u16string_view text);

  /// The URL the components form; nothing when they form no absolute URL (for example a host
  /// without a scheme, or a path that starts with "//" and no host).
  std::optional<URL> url() const;
  /// The components put together as text.
  std::u16string string() const;

  std::optional<std::u16string> scheme() const;
  /// Schemes are not encoded: a scheme with characters outside RFC 3986's makes url() fail.
  void setScheme(std::optional<std::u16string_view> scheme);
  std::optional<std::u16string> user() const;
  void setUser(std::optional<std::u16string_view> user);
  std::optional<std::u16string> password() const;
  void setPassword(std::optional<std::u16string_view> password);
  std::optional<std::u16string> host() const;
  void setHost(std::optional<std::u16string_view> host);
  std::optional<int> port() const;
  void setPort(std::optional<int> port);

  std::u16string path() const;
  void setPath(std::u16string_view path);
  std::u16string percentEncodedPath() const;
  void setPercentEncodedPath(std::u16string_view path);

  std::optional<std::u16string> query() const;
  std::optional<std::u16string> percentEncodedQuery() const;
  void setPercentEncodedQuery(std::optional<std::u16string_view> query);
  /// The query split at "&" and "=", decoded; nothing when there is no query.
  std::optional<std::vector<URLQueryItem>> queryItems() const;
  /// Encodes every character of names and values outside the unreserved set, so that a value
  /// may itself be a URL with "&", "=", "#" or "%" in it. Nothing removes the query.
  void setQueryItems(const std::optional<std::vector<URLQueryItem>>& items);

  std::optional<std::u16string> fragment() const;
  void setFragment(std::optional<std::u16string_view> fragment);
  std::optional<std::u16string> percentEncodedFragment() const;
  void setPercentEncodedFragment(std::optional<std::u16string_view> fragment);

  friend bool operator==(const URLComponents&, const URLComponents&) = default;

 private:
  url_detail::Parts parts_;
};

/// The bytes that percent-encoded text stands for: every "%" followed by two hex digits (either
/// case) becomes that byte, everything else stays as it is. Nothing when a "%" is not followed by
/// two hex digits. The bytes are not checked for UTF-8, and an escaped NUL is kept. (URL's and
/// URLComponents' decoded accessors are more forgiving: they keep a "%" that starts no escape.)
std::optional<std::string> percentDecodedBytes(std::string_view encoded);

}  // namespace zv::platform
