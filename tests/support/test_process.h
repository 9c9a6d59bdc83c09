// The one way a test starts a program: a child of the test, started through the platform
// layer's ChildProcess, with its standard streams in files of the test's choosing, ended
// (SIGTERM, then SIGKILL) and reaped when the object goes away, and killed with the test
// program should that die first.
//
//   ProcessOptions options;
//   options.output_path = out;
//   TestProcess cam;
//   ASSERT_TRUE(cam.Start(StageDir() + "/camsim", {"--port", "0"}, options));
//   ...
//   EXPECT_EQ(cam.Stop(), 0);
//
//   const ProgramRun r = RunProgram(StageDir() + "/pondrel", {"task", "list"});
//   EXPECT_EQ(r.status, 0) << r.err;
//
//   TestProcess holder;  // a copy of the test that holds a lock until stopped
//   ASSERT_TRUE(holder.StartCopy([&] { NamedLock l("L"); l.TryLock(); ::pause(); return 0; }));
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "common/process.h"

namespace pondrel::test {

// An ended child's status as a shell gives it: the exit status, or 128 + the signal number.
int ShellStatus(const ChildExit& e);

struct ProcessOptions {
  std::string argv0;             // argv[0]; empty: the program's path
  std::vector<std::string> env;  // "NAME=value" replacing or adding to the test's environment
  std::string stdin_path;        // standard input read from this file; empty: the test's
  // Standard output and error written to this file (created; appended to with `append`);
  // empty: the test's.
  std::string output_path;
  bool append = false;
  std::string stderr_path;  // standard error alone to this file instead (truncated)
  // More descriptors of the test handed down as the given numbers (see ChildSpec::fds).
  std::vector<std::pair<int, int>> fds;
  // A process group of its own: signals from Stop() and Signal() reach the whole group (a
  // program with helpers of its own, such as a browser).
  bool own_group = false;
  bool die_with_test = true;  // SIGKILL from the kernel when the test program dies
};

class TestProcess {
 public:
  TestProcess() = default;
  TestProcess(TestProcess&&) noexcept = default;
  TestProcess& operator=(TestProcess&&) noexcept;
  TestProcess(const TestProcess&) = delete;
  TestProcess& operator=(const TestProcess&) = delete;
  ~TestProcess();  // Stop()

  // Starts `exe` with `args` (after argv[0]). False when the program could not be executed;
  // Error() says why.
  bool Start(const std::string& exe, const std::vector<std::string>& args,
             const ProcessOptions& options = {});
  // Runs `body` in a forked copy of the test program that goes on beside the test (a second
  // process that holds a lock, writes beside the test, ...), ended and reaped like a program.
  // The copy ends with body's return value at once, without running any destructor or exit
  // handler of the test; it shares the test's streams and descriptors, and dies with the thread
  // that started it. False when it could not fork; Error() says why.
  bool StartCopy(const std::function<int()>& body);

  bool started() const { return child_.valid(); }
  pid_t pid() const { return child_.pid(); }
  int pidfd() const { return child_.pidfd(); }
  const std::string& Error() const { return error_; }
  // Whether it has been started and has not ended yet.
  bool Running() const;
  // Sends `sig` (to its group with own_group). False when it has ended.
  bool Signal(int sig) const;
  // Waits up to `timeout_ms` (-1: for ever) for the end and reaps it: its ShellStatus, or -1
  // while it still runs (or when it was never started or is already reaped).
  int Wait(int timeout_ms = -1);
  // SIGTERM, up to `grace_ms` for the end, then SIGKILL: its ShellStatus, or -1 when it was
  // not running. Safe to call twice.
  int Stop(int grace_ms = 10000);
  // SIGKILL (to its group with own_group) and the wait, as a crash would end it.
  void Kill();
  // Whether the reaped process ended by exit() rather than by a signal.
  bool Exited() const { return exit_.exited; }

 private:
  ChildProcess child_;
  bool own_group_ = false;
  ChildExit exit_;
  std::string error_;
};

// A program run to its end by RunProgram.
struct ProgramRun {
  int status = -1;       // its ShellStatus; -1 when it could not be started
  std::string out, err;  // what it wrote on standard output and standard error
};

// Runs `exe` with `args`, `input` on its standard input, and collects its exit status and
// output. `options` may add environment entries, descriptors or argv[0]; its stream paths are
// the helper's own.
ProgramRun RunProgram(const std::string& exe, const std::vector<std::string>& args,
                      const std::string& input = "", ProcessOptions options = {});

// Runs `body` in a forked copy of the test program (TestProcess::StartCopy) to its end, for a
// second process that takes locks, changes its user, ... Its ShellStatus; -1 when it could not
// fork.
int RunInChild(const std::function<int()>& body);

}  // namespace pondrel::test
