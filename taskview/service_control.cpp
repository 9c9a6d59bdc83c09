#include "taskview/service_control.h"

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string_view>
#include <thread>

#include "common/fs_util.h"
#include "common/mailslot.h"
#include "common/process.h"
#include "common/protocol.h"
#include "common/registry.h"
#include "common/unique_fd.h"
#include "logviewer/log_document.h"

namespace pondrel::tasdek {
namespace {

constexpr char kServicesKey[] = "SYSTEM\\CurrentControlSet\\Services\\Kestova";
constexpr char kRunServicesKey[] = "Software\\Microsoft\\Windows\\CurrentVersion\\RunServices";
constexpr char kUnitFile[] = "/etc/systemd/system/kestova.service";
constexpr int kProbeCount = 10;
constexpr int kProbeIntervalMs = 1000;

bool SendToService(const std::string& text) {
  CKVMailSlot slot(kServiceMailslot);
  return slot.Send(text.c_str(), text.size()) == 1;
}

}  // namespace

bool HasServiceManager() { return IsDirectory("/run/systemd/system"); }

CServiceControl::CServiceControl()
    : sleep_([](int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }) {}

std::string CServiceControl::HostPath() const {
  if (!host_path_.empty()) return host_path_;
  // Beside this program (the build tree), in the installed layout's lib/pondrel, then PATH.
  const std::string dir = ProgramDirectory();
  std::string found = FindExecutable("zoricsm", dir);
  if (found.empty() && IsExecutableFile(dir + "/../lib/pondrel/zoricsm"))
    found = dir + "/../lib/pondrel/zoricsm";
  if (found.empty()) found = FindExecutable("zoricsm");
  return found.empty() ? "zoricsm" : found;
}

bool CServiceControl::IsServiceInstalled() const {
  auto run_services_value = [] {
    CKVRegKey key;
    if (!key.OpenRead(kRunServicesKey)) return false;
    char buf[260];
    return key.ReadText("Kestova", buf, sizeof buf);
  };
  if (HasServiceManager()) {
    // A service host without a systemd backend registers itself the way it does without a
    // service manager, so that registration counts here as well.
    CKVRegKey key;
    return key.OpenRead(kServicesKey) || FileExists(kUnitFile) || run_services_value();
  }
  return run_services_value();
}

bool CServiceControl::IsServiceRunning() const { return SendToService(std::string()); }

bool CServiceControl::LaunchDetached(const std::string& word) const {
  // The host runs on as an orphan of init in a session of its own, so this program never has
  // to reap it.
  ChildSpec spec;
  spec.exe = HostPath();
  spec.argv = {spec.exe, word};
  spec.stdio_to_null = true;
  return StartDetached(std::move(spec));
}

int CServiceControl::RunHostAndWait(const std::string& word) const {
  const std::string host = HostPath();
  if (!IsExecutableFile(host)) return -1;
  ChildSpec spec;
  spec.exe = host;
  spec.argv = {host, word};
  ChildExit exit;
  if (!RunAndWait(spec, &exit) || !exit.exited) return -1;
  return exit.code;
}

int CServiceControl::StartService() {
  if (!LaunchDetached("-start")) return kServiceStartFailed;
  for (int i = 0; i < kProbeCount; ++i) {
    if (IsServiceRunning()) return kServiceOk;
    sleep_(kProbeIntervalMs);
  }
  return IsServiceRunning() ? kServiceOk : kServiceStartFailed;
}

int CServiceControl::StopService() {
  if (!LaunchDetached("-osstop")) return kServiceStopFailed;
  for (int i = 0; i < kProbeCount; ++i) {
    if (!IsServiceRunning()) return kServiceOk;
    sleep_(kProbeIntervalMs);
  }
  return IsServiceRunning() ? kServiceStopFailed : kServiceOk;
}

bool CServiceControl::SendExecuteNow(const std::string& task_name) const {
  return SendToService(FormatExecuteNow(task_name));
}

bool CServiceControl::SendAbort(const std::string& task_name) const {
  return SendToService(FormatAbort(task_name));
}

std::string CServiceControl::LogPath() { return logviewer::DefaultLogPath(); }

bool CServiceControl::ClearLog() {
  const std::string path = LogPath();
  return !path.empty() && ::unlink(path.c_str()) == 0;
}

}  // namespace pondrel::tasdek
