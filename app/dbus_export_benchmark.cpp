// Times whole exports of one library snapshot read directly and read from zelvar-sim over a
// private session bus, taking turns, and prints each one's median and the ratio of the two.
// Usage: zelvar-dbus-export-benchmark ZELVAR_SIM LIBRARY_DIR WORK_DIR [ROUNDS]
// Every export goes into a container of its own under WORK_DIR, which is left for the caller to
// remove.

#include <fcntl.h>
#include <sdbus-c++/sdbus-c++.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "export/export_operation.h"
#include "platform/log.h"
#include "platform/operation_queue.h"
#include "platform/run_loop_main_queue.h"
#include "platform/unicode.h"
#include "source/dbus_source_library.h"
#include "source/dbus_test_bus.h"
#include "source/library_snapshot.h"

namespace {

constexpr char kBusName[] = "org.example.zelvar.benchmark";

// Seconds the export took, or a negative number when it failed.
double timeExport(const std::shared_ptr<zv::source::SourceLibrary>& library,
                  const std::string& container) {
  zv::platform::RunLoopMainQueue mainQueue;
  auto operation = std::make_shared<zv::exporter::ZVExportOperation>(library, mainQueue);
  operation->setExportPasswordItems(true);
  operation->setExportEncryptedItems(true);
  operation->setContainerURL(zv::platform::URL::fileURLWithFileSystemPath(container, true));
  bool done = false;
  bool failed = false;
  operation->setExportCompletionBlock([&](auto error, auto) {
    done = true;
    if (error) {
      std::fprintf(stderr, "export failed: %s\n", zv::platform::toUtf8(error->description).c_str());
      failed = true;
    }
  });
  const auto started = std::chrono::steady_clock::now();
  zv::platform::OperationQueue queue;
  queue.addOperation(operation);
  mainQueue.runUntil([&] { return done; });
  queue.waitUntilAllOperationsAreFinished();
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  return failed ? -1 : seconds;
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fputs("Usage: zelvar-dbus-export-benchmark ZELVAR_SIM LIBRARY_DIR WORK_DIR [ROUNDS]\n",
               stderr);
    return 2;
  }
  const std::string sim = argv[1];
  const std::string libraryFolder = argv[2];
  const std::string work = argv[3];
  const int rounds =
      argc > 4 ? std::max(1, static_cast<int>(std::strtol(argv[4], nullptr, 10))) : 3;

  auto snapshot = zv::source::openLibrarySnapshot(libraryFolder);
  if (!snapshot) {
    std::fprintf(stderr, "cannot open %s: %s\n", libraryFolder.c_str(),
                 zv::platform::toUtf8(snapshot.error().description).c_str());
    return 2;
  }
  const std::shared_ptr<zv::source::SourceLibrary> direct(std::move(*snapshot));

  zv::source::PrivateBus bus;
  if (!bus.running()) {
    std::fputs("cannot start dbus-daemon\n", stderr);
    return 1;
  }
  const std::string addressVariable = "DBUS_SESSION_BUS_ADDRESS=" + bus.address();
  std::vector<char*> environment;
  for (char** variable = environ; *variable != nullptr; ++variable) {
    environment.push_back(*variable);
  }
  environment.push_back(const_cast<char*>(addressVariable.c_str()));
  environment.push_back(nullptr);
  std::vector<std::string> simArguments = {sim, "--library", libraryFolder, "--name", kBusName};
  std::vector<char*> simArgv;
  simArgv.reserve(simArguments.size() + 1);
  for (std::string& argument : simArguments) {
    simArgv.push_back(argument.data());
  }
  simArgv.push_back(nullptr);
  pid_t simPid = -1;
  if (posix_spawn(&simPid, sim.c_str(), nullptr, nullptr, simArgv.data(), environment.data()) !=
      0) {
    std::fprintf(stderr, "cannot start %s\n", sim.c_str());
    return 1;
  }
  // zelvar-sim loads the library before it takes its name.
  auto connection = sdbus::createSessionBusConnectionWithAddress(bus.address());
  auto daemon = sdbus::createProxy(*connection, "org.freedesktop.DBus", "/org/freedesktop/DBus");
  for (bool owned = false; !owned;) {
    daemon->callMethod("NameHasOwner")
        .onInterface("org.freedesktop.DBus")
        .withArguments(std::string(kBusName))
        .storeResultsTo(owned);
    int status = 0;
    if (!owned && ::waitpid(simPid, &status, WNOHANG) == simPid) {
      std::fputs("zelvar-sim ended before it served the library\n", stderr);
      return 1;
    }
    if (!owned) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }
  const std::shared_ptr<zv::source::SourceLibrary> overBus =
      zv::source::makeDBusSourceLibrary(kBusName, bus.address());

  const int devNull = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  const int previousLog = zv::platform::setLogFileDescriptor(devNull);
  std::vector<double> directTimes;
  std::vector<double> busTimes;
  bool failed = false;
  for (int round = 0; round < rounds && !failed; ++round) {
    const double directTime = timeExport(direct, work + "/direct" + std::to_string(round));
    const double busTime = timeExport(overBus, work + "/bus" + std::to_string(round));
    failed = directTime < 0 || busTime < 0;
    directTimes.push_back(directTime);
    busTimes.push_back(busTime);
  }
  zv::platform::setLogFileDescriptor(previousLog);
  ::close(devNull);
  ::kill(simPid, SIGTERM);
  int status = 0;
  ::waitpid(simPid, &status, 0);
  if (failed) {
    return 1;
  }
  const double directMedian = median(directTimes);
  const double busMedian = median(busTimes);
  std::printf("snapshot read directly: %.3f s (median of %d)\n", directMedian, rounds);
  std::printf("over D-Bus from zelvar-sim: %.3f s (median of %d)\n", busMedian, rounds);
  std::printf("ratio: %.2f\n", busMedian / directMedian);
  return 0;
}
