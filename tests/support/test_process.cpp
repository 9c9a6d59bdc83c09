#include "tests/support/test_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "common/unique_fd.h"
#include "tests/support/test_env.h"

namespace pondrel::test {
namespace {

UniqueFd OpenFor(const std::string& path, int flags) {
  return UniqueFd(::open(path.c_str(), flags | O_CLOEXEC, 0600));
}

// A fresh private directory for one RunProgram's stream files.
std::string MakeRunDir() {
  std::string tmpl = (std::filesystem::temp_directory_path() / "pondrel-run-XXXXXX").string();
  return ::mkdtemp(tmpl.data()) ? tmpl : std::string();
}

}  // namespace

int ShellStatus(const ChildExit& e) { return e.exited ? e.code : 128 + e.code; }

TestProcess& TestProcess::operator=(TestProcess&& other) noexcept {
  if (this != &other) {
    Stop();
    child_ = std::move(other.child_);
    own_group_ = other.own_group_;
    exit_ = other.exit_;
    error_ = std::move(other.error_);
  }
  return *this;
}

TestProcess::~TestProcess() { Stop(); }

bool TestProcess::Start(const std::string& exe, const std::vector<std::string>& args,
                        const ProcessOptions& options) {
  Stop();
  error_.clear();
  exit_ = ChildExit();
  ChildSpec spec;
  spec.exe = exe;
  spec.argv.push_back(options.argv0.empty() ? exe : options.argv0);
  spec.argv.insert(spec.argv.end(), args.begin(), args.end());
  spec.env = options.env;
  spec.own_group = options.own_group;
  spec.die_with_parent = options.die_with_test;
  spec.fds = options.fds;
  // The stream files stay open only until the child has its own copies.
  std::vector<UniqueFd> streams;
  auto hand_down = [&](const std::string& path, int flags, std::vector<int> targets) {
    if (path.empty()) return true;
    streams.push_back(OpenFor(path, flags));
    if (!streams.back()) {
      error_ = "cannot open " + path + ": " + std::strerror(errno);
      return false;
    }
    for (int t : targets) spec.fds.emplace_back(streams.back().get(), t);
    return true;
  };
  const int out_flags = O_WRONLY | O_CREAT | (options.append ? O_APPEND : O_TRUNC);
  std::vector<int> out_targets{1};
  if (options.stderr_path.empty()) out_targets.push_back(2);
  if (!hand_down(options.stdin_path, O_RDONLY, {0}) ||
      !hand_down(options.output_path, out_flags, out_targets) ||
      !hand_down(options.stderr_path, O_WRONLY | O_CREAT | O_TRUNC, {2})) {
    return false;
  }
  int err = 0;
  if (!ChildProcess::Start(spec, &child_, &err)) {
    error_ = "cannot start " + exe + ": " + std::strerror(err);
    return false;
  }
  own_group_ = options.own_group;
  return true;
}

bool TestProcess::StartCopy(const std::function<int()>& body) {
  Stop();
  error_.clear();
  exit_ = ChildExit();
  own_group_ = false;
  const pid_t parent = ::getpid();
  const pid_t pid = ::fork();
  if (pid < 0) {
    error_ = std::string("cannot fork: ") + std::strerror(errno);
    return false;
  }
  if (pid == 0) {
    // Gone with the test, as a started program is (unless the test died before this took hold).
    if (::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || ::getppid() != parent) ::_exit(127);
    ::_exit(body());
  }
  int err = 0;
  if (!ChildProcess::Adopt(pid, &child_, &err)) {
    ::kill(pid, SIGKILL);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    error_ = std::string("cannot watch the copy: ") + std::strerror(err);
    return false;
  }
  return true;
}

bool TestProcess::Running() const { return child_.Active(); }

bool TestProcess::Signal(int sig) const {
  if (!child_.Active()) return false;
  return own_group_ ? ::kill(-child_.pid(), sig) == 0 : child_.Signal(sig);
}

int TestProcess::Wait(int timeout_ms) {
  if (!child_.valid()) return -1;
  pollfd p{child_.pidfd(), POLLIN, 0};
  int rc;
  while ((rc = ::poll(&p, 1, timeout_ms)) < 0 && errno == EINTR) {
  }
  ChildExit e;
  if (rc <= 0 || !child_.Wait(&e, false)) return -1;
  exit_ = e;
  return ShellStatus(e);
}

int TestProcess::Stop(int grace_ms) {
  if (!Running()) {
    // Ended by itself: its status, once.
    const int ended = Wait(0);
    child_ = ChildProcess();
    return ended;
  }
  Signal(SIGTERM);
  int status = Wait(grace_ms);
  if (status < 0) {
    Signal(SIGKILL);
    status = Wait();
  }
  // A group's other members get no grace once the leader has gone.
  if (own_group_) ::kill(-child_.pid(), SIGKILL);
  child_ = ChildProcess();
  return status;
}

void TestProcess::Kill() {
  if (!child_.valid()) return;
  if (own_group_) {
    ::kill(-child_.pid(), SIGKILL);
  } else {
    child_.Signal(SIGKILL);
  }
  Wait();
  child_ = ChildProcess();
}

ProgramRun RunProgram(const std::string& exe, const std::vector<std::string>& args,
                      const std::string& input, ProcessOptions options) {
  ProgramRun run;
  const std::string dir = MakeRunDir();
  if (dir.empty()) return run;
  options.stdin_path = dir + "/in";
  options.output_path = dir + "/out";
  options.append = false;
  options.stderr_path = dir + "/err";
  WriteFile(options.stdin_path, input);
  TestProcess p;
  if (p.Start(exe, args, options)) {
    run.status = p.Wait();
    run.out = ReadFile(options.output_path);
    run.err = ReadFile(options.stderr_path);
  } else {
    run.err = p.Error();
  }
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
  return run;
}

int RunInChild(const std::function<int()>& body) {
  TestProcess copy;
  return copy.StartCopy(body) ? copy.Wait() : -1;
}

}  // namespace pondrel::test
