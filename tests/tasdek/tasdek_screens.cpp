// Renders each window and dialog of the Task View into PNG files, for a reviewer without a
// desktop: tasdek_screens <output folder>. Run it under Xvfb (scripts/screenshots.sh).
#include <QApplication>
#include <QDir>
#include <QMenuBar>
#include <QMessageBox>
#include <QPainter>
#include <QStatusBar>
#include <QTimer>
#include <cstdio>

#include "tasdek/image_list_dialog.h"
#include "tasdek/main_window.h"
#include "tasdek/message_presenter.h"
#include "tasdek/options_dialog.h"
#include "tasdek/server_dialogs.h"
#include "tasdek/task_editor_dialog.h"
#include "tests/support/test_env.h"
#include "tests/tasdek/sample_world.h"
#include "tests/taskview/album_fixture.h"

using namespace pondrel;
using namespace pondrel::tasdek;

namespace {

QString g_out;

void Settle() {
  for (int i = 0; i < 5; ++i) QApplication::processEvents();
}

void Save(QWidget* w, const char* name) {
  w->show();
  Settle();
  const QString path = g_out + "/" + name + ".png";
  if (!w->grab().save(path)) std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
  std::printf("%s\n", qPrintable(path));
}

// A window together with one of its open menus, as the user sees it.
void SaveWithMenu(CMainFrame* frame, QMenu* menu, const QPoint& at, const char* name) {
  menu->popup(frame->mapToGlobal(at));
  Settle();
  QPixmap shot = frame->grab();
  QPainter p(&shot);
  p.drawPixmap(frame->mapFromGlobal(menu->pos()), menu->grab());
  p.end();
  shot.save(g_out + "/" + name + ".png");
  std::printf("%s/%s.png\n", qPrintable(g_out), name);
  menu->hide();
}

// The main window, its menus and its context menus.
void SaveMainWindow(CMainFrame* frame) {
  frame->SelectRow(1);
  Save(frame, "main_window");
  frame->statusBar()->showMessage(frame->act_execute->statusTip());
  const QList<QAction*> menus = frame->menuBar()->actions();
  SaveWithMenu(frame, menus[0]->menu(), frame->menuBar()->actionGeometry(menus[0]).bottomLeft(),
               "menu_task");
  frame->UpdateCommands(true);
  SaveWithMenu(frame, menus[3]->menu(), frame->menuBar()->actionGeometry(menus[3]).bottomLeft(),
               "menu_tools");
  SaveWithMenu(frame, frame->ContextMenu(true), QPoint(120, 120), "context_menu_task");
  frame->SelectRow(-1);
  SaveWithMenu(frame, frame->ContextMenu(false), QPoint(120, 260), "context_menu_no_task");
}

void SaveTaskEditors(CMainFrame* frame) {
  {
    CKVTask fresh;
    CTaskEditorDialog dlg(fresh, "", frame->Doc(), nullptr, frame);
    Save(&dlg, "task_editor_new");
  }
  {
    const TaskEntry* e = frame->Doc().FindTask("Roof last Friday");
    CTaskEditorDialog dlg(e->task, e->server_name, frame->Doc(), nullptr, frame);
    Save(&dlg, "task_editor_monthly");
  }
  {
    const TaskEntry* e = frame->Doc().FindTask("Roof weekdays");
    CTaskEditorDialog dlg(e->task, e->server_name, frame->Doc(), nullptr, frame);
    dlg.repeat->setChecked(true);
    Save(&dlg, "task_editor_weekly");
  }
}

// The server list and editors, and the options. False when the stored profiles cannot be read.
bool SaveServerDialogs(CMainFrame* frame) {
  {
    CServerListDialog dlg(frame->Model(), frame);
    Save(&dlg, "server_list");
  }
  {
    CKVSrvInfo rec;
    CServerEditorDialog dlg(rec, {}, {"provider", "office-isdn"}, frame);
    Save(&dlg, "server_editor_new");
  }
  {
    std::vector<CKVSrvInfo> servers;
    if (LoadServerList(&servers, kSrvMaskAll) != SrvResult::SRV_OK || servers.size() < 2)
      return false;
    CServerEditorDialog dlg(servers[1], {}, {}, frame);
    Save(&dlg, "server_editor_proxy_no_dialup");
  }
  {
    COptionsDialog dlg(frame);
    Save(&dlg, "options");
  }
  return true;
}

void SaveImageLists(CMainFrame* frame, const std::string& root) {
  {
    // The Lobby camera's last days, a picture a minute.
    const std::string lobby = root + "/img/lobby";
    album::testing::AddPictures(lobby, 2003, 4, 4, 1440);
    album::testing::AddPictures(lobby, 2003, 4, 5, 980);
    album::testing::AddPictures(lobby, 2003, 4, 6, 36);
    CImageListDialog dlg(std::make_unique<CImageList>(ImageListMode::kDisplay), frame);
    dlg.show();
    Settle();
    dlg.days->setCurrentItem(dlg.days->topLevelItem(1));
    Save(&dlg, "image_list_display");
  }
  {
    CImageListDialog dlg(std::make_unique<CImageList>(ImageListMode::kDelete), frame);
    Save(&dlg, "image_list_delete");
  }
}

void SaveAboutAndMessages(CMainFrame* frame) {
  {
    CAboutDialog dlg(frame);
    Save(&dlg, "about");
  }
  {
    QMessageBox box(QMessageBox::Question, QString::fromLatin1(kAppTitle),
                    QStringLiteral("Are you sure you want to delete \"Lobby daily\"?"),
                    QMessageBox::Ok | QMessageBox::Cancel, frame);
    Save(&box, "message_delete_task");
  }
  {
    QMessageBox box(
        QMessageBox::Warning, QStringLiteral("Server Information"),
        QStringLiteral(
            "The following characters are invalid for a Server Name. \n \" \\ / | : ; , * ? < >"),
        QMessageBox::Ok, frame);
    Save(&box, "message_server_name");
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: tasdek_screens <output folder>\n");
    return 2;
  }
  QApplication app(argc, argv);
  g_out = QDir(QString::fromLocal8Bit(argv[1])).absolutePath();
  QDir().mkpath(g_out);
  test::ScopedTestEnv env;
  sample::BuildShowcase(env.Root());
  // A dial-up entry list of its own is not needed: the server editor shows what the system has.

  CMainFrame frame;
  std::string error;
  if (!frame.Create(&error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 1;
  }
  SaveMainWindow(&frame);
  SaveTaskEditors(&frame);
  if (!SaveServerDialogs(&frame)) return 1;
  SaveImageLists(&frame, env.Root());
  SaveAboutAndMessages(&frame);
  return 0;
}
