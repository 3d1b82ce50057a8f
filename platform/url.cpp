#include "platform/url.h"

#include <unistd.h>
#include <uriparser/Uri.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <memory>

#include "platform/file_name_extension.h"
#include "platform/unicode.h"

namespace zv::platform {
namespace {

using url_detail::Parts;

bool isAlphaNumeric(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}
bool isUnreserved(unsigned char c) {
  return isAlphaNumeric(c) || c == '-' || c == '.' || c == '_' || c == '~';
}
bool isSubDelimiter(unsigned char c) {
  return std::string_view("!$&'()*+,;=").find(static_cast<char>(c)) != std::string_view::npos;
}
// The value of a hex digit; -1 for any other character.
int hexDigitValue(char c) {
  if (c >= '0' && c <= '9') {
    return c - '0';
  }
  if (c >= 'a' && c <= 'f') {
    return c - 'a' + 10;
  }
  if (c >= 'A' && c <= 'F') {
    return c - 'A' + 10;
  }
  return -1;
}
bool isHexDigit(char c) {
  return hexDigitValue(c) >= 0;
}

// The characters each component may hold unescaped (RFC 3986, section 3).
enum class Allowed { kQueryItem, kHost, kUser, kPassword, kPath, kFragment };

bool isAllowed(unsigned char c, Allowed allowed) {
  if (isUnreserved(c)) {
    return true;
  }
  switch (allowed) {
    case Allowed::kQueryItem:
      return false;
    case Allowed::kHost:
    case Allowed::kUser:
      return isSubDelimiter(c);
    case Allowed::kPassword:
      return isSubDelimiter(c) || c == ':';
    case Allowed::kPath:
      return isSubDelimiter(c) || c == ':' || c == '@' || c == '/';
    case Allowed::kFragment:
      return isSubDelimiter(c) || c == ':' || c == '@' || c == '/' || c == '?';
  }
  return false;
}

std::string percentEncode(std::string_view bytes, Allowed allowed) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string encoded;
  encoded.reserve(bytes.size());
  for (char byte : bytes) {
    auto c = static_cast<unsigned char>(byte);
    if (isAllowed(c, allowed)) {
      encoded.push_back(byte);
      continue;
    }
    encoded.push_back('%');
    encoded.push_back(kHex[c >> 4]);
    encoded.push_back(kHex[c & 0xF]);
  }
  return encoded;
}

std::string percentEncode(std::u16string_view text, Allowed allowed) {
  return percentEncode(toUtf8(text), allowed);
}

// Decodes escapes into raw bytes; a NUL that an escape produces is kept, not taken as the end.
std::string percentDecodeBytes(std::string_view encoded) {
  std::string buffer(encoded);
  const char* end = uriUnescapeInPlaceExA(buffer.data(), URI_FALSE, URI_BR_DONT_TOUCH);
  buffer.resize(static_cast<size_t>(end - buffer.data()));
  return buffer;
}

std::u16string percentDecode(std::string_view encoded) {
  return fromUtf8(percentDecodeBytes(encoded));
}

std::optional<std::u16string> decoded(const std::optional<std::string>& encoded) {
  if (!encoded) {
    return std::nullopt;
  }
  return percentDecode(*encoded);
}

std::optional<std::u16string> widened(const std::optional<std::string>& ascii) {
  if (!ascii) {
    return std::nullopt;
  }
  return fromUtf8(*ascii);
}

// Where the authority begins: after "scheme://", or after the "//" that opens a reference
// without a scheme. A "://" further on (a link inside a relative link's query) starts none.
std::optional<size_t> authorityStart(std::string_view text) {
  size_t schemeEnd = 0;
  while (schemeEnd < text.size() &&
         (isAlphaNumeric(static_cast<unsigned char>(text[schemeEnd])) ||
          std::string_view("+-.").find(text[schemeEnd]) != std::string_view::npos)) {
    ++schemeEnd;
  }
  const bool startsWithLetter =
      !text.empty() && ((text[0] >= 'a' && text[0] <= 'z') || (text[0] >= 'A' && text[0] <= 'Z'));
  if (startsWithLetter && text.substr(schemeEnd).starts_with("://")) {
    return schemeEnd + 3;
  }
  if (text.starts_with("//")) {
    return 2;
  }
  return std::nullopt;
}

// Escapes what can never stand in a URL, leaving every character with a meaning alone, so that
// a link typed or pasted with spaces or non-ASCII letters still reads as the link it names.
std::string encodingInvalidCharacters(std::string_view text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string result;
  result.reserve(text.size());
  // Brackets belong only to an IPv6 host; past the authority they are text, as is every "#"
  // after the one that starts the fragment.
  size_t authorityEnd = 0;
  if (std::optional<size_t> start = authorityStart(text)) {
    authorityEnd = std::min(text.find_first_of("/?#", *start), text.size());
  }
  bool inFragment = false;
  for (size_t i = 0; i < text.size(); ++i) {
    auto c = static_cast<unsigned char>(text[i]);
    bool validEscape =
        c == '%' && i + 2 < text.size() && isHexDigit(text[i + 1]) && isHexDigit(text[i + 2]);
    bool invalid =
        c >= 0x7F || c <= ' ' || (c == '%' && !validEscape) ||
        ((c == '[' || c == ']') && i >= authorityEnd) || (c == '#' && inFragment) ||
        std::string_view("\"<>\\^`{|}").find(static_cast<char>(c)) != std::string_view::npos;
    inFragment = inFragment || c == '#';
    if (!invalid) {
      result.push_back(static_cast<char>(c));
      continue;
    }
    result.push_back('%');
    result.push_back(kHex[c >> 4]);
    result.push_back(kHex[c & 0xF]);
  }
  return result;
}

std::optional<std::string> rangeText(const UriTextRangeA& range) {
  if (range.first == nullptr) {
    return std::nullopt;
  }
  return std::string(range.first, range.afterLast);
}

std::optional<Parts> parseParts(const std::string& text) {
  UriUriA uri;
  const char* errorPosition = nullptr;
  const char* begin = text.data();
  const char* end = begin + text.size();
  if (uriParseSingleUriExA(&uri, begin, end, &errorPosition) != URI_SUCCESS) {
    return std::nullopt;
  }
  std::unique_ptr<UriUriA, void (*)(UriUriA*)> owner(&uri, uriFreeUriMembersA);
  Parts parts;
  parts.scheme = rangeText(uri.scheme);
  parts.userInfo = rangeText(uri.userInfo);
  parts.host = rangeText(uri.hostText);
  parts.hostIsIPLiteral = uri.hostData.ip6 != nullptr || uri.hostData.ipFuture.first != nullptr;
  parts.port = rangeText(uri.portText);
  parts.query = rangeText(uri.query);
  parts.fragment = rangeText(uri.fragment);

  // The parser hands the path over as segments, and points empty ranges at a shared empty
  // string rather than into the text. Once it has accepted the text, the path is exactly what
  // stands between the authority (or the scheme) and the first "?" or "#".
  const char* pathStart = uri.scheme.first != nullptr ? uri.scheme.afterLast + 1 : begin;
  if (uri.hostText.first != nullptr) {
    pathStart += 2;
    while (pathStart < end && *pathStart != '/' && *pathStart != '?' && *pathStart != '#') {
      ++pathStart;
    }
  }
  const char* pathEnd = pathStart;
  while (pathEnd < end && *pathEnd != '?' && *pathEnd != '#') {
    ++pathEnd;
  }
  parts.path.assign(pathStart, pathEnd);
  return parts;
}

std::string composeParts(const Parts& parts) {
  std::string text;
  if (parts.scheme) {
    text += *parts.scheme + ":";
  }
  if (parts.host) {
    text += "//";
    if (parts.userInfo) {
      text += *parts.userInfo + "@";
    }
    text += parts.hostIsIPLiteral ? "[" + *parts.host + "]" : *parts.host;
    if (parts.port) {
      text += ":" + *parts.port;
    }
  }
  text += parts.path;
  if (parts.query) {
    text += "?" + *parts.query;
  }
  if (parts.fragment) {
    text += "#" + *parts.fragment;
  }
  return text;
}

bool equalsIgnoringASCIICase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) {
    return false;
  }
  for (size_t i = 0; i < a.size(); ++i) {
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    if (lower(a[i]) != lower(b[i])) {
      return false;
    }
  }
  return true;
}

std::string_view withoutTrailingSlash(std::string_view path) {
  while (path.size() > 1 && path.back() == '/') {
    path.remove_suffix(1);
  }
  return path;
}

std::string currentDirectory() {
  std::string buffer(4096, '\0');
  while (::getcwd(buffer.data(), buffer.size()) == nullptr) {
    if (errno != ERANGE || buffer.size() > (1u << 20)) {
      return "/";
    }
    buffer.resize(buffer.size() * 2);
  }
  buffer.resize(std::char_traits<char>::length(buffer.c_str()));
  return buffer;
}

std::optional<std::string> splitUserInfo(const std::optional<std::string>& userInfo, bool user) {
  if (!userInfo) {
    return std::nullopt;
  }
  size_t colon = userInfo->find(':');
  if (user) {
    return userInfo->substr(0, colon);
  }
  if (colon == std::string::npos) {
    return std::nullopt;
  }
  return userInfo->substr(colon + 1);
}

std::optional<int> portNumber(const std::optional<std::string>& port) {
  if (!port || port->empty()) {
    return std::nullopt;
  }
  int value = 0;
  auto [end, error] = std::from_chars(port->data(), port->data() + port->size(), value);
  if (error != std::errc() || end != port->data() + port->size() || value > 65535) {
    return std::nullopt;
  }
  return value;
}

}  // namespace

std::optional<URL> URL::fromEncodedString(std::string text, bool allowsRelative) {
  std::optional<Parts> parts = parseParts(text);
  if (!parts || (!parts->scheme && !allowsRelative)) {
    return std::nullopt;
  }
  URL url;
  url.absolute_ = std::move(text);
  url.parts_ = std::move(*parts);
  if (url.isFileURL() && url.fileSystemPath().find('\0') != std::string::npos) {
    return std::nullopt;
  }
  return url;
}

std::optional<URL> URL::fromString(std::u16string_view text) {
  return fromEncodedString(encodingInvalidCharacters(toUtf8(text)));
}

std::optional<URL> URL::fromStringAllowingRelative(std::u16string_view text) {
  // The parser takes empty text for a reference to the current document; as a link it names
  // nothing.
  if (text.empty()) {
    return std::nullopt;
  }
  return fromEncodedString(encodingInvalidCharacters(toUtf8(text)), true);
}

URL URL::fileURLWithPath(std::u16string_view path, bool isDirectory) {
  return fileURLWithFileSystemPath(toUtf8(path), isDirectory);
}

URL URL::fileURLWithFileSystemPath(std::string_view path, bool isDirectory) {
  std::string absolute;
  if (!path.starts_with('/')) {
    absolute = currentDirectory() + "/";
  }
  absolute.append(path);
  std::string collapsed;
  collapsed.reserve(absolute.size() + 1);
  for (char c : absolute) {
    if (c == '/' && !collapsed.empty() && collapsed.back() == '/') {
      continue;
    }
    collapsed.push_back(c);
  }
  if (isDirectory && collapsed.back() != '/') {
    collapsed.push_back('/');
  }
  std::string encodedPath = percentEncode(collapsed, Allowed::kPath);
  std::optional<URL> url = fromEncodedString("file://" + encodedPath);
  // Every escape above is valid and a path starting with one "/" is valid after an empty host,
  // so only a path holding NUL can fail; it becomes a URL the file functions refuse.
  if (!url) {
    URL refused;
    refused.parts_.scheme = "file";
    refused.parts_.host = "";
    refused.parts_.path = std::move(encodedPath);
    refused.absolute_ = composeParts(refused.parts_);
    return refused;
  }
  return *url;
}

std::u16string URL::absoluteString() const {
  return fromUtf8(absolute_);
}

std::u16string URL::scheme() const {
  return fromUtf8(parts_.scheme.value_or(""));
}

bool URL::isFileURL() const {
  return equalsIgnoringASCIICase(parts_.scheme.value_or(""), "file");
}

std::u16string URL::path() const {
  return percentDecode(withoutTrailingSlash(parts_.path));
}

std::string URL::fileSystemPath() const {
  return percentDecodeBytes(withoutTrailingSlash(parts_.path));
}

std::u16string URL::percentEncodedPath() const {
  return fromUtf8(parts_.path);
}

std::vector<std::u16string> URL::pathComponents() const {
  std::vector<std::u16string> components;
  std::string_view path = parts_.path;
  if (path.starts_with('/')) {
    components.emplace_back(u"/");
  }
  size_t start = 0;
  while (start <= path.size()) {
    size_t slash = path.find('/', start);
    std::string_view segment = path.substr(start, slash - start);
    if (!segment.empty()) {
      components.push_back(percentDecode(segment));
    }
    if (slash == std::string_view::npos) {
      break;
    }
    start = slash + 1;
  }
  return components;
}

std::u16string URL::lastPathComponent() const {
  std::u16string decodedPath = path();
  if (decodedPath.empty() || decodedPath == u"/") {
    return decodedPath;
  }
  return decodedPath.substr(decodedPath.rfind(u'/') + 1);
}

std::u16string URL::pathExtension() const {
  return std::u16string(splitFileNameExtension(lastPathComponent()).extension);
}

bool URL::hasDirectoryPath() const {
  return parts_.path.ends_with('/');
}

std::optional<std::u16string> URL::host() const {
  if (!parts_.host || parts_.host->empty()) {
    return std::nullopt;
  }
  return percentDecode(*parts_.host);
}

std::optional<int> URL::port() const {
  return portNumber(parts_.port);
}

std::optional<std::u16string> URL::user() const {
  return decoded(splitUserInfo(parts_.userInfo, true));
}

std::optional<std::u16string> URL::password() const {
  return decoded(splitUserInfo(parts_.userInfo, false));
}

std::optional<std::u16string> URL::query() const {
  return widened(parts_.query);
}

std::optional<std::u16string> URL::fragment() const {
  return widened(parts_.fragment);
}

URL URL::withEncodedPath(std::string path) const {
  // Without an authority, a path starting with "//" would read as one; with one, a path must
  // start with "/".
  if (parts_.host && !path.empty() && !path.starts_with('/')) {
    path.insert(path.begin(), '/');
  }
  if (!parts_.host && path.starts_with("//")) {
    path.insert(0, "/.");
  }
  // Every caller builds the path from this URL's own path and pieces it percent-encoded itself,
  // so it needs no second parse; the URL fuzzer checks that such URLs read back as themselves.
  URL url = *this;
  url.parts_.path = std::move(path);
  url.absolute_ = composeParts(url.parts_);
  return url;
}

URL URL::appendingPathComponent(std::u16string_view component, bool isDirectory) const {
  std::string path = parts_.path;
  if (path.empty() || path.back() != '/') {
    path.push_back('/');
  }
  // No file name can hold U+0000, and a URL refused for it would fall back to this folder's own
  // URL: a later write or removal would then act on the folder.
  std::u16string safeComponent(component);
  std::replace(safeComponent.begin(), safeComponent.end(), u'\0', u'\uFFFD');
  std::string encoded = percentEncode(safeComponent, Allowed::kPath);
  while (path.ends_with('/') && encoded.starts_with('/')) {
    encoded.erase(0, 1);
  }
  path += encoded;
  if (isDirectory && !path.ends_with('/')) {
    path.push_back('/');
  }
  return withEncodedPath(std::move(path));
}

URL URL::appendingPathExtension(std::u16string_view extension) const {
  std::string_view trimmed = withoutTrailingSlash(parts_.path);
  if (extension.empty() || trimmed.empty() || trimmed == "/") {
    return *this;
  }
  // As for a path component: a URL with U+0000 in its path reads back as no URL at all.
  std::u16string safeExtension(extension);
  std::replace(safeExtension.begin(), safeExtension.end(), u'\0', u'\uFFFD');
  std::string path(trimmed);
  path += "." + percentEncode(safeExtension, Allowed::kQueryItem);
  if (hasDirectoryPath()) {
    path.push_back('/');
  }
  return withEncodedPath(std::move(path));
}

URL URL::deletingLastPathComponent() const {
  std::string_view trimmed = withoutTrailingSlash(parts_.path);
  size_t slash = trimmed.rfind('/');
  if (trimmed.empty() || trimmed == "/" || slash == std::string_view::npos) {
    return *this;
  }
  return withEncodedPath(std::string(trimmed.substr(0, slash + 1)));
}

URL URL::deletingPathExtension() const {
  std::u16string extension = pathExtension();
  if (extension.empty()) {
    return *this;
  }
  std::string_view trimmed = withoutTrailingSlash(parts_.path);
  size_t dot = trimmed.rfind('.');
  std::string path(trimmed.substr(0, dot));
  if (hasDirectoryPath()) {
    path.push_back('/');
  }
  return withEncodedPath(std::move(path));
}

URLComponents::URLComponents(const URL& url) : parts_(url.parts_) {}

std::optional<URLComponents> URLComponents::fromString(std::u16string_view text) {
  std::optional<Parts> parts = parseParts(encodingInvalidCharacters(toUtf8(text)));
  if (!parts) {
    return std::nullopt;
  }
  URLComponents components;
  components.parts_ = std::move(*parts);
  return components;
}

std::optional<URL> URLComponents::url() const {
  std::string text = composeParts(parts_);
  std::optional<Parts> reparsed = parseParts(text);
  // A composition that reads back differently (a path posing as an authority, a scheme that
  // swallows the path) names another URL than the components describe.
  if (!reparsed || *reparsed != parts_) {
    return std::nullopt;
  }
  return URL::fromEncodedString(std::move(text));
}

std::u16string URLComponents::string() const {
  return fromUtf8(composeParts(parts_));
}

std::optional<std::u16string> URLComponents::scheme() const {
  return widened(parts_.scheme);
}

void URLComponents::setScheme(std::optional<std::u16string_view> scheme) {
  parts_.scheme = scheme ? std::optional<std::string>(toUtf8(*scheme)) : std::nullopt;
}

std::optional<std::u16string> URLComponents::user() const {
  return decoded(splitUserInfo(parts_.userInfo, true));
}

void URLComponents::setUser(std::optional<std::u16string_view> user) {
  std::optional<std::string> password = splitUserInfo(parts_.userInfo, false);
  if (!user && !password) {
    parts_.userInfo.reset();
    return;
  }
  parts_.userInfo = (user ? percentEncode(*user, Allowed::kUser) : std::string()) +
                    (password ? ":" + *password : std::string());
}

std::optional<std::u16string> URLComponents::password() const {
  return decoded(splitUserInfo(parts_.userInfo, false));
}

void URLComponents::setPassword(std::optional<std::u16string_view> password) {
  std::string user = splitUserInfo(parts_.userInfo, true).value_or("");
  if (!password) {
    parts_.userInfo = user.empty() ? std::nullopt : std::optional<std::string>(user);
    return;
  }
  parts_.userInfo = user + ":" + percentEncode(*password, Allowed::kPassword);
}

std::optional<std::u16string> URLComponents::host() const {
  return decoded(parts_.host);
}

void URLComponents::setHost(std::optional<std::u16string_view> host) {
  if (!host) {
    parts_.host.reset();
    parts_.hostIsIPLiteral = false;
    return;
  }
  std::string text = toUtf8(*host);
  if (text.size() >= 2 && text.front() == '[' && text.back() == ']') {
    text = text.substr(1, text.size() - 2);
  }
  // An IPv6 address is written as it stands inside brackets; everything else is a name.
  parts_.hostIsIPLiteral = text.find(':') != std::string::npos;
  parts_.host = parts_.hostIsIPLiteral ? text : percentEncode(text, Allowed::kHost);
}

std::optional<int> URLComponents::port() const {
  return portNumber(parts_.port);
}

void URLComponents::setPort(std::optional<int> port) {
  parts_.port = port ? std::optional<std::string>(std::to_string(*port)) : std::nullopt;
}

std::u16string URLComponents::path() const {
  return percentDecode(parts_.path);
}

void URLComponents::setPath(std::u16string_view path) {
  parts_.path = percentEncode(path, Allowed::kPath);
}

std::u16string URLComponents::percentEncodedPath() const {
  return fromUtf8(parts_.path);
}

void URLComponents::setPercentEncodedPath(std::u16string_view path) {
  parts_.path = toUtf8(path);
}

std::optional<std::u16string> URLComponents::query() const {
  return decoded(parts_.query);
}

std::optional<std::u16string> URLComponents::percentEncodedQuery() const {
  return widened(parts_.query);
}

void URLComponents::setPercentEncodedQuery(std::optional<std::u16string_view> query) {
  parts_.query = query ? std::optional<std::string>(toUtf8(*query)) : std::nullopt;
}

std::optional<std::vector<URLQueryItem>> URLComponents::queryItems() const {
  if (!parts_.query) {
    return std::nullopt;
  }
  std::vector<URLQueryItem> items;
  if (parts_.query->empty()) {
    return items;
  }
  // Split by hand rather than through the parser's query dissection, which decodes into C
  // strings and would cut a value at an escaped NUL.
  std::string_view query = *parts_.query;
  size_t start = 0;
  while (true) {
    size_t ampersand = query.find('&', start);
    std::string_view pair = query.substr(start, ampersand - start);
    size_t equals = pair.find('=');
    URLQueryItem item{percentDecode(pair.substr(0, equals)), std::nullopt};
    if (equals != std::string_view::npos) {
      item.value = percentDecode(pair.substr(equals + 1));
    }
    items.push_back(std::move(item));
    if (ampersand == std::string_view::npos) {
      break;
    }
    start = ampersand + 1;
  }
  return items;
}

void URLComponents::setQueryItems(const std::optional<std::vector<URLQueryItem>>& items) {
  if (!items) {
    parts_.query.reset();
    return;
  }
  std::string query;
  bool first = true;
  for (const URLQueryItem& item : *items) {
    if (!first) {
      query.push_back('&');
    }
    first = false;
    query += percentEncode(item.name, Allowed::kQueryItem);
    if (item.value) {
      query += "=" + percentEncode(*item.value, Allowed::kQueryItem);
    }
  }
  parts_.query = std::move(query);
}

std::optional<std::u16string> URLComponents::fragment() const {
  return decoded(parts_.fragment);
}

void URLComponents::setFragment(std::optional<std::u16string_view> fragment) {
  parts_.fragment = fragment
                        ? std::optional<std::string>(percentEncode(*fragment, Allowed::kFragment))
                        : std::nullopt;
}

std::optional<std::u16string> URLComponents::percentEncodedFragment() const {
  return widened(parts_.fragment);
}

void URLComponents::setPercentEncodedFragment(std::optional<std::u16string_view> fragment) {
  parts_.fragment = fragment ? std::optional<std::string>(toUtf8(*fragment)) : std::nullopt;
}

std::optional<std::string> percentDecodedBytes(std::string_view encoded) {
  std::string bytes;
  bytes.reserve(encoded.size());
  for (size_t index = 0; index < encoded.size(); ++index) {
    if (encoded[index] != '%') {
      bytes.push_back(encoded[index]);
      continue;
    }
    const int high = index + 2 < encoded.size() ? hexDigitValue(encoded[index + 1]) : -1;
    const int low = index + 2 < encoded.size() ? hexDigitValue(encoded[index + 2]) : -1;
    if (high < 0 || low < 0) {
      return std::nullopt;
    }
    bytes.push_back(static_cast<char>(high * 16 + low));
    index += 2;
  }
  return bytes;
}

}  // namespace zv::platform
