#include "tasdek/main_window.h"

#include <QApplication>
#include <QCloseEvent>
#include <QContextMenuEvent>
#include <QHeaderView>
#include <QMenuBar>
#include <QResizeEvent>
#include <QStatusBar>
#include <cstdio>

#include "common/fs_util.h"
#include "common/guid.h"
#include "common/named_object.h"
#include "servers/srvmgr.h"
#include "tasdek/image_list_dialog.h"
#include "tasdek/message_presenter.h"
#include "tasdek/options_dialog.h"
#include "tasdek/server_dialogs.h"
#include "tasdek/tasdek_app.h"
#include "tasdek/task_editor_dialog.h"
#include "taskview/messages.h"
#include "taskview/options_model.h"
#include "taskview/task_editor.h"

namespace pondrel::tasdek {
namespace {

QString Q(const std::string& s) { return QString::fromStdString(s); }

// The environment lock: while the server list is open the service starts no download.
constexpr char kEnvLockName[] = "VeltaZoricSetEnvMutexName";

// Holds the wait cursor for a scope.
class WaitCursor {
 public:
  WaitCursor() { QApplication::setOverrideCursor(Qt::WaitCursor); }
  ~WaitCursor() { QApplication::restoreOverrideCursor(); }
  WaitCursor(const WaitCursor&) = delete;
  WaitCursor& operator=(const WaitCursor&) = delete;
};

QAction* MakeAction(QObject* parent, const char* text, const char* prompt,
                    const QKeySequence& key = {}) {
  auto* a = new QAction(QString::fromLatin1(text), parent);
  a->setStatusTip(QString::fromLatin1(prompt));
  if (!key.isEmpty()) a->setShortcut(key);
  return a;
}

}  // namespace

CMainFrame::CMainFrame(QWidget* parent) : QMainWindow(parent), list_(&doc_) {
  setWindowTitle(QString::fromLatin1(kAppTitle));
  setWindowIcon(AppIcon());
  model_ = new CTaskTableModel(&doc_, &list_, this);
  view_ = new QTreeView(this);
  view_->setModel(model_);
  view_->setRootIsDecorated(false);
  view_->setItemsExpandable(false);
  view_->setUniformRowHeights(true);
  view_->setAllColumnsShowFocus(true);
  view_->setSelectionMode(QAbstractItemView::SingleSelection);
  view_->setSelectionBehavior(QAbstractItemView::SelectRows);
  view_->setEditTriggers(QAbstractItemView::NoEditTriggers);
  view_->setContextMenuPolicy(Qt::NoContextMenu);
  view_->header()->setSectionsClickable(true);
  view_->header()->setStretchLastSection(false);
  view_->setIconSize(QSize(16, 16));
  setCentralWidget(view_);
  statusBar()->showMessage(QStringLiteral("Ready"));
  BuildMenus();
  SizeColumns();
  view_->viewport()->installEventFilter(this);
  resize(1180, 520);
  SetImageCommands([this] { OpenImageListDialog(this, ImageListMode::kDisplay, service_); },
                   [this] { OpenImageListDialog(this, ImageListMode::kDelete, service_); });

  connect(view_->header(), &QHeaderView::sectionClicked, this, [this](int column) {
    const std::string selected = SelectedTaskName();
    list_.ClickColumn(column);
    model_->Reset();
    if (!selected.empty()) SelectRow(list_.FindRow(selected));
  });
  connect(view_, &QTreeView::doubleClicked, this, [this] { OnEditTask(); });
  connect(view_->selectionModel(), &QItemSelectionModel::selectionChanged, this,
          [this] { UpdateCommands(false); });
  connect(model_, &QAbstractItemModel::modelReset, this, [this] { UpdateCommands(false); });
  UpdateCommands(false);
}

CMainFrame::~CMainFrame() {
  // The Log Viewer that this window started is closed with it.
  if (lorvik_ && lorvik_->state() != QProcess::NotRunning) {
    lorvik_->terminate();
    lorvik_->waitForFinished(2000);
  }
}

void CMainFrame::CreateActions() {
  act_new = MakeAction(this, "&New Task...", "Add new task", QKeySequence(Qt::CTRL | Qt::Key_N));
  act_edit = MakeAction(this, "&Edit Task...", "Edit a task");
  act_edit->setShortcuts({QKeySequence(Qt::Key_Return), QKeySequence(Qt::Key_Enter)});
  act_duplicate =
      MakeAction(this, "D&uplicate Task", "Duplicate a task", QKeySequence(Qt::CTRL | Qt::Key_D));
  act_delete = MakeAction(this, "&Delete Task", "Delete a task", QKeySequence(Qt::Key_Delete));
  act_execute = MakeAction(this, "E&xecute now", "Execute the selected task now",
                           QKeySequence(Qt::CTRL | Qt::Key_E));
  act_abort = MakeAction(this, "&Abort", "Abort Task");
  act_exit = MakeAction(this, "E&xit", "Closes an application");
  act_server_add = MakeAction(this, "&Add...", "Add new server information");
  act_server_edit =
      MakeAction(this, "&Edit", "Display server list and confirm/edit server information");
  act_refresh =
      MakeAction(this, "&Refresh", "Refresh a task information", QKeySequence(Qt::Key_F5));
  act_display_log = MakeAction(this, "Display &Log...", "Start log viewer and display log");
  act_clear_log = MakeAction(this, "&Clear Log", "Clear log file");
  act_display_images =
      MakeAction(this, "Display &Images...", "Generate and display HTML file to view image files");
  act_delete_image = MakeAction(this, "&Delete Image...", "Delete image files");
  act_start_service = MakeAction(this, "&Start Service", "Start Service");
  act_stop_service = MakeAction(this, "S&top Service", "Stop Service");
  act_options = MakeAction(this, "&Options...", "Setup operating environment.");
  act_about = MakeAction(this, "&About Pondrel Task View...",
                         "View the program, version and copyright information");
  act_gen_html = MakeAction(this, "Generate HTML", "");
  act_gen_html->setCheckable(true);
  act_gen_html->setChecked(ReadGenHtmlFlag());
  // Enter and Delete belong to the list, not to the dialogs and menus above it.
  for (QAction* a : {act_edit, act_delete}) a->setShortcutContext(Qt::WidgetWithChildrenShortcut);
  act_new->setIcon(QIcon::fromTheme(QStringLiteral("document-new")));
  act_delete->setIcon(QIcon::fromTheme(QStringLiteral("edit-delete")));
  act_refresh->setIcon(QIcon::fromTheme(QStringLiteral("view-refresh")));
  act_exit->setIcon(QIcon::fromTheme(QStringLiteral("application-exit")));
  act_execute->setIcon(QIcon::fromTheme(QStringLiteral("media-playback-start")));
  act_abort->setIcon(QIcon::fromTheme(QStringLiteral("process-stop")));
}

void CMainFrame::ConnectActions() {
  connect(act_new, &QAction::triggered, this, &CMainFrame::OnNewTask);
  connect(act_edit, &QAction::triggered, this, &CMainFrame::OnEditTask);
  connect(act_duplicate, &QAction::triggered, this, &CMainFrame::OnDuplicateTask);
  connect(act_delete, &QAction::triggered, this, &CMainFrame::OnDeleteTask);
  connect(act_execute, &QAction::triggered, this, &CMainFrame::OnExecuteNow);
  connect(act_abort, &QAction::triggered, this, &CMainFrame::OnAbort);
  connect(act_exit, &QAction::triggered, this, &QWidget::close);
  connect(act_server_add, &QAction::triggered, this, &CMainFrame::OnServerAdd);
  connect(act_server_edit, &QAction::triggered, this, &CMainFrame::OnServerList);
  connect(act_refresh, &QAction::triggered, this, &CMainFrame::OnRefresh);
  connect(act_display_log, &QAction::triggered, this, &CMainFrame::OnDisplayLog);
  connect(act_clear_log, &QAction::triggered, this, &CMainFrame::OnClearLog);
  connect(act_display_images, &QAction::triggered, this, [this] {
    if (display_images_) display_images_();
  });
  connect(act_delete_image, &QAction::triggered, this, [this] {
    if (delete_images_) delete_images_();
  });
  connect(act_start_service, &QAction::triggered, this, &CMainFrame::OnStartService);
  connect(act_stop_service, &QAction::triggered, this, &CMainFrame::OnStopService);
  connect(act_options, &QAction::triggered, this, &CMainFrame::OnOptions);
  connect(act_about, &QAction::triggered, this, &CMainFrame::OnAbout);
  connect(act_gen_html, &QAction::triggered, this, &CMainFrame::OnToggleGenHtml);
}

void CMainFrame::BuildMenus() {
  CreateActions();
  QMenu* task = menuBar()->addMenu(QStringLiteral("&Task"));
  task->addAction(act_new);
  task->addAction(act_edit);
  task->addAction(act_duplicate);
  task->addAction(act_delete);
  task->addSeparator();
  task->addAction(act_execute);
  task->addAction(act_abort);
  task->addSeparator();
  task->addAction(act_exit);
  server_menu = menuBar()->addMenu(QStringLiteral("&Server"));
  server_menu->addAction(act_server_add);
  server_menu->addAction(act_server_edit);
  QMenu* view = menuBar()->addMenu(QStringLiteral("&View"));
  view->addAction(act_refresh);
  QMenu* tools = menuBar()->addMenu(QStringLiteral("T&ools"));
  tools->addAction(act_display_log);
  tools->addAction(act_clear_log);
  tools->addSeparator();
  tools->addAction(act_display_images);
  tools->addAction(act_delete_image);
  QAction* images_separator = tools->addSeparator();
  tools->addAction(act_start_service);
  tools->addAction(act_stop_service);
  tools->addSeparator();
  tools->addAction(act_options);
  QMenu* help = menuBar()->addMenu(QStringLiteral("&Help"));
  help->addAction(act_about);
  // The shortcuts work in the list as well as from the menus.
  view_->addActions({act_edit, act_delete});

  if (IsEmbeddedMode()) {
    // The host product keeps servers and images itself.
    menuBar()->removeAction(server_menu->menuAction());
    tools->removeAction(act_display_images);
    tools->removeAction(act_delete_image);
    tools->removeAction(images_separator);
  }

  connect(task, &QMenu::aboutToShow, this, [this] { UpdateCommands(false); });
  connect(tools, &QMenu::aboutToShow, this, [this] { UpdateCommands(true); });
  ConnectActions();
}

void CMainFrame::SizeColumns() {
  // Widths from sample texts in the list's font, as wide as their contents usually need.
  const QFontMetrics fm(view_->font());
  auto w = [&fm](const char* s) { return fm.horizontalAdvance(QString::fromLatin1(s)); };
  int widest_word = 0;
  for (const char* word : {"Succeeded", "Failed", "Aborted", "Failed to start"}) {
    widest_word = std::max(widest_word, w(word));
  }
  const int pad = 12;  // the cell's own margins
  view_->setColumnWidth(kColTaskName, w("00000000000000000000") + 16 + pad + 8);
  view_->setColumnWidth(kColServerName, w("00000000000000000000") + pad);
  view_->setColumnWidth(kColNextRunTime, w("0000/00/00 00:00:00") + pad);
  view_->setColumnWidth(kColLastResult, w("(0000/00/00 00:00:00)") + widest_word + pad);
  schedule_min_width_ = w("0000000000000000000000000000000000000000") + pad;
  view_->setColumnWidth(kColSchedule, schedule_min_width_);
}

void CMainFrame::FitScheduleColumn() {
  // The Schedule column takes the rest of the list's width when that is wider than its own.
  int others = 0;
  for (int c = 0; c < kColSchedule; ++c) others += view_->columnWidth(c);
  const int rest = view_->viewport()->width() - others;
  view_->setColumnWidth(kColSchedule, rest > schedule_min_width_ ? rest - 16 : schedule_min_width_);
}

bool CMainFrame::eventFilter(QObject* watched, QEvent* event) {
  if (watched == view_->viewport() && event->type() == QEvent::Resize) FitScheduleColumn();
  return QMainWindow::eventFilter(watched, event);
}

bool CMainFrame::Create(std::string* error) {
  char err[256] = {};
  if (!slot_.Create(kTaskViewMailslot, err, sizeof err)) {
    *error =
        std::string("cannot create the Task View's mailslot (another Task View owns it?): ") + err;
    return false;
  }
  notifier_ = std::make_unique<QSocketNotifier>(slot_.NotifyFd(), QSocketNotifier::Read);
  connect(notifier_.get(), &QSocketNotifier::activated, this, &CMainFrame::HandleMailslot);
  const DocResult r = list_.Refresh();
  model_->Reset();
  if (r != DocResult::kOk) {
    ShowError(ResultCode(r));
    *error = ErrorText(ResultCode(r));
    return false;
  }
  if (list_.RowCount() > 0) SelectRow(0);
  return true;
}

void CMainFrame::OfferFirstServer() {
  std::vector<CKVSrvInfo> servers;
  if (LoadServerList(&servers, kSrvMaskName) != SrvResult::SRV_OK || !servers.empty()) return;
  CMessagePresenter::Show(this, QString::fromLatin1(kMsgNoServer), MsgIcon::kInformation);
  if (!IsEmbeddedMode()) OnServerAdd();
}

void CMainFrame::HandleMailslot() {
  // Every announcement waiting is handled now; the socket is read empty first so that the
  // kernel's short queue never makes a sender drop one.
  slot_.Pump();
  bool any = false;
  while (slot_.Receive() && slot_.LastLength() > 0) {
    std::string name;
    if (ParseTaskChangedMessage(std::string_view(slot_.Message()), &name)) {
      any = model_->RefreshTask(name) || any;
    }
  }
  if (any) UpdateCommands(false);
}

void CMainFrame::ShowError(int code) {
  const char* text = ErrorText(code);
  if (text[0] == '\0') return;
  CMessagePresenter::Show(this, QString::fromLatin1(text));
}

void CMainFrame::ShowDocResult(DocResult result) {
  if (result == DocResult::kNameExists) {
    CMessagePresenter::Show(this, QString::fromLatin1(kMsgTaskNameExists));
  } else {
    ShowError(ResultCode(result));
  }
}

int CMainFrame::SelectedRow() const {
  const QModelIndexList rows = view_->selectionModel()->selectedRows();
  return rows.isEmpty() ? -1 : rows.first().row();
}

std::string CMainFrame::SelectedTaskName() const {
  const TaskEntry* e = model_->EntryAt(SelectedRow());
  return e ? std::string(e->task.Name) : std::string();
}

void CMainFrame::SelectRow(int row) {
  if (row < 0 || row >= model_->rowCount()) {
    view_->selectionModel()->clearSelection();
    return;
  }
  const QModelIndex i = model_->index(row, 0);
  view_->selectionModel()->setCurrentIndex(
      i, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
  view_->scrollTo(i);
}

void CMainFrame::UpdateCommands(bool probe_service) {
  const TaskEntry* e = model_->EntryAt(SelectedRow());
  const bool selected = e != nullptr;
  act_edit->setEnabled(selected);
  act_duplicate->setEnabled(selected);
  act_delete->setEnabled(selected);
  act_execute->setEnabled(selected && doc_.FindTask(e->task.Name) && e->task.Effect == 1 &&
                          e->task.ActState != kStateDisabled);
  act_abort->setEnabled(selected && e->task.ActState == kStateRunning);
  act_display_images->setEnabled(static_cast<bool>(display_images_));
  act_delete_image->setEnabled(static_cast<bool>(delete_images_));
  if (probe_service) {
    const bool installed = service_.IsServiceInstalled();
    const bool running = installed && service_.IsServiceRunning();
    act_start_service->setEnabled(installed && !running);
    act_stop_service->setEnabled(installed && running);
  }
}

void CMainFrame::SetImageCommands(std::function<void()> display_images,
                                  std::function<void()> delete_images) {
  display_images_ = std::move(display_images);
  delete_images_ = std::move(delete_images);
  UpdateCommands(false);
}

QMenu* CMainFrame::ContextMenu(bool with_selection) {
  auto* menu = new QMenu(this);
  menu->setAttribute(Qt::WA_DeleteOnClose);
  UpdateCommands(false);
  if (with_selection) {
    menu->addAction(QStringLiteral("&Edit..."), this, &CMainFrame::OnEditTask);
    menu->addAction(QStringLiteral("D&uplicate"), this, &CMainFrame::OnDuplicateTask);
    menu->addAction(QStringLiteral("&Delete"), this, &CMainFrame::OnDeleteTask);
    menu->addSeparator();
    menu->addAction(act_execute);
    menu->addAction(act_abort);
    return menu;
  }
  menu->addAction(QStringLiteral("&Add New Task..."), this, &CMainFrame::OnNewTask);
  const bool embedded = IsEmbeddedMode();
  if (!embedded) {
    menu->addSeparator();
    menu->addAction(QStringLiteral("&Edit Server"), this, &CMainFrame::OnServerList);
  }
  menu->addAction(act_display_log);
  if (!embedded) menu->addAction(act_display_images);
  menu->addSeparator();
  menu->addAction(act_refresh);
  return menu;
}

void CMainFrame::contextMenuEvent(QContextMenuEvent* event) {
  if (!view_->geometry().contains(event->pos())) {
    QMainWindow::contextMenuEvent(event);
    return;
  }
  // A right click selects the row under it, or clears the selection below the last row.
  const QPoint in_view = view_->viewport()->mapFrom(this, event->pos());
  if (event->reason() == QContextMenuEvent::Mouse) {
    const QModelIndex at = view_->indexAt(in_view);
    SelectRow(at.isValid() ? at.row() : -1);
  }
  ContextMenu(SelectedRow() >= 0)->popup(event->globalPos());
}

void CMainFrame::AfterDocumentChange(const std::string& select_name) {
  list_.RebuildKeepingSort();
  model_->Reset();
  if (!select_name.empty()) SelectRow(list_.FindRow(select_name));
}

void CMainFrame::OnNewTask() {
  std::vector<CKVSrvInfo> servers;
  if (LoadServerList(&servers, kSrvMaskName) != SrvResult::SRV_OK) {
    ShowError(ResultCode(DocResult::kReadError));
    return;
  }
  if (servers.empty()) {
    CMessagePresenter::Show(this, QString::fromLatin1(kMsgNoServer), MsgIcon::kInformation);
    if (IsEmbeddedMode()) return;
    CKVSrvInfo rec;
    CServerEditorDialog editor(
        rec, [this](const Guid& id) { return doc_.IsServerRunning(id); }, ListPhonebookEntries(),
        this);
    if (editor.exec() != QDialog::Accepted) return;
  }
  CKVTask fresh;
  CTaskEditorDialog dlg(fresh, "", doc_, list_.HasServerFilter() ? &list_.ServerFilter() : nullptr,
                        this);
  if (dlg.exec() != QDialog::Accepted) return;
  const DocResult r = AddEditedTask(&doc_, dlg.Result());
  if (r != DocResult::kOk) {
    ShowDocResult(r);
    return;
  }
  // A new task comes last (or where the current sort puts it), selected and in view.
  AfterDocumentChange(dlg.Result().Name);
}

void CMainFrame::OnEditTask() {
  const TaskEntry* e = model_->EntryAt(SelectedRow());
  if (!e) return;
  const CKVTask scratch = e->task;
  const std::string old_name = scratch.Name;
  CTaskEditorDialog dlg(scratch, e->server_name, doc_,
                        list_.HasServerFilter() ? &list_.ServerFilter() : nullptr, this);
  if (dlg.exec() != QDialog::Accepted) return;
  const DocResult r = ModifyEditedTask(&doc_, old_name, dlg.Result());
  if (r != DocResult::kOk) {
    ShowDocResult(r);
    return;
  }
  model_->RedrawTask(dlg.Result().Name);
  UpdateCommands(false);
}

void CMainFrame::OnDuplicateTask() {
  const TaskEntry* e = model_->EntryAt(SelectedRow());
  if (!e) return;
  const std::string name = DuplicateName(doc_);
  if (name.empty()) return;
  char text[512];
  std::snprintf(text, sizeof text, kFmtDuplicateAs, name.c_str());
  CMessagePresenter::Show(this, QString::fromUtf8(text), MsgIcon::kInformation);
  const DocResult r = doc_.AddTask(MakeDuplicate(e->task, name));
  if (r != DocResult::kOk) {
    ShowDocResult(r);
    return;
  }
  AfterDocumentChange(name);
}

void CMainFrame::OnDeleteTask() {
  const int row = SelectedRow();
  const TaskEntry* e = model_->EntryAt(row);
  if (!e) return;
  const std::string name = e->task.Name;
  char text[512];
  std::snprintf(text, sizeof text, kFmtDeleteTaskAsk, name.c_str());
  if (!CMessagePresenter::Ask(this, QString::fromUtf8(text), QMessageBox::Ok | QMessageBox::Cancel))
    return;
  const DocResult r = doc_.DeleteTask(name);
  if (r == DocResult::kTaskRunning) {
    // The service would write a running task back when its run ends.
    ShowError(ResultCode(r));
    return;
  }
  if (r != DocResult::kOk) return;
  list_.RebuildKeepingSort();
  model_->Reset();
  // The row that took its place, or the new last row.
  const int rows = model_->rowCount();
  SelectRow(rows == 0 ? -1 : std::min(row, rows - 1));
}

void CMainFrame::OnRefresh() {
  const std::string selected = SelectedTaskName();
  (void)list_.Refresh();  // the View menu's refresh shows no error
  model_->Reset();
  if (!selected.empty()) SelectRow(list_.FindRow(selected));
}

void CMainFrame::OnExecuteNow() {
  const std::string name = SelectedTaskName();
  if (name.empty()) return;
  if (!service_.IsServiceRunning()) {
    CMessagePresenter::Show(this, QString::fromLatin1(kMsgServiceNotStarted));
  }
  // Sent whatever the probe said: a service starting meanwhile still gets it.
  service_.SendExecuteNow(name);
}

void CMainFrame::OnAbort() {
  const TaskEntry* e = model_->EntryAt(SelectedRow());
  if (!e || e->task.ActState != kStateRunning) return;
  const std::string name = e->task.Name;
  if (!CMessagePresenter::Ask(this, QString::fromLatin1(kMsgAskAbort),
                              QMessageBox::Yes | QMessageBox::No))
    return;
  service_.SendAbort(name);
}

void CMainFrame::OnStartService() {
  if (!CMessagePresenter::Ask(
          this,
          QString::fromLatin1(kMsgAskStart).replace(QStringLiteral("\r\n"), QStringLiteral("\n")),
          QMessageBox::Ok | QMessageBox::Cancel)) {
    return;
  }
  int r;
  {
    WaitCursor wait;
    r = service_.StartService();
  }
  if (r != kServiceOk) ShowError(r);
}

void CMainFrame::OnStopService() {
  if (!CMessagePresenter::Ask(this, QString::fromLatin1(kMsgAskStop),
                              QMessageBox::Ok | QMessageBox::Cancel))
    return;
  int r;
  {
    WaitCursor wait;
    r = service_.StopService();
  }
  if (r != kServiceOk) ShowError(r);
}

void CMainFrame::OnDisplayLog() {
  const std::string log = ServiceControl::LogPath();
  const std::string viewer = FindExecutable("lorvik");
  if (viewer.empty()) {
    CMessagePresenter::Show(
        this, QStringLiteral("The Log Viewer (lorvik) was not found beside this program "
                             "or on the search path, so the log cannot be displayed."));
    return;
  }
  if (lorvik_ && lorvik_->state() != QProcess::NotRunning) {
    // A second start raises the viewer that runs (it is a single-instance program).
    QProcess::startDetached(Q(viewer), {Q(log)});
    return;
  }
  delete lorvik_;
  lorvik_ = new QProcess(this);
  lorvik_->setProcessChannelMode(QProcess::ForwardedChannels);
  lorvik_->setInputChannelMode(QProcess::ForwardedInputChannel);
  lorvik_->start(Q(viewer), {Q(log)});
}

void CMainFrame::OnClearLog() {
  if (!CMessagePresenter::Ask(this, QString::fromLatin1(kMsgAskClearLog),
                              QMessageBox::Yes | QMessageBox::No))
    return;
  ServiceControl::ClearLog();
}

void CMainFrame::OnServerList() {
  // Held while the list is open; when the service holds it (downloads run) the list opens all
  // the same and the running-task test keeps servers in use unchanged.
  NamedLock env(kEnvLockName);
  env.TryLock();
  CServerListDialog dlg(model_, this);
  if (!dlg.Loaded()) return;
  dlg.exec();
  UpdateCommands(false);
}

void CMainFrame::OnServerAdd() {
  CKVSrvInfo rec;
  CServerEditorDialog dlg(
      rec, [this](const Guid& id) { return doc_.IsServerRunning(id); }, ListPhonebookEntries(),
      this);
  dlg.exec();
}

void CMainFrame::OnOptions() {
  COptionsDialog dlg(this);
  dlg.exec();
}

void CMainFrame::OnAbout() {
  CAboutDialog dlg(this);
  dlg.exec();
}

void CMainFrame::OnToggleGenHtml() { WriteGenHtmlFlag(act_gen_html->isChecked()); }

int CMainFrame::SelectServer(const std::string& server_id) {
  if (server_id.empty()) {
    list_.SetServerFilter(nullptr);
  } else {
    Guid id;
    if (!GuidFromRegistryForm("{" + server_id + "}", &id)) return 9;
    list_.SetServerFilter(&id);
  }
  model_->Reset();
  return 0;
}

void CMainFrame::ShowFromAutomation() {
  if (isMinimized()) showNormal();
  show();
  raise();
  activateWindow();
}

void CMainFrame::UpdateFromAutomation() {
  OnRefresh();
  // A window still hidden after an automation start stays hidden until ShowWindow.
  if (isVisible()) {
    raise();
    activateWindow();
  }
}

void CMainFrame::closeEvent(QCloseEvent* event) {
  // The albums are offered for deletion before the window goes.
  OfferAlbumCleanup(this);
  notifier_.reset();
  slot_.Close();
  QMainWindow::closeEvent(event);
}

}  // namespace pondrel::tasdek
