#include "platform/process_info.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <climits>
#include <filesystem>
#include <fstream>

#include "platform/unicode.h"
#include "testsupport/temporary_folder.h"

namespace zv::platform {
namespace {

struct ValueCase {
  const char* name;
  std::string_view text;
  std::optional<std::string> expected;
};

TEST(EnvironmentFileValue, ReadsShellQuotedValuesOfTheKeyOnly) {
  const ValueCase cases[] = {
      {"double quotes", "NAME=x\nPRETTY_NAME=\"Debian GNU/Linux 12 (bookworm)\"\n",
       "Debian GNU/Linux 12 (bookworm)"},
      {"single quotes", "PRETTY_NAME='Fedora Linux 39'", "Fedora Linux 39"},
      {"bare word", "PRETTY_NAME=Arch", "Arch"},
      {"escapes in double quotes", R"(PRETTY_NAME="a \"b\" \\ c")", R"(a "b" \ c)"},
      {"a longer key is another key", "PRETTY_NAME_X=no\nPRETTY_NAME=yes", "yes"},
      {"a comment is not a line", "# PRETTY_NAME=no\n", std::nullopt},
      {"empty value", "PRETTY_NAME=\"\"", std::nullopt},
      {"absent", "NAME=Debian", std::nullopt},
      {"unclosed quote ends with the line", "PRETTY_NAME=\"Open\nNAME=x", "Open"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(environmentFileValue(c.text, "PRETTY_NAME"), c.expected);
  }
}

class ProcessInfoTest : public ::testing::Test {
 protected:
  void write(const std::string& relative, const std::string& text) {
    const auto path = root_.path(relative);
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path) << text;
  }
  std::string root() const { return root_.path().string(); }

  testsupport::TemporaryFolder root_;
};

std::string kernel() {
  struct utsname system {};
  EXPECT_EQ(::uname(&system), 0);
  return std::string(system.sysname) + " " + system.release;
}

TEST_F(ProcessInfoTest, OperatingSystemNamesTheDistributionAndTheKernel) {
  EXPECT_EQ(toUtf8(operatingSystemVersionString(root())), kernel());
  write("usr/lib/os-release", "PRETTY_NAME=\"Fallback OS\"\n");
  EXPECT_EQ(toUtf8(operatingSystemVersionString(root())), "Fallback OS, " + kernel());
  write("etc/os-release", "PRETTY_NAME=\"Debian GNU/Linux 12 (bookworm)\"\n");
  EXPECT_EQ(toUtf8(operatingSystemVersionString(root())),
            "Debian GNU/Linux 12 (bookworm), " + kernel());
}

TEST_F(ProcessInfoTest, ComputerNameIsThePrettyHostNameWhenThereIsOne) {
  char hostName[HOST_NAME_MAX + 1] = {};
  ASSERT_EQ(::gethostname(hostName, sizeof hostName - 1), 0);
  EXPECT_EQ(toUtf8(hostLocalizedName(root())), hostName);
  write("etc/machine-info", "PRETTY_HOSTNAME=\"\"\n");
  EXPECT_EQ(toUtf8(hostLocalizedName(root())), hostName);
  write("etc/machine-info", "CHASSIS=laptop\nPRETTY_HOSTNAME=\"Anna’s Laptop\"\n");
  EXPECT_EQ(toUtf8(hostLocalizedName(root())), "Anna’s Laptop");
}

TEST(SystemUptime, AgreesWithTheKernelsCount) {
  double fromKernel = 0;
  std::ifstream("/proc/uptime") >> fromKernel;
  ASSERT_GT(fromKernel, 0);
  // Read after the file, so it can only be larger, and by far less than a minute.
  const double uptime = systemUptime();
  EXPECT_GE(uptime, fromKernel - 0.01);
  EXPECT_LT(uptime, fromKernel + 60);
}

}  // namespace
}  // namespace zv::platform
