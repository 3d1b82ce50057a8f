#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sdbus-c++/sdbus-c++.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/desktop_entry.h"
#include "platform/unicode.h"
#include "platform/workspace.h"
#include "testsupport/file_contents.h"
#include "testsupport/result_matchers.h"
#include "testsupport/temporary_folder.h"

extern char** environ;  // NOLINT(readability-redundant-declaration)

namespace zv::platform {
namespace {

using testing::ElementsAre;
using testing::HasSubstr;

void writeFile(const std::filesystem::path& path, std::string_view text) {
  std::filesystem::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << text;
}

struct Opened {
  std::optional<RunningApplication> application;
  std::optional<Error> error;
};

// Waits for an open call's completion, which comes on a thread of the workspace.
class OpenWaiter {
 public:
  Workspace::OpenCompletion completion() {
    return [this](std::optional<RunningApplication> application, std::optional<Error> error) {
      promise_.set_value(Opened{std::move(application), std::move(error)});
    };
  }
  Opened wait() { return promise_.get_future().get(); }

 private:
  std::promise<Opened> promise_;
};

class DesktopWorkspaceTest : public testsupport::TemporaryFolderTest {
 protected:
  DesktopWorkspaceTest() : workspace_(makeDesktopWorkspace({folder_.path("data").string()})) {}

  URL install(std::string_view identifier, std::string_view entry) {
    const std::filesystem::path path =
        folder_.path("data/applications/" + std::string(identifier) + ".desktop");
    writeFile(path, entry);
    return URL::fileURLWithFileSystemPath(path.string());
  }

  std::unique_ptr<Workspace> workspace_;
};

TEST_F(DesktopWorkspaceTest, LocatesAndReadsTheVersion) {
  EXPECT_EQ(workspace_->URLForApplicationWithBundleIdentifier(u"org.example.zelvar"), std::nullopt);
  const URL url = install("org.example.zelvar", "[Desktop Entry]\nX-AppVersion=1.4.2\n");
  EXPECT_EQ(workspace_->URLForApplicationWithBundleIdentifier(u"org.example.zelvar"), url);
  EXPECT_EQ(workspace_->shortVersionStringOfApplicationAtURL(url), u"1.4.2");
  EXPECT_EQ(workspace_->shortVersionStringOfApplicationAtURL(at(u"elsewhere.desktop")),
            std::nullopt);
}

TEST_F(DesktopWorkspaceTest, HandsTheURLToTheExecLine) {
  const std::filesystem::path script = folder_.path("quennet.sh");
  writeFile(script, "#!/bin/sh\nprintf %s \"$1\" > \"$(dirname \"$0\")/received\"\nexit $2\n");
  ::chmod(script.c_str(), 0700);
  const URL handOver = *URL::fromString(u"quennet://library?location=x");
  struct Case {
    const char* name;
    std::string exec;
    std::optional<std::string> errorText;  // none: the hand-over succeeds
  };
  const Case cases[] = {
      {"program exits 0", "\"" + script.string() + "\" %u 0", std::nullopt},
      {"program exits 3", "\"" + script.string() + "\" %u 3", "exited with status 3"},
      {"program missing", folder_.path("absent").string() + " %u", "Could not start"},
      {"no field code for the URL", script.string(), "cannot open"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove(folder_.path("received"));
    const URL quennet = install("org.example.quennet", "[Desktop Entry]\nExec=" + c.exec + "\n");
    OpenWaiter waiter;
    workspace_->openURLsWithApplicationAtURL({handOver}, quennet, waiter.completion());
    Opened opened = waiter.wait();
    if (c.errorText) {
      ASSERT_TRUE(opened.error.has_value());
      EXPECT_THAT(toUtf8(opened.error->description), HasSubstr(*c.errorText));
      EXPECT_FALSE(opened.application.has_value());
      continue;
    }
    EXPECT_FALSE(opened.error.has_value()) << toUtf8(opened.error->description);
    EXPECT_EQ(testsupport::readFileText(folder_.path("received")), "quennet://library?location=x");
  }
}

// A session bus of our own, so that the tests neither see nor disturb the user's.
class PrivateBusTest : public DesktopWorkspaceTest {
 protected:
  void SetUp() override {
    const char* daemon = "/usr/bin/dbus-daemon";
    if (::access(daemon, X_OK) != 0) {
      GTEST_SKIP() << "dbus-daemon is not installed";
    }
    std::filesystem::create_directories(folder_.path("services"));
    writeFile(folder_.path("bus.conf"),
              "<busconfig><type>session</type><listen>unix:dir=" + folder_.path().string() +
                  "</listen><servicedir>" + folder_.path("services").string() +
                  "</servicedir><policy context=\"default\"><allow send_destination=\"*\"/>"
                  "<allow receive_sender=\"*\"/>"
                  "<allow own=\"*\"/></policy></busconfig>");
    int output[2];
    ASSERT_EQ(::pipe(output), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, output[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, output[0]);
    // Its complaints would only clutter the test's output, and a daemon left behind by a crash
    // must not hold the test runner's pipes open.
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    const std::string config = "--config-file=" + folder_.path("bus.conf").string();
    std::vector<char*> argv = {const_cast<char*>(daemon), const_cast<char*>(config.c_str()),
                               const_cast<char*>("--print-address"), const_cast<char*>("--nofork"),
                               nullptr};
    ASSERT_EQ(::posix_spawn(&daemon_, daemon, &actions, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    ::close(output[1]);
    std::string address;
    char c = 0;
    while (::read(output[0], &c, 1) == 1 && c != '\n') {
      address += c;
    }
    ::close(output[0]);
    ASSERT_FALSE(address.empty());
    if (const char* previous = std::getenv("DBUS_SESSION_BUS_ADDRESS")) {
      previousAddress_ = previous;
    }
    ::setenv("DBUS_SESSION_BUS_ADDRESS", address.c_str(), 1);
  }

  void TearDown() override {
    services_.clear();
    if (daemon_ > 0) {
      ::kill(daemon_, SIGTERM);
      ::waitpid(daemon_, nullptr, 0);
    }
    if (previousAddress_) {
      ::setenv("DBUS_SESSION_BUS_ADDRESS", previousAddress_->c_str(), 1);
    } else {
      ::unsetenv("DBUS_SESSION_BUS_ADDRESS");
    }
  }

  // A service under the name; its methods answer on a thread of their own.
  struct Service {
    std::unique_ptr<sdbus::IConnection> connection;
    std::vector<std::unique_ptr<sdbus::IObject>> objects;
    ~Service() { connection->leaveEventLoop(); }
  };
  Service& serve(const std::string& name, const std::function<void(Service&)>& addObjects) {
    auto service = std::make_unique<Service>();
    service->connection = sdbus::createSessionBusConnection(name);
    addObjects(*service);
    service->connection->enterEventLoopAsync();
    services_.push_back(std::move(service));
    return *services_.back();
  }

  void serveAutomation(const std::string& name, bool deny) {
    serve(name, [deny](Service& service) {
      auto object = sdbus::createObject(*service.connection, "/org/example/Automation1");
      object->registerMethod("RequestPermission")
          .onInterface("org.example.Automation1")
          .implementedAs([deny] {
            if (deny) {
              throw sdbus::Error("org.freedesktop.DBus.Error.AccessDenied", "no");
            }
          });
      object->finishRegistration();
      service.objects.push_back(std::move(object));
    });
  }

  pid_t daemon_ = 0;
  std::optional<std::string> previousAddress_;
  std::vector<std::unique_ptr<Service>> services_;
};

TEST_F(PrivateBusTest, OpenFindsTheRunningOwnerOrReportsTheBus) {
  serveAutomation("org.example.running", false);
  writeFile(folder_.path("services/org.example.broken.service"),
            "[D-BUS Service]\nName=org.example.broken\nExec=/bin/false\n");
  struct Case {
    const char* name;
    std::string identifier;
    bool opens;
  };
  const Case cases[] = {
      {"running", "org.example.running", true},
      {"not installed on the bus", "org.example.absent", false},
      {"activation fails", "org.example.broken", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const URL url = install(c.identifier, "[Desktop Entry]\nExec=x\n");
    OpenWaiter waiter;
    workspace_->openApplicationAtURL(url, false, waiter.completion());
    Opened opened = waiter.wait();
    if (!c.opens) {
      ASSERT_TRUE(opened.error.has_value());
      EXPECT_THAT(toUtf8(opened.error->description), HasSubstr(c.identifier));
      continue;
    }
    ASSERT_TRUE(opened.application.has_value());
    EXPECT_EQ(opened.application->busName, c.identifier);
    EXPECT_EQ(opened.application->processIdentifier, ::getpid());
  }
}

TEST_F(PrivateBusTest, OnlyARefusalDeniesPermission) {
  serveAutomation("org.example.allows", false);
  serveAutomation("org.example.denies", true);
  serve("org.example.silent", [](Service&) {});
  struct Case {
    std::string busName;
    std::int32_t expected;
  };
  const Case cases[] = {
      {"org.example.allows", 0},
      {"org.example.denies", kAutomationNotPermitted},
      {"org.example.silent", 0},
      {"org.example.nobody", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.busName);
    EXPECT_EQ(workspace_->determinePermissionToAutomateTarget({u"", c.busName, std::nullopt}),
              c.expected);
  }
}

TEST_F(PrivateBusTest, BusActivatableApplicationsGetTheURLsOverTheBus) {
  std::mutex mutex;
  std::vector<std::string> received;
  serve("org.example.quennet-app", [&](Service& service) {
    auto object = sdbus::createObject(*service.connection, "/org/example/quennet_app");
    object->registerMethod("Open")
        .onInterface("org.freedesktop.Application")
        .implementedAs([&](const std::vector<std::string>& uris,
                           const std::map<std::string, sdbus::Variant>&) {
          std::lock_guard lock(mutex);
          received = uris;
        });
    object->finishRegistration();
    service.objects.push_back(std::move(object));
  });
  const URL url =
      install("org.example.quennet-app", "[Desktop Entry]\nDBusActivatable=true\nExec=false\n");
  OpenWaiter waiter;
  workspace_->openURLsWithApplicationAtURL({*URL::fromString(u"quennet://library?location=y")}, url,
                                           waiter.completion());
  Opened opened = waiter.wait();
  EXPECT_FALSE(opened.error.has_value());
  std::lock_guard lock(mutex);
  EXPECT_THAT(received, ElementsAre("quennet://library?location=y"));
}

TEST_F(PrivateBusTest, RevealsTheFileThroughTheFileManager) {
  std::promise<std::vector<std::string>> shown;
  serve("org.freedesktop.FileManager1", [&](Service& service) {
    auto object = sdbus::createObject(*service.connection, "/org/freedesktop/FileManager1");
    object->registerMethod("ShowItems")
        .onInterface("org.freedesktop.FileManager1")
        .implementedAs([&](const std::vector<std::string>& uris, const std::string&) {
          shown.set_value(uris);
        });
    object->finishRegistration();
    service.objects.push_back(std::move(object));
  });
  workspace_->selectFileInFileViewer(at(u"Logs/a.log"), at(u"Logs", true));
  EXPECT_THAT(shown.get_future().get(), ElementsAre(toUtf8(at(u"Logs/a.log").absoluteString())));
}

}  // namespace
}  // namespace zv::platform
