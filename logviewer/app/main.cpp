// lorvik [LOGFILE]: the Pondrel Log Viewer. Without an argument it shows the service's log,
// ROOT/SYSTEM/kvrpd.log.
#include <QApplication>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "logviewer/app/main_frame.h"
#include "logviewer/app/message_presenter.h"
#include "logviewer/app/severity_icons.h"
#include "logviewer/app/single_instance.h"
#include "logviewer/log_document.h"

namespace {

// A test names a file to which the viewer notes when a second start raised it.
void NoteRaised() {
  const char* path = std::getenv("PONDREL_LORVIK_EVENTS");
  if (!path || !*path) return;
  if (FILE* f = std::fopen(path, "a")) {
    std::fputs("raised\n", f);
    std::fclose(f);
  }
}

}  // namespace

int main(int argc, char** argv) {
  using namespace pondrel::lorvik;
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("lorvik"));
  QApplication::setApplicationDisplayName(QString::fromUtf8(kTitle));
  QApplication::setWindowIcon(ApplicationIcon());
  const QStringList args = QApplication::arguments();
  const std::string argument = args.size() > 1 ? args.at(1).toStdString() : std::string();

  CSingleInstance instance;
  errno = 0;
  switch (instance.Start()) {
    case CSingleInstance::kOtherRuns: return 0;
    case CSingleInstance::kFailed:
      Presenter().Warn(
          nullptr,
          QString::fromStdString(pondrel::logviewer::LoadResultText(errno != 0 ? errno : EAGAIN)));
      return 1;
    case CSingleInstance::kFirst: break;
  }

  CMainFrame frame(argument);
  instance.OnSignal([&frame] {
    frame.BringToFront();
    NoteRaised();
  });
  frame.show();
  frame.OpenLog();
  return app.exec();
}
