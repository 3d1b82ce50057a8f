#include "platform/user_defaults.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <limits>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/bundle_info.h"
#include "platform/files.h"
#include "platform/property_list_serialization.h"
#include "platform/unicode.h"
#include "testsupport/captured_log.h"
#include "testsupport/file_contents.h"
#include "testsupport/result_matchers.h"
#include "testsupport/scoped_environment.h"
#include "testsupport/temporary_folder.h"

namespace zv::platform {
namespace {

namespace fs = std::filesystem;
using ::testing::AllOf;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;
using ::testing::Optional;
using ::testing::StartsWith;
using testsupport::bytesOf;
using testsupport::CapturedLog;
using testsupport::IsOk;
using testsupport::IsPlatformError;
using testsupport::readFileBytes;
using Bytes = std::vector<std::uint8_t>;

// The names in a folder that start with prefix.
std::vector<std::string> namesStartingWith(const fs::path& folder, const std::string& prefix) {
  std::vector<std::string> names;
  for (const fs::directory_entry& entry : fs::directory_iterator(folder)) {
    const std::string name = entry.path().filename().string();
    if (name.starts_with(prefix)) {
      names.push_back(name);
    }
  }
  std::sort(names.begin(), names.end());
  return names;
}

void writeBytes(const fs::path& path, const Bytes& bytes) {
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
}

Bytes binaryPropertyList(const PropertyList& value) {
  Result<Bytes> bytes = writePropertyList(value, PropertyListFormat::kBinary);
  EXPECT_THAT(bytes, IsOk());
  return bytes ? *bytes : Bytes();
}

// The number of keys in the file at path; 0 when it is unreadable, torn or no dictionary.
std::size_t storedKeyCount(const fs::path& path) {
  Result<PropertyList> stored = readPropertyList(readFileBytes(path).value_or(Bytes{}));
  return stored && stored->asDictionary() != nullptr ? stored->asDictionary()->size() : 0;
}

class UserDefaultsTest : public testsupport::TemporaryFolderTest {
 protected:
  fs::path file() const { return folder_.path("settings.plist"); }
  fs::path logFile() const { return folder_.path("log.txt"); }
};

// Each type once: the encodings' own edge cases are the property list tests'.
TEST_F(UserDefaultsTest, EveryPropertyListTypeComesBackFromTheFile) {
  PropertyList::Dictionary nested;
  nested.set(u"inner", PropertyList(PropertyList::Array{PropertyList(1), PropertyList(u"two")}));
  const std::pair<const char*, PropertyList> cases[] = {
      {"string", PropertyList(u"caf\u00e9 \U0001F600")},
      {"integer_above_int64", PropertyList(std::numeric_limits<std::uint64_t>::max())},
      {"real", PropertyList(0.1)},
      {"true", PropertyList(true)},
      {"date", PropertyList(Date{-1234.5})},
      {"data", PropertyList(PropertyList::Data{0, 1, 0xff})},
      {"array", PropertyList(PropertyList::Array{PropertyList(u"a"), PropertyList(2.5)})},
      {"dictionary", PropertyList(nested)},
      {"uid", PropertyList(PropertyListUid{7})},
  };
  {
    UserDefaults writer(file());
    for (const auto& [name, value] : cases) {
      SCOPED_TRACE(name);
      EXPECT_THAT(writer.setObject(value, fromUtf8(name)), IsOk());
    }
  }
  UserDefaults reader(file());
  for (const auto& [name, value] : cases) {
    SCOPED_TRACE(name);
    EXPECT_EQ(reader.objectForKey(fromUtf8(name)), value);
  }
  EXPECT_EQ(reader.objectForKey(u"absent"), std::nullopt);
}

TEST_F(UserDefaultsTest, BoolForKeyReadsBooleansAndNumbers) {
  const struct Case {
    const char* name;
    std::optional<PropertyList> value;
    bool expected;
  } cases[] = {
      {"absent", std::nullopt, false},
      {"yes", PropertyList(true), true},
      {"no", PropertyList(false), false},
      {"zero", PropertyList(0), false},
      {"minus_one", PropertyList(-1), true},
      {"huge", PropertyList(std::numeric_limits<std::uint64_t>::max()), true},
      {"real_zero", PropertyList(0.0), false},
      {"real_half", PropertyList(0.5), true},
      {"string_yes", PropertyList(u"YES"), false},
      {"data", PropertyList(PropertyList::Data{1}), false},
  };
  UserDefaults defaults(file());
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.value) {
      ASSERT_THAT(defaults.setObject(*c.value, fromUtf8(c.name)), IsOk());
    }
    EXPECT_EQ(defaults.boolForKey(fromUtf8(c.name)), c.expected);
  }
}

TEST_F(UserDefaultsTest, WritesAPrivateBinaryFileInAPrivateNewFolder) {
  const fs::path nestedFile = folder_.path("config/deeper/settings.plist");
  UserDefaults defaults(nestedFile);
  EXPECT_EQ(defaults.objectForKey(u"key"), std::nullopt);
  EXPECT_FALSE(fs::exists(nestedFile.parent_path())) << "reading must not create anything";

  ASSERT_THAT(defaults.setObject(PropertyList(u"value"), u"key"), IsOk());
  EXPECT_EQ(fs::status(nestedFile).permissions(), fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_EQ(fs::status(nestedFile.parent_path()).permissions() & ~fs::perms::owner_all,
            fs::perms::none);
  EXPECT_THAT(testsupport::readFileText(nestedFile), Optional(StartsWith("bplist00")));
  EXPECT_THAT(namesStartingWith(nestedFile.parent_path(), ".zv-write"), IsEmpty());
}

TEST_F(UserDefaultsTest, ArchivedObjectIsStoredAsDataThatDecodesSecurely) {
  const ArchivedObject styles = ArchivedObject::Array{u"first", u"second"};
  UserDefaults defaults(file());
  ASSERT_THAT(defaults.archiveObject(styles, u"QNTNoteTextStyles"), IsOk());
  const std::optional<PropertyList> stored =
      UserDefaults(file()).objectForKey(u"QNTNoteTextStyles");
  ASSERT_TRUE(stored && stored->asData() != nullptr);
  Result<ArchivedObject> decoded =
      unarchivedObject(*stored->asData(), {u"NSArray", u"NSString"}, KeyedArchiveClassRegistry());
  ASSERT_THAT(decoded, IsOk());
  EXPECT_EQ(*decoded, styles);
}

TEST_F(UserDefaultsTest, AChangeKeepsWhatAnotherWriterStoredMeanwhile) {
  UserDefaults first(file());
  UserDefaults second(file());
  ASSERT_THAT(first.setObject(PropertyList(1), u"a"), IsOk());
  EXPECT_EQ(second.objectForKey(u"a"), std::optional<PropertyList>(PropertyList(1)));
  ASSERT_THAT(first.setObject(PropertyList(2), u"b"), IsOk());
  EXPECT_EQ(second.objectForKey(u"b"), std::nullopt) << "read at first use, kept until reload";
  ASSERT_THAT(second.setObject(PropertyList(3), u"c"), IsOk());
  EXPECT_EQ(second.objectForKey(u"b"), std::optional<PropertyList>(PropertyList(2)));

  UserDefaults reader(file());
  for (const char16_t* key : {u"a", u"b", u"c"}) {
    EXPECT_TRUE(reader.objectForKey(key)) << toUtf8(key);
  }
  ASSERT_THAT(first.removeObjectForKey(u"c"), IsOk());
  ASSERT_THAT(first.removeObjectForKey(u"never there"), IsOk());
  second.reload();
  EXPECT_EQ(second.objectForKey(u"c"), std::nullopt);
  EXPECT_EQ(second.objectForKey(u"a"), std::optional<PropertyList>(PropertyList(1)));
}

TEST_F(UserDefaultsTest, DamagedFileIsKeptAsideWhole) {
  PropertyList::Array rootArray{PropertyList(u"not a dictionary")};
  const struct Case {
    const char* name;
    Bytes bytes;
    std::string logged;
  } cases[] = {
      {"not_a_property_list", bytesOf("{\"json\": true}"), "damaged"},
      {"empty", {}, "damaged"},
      {"truncated", bytesOf("bplist00\xd1\x01\x02"), "damaged"},
      {"root_is_an_array", binaryPropertyList(PropertyList(rootArray)), "not a dictionary"},
  };
  const CapturedLog log(logFile());
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path path = folder_.path(std::string(c.name) + ".plist");
    writeBytes(path, c.bytes);
    UserDefaults defaults(path);
    EXPECT_EQ(defaults.objectForKey(u"key"), std::nullopt);
    const std::vector<std::string> aside =
        namesStartingWith(folder_.path(), std::string(c.name) + ".plist.corrupt-");
    ASSERT_EQ(aside.size(), 1u);
    EXPECT_EQ(readFileBytes(folder_.path(aside[0])), c.bytes);
    EXPECT_FALSE(fs::exists(path)) << "nothing written before a change";

    ASSERT_THAT(defaults.setObject(PropertyList(true), u"key"), IsOk());
    EXPECT_EQ(UserDefaults(path).objectForKey(u"key"), std::optional<PropertyList>(true));
    EXPECT_EQ(readFileBytes(folder_.path(aside[0])), c.bytes);
    EXPECT_THAT(log.text(), AllOf(HasSubstr(c.logged), HasSubstr(aside[0])));
  }
}

// Damage found by a change is kept aside too, and later damage never replaces an earlier copy.
TEST_F(UserDefaultsTest, LaterDamageIsKeptAsideBesideEarlierCopies) {
  const CapturedLog log(logFile());
  UserDefaults defaults(file());
  ASSERT_THAT(defaults.setObject(PropertyList(1), u"before"), IsOk());
  writeBytes(file(), bytesOf("first damage"));
  ASSERT_THAT(defaults.setObject(PropertyList(2), u"after"), IsOk());
  UserDefaults reader(file());
  EXPECT_EQ(reader.objectForKey(u"before"), std::nullopt);
  EXPECT_EQ(reader.objectForKey(u"after"), std::optional<PropertyList>(2));
  for (const char* content : {"second damage", "third damage"}) {
    writeBytes(file(), bytesOf(content));
    UserDefaults(file()).objectForKey(u"key");
  }
  std::vector<std::string> contents;
  for (const std::string& name : namesStartingWith(folder_.path(), "settings.plist.corrupt-")) {
    contents.push_back(testsupport::readFileText(folder_.path(name)).value_or(""));
  }
  std::sort(contents.begin(), contents.end());
  EXPECT_EQ(contents, (std::vector<std::string>{"first damage", "second damage", "third damage"}));
}

TEST_F(UserDefaultsTest, OversizedFileIsTakenForDamagedWithoutBeingRead) {
  const CapturedLog log(logFile());
  { std::ofstream create(file()); }
  // Sparse: costs no disk.
  fs::resize_file(file(), UserDefaults::kMaximumFileSize + 1);
  UserDefaults defaults(file());
  EXPECT_EQ(defaults.objectForKey(u"key"), std::nullopt);
  const std::vector<std::string> aside =
      namesStartingWith(folder_.path(), "settings.plist.corrupt-");
  ASSERT_EQ(aside.size(), 1u);
  EXPECT_EQ(fs::file_size(folder_.path(aside[0])), UserDefaults::kMaximumFileSize + 1);
  EXPECT_THAT(log.text(), HasSubstr("larger than"));
}

TEST_F(UserDefaultsTest, UnreadableFileIsNeitherMovedNorReplaced) {
  const Bytes sound = [] {
    PropertyList::Dictionary values;
    values.set(u"precious", PropertyList(u"data"));
    return binaryPropertyList(PropertyList(values));
  }();
  const struct Case {
    const char* name;
    bool needsUnprivilegedUser;
    void (*make)(const fs::path& path, const Bytes& bytes);
  } cases[] = {
      {"no_permission", true,
       [](const fs::path& path, const Bytes& bytes) {
         writeBytes(path, bytes);
         fs::permissions(path, fs::perms::none);
       }},
      {"folder_at_the_path", false,
       [](const fs::path& path, const Bytes&) { fs::create_directory(path); }},
      {"fifo_at_the_path", false,
       [](const fs::path& path, const Bytes&) { ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0); }},
  };
  const CapturedLog log(logFile());
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.needsUnprivilegedUser && ::geteuid() == 0) {
      continue;  // root reads whatever the permissions say
    }
    const fs::path path = folder_.path(std::string(c.name) + ".plist");
    c.make(path, sound);
    const fs::file_status before = fs::symlink_status(path);
    UserDefaults defaults(path);
    EXPECT_EQ(defaults.objectForKey(u"precious"), std::nullopt);
    EXPECT_THAT(defaults.setObject(PropertyList(1), u"new"), Not(IsOk()));
    EXPECT_THAT(defaults.removeObjectForKey(u"precious"), Not(IsOk()));
    EXPECT_EQ(fs::symlink_status(path).type(), before.type());
    EXPECT_THAT(namesStartingWith(folder_.path(), std::string(c.name) + ".plist.corrupt"),
                IsEmpty());
    if (c.needsUnprivilegedUser) {
      fs::permissions(path, fs::perms::owner_read | fs::perms::owner_write);
      EXPECT_EQ(readFileBytes(path), sound);
    }
  }
}

// A link planted at the file or at its lock is refused and left as it is.
TEST_F(UserDefaultsTest, PlantedLinksAreNotFollowed) {
  PropertyList::Dictionary values;
  values.set(u"secret", PropertyList(u"elsewhere"));
  const Bytes victimBytes = binaryPropertyList(PropertyList(values));
  for (const char* linked : {"settings.plist", "settings.plist.lock"}) {
    SCOPED_TRACE(linked);
    const fs::path folder = folder_.path(linked).concat(".case");
    fs::create_directory(folder);
    writeBytes(folder / "victim", victimBytes);
    fs::create_symlink(folder / "victim", folder / linked);
    UserDefaults defaults(folder / "settings.plist");
    EXPECT_EQ(defaults.objectForKey(u"secret"), std::nullopt);
    EXPECT_THAT(defaults.setObject(PropertyList(1), u"key"),
                IsPlatformError(FileErrorCode::kSymbolicLink));
    EXPECT_TRUE(fs::is_symlink(folder / linked));
    EXPECT_EQ(readFileBytes(folder / "victim"), victimBytes);
    EXPECT_THAT(namesStartingWith(folder, "settings.plist.corrupt"), IsEmpty());
  }
}

TEST_F(UserDefaultsTest, ThreadsSharingOneObjectKeepEveryKey) {
  constexpr int kThreads = 4;
  constexpr int kKeysPerThread = 25;
  UserDefaults defaults(file());
  std::vector<std::thread> threads;
  threads.reserve(kThreads);
  for (int thread = 0; thread < kThreads; ++thread) {
    threads.emplace_back([&defaults, thread] {
      for (int index = 0; index < kKeysPerThread; ++index) {
        const std::u16string key = fromUtf8(std::to_string(thread) + "-" + std::to_string(index));
        EXPECT_THAT(defaults.setObject(PropertyList(index), key), IsOk());
        EXPECT_TRUE(defaults.objectForKey(key));
      }
    });
  }
  for (std::thread& thread : threads) {
    thread.join();
  }
  EXPECT_EQ(storedKeyCount(file()), std::size_t{kThreads} * kKeysPerThread);
}

// Two processes add 200 keys each while this one reads the file in a loop: every read must
// parse, and every key must survive.
TEST_F(UserDefaultsTest, TwoProcessesWritingKeepBothSetsOfKeysAndNeverTearTheFile) {
  constexpr int kWriters = 2;
  constexpr int kKeysPerWriter = 200;
  std::vector<pid_t> children;
  for (int writer = 0; writer < kWriters; ++writer) {
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      UserDefaults defaults(file());
      for (int index = 0; index < kKeysPerWriter; ++index) {
        const std::string key = "writer" + std::to_string(writer) + "-" + std::to_string(index);
        if (!defaults.setObject(PropertyList(index), fromUtf8(key))) {
          ::_exit(1);
        }
      }
      ::_exit(0);
    }
    children.push_back(child);
  }
  int reads = 0;
  int tornReads = 0;
  int running = kWriters;
  while (running > 0) {
    // The file only ever appears by a rename: once there, every read must parse.
    if (fs::exists(file())) {
      ++reads;
      tornReads += storedKeyCount(file()) == 0 ? 1 : 0;
    }
    for (pid_t& child : children) {
      int status = 0;
      if (child > 0 && ::waitpid(child, &status, WNOHANG) == child) {
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
        child = 0;
        --running;
      }
    }
  }
  EXPECT_GT(reads, 0);
  EXPECT_EQ(tornReads, 0);
  EXPECT_EQ(storedKeyCount(file()), std::size_t{kWriters} * kKeysPerWriter);
  EXPECT_THAT(namesStartingWith(folder_.path(), ".zv-write"), IsEmpty());
}

TEST(UserDefaultsPath, FollowsTheConfigurationHomeWhenItIsAbsolute) {
  const std::string fileName = toUtf8(kBundleIdentifier) + ".plist";
  const testsupport::ScopedEnvironmentVariable home("HOME", "/home/tester");
  const testsupport::ScopedEnvironmentVariable configHome("XDG_CONFIG_HOME", std::nullopt);
  const struct Case {
    const char* name;
    std::optional<std::string> configHome;
    std::string expected;
  } cases[] = {
      {"absolute", "/srv/config", "/srv/config/" + fileName},
      {"relative_is_ignored", "relative/config", "/home/tester/.config/" + fileName},
      {"empty_is_ignored", "", "/home/tester/.config/" + fileName},
      {"unset", std::nullopt, "/home/tester/.config/" + fileName},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    configHome.set(c.configHome);
    EXPECT_EQ(UserDefaults::standardUserDefaultsPath(), fs::path(c.expected));
  }
}

}  // namespace
}  // namespace zv::platform
