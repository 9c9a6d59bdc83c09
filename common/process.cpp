#include "common/process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "common/fs_util.h"

extern char** environ;

#ifndef P_PIDFD
#define P_PIDFD 3
#endif

namespace pondrel {
namespace {

// Descriptors prepared for the child are moved above this number first, so that the moves
// into place never overwrite one another.
constexpr int kHighFd = 10;

int PidfdOpen(pid_t pid) { return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)); }

int WaitId(int pidfd, siginfo_t* info, int options) {
  int rc;
  while ((rc = ::waitid(static_cast<idtype_t>(P_PIDFD), static_cast<id_t>(pidfd), info, options)) !=
             0 &&
         errno == EINTR) {
  }
  return rc;
}

pid_t WaitPid(pid_t pid, int* status) {
  pid_t rc;
  while ((rc = ::waitpid(pid, status, 0)) < 0 && errno == EINTR) {
  }
  return rc;
}

ssize_t ReadRetry(int fd, void* buf, std::size_t size) {
  ssize_t n;
  while ((n = ::read(fd, buf, size)) < 0 && errno == EINTR) {
  }
  return n;
}

bool EnvNameIs(const char* entry, const std::string& assignment) {
  const std::size_t eq = assignment.find('=');
  const std::size_t len = eq == std::string::npos ? assignment.size() : eq;
  return std::strncmp(entry, assignment.c_str(), len) == 0 && entry[len] == '=';
}

}  // namespace

ChildProcess& ChildProcess::operator=(ChildProcess&& other) noexcept {
  if (this != &other) {
    this->~ChildProcess();
    pid_ = std::exchange(other.pid_, 0);
    pidfd_ = std::move(other.pidfd_);
    reaped_ = std::exchange(other.reaped_, false);
  }
  return *this;
}

ChildProcess::~ChildProcess() {
  if (pidfd_ && !reaped_) {
    siginfo_t info{};
    WaitId(pidfd_.get(), &info, WEXITED | WNOHANG);
  }
}

namespace {

// Everything the child needs, built before the fork: after it, the child may only make
// async-signal-safe calls.
struct ExecPlan {
  std::vector<UniqueFd> high;  // the descriptors to hand down, first above every target number
  std::vector<int> targets;    // the number each one gets in the child
  std::vector<std::string> env, args;
  std::vector<char*> envp, argv;
  std::string exe;
  sigset_t empty_mask;
  pid_t parent = 0;
};

// Copies the descriptors to hand down above every number they move to, so that the moves
// into place never overwrite one another. 0, or the errno value.
int PrepareDescriptors(const ChildSpec& spec, ExecPlan* plan) {
  const int above = kHighFd + 1 + static_cast<int>(spec.fds.size()) + 1;
  auto hand_down = [&](int from, int to) {
    UniqueFd copy(::fcntl(from, F_DUPFD_CLOEXEC, above));
    if (!copy) return errno;
    plan->high.push_back(std::move(copy));
    plan->targets.push_back(to);
    return 0;
  };
  for (const auto& [from, to] : spec.fds) {
    if (int err = hand_down(from, to)) return err;
  }
  return spec.stderr_fd >= 0 ? hand_down(spec.stderr_fd, 2) : 0;
}

// The environment (ours, with the child's own entries in place of same-named ones) and arguments.
void PrepareArguments(const ChildSpec& spec, ExecPlan* plan) {
  for (char** e = environ; e && *e; ++e) {
    bool replaced = false;
    for (const std::string& a : spec.env) replaced = replaced || EnvNameIs(*e, a);
    if (!replaced) plan->envp.push_back(*e);
  }
  plan->env = spec.env;
  for (std::string& a : plan->env) plan->envp.push_back(a.data());
  plan->envp.push_back(nullptr);
  plan->args = spec.argv.empty() ? std::vector<std::string>{spec.exe} : spec.argv;
  for (std::string& a : plan->args) plan->argv.push_back(a.data());
  plan->argv.push_back(nullptr);
  plan->exe = spec.exe;
  sigemptyset(&plan->empty_mask);
  plan->parent = ::getpid();
}

// Standard input, output and error on /dev/null. 0, or the errno value.
int StdioToNull() {
  int err = 0;
  const int null_fd = ::open("/dev/null", O_RDWR);
  if (null_fd < 0) err = errno;
  for (int i = 0; i < 3 && !err; ++i)
    if (::dup2(null_fd, i) < 0) err = errno;
  if (null_fd > 2) ::close(null_fd);
  return err;
}

// The child's side of the fork (async-signal-safe calls only): default signal handling, its
// group or session, its descriptors, then the program. A failure before the program runs is
// written to `exec_w` as an errno value.
[[noreturn]] void ExecChild(const ChildSpec& spec, ExecPlan& plan, int exec_w) {
  for (int s = 1; s < NSIG; ++s)
    if (s != SIGKILL && s != SIGSTOP) ::signal(s, SIG_DFL);
  ::sigprocmask(SIG_SETMASK, &plan.empty_mask, nullptr);
  if (spec.new_session) {
    ::setsid();
  } else if (spec.own_group) {
    ::setpgid(0, 0);
  }
  int err = 0;
  if (spec.die_with_parent) {
    if (::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0) err = errno;
    if (::getppid() != plan.parent) ::_exit(127);  // it died before the request took effect
  }
  if (spec.stdio_to_null && !err) err = StdioToNull();
  ::close_range(3, ~0U, CLOSE_RANGE_CLOEXEC);
  for (std::size_t i = 0; i < plan.high.size() && !err; ++i) {
    if (::dup2(plan.high[i].get(), plan.targets[i]) < 0) err = errno;
    if (!err) ::fcntl(plan.targets[i], F_SETFD, 0);
  }
  if (!err) {
    ::execve(plan.exe.c_str(), plan.argv.data(), plan.envp.data());
    err = errno;
  }
  [[maybe_unused]] ssize_t w = ::write(exec_w, &err, sizeof err);
  ::_exit(127);
}

}  // namespace

bool ChildProcess::Start(const ChildSpec& spec, ChildProcess* out, int* error) {
  auto fail = [&](int err) {
    if (error) *error = err;
    return false;
  };
  int exec_pipe[2];
  if (::pipe2(exec_pipe, O_CLOEXEC) != 0) return fail(errno);
  UniqueFd exec_r(exec_pipe[0]), exec_w0(exec_pipe[1]);
  UniqueFd exec_w(
      ::fcntl(exec_w0.get(), F_DUPFD_CLOEXEC, kHighFd + 1 + static_cast<int>(spec.fds.size())));
  if (!exec_w) return fail(errno);
  exec_w0.reset();
  ExecPlan plan;
  if (int err = PrepareDescriptors(spec, &plan)) return fail(err);
  PrepareArguments(spec, &plan);

  const pid_t pid = ::fork();
  if (pid < 0) return fail(errno);
  if (pid == 0) ExecChild(spec, plan, exec_w.get());
  plan.high.clear();
  exec_w.reset();
  // The exec pipe closes without a word when the program runs.
  int child_err = 0;
  const ssize_t n = ReadRetry(exec_r.get(), &child_err, sizeof child_err);
  UniqueFd pidfd(PidfdOpen(pid));
  if (n > 0 || !pidfd) {
    const int err = n > 0 ? child_err : errno;
    int status = 0;
    WaitPid(pid, &status);
    return fail(err);
  }
  *out = ChildProcess();
  out->pid_ = pid;
  out->pidfd_ = std::move(pidfd);
  return true;
}

bool ChildProcess::Adopt(pid_t pid, ChildProcess* out, int* error) {
  UniqueFd pidfd(PidfdOpen(pid));
  if (!pidfd) {
    if (error) *error = errno;
    return false;
  }
  *out = ChildProcess();
  out->pid_ = pid;
  out->pidfd_ = std::move(pidfd);
  return true;
}

bool ChildProcess::Active() const {
  if (!pidfd_ || reaped_) return false;
  siginfo_t info{};
  if (WaitId(pidfd_.get(), &info, WEXITED | WNOHANG | WNOWAIT) != 0) return false;
  return info.si_pid == 0;
}

bool ChildProcess::Signal(int sig) const {
  if (!Active()) return false;
  return ::syscall(SYS_pidfd_send_signal, pidfd_.get(), sig, nullptr, 0) == 0;
}

bool ChildProcess::Wait(ChildExit* out, bool block) {
  if (!pidfd_ || reaped_) return false;
  siginfo_t info{};
  if (WaitId(pidfd_.get(), &info, WEXITED | (block ? 0 : WNOHANG)) != 0) return false;
  if (info.si_pid == 0) return false;  // still running
  reaped_ = true;
  if (out) {
    out->exited = info.si_code == CLD_EXITED;
    out->code = info.si_status;
  }
  return true;
}

void ChildProcess::Kill() {
  if (Active()) ::syscall(SYS_pidfd_send_signal, pidfd_.get(), SIGKILL, nullptr, 0);
  Wait(nullptr);
}

bool StartDetached(ChildSpec spec, int* error) {
  // The middle process starts the session and leaves at once; the program runs on as an
  // orphan of init. Its exec failure comes back through the pipe.
  int exec_pipe[2];
  if (::pipe2(exec_pipe, O_CLOEXEC) != 0) {
    if (error) *error = errno;
    return false;
  }
  UniqueFd exec_r(exec_pipe[0]), exec_w(exec_pipe[1]);
  std::vector<std::string> args =
      spec.argv.empty() ? std::vector<std::string>{spec.exe} : spec.argv;
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t child = ::fork();
  if (child < 0) {
    if (error) *error = errno;
    return false;
  }
  if (child == 0) {
    ::setsid();
    pid_t grandchild = ::fork();
    if (grandchild != 0) ::_exit(grandchild < 0 ? 127 : 0);
    if (spec.stdio_to_null) RedirectStdioToNull();
    ::execv(spec.exe.c_str(), argv.data());
    int err = errno;
    [[maybe_unused]] ssize_t w = ::write(exec_w.get(), &err, sizeof err);
    ::_exit(127);
  }
  exec_w.reset();
  int status = 0;
  WaitPid(child, &status);
  int err = 0;
  ssize_t n = ReadRetry(exec_r.get(), &err, sizeof err);
  // Any bytes mean that exec failed; end of file means the program is running.
  if (n > 0) {
    if (error) *error = err;
    return false;
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    if (error) *error = ECHILD;
    return false;
  }
  return true;
}

bool RunAndWait(const ChildSpec& spec, ChildExit* out, int* error) {
  ChildProcess child;
  if (!ChildProcess::Start(spec, &child, error)) return false;
  return child.Wait(out);
}

BackgroundRole ForkIntoBackground(UniqueFd* ready_read, UniqueFd* ready_write) {
  int ready[2];
  if (::pipe2(ready, O_CLOEXEC) != 0) return BackgroundRole::kFailed;
  UniqueFd r(ready[0]), w(ready[1]);
  pid_t child = ::fork();
  if (child < 0) return BackgroundRole::kFailed;
  if (child > 0) {
    w.reset();
    int status = 0;
    WaitPid(child, &status);
    *ready_read = std::move(r);
    return BackgroundRole::kForeground;
  }
  // Intermediate child: a new session without a terminal, then the background process itself.
  r.reset();
  ::setsid();
  pid_t grandchild = ::fork();
  if (grandchild != 0) ::_exit(grandchild < 0 ? 1 : 0);
  RedirectStdioToNull();
  if (::chdir("/") != 0) {
  }
  *ready_write = std::move(w);
  return BackgroundRole::kBackground;
}

bool ProcessExists(pid_t pid) { return pid > 0 && ::kill(pid, 0) == 0; }

bool SignalProcess(pid_t pid, int sig) { return pid > 0 && ::kill(pid, sig) == 0; }

struct ScopedSignalHandler::Saved {
  struct sigaction action;
};

ScopedSignalHandler::ScopedSignalHandler(int sig, void (*handler)(int))
    : sig_(sig), saved_(new Saved{}) {
  struct sigaction action {};
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  ::sigaction(sig, &action, &saved_->action);
}

ScopedSignalHandler::~ScopedSignalHandler() {
  ::sigaction(sig_, &saved_->action, nullptr);
  delete saved_;
}

}  // namespace pondrel
