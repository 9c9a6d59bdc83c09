// pondrel server: camera server profiles.
#include <iostream>

#include "cli/commands.h"
#include "common/guid.h"
#include "common/named_object.h"
#include "common/protocol.h"
#include "common/registry.h"
#include "servers/srvinfo.h"
#include "servers/srvmgr.h"
#include "taskview/messages.h"
#include "taskview/server_editor.h"
#include "taskview/tasdek_doc.h"

namespace pondrel::cli {

using namespace pondrel::tasdek;

namespace {

// The environment lock: while the Task View (or this program) edits servers the service
// starts no download. Another holder (the service while downloads run) does not stop an
// edit; the running-task test refuses servers in use.

std::string ServerJson(const CKVSrvInfo& s) {
  return JsonObject({
      {"id", JsonString(GuidToHex(s.GetId()))},
      {"name", JsonString(s.GetServerName())},
      {"image_directory", JsonString(s.GetImageDirectory())},
      {"delete_images_on_server", JsonBool(s.GetDeleteImagesOnServer() != 0)},
      {"host", JsonString(s.GetHostName())},
      {"port", std::to_string(s.GetHttpPort())},
      {"admin_account", JsonString(s.GetAdminAccount())},
      {"admin_password_set", JsonBool(!s.GetAdminPassword().empty())},
      {"settings_page_url", JsonString(s.GetSettingsPageUrl())},
      {"use_proxy", JsonBool(s.GetUseProxy() != 0)},
      {"proxy_host", JsonString(s.GetProxyHost())},
      {"proxy_port", std::to_string(s.GetProxyPort())},
      {"use_ppp", JsonBool(s.GetUsePpp() != 0)},
      {"ppp_connection", JsonString(s.GetPppConnectionName())},
      {"ppp_account", JsonString(s.GetPppAccount())},
      {"ppp_password_set", JsonBool(!s.GetPppPassword().empty())},
  });
}

const std::vector<OptionSpec> kEditOptions = {
    {"name", "NAME", "server name (at most 255 characters)"},
    {"image-dir", "DIR", "absolute local directory for the pictures (at most 200 characters)"},
    {"host", "HOST", "camera server host name (at most 63 characters)"},
    {"port", "PORT", "HTTP port, 1-65535 (a new server: 80)"},
    {"delete-images", nullptr, "delete the downloaded pictures on the server"},
    {"keep-images", nullptr, "keep the pictures on the server"},
    {"admin-account", "ACCOUNT", "administrator account (at most 15 characters; \"\" clears)"},
    {"password-stdin", nullptr,
     "read the administrator password from the first line of standard input"},
    {"no-password", nullptr, "clear the administrator password"},
    {"settings-page-url", "URL", "settings page URL (at most 31 characters)"},
    {"proxy-host", "HOST", "use this HTTP proxy (at most 63 characters)"},
    {"proxy-port", "PORT", "HTTP proxy port, 1-65535 (a new server: 8080); sets the proxy on"},
    {"no-proxy", nullptr, "connect directly"},
    {"ppp-connection", "NAME", "dial up through this PPP peer (a file of /etc/ppp/peers)"},
    {"ppp-account", "ACCOUNT", "PPP account (at most 15 characters); sets dial-up on"},
    {"ppp-password-stdin", nullptr, "read the PPP password from the next line of standard input"},
    {"no-ppp", nullptr, "do not dial up (Ethernet)"},
};

// Applies the options to the editor's controls. kExitOk or a usage status.
int ApplyServerOptions(const Args& a, ServerEditorForm* f) {
  if (a.Has("name")) f->server_name = a.Get("name");
  if (a.Has("image-dir")) f->image_directory = a.Get("image-dir");
  if (a.Has("host")) f->host_name = a.Get("host");
  if (a.Has("port")) f->http_port = a.Get("port");
  if (a.Has("delete-images") && a.Has("keep-images")) {
    return Complain("--delete-images and --keep-images exclude each other", kExitUsage);
  }
  if (a.Has("delete-images")) f->delete_images = true;
  if (a.Has("keep-images")) f->delete_images = false;
  if (a.Has("admin-account")) f->admin_account = a.Get("admin-account");
  if (a.Has("password-stdin") && a.Has("no-password")) {
    return Complain("--password-stdin and --no-password exclude each other", kExitUsage);
  }
  if (a.Has("password-stdin")) {
    if (!NextStdinLine(&f->admin_password)) {
      return Complain("no password on standard input", kExitUsage);
    }
  }
  if (a.Has("no-password")) f->admin_password.clear();
  if (a.Has("settings-page-url")) f->settings_page_url = a.Get("settings-page-url");
  const bool proxy_set = a.Has("proxy-host") || a.Has("proxy-port");
  if (proxy_set && a.Has("no-proxy")) {
    return Complain("--no-proxy excludes --proxy-host and --proxy-port", kExitUsage);
  }
  if (proxy_set) f->use_proxy = true;
  if (a.Has("proxy-host")) f->proxy_host = a.Get("proxy-host");
  if (a.Has("proxy-port")) f->proxy_port = a.Get("proxy-port");
  if (a.Has("no-proxy")) f->use_proxy = false;
  const bool ppp_set =
      a.Has("ppp-connection") || a.Has("ppp-account") || a.Has("ppp-password-stdin");
  if (ppp_set && a.Has("no-ppp")) {
    return Complain("--no-ppp excludes the --ppp-... options", kExitUsage);
  }
  if (ppp_set) {
    // The connection can only be one of the system's dial-up entries, as in the editor's list.
    const std::vector<std::string> phonebook = ListPhonebookEntries();
    if (phonebook.empty()) {
      return Complain("this system has no dial-up connections (no PPP peers in /etc/ppp/peers)");
    }
    f->use_ppp = true;
    if (a.Has("ppp-connection")) {
      const std::string c = a.Get("ppp-connection");
      bool known = false;
      for (const std::string& e : phonebook) known = known || e == c;
      if (!known) return Complain("'" + c + "' is not a dial-up connection of this system");
      f->ppp_connection_name = c;
    }
    if (a.Has("ppp-account")) f->ppp_account = a.Get("ppp-account");
    if (a.Has("ppp-password-stdin") && !NextStdinLine(&f->ppp_password)) {
      return Complain("no PPP password on standard input", kExitUsage);
    }
  }
  if (a.Has("no-ppp")) f->use_ppp = false;
  return kExitOk;
}

// The option that sets a field of the editor (for naming it in an error).
const char* OptionOfField(std::uint16_t field) {
  switch (field) {
    case FLD_SERVER_NAME: return "name";
    case FLD_IMAGE_DIRECTORY: return "image-dir";
    case FLD_HOST_NAME: return "host";
    case FLD_HTTP_PORT: return "port";
    case FLD_ADMIN_ACCOUNT: return "admin-account";
    case FLD_ADMIN_PASSWORD: return "password-stdin";
    case FLD_SETTINGS_PAGE_URL: return "settings-page-url";
    case FLD_PROXY_HOST: return "proxy-host";
    case FLD_PROXY_PORT: return "proxy-port";
    case FLD_PPP_CONNECTION_NAME: return "ppp-connection";
    case FLD_PPP_ACCOUNT: return "ppp-account";
    case FLD_PPP_PASSWORD: return "ppp-password-stdin";
    default: return nullptr;
  }
}

std::string What(const CKVSrvInfo& s) { return "server '" + s.GetServerName() + "'"; }

// Saves the form as the editor's OK does. Prints the result; the exit status.
int Save(const ServerEditorForm& form, CKVSrvInfo* rec) {
  NamedLock env(kEnvLockName);
  env.TryLock();
  CTasdekDoc doc;
  if (int r = LockAndLoadTasks(&doc)) return r;
  Waiter waiter("the server profile lock (another program is changing the server profiles)");
  bool timed_out = false;
  ServerSaveResult r = SaveServer(
      form, rec, [&doc](const Guid& id) { return doc.IsServerRunning(id); }, nullptr,
      [&] {
        if (waiter.KeepWaiting()) return true;
        timed_out = true;
        return false;
      });
  if (timed_out && r.store == SrvResult::SRV_ERR_LOCK) return waiter.TimedOut();
  if (r.outcome != ServerEdit::kDone) {
    const std::string what = "server '" + form.server_name + "'";
    if (!r.check.ok()) {
      if (const char* option = OptionOfField(r.check.field)) {
        return BadValue(option, r.message);
      }
      return Error(what, r.message, kExitUsage);
    }
    return Fail(what, r.message);
  }
  if (G().json) PrintJson(ServerJson(*rec));
  return kExitOk;
}

int List(const Args&) {
  std::vector<CKVSrvInfo> servers;
  if (int r = LoadServers(&servers, kSrvMaskAll)) return r;
  if (G().json) {
    std::vector<std::string> items;
    for (const CKVSrvInfo& s : servers) items.push_back(ServerJson(s));
    PrintJson(JsonArray(items));
    return kExitOk;
  }
  // "----------" is the list's own mark for "not used".
  std::vector<std::vector<std::string>> rows;
  for (const CKVSrvInfo& s : servers) {
    rows.push_back({s.GetServerName(), s.GetHostName(), ServerListProxyText(s),
                    ServerListPppText(s), GuidToHex(s.GetId())});
  }
  PrintTable({"Server Name", "Host Name", "Proxy", "PPP", "Id"}, rows);
  return kExitOk;
}

int Show(const Args& a) {
  CKVSrvInfo s;
  if (int r = FindServer(a.Positional()[0], &s)) return r;
  if (G().json) {
    PrintJson(ServerJson(s));
    return kExitOk;
  }
  auto yes_no = [](bool b) { return std::string(b ? "yes" : "no"); };
  auto set = [](const std::string& p) { return std::string(p.empty() ? "(not set)" : "(set)"); };
  PrintRecord({
      {"Id", GuidToHex(s.GetId())},
      {"Server Name", s.GetServerName()},
      {"Image Directory", s.GetImageDirectory()},
      {"Delete Images On Server", yes_no(s.GetDeleteImagesOnServer() != 0)},
      {"Host Name", s.GetHostName()},
      {"HTTP Port", std::to_string(s.GetHttpPort())},
      {"Administrator Account", s.GetAdminAccount()},
      {"Administrator Password", set(s.GetAdminPassword())},
      {"Settings Page URL", s.GetSettingsPageUrl()},
      {"Use Proxy", yes_no(s.GetUseProxy() != 0)},
      {"Proxy Host", s.GetProxyHost()},
      {"Proxy Port", std::to_string(s.GetProxyPort())},
      {"Use PPP", yes_no(s.GetUsePpp() != 0)},
      {"PPP Connection", s.GetPppConnectionName()},
      {"PPP Account", s.GetPppAccount()},
      {"PPP Password", set(s.GetPppPassword())},
  });
  return kExitOk;
}

int Add(const Args& a) {
  int status;
  if (!RequireRoot(&status)) return status;
  if (!a.Positional().empty() && a.Has("name") && a.Get("name") != a.Positional()[0]) {
    return Complain("the name is given twice, as '" + a.Positional()[0] + "' and as --name '" +
                        a.Get("name") + "'; give one",
                    kExitUsage);
  }
  CKVSrvInfo rec;
  ServerEditorForm form = FormFromServer(rec, ListPhonebookEntries());
  if (!a.Positional().empty()) form.server_name = a.Positional()[0];
  if (int r = ApplyServerOptions(a, &form)) return r;
  const int r = Save(form, &rec);
  if (r == kExitOk && !G().json) std::cout << GuidToHex(rec.GetId()) << "\n";
  return r;
}

int Edit(const Args& a) {
  CKVSrvInfo rec;
  if (int r = FindServer(a.Positional()[0], &rec)) return r;
  ServerEditorForm form = FormFromServer(rec, ListPhonebookEntries());
  if (int r = ApplyServerOptions(a, &form)) return r;
  return Save(form, &rec);
}

int Delete(const Args& a) {
  CKVSrvInfo rec;
  if (int r = FindServer(a.Positional()[0], &rec)) return r;
  NamedLock env(kEnvLockName);
  env.TryLock();
  CTasdekDoc doc;
  if (int r = LockAndLoadTasks(&doc)) return r;
  std::vector<std::string> tasks;
  for (const TaskEntry& e : doc.Tasks()) {
    if (e.task.ServerId == rec.GetId()) tasks.push_back(e.task.Name);
  }
  std::string question = "Delete " + What(rec) + " and its " + std::to_string(tasks.size()) +
                         (tasks.size() == 1 ? " task" : " tasks");
  for (std::size_t i = 0; i < tasks.size(); ++i) question += (i ? ", '" : " ('") + tasks[i] + "'";
  if (!tasks.empty()) question += ")";
  if (!Confirm(question + "?")) return Fail(What(rec), "not deleted");
  ServerDeleteResult r = DeleteServerWithTasks(rec.GetId(), &doc);
  if (r.outcome != ServerEdit::kDone) return Fail(What(rec), r.message);
  if (r.task_result != DocResult::kOk) return Fail(What(rec), ErrorText(ResultCode(r.task_result)));
  if (G().json) {
    std::vector<std::string> names;
    for (const std::string& t : tasks) names.push_back(JsonString(t));
    PrintJson(JsonObject({{"deleted_server", JsonString(rec.GetServerName())},
                          {"id", JsonString(GuidToHex(rec.GetId()))},
                          {"deleted_tasks", JsonArray(names)}}));
  } else {
    std::cout << "deleted " << What(rec) << " and " << tasks.size()
              << (tasks.size() == 1 ? " task" : " tasks") << "\n";
    for (const std::string& t : tasks) std::cout << "deleted task '" << t << "'\n";
  }
  return kExitOk;
}

}  // namespace

bool RequireRoot(int* status) {
  std::string problem;
  if (!ReadUsableRootDir(&problem).empty()) return true;
  *status = Fail(RegistryFilePath(RegHive::kLocalMachine), problem);
  return false;
}

int LoadServers(std::vector<CKVSrvInfo>* out, std::uint16_t mask) {
  int status;
  if (!RequireRoot(&status)) return status;
  Waiter waiter("the server profile lock (another program is changing the server profiles)");
  bool timed_out = false;
  const SrvResult r = LoadServerList(out, mask, [&] {
    if (waiter.KeepWaiting()) return true;
    timed_out = true;
    return false;
  });
  if (timed_out && r == SrvResult::SRV_ERR_LOCK) return waiter.TimedOut();
  if (r != SrvResult::SRV_OK) return Fail("server profiles", kMsgServerReadFailed);
  return kExitOk;
}

int FindServer(const std::string& key, CKVSrvInfo* out, const std::string& option) {
  std::vector<CKVSrvInfo> servers;
  if (int r = LoadServers(&servers, kSrvMaskAll)) return r;
  for (const CKVSrvInfo& s : servers) {
    if (s.GetServerName() == key) {
      *out = s;
      return kExitOk;
    }
  }
  Guid id;
  if (GuidFromHex(key, &id)) {
    for (const CKVSrvInfo& s : servers) {
      if (s.GetId() == id) {
        *out = s;
        return kExitOk;
      }
    }
  }
  return Fail(option.empty() ? "server '" + key + "'" : option,
              option.empty() ? "no such server (see 'pondrel server list')"
                             : "no server named '" + key + "' (see 'pondrel server list')");
}

const std::vector<Command>& ServerCommands() {
  static const std::vector<Command> kCommands = {
      {{"server list",
        "",
        "list the camera servers: name, host, proxy, PPP connection, id",
        {},
        0,
        0,
        "One line per server. On a terminal with a header line and aligned columns, otherwise\n"
        "the fields separated by tabs without a header. \"----------\" stands for a proxy or\n"
        "dial-up connection that is not used."},
       List},
      {{"server show",
        "SERVER",
        "show one server's settings (passwords are never shown)",
        {},
        1,
        1,
        "SERVER is the server's name or its 32-digit identifier."},
       Show},
      {{"server add", "[NAME]", "add a camera server", kEditOptions, 0, 1,
        "Prints the new server's identifier. NAME and --name are the same; give one. The\n"
        "values are checked as the server editor checks them; a refused value is a usage\n"
        "error (exit status 2) and nothing is stored."},
       Add},
      {{"server edit", "SERVER", "change a camera server's settings", kEditOptions, 1, 1,
        "Options not given keep their values; --name renames. A server that a running task\n"
        "uses cannot be changed."},
       Edit},
      {{"server delete",
        "SERVER",
        "delete a camera server and every task that uses it",
        {},
        1,
        1,
        "Names the tasks that go with the server and, on a terminal, asks first (--yes does\n"
        "not ask). Prints what it removed. A server that a running task uses is kept."},
       Delete},
  };
  return kCommands;
}

}  // namespace pondrel::cli
