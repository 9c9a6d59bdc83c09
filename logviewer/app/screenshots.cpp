// Renders the Log Viewer's window and its Filter dialog to PNG files, on a sample log:
//   lorvik_screenshots OUTDIR
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdio>

#include "logviewer/app/filter_dialog.h"
#include "logviewer/app/main_frame.h"
#include "logviewer/app/message_presenter.h"

int main(int argc, char** argv) {
  using namespace pondrel::lorvik;
  QApplication app(argc, argv);
  QApplication::setApplicationDisplayName(QString::fromUtf8(kTitle));
  if (argc < 2) {
    std::fprintf(stderr, "usage: lorvik_screenshots OUTDIR\n");
    return 2;
  }
  const QString out = QString::fromLocal8Bit(argv[1]);
  QDir().mkpath(out);
  QTemporaryDir tmp;
  const QString log = tmp.path() + QStringLiteral("/kvrpd.log");
  QFile f(log);
  if (!f.open(QIODevice::WriteOnly)) return 1;
  f.write(
      "Apr 05 06:00:00 2003 <info>< >< > Pondrel Task Scheduler Service has started. (S100)\r\n"
      "Apr 05 06:07:08 2003 <info><daily><front door> Download has started. (D001)\r\n"
      "Apr 05 06:07:09 2003 <info><daily><front door> 12 pictures on the server, 12 new. (D002)\r\n"
      "Apr 05 06:07:40 2003 <warning><daily><front door> Free space is below the limit; the oldest "
      "pictures are deleted. (D104)\r\n"
      "Apr 05 06:08:00 2003 <info><daily><front door> Download has finished. (D003)\r\n"
      "Apr 05 07:00:00 2003 <error><nightly><yard> Execution failure: Another task has already "
      "accessed the same server. (S002)\r\n"
      "this line was cut short by a power failure\r\n"
      "Apr 05 07:30:00 2003 <info><hourly><garage> Dial-up connection established. (P001)\r\n"
      "Apr 05 07:31:10 2003 <error><hourly><garage> The camera server did not answer (HTTP 503). "
      "(D801)\r\n"
      "Apr 05 08:00:00 2003 <info>< >< > Pondrel Task Scheduler Service has stopped. (S101)\r\n");
  f.close();

  CMainFrame frame(log.toStdString());
  frame.resize(1000, 360);
  frame.show();
  frame.OpenLog();
  QApplication::processEvents();
  frame.grab().save(out + QStringLiteral("/lorvik-window.png"));
  frame.SortByColumn(pondrel::logviewer::kColumnDate);
  frame.SortByColumn(pondrel::logviewer::kColumnDate);
  QApplication::processEvents();
  frame.grab().save(out + QStringLiteral("/lorvik-sorted.png"));

  pondrel::logviewer::LogFilter filter;
  filter.task = "daily";
  filter.levels = pondrel::logviewer::kLevelBitError | pondrel::logviewer::kLevelBitWarning;
  CFilterDialog dialog(filter, &frame);
  dialog.show();
  QApplication::processEvents();
  dialog.grab().save(out + QStringLiteral("/lorvik-filter.png"));
  std::printf("%s/lorvik-window.png\n%s/lorvik-sorted.png\n%s/lorvik-filter.png\n", argv[1],
              argv[1], argv[1]);
  return 0;
}
