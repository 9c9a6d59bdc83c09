#include "tasdek/server_dialogs.h"

#include <QDialogButtonBox>
#include <QFileDialog>
#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QRegularExpressionValidator>
#include <QVBoxLayout>
#include <algorithm>
#include <cstring>

#include "tasdek/message_presenter.h"
#include "tasdek/task_table_model.h"
#include "taskview/messages.h"

namespace pondrel::tasdek {
namespace {

QString Q(const std::string& s) { return QString::fromStdString(s); }

QLineEdit* LimitedEdit(int limit, QWidget* parent, bool digits = false) {
  auto* e = new QLineEdit(parent);
  e->setMaxLength(limit);
  if (digits) {
    e->setValidator(
        new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]*")), e));
  }
  return e;
}

void ShowServerInfoMessage(QWidget* parent, const std::string& text) {
  CMessagePresenter::Show(parent, Q(text), MsgIcon::kExclamation, QMessageBox::Ok,
                          QString::fromLatin1(kCaptionServerInfo));
}

void ShowServerListMessage(QWidget* parent, const char* text) {
  CMessagePresenter::Show(parent, QString::fromLatin1(text), MsgIcon::kExclamation, QMessageBox::Ok,
                          QString::fromLatin1(kCaptionServerList));
}

// Byte-wise comparison of unsigned characters.
int CompareBytes(const std::string& a, const std::string& b) {
  const int c = std::memcmp(a.data(), b.data(), std::min(a.size(), b.size()));
  if (c != 0) return c;
  return a.size() < b.size() ? -1 : (a.size() > b.size() ? 1 : 0);
}

// Ascending order of two rows of the server list by a column: a row without a proxy (or
// without dial-up) comes before a row with one; rows with one compare by its name.
int CompareServerRows(const CKVSrvInfo& a, const CKVSrvInfo& b, int column) {
  switch (column) {
    case 0: return CompareBytes(a.GetServerName(), b.GetServerName());
    case 1: return CompareBytes(a.GetHostName(), b.GetHostName());
    case 2:
      if (!a.GetUseProxy() != !b.GetUseProxy()) return a.GetUseProxy() ? 1 : -1;
      return a.GetUseProxy() ? CompareBytes(a.GetProxyHost(), b.GetProxyHost()) : 0;
    case 3:
      if (!a.GetUsePpp() != !b.GetUsePpp()) return a.GetUsePpp() ? 1 : -1;
      return a.GetUsePpp() ? CompareBytes(a.GetPppConnectionName(), b.GetPppConnectionName()) : 0;
    default: return 0;
  }
}

}  // namespace

QString PickImageDirectory(QWidget* parent, const QString& current) {
  return QFileDialog::getExistingDirectory(parent, QStringLiteral("Select the image directory"),
                                           current.isEmpty() ? QStringLiteral("/") : current,
                                           QFileDialog::ShowDirsOnly);
}

CServerEditorDialog::CServerEditorDialog(const CKVSrvInfo& record,
                                         std::function<bool(const Guid&)> is_running,
                                         std::vector<std::string> phonebook, QWidget* parent)
    : QDialog(parent),
      pick_folder(PickImageDirectory),
      record_(record),
      is_running_(std::move(is_running)) {
  setWindowTitle(QString::fromLatin1(kCaptionServerInfo));
  server_name = LimitedEdit(255, this);
  image_directory = LimitedEdit(200, this);
  browse = new QPushButton(QStringLiteral("Browse..."), this);
  delete_images = new QCheckBox(QStringLiteral("Delete images on the server"), this);
  host_name = LimitedEdit(63, this);
  http_port = LimitedEdit(5, this, true);
  admin_account = LimitedEdit(15, this);
  admin_password = LimitedEdit(15, this);
  admin_password->setEchoMode(QLineEdit::Password);
  settings_page_url = LimitedEdit(31, this);
  settings_page_url->hide();
  use_proxy = new QCheckBox(QStringLiteral("Use Proxy Server"), this);
  proxy_host_label = new QLabel(QStringLiteral("Host Name :"), this);
  proxy_host = LimitedEdit(63, this);
  proxy_port_label = new QLabel(QStringLiteral("Port  :"), this);
  proxy_port = LimitedEdit(5, this, true);
  use_ppp = new QCheckBox(QStringLiteral("Use PPP Connection"), this);
  connection_label = new QLabel(QStringLiteral("Connection Name :"), this);
  connection = new QComboBox(this);
  ppp_account_label = new QLabel(QStringLiteral("Account :"), this);
  ppp_account = LimitedEdit(15, this);
  ppp_password_label = new QLabel(QStringLiteral("Password :"), this);
  ppp_password = LimitedEdit(15, this);
  ppp_password->setEchoMode(QLineEdit::Password);

  LayOutControls();
  FillControls(phonebook);

  connect(use_proxy, &QCheckBox::toggled, this, [this] { UpdateEnabling(); });
  connect(use_ppp, &QCheckBox::toggled, this, [this] { UpdateEnabling(); });
  connect(browse, &QPushButton::clicked, this, [this] {
    const QString dir = pick_folder(this, image_directory->text());
    if (!dir.isEmpty()) image_directory->setText(dir);
  });
  UpdateEnabling();
}

// The name and directory rows, then the server, proxy and PPP groups, and the buttons.
void CServerEditorDialog::LayOutControls() {
  auto* top = new QGridLayout;
  top->addWidget(new QLabel(QStringLiteral("Server Name :"), this), 0, 0);
  top->addWidget(server_name, 0, 1, 1, 2);
  top->addWidget(new QLabel(QStringLiteral("Image Directory :"), this), 1, 0);
  top->addWidget(image_directory, 1, 1);
  top->addWidget(browse, 1, 2);
  top->addWidget(delete_images, 2, 1, 1, 2);
  top->setColumnStretch(1, 1);

  auto* info = new QGroupBox(QStringLiteral("Server Information"), this);
  auto* fi = new QFormLayout(info);
  fi->addRow(QStringLiteral("Host Name :"), host_name);
  fi->addRow(QStringLiteral("HTTP Port :"), http_port);
  fi->addRow(QStringLiteral("Administrator Account :"), admin_account);
  fi->addRow(QStringLiteral("Administrator Password :"), admin_password);

  auto* proxy = new QGroupBox(QStringLiteral("Proxy"), this);
  auto* fp = new QGridLayout(proxy);
  fp->addWidget(use_proxy, 0, 0, 1, 2);
  fp->addWidget(proxy_host_label, 1, 0);
  fp->addWidget(proxy_host, 1, 1);
  fp->addWidget(proxy_port_label, 2, 0);
  fp->addWidget(proxy_port, 2, 1);
  fp->setColumnStretch(1, 1);

  auto* ppp = new QGroupBox(QStringLiteral("PPP"), this);
  auto* fd = new QGridLayout(ppp);
  fd->addWidget(use_ppp, 0, 0, 1, 2);
  fd->addWidget(connection_label, 1, 0);
  fd->addWidget(connection, 1, 1);
  fd->addWidget(ppp_account_label, 2, 0);
  fd->addWidget(ppp_account, 2, 1);
  fd->addWidget(ppp_password_label, 3, 0);
  fd->addWidget(ppp_password, 3, 1);
  fd->setColumnStretch(1, 1);

  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
  connect(buttons, &QDialogButtonBox::accepted, this, [this] { (void)TryAccept(); });
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

  auto* all = new QVBoxLayout(this);
  all->addLayout(top);
  all->addWidget(info);
  auto* side = new QHBoxLayout;
  side->addWidget(proxy);
  side->addWidget(ppp);
  all->addLayout(side);
  all->addWidget(buttons);
  setMinimumWidth(560);
}

void CServerEditorDialog::FillControls(const std::vector<std::string>& phonebook) {
  const ServerEditorForm f = FormFromServer(record_, phonebook);
  for (const std::string& e : phonebook) connection->addItem(Q(e));
  server_name->setText(Q(f.server_name));
  image_directory->setText(Q(f.image_directory));
  delete_images->setChecked(f.delete_images);
  host_name->setText(Q(f.host_name));
  http_port->setText(Q(f.http_port));
  admin_account->setText(Q(f.admin_account));
  admin_password->setText(Q(f.admin_password));
  settings_page_url->setText(Q(f.settings_page_url));
  use_proxy->setChecked(f.use_proxy);
  proxy_host->setText(Q(f.proxy_host));
  proxy_port->setText(Q(f.proxy_port));
  use_ppp->setChecked(f.use_ppp);
  if (!phonebook.empty()) {
    const int i =
        connection->findText(Q(f.ppp_connection_name), Qt::MatchExactly | Qt::MatchCaseSensitive);
    connection->setCurrentIndex(i >= 0 ? i : 0);
  }
  ppp_account->setText(Q(f.ppp_account));
  ppp_password->setText(Q(f.ppp_password));
}

void CServerEditorDialog::UpdateEnabling() {
  const bool have_entries = connection->count() > 0;
  use_ppp->setEnabled(have_entries);
  const bool ppp_on = use_ppp->isChecked() && have_entries;
  for (QWidget* w :
       std::initializer_list<QWidget*>{connection_label, connection, ppp_account_label, ppp_account,
                                       ppp_password_label, ppp_password}) {
    w->setEnabled(ppp_on);
  }
  const bool proxy_on = use_proxy->isChecked();
  for (QWidget* w : std::initializer_list<QWidget*>{proxy_host_label, proxy_host, proxy_port_label,
                                                    proxy_port}) {
    w->setEnabled(proxy_on);
  }
}

ServerEditorForm CServerEditorDialog::FormFromControls() const {
  ServerEditorForm f;
  f.server_name = server_name->text().toStdString();
  f.image_directory = image_directory->text().toStdString();
  f.delete_images = delete_images->isChecked();
  f.host_name = host_name->text().toStdString();
  f.http_port = http_port->text().toStdString();
  f.admin_account = admin_account->text().toStdString();
  f.admin_password = admin_password->text().toStdString();
  f.settings_page_url = settings_page_url->text().toStdString();
  f.use_proxy = use_proxy->isChecked();
  f.proxy_host = proxy_host->text().toStdString();
  f.proxy_port = proxy_port->text().toStdString();
  f.use_ppp = use_ppp->isChecked() && connection->count() > 0;
  f.ppp_connection_name =
      connection->currentIndex() >= 0 ? connection->currentText().toStdString() : "";
  f.ppp_account = ppp_account->text().toStdString();
  f.ppp_password = ppp_password->text().toStdString();
  return f;
}

ServerEdit CServerEditorDialog::TryAccept() {
  const ServerSaveResult r = SaveServer(FormFromControls(), &record_, is_running_);
  if (r.outcome != ServerEdit::kDone) {
    ShowServerInfoMessage(this, r.message);
    return r.outcome;
  }
  accept();
  return ServerEdit::kDone;
}

CServerListDialog::CServerListDialog(CTaskTableModel* tasks, QWidget* parent)
    : QDialog(parent), tasks_(tasks) {
  setWindowTitle(QStringLiteral("Server List"));
  list = new QTreeWidget(this);
  list->setRootIsDecorated(false);
  list->setUniformRowHeights(true);
  list->setAllColumnsShowFocus(true);
  list->setSelectionMode(QAbstractItemView::SingleSelection);
  list->setHeaderLabels({QStringLiteral("Server Name"), QStringLiteral("Host Name"),
                         QStringLiteral("Proxy"), QStringLiteral("PPP")});
  list->header()->setSectionsClickable(true);
  list->header()->setStretchLastSection(true);
  add_button = new QPushButton(QStringLiteral("&Add..."), this);
  edit_button = new QPushButton(QStringLiteral("&Edit..."), this);
  delete_button = new QPushButton(QStringLiteral("&Delete"), this);
  auto* close = new QPushButton(QStringLiteral("Close"), this);
  auto* buttons = new QVBoxLayout;
  for (QPushButton* b : {add_button, edit_button, delete_button}) buttons->addWidget(b);
  buttons->addStretch();
  buttons->addWidget(close);
  auto* all = new QHBoxLayout(this);
  all->addWidget(list, 1);
  all->addLayout(buttons);
  resize(640, 320);

  run_editor = [this](CKVSrvInfo* rec) {
    CServerEditorDialog dlg(
        *rec, [this](const Guid& id) { return tasks_->Doc()->IsServerRunning(id); },
        ListPhonebookEntries(), this);
    if (dlg.exec() != QDialog::Accepted) return false;
    *rec = dlg.Result();
    return true;
  };
  connect(add_button, &QPushButton::clicked, this, &CServerListDialog::Add);
  connect(edit_button, &QPushButton::clicked, this, &CServerListDialog::Edit);
  connect(delete_button, &QPushButton::clicked, this, &CServerListDialog::Delete);
  connect(close, &QPushButton::clicked, this, &QDialog::accept);
  connect(list, &QTreeWidget::itemDoubleClicked, this, [this] { Edit(); });
  connect(list, &QTreeWidget::itemSelectionChanged, this, &CServerListDialog::UpdateButtons);
  connect(list->header(), &QHeaderView::sectionClicked, this, &CServerListDialog::SortByColumn);

  const SrvResult r = LoadServerList(&rows_);
  if (r != SrvResult::SRV_OK) {
    ShowServerListMessage(parent, kMsgServerReadFailed);
    return;
  }
  loaded_ = true;
  Rebuild(rows_.empty() ? -1 : 0);
}

void CServerListDialog::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  if (widths_set_) return;
  widths_set_ = true;
  // Each column a quarter of the list's width; the last takes the rest.
  const int w = list->viewport()->width();
  for (int c = 0; c < 3; ++c) list->setColumnWidth(c, w / 4);
}

void CServerListDialog::FillRow(QTreeWidgetItem* item, const CKVSrvInfo& rec) {
  item->setText(0, Q(rec.GetServerName()));
  item->setText(1, Q(rec.GetHostName()));
  item->setText(2, Q(ServerListProxyText(rec)));
  item->setText(3, Q(ServerListPppText(rec)));
}

void CServerListDialog::Rebuild(int select_row) {
  list->clear();
  for (const CKVSrvInfo& rec : rows_) {
    auto* item = new QTreeWidgetItem(list);
    FillRow(item, rec);
  }
  if (select_row >= 0 && select_row < list->topLevelItemCount()) {
    list->setCurrentItem(list->topLevelItem(select_row));
  }
  UpdateButtons();
}

int CServerListDialog::SelectedRow() const {
  const auto sel = list->selectedItems();
  return sel.isEmpty() ? -1 : list->indexOfTopLevelItem(sel.first());
}

void CServerListDialog::UpdateButtons() {
  const bool selected = SelectedRow() >= 0;
  edit_button->setEnabled(selected);
  delete_button->setEnabled(selected);
}

void CServerListDialog::SortByColumn(int column) {
  const bool descending = clicks_.Click(column);
  const int sel = SelectedRow();
  const Guid selected_id = sel >= 0 ? rows_[static_cast<std::size_t>(sel)].GetId() : Guid{};
  std::stable_sort(rows_.begin(), rows_.end(),
                   [column, descending](const CKVSrvInfo& a, const CKVSrvInfo& b) {
                     const int c = CompareServerRows(a, b, column);
                     return descending ? c > 0 : c < 0;
                   });
  int new_sel = -1;
  for (std::size_t i = 0; sel >= 0 && i < rows_.size(); ++i) {
    if (rows_[i].GetId() == selected_id) new_sel = static_cast<int>(i);
  }
  list->header()->setSortIndicatorShown(true);
  list->header()->setSortIndicator(column, descending ? Qt::DescendingOrder : Qt::AscendingOrder);
  Rebuild(new_sel);
}

void CServerListDialog::Add() {
  CKVSrvInfo rec;
  if (!run_editor(&rec)) return;
  rows_.push_back(rec);
  auto* item = new QTreeWidgetItem(list);
  FillRow(item, rec);
  list->setCurrentItem(item);
  UpdateButtons();
}

void CServerListDialog::Edit() {
  const int row = SelectedRow();
  if (row < 0) return;
  CKVSrvMgr store;
  CKVSrvInfo full;
  if (!store.Init() || store.FindById(rows_[static_cast<std::size_t>(row)].GetId(), &full,
                                      kSrvMaskAll) != SrvResult::SRV_OK) {
    ShowServerListMessage(this, kMsgServerReadFailed);
    return;
  }
  if (!run_editor(&full)) return;
  // The tasks of this server show its new name.
  (void)tasks_->Doc()->ResolveServers();  // on failure the rows keep the names they had
  tasks_->RedrawAll();
  rows_[static_cast<std::size_t>(row)] = full;
  FillRow(list->topLevelItem(row), full);
}

void CServerListDialog::Delete() {
  const int row = SelectedRow();
  if (row < 0) return;
  if (CMessagePresenter::Show(this, QString::fromLatin1(kMsgAskDeleteServer), MsgIcon::kQuestion,
                              QMessageBox::Yes | QMessageBox::No,
                              QString::fromLatin1(kCaptionServerList)) != QMessageBox::Yes) {
    return;
  }
  const ServerDeleteResult r =
      DeleteServerWithTasks(rows_[static_cast<std::size_t>(row)].GetId(), tasks_->Doc());
  tasks_->List()->RebuildKeepingSort();
  tasks_->Reset();
  if (r.task_result != DocResult::kOk) {
    CMessagePresenter::Show(this, QString::fromLatin1(ErrorText(ResultCode(r.task_result))));
  }
  if (r.outcome != ServerEdit::kDone) {
    ShowServerListMessage(this, r.message.c_str());
    return;
  }
  rows_.erase(rows_.begin() + row);
  delete list->takeTopLevelItem(row);
  if (!rows_.empty())
    list->setCurrentItem(
        list->topLevelItem(std::min<int>(row, static_cast<int>(rows_.size()) - 1)));
  UpdateButtons();
}

}  // namespace pondrel::tasdek
