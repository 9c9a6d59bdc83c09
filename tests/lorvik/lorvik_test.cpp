// The Log Viewer's window and Filter dialog driven with QTest on the offscreen platform, on
// real log files; the single instance with two real lorvik processes; Follow while the real
// service writes its log.
#include <signal.h>

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QDateTimeEdit>
#include <QHeaderView>
#include <QLineEdit>
#include <QProcess>
#include <QRadioButton>
#include <QTest>

#include <filesystem>
#include <memory>

#include "common/named_object.h"
#include "logviewer/app/filter_dialog.h"
#include "logviewer/app/main_frame.h"
#include "logviewer/app/message_presenter.h"
#include "logviewer/app/single_instance.h"
#include "taskmodel/activity_log.h"
#include "tests/e2e/e2e_world.h"
#include "tests/support/test_env.h"

using namespace pondrel;
using namespace pondrel::lorvik;

namespace {

// Answers every message box and remembers its text.
class RecordingPresenter : public CMessagePresenter {
 public:
  void Warn(QWidget*, const QString& text) override { messages << text; }
  void About(QWidget*) override { messages << QStringLiteral("about"); }
  QStringList messages;
};

constexpr char kLog[] =
    "Apr 05 06:07:08 2003 <info>< >< > Pondrel Task Scheduler Service has started. (S100)\r\n"
    "Apr 05 06:08:00 2003 <error><daily><cam> Execution failure: Invalid task (S006)\r\n"
    "not a log line\r\n"
    "Apr 06 07:00:00 2003 <warning><nightly><door> Free space is low. (D104)\r\n"
    "Apr 06 07:00:01 2003 <info><daily><door> Download has started. (D001)\r\n";

QString Cell(CMainFrame& frame, int row, int column) {
  return frame.model()->CellText(row, column);
}

void ClickHeader(CMainFrame& frame, int column) {
  QHeaderView* header = frame.view()->horizontalHeader();
  const QPoint at(header->sectionViewportPosition(column) + 5, header->height() / 2);
  QTest::mouseClick(header->viewport(), Qt::LeftButton, Qt::NoModifier, at);
}

}  // namespace

class LorvikTest : public QObject {
  Q_OBJECT

 private slots:
  void init() {
    env_ = std::make_unique<test::ScopedTestEnv>();
    SetPresenter(&presenter_);
    presenter_.messages.clear();
    path_ = env_->Path("kvrpd.log");
    test::WriteFile(path_, kLog);
  }
  void cleanup() {
    SetPresenter(nullptr);
    env_.reset();
  }

  void windowShowsTheLogNewestFirstWithItsTitleColumnsAndMenus() {
    CMainFrame frame(path_);
    frame.show();
    frame.OpenLog();
    QCOMPARE(frame.windowTitle(), QStringLiteral("Pondrel Log Viewer"));
    QCOMPARE(frame.model()->rowCount(), 5);
    QCOMPARE(Cell(frame, 0, 0), QStringLiteral("D001"));
    QCOMPARE(Cell(frame, 2, 1), QStringLiteral(".........."));
    QCOMPARE(Cell(frame, 2, 4), QStringLiteral("not a log line"));
    QCOMPARE(Cell(frame, 4, 4), QStringLiteral("Pondrel Task Scheduler Service has started."));
    const QStringList titles = {"Code", "Date & Time", "Task", "Server", "Message"};
    for (int c = 0; c < 5; ++c) {
      QCOMPARE(frame.model()->headerData(c, Qt::Horizontal, Qt::DisplayRole).toString(), titles[c]);
    }
    const QFontMetrics fm = frame.view()->fontMetrics();
    QCOMPARE(frame.view()->columnWidth(1),
             fm.horizontalAdvance(QStringLiteral("0000/00/00 00:00:00")) + 20);
    QVERIFY(frame.view()->columnWidth(4) >=
            fm.horizontalAdvance(QString(50, QLatin1Char('0'))) + 20);
    QCOMPARE(frame.reload_action()->shortcut(), QKeySequence(Qt::Key_F5));
    QCOMPARE(frame.filter_action()->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_F));
    QVERIFY(!frame.follow_action()->isChecked());
    // Icons by level: the code column carries one for every row.
    QVERIFY(!frame.model()->data(frame.model()->index(1, 0), Qt::DecorationRole).isNull());
    QVERIFY(presenter_.messages.isEmpty());
  }

  void aMissingLogIsEmptyWithoutAMessageAndAnUnreadableOneIsReported() {
    CMainFrame missing(env_->Path("none.log"));
    missing.OpenLog();
    QCOMPARE(missing.model()->rowCount(), 0);
    QVERIFY(presenter_.messages.isEmpty());
    CMainFrame dir(env_->Dir());
    dir.OpenLog();
    QCOMPARE(presenter_.messages, QStringList{QStringLiteral("Is a directory")});
  }

  void filterDialogEnablingFollowsTheBoxesAndRadios() {
    CFilterDialog dialog(logviewer::LogFilter{});
    QVERIFY(dialog.none_radio->isChecked());
    QVERIFY(!dialog.task_edit->isEnabled());
    QVERIFY(!dialog.error_check->isEnabled());
    QVERIFY(!dialog.code_edit->isEnabled());
    QVERIFY(!dialog.start_edit->isEnabled());
    QCOMPARE(dialog.start_edit->displayFormat(), QStringLiteral("yyyy/MM/dd HH:mm:ss"));
    QCOMPARE(dialog.start_edit->minimumDateTime(), QDateTime(QDate(1971, 1, 1), QTime(0, 0, 0)));
    QCOMPARE(dialog.end_edit->maximumDateTime(), QDateTime(QDate(2037, 12, 31), QTime(23, 59, 59)));
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    // Clicks land on the indicators.
    auto click = [](QAbstractButton* b) {
      QTest::mouseClick(b, Qt::LeftButton, Qt::NoModifier, QPoint(8, b->height() / 2));
    };
    click(dialog.task_check);
    QVERIFY(dialog.task_edit->isEnabled());
    click(dialog.priority_radio);
    QVERIFY(dialog.error_check->isEnabled());
    QVERIFY(!dialog.code_edit->isEnabled());
    click(dialog.code_radio);
    QVERIFY(!dialog.error_check->isEnabled());
    QVERIFY(dialog.code_edit->isEnabled());
    click(dialog.end_check);
    QVERIFY(dialog.end_edit->isEnabled());
    QVERIFY(!dialog.start_edit->isEnabled());
    // Opening reflects the filter: a level flag chooses "Specify Priority", else a code.
    logviewer::LogFilter f;
    f.code = "D001";
    f.server = "cam";
    CFilterDialog with_code(f);
    QVERIFY(with_code.code_radio->isChecked());
    QVERIFY(with_code.server_check->isChecked());
    QCOMPARE(with_code.server_edit->text(), QStringLiteral("cam"));
    f.levels = logviewer::kLevelBitWarning;
    CFilterDialog with_level(f);
    QVERIFY(with_level.priority_radio->isChecked());
    QVERIFY(with_level.warning_check->isChecked());
    QVERIFY(!with_level.error_check->isChecked());
  }

  void filterDialogChecksInOrderWithMessagesAndFocus() {
    CFilterDialog dialog(logviewer::LogFilter{});
    dialog.show();
    dialog.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&dialog));
    dialog.task_check->setChecked(true);
    dialog.server_check->setChecked(true);
    dialog.code_radio->setChecked(true);
    dialog.start_check->setChecked(true);
    dialog.end_check->setChecked(true);
    dialog.start_edit->setDateTime(QDateTime(QDate(2003, 4, 6), QTime(0, 0)));
    dialog.end_edit->setDateTime(QDateTime(QDate(2003, 4, 5), QTime(0, 0)));
    auto ok = [&](const QString& expected, QWidget* focus) {
      presenter_.messages.clear();
      dialog.accept();
      QCOMPARE(presenter_.messages, QStringList{expected});
      QCOMPARE(QApplication::focusWidget(), focus);
      QVERIFY(dialog.isVisible());
    };
    ok(QStringLiteral("Please enter a value for the \"Task\" field"), dialog.task_edit);
    dialog.task_edit->setText(QStringLiteral("daily"));
    ok(QStringLiteral("Please enter a value for the \"Server\" field"), dialog.server_edit);
    dialog.server_edit->setText(QStringLiteral("cam"));
    ok(QStringLiteral("Please enter a value for the \"Code\" field"), dialog.code_edit);
    for (const char* bad : {"D01", "1234", "DD01"}) {
      dialog.code_edit->setText(QString::fromLatin1(bad));
      ok(QStringLiteral("The format of Code is invalid"), dialog.code_edit);
    }
    dialog.code_edit->setText(QStringLiteral("s006"));
    ok(QStringLiteral("Cannot set Start Date & Time after End Date & Time"), dialog.start_edit);
    dialog.end_edit->setDateTime(QDateTime(QDate(2003, 4, 7), QTime(0, 0)));
    presenter_.messages.clear();
    dialog.accept();
    QVERIFY(presenter_.messages.isEmpty());
    QCOMPARE(dialog.result(), int(QDialog::Accepted));
    QCOMPARE(dialog.filter().code, std::string("S006"));
    QCOMPARE(dialog.filter().task, std::string("daily"));
    QCOMPARE(dialog.filter().levels, 0u);
  }

  void headerClicksSortAndAlternate() {
    CMainFrame frame(path_);
    frame.show();
    frame.OpenLog();
    ClickHeader(frame, 1);  // "Date & Time": ascending, placeholders last
    QCOMPARE(Cell(frame, 0, 1), QStringLiteral("2003/04/05 06:07:08"));
    QCOMPARE(Cell(frame, 4, 1), QStringLiteral(".........."));
    ClickHeader(frame, 1);  // again: descending, placeholders first, the oldest last
    QCOMPARE(Cell(frame, 0, 1), QStringLiteral(".........."));
    QCOMPARE(Cell(frame, 4, 1), QStringLiteral("2003/04/05 06:07:08"));
    ClickHeader(frame, 2);  // another column: ascending
    QCOMPARE(Cell(frame, 0, 2), QStringLiteral(" "));
    QCOMPARE(Cell(frame, 1, 2), QStringLiteral("daily"));
    QCOMPARE(Cell(frame, 4, 2), QStringLiteral(".........."));
    ClickHeader(frame, 0);
    QCOMPARE(Cell(frame, 0, 0), QStringLiteral("D001"));
    QCOMPARE(Cell(frame, 4, 0), QStringLiteral("...."));
  }

  void reloadReadsAgainKeepsTheFilterAndResetsTheSort() {
    CMainFrame frame(path_);
    frame.show();
    frame.OpenLog();
    logviewer::LogFilter f;
    f.levels = logviewer::kLevelBitError | logviewer::kLevelBitWarning;
    frame.ApplyFilter(f);
    QCOMPARE(frame.model()->rowCount(), 2);
    ClickHeader(frame, 0);
    QCOMPARE(Cell(frame, 0, 0), QStringLiteral("D104"));
    test::WriteFile(path_,
                    std::string(kLog) +
                        "Apr 07 07:00:00 2003 <error><daily><door> Download failed. (D800)\r\n"
                        "Apr 07 07:00:01 2003 <info><daily><door> Not shown. (D001)\r\n");
    // F5 on the window.
    frame.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&frame));
    QTest::keyClick(&frame, Qt::Key_F5);
    QCOMPARE(frame.model()->rowCount(), 3);
    QCOMPARE(Cell(frame, 0, 0), QStringLiteral("D800"));  // list order again: newest first
    QVERIFY(!frame.view()->horizontalHeader()->isSortIndicatorShown());
    QVERIFY(QApplication::overrideCursor() == nullptr);
    // The first click after a reload sorts ascending.
    ClickHeader(frame, 0);
    QCOMPARE(Cell(frame, 0, 0), QStringLiteral("D104"));
  }

  void followShowsWhatTheServiceWrites() {
    test::E2EWorld world;
    const std::string log = world.Root() + "/SYSTEM/kvrpd.log";
    std::filesystem::create_directories(world.Root() + "/SYSTEM");
    CMainFrame frame("");  // the service's log, found through ROOT
    frame.show();
    frame.OpenLog();
    QCOMPARE(frame.model()->rowCount(), 0);
    frame.follow_action()->trigger();
    QVERIFY(frame.follow_action()->isChecked());
    QVERIFY(world.StartService());
    QTRY_COMPARE_WITH_TIMEOUT(frame.model()->rowCount(), 1, 3000);
    QCOMPARE(Cell(frame, 0, 0), QStringLiteral("S100"));
    QCOMPARE(world.StopService(), 0);
    QTRY_COMPARE_WITH_TIMEOUT(frame.model()->rowCount(), 2, 3000);
    QCOMPARE(Cell(frame, 0, 0), QStringLiteral("S101"));
    // Cleared (as the Task View's Clear Log does) and written again: read from the start.
    std::filesystem::remove(log);
    WriteLogLine(log, " ", " ", 2, "Execution failure: Invalid task (S006)");
    QTRY_COMPARE_WITH_TIMEOUT(frame.model()->rowCount(), 1, 3000);
    QCOMPARE(Cell(frame, 0, 0), QStringLiteral("S006"));
    QVERIFY(presenter_.messages.isEmpty());
  }

  void aSecondStartRaisesTheFirstAndEnds() {
    const QString program = QString::fromStdString(test::StageDir() + "/lorvik");
    const QString events = QString::fromStdString(env_->Path("events"));
    QProcessEnvironment penv = QProcessEnvironment::systemEnvironment();
    penv.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    penv.insert(QStringLiteral("PONDREL_LORVIK_EVENTS"), events);
    QProcess first;
    first.setProcessEnvironment(penv);
    first.start(program, {QString::fromStdString(path_)});
    QVERIFY(first.waitForStarted());
    QTRY_VERIFY_WITH_TIMEOUT(NamedObject::Exists(kInstanceName), 10000);
    QProcess second;
    second.setProcessEnvironment(penv);
    second.start(program, {QString::fromStdString(env_->Path("other.log"))});
    QVERIFY(second.waitForFinished(10000));
    QCOMPARE(second.exitStatus(), QProcess::NormalExit);
    QCOMPARE(second.exitCode(), 0);
    QTRY_COMPARE_WITH_TIMEOUT(QString::fromStdString(test::ReadFile(events.toStdString())),
                              QStringLiteral("raised\n"), 5000);
    QCOMPARE(first.state(), QProcess::Running);
    ::kill(static_cast<pid_t>(first.processId()), SIGTERM);
    QVERIFY(first.waitForFinished(10000));
    // Once the first has gone, a new start is the first again.
    QTRY_VERIFY_WITH_TIMEOUT(!NamedObject::Exists(kInstanceName), 5000);
  }

 private:
  std::unique_ptr<test::ScopedTestEnv> env_;
  RecordingPresenter presenter_;
  std::string path_;
};

QTEST_MAIN(LorvikTest)
#include "lorvik_test.moc"
