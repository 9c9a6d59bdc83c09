#include "service/systemd_service.h"

#include <grp.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "common/fs_util.h"
#include "common/systemd.h"

namespace pondrel {
namespace {

constexpr int kPollMs = 200;

bool GroupExists(const char* name) {
  group grp{};
  group* found = nullptr;
  char buf[4096];
  return ::getgrnam_r(name, &grp, buf, sizeof buf, &found) == 0 && found != nullptr;
}

// A value for a unit file line: systemd reads "%" as a specifier and a line break would end
// the setting.
std::string UnitValue(std::string_view text) {
  std::string out;
  for (char c : text) {
    if (c == '%') {
      out += "%%";
    } else if (c == '\n' || c == '\r') {
      out += ' ';
    } else {
      out += c;
    }
  }
  return out;
}

// ExecStart's program: quoted when it holds blanks, with backslashes and quotes escaped.
std::string ExecValue(std::string_view path) {
  std::string v = UnitValue(path);
  if (v.find_first_of(" \t\"\\") == std::string::npos) return v;
  std::string out = "\"";
  for (char c : v) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out + "\"";
}

}  // namespace

std::string UnitNameFor(std::string_view service_name) {
  std::string name;
  for (char c : service_name)
    name += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return name + ".service";
}

std::string BuildUnitFile(const UnitFileSettings& s) {
  std::string u;
  u += "[Unit]\n";
  u += "Description=" + UnitValue(s.description) + "\n";
  if (!s.after.empty()) u += "After=" + UnitValue(s.after) + "\n";
  u += "\n[Service]\n";
  u += "Type=notify\n";
  u += "NotifyAccess=main\n";
  u += "ExecStart=" + ExecValue(s.exec_path) + "\n";
  // The service runs as root, so that it can write to any image directory and dial; its
  // group opens the runtime directory to the installation's members and no one else.
  u += "User=root\n";
  if (!s.group.empty()) u += "Group=" + UnitValue(s.group) + "\n";
  u += "UMask=0007\n";
  u += std::string("RuntimeDirectory=") + kRuntimeDirName + "\n";
  u += "RuntimeDirectoryMode=2770\n";
  // The Task View and pondrel keep their own objects there while the service is stopped.
  u += "RuntimeDirectoryPreserve=yes\n";
  // A stop first aborts the running downloads and merges their logs (at most 20 seconds
  // per the service's own escalation); only the main process is told, its downloaders are
  // ended by it.
  u += "KillMode=mixed\n";
  u += "TimeoutStopSec=45\n";
  u += "Restart=on-failure\n";
  u += "RestartSec=5\n";
  // RestrictSUIDSGID= is left out: the runtime directory's mailslot folder is made setgid,
  // so that its sockets belong to the installation's group.
  u += "NoNewPrivileges=yes\n";
  u += "ProtectSystem=full\n";
  u += "ProtectHome=read-only\n";
  u += "PrivateTmp=yes\n";
  u += "ProtectClock=yes\n";
  u += "ProtectHostname=yes\n";
  u += "ProtectKernelTunables=yes\n";
  u += "ProtectKernelModules=yes\n";
  u += "ProtectKernelLogs=yes\n";
  u += "ProtectControlGroups=yes\n";
  u += "RestrictRealtime=yes\n";
  u += "LockPersonality=yes\n";
  u += "SystemCallArchitectures=native\n";
  u += "\n[Install]\n";
  u += "WantedBy=multi-user.target\n";
  if (!s.alias.empty()) u += "Alias=" + UnitValue(s.alias) + "\n";
  return u;
}

std::string SystemdServiceManager::UnitFilePath() const {
  return std::string(kSystemdUnitDir) + "/" + UnitName();
}

void SystemdServiceManager::OnStateReported(std::uint32_t state) {
  switch (state) {
    case kServiceRunning: systemd::Notify("READY=1\nSTATUS=Running"); break;
    case kServiceStopPending:
      systemd::Notify("STOPPING=1\nSTATUS=Stopping: aborting the running downloads");
      break;
    case kServiceStopped: systemd::Notify("STATUS=Stopped"); break;
    default: break;
  }
}

bool SystemdServiceManager::UnitInstalled() const {
  std::string ignored;
  const std::string state = systemd::UnitFileState(UnitName(), &ignored);
  return !state.empty() && state != "not-found";
}

bool SystemdServiceManager::RunBackground(ServiceBody* body) {
  if (IsRunning()) return false;
  if (!UnitInstalled()) return ServiceManager::RunBackground(body);
  last_error_.clear();
  StartInstalled(&last_error_);
  return true;
}

bool SystemdServiceManager::RunUnderManager(ServiceBody* body) {
  systemd::Notify("STATUS=Starting");
  return RunLoop(body);
}

bool SystemdServiceManager::Install(std::string_view image_path) {
  UnitFileSettings s;
  s.description = DisplayName();
  s.exec_path = image_path.empty() ? ProgramPath() : std::string(image_path);
  if (GroupExists(kInstallationGroup)) s.group = kInstallationGroup;
  s.after = "network.target";
  s.alias = "pondrel.service";
  const std::string path = UnitFilePath();
  if (!WriteFileAtomically(path, BuildUnitFile(s), path + ".tmp", 0644)) {
    last_error_ = path + ": " + std::strerror(errno);
    return false;
  }
  if (!systemd::Reload(&last_error_)) return false;
  return systemd::EnableUnitFiles({UnitName()}, &last_error_);
}

bool SystemdServiceManager::WaitForActiveState(int timeout_ms, bool want_active,
                                               std::string* error_text) {
  for (int waited = 0;; waited += kPollMs) {
    std::string err;
    const std::string state = systemd::UnitActiveState(UnitName(), &err);
    if (want_active) {
      if (state == "active") return true;
      if (state == "failed" || (state == "inactive" && waited >= 1000)) {
        if (error_text)
          *error_text = "The service failed to start; journalctl -u " + UnitName() + " tells why.";
        return false;
      }
    } else if (state == "inactive" || state == "failed" || state.empty()) {
      return true;
    }
    if (waited >= timeout_ms) {
      if (error_text)
        *error_text = want_active ? "The service did not start in time."
                                  : "The service did not stop in time.";
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(kPollMs));
  }
}

bool SystemdServiceManager::StartInstalled(std::string* error_text) {
  if (IsRunning()) {
    if (error_text) *error_text = "An instance of the service is already running.";
    return false;
  }
  if (!systemd::StartUnit(UnitName(), error_text)) return false;
  return WaitForActiveState(kSystemdStartWaitMs, true, error_text);
}

bool SystemdServiceManager::Stop(std::string* error_text) {
  std::string state = systemd::UnitActiveState(UnitName(), error_text);
  if (state == "inactive" || state == "failed") return true;
  if (!systemd::StopUnit(UnitName(), error_text)) return false;
  return WaitForActiveState(kSystemdStopWaitMs, false, error_text);
}

bool SystemdServiceManager::Remove() {
  last_error_.clear();
  if (!Stop(&last_error_)) return false;
  std::string ignored;
  // A unit that is not enabled, or not there at all, is removed already.
  systemd::DisableUnitFiles({UnitName()}, &ignored);
  const std::string path = UnitFilePath();
  if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
    last_error_ = path + ": " + std::strerror(errno);
    return false;
  }
  return systemd::Reload(&last_error_);
}

}  // namespace pondrel
