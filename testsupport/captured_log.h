#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <utility>

#include "platform/log.h"
#include "testsupport/file_contents.h"

namespace zv::testsupport {

/// Sends the program's log lines to `file` (appended, mode 0600) for the life of the object, so
/// that a test can read what was logged. Links the test to the platform's log.
class CapturedLog {
 public:
  explicit CapturedLog(std::filesystem::path file)
      : file_(std::move(file)),
        descriptor_(::open(file_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600)),
        previous_(platform::setLogFileDescriptor(descriptor_)) {}
  CapturedLog(const CapturedLog&) = delete;
  CapturedLog& operator=(const CapturedLog&) = delete;
  ~CapturedLog() {
    platform::setLogFileDescriptor(previous_);
    ::close(descriptor_);
  }

  /// Everything logged so far ("" before the first line).
  std::string text() const { return readFileText(file_).value_or(""); }

 private:
  std::filesystem::path file_;
  int descriptor_;
  int previous_;
};

}  // namespace zv::testsupport
