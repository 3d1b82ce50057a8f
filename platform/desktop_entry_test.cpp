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

void writeFile(const std::filesystem::path& path, std::string_view text) {
  std::filesystem::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << text;
}

TEST(DesktopEntryTest, ReadsTheMainGroupAndRejectsWhatTheFormatForbids) {
  struct Case {
    const char* name;
    std::string text;
    std::optional<std::string> exec;  // none: the entry does not parse
  };
  const Case cases[] = {
      {"plain", "[Desktop Entry]\nExec=quennet %u\n", "quennet %u"},
      {"comments, blanks, CRLF, spaces around =",
       "# head\n\n[Desktop Entry]\r\n# c\r\nExec = quennet %u \r\n", "quennet %u"},
      {"escapes", "[Desktop Entry]\nExec=a\\sb\\tc\\\\d\\\"e\\n\n", "a b\tc\\d\\\"e\n"},
      {"localised key ignored", "[Desktop Entry]\nExec[de]=x\nExec=y\n", "y"},
      {"later groups ignored", "[Desktop Entry]\nExec=y\n[Desktop Action New]\nExec=z\n", "y"},
      {"key absent", "[Desktop Entry]\nName=Q\n", std::nullopt},
      {"key before group", "Exec=y\n[Desktop Entry]\n", std::nullopt},
      {"other group first", "[Other]\nA=b\n[Desktop Entry]\nExec=y\n", std::nullopt},
      {"no main group", "# nothing\n", std::nullopt},
      {"line without =", "[Desktop Entry]\nExec\n", std::nullopt},
      {"key twice", "[Desktop Entry]\nExec=a\nExec=b\n", std::nullopt},
      {"main group twice", "[Desktop Entry]\n[Desktop Entry]\nExec=b\n", std::nullopt},
      {"bad key", "[Desktop Entry]\nEx ec=a\n", std::nullopt},
      {"unclosed group", "[Desktop Entry\nExec=a\n", std::nullopt},
      {"not UTF-8", "[Desktop Entry]\nName=\xff\nExec=a\n", std::nullopt},
      {"too large", "[Desktop Entry]\nExec=a\n#" + std::string(DesktopEntry::kMaximumSize, 'x'),
       std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Result<DesktopEntry> entry = DesktopEntry::parse(c.text);
    if (!entry.ok()) {
      EXPECT_FALSE(c.exec.has_value()) << toUtf8(entry.error().description);
      continue;
    }
    EXPECT_EQ(entry->stringValue("Exec"), c.exec);
  }
}

TEST(DesktopEntryTest, BooleansAreTrueOnlyWhenSpelledSo) {
  Result<DesktopEntry> entry =
      DesktopEntry::parse("[Desktop Entry]\nHidden=true\nDBusActivatable=True\nTerminal=1\n");
  ASSERT_THAT(entry, IsOk());
  EXPECT_TRUE(entry->booleanValue("Hidden"));
  EXPECT_FALSE(entry->booleanValue("DBusActivatable"));
  EXPECT_FALSE(entry->booleanValue("Terminal"));
  EXPECT_FALSE(entry->booleanValue("NoDisplay"));
}

TEST(ExecLineTest, ExpandsFieldCodesByTheQuotingRules) {
  const URL web = *URL::fromString(u"quennet://library?location=file%3A%2F%2F%2Fa%20b");
  const URL file = URL::fileURLWithPath(u"/tmp/a b.txt");
  struct Case {
    const char* name;
    std::string exec;
    std::vector<URL> urls;
    std::vector<std::string> expected;  // empty: the line is refused
  };
  const std::string webText = "quennet://library?location=file%3A%2F%2F%2Fa%20b";
  const Case cases[] = {
      {"url", "quennet %u", {web}, {"quennet", webText}},
      {"url list",
       "quennet --open %U",
       {web, file},
       {"quennet", "--open", webText, "file:///tmp/a%20b.txt"}},
      {"file path", "viewer %f", {file}, {"viewer", "/tmp/a b.txt"}},
      {"file list keeps only files", "viewer %F", {file, web}, {"viewer", "/tmp/a b.txt"}},
      {"no documents removes %u", "quennet %u", {}, {"quennet"}},
      {"percent", "printf 100%% %u", {web}, {"printf", "100%", webText}},
      {"code inside argument", "q --url=%u", {web}, {"q", "--url=" + webText}},
      {"icon, name, file",
       "q %i %c %k %u",
       {web},
       {"q", "--icon", "qicon", "Quennet", "/x.desktop", webText}},
      {"deprecated codes removed", "q %d %D %n %N %v %m %u", {web}, {"q", webText}},
      {"quoted argument",
       "\"/opt/my app/q\" \"a \\\"b\\\" \\$c \\\\d \\`e\" %u",
       {web},
       {"/opt/my app/q", "a \"b\" $c \\d `e", webText}},
      {"quoted empty argument stays", "q \"\" %u", {web}, {"q", "", webText}},
      {"shell characters are plain text",
       "q ;rm|x>y $HOME %u",
       {web},
       {"q", ";rm|x>y", "$HOME", webText}},
      {"tabs and runs of blanks", "q\t  a   %u", {web}, {"q", "a", webText}},
      {"unterminated quote", "q \"a %u", {web}, {}},
      {"lone percent", "q %u %", {web}, {}},
      {"unknown code", "q %z %u", {web}, {}},
      {"list code inside argument", "q --f=%U", {web}, {}},
      {"two document codes", "q %u %f", {web}, {}},
      {"no code takes the url", "quennet", {web}, {}},
      {"file code cannot take a web url", "viewer %f", {web}, {}},
      {"no program", "%u", {}, {}},
      {"empty", "  ", {}, {}},
  };
  const ExecFieldValues base{{}, "qicon", "Quennet", "/x.desktop"};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ExecFieldValues values = base;
    values.urls = c.urls;
    Result<std::vector<std::string>> argv = expandExecLine(c.exec, values);
    if (c.expected.empty()) {
      EXPECT_THAT(argv, IsError(kWorkspaceErrorDomain, kInvalidDesktopEntryErrorCode));
      continue;
    }
    ASSERT_THAT(argv, IsOk());
    EXPECT_THAT(*argv, ElementsAreArray(c.expected));
  }
}

TEST(ExecLineTest, IconCodeVanishesWithoutAnIcon) {
  Result<std::vector<std::string>> argv = expandExecLine("q %i", ExecFieldValues{});
  ASSERT_THAT(argv, IsOk());
  EXPECT_THAT(*argv, ElementsAreArray({"q"}));
}

TEST(XdgDataFoldersTest, FollowsTheBaseDirectoryDefaults) {
  struct Case {
    const char* name;
    const char* dataHome;
    const char* dataDirs;
    std::vector<std::string> expected;
  };
  const Case cases[] = {
      {"unset", nullptr, nullptr, {"/home/u/.local/share", "/usr/local/share", "/usr/share"}},
      {"empty", "", "", {"/home/u/.local/share", "/usr/local/share", "/usr/share"}},
      {"set", "/d", "/a:/b", {"/d", "/a", "/b"}},
      {"relative entries ignored", "rel", "x:/a::b/c:/b", {"/a", "/b"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_THAT(xdgDataFolders(c.dataHome, c.dataDirs, "/home/u"), ElementsAreArray(c.expected));
  }
}

TEST(ApplicationIdentifierTest, AcceptsReverseDomainNamesOnly) {
  for (std::string_view valid : {"org.example.quennet", "org.example.zelvar4", "a.b-c_d"}) {
    EXPECT_TRUE(isValidApplicationIdentifier(valid)) << valid;
  }
  for (std::string_view invalid : {"", "quennet", "org..x", ".org.x", "org.x.", "org/../x.y",
                                   "org.4x", "org.x y", "a.\xc3\xa9"}) {
    EXPECT_FALSE(isValidApplicationIdentifier(invalid)) << invalid;
  }
}

class DesktopEntryFilesTest : public testsupport::TemporaryFolderTest {
 protected:
  std::vector<std::string> folders() const {
    return {folder_.path("home").string(), folder_.path("a").string(), folder_.path("b").string()};
  }
  void write(std::string_view relative, std::string_view text) {
    writeFile(folder_.path(relative), text);
  }
};

TEST_F(DesktopEntryFilesTest, TheFirstEntryFoundDecides) {
  const std::string id = "org.example.quennet";
  const std::string file = "/applications/" + id + ".desktop";
  struct Case {
    const char* name;
    std::vector<std::pair<std::string, std::string>> files;
    std::optional<std::string> expected;
  };
  const std::string good = "[Desktop Entry]\nExec=q %u\n";
  const Case cases[] = {
      {"none", {}, std::nullopt},
      {"system only", {{"b", good}}, "b"},
      {"earlier folder wins", {{"a", good}, {"b", good}}, "a"},
      {"home wins", {{"home", good}, {"a", good}}, "home"},
      {"hidden hides the later ones",
       {{"home", good + "Hidden=true\n"}, {"b", good}},
       std::nullopt},
      {"broken hides the later ones", {{"a", "garbage"}, {"b", good}}, std::nullopt},
      {"a folder under the name is no entry", {{"a", ""}, {"b", good}}, std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    for (const char* f : {"home", "a", "b"}) {
      std::filesystem::remove_all(folder_.path(f));
    }
    for (const auto& [where, text] : c.files) {
      if (text.empty()) {
        std::filesystem::create_directories(folder_.path(where + file));
      } else {
        write(where + file, text);
      }
    }
    std::optional<std::string> expected;
    if (c.expected) {
      expected = folder_.path(*c.expected + file).string();
    }
    EXPECT_EQ(findDesktopEntryFile(id, folders()), expected);
  }
  EXPECT_EQ(findDesktopEntryFile("../a/applications/x", folders()), std::nullopt);
}

TEST(MetainfoTest, TakesTheFirstReleaseVersion) {
  struct Case {
    const char* name;
    std::string xml;
    std::optional<std::string> expected;
  };
  const std::string head =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<component type=\"desktop-application\">";
  const Case cases[] = {
      {"newest first",
       head + "<releases><release version=\"1.5.0\"/><release "
              "version=\"1.4\"/></releases></component>",
       "1.5.0"},
      {"release without version skipped",
       head + "<releases><release date=\"x\"/><release version=\" 2.0 \"/></releases></component>",
       "2.0"},
      {"no releases", head + "<id>x</id></component>", std::nullopt},
      {"release outside releases", head + "<release version=\"9\"/></component>", std::nullopt},
      {"nested deeper", head + "<x><releases><release version=\"9\"/></releases></x></component>",
       std::nullopt},
      {"malformed", head + "<releases><release version=\"1\"", std::nullopt},
      {"malformed after the release still counts", head + "<releases><release version=\"3\"/><",
       "3"},
      {"doctype refused",
       "<!DOCTYPE c [<!ENTITY v \"6\">]><component><releases><release "
       "version=\"&v;\"/></releases></component>",
       std::nullopt},
      {"empty", "", std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(metainfoReleaseVersion(c.xml), c.expected);
  }
}

TEST_F(DesktopEntryFilesTest, VersionComesFromMetainfoThenTheEntry) {
  const std::string id = "org.example.zelvar";
  const std::string metainfo = "/metainfo/" + id + ".metainfo.xml";
  const std::string release =
      "<component><releases><release version=\"1.5\"/></releases></component>";
  Result<DesktopEntry> withKey = DesktopEntry::parse("[Desktop Entry]\nX-AppVersion=1.4.9\n");
  Result<DesktopEntry> without = DesktopEntry::parse("[Desktop Entry]\n");
  ASSERT_THAT(withKey, IsOk());
  ASSERT_THAT(without, IsOk());

  EXPECT_EQ(applicationVersion(id, *withKey, folders()), "1.4.9");
  EXPECT_EQ(applicationVersion(id, *without, folders()), std::nullopt);
  write("b" + metainfo, release);
  EXPECT_EQ(applicationVersion(id, *withKey, folders()), "1.5");
  write("a" + metainfo, "<component><releases/></component>");
  EXPECT_EQ(applicationVersion(id, *withKey, folders()), "1.4.9");
  write("home" + metainfo,
        "<component><releases><release version=\"4.6\"/></releases></component>");
  EXPECT_EQ(applicationVersion(id, *without, folders()), "4.6");
}

}  // namespace
}  // namespace zv::platform
