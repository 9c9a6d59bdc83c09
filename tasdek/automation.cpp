#include "tasdek/automation.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>

#include "common/guid.h"
#include "servers/srvmgr.h"
#include "tasdek/main_window.h"
#include "tasdek/tasdek_app.h"

namespace pondrel::tasdek {
namespace {

// Automation results.
constexpr int kAutoOk = 0;
constexpr int kAutoNoMemory = 3;
constexpr int kAutoWriteFailed = 2;
constexpr int kAutoStoreInit = 8;
constexpr int kAutoInvalid = 9;

// Server identifiers arrive in the registry form without braces.
bool ParseServerId(const std::string& text, Guid* id) {
  return !text.empty() && text.front() != '{' && GuidFromRegistryForm("{" + text + "}", id);
}

// A setter's rejection: out of memory gives 3, any other 9.
int SetterResult(CheckResult r) {
  if (r.ok()) return kAutoOk;
  return r.kind == CheckKind::CHK_MEMORY ? kAutoNoMemory : kAutoInvalid;
}

// The values applied to a new record in their order; the first rejection ends it.
int BuildRecord(const AutomationServerValues& v, CKVSrvInfo* rec) {
  Guid id;
  if (!ParseServerId(v.server_id, &id)) return kAutoInvalid;
  rec->SetId(id);
  int r;
  if ((r = SetterResult(rec->SetServerName(v.server_name))) != kAutoOk) return r;
  if ((r = SetterResult(rec->SetImageDirectory(v.image_directory))) != kAutoOk) return r;
  if ((r = SetterResult(rec->SetHostName(v.host_name))) != kAutoOk) return r;
  // A port is stored without the text setter's range check, but a number that a port cannot
  // hold is refused rather than cut to 16 bits.
  if (v.http_port < 0 || v.http_port > 65535) return kAutoInvalid;
  rec->SetHttpPortRaw(static_cast<std::uint16_t>(v.http_port));
  if ((r = SetterResult(rec->SetAdminAccount(v.admin_account))) != kAutoOk) return r;
  if ((r = SetterResult(rec->SetAdminPassword(v.admin_password))) != kAutoOk) return r;
  if ((r = SetterResult(rec->SetSettingsPageUrl(v.settings_page_url))) != kAutoOk) return r;
  rec->SetDeleteImagesOnServer(v.delete_images != 0 ? 1 : 0);
  if (v.proxy_host.empty()) {
    rec->SetUseProxy(0);
  } else {
    if ((r = SetterResult(rec->SetProxyHost(v.proxy_host))) != kAutoOk) return r;
    if (v.proxy_port < 0 || v.proxy_port > 65535) return kAutoInvalid;
    rec->SetProxyPortRaw(static_cast<std::uint16_t>(v.proxy_port));
    rec->SetUseProxy(1);
  }
  if (v.ppp_connection_name.empty()) {
    rec->SetUsePpp(0);
  } else {
    if ((r = SetterResult(rec->SetPppConnectionName(v.ppp_connection_name))) != kAutoOk) return r;
    rec->SetUsePpp(1);
    if ((r = SetterResult(rec->SetPppAccount(v.ppp_account))) != kAutoOk) return r;
    if ((r = SetterResult(rec->SetPppPassword(v.ppp_password))) != kAutoOk) return r;
  }
  return kAutoOk;
}

AutomationServerValues Values(const QString& server_id, const QString& server_name,
                              const QString& image_directory, const QString& host_name,
                              int http_port, const QString& admin_account,
                              const QString& admin_password, const QString& settings_page_url,
                              short delete_images, const QString& proxy_host, int proxy_port,
                              const QString& ppp_connection_name, const QString& ppp_account,
                              const QString& ppp_password) {
  AutomationServerValues v;
  v.server_id = server_id.toStdString();
  v.server_name = server_name.toStdString();
  v.image_directory = image_directory.toStdString();
  v.host_name = host_name.toStdString();
  v.http_port = http_port;
  v.admin_account = admin_account.toStdString();
  v.admin_password = admin_password.toStdString();
  v.settings_page_url = settings_page_url.toStdString();
  v.delete_images = delete_images;
  v.proxy_host = proxy_host.toStdString();
  v.proxy_port = proxy_port;
  v.ppp_connection_name = ppp_connection_name.toStdString();
  v.ppp_account = ppp_account.toStdString();
  v.ppp_password = ppp_password.toStdString();
  return v;
}

}  // namespace

int MapStoreResult(SrvResult store_result) {
  switch (store_result) {
    case SrvResult::SRV_OK: return 0;
    case SrvResult::SRV_ERR_MEMORY: return 3;
    case SrvResult::SRV_ERR_INVALID:
    case SrvResult::SRV_ERR_NO_ID: return 9;
    case SrvResult::SRV_ERR_NOT_FOUND: return 12;
    case SrvResult::SRV_ERR_NAME_EXISTS: return 10;
    case SrvResult::SRV_ERR_DIR_IN_USE: return 11;
    default: return kAutoWriteFailed;
  }
}

int StoreServerFromAutomation(const AutomationServerValues& v, bool modify) {
  CKVSrvInfo rec;
  const int built = BuildRecord(v, &rec);
  if (built != kAutoOk) return built;
  CKVSrvMgr store;
  if (!store.Init()) return kAutoStoreInit;
  SrvResult r;
  if (modify) {
    CKVSrvInfo stored;
    while ((r = store.FindById(rec.GetId(), &stored, kSrvMaskAll)) == SrvResult::SRV_ERR_LOCK) {
    }
    if (r != SrvResult::SRV_OK) return MapStoreResult(r);
    rec.SetDeleteImagesOnServer(stored.GetDeleteImagesOnServer());
    while ((r = store.Modify(rec)) == SrvResult::SRV_ERR_LOCK) {
    }
    return MapStoreResult(r);
  }
  while ((r = store.Modify(rec)) == SrvResult::SRV_ERR_LOCK) {
  }
  if (r == SrvResult::SRV_ERR_NOT_FOUND) {
    while ((r = store.Add(&rec)) == SrvResult::SRV_ERR_LOCK) {
    }
  }
  return MapStoreResult(r);
}

int CMainFrame::DeleteServer(const std::string& server_id) {
  Guid id;
  if (!ParseServerId(server_id, &id)) return kAutoInvalid;
  // Deleting a server whose task runs would let the service write that task back when its
  // run ends, under a server that no longer exists.
  (void)doc_.LoadTasks();  // an unreadable file leaves no task that could be running
  list_.RebuildKeepingSort();
  model_->Reset();
  if (doc_.IsServerRunning(id)) return kAutoWriteFailed;
  CKVSrvMgr store;
  if (!store.Init()) return kAutoStoreInit;
  SrvResult r;
  while ((r = store.Delete(id)) == SrvResult::SRV_ERR_LOCK) {
  }
  if (r != SrvResult::SRV_OK) return MapStoreResult(r);
  const DocResult tasks = doc_.DeleteServerTasks(id);
  list_.RebuildKeepingSort();
  model_->Reset();
  UpdateCommands(false);
  return ResultCode(tasks);
}

CDocumentAdaptor::CDocumentAdaptor(QObject* document, CMainFrame* frame)
    : QDBusAbstractAdaptor(document), frame_(frame) {}

int CDocumentAdaptor::SelectServer(const QString& server_id) {
  return frame_->SelectServer(server_id.toStdString());
}

int CDocumentAdaptor::DeleteServer(const QString& server_id) {
  return frame_->DeleteServer(server_id.toStdString());
}

int CDocumentAdaptor::AddServer(const QString& a, const QString& b, const QString& c,
                                const QString& d, int e, const QString& f, const QString& g,
                                const QString& h, short i, const QString& j, int k,
                                const QString& l, const QString& m, const QString& n) {
  return StoreServerFromAutomation(Values(a, b, c, d, e, f, g, h, i, j, k, l, m, n), false);
}

int CDocumentAdaptor::ModifyServer(const QString& a, const QString& b, const QString& c,
                                   const QString& d, int e, const QString& f, const QString& g,
                                   const QString& h, short i, const QString& j, int k,
                                   const QString& l, const QString& m, const QString& n) {
  const int r = StoreServerFromAutomation(Values(a, b, c, d, e, f, g, h, i, j, k, l, m, n), true);
  if (r == 0) {
    // The tasks of this server show its new name.
    (void)frame_->Doc().ResolveServers();  // on failure the rows keep the names they had
    frame_->Model()->RedrawAll();
  }
  return r;
}

void CDocumentAdaptor::ShowWindow() { frame_->ShowFromAutomation(); }
void CDocumentAdaptor::UpdateWindow() { frame_->UpdateFromAutomation(); }

CFrameAdaptor::CFrameAdaptor(QObject* holder, CMainFrame* frame)
    : QDBusAbstractAdaptor(holder), frame_(frame) {}

bool CFrameAdaptor::Visible() const { return frame_->isVisible(); }

void CFrameAdaptor::Raise() { frame_->ShowFromAutomation(); }
void CFrameAdaptor::Close() {
  // Posted, as a close request from another program is: the caller gets its answer first.
  QMetaObject::invokeMethod(frame_, "close", Qt::QueuedConnection);
}

bool RegisterAutomation(CMainFrame* frame, QString* error) {
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (!bus.isConnected()) {
    *error = QStringLiteral("no session bus: ") + bus.lastError().message();
    return false;
  }
  auto* document = new QObject(frame);
  new CDocumentAdaptor(document, frame);
  auto* holder = new QObject(frame);
  new CFrameAdaptor(holder, frame);
  if (!bus.registerObject(QString::fromLatin1(kDocumentPath), document) ||
      !bus.registerObject(QString::fromLatin1(kFramePath), holder)) {
    *error = QStringLiteral("cannot register the automation objects");
    return false;
  }
  if (!bus.registerService(QString::fromLatin1(kBusName))) {
    *error = QStringLiteral("the bus name Tasdek.Document is taken: ") + bus.lastError().message();
    return false;
  }
  return true;
}

bool AskRunningInstanceToRaise() {
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (!bus.isConnected()) return false;
  QDBusMessage call =
      QDBusMessage::createMethodCall(QString::fromLatin1(kBusName), QString::fromLatin1(kFramePath),
                                     QString::fromLatin1(kFrameInterface), QStringLiteral("Raise"));
  // The running instance is never started for this.
  call.setAutoStartService(false);
  const QDBusMessage reply = bus.call(call, QDBus::Block, 5000);
  return reply.type() == QDBusMessage::ReplyMessage;
}

}  // namespace pondrel::tasdek
