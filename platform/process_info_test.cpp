#include "platform/process_info.h"

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

TEST(ProcessInfo, NamesTheSystemAndTheComputerFromTheirFilesWhenTheyHaveThem) {
  const testsupport::TemporaryFolder root;
  const std::string rootPath = root.path().string();
  const auto write = [&root](const char* relative, const char* text) {
    std::filesystem::create_directories(root.path(relative).parent_path());
    std::ofstream(root.path(relative)) << text;
  };
  struct utsname system {};
  ASSERT_EQ(::uname(&system), 0);
  const std::string kernel = std::string(system.sysname) + " " + system.release;
  char hostName[HOST_NAME_MAX + 1] = {};
  ASSERT_EQ(::gethostname(hostName, sizeof hostName - 1), 0);

  EXPECT_EQ(toUtf8(operatingSystemVersionString(rootPath)), kernel);
  EXPECT_EQ(toUtf8(hostLocalizedName(rootPath)), hostName);
  write("usr/lib/os-release", "PRETTY_NAME='Fallback OS'\n");
  write("etc/machine-info", "# PRETTY_HOSTNAME=commented\nPRETTY_HOSTNAME=\"\"\n");
  EXPECT_EQ(toUtf8(operatingSystemVersionString(rootPath)), "Fallback OS, " + kernel);
  EXPECT_EQ(toUtf8(hostLocalizedName(rootPath)), hostName);
  write("etc/os-release", "PRETTY_NAME_X=no\n  PRETTY_NAME=\"Debian GNU/Linux 12 (bookworm)\"\n");
  write("etc/machine-info", "CHASSIS=laptop\nPRETTY_HOSTNAME=\"Anna’s \\\"Laptop\\\"\" # x\n");
  EXPECT_EQ(toUtf8(operatingSystemVersionString(rootPath)),
            "Debian GNU/Linux 12 (bookworm), " + kernel);
  EXPECT_EQ(toUtf8(hostLocalizedName(rootPath)), "Anna’s \"Laptop\"");
}

}  // namespace
}  // namespace zv::platform
