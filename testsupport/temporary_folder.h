#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <string_view>

#include "platform/url.h"

namespace zv::testsupport {

/// A private folder (mode 0700, under $TMPDIR or /tmp) that is removed with everything in it when
/// the object goes, unreadable subfolders included. Links inside it are removed, never followed.
/// It does not rely on the platform's own file operations, so that tests of those operations do
/// not clean up with the code under test.
class TemporaryFolder {
 public:
  /// Creates the folder; a test machine without a writable temporary folder aborts the test run.
  explicit TemporaryFolder(std::string_view prefix = "zv-test");
  TemporaryFolder(const TemporaryFolder&) = delete;
  TemporaryFolder& operator=(const TemporaryFolder&) = delete;
  ~TemporaryFolder();

  /// The folder itself.
  const std::filesystem::path& path() const { return path_; }
  /// A path inside the folder ("a/b" reaches into subfolders).
  std::filesystem::path path(std::string_view relative) const { return path_ / relative; }
  /// The folder as a directory URL.
  platform::URL url() const;
  /// A URL inside the folder ("a/b" reaches into subfolders).
  platform::URL url(std::u16string_view relative, bool isDirectory = false) const;

 private:
  std::filesystem::path path_;
};

/// A test fixture with a fresh TemporaryFolder per test.
class TemporaryFolderTest : public ::testing::Test {
 protected:
  /// A URL inside the test's folder.
  platform::URL at(std::u16string_view relative, bool isDirectory = false) const {
    return folder_.url(relative, isDirectory);
  }
  /// The file-system path of at(relative).
  std::string pathOf(std::u16string_view relative) const;

  TemporaryFolder folder_;
};

}  // namespace zv::testsupport
