// The server editor ("Server Information") and the server list ("Server Profiles List")
// without their windows: the editor's controls as a form, its OK sequence (setters in dialog
// order, the running-task refusal, Modify then Add, retry while the profile lock is taken),
// the texts of its messages, the list's cell texts and the deletion of a server with its
// tasks.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "common/guid.h"
#include "servers/srvinfo.h"
#include "servers/srvmgr.h"
#include "taskview/tasdek_doc.h"

namespace pondrel::tasdek {

// What the editor's controls hold. Ports are texts as typed.
struct ServerEditorForm {
  std::string server_name;
  std::string image_directory;
  bool delete_images = false;
  std::string host_name;
  std::string http_port = "80";
  std::string admin_account;
  std::string admin_password;
  std::string settings_page_url;  // hidden control, written back unchanged
  bool use_proxy = false;
  std::string proxy_host;
  std::string proxy_port = "8080";
  bool use_ppp = false;
  std::string ppp_connection_name;  // the selected phonebook entry; "" when none
  std::string ppp_account;
  std::string ppp_password;
};

// The dial-up phonebook: the system's PPP peers (the files of /etc/ppp/peers), sorted.
std::vector<std::string> ListPhonebookEntries();

// Loads the controls from a record as the editor does when it opens: the connection list
// selects the entry equal to the record's connection name, else the first entry (none when
// the phonebook is empty).
ServerEditorForm FormFromServer(const CKVSrvInfo& rec, const std::vector<std::string>& phonebook);

// The message for a setter's or Validate's rejection (field label and limit as the editor
// words them); "" when accepted.
std::string CheckResultMessage(CheckResult result);

// How the server editor's OK or the server list's Delete ended.
enum class [[nodiscard]] ServerEdit{
    kDone,         // saved, or deleted (also when it was already gone)
    kRefused,      // a refused value, or a server that a running task uses: nothing stored
    kNoStore,      // the profile store could not be set up
    kStoreFailed,  // the store did not take it: its answer is `store`
};

struct ServerSaveResult {
  ServerEdit outcome = ServerEdit::kDone;
  SrvResult store = SrvResult::SRV_OK;  // the store's answer, once it was asked
  std::string message;                  // the editor's message ("" when saved)
  CheckResult check;                    // a refused value: the setter's or Validate's result
};

// Server editor, OK: copies the form into `record` through the validating setters (in dialog
// order; proxy and dial-up fields of an unused proxy or connection keep the record's
// values), refuses a server that a running task uses (`is_running`, may be empty), then
// Modify, or Add when the record has no identifier yet, repeating while the store answers
// SRV_ERR_LOCK. On success `record` holds the saved values with its identifier.
ServerSaveResult SaveServer(const ServerEditorForm& form, CKVSrvInfo* record,
                            const std::function<bool(const Guid&)>& is_running,
                            CKVSrvMgr* store = nullptr,
                            const std::function<bool()>& keep_waiting = {});

// Server list cell texts: "Server Name", "Host Name", "Proxy", "PPP".
std::string ServerListProxyText(const CKVSrvInfo& rec);
std::string ServerListPppText(const CKVSrvInfo& rec);

// Reads the server list (field mask 0x0D8A, or `mask`), retrying every 100 ms while the
// profile lock is taken. SRV_OK, or the store's failure.
// `keep_waiting` (optional) is asked before each retry (and does the waiting); when it says
// false the wait ends with SRV_ERR_LOCK. SaveServer takes it likewise.
SrvResult LoadServerList(std::vector<CKVSrvInfo>* out, std::uint16_t mask = kSrvMaskServerList,
                         const std::function<bool()>& keep_waiting = {});

struct ServerDeleteResult {
  ServerEdit outcome = ServerEdit::kDone;
  SrvResult store = SrvResult::SRV_OK;     // the store's answer, once it was asked
  std::string message;                     // the list's message on failure
  DocResult task_result = DocResult::kOk;  // result of deleting the server's tasks
};

// Server list, Delete: deletes every task of the server from the schedule file (through the
// document), then the profile. Refuses, before changing anything, when a task of that server
// is running.
ServerDeleteResult DeleteServerWithTasks(const Guid& id, CTasdekDoc* doc);

}  // namespace pondrel::tasdek
