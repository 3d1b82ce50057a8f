#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/result.h"
#include "platform/url.h"

namespace zv::platform {

/// A private folder (mode 0700, made by mkdtemp under $TMPDIR or /tmp) that is removed with
/// everything in it when the object goes. Move-only.
class TemporaryDirectory {
 public:
  /// Creates a new folder named after `prefix` and a random suffix.
  static Result<TemporaryDirectory> create(std::u16string_view prefix = u"ZelvarImporter");
  /// The same inside `parent`, which must exist.
  static Result<TemporaryDirectory> createInDirectory(const URL& parent,
                                                      std::u16string_view prefix);
  /// Like create(), the name also naming the user and this process ("prefix-UID-PID-XXXXXX"), so
  /// that a later run can tell the folder was left behind when this process ended before it
  /// could remove it. `parent` (default: the system temporary folder) must exist.
  static Result<TemporaryDirectory> createForThisProcess(
      std::u16string_view prefix, const std::optional<URL>& parent = std::nullopt);
  /// Removes the folders that createForThisProcess() made with this prefix in `parent` for this
  /// user and whose process no longer exists. Only real folders of this user whose name names
  /// this user are touched: links, files and other users' folders stay. One entry per folder
  /// found abandoned: its URL once removed, or why it could not be.
  static std::vector<Result<URL>> removeAbandoned(std::u16string_view prefix,
                                                  const std::optional<URL>& parent = std::nullopt);

  TemporaryDirectory(TemporaryDirectory&& other) noexcept;
  TemporaryDirectory& operator=(TemporaryDirectory&& other) noexcept;
  TemporaryDirectory(const TemporaryDirectory&) = delete;
  TemporaryDirectory& operator=(const TemporaryDirectory&) = delete;
  ~TemporaryDirectory();

  /// The folder, as a directory URL.
  const URL& url() const { return *url_; }

  /// Removes the folder now and reports how that went; afterwards the object owns nothing.
  Result<void> remove();

 private:
  explicit TemporaryDirectory(URL url) : url_(std::move(url)) {}
  static Result<TemporaryDirectory> createAtPath(const std::string& parent,
                                                 const std::string& nameStart);
  std::optional<URL> url_;
};

}  // namespace zv::platform
