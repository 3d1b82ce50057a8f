#include "platform/content_type.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>

#include "platform/files.h"
#include "platform/unicode.h"
#include "testsupport/file_contents.h"
#include "testsupport/result_matchers.h"
#include "testsupport/temporary_folder.h"

namespace zv::platform {
namespace {

class ContentTypeTest : public testsupport::TemporaryFolderTest {
 protected:
  void SetUp() override {
    std::string mime = pathOf(u"mime");
    ASSERT_EQ(::mkdir(mime.c_str(), 0700), 0);
    std::ofstream(mime + "/globs2") << "# comment\n"
                                       "60:application/x-preferred:*.shared\n"
                                       "50:audio/mpeg:*.mp3\n"
                                       "50:application/vnd.oasis.opendocument.text:*.odt\n"
                                       "50:text/x-csrc:*.c:cs\n"
                                       "50:text/x-c++src:*.C:cs\n"
                                       "50:application/x-weak:*.shared\n"
                                       "50:application/x-weak:*.weak\n"
                                       "50:application/x-tar-gz:*.tar.gz\n"
                                       "50:application/x-odd:*.[ab]\n"
                                       "garbage line\n";
    std::ofstream(mime + "/aliases") << "application/x-mp3 audio/mpeg\n";
    std::ofstream(mime + "/subclasses")
        << "application/vnd.oasis.opendocument.text application/zip\n"
           "text/x-csrc text/plain\n"
           "application/x-loop-a application/x-loop-b\n"
           "application/x-loop-b application/x-loop-a\n";
    database_ = MimeDatabase::loadFromFolders({mime});
  }

  MimeDatabase database_ = MimeDatabase::loadFromFolders({});
};

TEST_F(ContentTypeTest, MimeTypesMapToTypesWithPreferredExtensions) {
  struct Case {
    std::u16string mimeType;
    std::u16string identifier;
    std::u16string extension;
  };
  const Case cases[] = {
      {u"text/html", u"public.html", u"html"},
      {u"TEXT/HTML; charset=utf-8", u"public.html", u"html"},
      {u"image/jpeg", u"public.jpeg", u"jpeg"},
      {u"application/x-webarchive", u"com.apple.webarchive", u"webarchive"},
      {u"audio/mpeg", u"public.mp3", u"mp3"},
      {u"application/x-mp3", u"public.mp3", u"mp3"},
      {u"application/vnd.oasis.opendocument.text",
       u"dyn.mime.application/vnd.oasis.opendocument.text", u"odt"},
      {u"application/x-tar-gz", u"dyn.mime.application/x-tar-gz", u"tar.gz"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(toUtf8(c.mimeType));
    std::optional<ContentType> type = ContentType::withMIMEType(c.mimeType, database_);
    ASSERT_TRUE(type.has_value());
    EXPECT_EQ(type->identifier(), c.identifier);
    EXPECT_EQ(type->preferredFilenameExtension(), c.extension);
  }
  for (std::u16string_view unknown : {u"", u"nonsense", u"application/x-unknown", u";"}) {
    EXPECT_FALSE(ContentType::withMIMEType(unknown, database_).has_value()) << toUtf8(unknown);
  }
}

TEST_F(ContentTypeTest, ExtensionsMapToTypes) {
  const std::pair<std::u16string, std::u16string> cases[] = {
      {u"webarchive", u"com.apple.webarchive"},
      {u"JPG", u"public.jpeg"},
      {u"qntweblink", u"com.quennet.weblink"},
      {u"shared", u"dyn.mime.application/x-preferred"},
      {u"c", u"dyn.mime.text/x-csrc"},
      {u"C", u"dyn.mime.text/x-c++src"},
      {u"ODT", u"dyn.mime.application/vnd.oasis.opendocument.text"},
      {u"xyz", u"dyn.ext.xyz"},
  };
  for (const auto& [extension, identifier] : cases) {
    SCOPED_TRACE(toUtf8(extension));
    std::optional<ContentType> type = ContentType::withFilenameExtension(extension, database_);
    ASSERT_TRUE(type.has_value());
    EXPECT_EQ(type->identifier(), identifier);
    EXPECT_EQ(ContentType::withIdentifier(type->identifier(), database_), type);
  }
  EXPECT_FALSE(ContentType::withFilenameExtension(u"", database_).has_value());
  EXPECT_FALSE(ContentType::withFilenameExtension(u"a/b", database_).has_value());
}

TEST_F(ContentTypeTest, ConformanceFollowsParents) {
  auto odt = *ContentType::withMIMEType(u"application/vnd.oasis.opendocument.text", database_);
  auto csource = *ContentType::withFilenameExtension(u"c", database_);
  auto loop = *ContentType::withMIMEType(u"application/x-loop-a", database_);
  struct Case {
    ContentType type;
    ContentType other;
    bool conforms;
  };
  const Case cases[] = {
      {ContentType::jpeg(), ContentType::image(), true},
      {ContentType::jpeg(), ContentType::data(), true},
      {ContentType::html(), ContentType::text(), true},
      {ContentType::webArchive(), ContentType::webArchive(), true},
      {ContentType::webArchive(), ContentType::html(), false},
      {ContentType::rtfd(), ContentType::data(), false},
      {ContentType::rtf(), ContentType::plainText(), false},
      {ContentType::webLink(), ContentType::data(), true},
      {ContentType::internetLocation(), ContentType::item(), true},
      {ContentType::image(), ContentType::jpeg(), false},
      {odt, *ContentType::withIdentifier(u"public.zip-archive", database_), true},
      {csource, ContentType::plainText(), true},
      {loop, ContentType::data(), true},
      {loop, ContentType::text(), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(toUtf8(c.type.identifier()) + " / " + toUtf8(c.other.identifier()));
    EXPECT_EQ(c.type.conformsTo(c.other, database_), c.conforms);
  }
}

TEST_F(ContentTypeTest, ItemsAreTypedByNameAndKind) {
  struct Case {
    std::u16string name;
    bool isFolder;
    std::u16string identifier;
  };
  const Case cases[] = {
      {u"page.webarchive", false, u"com.apple.webarchive"},
      {u"notes", false, u"public.data"},
      {u"Note.rtfd", true, u"com.apple.rtfd"},
      {u"flat.rtfd", false, u"com.apple.flat-rtfd"},
      {u"folder.webarchive", true, u"public.folder"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(toUtf8(c.name));
    ASSERT_TRUE(c.isFolder ? std::filesystem::create_directory(pathOf(c.name))
                           : testsupport::writeFileText(pathOf(c.name), "x"));
    Result<ContentType> type = contentTypeOfItemAtURL(at(c.name), database_);
    ASSERT_THAT(type, testsupport::IsOk());
    EXPECT_EQ(type->identifier(), c.identifier);
  }
  EXPECT_THAT(contentTypeOfItemAtURL(at(u"missing.pdf"), database_),
              testsupport::IsPlatformError(FileErrorCode::kFileNotFound));
}

TEST_F(ContentTypeTest, PreferredExtensionIsTheFirstGlobOfTheTypesOwnEntry) {
  // "globs2" lists extensions by weight and then in no useful order; the type's own entry, in
  // its file or else in a package file, knows which comes first.
  const char* globs =
      "50:application/javascript:*.jsm\n"
      "50:application/javascript:*.mjs\n"
      "50:application/javascript:*.js\n"
      "60:text/x-python:*.wsgi\n"
      "60:text/x-python:*.py\n"
      "50:application/x-unlisted:*.zz\n"
      "50:application/x-unlisted:*.aa\n";
  std::string typed = pathOf(u"typed");
  std::string packaged = pathOf(u"packaged");
  for (const std::string& folder :
       {typed, typed + "/application", typed + "/text", packaged, packaged + "/packages"}) {
    ASSERT_EQ(::mkdir(folder.c_str(), 0700), 0) << folder;
  }
  for (const std::string& folder : {typed, packaged}) {
    std::ofstream(folder + "/globs2") << globs;
    std::ofstream(folder + "/aliases") << "application/x-javascript application/javascript\n";
  }
  const char* xmlns = R"( xmlns="http://www.freedesktop.org/standards/shared-mime-info")";
  std::ofstream(typed + "/application/javascript.xml")
      << R"(<?xml version="1.0"?><mime-type type="application/javascript")" << xmlns
      << R"(><comment>JavaScript program</comment><glob pattern="*.js"/><glob pattern="*.jsm"/>)"
      << R"(<glob pattern="*.mjs"/></mime-type>)";
  std::ofstream(typed + "/text/x-python.xml")
      << R"(<?xml version="1.0"?><mime-type type="text/x-python")" << xmlns
      << R"(><glob pattern="SConstruct"/><glob pattern="*.py[co]"/>)"
      << R"(<glob pattern="*.py" weight="60"/><glob pattern="*.wsgi"/></mime-type>)";
  std::ofstream(packaged + "/packages/freedesktop.org.xml")
      << R"(<?xml version="1.0"?><mime-info)" << xmlns << ">"
      << R"(<mime-type type="text/x-other"><glob pattern="*.wsgi"/></mime-type>)"
      << R"(<mime-type type="text/x-python"><glob pattern="*.py"/><glob pattern="*.wsgi"/>)"
      << R"(</mime-type><mime-type type="application/javascript"><glob pattern="*.js"/>)"
      << R"(</mime-type></mime-info>)";
  const MimeDatabase fromTypeFiles = MimeDatabase::loadFromFolders({typed});
  const MimeDatabase fromPackages = MimeDatabase::loadFromFolders({packaged});
  struct Case {
    const char* name;
    const MimeDatabase& database;
    std::u16string mimeType;
    std::vector<std::string> extensions;
  };
  const Case cases[] = {
      {"type file", fromTypeFiles, u"application/javascript", {"js", "jsm", "mjs"}},
      {"alias", fromTypeFiles, u"application/x-javascript", {"js", "jsm", "mjs"}},
      {"patterns that name no extension", fromTypeFiles, u"text/x-python", {"py", "wsgi"}},
      {"no entry anywhere", fromTypeFiles, u"application/x-unlisted", {"zz", "aa"}},
      {"package file", fromPackages, u"text/x-python", {"py", "wsgi"}},
      {"package file", fromPackages, u"application/javascript", {"js", "jsm", "mjs"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.name) + ": " + toUtf8(c.mimeType));
    EXPECT_EQ(c.database.extensionsForMimeType(toUtf8(c.mimeType)), c.extensions);
    std::optional<ContentType> type = ContentType::withMIMEType(c.mimeType, c.database);
    ASSERT_TRUE(type.has_value());
    EXPECT_EQ(type->preferredFilenameExtension(), fromUtf8(c.extensions.front()));
  }
}

TEST(SystemMimeDatabase, GivesExtensionsBeyondOurTable) {
  if (!MimeDatabase::system().knowsMimeType("application/vnd.oasis.opendocument.text")) {
    GTEST_SKIP() << "shared-mime-info is not installed";
  }
  auto odt = ContentType::withMIMEType(u"application/vnd.oasis.opendocument.text");
  ASSERT_TRUE(odt.has_value());
  EXPECT_EQ(odt->preferredFilenameExtension(), u"odt");
  for (auto [mimeType, extension] :
       {std::pair{u"application/javascript", u"js"}, std::pair{u"text/x-python", u"py"}}) {
    if (auto type = ContentType::withMIMEType(mimeType)) {
      EXPECT_EQ(type->preferredFilenameExtension(), extension) << toUtf8(mimeType);
    }
  }
}

}  // namespace
}  // namespace zv::platform
