#include <fcntl.h>
#include <poll.h>
#include <sdbus-c++/sdbus-c++.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>
#include <thread>
#include <utility>

#include "platform/desktop_entry.h"
#include "platform/localization.h"
#include "platform/scoped_descriptor.h"
#include "platform/unicode.h"
#include "platform/workspace.h"

extern char** environ;  // NOLINT(readability-redundant-declaration): posix_spawn wants it

namespace zv::platform {

namespace {

constexpr char kBusName[] = "org.freedesktop.DBus";
constexpr char kBusPath[] = "/org/freedesktop/DBus";
constexpr char kAccessDenied[] = "org.freedesktop.DBus.Error.AccessDenied";
constexpr char kAutomationPath[] = "/org/example/Automation1";
constexpr char kAutomationInterface[] = "org.example.Automation1";
constexpr char kApplicationInterface[] = "org.freedesktop.Application";
constexpr char kFileManagerName[] = "org.freedesktop.FileManager1";
constexpr char kFileManagerPath[] = "/org/freedesktop/FileManager1";

// The user may be asked for permission, so the answer may take as long as a person does.
constexpr auto kPermissionTimeout = std::chrono::minutes(2);
// A program that is still running after this long has started; one that ended failing before
// it did not.
constexpr int kStartWindowMilliseconds = 1000;

Error workspaceError(WorkspaceErrorCode code, std::u16string description) {
  return Error{kWorkspaceErrorDomain, code, std::move(description)};
}

std::u16string errnoText(int error) {
  return fromUtf8(std::strerror(error));
}

// The desktop file ID of an application URL (the file name without ".desktop").
std::optional<std::string> identifierOfApplicationAtURL(const URL& url) {
  if (!url.isFileURL()) {
    return std::nullopt;
  }
  std::string name = toUtf8(url.lastPathComponent());
  constexpr std::string_view kSuffix = ".desktop";
  if (name.size() <= kSuffix.size() || !name.ends_with(kSuffix)) {
    return std::nullopt;
  }
  name.resize(name.size() - kSuffix.size());
  if (!isValidApplicationIdentifier(name)) {
    return std::nullopt;
  }
  return name;
}

struct Application {
  std::string identifier;
  std::string path;
  DesktopEntry entry;
};

Result<Application> applicationAtURL(const URL& url) {
  std::optional<std::string> identifier = identifierOfApplicationAtURL(url);
  if (!identifier) {
    return workspaceError(kLaunchFailedErrorCode,
                          formatLocalized(u"%@ is not an application.", {url.path()}));
  }
  std::string path = url.fileSystemPath();
  Result<DesktopEntry> entry = readDesktopEntryFile(path);
  if (!entry.ok()) {
    return workspaceError(kLaunchFailedErrorCode,
                          formatLocalized(u"The application %@ cannot be read: %@",
                                          {fromUtf8(*identifier), entry.error().description}));
  }
  return Application{*std::move(identifier), std::move(path), *std::move(entry)};
}

Error busError(const sdbus::Error& error, WorkspaceErrorCode code, std::string_view name) {
  std::string message = error.getMessage().empty() ? error.getName() : error.getMessage();
  return workspaceError(
      code, formatLocalized(u"Could not open %@: %@", {fromUtf8(name), fromUtf8(message)}));
}

std::optional<pid_t> processOfBusName(sdbus::IProxy& bus, const std::string& name) {
  try {
    std::uint32_t pid = 0;
    bus.callMethod("GetConnectionUnixProcessID")
        .onInterface(kBusName)
        .withArguments(name)
        .storeResultsTo(pid);
    return static_cast<pid_t>(pid);
  } catch (const sdbus::Error&) {
    return std::nullopt;  // a bus may keep the process to itself; the name is what we use
  }
}

// The running owner of the name, started by the bus when nobody owns it yet.
Result<RunningApplication> startOrFindByBusName(const std::string& name) {
  try {
    std::unique_ptr<sdbus::IConnection> connection = sdbus::createSessionBusConnection();
    std::unique_ptr<sdbus::IProxy> bus = sdbus::createProxy(*connection, kBusName, kBusPath);
    bool hasOwner = false;
    bus->callMethod("NameHasOwner")
        .onInterface(kBusName)
        .withArguments(name)
        .storeResultsTo(hasOwner);
    if (!hasOwner) {
      std::uint32_t reply = 0;
      bus->callMethod("StartServiceByName")
          .onInterface(kBusName)
          .withArguments(name, std::uint32_t{0})
          .storeResultsTo(reply);
    }
    return RunningApplication{fromUtf8(name), name, processOfBusName(*bus, name)};
  } catch (const sdbus::Error& error) {
    return busError(error, kLaunchFailedErrorCode, name);
  }
}

// The object path under which an application serves org.freedesktop.Application.
std::string applicationObjectPath(std::string_view identifier) {
  std::string path = "/";
  for (char c : identifier) {
    path += c == '.' ? '/' : c == '-' ? '_' : c;
  }
  return path;
}

Result<RunningApplication> openWithApplicationInterface(const std::string& identifier,
                                                        const std::vector<URL>& urls) {
  std::vector<std::string> uris;
  uris.reserve(urls.size());
  for (const URL& url : urls) {
    uris.push_back(toUtf8(url.absoluteString()));
  }
  try {
    std::unique_ptr<sdbus::IConnection> connection = sdbus::createSessionBusConnection();
    std::unique_ptr<sdbus::IProxy> application =
        sdbus::createProxy(*connection, identifier, applicationObjectPath(identifier));
    application->callMethod("Open")
        .onInterface(kApplicationInterface)
        .withArguments(uris, std::map<std::string, sdbus::Variant>{});
    std::unique_ptr<sdbus::IProxy> bus = sdbus::createProxy(*connection, kBusName, kBusPath);
    return RunningApplication{fromUtf8(identifier), identifier, processOfBusName(*bus, identifier)};
  } catch (const sdbus::Error& error) {
    return busError(error, kOpenFailedErrorCode, identifier);
  }
}

// Waits for the child in the background so that it never lingers as a zombie.
void reapInBackground(pid_t pid) {
  std::thread([pid] {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
  }).detach();
}

// Starts the program in a session of its own, with stdin from /dev/null and signals reset, so
// that it outlives us and our terminal's signals do not reach it.
Result<pid_t> spawnDetached(const std::vector<std::string>& argv,
                            const std::optional<std::string>& workingDirectory) {
  std::vector<char*> arguments;
  for (const std::string& argument : argv) {
    arguments.push_back(const_cast<char*>(argument.c_str()));  // NOLINT: posix_spawn's type
  }
  arguments.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attributes;
  posix_spawn_file_actions_init(&actions);
  posix_spawnattr_init(&attributes);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  if (workingDirectory) {
    posix_spawn_file_actions_addchdir_np(&actions, workingDirectory->c_str());
  }
  sigset_t signals;
  sigemptyset(&signals);
  posix_spawnattr_setsigmask(&attributes, &signals);
  sigfillset(&signals);
  posix_spawnattr_setsigdefault(&attributes, &signals);
  posix_spawnattr_setflags(&attributes,
                           POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  pid_t pid = 0;
  const int error =
      ::posix_spawnp(&pid, arguments[0], &actions, &attributes, arguments.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  if (error != 0) {
    return workspaceError(
        kLaunchFailedErrorCode,
        formatLocalized(u"Could not start %@: %@", {fromUtf8(argv[0]), errnoText(error)}));
  }
  return pid;
}

// The child's status if it ends within the start window; nothing while it keeps running.
std::optional<int> statusWithinStartWindow(pid_t pid) {
  const int pidDescriptor = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
  if (pidDescriptor >= 0) {
    ScopedDescriptor owner(pidDescriptor);
    pollfd entry{pidDescriptor, POLLIN, 0};
    int ready = 0;
    do {
      ready = ::poll(&entry, 1, kStartWindowMilliseconds);
    } while (ready < 0 && errno == EINTR);
    if (ready == 0) {
      return std::nullopt;
    }
  } else {
    // Kernels without process descriptors: look now and then instead.
    for (int waited = 0; waited < kStartWindowMilliseconds; waited += 10) {
      int status = 0;
      if (::waitpid(pid, &status, WNOHANG) == pid) {
        return status;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return std::nullopt;
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) {
      return std::nullopt;
    }
  }
  return status;
}

Result<void> runUntilStarted(const std::vector<std::string>& argv,
                             const std::optional<std::string>& workingDirectory) {
  ZV_ASSIGN_OR_RETURN(pid_t pid, spawnDetached(argv, workingDirectory));
  const std::optional<int> status = statusWithinStartWindow(pid);
  if (!status) {
    reapInBackground(pid);
    return {};
  }
  if (WIFEXITED(*status) && WEXITSTATUS(*status) == 0) {
    return {};
  }
  if (WIFSIGNALED(*status)) {
    return workspaceError(
        kOpenFailedErrorCode,
        formatLocalized(u"%@ ended on signal %ld.",
                        {fromUtf8(argv[0]), static_cast<std::int64_t>(WTERMSIG(*status))}));
  }
  return workspaceError(
      kOpenFailedErrorCode,
      formatLocalized(u"%@ exited with status %ld.",
                      {fromUtf8(argv[0]), static_cast<std::int64_t>(WEXITSTATUS(*status))}));
}

class DesktopWorkspace final : public Workspace {
 public:
  explicit DesktopWorkspace(std::vector<std::string> dataFolders)
      : dataFolders_(std::move(dataFolders)) {}

  ~DesktopWorkspace() override {
    std::vector<Worker> workers;
    {
      std::lock_guard lock(mutex_);
      workers.swap(workers_);
    }
    for (Worker& worker : workers) {
      worker.thread.join();
    }
  }

  DesktopWorkspace(const DesktopWorkspace&) = delete;
  DesktopWorkspace& operator=(const DesktopWorkspace&) = delete;

  std::optional<URL> URLForApplicationWithBundleIdentifier(
      std::u16string_view bundleIdentifier) const override {
    std::optional<std::string> path = findDesktopEntryFile(toUtf8(bundleIdentifier), dataFolders_);
    if (!path) {
      return std::nullopt;
    }
    return URL::fileURLWithFileSystemPath(*path);
  }

  std::optional<std::u16string> shortVersionStringOfApplicationAtURL(
      const URL& applicationURL) const override {
    Result<Application> application = applicationAtURL(applicationURL);
    if (!application.ok()) {
      return std::nullopt;
    }
    std::optional<std::string> version =
        applicationVersion(application->identifier, application->entry, dataFolders_);
    if (!version) {
      return std::nullopt;
    }
    return fromUtf8(*version);
  }

  // Bus activation never raises a window, so activates has nothing to turn off.
  void openApplicationAtURL(const URL& applicationURL, bool /*activates*/,
                            OpenCompletion completion) override {
    Result<Application> application = applicationAtURL(applicationURL);
    if (!application.ok()) {
      runInBackground([completion = std::move(completion), error = application.error()] {
        completion(std::nullopt, error);
      });
      return;
    }
    runInBackground([completion = std::move(completion), name = application->identifier] {
      report(completion, startOrFindByBusName(name));
    });
  }

  std::int32_t determinePermissionToAutomateTarget(const RunningApplication& target) override {
    if (target.busName.empty()) {
      return 0;
    }
    try {
      std::unique_ptr<sdbus::IConnection> connection = sdbus::createSessionBusConnection();
      std::unique_ptr<sdbus::IProxy> automation =
          sdbus::createProxy(*connection, target.busName, kAutomationPath);
      automation->callMethod("RequestPermission")
          .onInterface(kAutomationInterface)
          .withTimeout(kPermissionTimeout);
    } catch (const sdbus::Error& error) {
      // Only a refusal stops us; an application that does not know the question is not asked.
      if (error.getName() == kAccessDenied) {
        return kAutomationNotPermitted;
      }
    }
    return 0;
  }

  void openURLsWithApplicationAtURL(const std::vector<URL>& urls, const URL& applicationURL,
                                    OpenCompletion completion) override {
    Result<Application> application = applicationAtURL(applicationURL);
    if (!application.ok()) {
      runInBackground([completion = std::move(completion), error = application.error()] {
        completion(std::nullopt, error);
      });
      return;
    }
    if (application->entry.booleanValue("DBusActivatable")) {
      runInBackground([completion = std::move(completion), name = application->identifier, urls] {
        report(completion, openWithApplicationInterface(name, urls));
      });
      return;
    }
    Result<std::vector<std::string>> argv = execArguments(*application, urls);
    if (!argv.ok()) {
      runInBackground([completion = std::move(completion), error = argv.error()] {
        completion(std::nullopt, error);
      });
      return;
    }
    runInBackground([completion = std::move(completion), argv = *std::move(argv),
                     workingDirectory = application->entry.stringValue("Path"),
                     identifier = application->identifier] {
      Result<void> started = runUntilStarted(argv, workingDirectory);
      if (!started.ok()) {
        completion(std::nullopt, started.error());
        return;
      }
      completion(RunningApplication{fromUtf8(identifier), {}, std::nullopt}, std::nullopt);
    });
  }

  void selectFileInFileViewer(const URL& file, const URL& rootFolder) override {
    runInBackground([file, rootFolder] {
      try {
        std::unique_ptr<sdbus::IConnection> connection = sdbus::createSessionBusConnection();
        std::unique_ptr<sdbus::IProxy> fileManager =
            sdbus::createProxy(*connection, kFileManagerName, kFileManagerPath);
        fileManager->callMethod("ShowItems")
            .onInterface(kFileManagerName)
            .withArguments(std::vector<std::string>{toUtf8(file.absoluteString())}, std::string());
        return;
      } catch (const sdbus::Error&) {
        // No file manager on the bus: the folder in whatever opens folders.
      }
      Result<pid_t> opener = spawnDetached({"xdg-open", rootFolder.fileSystemPath()}, {});
      if (opener.ok()) {
        reapInBackground(*opener);
      }
      opener.ignoreError();  // without xdg-open there is nothing left to show it with
    });
  }

 private:
  static void report(const OpenCompletion& completion, Result<RunningApplication> result) {
    if (!result.ok()) {
      completion(std::nullopt, std::move(result).error());
      return;
    }
    completion(*std::move(result), std::nullopt);
  }

  static Result<std::vector<std::string>> execArguments(const Application& application,
                                                        const std::vector<URL>& urls) {
    std::optional<std::string> exec = application.entry.stringValue("Exec");
    if (!exec) {
      return workspaceError(kInvalidDesktopEntryErrorCode,
                            formatLocalized(u"The application %@ has no Exec line.",
                                            {fromUtf8(application.identifier)}));
    }
    return expandExecLine(
        *exec,
        ExecFieldValues{urls, application.entry.stringValue("Icon").value_or(""),
                        application.entry.stringValue("Name").value_or(""), application.path});
  }

  struct Worker {
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> finished;
  };

  // A program that runs for long (the desktop program) opens and reveals many times: the
  // threads that have finished are joined as new ones start, so that none piles up.
  void runInBackground(std::function<void()> job) {
    std::lock_guard lock(mutex_);
    std::erase_if(workers_, [](Worker& worker) {
      if (!worker.finished->load()) {
        return false;
      }
      worker.thread.join();
      return true;
    });
    auto finished = std::make_shared<std::atomic<bool>>(false);
    workers_.push_back(Worker{std::thread([job = std::move(job), finished] {
                                job();
                                finished->store(true);
                              }),
                              finished});
  }

  const std::vector<std::string> dataFolders_;
  std::mutex mutex_;
  std::vector<Worker> workers_;
};

}  // namespace

std::unique_ptr<Workspace> makeDesktopWorkspace(std::vector<std::string> dataFolders) {
  return std::make_unique<DesktopWorkspace>(std::move(dataFolders));
}

std::unique_ptr<Workspace> makeDesktopWorkspace() {
  return makeDesktopWorkspace(xdgDataFoldersFromEnvironment());
}

}  // namespace zv::platform
