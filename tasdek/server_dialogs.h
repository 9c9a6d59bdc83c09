// "Server Information" (the server editor) and "Server List" (the profiles with Add, Edit and
// Delete) on the toolkit-free server editor.
#pragma once

#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTreeWidget>
#include <functional>
#include <string>
#include <vector>

#include "servers/srvinfo.h"
#include "taskview/server_editor.h"
#include "taskview/tasdek_doc.h"

namespace pondrel::tasdek {

class CTaskTableModel;

class CServerEditorDialog : public QDialog {
  Q_OBJECT
 public:
  // Edits `record` (an empty record for a new server). `is_running` tells whether a running
  // task uses a server (may be empty). `phonebook` is the dial-up entry list.
  CServerEditorDialog(const CKVSrvInfo& record, std::function<bool(const Guid&)> is_running,
                      std::vector<std::string> phonebook, QWidget* parent = nullptr);

  // After OK: the saved record, with the identifier the store gave a new profile.
  const CKVSrvInfo& Result() const { return record_; }
  // OK as the button does it: 0 when saved (the dialog accepts), else the failure's code after
  // its message was shown.
  ServerEdit TryAccept();
  ServerEditorForm FormFromControls() const;
  void UpdateEnabling();
  // The folder picker; tests replace it.
  std::function<QString(QWidget* parent, const QString& current)> pick_folder;

  QLineEdit* server_name;
  QLineEdit* image_directory;
  QPushButton* browse;
  QCheckBox* delete_images;
  QLineEdit* host_name;
  QLineEdit* http_port;
  QLineEdit* admin_account;
  QLineEdit* admin_password;
  QLineEdit* settings_page_url;  // never shown; its value survives an edit
  QCheckBox* use_proxy;
  QLabel* proxy_host_label;
  QLineEdit* proxy_host;
  QLabel* proxy_port_label;
  QLineEdit* proxy_port;
  QCheckBox* use_ppp;
  QLabel* connection_label;
  QComboBox* connection;
  QLabel* ppp_account_label;
  QLineEdit* ppp_account;
  QLabel* ppp_password_label;
  QLineEdit* ppp_password;

 private:
  void LayOutControls();
  // The controls from the record; the connection list offers the system's dial-up entries.
  void FillControls(const std::vector<std::string>& phonebook);

  CKVSrvInfo record_;
  std::function<bool(const Guid&)> is_running_;
};

// The folder picker of the server editor: "Select the image directory", folders only.
QString PickImageDirectory(QWidget* parent, const QString& current);

class CServerListDialog : public QDialog {
  Q_OBJECT
 public:
  // `tasks` is the main window's task list (running-task test, redraw after an edit and the
  // deletion of a server's tasks). Loads the list; Loaded() is false when that failed (its
  // message was shown) and the dialog should not be shown.
  CServerListDialog(CTaskTableModel* tasks, QWidget* parent = nullptr);
  bool Loaded() const { return loaded_; }

  void Add();
  void Edit();
  void Delete();
  // A click on a column header.
  void SortByColumn(int column);
  void UpdateButtons();
  // Opens the server editor; tests replace it. True when the record was saved.
  std::function<bool(CKVSrvInfo* record)> run_editor;

  QTreeWidget* list;
  QPushButton* add_button;
  QPushButton* edit_button;
  QPushButton* delete_button;

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  void FillRow(QTreeWidgetItem* item, const CKVSrvInfo& rec);
  void Rebuild(int select_row);
  int SelectedRow() const;

  CTaskTableModel* tasks_;
  std::vector<CKVSrvInfo> rows_;
  bool loaded_ = false;
  bool widths_set_ = false;
  CHeaderClicks clicks_;
};

}  // namespace pondrel::tasdek
