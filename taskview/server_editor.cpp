#include "taskview/server_editor.h"

#include <dirent.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>

#include "common/unique_fd.h"
#include "taskview/messages.h"
#include "taskview/tasdek_doc.h"

namespace pondrel::tasdek {
namespace {

constexpr const char* kPeersDir = "/etc/ppp/peers";

struct FieldWording {
  const char* label;
  int limit;
};

// The editor's wording of each field: its label and the limit that its messages quote.
FieldWording Wording(std::uint16_t field) {
  switch (field) {
    case FLD_SERVER_NAME: return {"Server Name", 255};
    case FLD_IMAGE_DIRECTORY: return {"Image Directory", 200};
    case FLD_HOST_NAME: return {"Host Name", 63};
    case FLD_HTTP_PORT: return {"HTTP Port", 5};
    case FLD_ADMIN_ACCOUNT: return {"Administrator Account", 15};
    case FLD_ADMIN_PASSWORD: return {"Administrator Password", 15};
    case FLD_PROXY_HOST: return {"HTTP Proxy Host Name", 63};
    case FLD_PROXY_PORT: return {"HTTP Proxy Port", 5};
    case FLD_PPP_CONNECTION_NAME: return {"PPP Connection Name", 255};
    case FLD_PPP_ACCOUNT: return {"PPP Account", 15};
    case FLD_PPP_PASSWORD: return {"PPP Password", 15};
    case FLD_SETTINGS_PAGE_URL: return {"Settings Page URL", 31};
    default: return {"", 0};
  }
}

std::string Format1(const char* fmt, const char* s) {
  char buf[512];
  std::snprintf(buf, sizeof buf, fmt, s);
  return buf;
}

}  // namespace

std::vector<std::string> ListPhonebookEntries() {
  std::vector<std::string> names;
  DIR* dir = ::opendir(kPeersDir);
  if (!dir) return names;
  while (dirent* e = ::readdir(dir)) {
    std::string name = e->d_name;
    if (name.empty() || name[0] == '.') continue;
    names.push_back(name);
  }
  ::closedir(dir);
  std::sort(names.begin(), names.end());
  return names;
}

ServerEditorForm FormFromServer(const CKVSrvInfo& rec, const std::vector<std::string>& phonebook) {
  ServerEditorForm f;
  f.server_name = rec.GetServerName();
  f.image_directory = rec.GetImageDirectory();
  f.delete_images = rec.GetDeleteImagesOnServer() != 0;
  f.host_name = rec.GetHostName();
  f.http_port = std::to_string(rec.GetHttpPort());
  f.admin_account = rec.GetAdminAccount();
  f.admin_password = rec.GetAdminPassword();
  f.settings_page_url = rec.GetSettingsPageUrl();
  f.use_proxy = rec.GetUseProxy() != 0;
  f.proxy_host = rec.GetProxyHost();
  f.proxy_port = std::to_string(rec.GetProxyPort());
  f.use_ppp = rec.GetUsePpp() != 0;
  f.ppp_connection_name.clear();
  if (!phonebook.empty()) {
    auto it = std::find(phonebook.begin(), phonebook.end(), rec.GetPppConnectionName());
    f.ppp_connection_name = it != phonebook.end() ? *it : phonebook.front();
  }
  f.ppp_account = rec.GetPppAccount();
  f.ppp_password = rec.GetPppPassword();
  return f;
}

std::string CheckResultMessage(CheckResult result) {
  if (result.ok()) return "";
  const FieldWording w = Wording(result.field);
  char buf[512];
  switch (result.kind) {
    case CheckKind::CHK_MEMORY: return kMsgServerNoMemory;
    case CheckKind::CHK_EMPTY:
    case CheckKind::CHK_BLANK: return Format1(kFmtCheckEmpty, w.label);
    case CheckKind::CHK_TOO_LONG:
      std::snprintf(buf, sizeof buf, kFmtCheckTooLong, w.label, w.limit);
      return buf;
    case CheckKind::CHK_RANGE:
      std::snprintf(buf, sizeof buf, kFmtCheckRange, w.label, 1, 65535);
      return buf;
    case CheckKind::CHK_FORMAT:
    case CheckKind::CHK_LEADING_DOT: return Format1(kFmtCheckFormat, w.label);
    case CheckKind::CHK_BAD_CHARS: return Format1(kFmtCheckBadChars, w.label);
    case CheckKind::CHK_OK: break;
  }
  return "";
}

namespace {

// The form's controls into `rec` through its setters, in the dialog's order: the first
// refusal (accepted when every value was taken).
CheckResult ApplyServerForm(const ServerEditorForm& form, CKVSrvInfo* rec) {
  CheckResult check = kCheckAccepted;
  auto apply = [&check](CheckResult c) {
    if (check.ok()) check = c;
  };
  apply(rec->SetServerName(form.server_name));
  if (check.ok()) apply(rec->SetImageDirectory(form.image_directory));
  if (check.ok()) apply(rec->SetHostName(form.host_name));
  if (check.ok()) apply(rec->SetHttpPort(form.http_port));
  if (check.ok()) rec->SetDeleteImagesOnServer(form.delete_images ? 1 : 0);
  if (check.ok()) apply(rec->SetAdminAccount(form.admin_account));
  if (check.ok()) apply(rec->SetAdminPassword(form.admin_password));
  if (check.ok()) apply(rec->SetSettingsPageUrl(form.settings_page_url));
  if (check.ok()) {
    rec->SetUseProxy(form.use_proxy ? 1 : 0);
    if (form.use_proxy) {
      apply(rec->SetProxyHost(form.proxy_host));
      if (check.ok()) apply(rec->SetProxyPort(form.proxy_port));
    }
  }
  if (check.ok()) {
    rec->SetUsePpp(form.use_ppp ? 1 : 0);
    if (form.use_ppp) {
      apply(rec->SetPppConnectionName(form.ppp_connection_name));
      if (check.ok()) apply(rec->SetPppAccount(form.ppp_account));
      if (check.ok()) apply(rec->SetPppPassword(form.ppp_password));
    }
  }
  if (check.ok()) apply(rec->Validate());
  return check;
}

// Modify, or Add when the profile is new; a taken profile lock is waited for as long as
// `keep_waiting` says. The store's result.
SrvResult StoreServer(CKVSrvMgr* store, CKVSrvInfo* rec,
                      const std::function<bool()>& keep_waiting) {
  bool adding = false;
  SrvResult result;
  for (;;) {
    result = adding ? store->Add(rec) : store->Modify(*rec);
    if (result == SrvResult::SRV_ERR_NO_ID && !adding) {
      adding = true;
      continue;
    }
    if (result != SrvResult::SRV_ERR_LOCK) break;
    if (keep_waiting && !keep_waiting()) break;
  }
  return result;
}

}  // namespace

ServerSaveResult SaveServer(const ServerEditorForm& form, CKVSrvInfo* record,
                            const std::function<bool(const Guid&)>& is_running, CKVSrvMgr* store,
                            const std::function<bool()>& keep_waiting) {
  ServerSaveResult r;
  CKVSrvMgr own_store;
  // A caller that waits itself sees each refusal of the lock at once.
  if (keep_waiting) own_store.SetLockRetry(1, 0);
  if (!store) store = &own_store;
  if (store->BasePath().empty() && !store->Init()) {
    r.outcome = ServerEdit::kNoStore;
    r.message = kMsgServerWriteFailed;
    return r;
  }
  // The controls go into a scratch copy, so that a rejection leaves the caller's record as it
  // was.
  CKVSrvInfo rec(*record);
  const CheckResult check = ApplyServerForm(form, &rec);
  if (!check.ok()) {
    r.outcome = ServerEdit::kRefused;
    r.check = check;
    r.message = CheckResultMessage(check);
    return r;
  }
  if (!rec.GetId().IsZero() && is_running && is_running(rec.GetId())) {
    r.outcome = ServerEdit::kRefused;
    r.message = kMsgServerRunning;
    return r;
  }
  const SrvResult result = StoreServer(store, &rec, keep_waiting);
  r.store = result;
  if (result == SrvResult::SRV_OK) {
    *record = rec;
    return r;
  }
  r.outcome = ServerEdit::kStoreFailed;
  r.message = result == SrvResult::SRV_ERR_NAME_EXISTS  ? kMsgServerNameExists
              : result == SrvResult::SRV_ERR_DIR_IN_USE ? kMsgServerDirInUse
                                                        : kMsgServerWriteFailed;
  return r;
}

std::string ServerListProxyText(const CKVSrvInfo& rec) {
  return rec.GetUseProxy() ? rec.GetProxyHost() : kNoProxyOrPpp;
}

std::string ServerListPppText(const CKVSrvInfo& rec) {
  return rec.GetUsePpp() ? rec.GetPppConnectionName() : kNoProxyOrPpp;
}

SrvResult LoadServerList(std::vector<CKVSrvInfo>* out, std::uint16_t mask,
                         const std::function<bool()>& keep_waiting) {
  CKVSrvMgr store;
  if (!store.Init()) return SrvResult::SRV_ERR_READ;
  if (keep_waiting) store.SetLockRetry(1, 0);
  bool more = false;
  SrvResult result;
  while ((result = store.LoadAll(&more, mask)) == SrvResult::SRV_ERR_LOCK) {
    if (keep_waiting) {
      if (!keep_waiting()) break;
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  }
  if (result != SrvResult::SRV_OK) return result;
  *out = store.Loaded();
  return SrvResult::SRV_OK;
}

ServerDeleteResult DeleteServerWithTasks(const Guid& id, CTasdekDoc* doc) {
  ServerDeleteResult r;
  CKVSrvMgr store;
  if (!store.Init()) {
    r.outcome = ServerEdit::kNoStore;
    r.message = kMsgServerNoMemory;
    return r;
  }
  // Deleting the tasks of a running server would let the service write the running task
  // back when its run ends, under a server that no longer exists.
  if (doc->IsServerRunning(id)) {
    r.outcome = ServerEdit::kRefused;
    r.message = kMsgServerRunning;
    return r;
  }
  r.task_result = doc->DeleteServerTasks(id);
  SrvResult result;
  while ((result = store.Delete(id)) == SrvResult::SRV_ERR_LOCK) {
  }
  if (result != SrvResult::SRV_OK && result != SrvResult::SRV_ERR_NOT_FOUND) {
    r.outcome = ServerEdit::kStoreFailed;
    r.store = result;
    r.message = kMsgServerWriteFailed;
    return r;
  }
  return r;
}

}  // namespace pondrel::tasdek
