#pragma once

#include <cerrno>
#include <utility>

namespace zv::platform {

/// Calls `call` again for as long as it returns -1 with errno EINTR, and returns its first other
/// result, errno as that call left it. For system calls that a signal may interrupt before they
/// did anything (read, write, waitpid, ...). Not for close(): Linux releases the descriptor even
/// when close() is interrupted, and a second close could close one another thread just opened.
template <typename Call>
auto retryOnInterrupt(Call&& call) -> decltype(call()) {
  while (true) {
    auto result = call();
    if (result != -1 || errno != EINTR) {
      return result;
    }
  }
}

}  // namespace zv::platform
