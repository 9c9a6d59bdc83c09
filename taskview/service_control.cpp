#include "taskview/service_control.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <string_view>
#include <thread>

#include "common/fs_util.h"
#include "common/mailslot.h"
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

bool CServiceControl::LaunchDetached(const std::string& word, int stderr_fd) const {
  const std::string host = HostPath();
  int pipe_fds[2];
  if (::pipe2(pipe_fds, O_CLOEXEC) != 0) return false;
  UniqueFd read_end(pipe_fds[0]), write_end(pipe_fds[1]);
  pid_t child = ::fork();
  if (child < 0) return false;
  if (child == 0) {
    // The middle process starts a new session and leaves at once, so the host runs on as an
    // orphan of init and this program never has to reap it.
    ::setsid();
    pid_t grandchild = ::fork();
    if (grandchild != 0) ::_exit(grandchild < 0 ? 127 : 0);
    RedirectStdioToNull();
    if (stderr_fd >= 0) ::dup2(stderr_fd, 2);
    const char* argv[] = {host.c_str(), word.c_str(), nullptr};
    ::execv(host.c_str(), const_cast<char* const*>(argv));
    int err = errno;
    (void)!::write(pipe_fds[1], &err, sizeof err);
    ::_exit(127);
  }
  write_end.reset();
  int status = 0;
  while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  int err = 0;
  ssize_t n;
  while ((n = ::read(read_end.get(), &err, sizeof err)) < 0 && errno == EINTR) {
  }
  // Any bytes mean that exec failed; end of file means the host is running.
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 && n == 0;
}

int CServiceControl::RunHostAndWait(const std::string& word) const {
  const std::string host = HostPath();
  if (!IsExecutableFile(host)) return -1;
  pid_t child = ::fork();
  if (child < 0) return -1;
  if (child == 0) {
    const char* argv[] = {host.c_str(), word.c_str(), nullptr};
    ::execv(host.c_str(), const_cast<char* const*>(argv));
    ::_exit(127);
  }
  int status = 0;
  while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  if (!WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
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

int CServiceControl::RunWaiting(const char* word, bool want_running, int failure,
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
  const pid_t child = ::fork();
  if (child < 0) return failure;
  if (child == 0) {
    ::setsid();
    RedirectStdioToNull();
    if (err.get() >= 0) ::dup2(err.get(), 2);
    const char* argv[] = {host.c_str(), word, nullptr};
    ::execv(host.c_str(), const_cast<char* const*>(argv));
    ::_exit(127);
  }
  bool reaped = false;
  for (;;) {
    if (!reaped) {
      int status = 0;
      const pid_t r = ::waitpid(child, &status, WNOHANG);
      if (r == child) {
        reaped = true;
        const bool ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
        if (!ok && IsServiceRunning() != want_running) {
          if (err.get() >= 0) *reason = HostFailureText(err.get());
          if (reason->empty()) {
            *reason = WIFEXITED(status) && WEXITSTATUS(status) == 127
                          ? "cannot run the service host " + host
                          : "the service host " + host + " " + word + " ended with status " +
                                std::to_string(WIFEXITED(status) ? WEXITSTATUS(status)
                                                                 : 128 + WTERMSIG(status));
          }
          return failure;
        }
      }
    }
    if (IsServiceRunning() == want_running) return kServiceOk;
    if (!keep_waiting()) break;
  }
  return IsServiceRunning() == want_running ? kServiceOk : failure;
}

int CServiceControl::StartServiceWaiting(const std::function<bool()>& keep_waiting,
                                         std::string* reason) {
  return RunWaiting("-start", true, kServiceStartFailed, keep_waiting, reason);
}

int CServiceControl::StopServiceWaiting(const std::function<bool()>& keep_waiting,
                                        std::string* reason) {
  return RunWaiting("-osstop", false, kServiceStopFailed, keep_waiting, reason);
}

bool CServiceControl::SendExecuteNow(const std::string& task_name) const {
  return SendToService("ZORIC:02:" + task_name);
}

bool CServiceControl::SendAbort(const std::string& task_name) const {
  return SendToService("ZORIC:03:" + task_name);
}

std::string CServiceControl::LogPath() { return logviewer::DefaultLogPath(); }

bool CServiceControl::ClearLog() {
  const std::string path = LogPath();
  return !path.empty() && ::unlink(path.c_str()) == 0;
}

}  // namespace pondrel::tasdek
