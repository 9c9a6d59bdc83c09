// CMainFrame: the Task View's main window - the task list, its menus, accelerators,
// status-bar prompts and context menus, the commands behind them, and the listener on the
// Task View's mailslot that refreshes one row per announcement.
#pragma once

#include <QAction>
#include <QMainWindow>
#include <QMenu>
#include <QProcess>
#include <QSocketNotifier>
#include <QTreeView>
#include <functional>
#include <memory>
#include <string>

#include "common/mailslot.h"
#include "tasdek/task_table_model.h"
#include "taskview/service_control.h"
#include "taskview/tasdek_doc.h"

namespace pondrel::tasdek {

class CMainFrame : public QMainWindow {
  Q_OBJECT
 public:
  explicit CMainFrame(QWidget* parent = nullptr);
  ~CMainFrame() override;

  // Creates the mailslot listener and loads the task list. False, with the reason in
  // `error`, when the program cannot go on (the mailslot is taken, the schedule file cannot
  // be read).
  bool Create(std::string* error);
  // At start-up in a shown window: with no server stored, says so and offers the server
  // editor (not in embedded mode).
  void OfferFirstServer();

  // Commands.
  void OnNewTask();
  void OnEditTask();
  void OnDuplicateTask();
  void OnDeleteTask();
  void OnRefresh();
  void OnExecuteNow();
  void OnAbort();
  void OnStartService();
  void OnStopService();
  void OnDisplayLog();
  void OnClearLog();
  void OnServerList();
  void OnServerAdd();
  void OnOptions();
  void OnAbout();
  void OnToggleGenHtml();

  // Recomputes which commands are enabled; `probe_service` also asks the service (installed,
  // running) for Start and Stop Service, as opening the Tools menu does.
  void UpdateCommands(bool probe_service);
  // Every waiting mailslot message: each "ZORIC:01:" refreshes its task's row.
  void HandleMailslot();
  // The error display: codes 1-7.
  void ShowError(int code);

  // Automation (the document object).
  int SelectServer(const std::string& server_id);
  int DeleteServer(const std::string& server_id);
  void ShowFromAutomation();
  void UpdateFromAutomation();

  // The Image List commands (Display Images..., Delete Image...); the frame opens the Image
  // List for them. Tests may hand other actions; an empty one disables its item.
  void SetImageCommands(std::function<void()> display_images, std::function<void()> delete_images);

  int SelectedRow() const;
  std::string SelectedTaskName() const;
  void SelectRow(int row);

  CTasdekDoc& Doc() { return doc_; }
  TaskListModel& List() { return list_; }
  CTaskTableModel* Model() { return model_; }
  QTreeView* View() { return view_; }
  ServiceControl& Service() { return service_; }
  QMenu* ContextMenu(bool with_selection);

  QAction *act_new, *act_edit, *act_duplicate, *act_delete, *act_execute, *act_abort, *act_exit;
  QAction *act_server_add, *act_server_edit, *act_refresh;
  QAction *act_display_log, *act_clear_log, *act_display_images, *act_delete_image;
  QAction *act_start_service, *act_stop_service, *act_options, *act_about, *act_gen_html;
  QMenu* server_menu = nullptr;

 protected:
  void contextMenuEvent(QContextMenuEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void BuildMenus();
  void CreateActions();   // the commands with their texts, prompts, shortcuts and icons
  void ConnectActions();  // each command to what it does
  void SizeColumns();
  void FitScheduleColumn();
  int schedule_min_width_ = 0;
  void AfterDocumentChange(const std::string& select_name);
  void ShowDocResult(DocResult result);

  CTasdekDoc doc_;
  TaskListModel list_;
  CTaskTableModel* model_;
  QTreeView* view_;
  ServiceControl service_;
  CKVMailSlot slot_;
  std::unique_ptr<QSocketNotifier> notifier_;
  QProcess* lorvik_ = nullptr;
  std::function<void()> display_images_, delete_images_;
};

}  // namespace pondrel::tasdek
