#include "taskview/service_control.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
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

ServiceControl::ServiceControl()
    : sleep_([](int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }) {}

std::string ServiceControl::HostPath() const {
  if (!host_path_.empty()) return host_path_;
  // Beside this program (the build tree), in the installed layout's lib/pondrel, then PATH.
  const std::string dir = ProgramDirectory();
  std::string found = FindExecutable("zoricsm", dir);
  if (found.empty() && IsExecutableFile(dir + "/../lib/pondrel/zoricsm"))
    found = dir + "/../lib/pondrel/zoricsm";
  if (found.empty()) found = FindExecutable("zoricsm");
  return found.empty() ? "zoricsm" : found;
}

bool ServiceControl::IsServiceInstalled() const {
  auto run_services_value = [] {
    RegistryKey key;
    if (!key.OpenRead(kRunServicesKey)) return false;
    char buf[260];
    return key.ReadText("Kestova", buf, sizeof buf);
  };
  if (HasServiceManager()) {
    // A service host without a systemd backend registers itself the way it does without a
    // service manager, so that registration counts here as well.
    RegistryKey key;
    return key.OpenRead(kServicesKey) || FileExists(kUnitFile) || run_services_value();
  }
  return run_services_value();
}

bool ServiceControl::IsServiceRunning() const { return SendToService(std::string()); }

bool ServiceControl::LaunchDetached(const std::string& word) const {
  // The host runs on as an orphan of init in a session of its own, so this program never has
  // to reap it.
  ChildSpec spec;
  spec.exe = HostPath();
  spec.argv = {spec.exe, word};
  spec.stdio_to_null = true;
  return StartDetached(std::move(spec));
}

int ServiceControl::RunHostAndWait(const std::string& word) const {
  const std::string host = HostPath();
  if (!IsExecutableFile(host)) return -1;
  ChildSpec spec;
  spec.exe = host;
  spec.argv = {host, word};
  ChildExit exit;
  if (!RunAndWait(spec, &exit) || !exit.exited) return -1;
  return exit.code;
}

int ServiceControl::StartService() {
  if (!LaunchDetached("-start")) return kServiceStartFailed;
  for (int i = 0; i < kProbeCount; ++i) {
    if (IsServiceRunning()) return kServiceOk;
    sleep_(kProbeIntervalMs);
  }
  return IsServiceRunning() ? kServiceOk : kServiceStartFailed;
}

int ServiceControl::StopService() {
  if (!LaunchDetached("-osstop")) return kServiceStopFailed;
  for (int i = 0; i < kProbeCount; ++i) {
    if (!IsServiceRunning()) return kServiceOk;
    sleep_(kProbeIntervalMs);
  }
  return IsServiceRunning() ? kServiceStopFailed : kServiceOk;
}

namespace {

// What the host wrote to its standard error: its failure text is the last "zoricsm: " line.
std::string HostFailureText(int fd) {
  std::string text;
  char buf[4096];
  ssize_t n;
  off_t at = 0;
  while (text.size() < 64 * 1024 && (n = ::pread(fd, buf, sizeof buf, at)) > 0) {
    text.append(buf, static_cast<std::size_t>(n));
    at += n;
  }
  std::string reason;
  std::size_t pos = 0;
  while ((pos = text.find("zoricsm: ", pos)) != std::string::npos) {
    if (pos == 0 || text[pos - 1] == '\n') {
      const std::size_t end = text.find('\n', pos);
      if (end == std::string::npos) break;  // the line is not complete yet
      reason = text.substr(pos + 9, end - pos - 9);
      pos = end;
    } else {
      ++pos;
    }
  }
  if (reason.size() > 1000) reason.resize(1000);
  for (char& c : reason) {
    if (static_cast<unsigned char>(c) < 0x20) c = ' ';
  }
  return reason;
}

}  // namespace

int ServiceControl::RunWaiting(const char* word, bool want_running, int failure,
                               const std::function<bool()>& keep_waiting, std::string* reason) {
  reason->clear();
  // The host's standard error goes to an unlinked temporary file (the service it starts
  // leaves its own standard error for /dev/null); the host itself is this program's child,
  // so that its end and exit status are seen.
  const char* tmp = std::getenv("TMPDIR");
  std::string path = std::string(tmp && *tmp ? tmp : "/tmp") + "/pondrel-host-XXXXXX";
  UniqueFd err(::mkostemp(path.data(), O_CLOEXEC));
  if (err.get() >= 0) ::unlink(path.c_str());
  const std::string host = HostPath();
  if (!IsExecutableFile(host)) {
    *reason = "cannot run the service host " + host;
    return failure;
  }
  // The host is this program's child in a session of its own, so that its end and exit
  // status are seen.
  ChildSpec spec;
  spec.exe = host;
  spec.argv = {host, word};
  spec.new_session = true;
  spec.stdio_to_null = true;
  spec.stderr_fd = err.get();
  ChildProcess child;
  int start_error = 0;
  if (!ChildProcess::Start(spec, &child, &start_error)) {
    *reason = "cannot run the service host " + host + ": " + std::strerror(start_error);
    return failure;
  }
  bool reaped = false;
  for (;;) {
    ChildExit exit;
    if (!reaped && child.Wait(&exit, false)) {
      reaped = true;
      const bool ok = exit.exited && exit.code == 0;
      if (!ok && IsServiceRunning() != want_running) {
        if (err.get() >= 0) *reason = HostFailureText(err.get());
        if (reason->empty()) {
          *reason = "the service host " + host + " " + word + " ended with status " +
                    std::to_string(exit.exited ? exit.code : 128 + exit.code);
        }
        return failure;
      }
    }
    if (IsServiceRunning() == want_running) return kServiceOk;
    if (!keep_waiting()) break;
  }
  return IsServiceRunning() == want_running ? kServiceOk : failure;
}

int ServiceControl::StartServiceWaiting(const std::function<bool()>& keep_waiting,
                                        std::string* reason) {
  return RunWaiting("-start", true, kServiceStartFailed, keep_waiting, reason);
}

int ServiceControl::StopServiceWaiting(const std::function<bool()>& keep_waiting,
                                       std::string* reason) {
  return RunWaiting("-osstop", false, kServiceStopFailed, keep_waiting, reason);
}

bool ServiceControl::SendExecuteNow(const std::string& task_name) const {
  return SendToService(FormatExecuteNow(task_name));
}

bool ServiceControl::SendAbort(const std::string& task_name) const {
  return SendToService(FormatAbort(task_name));
}

std::string ServiceControl::LogPath() { return logviewer::DefaultLogPath(); }

bool ServiceControl::ClearLog() {
  const std::string path = LogPath();
  return !path.empty() && ::unlink(path.c_str()) == 0;
}

}  // namespace pondrel::tasdek
