#include "platform/log.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <regex>
#include <set>
#include <sstream>
#include <thread>
#include <vector>

#include "testsupport/file_contents.h"
#include "testsupport/temporary_folder.h"

namespace zv::platform {
namespace {

namespace fs = std::filesystem;
using testsupport::readFileText;

// What `write` logs, through a pipe read while it runs: the kernel keeps a long write to a pipe
// whole only up to its atomic size, so beyond that only our own locking keeps lines apart.
std::string loggedBy(const std::function<void()>& write) {
  int pipeEnds[2];
  EXPECT_EQ(::pipe(pipeEnds), 0);
  std::string received;
  std::thread reader([&received, readEnd = pipeEnds[0]] {
    char buffer[65536];
    for (ssize_t count; (count = ::read(readEnd, buffer, sizeof buffer)) > 0;) {
      received.append(buffer, static_cast<std::size_t>(count));
    }
  });
  const int previous = setLogFileDescriptor(pipeEnds[1]);
  write();
  setLogFileDescriptor(previous);
  ::close(pipeEnds[1]);
  reader.join();
  ::close(pipeEnds[0]);
  return received;
}

TEST(FormatLogLine, DecoratesMessageAndKeepsItOnOneLine) {
  std::tm time{};
  ASSERT_NE(::strptime("2024-03-05 07:04:09", "%Y-%m-%d %H:%M:%S", &time), nullptr);
  const std::string prefix = "2024-03-05 07:04:09.042 Zelvar Importer[812:9033] ";
  const std::pair<std::u16string, std::string> cases[] = {
      {u"*** Export started", "*** Export started"},
      {u"Exporting item: Café “Notes”", "Exporting item: Café “Notes”"},
      {u"", ""},
      // A name from the library must not be able to start a line of its own.
      {u"Exporting item: a\n2024-03-05 *** Export ended",
       "Exporting item: a\\n2024-03-05 *** Export ended"},
  };
  for (const auto& [message, expected] : cases) {
    SCOPED_TRACE(expected);
    EXPECT_EQ(formatLogLine(message, time, 42, 812, 9033), prefix + expected + "\n");
  }
  // Numbers are padded as printf pads them, none cut.
  time.tm_year = -1901;
  EXPECT_EQ(formatLogLine(u"x", time, 7, 1, 123456789012),
            "-001-03-05 07:04:09.007 Zelvar Importer[1:123456789012] x\n");
}

TEST(EscapedControlCharacters, LeavesNothingATerminalWouldObey) {
  struct Case {
    const char* name;
    std::string text;
    std::string expected;
  };
  const Case cases[] = {
      {"plain text and tabs stay", "Caf\xC3\xA9 \xE2\x80\x9CNotes\xE2\x80\x9D\t1",
       "Caf\xC3\xA9 \xE2\x80\x9CNotes\xE2\x80\x9D\t1"},
      {"window title and clear screen", "\x1B]0;pwned\x07\x1B[2J", "\\x1B]0;pwned\\x07\\x1B[2J"},
      {"line breaks", "a\r\nOK", "a\\r\\nOK"},
      {"C1 control sequence introducer",
       "x\xC2\x9B"
       "2Jy\xC2\xA0",
       "x\\xC2\\x9B2Jy\xC2\xA0"},
      {"stray and overlong bytes", "\x9B\xC0\xAF\xE2\x80", "\\x9B\\xC0\\xAF\\xE2\\x80"},
      {"surrogate encoded as UTF-8", "\xED\xA0\x80", "\\xED\\xA0\\x80"},
      {"four-byte sequences stay", "\xF0\x9F\x98\x80", "\xF0\x9F\x98\x80"},
      {"NUL and DEL", std::string("a\0b\x7F", 4), "a\\x00b\\x7F"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(escapedControlCharacters(c.text), c.expected);
  }
  EXPECT_EQ(escapedControlCharacters("one\r\ntwo\n\x1B[2J", true), "one\\r\ntwo\n\\x1B[2J");
}

TEST(Log, LinesFromManyThreadsStayWhole) {
  constexpr int kThreads = 8;
  constexpr int kLinesPerThread = 100;
  const std::u16string padding(std::size_t{3} * PIPE_BUF, u'x');
  const std::string received = loggedBy([&padding] {
    std::vector<std::thread> threads;
    threads.reserve(kThreads);
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([t, &padding] {
        for (int i = 0; i < kLinesPerThread; ++i) {
          logFormat(u"thread %ld line %ld of %ld %@",
                    {std::int64_t{t}, std::int64_t{i}, std::int64_t{::gettid()}, padding});
        }
      });
    }
    for (auto& thread : threads) {
      thread.join();
    }
  });

  const std::regex shape(
      R"(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3} Zelvar Importer\[(\d+):(\d+)\] (thread \d+ line \d+) of (\d+))");
  std::istringstream lines(received);
  std::set<std::string> messages;
  std::string line;
  while (std::getline(lines, line)) {
    const auto paddingStart = line.find(" x");
    ASSERT_NE(paddingStart, std::string::npos) << line.substr(0, 80);
    const std::string head = line.substr(0, paddingStart);
    std::smatch match;
    ASSERT_TRUE(std::regex_match(head, match, shape)) << head;
    EXPECT_EQ(line.substr(paddingStart + 1), std::string(padding.size(), 'x'));
    // Each line names the process and the thread that wrote it.
    EXPECT_EQ(match[1], std::to_string(::getpid()));
    EXPECT_EQ(match[2], match[4]);
    messages.insert(match[3]);
  }
  EXPECT_EQ(messages.size(), static_cast<std::size_t>(kThreads * kLinesPerThread));
}

TEST(Log, NegativeDescriptorDiscardsLines) {
  const std::string written = loggedBy([] {
    const int pipe = setLogFileDescriptor(-1);
    log(u"dropped");
    logFormat(u"dropped %@", {u"too"});
    setLogFileDescriptor(pipe);
    log(u"kept");
  });
  EXPECT_THAT(written, ::testing::Not(::testing::HasSubstr("dropped")));
  EXPECT_THAT(written, ::testing::EndsWith("] kept\n"));
}

TEST(Log, AForkedChildNamesItself) {
  pid_t child = -1;
  const std::string written = loggedBy([&child] {
    log(u"parent");  // the parent's numbers are known from here on
    child = ::fork();
    if (child == 0) {
      log(u"child");
      ::_exit(0);
    }
    ::waitpid(child, nullptr, 0);
  });
  ASSERT_GT(child, 0);
  // The forking thread is the child's only thread, so its number is the child's process number.
  const std::string expected =
      "[" + std::to_string(child) + ":" + std::to_string(child) + "] child";
  EXPECT_THAT(written, ::testing::HasSubstr(expected));
}

class ReopenStandardError : public testing::Test {
 protected:
  void SetUp() override { savedStandardError_ = ::dup(STDERR_FILENO); }
  void TearDown() override {
    ::dup2(savedStandardError_, STDERR_FILENO);
    ::close(savedStandardError_);
  }

  testsupport::TemporaryFolder folder_;
  int savedStandardError_ = -1;
};

TEST_F(ReopenStandardError, WritesOnlyIntoAFileOfOurOwn) {
  using Plant = void (*)(const fs::path& log, const fs::path& victim);
  struct Case {
    const char* name;
    bool accepted;
    const char* earlier;  // what the log held before, when it was our own
    Plant plant;          // what stands at the log's path; nothing: a new file
  };
  const Case cases[] = {
      {"new file", true, "", nullptr},
      {"our earlier log is kept and appended to", true, "earlier\n",
       [](const fs::path& log, const fs::path&) { std::ofstream(log) << "earlier\n"; }},
      {"planted symbolic link", false, "",
       [](const fs::path& log, const fs::path& victim) { fs::create_symlink(victim, log); }},
      {"planted second name of another file", false, "",
       [](const fs::path& log, const fs::path& victim) { fs::create_hard_link(victim, log); }},
      {"folder", false, "",
       [](const fs::path& log, const fs::path&) { fs::create_directory(log); }},
  };
  int index = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto victim = folder_.path() / ("victim" + std::to_string(index));
    const auto log = folder_.path() / ("Zelvar Importer_" + std::to_string(index++) + ".log");
    std::ofstream(victim) << "precious\n";
    if (c.plant != nullptr) {
      c.plant(log, victim);
    }

    const auto result = reopenStandardErrorToFile(log.string());
    ASSERT_EQ(result.ok(), c.accepted);
    const std::string line = "written through standard error\n";
    ASSERT_EQ(::write(STDERR_FILENO, line.data(), line.size()), static_cast<ssize_t>(line.size()));
    ::dup2(savedStandardError_, STDERR_FILENO);

    EXPECT_EQ(readFileText(victim), "precious\n");
    if (!c.accepted) {
      EXPECT_FALSE(result.error().description.empty());
      continue;
    }
    EXPECT_EQ(readFileText(log), c.earlier + line);
    if (c.plant == nullptr) {
      EXPECT_EQ(fs::status(log).permissions() & fs::perms::all,
                fs::perms::owner_read | fs::perms::owner_write);
    }
  }
}

}  // namespace
}  // namespace zv::platform
