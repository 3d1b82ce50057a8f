#pragma once

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/result.h"
#include "platform/url.h"

namespace zv::platform {

/// The domain of the failures of locating, launching and handing documents to applications.
inline constexpr char16_t kWorkspaceErrorDomain[] = u"ZVWorkspaceErrorDomain";

enum WorkspaceErrorCode : std::int64_t {
  /// A desktop entry or an Exec line that does not follow the Desktop Entry rules.
  kInvalidDesktopEntryErrorCode = 1,
  /// The application could not be started or reached.
  kLaunchFailedErrorCode = 2,
  /// The application was started but refused or failed to open the documents.
  kOpenFailedErrorCode = 3,
};

/// The keys of a desktop entry's "Desktop Entry" group, without their localised variants.
class DesktopEntry {
 public:
  /// Reads a desktop entry file's text; fails on anything the format does not allow (text
  /// that is not UTF-8, a key outside a group, a key given twice, a missing "Desktop Entry"
  /// group) and on text longer than kMaximumSize.
  static Result<DesktopEntry> parse(std::string_view text);

  static constexpr std::size_t kMaximumSize = 1 << 20;

  /// The value with the escapes of string values resolved (\s \n \t \r \\); other escapes stay
  /// for the Exec quoting rules. Nothing when the key is absent.
  std::optional<std::string> stringValue(std::string_view key) const;
  /// True only when the value is "true".
  bool booleanValue(std::string_view key) const;

 private:
  std::map<std::string, std::string, std::less<>> values_;
};

/// The XDG data folders, most important first: dataHome (else home/.local/share), then each
/// entry of dataDirs (else /usr/local/share and /usr/share). Unset and empty mean the same;
/// relative entries are invalid and ignored (a relative dataHome counts as unset).
std::vector<std::string> xdgDataFolders(const char* dataHome, const char* dataDirs,
                                        const char* home);
/// The same from this process's environment.
std::vector<std::string> xdgDataFoldersFromEnvironment();

/// True for a reverse-DNS application identifier that is also a well-known bus name: two or
/// more dot-separated elements of ASCII letters, digits, "_" and "-", none starting with a digit.
bool isValidApplicationIdentifier(std::string_view identifier);

/// The path of the application's desktop entry: the first applications/<identifier>.desktop
/// in the data folders. That first file decides: when it is hidden or cannot be read or parsed,
/// the application counts as not installed.
std::optional<std::string> findDesktopEntryFile(std::string_view identifier,
                                                const std::vector<std::string>& dataFolders);

/// Reads and parses a desktop entry file (links followed, size bounded).
Result<DesktopEntry> readDesktopEntryFile(const std::string& path);

/// The version of the first release of an AppStream metainfo document's releases; nothing when
/// it has none or the document is malformed, hostile or too large.
std::optional<std::string> metainfoReleaseVersion(std::string_view xml);

/// The application's version: from the first metainfo/<identifier>.metainfo.xml found in the
/// data folders, else the entry's X-AppVersion, else nothing.
std::optional<std::string> applicationVersion(std::string_view identifier,
                                              const DesktopEntry& entry,
                                              const std::vector<std::string>& dataFolders);

/// What an Exec line's field codes stand for.
struct ExecFieldValues {
  std::vector<URL> urls;
  std::string icon;
  std::string name;
  std::string desktopFilePath;
};

/// The program and arguments of an Exec value (as stringValue gives it), by the quoting rules
/// and field codes of desktop entries; no shell is involved. Fails on broken quoting, unknown
/// field codes, list codes inside an argument, an empty program, and when there are URLs but no
/// field code takes them, since the application would then start without its documents.
Result<std::vector<std::string>> expandExecLine(std::string_view exec,
                                                const ExecFieldValues& values);

}  // namespace zv::platform
