#include "common/protocol.h"
#include "service/proc_table.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "common/fs_util.h"
#include "service/event_log.h"

extern char** environ;

#ifndef P_PIDFD
#define P_PIDFD 3
#endif

namespace pondrel {
namespace {

// The child's result pipe is always descriptor 3.
constexpr int kChildResultFd = 3;
// Descriptors prepared for the child are moved above this number first, so that the moves
// into place never overwrite one another.
constexpr int kHighFd = 10;
// The longest result text read from a child.
constexpr std::size_t kResultTextMax = 64;

int PidfdOpen(pid_t pid) { return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)); }

int PidfdSignal(int pidfd, int sig) {
  return static_cast<int>(::syscall(SYS_pidfd_send_signal, pidfd, sig, nullptr, 0));
}

}  // namespace

CKVProcTable::~CKVProcTable() {
  for (int i = Count() - 1; i >= 0; --i) Remove(i);
}

CKVProcEntry* CKVProcTable::At(int i) const {
  if (i < 0 || i >= Count()) return nullptr;
  return entries_[static_cast<std::size_t>(i)].get();
}

int CKVProcTable::Add(std::unique_ptr<CKVProcEntry> entry) {
  int n = Count();
  if (n >= kMaxRunningDownloads || !entry) return -1;
  entries_[static_cast<std::size_t>(n)] = std::move(entry);
  count_.store(n + 1);
  return n;
}

bool CKVProcTable::IsActive(int pidfd) {
  if (pidfd < 0) return false;
  siginfo_t info{};
  if (::waitid(static_cast<idtype_t>(P_PIDFD), static_cast<id_t>(pidfd), &info,
               WEXITED | WNOHANG | WNOWAIT) != 0)
    return false;
  return info.si_pid == 0;
}

void CKVProcTable::Remove(int i) {
  int n = Count();
  if (i < 0 || i >= n) return;
  auto& e = entries_[static_cast<std::size_t>(i)];
  if (e && IsActive(e->pidfd.get())) {
    PidfdSignal(e->pidfd.get(), SIGKILL);
    siginfo_t info{};
    while (::waitid(static_cast<idtype_t>(P_PIDFD), static_cast<id_t>(e->pidfd.get()), &info,
                    WEXITED) != 0 &&
           errno == EINTR) {
    }
  } else if (e && e->pidfd) {
    // Ended but not reaped yet: collect it so that no zombie stays behind.
    siginfo_t info{};
    ::waitid(static_cast<idtype_t>(P_PIDFD), static_cast<id_t>(e->pidfd.get()), &info,
             WEXITED | WNOHANG);
  }
  e.reset();
  for (int k = i; k + 1 < n; ++k)
    entries_[static_cast<std::size_t>(k)] = std::move(entries_[static_cast<std::size_t>(k + 1)]);
  entries_[static_cast<std::size_t>(n - 1)].reset();
  count_.store(n - 1);
}

bool CKVProcTable::CloseRequest(int i) {
  CKVProcEntry* e = At(i);
  if (!e || e->pid == 0 || e->window.load() == 0 || !IsActive(e->pidfd.get())) return false;
  // The close request goes to our own child through its pidfd; the number the downloader
  // reported is never used as a process id.
  return PidfdSignal(e->pidfd.get(), SIGTERM) == 0;
}

bool CKVProcTable::Signal(int i, int sig) {
  CKVProcEntry* e = At(i);
  if (!e || !IsActive(e->pidfd.get())) return false;
  return PidfdSignal(e->pidfd.get(), sig) == 0;
}

int CKVProcTable::FindByName(std::string_view task_name) const {
  for (int i = 0; i < Count(); ++i)
    if (entries_[static_cast<std::size_t>(i)]->task_name == task_name) return i;
  return -1;
}

int CKVProcTable::FindByPidfd(int fd) const {
  for (int i = 0; i < Count(); ++i)
    if (entries_[static_cast<std::size_t>(i)]->pidfd.get() == fd) return i;
  return -1;
}

bool StartLauncher(const std::string& exe, const std::string& arg0, const std::string& options,
                   LaunchedProcess* out, std::string* error) {
  auto fail = [&](int err) {
    if (error) *error = std::strerror(err);
    return false;
  };
  int result_pipe[2], exec_pipe[2];
  if (::pipe2(result_pipe, O_CLOEXEC) != 0) return fail(errno);
  UniqueFd result_r(result_pipe[0]), result_w0(result_pipe[1]);
  if (::pipe2(exec_pipe, O_CLOEXEC) != 0) return fail(errno);
  UniqueFd exec_r(exec_pipe[0]), exec_w0(exec_pipe[1]);
  UniqueFd result_w(::fcntl(result_w0.get(), F_DUPFD_CLOEXEC, kHighFd));
  UniqueFd exec_w(::fcntl(exec_w0.get(), F_DUPFD_CLOEXEC, kHighFd));
  if (!result_w || !exec_w) return fail(errno);
  result_w0.reset();
  exec_w0.reset();

  // Everything the child needs is built before the fork.
  std::string result_var = std::string(kResultFdVar) + "=" + std::to_string(kChildResultFd);
  std::vector<char*> envp;
  for (char** e = environ; e && *e; ++e)
    if (std::strncmp(*e, kResultFdVar, sizeof kResultFdVar - 1) != 0 ||
        (*e)[sizeof kResultFdVar - 1] != '=')
      envp.push_back(*e);
  envp.push_back(result_var.data());
  envp.push_back(nullptr);
  std::string a0 = arg0, opt = options;
  char* argv[] = {a0.data(), opt.data(), nullptr};
  sigset_t empty;
  sigemptyset(&empty);

  pid_t pid = ::fork();
  if (pid < 0) return fail(errno);
  if (pid == 0) {
    // Only async-signal-safe calls from here on.
    for (int s = 1; s < NSIG; ++s)
      if (s != SIGKILL && s != SIGSTOP) ::signal(s, SIG_DFL);
    ::sigprocmask(SIG_SETMASK, &empty, nullptr);
    ::setpgid(0, 0);
    ::close_range(3, ~0U, CLOSE_RANGE_CLOEXEC);
    int err = 0;
    if (::dup2(result_w.get(), kChildResultFd) < 0) err = errno;
    if (!err) ::fcntl(kChildResultFd, F_SETFD, 0);
    if (!err) {
      ::execve(exe.c_str(), argv, envp.data());
      err = errno;
    }
    [[maybe_unused]] ssize_t w = ::write(exec_w.get(), &err, sizeof err);
    ::_exit(127);
  }
  result_w.reset();
  exec_w.reset();
  int child_err = 0;
  ssize_t n;
  while ((n = ::read(exec_r.get(), &child_err, sizeof child_err)) < 0 && errno == EINTR) {
  }
  UniqueFd pidfd(PidfdOpen(pid));
  if (n > 0 || !pidfd) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return fail(n > 0 ? child_err : errno);
  }
  ::fcntl(result_r.get(), F_SETFL, O_NONBLOCK);
  out->pid = pid;
  out->pidfd = std::move(pidfd);
  out->result_fd = std::move(result_r);
  return true;
}

int ReapLauncher(int pidfd, int result_fd) {
  siginfo_t info{};
  int rc;
  while ((rc = ::waitid(static_cast<idtype_t>(P_PIDFD), static_cast<id_t>(pidfd), &info,
                        WEXITED)) != 0 &&
         errno == EINTR) {
  }
  if (rc != 0) return kExitCodeUnavailable;
  // The full result, when the launcher wrote one, is a decimal number and a line feed.
  char buf[kResultTextMax + 1];
  std::size_t len = 0;
  if (result_fd >= 0) {
    while (len < kResultTextMax) {
      ssize_t n = ::read(result_fd, buf + len, kResultTextMax - len);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      len += static_cast<std::size_t>(n);
    }
  }
  buf[len] = '\0';
  if (len > 0) {
    char* end = nullptr;
    errno = 0;
    long long v = std::strtoll(buf, &end, 10);
    if (end != buf && errno == 0 && v >= INT32_MIN && v <= INT32_MAX &&
        (*end == '\n' || *end == '\0' || *end == '\r'))
      return static_cast<int>(v);
  }
  if (info.si_code == CLD_EXITED) return info.si_status;
  return kExitCodeUnavailable;
}

}  // namespace pondrel
