// zelvar-importer: the desktop program that moves a Zelvar library into Quennet.

#include <QApplication>
#include <QFile>
#include <QIcon>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "app/app_delegate.h"
#include "app/live_source.h"
#include "app/main_window.h"
#include "app/qt_main_queue.h"
#include "app/run_log.h"
#include "platform/bundle_info.h"
#include "platform/log.h"
#include "platform/main_queue.h"
#include "platform/workspace.h"
#include "richtext/rtf_reader.h"

namespace {

std::optional<zv::richtext::AttributedString> readInstructions() {
  QFile file(QStringLiteral(":/Instructions.rtf"));
  if (!file.open(QIODevice::ReadOnly)) {
    return std::nullopt;
  }
  const QByteArray bytes = file.readAll();
  auto text = zv::richtext::attributedStringFromRTF(
      std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(bytes.constData()),
                                    static_cast<std::size_t>(bytes.size())));
  if (!text) {
    zv::platform::logFormat(u"Cannot read the instructions: %@", {text.error().description});
    return std::nullopt;
  }
  return *std::move(text);
}

}  // namespace

int main(int argc, char** argv) {
  QApplication application(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Zelvar Importer"));
  QApplication::setApplicationVersion(QString::fromUtf16(zv::platform::kBundleShortVersionString));
  QApplication::setDesktopFileName(QStringLiteral("org.example.zelvar-importer"));
  QApplication::setWindowIcon(
      QIcon::fromTheme(QStringLiteral("org.example.zelvar-importer"),
                       QIcon(QStringLiteral(":/icons/org.example.zelvar-importer.svg"))));

  zv::app::QtMainQueue mainQueue;
  zv::platform::setMainQueue(&mainQueue);
  std::unique_ptr<zv::platform::Workspace> workspace = zv::platform::makeDesktopWorkspace();

  zv::app::AppEnvironment environment;
  environment.workspace = workspace.get();
  environment.makeSource = zv::app::makeLiveSourceFactory(*workspace);
  environment.alertPresenter = zv::app::makeMessageBoxAlertPresenter();
  environment.readInstructions = readInstructions;
  // Closed at quit, or when main returns if the program ends another way.
  std::optional<zv::app::LogFileStream> logFile;
  environment.runLog.open = [&logFile] {
    zv::app::RunLog runLog = zv::app::redirectStandardOutputToLogFile();
    logFile = std::move(runLog.logFile);
    return runLog.logFileURL;
  };
  environment.runLog.close = [&logFile] { logFile.reset(); };

  int status = 0;
  {
    zv::app::AppDelegate delegate(std::move(environment));
    zv::app::ZVMainWindow window(delegate);
    QObject::connect(&application, &QCoreApplication::aboutToQuit, &delegate,
                     &zv::app::AppDelegate::applicationWillTerminate);
    delegate.applicationDidFinishLaunching();
    window.show();
    status = QApplication::exec();
    // An export still running waits on the main queue: release it before the window, whose
    // progress sheet joins the export thread, goes.
    mainQueue.shutDown();
  }
  zv::platform::setMainQueue(nullptr);
  return status;
}
