// The Image List dialog and the album clean-up at close on the offscreen platform: the server
// drop-down, the day list and its sorting, the button's text and enabling, generation and the
// browser hand-off, and the delete mode's refusals, lock and deletion.
#include <QHeaderView>
#include <QTest>

#include "common/fs_util.h"
#include "common/mailslot.h"
#include "common/named_object.h"
#include "tasdek/image_list_dialog.h"
#include "tasdek/main_window.h"
#include "tasdek/tasdek_app.h"
#include "taskview/messages.h"
#include "tests/support/test_env.h"
#include "tests/tasdek/qt_test_helpers.h"
#include "tests/tasdek/sample_world.h"
#include "tests/taskview/album_fixture.h"

using namespace pondrel;
using namespace pondrel::tasdek;
using namespace pondrel::tasdek::testing;
using album::testing::AddPictures;

namespace {

QString Q(const char* s) { return QString::fromUtf8(s); }

QStringList Column(QTreeWidget* t, int column) {
  QStringList out;
  for (int i = 0; i < t->topLevelItemCount(); ++i) out << t->topLevelItem(i)->text(column);
  return out;
}

void SelectRow(QTreeWidget* t, int row) {
  t->setCurrentItem(t->topLevelItem(row));
  t->topLevelItem(row)->setSelected(true);
}

}  // namespace

class ImageListDialogTest : public QObject {
  Q_OBJECT

 private slots:
  void init() {
    env_ = std::make_unique<test::ScopedTestEnv>();
    SetStandAlone(false);
    opened_.clear();
    CImageListDialog::SetOpener([this](const QString& path) {
      opened_ << path;
      return open_result_;
    });
    open_result_ = true;
  }
  void cleanup() { env_.reset(); }

  void DisplayModeListsTheDaysAndOpensTheAlbum() {
    sample::AddServer("Empty camera", Dir("empty"));
    sample::AddServer("Yard 50%", Dir("yard"));
    AddPictures(Dir("yard"), 2003, 1, 5, 120);
    AddPictures(Dir("yard"), 2003, 11, 2, 3);
    AddPictures(Dir("yard"), 2004, 2, 29, 7);
    MessageAnswers answers;
    CImageListDialog dlg(std::make_unique<CImageList>(ImageListMode::kDisplay));
    QCOMPARE(dlg.windowTitle(), Q("Image List"));
    QCOMPARE(dlg.servers->count(), 2);
    QCOMPARE(dlg.servers->currentText(), Q("Empty camera"));
    QCOMPARE(dlg.days->headerItem()->text(0), Q("Recorded Date"));
    QCOMPARE(dlg.days->headerItem()->text(1), Q("Image File Count"));
    QCOMPARE(dlg.days->columnWidth(0), 150);
    QCOMPARE(dlg.action->text(), Q("Display Image..."));
    dlg.show();  // the first paint fills the list
    QVERIFY(QTest::qWaitForWindowExposed(&dlg));
    QCOMPARE(dlg.days->topLevelItemCount(), 0);
    QVERIFY(!dlg.action->isEnabled());

    dlg.servers->setCurrentIndex(1);
    QCOMPARE(Column(dlg.days, 0), (QStringList{"2003/01/05", "2003/11/02", "2004/02/29"}));
    QCOMPARE(Column(dlg.days, 1), (QStringList{"120", "3", "7"}));
    QCOMPARE(dlg.progress->value(), 0);
    emit dlg.days->header()->sectionClicked(1);  // first click: descending
    QCOMPARE(Column(dlg.days, 1), (QStringList{"120", "7", "3"}));
    emit dlg.days->header()->sectionClicked(0);
    QCOMPARE(Column(dlg.days, 0), (QStringList{"2004/02/29", "2003/11/02", "2003/01/05"}));
    QVERIFY(!dlg.action->isEnabled());

    SelectRow(dlg.days, 2);
    QVERIFY(dlg.action->isEnabled());
    answers.Queue(QMessageBox::Cancel);
    dlg.action->click();
    QCOMPARE(answers.Last(), Q("HTML files to view image file \"2003/01/05\" will be generated.\r\n"
                               "Do you want to continue?"));
    QVERIFY(opened_.isEmpty());
    QVERIFY(!FileExists(Dir("yard") + "/html/20030105"));
    dlg.action->click();
    QCOMPARE(opened_,
             QStringList{QString::fromStdString(Dir("yard") + "/html/20030105/top-e.html")});
    QVERIFY(test::ReadFile(opened_[0].toStdString()).find("<TITLE>Yard 50% 2003/01/05</TITLE>") !=
            std::string::npos);
    QVERIFY(dlg.action->isEnabled());

    // A browser that cannot be started, and a day whose pictures went away: the same message.
    open_result_ = false;
    dlg.action->click();
    QCOMPARE(answers.Last(), Q("Failed to generate HTML file to view image files."));
    open_result_ = true;
    std::remove(DayIndexPath(InfoDirOf(Dir("yard")), 2004, 229).c_str());
    SelectRow(dlg.days, 0);
    answers.Clear();
    dlg.action->click();
    QCOMPARE(answers.Shown().size(), size_t{2});
    QCOMPARE(answers.Last(), Q("Failed to generate HTML file to view image files."));
    QCOMPARE(opened_.size(), 2);
  }

  void DeleteModeOpensOnlyWhileTheServiceIsStopped() {
    sample::AddServer("Yard", Dir("yard"));
    AddPictures(Dir("yard"), 2003, 1, 5, 4);
    AddPictures(Dir("yard"), 2003, 1, 6, 2);
    MessageAnswers answers;
    ServiceControl service;
    {
      CKVMailSlot running;
      QCOMPARE(running.Create(kServiceMailslot), 1);
      OpenImageListDialog(nullptr, ImageListMode::kDelete, service);
      QCOMPARE(answers.Last(), Q("Stop the Pondrel Task Scheduler Service to continue."));
      QVERIFY(answers.Shown().back().icon == MsgIcon::kInformation);
    }
    {
      NamedLock other(kEnvironmentLockName);
      QVERIFY(other.TryLock());
      OpenImageListDialog(nullptr, ImageListMode::kDelete, service);
      QCOMPARE(answers.Last(), Q("Mutex error"));
    }
    answers.Clear();
    bool lock_held = false;
    QStringList after;
    WhenModal<CImageListDialog>([&](CImageListDialog* d) {
      lock_held = NamedObject::Exists(kEnvironmentLockName);
      QTimer::singleShot(0, d, [&, d] {
        QCOMPARE(d->action->text(), Q("Delete Image"));
        SelectRow(d->days, 0);
        answers.Queue(QMessageBox::Cancel);
        d->action->click();  // cancelled: the day stays
        d->action->click();
        after = Column(d->days, 0);
        d->reject();
      });
    });
    OpenImageListDialog(nullptr, ImageListMode::kDelete, service);
    QVERIFY(lock_held);
    QVERIFY(!NamedObject::Exists(kEnvironmentLockName));  // released with the dialog
    QCOMPARE(answers.Shown().size(), size_t{2});
    QCOMPARE(answers.Last(), Q("Are you sure you want to delete \"2003/01/05\" image file?"));
    QCOMPARE(after, QStringList{"2003/01/06"});
    QVERIFY(!FileExists(Dir("yard") + "/info/2003/0105.idx"));
    QVERIFY(FileExists(Dir("yard") + "/info/2003/0106.idx"));
  }

  void MainWindowImageCommandsAndTheCleanUpAtClose() {
    sample::AddServer("A", Dir("a"));
    sample::AddServer("B", Dir("b"));
    sample::AddServer("C", Dir("c"));
    MessageAnswers answers;
    {
      CMainFrame frame;
      std::string error;
      QVERIFY(frame.Create(&error));
      frame.UpdateCommands(false);
      QVERIFY(frame.act_display_images->isEnabled());
      QVERIFY(frame.act_delete_image->isEnabled());
      QCOMPARE(frame.act_display_images->text(), Q("Display &Images..."));
      // No albums: nothing is asked.
      frame.close();
      QVERIFY(answers.Shown().empty());
    }
    CreateDirectoryChain(Dir("b") + "/html/20030105");
    CreateDirectoryChain(Dir("c") + "/html");
    {
      CMainFrame frame;
      std::string error;
      QVERIFY(frame.Create(&error));
      answers.Queue(QMessageBox::No);
      frame.close();
      QCOMPARE(answers.Last(), Q("Are you sure you want to delete HTML file?"));
      QVERIFY(answers.Shown().back().buttons == (QMessageBox::Yes | QMessageBox::No));
      QVERIFY(IsDirectory(Dir("b") + "/html"));
    }
    {
      CMainFrame frame;
      std::string error;
      QVERIFY(frame.Create(&error));
      frame.close();  // Yes
      QVERIFY(!FileExists(Dir("b") + "/html"));
      QVERIFY(!FileExists(Dir("c") + "/html"));
    }
  }

 private:
  std::string Dir(const char* name) const { return env_->Path(name); }
  std::unique_ptr<test::ScopedTestEnv> env_;
  QStringList opened_;
  bool open_result_ = true;
};

QTEST_MAIN(ImageListDialogTest)
#include "image_list_dialog_test.moc"
