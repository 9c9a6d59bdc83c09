// The Task View's dialogs and main window on the offscreen platform: enabling rules, the order
// of validation and the messages, the list commands, and the live refresh from the mailslot.
#include <QMenuBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>

#include "common/mailslot.h"
#include "common/registry.h"
#include "tasdek/main_window.h"
#include "tasdek/options_dialog.h"
#include "tasdek/server_dialogs.h"
#include "tasdek/tasdek_app.h"
#include "tasdek/task_editor_dialog.h"
#include "taskview/messages.h"
#include "tests/support/test_env.h"
#include "tests/tasdek/qt_test_helpers.h"
#include "tests/tasdek/sample_world.h"

using namespace pondrel;
using namespace pondrel::tasdek;
using namespace pondrel::tasdek::testing;

namespace {

QString Q(const char* s) { return QString::fromUtf8(s); }

void SetText(QLineEdit* e, const QString& t) {
  e->clear();
  QTest::keyClicks(e, t);
}

// The task as stored in the schedule file now.
CKVTask Stored(const std::string& name) {
  CKVTaskMgr mgr;
  CKVTask t;
  mgr.ReadTask(name, &t);
  return t;
}

}  // namespace

class TasdekDialogsTest : public QObject {
  Q_OBJECT

 private slots:
  void init() {
    env_ = std::make_unique<test::ScopedTestEnv>();
    SetStandAlone(false);
  }
  void cleanup() { env_.reset(); }

  void TaskEditorEnablesTheFieldsOfTheChosenRepetition() {
    const Guid s = sample::AddServer("Cam", env_->Root() + "/img");
    CTasdekDoc doc;
    QCOMPARE(doc.LoadTasks(), DocResult::kOk);
    CKVTask fresh;
    CTaskEditorDialog dlg(fresh, "", doc, nullptr);
    // A new task is daily, without repeat or retry.
    QVERIFY(dlg.daily->isChecked());
    QVERIFY(dlg.daily_days->isEnabled());
    QVERIFY(!dlg.weekly_weeks->isEnabled());
    QVERIFY(!dlg.weekdays[0]->isEnabled());
    QVERIFY(!dlg.rule_day->isEnabled());
    QVERIFY(!dlg.repeat_hours->isEnabled() && !dlg.retry_times->isEnabled());
    dlg.weekly->click();
    QVERIFY(!dlg.daily->isChecked());
    QVERIFY(!dlg.daily_days->isEnabled());
    QVERIFY(dlg.weekly_weeks->isEnabled() && dlg.weekdays[6]->isEnabled());
    dlg.monthly->click();
    QVERIFY(dlg.rule_day->isEnabled() && dlg.rule_the->isEnabled());
    QVERIFY(dlg.month_day->isEnabled());
    QVERIFY(!dlg.ordinal->isEnabled());
    dlg.rule_the->click();
    QVERIFY(!dlg.month_day->isEnabled());
    QVERIFY(dlg.ordinal->isEnabled() && dlg.weekday->isEnabled());
    // The monthly rule keeps its choice while another repetition is chosen.
    QVERIFY(dlg.monthly->isChecked());
    dlg.repeat->click();
    dlg.retry->click();
    QVERIFY(dlg.repeat_hours->isEnabled() && dlg.repeat_times->isEnabled());
    QVERIFY(dlg.retry_minutes->isEnabled() && dlg.retry_times->isEnabled());
    // The server does not dial up: no "Disconnect after ...".
    QVERIFY(!dlg.disconnect->isEnabled());
    QCOMPARE(dlg.server->count(), 1);
    (void)s;
  }

  void TaskEditorValidatesInTheDesignedOrder() {
    sample::AddServer("Cam", env_->Root() + "/img");
    const Guid s2 = sample::AddServer("Cam2", env_->Root() + "/img2");
    sample::StoreTasks({sample::MakeTask("Other", s2)});
    CTasdekDoc doc;
    QCOMPARE(doc.LoadTasks(), DocResult::kOk);
    MessageAnswers answers;
    CKVTask fresh;
    CTaskEditorDialog dlg(fresh, "", doc, nullptr);
    auto expect = [&](EditorResult code, const QString& text) {
      answers.Clear();
      QCOMPARE(dlg.TryAccept(), code);
      QCOMPARE(answers.Shown().size(), std::size_t{1});
      QCOMPARE(answers.Last(), text);
      QCOMPARE(answers.Shown().back().icon, MsgIcon::kExclamation);
    };
    SetText(dlg.name, "   ");
    expect(EditorResult::kNameMissing, Q("Task Name is not specified."));
    SetText(dlg.name, " .hidden");
    expect(EditorResult::kNameFormat, Q("Task Name is invalid. .hidden is invalid format."));
    SetText(dlg.name, "a:b");
    expect(EditorResult::kNameChars, Q(kMsgTaskNameChars));
    SetText(dlg.name, "Other");
    expect(EditorResult::kNameExists, Q("The specified task name already exists."));
    SetText(dlg.name, "Mine");
    dlg.weekly->click();
    dlg.weekly_weeks->setText("0");
    expect(EditorResult::kWeekRange, Q("Specify a week in the range of 1 to 53."));
    dlg.weekly_weeks->setText("2");
    expect(EditorResult::kNoWeekday, Q("Select at least one day of the week."));
    dlg.weekdays[1]->click();
    dlg.repeat->click();
    dlg.repeat_hours->setText("");
    dlg.repeat_times->setText("x");
    expect(EditorResult::kRepeatTimes,
           Q("Specify a number of repetition times in the range of 1 to 23."));
    dlg.repeat_times->setText("3");
    expect(EditorResult::kRepeatInterval,
           Q("Specify an interval value for repetition in the range of 1 to 23."));
    dlg.repeat_hours->setText("4");
    dlg.retry->click();
    dlg.retry_times->setText("11");
    expect(EditorResult::kRetryTimes,
           Q("Specify a number of retry times in case of failure in the range of 1 to 10."));
    dlg.retry_times->setText("2");
    answers.Clear();
    QCOMPARE(dlg.TryAccept(), EditorResult::kOk);
    QVERIFY(answers.Shown().empty());
    const CKVTask& t = dlg.Result();
    QCOMPARE(QString::fromLatin1(t.Name), Q("Mine"));
    QCOMPARE(t.TaskCycle, kCycleWeeks);
    QCOMPARE(t.TaskInterval, 2);
    QCOMPARE(QString::fromLatin1(t.DayofWeek), Q("0100000"));
    QCOMPARE(t.LoopCnt, 3);
    QCOMPARE(int(t.LoopInterval), 4);
    QCOMPARE(t.RetryCnt, 2);
  }

  void SpinButtonsStepWithinTheRangeAndSpeedUpWhenHeld() {
    CSpinEdit spin(1, 10000, 5);
    spin.setAcceleration({{0, 1}, {2, 10}, {6, 100}, {14, 1000}});
    spin.setText("abc");
    spin.step(+1);
    QCOMPARE(spin.text(), Q("2"));  // text without a number starts from the bottom
    spin.step(-1);
    spin.step(-1);
    QCOMPARE(spin.text(), Q("1"));
    spin.step(+1, 2500);
    QCOMPARE(spin.text(), Q("11"));
    spin.step(+1, 7000);
    QCOMPARE(spin.text(), Q("111"));
    spin.step(+1, 15000);
    QCOMPARE(spin.text(), Q("1111"));
    spin.setText("9990");
    spin.step(+1, 15000);
    QCOMPARE(spin.text(), Q("10000"));
    QTest::keyClick(spin.lineEdit(), Qt::Key_Down);
    QCOMPARE(spin.text(), Q("9999"));
  }

  void OptionsValidateInOrderAndWriteTheRegistry() {
    MessageAnswers answers;
    COptionsDialog dlg;
    // No settings key: the defaults were written when the dialog opened.
    RegistryKey key;
    QVERIFY(key.OpenRead(kSettingsKey));
    std::uint32_t n = 0;
    QVERIFY(key.ReadNumber("DLDWImgFilesMax", &n) && n == 10000);
    QCOMPARE(dlg.free_space->text(), Q("10"));
    QStringList buttons;
    for (QPushButton* b : dlg.findChildren<QPushButton*>()) buttons << b->text();
    QVERIFY(buttons.contains(Q("Cencel")));
    QVERIFY(!dlg.max_pictures->isEnabled() && !dlg.pictures_label->isEnabled());
    dlg.limit->click();
    QVERIFY(dlg.max_pictures->isEnabled());
    dlg.limit->click();

    dlg.free_space->setText("");
    dlg.max_pictures->setText("");
    QCOMPARE(dlg.TryAccept(), 1);
    QCOMPARE(answers.Last(),
             Q("The minimum amount free space required on image is not specified."));
    QCOMPARE(answers.Shown().back().caption, Q("Options"));
    dlg.free_space->setText("51");
    QCOMPARE(dlg.TryAccept(), 2);
    QCOMPARE(answers.Last(),
             Q("The maximum number of pictures downloaded at a download is not specified."));
    dlg.max_pictures->setText("0");
    QCOMPARE(dlg.TryAccept(), 3);
    QCOMPARE(answers.Last(),
             Q("Specify the minimum amount free space required on image in the range of 1 to 50."));
    dlg.free_space->setText("20");
    dlg.limit->click();
    dlg.max_pictures->setText("10001");
    QCOMPARE(dlg.TryAccept(), 4);
    QCOMPARE(answers.Last(), Q("Specify the maximum number of pictures downloaded at a download in "
                               "the range of 1 to 10000."));
    // With the limit off an out-of-range maximum is accepted as 10000.
    dlg.limit->click();
    dlg.max_pictures->setText("0");
    dlg.action->setCurrentIndex(1);
    answers.Clear();
    QCOMPARE(dlg.TryAccept(), 0);
    QVERIFY(answers.Shown().empty());
    QVERIFY(key.ReadNumber("DLLimitSpaceMB", &n) && n == 20);
    QVERIFY(key.ReadNumber("DLImageAutomatic", &n) && n == 1);
    QVERIFY(key.ReadNumber("DLLimitDWImgFiles", &n) && n == 0);
    QVERIFY(key.ReadNumber("DLDWImgFilesMax", &n) && n == 10000);
  }

  void ServerEditorEnablingAndMessages() {
    MessageAnswers answers;
    sample::AddServer("Taken", env_->Root() + "/taken");
    CKVSrvInfo rec;
    // No dial-up entries: no PPP, whatever the record says.
    rec.SetUsePpp(1);
    CServerEditorDialog none(rec, {}, {});
    QVERIFY(!none.use_ppp->isEnabled() && !none.connection->isEnabled() &&
            !none.ppp_account->isEnabled());
    QVERIFY(!none.proxy_host->isEnabled());
    none.use_proxy->click();
    QVERIFY(none.proxy_host->isEnabled() && none.proxy_port->isEnabled());
    QVERIFY(none.settings_page_url->isHidden());

    // A connection that no longer exists opens at the first entry.
    (void)rec.SetPppConnectionName("gone");
    CServerEditorDialog dlg(rec, {}, {"isp-a", "isp-b"});
    QVERIFY(dlg.use_ppp->isEnabled() && dlg.connection->isEnabled());
    QCOMPARE(dlg.connection->currentText(), Q("isp-a"));
    QString picked_from;
    dlg.pick_folder = [&](QWidget*, const QString& current) {
      picked_from = current;
      return Q("/srv/pictures");
    };
    dlg.browse->click();
    QCOMPARE(dlg.image_directory->text(), Q("/srv/pictures"));

    SetText(dlg.server_name, "Taken");
    SetText(dlg.image_directory, QString::fromStdString(env_->Root() + "/new"));
    SetText(dlg.host_name, "127.0.0.1");
    SetText(dlg.ppp_account, "user");
    SetText(dlg.ppp_password, "secret");
    SetText(dlg.http_port, "0");
    QVERIFY(dlg.TryAccept() != ServerEdit::kDone);
    QCOMPARE(answers.Last(), Q("Specify HTTP Port in the range of 1 to 65535."));
    QCOMPARE(answers.Shown().back().caption, Q("Server Information"));
    SetText(dlg.http_port, "8080");
    QVERIFY(dlg.TryAccept() != ServerEdit::kDone);
    QCOMPARE(answers.Last(), Q("The specified server name already exists."));
    SetText(dlg.server_name, "Fresh");
    SetText(dlg.image_directory, QString::fromStdString(env_->Root() + "/taken/sub"));
    QVERIFY(dlg.TryAccept() != ServerEdit::kDone);
    QCOMPARE(answers.Last(), Q("The specified image directory is already in use."));
    SetText(dlg.image_directory, QString::fromStdString(env_->Root() + "/fresh"));
    answers.Clear();
    QCOMPARE(dlg.TryAccept(), ServerEdit::kDone);
    QVERIFY(answers.Shown().empty());
    QVERIFY(!dlg.Result().GetId().IsZero());
    QCOMPARE(QString::fromStdString(dlg.Result().GetPppConnectionName()), Q("isp-a"));
  }

  void ServerListSortsDeletesAndKeepsButtonsInStep() {
    MessageAnswers answers;
    const Guid a = sample::AddServer("b-cam", env_->Root() + "/b", "zproxy");
    sample::AddServer("a-cam", env_->Root() + "/a");
    sample::AddServer("c-cam", env_->Root() + "/c", "aproxy");
    sample::StoreTasks({sample::MakeTask("of b", a)});
    CMainFrame frame;
    std::string error;
    QVERIFY(frame.Create(&error));
    CServerListDialog dlg(frame.Model(), &frame);
    QVERIFY(dlg.Loaded());
    QCOMPARE(dlg.list->currentItem()->text(0), Q("b-cam"));
    QVERIFY(dlg.edit_button->isEnabled() && dlg.delete_button->isEnabled());
    // Proxy ascending: rows without a proxy first, then by proxy host; then descending.
    dlg.SortByColumn(2);
    QCOMPARE(dlg.list->topLevelItem(0)->text(2), Q("----------"));
    QCOMPARE(dlg.list->topLevelItem(1)->text(2), Q("aproxy"));
    QCOMPARE(dlg.list->topLevelItem(2)->text(2), Q("zproxy"));
    dlg.SortByColumn(2);
    QCOMPARE(dlg.list->topLevelItem(0)->text(2), Q("zproxy"));
    // Deleting the selected last row ("b-cam" with its task) selects the new last row.
    dlg.SortByColumn(0);
    dlg.list->setCurrentItem(dlg.list->topLevelItem(1));
    QCOMPARE(dlg.list->currentItem()->text(0), Q("b-cam"));
    answers.Queue(QMessageBox::No);
    dlg.Delete();
    QCOMPARE(dlg.list->topLevelItemCount(), 3);
    QCOMPARE(answers.Last(), Q("Are you sure you want to delete the specified server?"));
    dlg.Delete();
    QCOMPARE(dlg.list->topLevelItemCount(), 2);
    QCOMPARE(frame.Model()->rowCount(), 0);
    QVERIFY(!QString::fromLatin1(Stored("of b").Name).size());
    dlg.list->setCurrentItem(dlg.list->topLevelItem(1));
    dlg.Delete();
    QCOMPARE(dlg.list->currentItem()->text(0), Q("a-cam"));
    dlg.Delete();
    QCOMPARE(dlg.list->topLevelItemCount(), 0);
    QVERIFY(!dlg.edit_button->isEnabled() && !dlg.delete_button->isEnabled());
  }

  void MainWindowCommandsFollowTheSelection() {
    MessageAnswers answers;
    sample::BuildShowcase(env_->Root());
    CMainFrame frame;
    std::string error;
    QVERIFY(frame.Create(&error));
    QCOMPARE(frame.Model()->rowCount(), 8);
    QCOMPARE(frame.windowTitle(), Q("Pondrel Task View"));
    auto select = [&](const char* name) { frame.SelectRow(frame.List().FindRow(name)); };
    select("Lobby daily");
    QVERIFY(frame.act_edit->isEnabled() && frame.act_delete->isEnabled() &&
            frame.act_duplicate->isEnabled());
    QVERIFY(frame.act_execute->isEnabled());
    QVERIFY(!frame.act_abort->isEnabled());
    select("Gate every 2 hours");  // running
    QVERIFY(frame.act_abort->isEnabled());
    select("Gate holidays");  // disabled
    QVERIFY(!frame.act_execute->isEnabled() && !frame.act_abort->isEnabled());
    frame.SelectRow(-1);
    QVERIFY(!frame.act_edit->isEnabled() && !frame.act_delete->isEnabled() &&
            !frame.act_execute->isEnabled());
    // The Image List items are always enabled; an action handed in replaces the dialog.
    QVERIFY(frame.act_display_images->isEnabled() && frame.act_delete_image->isEnabled());
    bool shown = false;
    frame.SetImageCommands([&] { shown = true; }, {});
    QVERIFY(frame.act_display_images->isEnabled());
    QVERIFY(!frame.act_delete_image->isEnabled());
    frame.act_display_images->trigger();
    QVERIFY(shown);
    // No service installed: Start and Stop are both disabled.
    frame.UpdateCommands(true);
    QVERIFY(!frame.act_start_service->isEnabled() && !frame.act_stop_service->isEnabled());
    // The status-bar prompts and accelerators.
    QCOMPARE(frame.act_execute->statusTip(), Q("Execute the selected task now"));
    QCOMPARE(frame.act_new->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_N));
    QCOMPARE(frame.act_refresh->shortcut(), QKeySequence(Qt::Key_F5));
    // The context menus.
    QMenu* with = frame.ContextMenu(true);
    QStringList texts;
    for (QAction* a : with->actions())
      if (!a->isSeparator()) texts << a->text();
    QCOMPARE(texts, QStringList({"&Edit...", "D&uplicate", "&Delete", "E&xecute now", "&Abort"}));
    QMenu* without = frame.ContextMenu(false);
    texts.clear();
    for (QAction* a : without->actions())
      if (!a->isSeparator()) texts << a->text();
    QCOMPARE(texts, QStringList({"&Add New Task...", "&Edit Server", "Display &Log...",
                                 "Display &Images...", "&Refresh"}));
    delete with;
    delete without;
  }

  void ExecuteNowWarnsWhenTheServiceIsStoppedAndStillSends() {
    MessageAnswers answers;
    sample::BuildShowcase(env_->Root());
    CMainFrame frame;
    std::string error;
    QVERIFY(frame.Create(&error));
    // A stand-in for the service's mailslot that catches the request.
    frame.SelectRow(frame.List().FindRow("Lobby daily"));
    frame.OnExecuteNow();
    QCOMPARE(answers.Last(), Q("Pondrel Task Scheduler Service has not been started."));
    CKVMailSlot service;
    QVERIFY(service.Create(kServiceMailslot));
    answers.Clear();
    frame.OnExecuteNow();
    QVERIFY(answers.Shown().empty());
    // The probe's zero byte, then the request.
    QVERIFY(service.Receive());
    QVERIFY(service.Receive());
    QCOMPARE(QString::fromLatin1(service.Message()), Q("ZORIC:02:Lobby daily"));
    // Abort asks first; "No" sends nothing.
    frame.SelectRow(frame.List().FindRow("Gate every 2 hours"));
    answers.Queue(QMessageBox::No);
    frame.OnAbort();
    QCOMPARE(answers.Last(), Q("Are you sure you want to abort the selected task?"));
    QVERIFY(service.Receive() && service.LastLength() == 0);
    frame.OnAbort();
    QVERIFY(service.Receive());
    QCOMPARE(QString::fromLatin1(service.Message()), Q("ZORIC:03:Gate every 2 hours"));
  }

  void NewTaskDuplicateAndDelete() {
    MessageAnswers answers;
    const Guid s = sample::AddServer("Cam", env_->Root() + "/img");
    sample::StoreTasks({sample::MakeTask("First", s)});
    CMainFrame frame;
    std::string error;
    QVERIFY(frame.Create(&error));
    WhenModal<CTaskEditorDialog>([](CTaskEditorDialog* d) {
      SetText(d->name, "Second");
      (void)d->TryAccept();  // the list shows whether it was taken
    });
    frame.OnNewTask();
    QCOMPARE(frame.Model()->rowCount(), 2);
    QCOMPARE(frame.SelectedTaskName(), std::string("Second"));
    QCOMPARE(QString::fromLatin1(Stored("Second").Name), Q("Second"));
    QVERIFY(Stored("Second").NextTime[0] != '\0');

    // Duplicating twice: "Untitled", then "Untitled0", both disabled.
    frame.OnDuplicateTask();
    QCOMPARE(answers.Last(), Q("Duplicate the task as \"Untitled\"."));
    QCOMPARE(answers.Shown().back().icon, MsgIcon::kInformation);
    frame.OnDuplicateTask();
    QCOMPARE(answers.Last(), Q("Duplicate the task as \"Untitled0\"."));
    QCOMPARE(Stored("Untitled0").Effect, 0);
    QCOMPARE(Stored("Untitled0").ActState, kStateDisabled);
    QCOMPARE(frame.Model()->rowCount(), 4);

    // Editing through the dialog, with Enter on the list.
    frame.SelectRow(frame.List().FindRow("First"));
    WhenModal<CTaskEditorDialog>([](CTaskEditorDialog* d) {
      SetText(d->name, "Renamed");
      (void)d->TryAccept();  // the list shows whether it was taken
    });
    frame.show();
    frame.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&frame));
    frame.View()->setFocus();
    QTest::keyClick(frame.View(), Qt::Key_Return);
    QCOMPARE(frame.SelectedTaskName(), std::string("Renamed"));
    QVERIFY(QString::fromLatin1(Stored("First").Name).isEmpty());

    // Deleting the last row selects the new last row; Cancel deletes nothing.
    frame.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&frame));
    frame.View()->setFocus();
    frame.SelectRow(3);
    const std::string last = frame.SelectedTaskName();
    answers.Queue(QMessageBox::Cancel);
    QTest::keyClick(frame.View(), Qt::Key_Delete);
    QCOMPARE(frame.Model()->rowCount(), 4);
    QCOMPARE(answers.Last(),
             QString::fromStdString("Are you sure you want to delete \"" + last + "\"?"));
    QTest::keyClick(frame.View(), Qt::Key_Delete);
    QCOMPARE(frame.Model()->rowCount(), 3);
    QCOMPARE(frame.SelectedRow(), 2);
    frame.SelectRow(0);
    frame.OnDeleteTask();
    frame.OnDeleteTask();
    frame.OnDeleteTask();
    QCOMPARE(frame.Model()->rowCount(), 0);
    QCOMPARE(frame.SelectedRow(), -1);
  }

  void NewTaskWithoutServersOffersTheServerEditor() {
    MessageAnswers answers;
    CMainFrame frame;
    std::string error;
    QVERIFY(frame.Create(&error));
    WhenModal<CServerEditorDialog>([](CServerEditorDialog* d) { d->reject(); });
    frame.OnNewTask();
    QCOMPARE(answers.Last(), Q("Server is not registerd.\n Set the server information first."));
    QCOMPARE(frame.Model()->rowCount(), 0);
  }

  void AnnouncementsRefreshOnlyTheirRow() {
    MessageAnswers answers;
    const Guid s = sample::AddServer("Cam", env_->Root() + "/img");
    sample::StoreTasks(
        {sample::MakeTask("A", s), sample::MakeTask("B", s), sample::MakeTask("C", s)});
    CMainFrame frame;
    std::string error;
    QVERIFY(frame.Create(&error));
    // The service changes A and C in the file; only A is announced, and a few other
    // messages arrive with it.
    CKVTask a = Stored("A");
    a.ActState = kStateRunning;
    a.ActResult = kResultRunning;
    CKVTask c = Stored("C");
    c.ActResult = kResultFailed;
    sample::StoreTasks({a, c});
    QSignalSpy changed(frame.Model(), &QAbstractItemModel::dataChanged);
    CKVMailSlot sender(kTaskViewMailslot);
    QVERIFY(sender.Send("ZORIC:02:A"));
    QVERIFY(sender.Send("ZORIC:01::03:09::Unknown task"));
    QVERIFY(sender.Send("ZORIC"));
    QVERIFY(sender.Send("ZORIC:01::03:09::A"));
    QTRY_COMPARE(changed.count(), 1);
    QCOMPARE(changed.at(0).at(0).value<QModelIndex>().row(), frame.List().FindRow("A"));
    QCOMPARE(frame.Doc().FindTask("A")->task.ActState, kStateRunning);
    QCOMPARE(frame.Doc().FindTask("C")->task.ActResult, kResultNone);  // not re-read
    frame.SelectRow(frame.List().FindRow("A"));
    QVERIFY(frame.act_abort->isEnabled());
  }

  void EmbeddedModeRemovesTheServerMenuUnlessStandAlone() {
    RegistryKey::CreatePath("SOFTWARE\\VELTA\\Orvane\\KV\\VEZO\\1.0\\");
    auto menu_titles = [](CMainFrame& f) {
      QStringList t;
      for (QAction* a : f.menuBar()->actions()) t << a->text();
      return t;
    };
    {
      CMainFrame frame;
      QCOMPARE(menu_titles(frame), QStringList({"&Task", "&View", "T&ools", "&Help"}));
      QStringList context;
      for (QAction* a : frame.ContextMenu(false)->actions())
        if (!a->isSeparator()) context << a->text();
      QCOMPARE(context, QStringList({"&Add New Task...", "Display &Log...", "&Refresh"}));
    }
    SetStandAlone(true);
    {
      CMainFrame frame;
      QCOMPARE(menu_titles(frame), QStringList({"&Task", "&Server", "&View", "T&ools", "&Help"}));
    }
  }

  void CommandWordsCountOnlyAsTheLastArgument() {
    QVERIFY(ParseCommandWords("/usr/bin/tasdek -SAM").stand_alone);
    QVERIFY(ParseCommandWords("/usr/bin/tasdek /standalonemode").stand_alone);
    QVERIFY(!ParseCommandWords("/usr/bin/tasdek -SAM x").stand_alone);
    QVERIFY(!ParseCommandWords("/usr/bin/tasdek SAM").stand_alone);
    QVERIFY(ParseCommandWords("tasdek -regserver").reg_server);
    QVERIFY(ParseCommandWords("tasdek /UnregServer").unreg_server);
    QVERIFY(ParseCommandWords("/opt/x/tasdek -Embedding").embedding);
  }

  void DisplayLogSaysWhenTheViewerIsMissing() {
    MessageAnswers answers;
    const QByteArray path = qgetenv("PATH");
    qputenv("PATH", "/nonexistent");
    CMainFrame frame;
    frame.OnDisplayLog();
    qputenv("PATH", path);
    // Found beside the test program or not at all: without it the message says so.
    if (!answers.Shown().empty()) QVERIFY(answers.Last().contains(Q("lorvik")));
  }

 private:
  std::unique_ptr<test::ScopedTestEnv> env_;
};

QTEST_MAIN(TasdekDialogsTest)
#include "tasdek_dialogs_test.moc"
