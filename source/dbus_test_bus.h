#pragma once

// A message bus of a test's own, so that tests and benchmarks neither need nor disturb the
// user's session bus. Only tests and benchmarks include this.

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

extern char** environ;

namespace zv::source {

/// A dbus-daemon with the session configuration, started with the object and stopped with it.
class PrivateBus {
 public:
  PrivateBus() {
    int addressPipe[2];
    if (::pipe2(addressPipe, O_CLOEXEC) != 0) {
      return;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, addressPipe[1], 3);
    char program[] = "dbus-daemon";
    char session[] = "--session";
    char noFork[] = "--nofork";
    char printAddress[] = "--print-address=3";
    char* arguments[] = {program, session, noFork, printAddress, nullptr};
    if (posix_spawnp(&pid_, program, &actions, nullptr, arguments, environ) != 0) {
      pid_ = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    ::close(addressPipe[1]);
    // The daemon prints its address once it listens; the end of the pipe means it failed.
    char character = 0;
    while (pid_ > 0 && ::read(addressPipe[0], &character, 1) == 1 && character != '\n') {
      address_ += character;
    }
    ::close(addressPipe[0]);
  }

  ~PrivateBus() {
    if (pid_ > 0) {
      ::kill(pid_, SIGTERM);
      int status = 0;
      ::waitpid(pid_, &status, 0);
    }
  }

  PrivateBus(const PrivateBus&) = delete;
  PrivateBus& operator=(const PrivateBus&) = delete;

  /// False when no dbus-daemon could be started.
  bool running() const { return !address_.empty(); }
  const std::string& address() const { return address_; }

 private:
  pid_t pid_ = -1;
  std::string address_;
};

}  // namespace zv::source
