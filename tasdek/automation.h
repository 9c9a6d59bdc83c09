// The automation object "Tasdek.Document" on the session bus (object path "/Document"), and the
// frame's own requests "Tasdek.MainFrame" ("/MainFrame": Raise, Close) through which a second
// start raises the first and another program closes the Task View.
#pragma once

#include <QDBusAbstractAdaptor>
#include <QObject>
#include <QString>
#include <string>

#include "servers/srv_result.h"

namespace pondrel::tasdek {

class CMainFrame;

// The fourteen values of AddServer and ModifyServer, in their order.
struct AutomationServerValues {
  std::string server_id, server_name, image_directory, host_name;
  qint32 http_port = 0;
  std::string admin_account, admin_password, settings_page_url;
  qint16 delete_images = 0;
  std::string proxy_host;
  qint32 proxy_port = 0;
  std::string ppp_connection_name, ppp_account, ppp_password;
};

// The profile store's answer as an automation result: 0 -> 0, 1 -> 3, 4 and 11 -> 9, 7 -> 12,
// 8 -> 10, 9 -> 11, anything else -> 2.
int MapStoreResult(SrvResult store_result);
// Stores the profile: Modify, and Add when the store has no profile of that id. With
// `modify`, replaces only, keeping the stored "delete images on the server" flag. The
// automation result; `server_id_out` gets the identifier for a later redraw.
int StoreServerFromAutomation(const AutomationServerValues& v, bool modify);

class CDocumentAdaptor : public QDBusAbstractAdaptor {
  Q_OBJECT
  Q_CLASSINFO("D-Bus Interface", "Tasdek.Document")
 public:
  CDocumentAdaptor(QObject* document, CMainFrame* frame);

 public slots:
  int SelectServer(const QString& server_id);
  int DeleteServer(const QString& server_id);
  int AddServer(const QString& server_id, const QString& server_name,
                const QString& image_directory, const QString& host_name, int http_port,
                const QString& admin_account, const QString& admin_password,
                const QString& settings_page_url, short delete_images, const QString& proxy_host,
                int proxy_port, const QString& ppp_connection_name, const QString& ppp_account,
                const QString& ppp_password);
  int ModifyServer(const QString& server_id, const QString& server_name,
                   const QString& image_directory, const QString& host_name, int http_port,
                   const QString& admin_account, const QString& admin_password,
                   const QString& settings_page_url, short delete_images, const QString& proxy_host,
                   int proxy_port, const QString& ppp_connection_name, const QString& ppp_account,
                   const QString& ppp_password);
  void ShowWindow();
  void UpdateWindow();

 private:
  CMainFrame* frame_;
};

class CFrameAdaptor : public QDBusAbstractAdaptor {
  Q_OBJECT
  Q_CLASSINFO("D-Bus Interface", "Tasdek.MainFrame")
  // Whether the main window is shown (an automation start keeps it hidden until ShowWindow).
  Q_PROPERTY(bool Visible READ Visible)
 public:
  CFrameAdaptor(QObject* holder, CMainFrame* frame);
  bool Visible() const;

 public slots:
  // Restores and raises the window (a second start asks this).
  void Raise();
  // Closes the Task View as if the user had closed it.
  void Close();

 private:
  CMainFrame* frame_;
};

// Registers both objects and the bus name on the session bus. False when there is no bus or
// another program owns the name.
bool RegisterAutomation(CMainFrame* frame, QString* error);
// A second start: asks the running Task View to raise itself. False when it could not be reached.
bool AskRunningInstanceToRaise();

}  // namespace pondrel::tasdek
