#include "platform/desktop_entry.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "platform/unicode.h"
#include "testsupport/result_matchers.h"
#include "testsupport/temporary_folder.h"

namespace zv::platform {
namespace {

using testing::ElementsAreArray;
using testsupport::IsError;
using testsupport::IsOk;

TEST(DesktopEntryTest, ReadsTheMainGroupAndRejectsWhatTheFormatForbids) {
  const std::string group = "[Desktop Entry]\n";
  const std::pair<std::string, std::optional<std::string>> cases[] = {
      {group + "Exec=q %u\n", "q %u"},
      {"# c\n\n" + group + "# c\r\nExec = q %u \r\n", "q %u"},
      {group + "Exec=a\\sb\\tc\\\\d\\\"e\\n\n", "a b\tc\\d\\\"e\n"},
      {group + "Exec[de]=x\nExec=y\n", "y"},
      {group + "Exec=y\n[Desktop Action New]\nExec=z\n", "y"},
      // Each of these does not parse.
      {group + "Name=Q\n", std::nullopt},
      {"Exec=y\n" + group, std::nullopt},
      {"[Other]\n" + group + "Exec=y\n", std::nullopt},
      {"# no group\n", std::nullopt},
      {group + "Exec\n", std::nullopt},
      {group + "Exec=a\nExec=b\n", std::nullopt},
      {group + "Ex ec=a\n", std::nullopt},
      {group + "Name=\xff\nExec=a\n", std::nullopt},
      {group + "Exec=a\n#" + std::string(DesktopEntry::kMaximumSize, 'x'), std::nullopt},
  };
  for (const auto& [text, exec] : cases) {
    SCOPED_TRACE(text.substr(0, 80));
    Result<DesktopEntry> entry = DesktopEntry::parse(text);
    EXPECT_EQ(entry.ok() ? entry->stringValue("Exec") : std::nullopt, exec);
  }
}

TEST(ExecLineTest, ExpandsFieldCodesByTheQuotingRules) {
  const std::string w = "quennet://library?location=file%3A%2F%2F%2Fa%20b";
  const URL web = *URL::fromString(fromUtf8(w));
  const URL file = URL::fileURLWithPath(u"/tmp/a b");
  struct Case {
    std::string exec;
    std::vector<URL> urls;
    std::vector<std::string> expected;  // empty: the line is refused
  };
  const Case cases[] = {
      {"q %u", {web}, {"q", w}},
      {"q --open %U", {web, file}, {"q", "--open", w, "file:///tmp/a%20b"}},
      {"q %f", {file}, {"q", "/tmp/a b"}},
      {"q %F", {file, web}, {"q", "/tmp/a b"}},
      {"q %u", {}, {"q"}},
      {"q 100%% --url=%u", {web}, {"q", "100%", "--url=" + w}},
      {"q %i %c %k %u", {web}, {"q", "--icon", "qicon", "Quennet", "/x.desktop", w}},
      {"q %d %D %n %N %v %m %u", {web}, {"q", w}},
      {R"("/opt/my app/q" "a \"b\" \$c \\d \`e" "" %u)",
       {web},
       {"/opt/my app/q", "a \"b\" $c \\d `e", "", w}},
      {"q ;rm|x>y $HOME\t  %u", {web}, {"q", ";rm|x>y", "$HOME", w}},
      // Refused: broken quoting or codes, and documents that nothing would take.
      {"q \"a %u", {web}, {}},
      {"q %z %u", {web}, {}},
      {"q --f=%U", {web}, {}},
      {"q %u %f", {web}, {}},
      {"q", {web}, {}},
      {"q %f", {web}, {}},
      {"%u", {}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.exec);
    Result<std::vector<std::string>> argv =
        expandExecLine(c.exec, ExecFieldValues{c.urls, "qicon", "Quennet", "/x.desktop"});
    if (c.expected.empty()) {
      EXPECT_THAT(argv, IsError(kWorkspaceErrorDomain, kInvalidDesktopEntryErrorCode));
    } else if (argv.ok()) {
      EXPECT_THAT(*argv, ElementsAreArray(c.expected));
    } else {
      ADD_FAILURE() << toUtf8(argv.error().description);
    }
  }
}

TEST(XdgDataFoldersTest, FollowsTheBaseDirectoryDefaults) {
  const std::vector<std::string> defaults = {"/h/.local/share", "/usr/local/share", "/usr/share"};
  EXPECT_THAT(xdgDataFolders(nullptr, nullptr, "/h"), ElementsAreArray(defaults));
  EXPECT_THAT(xdgDataFolders("", "", "/h"), ElementsAreArray(defaults));
  // Relative entries are ignored rather than read from the current folder.
  EXPECT_THAT(xdgDataFolders("rel", "x:/a::b/c:/b", "/h"),
              ElementsAreArray({"/h/.local/share", "/a", "/b"}));
}

class DesktopEntryFilesTest : public testsupport::TemporaryFolderTest {
 protected:
  std::vector<std::string> folders() const {
    return {folder_.path("h").string(), folder_.path("a").string(), folder_.path("b").string()};
  }
  void write(const std::string& relative, std::string_view text) {
    std::filesystem::create_directories(folder_.path(relative).parent_path());
    std::ofstream(folder_.path(relative), std::ios::binary) << text;
  }
};

TEST_F(DesktopEntryFilesTest, TheFirstEntryFoundDecides) {
  const std::string file = "/applications/org.example.q.desktop";
  const std::string good = "[Desktop Entry]\nExec=q %u\n";
  using Files = std::vector<std::pair<std::string, std::string>>;  // an empty text makes a folder
  const std::pair<Files, std::optional<std::string>> cases[] = {
      {{}, std::nullopt},
      {{{"b", good}}, "b"},
      {{{"a", good}, {"b", good}}, "a"},
      {{{"h", good}, {"a", good}}, "h"},
      {{{"a", good + "Hidden=True\n"}}, "a"},
      {{{"h", good + "Hidden=true\n"}, {"b", good}}, std::nullopt},
      {{{"a", "garbage"}, {"b", good}}, std::nullopt},
      {{{"a", ""}, {"b", good}}, std::nullopt},
  };
  for (const auto& [files, expected] : cases) {
    SCOPED_TRACE(files.size());
    for (const char* f : {"h", "a", "b"}) {
      std::filesystem::remove_all(folder_.path(f));
    }
    for (const auto& [where, text] : files) {
      text.empty() ? (void)std::filesystem::create_directories(folder_.path(where + file))
                   : write(where + file, text);
    }
    EXPECT_EQ(findDesktopEntryFile("org.example.q", folders()),
              expected ? std::optional(folder_.path(*expected + file).string()) : std::nullopt);
  }
  EXPECT_EQ(findDesktopEntryFile("../b/applications/org.example.q", folders()), std::nullopt);
}

TEST(MetainfoTest, TakesTheFirstReleaseVersion) {
  const std::string head = R"(<?xml version="1.0"?><component type="desktop-application">)";
  const std::pair<std::string, std::optional<std::string>> cases[] = {
      {head + R"(<releases><release version="1.5"/><release version="1.4"/></releases>)", "1.5"},
      {head + R"(<releases><release date="x"/><release version=" 2.0 "/></releases>)", "2.0"},
      {head + R"(<releases><release version="3"/><)", "3"},
      {head + R"(<id>x</id></component>)", std::nullopt},
      {head + R"(<release version="9"/></component>)", std::nullopt},
      {head + R"(<x><releases><release version="9"/></releases></x>)", std::nullopt},
      {head + R"(<releases><release version="1")", std::nullopt},
      {R"(<!DOCTYPE c [<!ENTITY v "6">]><component><releases><release version="&v;"/>)",
       std::nullopt},
  };
  for (const auto& [xml, expected] : cases) {
    SCOPED_TRACE(xml);
    EXPECT_EQ(metainfoReleaseVersion(xml), expected);
  }
}

TEST_F(DesktopEntryFilesTest, VersionComesFromMetainfoThenTheEntry) {
  const std::string metainfo = "/metainfo/org.example.z.metainfo.xml";
  Result<DesktopEntry> entry = DesktopEntry::parse("[Desktop Entry]\nX-AppVersion=1.4.9\n");
  ASSERT_THAT(entry, IsOk());
  EXPECT_EQ(applicationVersion("org.example.z", *entry, folders()), "1.4.9");
  write("b" + metainfo, R"(<component><releases><release version="1.5"/></releases></component>)");
  EXPECT_EQ(applicationVersion("org.example.z", *entry, folders()), "1.5");
  // The first metainfo file decides; without a release the entry's key speaks.
  write("a" + metainfo, "<component><releases/></component>");
  EXPECT_EQ(applicationVersion("org.example.z", *entry, folders()), "1.4.9");
}

}  // namespace
}  // namespace zv::platform
