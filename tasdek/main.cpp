// tasdek: the Task View, the desktop program in which the user manages collection tasks and
// camera server profiles and starts and stops the scheduler service.
#include <QApplication>
#include <QCoreApplication>
#include <QTimer>
#include <cstdio>
#include <string>

#include "common/fs_util.h"
#include "common/named_object.h"
#include "tasdek/automation.h"
#include "tasdek/main_window.h"
#include "tasdek/tasdek_app.h"

using namespace pondrel;
using namespace pondrel::tasdek;

int main(int argc, char** argv) {
  std::string line;
  for (int i = 0; i < argc; ++i) line += (i ? " " : "") + std::string(argv[i]);
  const CommandWords words = ParseCommandWords(line);
  const std::string self = ProgramPath().empty() ? std::string(argv[0]) : ProgramPath();
  if (words.reg_server) {
    if (!RegisterServer(self)) {
      std::fprintf(stderr, "tasdek: cannot write %s\n", ActivationFilePath().c_str());
      return 1;
    }
    return 0;
  }
  if (words.unreg_server) return UnregisterServer() ? 0 : 1;
  SetStandAlone(words.stand_alone);

  // One Task View per desktop: a second start raises the first and ends without a window.
  NamedObject instance = NamedObject::Create(kInstanceMutex);
  if (!instance.held()) {
    QCoreApplication core(argc, argv);
    if (!AskRunningInstanceToRaise()) {
      std::fprintf(stderr, "tasdek: a Task View is already running\n");
    }
    return 0;
  }

  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("tasdek"));
  QApplication::setApplicationDisplayName(QString());
  QApplication::setDesktopFileName(QStringLiteral("tasdek"));
  CMainFrame frame;
  std::string error;
  if (!frame.Create(&error)) {
    std::fprintf(stderr, "tasdek: %s\n", error.c_str());
    return 1;
  }
  QString bus_error;
  if (!RegisterAutomation(&frame, &bus_error)) {
    std::fprintf(stderr, "tasdek: automation is not available (%s)\n",
                 bus_error.toLocal8Bit().constData());
    // Started for automation, there is nothing to do without the bus.
    if (words.embedding) return 1;
  }
  if (!words.embedding) {
    // A registered activation file is brought up to date with this program's place.
    if (FileExists(ActivationFilePath())) RegisterServer(self);
    frame.show();
    QTimer::singleShot(0, &frame, [&frame] { frame.OfferFirstServer(); });
  } else {
    // Started by the bus for a client: hidden until the client calls ShowWindow, and ended
    // when the window, once shown, is closed.
    QApplication::setQuitOnLastWindowClosed(true);
  }
  return app.exec();
}
