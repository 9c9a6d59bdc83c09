#include "service/proc_table.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "common/fs_util.h"
#include "common/protocol.h"
#include "service/event_log.h"

namespace pondrel {
namespace {

// The child's result pipe is always descriptor 3.
constexpr int kChildResultFd = 3;
// The longest result text read from a child.
constexpr std::size_t kResultTextMax = 64;

}  // namespace

CKVProcTable::~CKVProcTable() {
  for (int i = Count() - 1; i >= 0; --i) Remove(i);
}

ProcEntry* CKVProcTable::At(int i) const {
  if (i < 0 || i >= Count()) return nullptr;
  return entries_[static_cast<std::size_t>(i)].get();
}

int CKVProcTable::Add(std::unique_ptr<ProcEntry> entry) {
  int n = Count();
  if (n >= kMaxRunningDownloads || !entry) return -1;
  entries_[static_cast<std::size_t>(n)] = std::move(entry);
  count_.store(n + 1);
  return n;
}

void CKVProcTable::Remove(int i) {
  int n = Count();
  if (i < 0 || i >= n) return;
  auto& e = entries_[static_cast<std::size_t>(i)];
  // A process still running is ended and reaped; an ended one is reaped, so that no zombie
  // stays behind.
  if (e) e->child.Kill();
  e.reset();
  for (int k = i; k + 1 < n; ++k)
    entries_[static_cast<std::size_t>(k)] = std::move(entries_[static_cast<std::size_t>(k + 1)]);
  entries_[static_cast<std::size_t>(n - 1)].reset();
  count_.store(n - 1);
}

bool CKVProcTable::CloseRequest(int i) {
  ProcEntry* e = At(i);
  if (!e || e->pid == 0 || e->window.load() == 0) return false;
  // The close request goes to our own child through its pidfd; the number the downloader
  // reported is never used as a process id.
  return e->child.Signal(SIGTERM);
}

bool CKVProcTable::Signal(int i, int sig) {
  ProcEntry* e = At(i);
  return e && e->child.Signal(sig);
}

int CKVProcTable::FindByName(std::string_view task_name) const {
  for (int i = 0; i < Count(); ++i)
    if (entries_[static_cast<std::size_t>(i)]->task_name == task_name) return i;
  return -1;
}

int CKVProcTable::FindByPidfd(int fd) const {
  for (int i = 0; i < Count(); ++i)
    if (entries_[static_cast<std::size_t>(i)]->child.pidfd() == fd) return i;
  return -1;
}

bool StartLauncher(const std::string& exe, const std::string& arg0, const std::string& options,
                   LaunchedProcess* out, std::string* error) {
  int result_pipe[2];
  if (::pipe2(result_pipe, O_CLOEXEC) != 0) {
    if (error) *error = std::strerror(errno);
    return false;
  }
  UniqueFd result_r(result_pipe[0]), result_w(result_pipe[1]);
  ChildSpec spec;
  spec.exe = exe;
  spec.argv = {arg0, options};
  spec.fds = {{result_w.get(), kChildResultFd}};
  spec.env = {std::string(kResultFdVar) + "=" + std::to_string(kChildResultFd)};
  spec.own_group = true;
  int err = 0;
  if (!ChildProcess::Start(spec, &out->child, &err)) {
    if (error) *error = std::strerror(err);
    return false;
  }
  result_w.reset();
  ::fcntl(result_r.get(), F_SETFL, O_NONBLOCK);
  out->result_fd = std::move(result_r);
  return true;
}

int ReapLauncher(ChildProcess& child, int result_fd) {
  ChildExit exit;
  if (!child.Wait(&exit)) return kExitCodeUnavailable;
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
  return exit.exited ? exit.code : kExitCodeUnavailable;
}

}  // namespace pondrel
