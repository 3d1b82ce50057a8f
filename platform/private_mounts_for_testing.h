#pragma once

// For tests only: run code that mounts file systems inside a temporary folder, without any risk
// that a mount outlives the test or shows outside it.

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <functional>
#include <optional>
#include <string>

#include "platform/retry_on_interrupt.h"
#include "platform/scoped_descriptor.h"

namespace zv::platform::testing {

/// Mounts a fresh, empty tmpfs on an existing folder. False when not permitted.
inline bool mountEmptyFileSystemAt(const std::string& folder) {
  return ::mount("zv-test", folder.c_str(), "tmpfs", 0, "size=1m,mode=0700") == 0;
}

/// Mounts an existing folder on another existing folder. False when not permitted.
inline bool bindMount(const std::string& source, const std::string& folder) {
  return ::mount(source.c_str(), folder.c_str(), nullptr, MS_BIND, nullptr) == 0;
}

/// Runs `body` in a child process with a mount namespace of its own, so that whatever it mounts
/// vanishes with the child, even when the test fails half-way. `body` answers nothing when it
/// could not mount (the test should then be skipped), else a report for the parent to check.
/// Nothing also comes back when the system gives no mount namespace here.
inline std::optional<std::string> reportFromPrivateMountNamespace(
    const std::function<std::optional<std::string>()>& body) {
  int pipeEnds[2];
  if (::pipe2(pipeEnds, O_CLOEXEC) != 0) {
    return std::nullopt;
  }
  ScopedDescriptor readEnd(pipeEnds[0]);
  ScopedDescriptor writeEnd(pipeEnds[1]);
  pid_t child = ::fork();
  if (child == 0) {
    readEnd.reset();
    bool isolated = ::unshare(CLONE_NEWNS) == 0;
    if (!isolated && ::unshare(CLONE_NEWUSER | CLONE_NEWNS) == 0) {
      // Map ourselves, so that files we create keep our owner.
      std::string uid = std::to_string(::geteuid());
      std::string gid = std::to_string(::getegid());
      auto writeTo = [](const char* file, const std::string& text) {
        const ScopedDescriptor descriptor(::open(file, O_WRONLY | O_CLOEXEC));
        return descriptor.valid() && ::write(descriptor.get(), text.data(), text.size()) ==
                                         static_cast<ssize_t>(text.size());
      };
      isolated = writeTo("/proc/self/setgroups", "deny") &&
                 writeTo("/proc/self/uid_map", uid + " " + uid + " 1") &&
                 writeTo("/proc/self/gid_map", gid + " " + gid + " 1");
    }
    // Without private propagation our mounts would show in the namespace we came from.
    isolated = isolated && ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
    std::optional<std::string> report = isolated ? body() : std::nullopt;
    std::string message = report ? "R" + *report : "S";
    ssize_t written = ::write(writeEnd.get(), message.data(), message.size());
    ::_exit(written == static_cast<ssize_t>(message.size()) ? 0 : 1);
  }
  writeEnd.reset();
  if (child < 0) {
    return std::nullopt;
  }
  std::string message;
  char buffer[512];
  while (true) {
    const ssize_t count =
        retryOnInterrupt([&] { return ::read(readEnd.get(), buffer, sizeof buffer); });
    if (count <= 0) {
      break;
    }
    message.append(buffer, static_cast<size_t>(count));
  }
  readEnd.reset();
  int status = 0;
  retryOnInterrupt([&] { return ::waitpid(child, &status, 0); });
  if (message == "S") {
    return std::nullopt;
  }
  // A child that died on the way must fail the test, not skip it.
  if (message.empty() || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    return "the child process failed";
  }
  return message.substr(1);
}

}  // namespace zv::platform::testing
