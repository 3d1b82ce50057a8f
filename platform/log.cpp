#include "platform/log.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <system_error>

#include "platform/bundle_info.h"
#include "platform/retry_on_interrupt.h"
#include "platform/scoped_descriptor.h"
#include "platform/unicode.h"

namespace zv::platform {
namespace {

std::atomic<int> logDescriptor{STDERR_FILENO};

// Held for a whole line, so that a short write followed by the rest is never split by another
// thread's line.
std::mutex& writeMutex() {
  static std::mutex mutex;
  return mutex;
}

void writeWhole(int descriptor, const std::string& line) {
  std::lock_guard lock(writeMutex());
  std::size_t written = 0;
  while (written < line.size()) {
    const ssize_t result = retryOnInterrupt(
        [&] { return ::write(descriptor, line.data() + written, line.size() - written); });
    // A log that cannot be written has nowhere to report that; the line is dropped.
    if (result <= 0) {
      return;
    }
    written += static_cast<std::size_t>(result);
  }
}

Error logFileError(const std::string& path, std::u16string reason, int code) {
  return makePlatformError(
      code, formatLocalized(u"Cannot open log file “%@”: %@", {fromUtf8(path), std::move(reason)}));
}

// Both are asked of the kernel once: two system calls for every line added up on long exports.
// A forked child learns its own numbers again.
long long currentProcessIdentifier() {
  static std::atomic<long long> cached = [] {
    ::pthread_atfork(nullptr, nullptr, [] { cached.store(::getpid()); });
    return static_cast<long long>(::getpid());
  }();
  return cached.load(std::memory_order_relaxed);
}

long long currentThreadIdentifier() {
  thread_local long long identifier = -1;
  thread_local long long ofProcess = -1;
  if (const long long process = currentProcessIdentifier(); process != ofProcess) {
    identifier = ::gettid();
    ofProcess = process;
  }
  return identifier;
}

// Length of the well-formed UTF-8 sequence at the start of `text`, 0 when it is not one.
std::size_t utf8SequenceLength(std::string_view text) {
  const auto lead = static_cast<unsigned char>(text[0]);
  std::size_t length = 0;
  char32_t codePoint = 0;
  if (lead < 0x80) {
    return 1;
  }
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    codePoint = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    codePoint = lead & 0x0F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    codePoint = lead & 0x07;
  } else {
    return 0;
  }
  if (text.size() < length) {
    return 0;
  }
  for (std::size_t index = 1; index < length; ++index) {
    const auto next = static_cast<unsigned char>(text[index]);
    if ((next & 0xC0) != 0x80) {
      return 0;
    }
    codePoint = (codePoint << 6) | (next & 0x3F);
  }
  // Overlong forms, surrogates and values beyond Unicode are not UTF-8.
  static constexpr char32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
  if (codePoint < kSmallest[length] || (codePoint >= 0xD800 && codePoint <= 0xDFFF) ||
      codePoint > 0x10FFFF) {
    return 0;
  }
  return length;
}

void appendByteEscape(std::string& text, unsigned char byte) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  text += "\\x";
  text += kHex[byte >> 4];
  text += kHex[byte & 0x0F];
}

// Plain ASCII goes over in runs: log lines are mostly that, and one append per byte was a
// large part of what a line cost.
void appendEscaped(std::string& escaped, std::string_view text, bool keepLineFeeds) {
  while (!text.empty()) {
    std::size_t plain = 0;
    while (plain < text.size()) {
      const auto byte = static_cast<unsigned char>(text[plain]);
      if ((byte < 0x20 && byte != '\t') || byte >= 0x7F) {
        break;
      }
      ++plain;
    }
    escaped.append(text.substr(0, plain));
    text.remove_prefix(plain);
    if (text.empty()) {
      break;
    }
    const auto byte = static_cast<unsigned char>(text[0]);
    const std::size_t length = utf8SequenceLength(text);
    if (byte == '\n') {
      escaped += keepLineFeeds ? "\n" : "\\n";
    } else if (byte == '\r') {
      escaped += "\\r";
    } else if (length == 0 || byte < 0x20 || byte == 0x7F) {
      appendByteEscape(escaped, byte);
    } else if (byte == 0xC2 && static_cast<unsigned char>(text[1]) < 0xA0) {
      // C1 controls: some terminals take U+009B as the start of a command, like ESC [.
      appendByteEscape(escaped, byte);
      appendByteEscape(escaped, static_cast<unsigned char>(text[1]));
    } else {
      escaped.append(text.substr(0, length));
    }
    text.remove_prefix(length == 0 ? 1 : length);
  }
}

// As printf's "%0*lld" would write it, without parsing a format for every line.
void appendPadded(std::string& text, long long value, int width) {
  char digits[24];
  int count = 0;
  const bool negative = value < 0;
  unsigned long long magnitude = negative ? 0ULL - static_cast<unsigned long long>(value)
                                          : static_cast<unsigned long long>(value);
  do {
    digits[count++] = static_cast<char>('0' + magnitude % 10);
    magnitude /= 10;
  } while (magnitude != 0);
  if (negative) {
    text += '-';
    --width;
  }
  for (int pad = count; pad < width; ++pad) {
    text += '0';
  }
  while (count > 0) {
    text += digits[--count];
  }
}

}  // namespace

std::string escapedControlCharacters(std::string_view text, bool keepLineFeeds) {
  std::string escaped;
  escaped.reserve(text.size());
  appendEscaped(escaped, text, keepLineFeeds);
  return escaped;
}

std::string formatLogLine(std::u16string_view message, const std::tm& localTime, int milliseconds,
                          long long processIdentifier, long long threadIdentifier) {
  static const std::string processName = toUtf8(kBundleName);
  const std::string text = toUtf8(message);
  std::string line;
  line.reserve(64 + processName.size() + text.size());
  appendPadded(line, localTime.tm_year + 1900LL, 4);
  line += '-';
  appendPadded(line, localTime.tm_mon + 1LL, 2);
  line += '-';
  appendPadded(line, localTime.tm_mday, 2);
  line += ' ';
  appendPadded(line, localTime.tm_hour, 2);
  line += ':';
  appendPadded(line, localTime.tm_min, 2);
  line += ':';
  appendPadded(line, localTime.tm_sec, 2);
  line += '.';
  appendPadded(line, milliseconds, 3);
  line += ' ';
  line += processName;
  line += '[';
  appendPadded(line, processIdentifier, 1);
  line += ':';
  appendPadded(line, threadIdentifier, 1);
  line += "] ";
  appendEscaped(line, text, false);
  line += '\n';
  return line;
}

void log(std::u16string_view message) {
  const int descriptor = logDescriptor.load(std::memory_order_acquire);
  if (descriptor < 0) {
    return;
  }
  using namespace std::chrono;
  const auto now = system_clock::now();
  const auto sinceEpoch = duration_cast<milliseconds>(now.time_since_epoch()).count();
  const std::time_t seconds = system_clock::to_time_t(now);
  std::tm localTime{};
  ::localtime_r(&seconds, &localTime);
  const auto line = formatLogLine(message, localTime, static_cast<int>(sinceEpoch % 1000),
                                  currentProcessIdentifier(), currentThreadIdentifier());
  writeWhole(descriptor, line);
}

void logFormat(std::u16string_view format, std::initializer_list<FormatArgument> args) {
  if (logDescriptor.load(std::memory_order_acquire) < 0) {
    return;
  }
  log(formatString(format, args));
}

int setLogFileDescriptor(int descriptor) {
  return logDescriptor.exchange(descriptor, std::memory_order_acq_rel);
}

Result<void> reopenStandardErrorToFile(const std::string& path) {
  // O_NOFOLLOW and the checks below: a link or a second name planted at the log's place must not
  // make us write into someone else's file.
  const ScopedDescriptor file(
      ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!file.valid()) {
    const int code = errno;
    return logFileError(path, fromUtf8(std::generic_category().message(code)), code);
  }
  struct stat status {};
  if (::fstat(file.get(), &status) != 0 || !S_ISREG(status.st_mode) || status.st_nlink != 1 ||
      status.st_uid != ::geteuid()) {
    return logFileError(path, localized(u"It is not a file of ours."), EPERM);
  }
  std::fflush(stderr);
  std::lock_guard lock(writeMutex());
  if (::dup2(file.get(), STDERR_FILENO) < 0) {
    const int code = errno;
    return logFileError(path, fromUtf8(std::generic_category().message(code)), code);
  }
  return {};
}

}  // namespace zv::platform
