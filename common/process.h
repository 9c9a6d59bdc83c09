// Child processes, the one way the programs start, wait for and signal each other: a child
// with extra descriptors, in its own process group or session; a detached program that runs
// on as an orphan of init; this process turned into a background service; and signals to a
// process that is not our child. Every wait retries an interrupted call itself.
#pragma once

#include <sys/types.h>

#include <string>
#include <utility>
#include <vector>

#include "common/unique_fd.h"

namespace pondrel {

// How a child ended.
struct ChildExit {
  bool exited = false;  // a normal exit; otherwise death by a signal
  int code = 0;         // the exit status (exited) or the signal number
};

struct ChildSpec {
  std::string exe;                // the program executed
  std::vector<std::string> argv;  // argv[0] first; empty: exe alone
  // Descriptors of this process handed to the child as the given numbers, open across exec
  // (0 to 2 replace the standard streams); every other descriptor above 2 is closed in the child.
  std::vector<std::pair<int, int>> fds;
  // "NAME=value" entries replacing or adding to this process's environment.
  std::vector<std::string> env;
  bool own_group = false;      // a process group of its own (a Ctrl-C meant for us misses it)
  bool new_session = false;    // a session of its own, without a terminal
  bool stdio_to_null = false;  // standard input, output and error on /dev/null
  // With ChildProcess::Start: this descriptor as the child's standard error (after
  // stdio_to_null), e.g. a file that keeps what the child says about a failure.
  int stderr_fd = -1;
  // With ChildProcess::Start: the kernel kills the child (SIGKILL) when the thread that started
  // it ends, so that nothing outlives a program that died without cleaning up.
  bool die_with_parent = false;
};

// A started child: its pid and pidfd. Move-only; the destructor reaps an ended child (no
// zombie stays behind) but leaves a running one alone.
class ChildProcess {
 public:
  ChildProcess() = default;
  ChildProcess(ChildProcess&&) noexcept = default;
  ChildProcess& operator=(ChildProcess&& other) noexcept;
  ~ChildProcess();

  // Starts the child with default signal handling and an empty signal mask. False, with the
  // errno value in `error`, when it could not be created or its program not executed.
  static bool Start(const ChildSpec& spec, ChildProcess* out, int* error = nullptr);
  // Takes over `pid`, a child this process forked itself and has not reaped yet (a copy of
  // this program that runs a function rather than a program). False, with the errno value in
  // `error`, when no process handle could be had for it.
  static bool Adopt(pid_t pid, ChildProcess* out, int* error = nullptr);

  bool valid() const { return pidfd_.valid(); }
  pid_t pid() const { return pid_; }
  // The process handle, readable once the child has ended (for a wait loop).
  int pidfd() const { return pidfd_.get(); }
  // Whether the child has not ended yet.
  bool Active() const;
  // Sends `sig` through the pidfd (never to a recycled pid). False when it has ended.
  bool Signal(int sig) const;
  // Waits for the end (without blocking when `block` is false: false while it runs) and
  // reaps the child.
  bool Wait(ChildExit* out, bool block = true);
  // SIGKILL when still running, then the wait.
  void Kill();

 private:
  pid_t pid_ = 0;
  UniqueFd pidfd_;
  bool reaped_ = false;
};

// Runs `spec` in a new session as a grandchild that runs on as an orphan of init, so that
// this program never has to reap it. True once the program has been executed.
bool StartDetached(ChildSpec spec, int* error = nullptr);
// Runs `spec` and waits for it; false when it could not be run.
bool RunAndWait(const ChildSpec& spec, ChildExit* out, int* error = nullptr);

// Turns this program into a background process: the caller's process returns kForeground once
// the background process exists (kFailed when it could not be made); the background process,
// in a new session without a terminal, with its standard streams on /dev/null and "/" as its
// working directory, returns kBackground. `ready` gets a pipe: the background process writes
// to ready[1], the caller reads ready[0] (both close-on-exec; each side closes the other's).
enum class BackgroundRole { kFailed, kForeground, kBackground };
BackgroundRole ForkIntoBackground(UniqueFd* ready_read, UniqueFd* ready_write);

// A process that is not our child, by pid: whether it exists, and a signal to it.
bool ProcessExists(pid_t pid);
bool SignalProcess(pid_t pid, int sig);

// Replaces the handler of `sig` for as long as the object lives (the previous one comes back).
class ScopedSignalHandler {
 public:
  ScopedSignalHandler(int sig, void (*handler)(int));
  ScopedSignalHandler(const ScopedSignalHandler&) = delete;
  ScopedSignalHandler& operator=(const ScopedSignalHandler&) = delete;
  ~ScopedSignalHandler();

 private:
  int sig_;
  struct Saved;
  Saved* saved_;
};

}  // namespace pondrel
