// The Task View beside a real service and the pondrel command line: a task run at the user's
// request changes its row as the service announces it, and tasks that pondrel adds, renames or
// deletes while the window shows them appear, change or go at the next refresh.
#include <QProcess>
#include <QTest>

#include "tasdek/main_window.h"
#include "tests/e2e/e2e_world.h"
#include "tests/tasdek/qt_test_helpers.h"

using namespace pondrel;
using namespace pondrel::tasdek;

namespace {

// Runs pondrel from the stage directory; its exit status.
int Pondrel(const QStringList& args) {
  QProcess p;
  p.setProcessChannelMode(QProcess::ForwardedChannels);
  p.start(QString::fromStdString(test::StageDir() + "/pondrel"), args);
  if (!p.waitForFinished(20000)) return -1;
  return p.exitCode();
}

QString Cell(CMainFrame& frame, const char* task, int column) {
  const int row = frame.List().FindRow(task);
  return row < 0 ? QString()
                 : QString::fromStdString(frame.List().Text(static_cast<std::size_t>(row), column));
}

}  // namespace

class TasdekLiveTest : public QObject {
  Q_OBJECT

 private slots:
  void RowsFollowTheServiceAndTheCommandLine() {
    testing::MessageAnswers answers;
    test::E2EWorld world;
    // Nothing listens on this port: the run fails at once, as a camera that is switched off.
    test::ProfileSpec spec;
    spec.port = 9;
    const Guid server = world.AddServer(spec);
    world.AddTask("Live", server, false, 3600);
    world.AddTask("Other", server, false, 3600);
    QVERIFY(world.StartService());

    CMainFrame frame;
    std::string error;
    QVERIFY(frame.Create(&error));
    QCOMPARE(frame.Model()->rowCount(), 2);
    QVERIFY(Cell(frame, "Live", kColLastResult).isEmpty());

    // Execute now from the window: the service runs it, reaps it and announces the result.
    frame.SelectRow(frame.List().FindRow("Live"));
    frame.OnExecuteNow();
    QVERIFY(answers.Shown().empty());  // the service answered the probe
    QTRY_VERIFY_WITH_TIMEOUT(
        Cell(frame, "Live", kColLastResult).startsWith(QStringLiteral("Failed(")), 30000);
    QVERIFY(frame.Doc().FindTask("Live")->task.ActState != kStateRunning);
    QVERIFY(Cell(frame, "Other", kColLastResult).isEmpty());

    // pondrel changes the file while the window shows it.
    QCOMPARE(Pondrel({"task", "edit", "Other", "--name", "Renamed"}), 0);
    QCOMPARE(Pondrel({"task", "add", "Added", "--server", "cam1"}), 0);
    QCOMPARE(Pondrel({"task", "delete", "Live"}), 0);
    // An announcement for a task the window does not know changes nothing.
    frame.HandleMailslot();
    frame.OnRefresh();
    QCOMPARE(frame.Model()->rowCount(), 2);
    QVERIFY(frame.List().FindRow("Live") < 0);
    QVERIFY(frame.List().FindRow("Other") < 0);
    QVERIFY(frame.List().FindRow("Renamed") >= 0);
    QVERIFY(frame.List().FindRow("Added") >= 0);
    QCOMPARE(world.StopService(), 0);
  }
};

QTEST_MAIN(TasdekLiveTest)
#include "tasdek_live_test.moc"
