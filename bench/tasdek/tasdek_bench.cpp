// Figures for the Task View's window: opening the main window on 10,000 tasks of 100 servers
// until the list has been painted, and one "ZORIC:01:" announcement refreshing its row (with
// the number of rows redrawn). Prints milliseconds; asserts nothing.
#include <QApplication>
#include <QSignalSpy>
#include <QTreeView>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "common/mailslot.h"
#include "servers/srvmgr.h"
#include "tasdek/main_window.h"
#include "tests/support/test_env.h"

using namespace pondrel;
using Clock = std::chrono::steady_clock;

namespace {

double Ms(Clock::time_point a, Clock::time_point b) {
  return std::chrono::duration<double, std::milli>(b - a).count();
}

// Counts the paints of a widget.
class PaintCounter : public QObject {
 public:
  int paints = 0;
  bool eventFilter(QObject*, QEvent* e) override {
    if (e->type() == QEvent::Paint) ++paints;
    return false;
  }
};

std::string ScheduleText(int tasks, const std::vector<Guid>& servers, int running_task) {
  std::string text;
  text.reserve(static_cast<std::size_t>(tasks) * 200);
  for (int i = 0; i < tasks; ++i) {
    text +=
        "[task" + std::to_string(i) + "]\r\nServerId=" + GuidToHex(servers[i % servers.size()]) +
        "\r\nStartTime=2003/01/01/08/00/00\r\nTaskCycle=" + std::to_string(i % 4) +
        "\r\nTaskInterval=1\r\nDayofWeek=0111110\r\nActState=" + (i == running_task ? "3" : "5") +
        "\r\nActResult=" + std::to_string(i % 3) +
        "\r\nEndTime=2003/01/01/08/05/00\r\nNextTime=2003/01/0" + std::to_string(1 + i % 9) +
        "/08/00/00\r\n";
  }
  return text;
}

}  // namespace

int main(int argc, char** argv) {
  if (!std::getenv("QT_QPA_PLATFORM")) setenv("QT_QPA_PLATFORM", "offscreen", 1);
  QApplication app(argc, argv);
  test::ScopedTestEnv env;
  constexpr int kServers = 100, kTasks = 10000;
  std::vector<Guid> ids;
  {
    CKVSrvMgr store;
    store.Init();
    for (int s = 0; s < kServers; ++s) {
      CKVSrvInfo rec;
      (void)rec.SetServerName("camera " + std::to_string(s));
      (void)rec.SetImageDirectory(env.Dir() + "/img" + std::to_string(s));
      (void)rec.SetHostName("127.0.0.1");
      (void)store.Add(&rec);
      ids.push_back(rec.GetId());
    }
  }
  test::WriteFile(env.Root() + "/schedule.ini", ScheduleText(kTasks, ids, -1));

  // Opening: the window, the document read, the list painted once.
  const auto t0 = Clock::now();
  tasdek::CMainFrame frame;
  std::string error;
  if (!frame.Create(&error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 1;
  }
  PaintCounter counter;
  frame.View()->viewport()->installEventFilter(&counter);
  frame.show();
  while (counter.paints == 0) QApplication::processEvents(QEventLoop::WaitForMoreEvents);
  const auto t1 = Clock::now();
  std::printf("open main window, %d tasks on %d servers, to a painted list: %.1f ms (%zu rows)\n",
              kTasks, kServers, Ms(t0, t1), frame.List().RowCount());

  // Announcements: the service rewrote the file (one task changed) and says so.
  QSignalSpy changed(frame.Model(), &QAbstractItemModel::dataChanged);
  CKVMailSlot sender(kTaskViewMailslot);
  std::vector<double> times;
  int rows_redrawn = 0;
  for (int round = 0; round < 20; ++round) {
    // A task whose row is on screen, so that its redraw is part of the figure.
    const int task = (round * 7) % 20;
    test::WriteFile(env.Root() + "/schedule.ini", ScheduleText(kTasks, ids, task));
    const std::string msg = "ZORIC:01::03:09::task" + std::to_string(task);
    sender.Send(msg);
    changed.clear();
    const auto a = Clock::now();
    frame.HandleMailslot();
    const auto m = Clock::now();
    // The view repaints the row that changed, as the event loop does after a message.
    const int before = counter.paints;
    while (counter.paints == before && Ms(m, Clock::now()) < 1000) QApplication::processEvents();
    const auto b = Clock::now();
    if (std::getenv("TASDEK_BENCH_DETAIL"))
      std::printf("  reload %.2f ms, paint %.2f ms\n", Ms(a, m), Ms(m, b));
    times.push_back(Ms(a, b));
    for (const auto& args : changed) {
      const auto from = args.at(0).value<QModelIndex>().row(),
                 to = args.at(1).value<QModelIndex>().row();
      rows_redrawn += to - from + 1;
    }
  }
  std::sort(times.begin(), times.end());
  std::printf(
      "one announcement to its refreshed row: median %.2f ms, max %.2f ms; rows redrawn per "
      "announcement: %.1f\n",
      times[times.size() / 2], times.back(), rows_redrawn / 20.0);
  return 0;
}
