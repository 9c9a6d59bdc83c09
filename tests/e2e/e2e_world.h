// The world of one end-to-end test: real programs, real files, real loopback traffic.
//
// E2EWorld gives a private ROOT, registry files and IPC namespace (ScopedTestEnv), a host
// directory holding copies of zoricsm, libkestova.so, KVdl and libfetchko.so (so that the
// service finds KVdl beside itself and writes OVEvent.log inside the test's directory), and
// a clock offset shared with the service and its downloaders: zoricsm runs with the clock
// library of this folder preloaded, so moving the offset 90 seconds on makes the service's
// next tick do its 60-second scan without any test waiting a real minute.
//
// Every process it starts is ended by its pid when the world goes away: the service, any
// downloader still running under it, and the downloaders started by hand.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "common/guid.h"
#include "taskmodel/kvtask.h"
#include "tests/support/test_env.h"
#include "tests/support/test_process.h"

namespace pondrel::test {

// Polls `cond` every 20 ms for up to `timeout_ms`.
bool WaitFor(const std::function<bool()>& cond, int timeout_ms = 15000);

// A program started by the test. The result pipe is the service's contract with KVdl: its
// read end is kept here, the write end is named by PONDREL_RESULT_FD in the child.
struct StartedProcess {
  pid_t pid = -1;
  int result_fd = -1;  // read end, or -1
};

struct ProfileSpec {
  std::string name = "cam1";
  int port = 0;
  std::string account = "u";
  std::string password = "p";
  bool delete_on_server = false;
  // A dial-up entry: the profile reaches the camera over this connection.
  std::string ppp_entry;
  std::string ppp_account = "dial";
  std::string ppp_password = "up";
};

class E2EWorld {
 public:
  E2EWorld();
  ~E2EWorld();
  E2EWorld(const E2EWorld&) = delete;
  E2EWorld& operator=(const E2EWorld&) = delete;

  const ScopedTestEnv& env() const { return env_; }
  std::string Root() const { return env_.Root(); }
  std::string HostDir() const { return host_dir_; }

  // --- the shared clock ---
  // The time the service and its downloaders see now.
  std::time_t Now() const;
  void AdvanceClock(std::int64_t seconds);

  // --- stores ---
  // Adds a profile for 127.0.0.1:<port>; its image directory is <dir>/images/<name>.
  Guid AddServer(const ProfileSpec& spec);
  std::string ImageDir(const std::string& server = "cam1") const;
  // A daily task first due `due_in` seconds from Now(); `image_delete` sets the ",/d" flag.
  CKVTask AddTask(const std::string& name, const Guid& server, bool image_delete = false,
                  int due_in = 30);
  CKVTask ReadTask(const std::string& name) const;
  void WriteTask(const CKVTask& task);
  bool DeleteTask(const std::string& name);

  // --- the service ---
  // Starts `zoricsm -debug` and waits for its start line (S100). False when it did not start.
  bool StartService();
  // After the service was started in the background by someone else (the Task View's
  // "zoricsm -start"): finds its process by the host program's path so that the world can
  // watch and, if need be, end it. False when no such process runs.
  bool AdoptBackgroundService();
  pid_t ServicePid() const { return service_pid_; }
  // Whether the process is gone (or only a zombie waiting for a parent other than us).
  static bool Gone(pid_t pid);
  // Moves the shared clock past the next 60-second scan so that a task due within the next
  // 30 seconds is started on the service's next tick.
  void RunScan() { AdvanceClock(90); }
  // Waits until the task has been started and reaped again (ActResult no longer 0 or 9).
  bool WaitTaskEnded(const std::string& name, int timeout_ms = 25000) const;
  // SIGTERM to the service and a wait for its exit; its exit status (-1 when it had to be
  // killed).
  int StopService(int timeout_ms = 20000);
  // SIGKILL to the service, as a crash would end it; its downloaders run on as orphans, which
  // the world still ends when it goes away. Returns their pids.
  std::vector<pid_t> CrashService();
  // The pids of the service's running children (its downloaders).
  std::vector<pid_t> ServiceChildren() const;
  std::string ServiceLog() const;  // ROOT/SYSTEM/kvrpd.log
  std::vector<std::string> ServiceLogLines() const;
  std::string ServiceOutput() const;  // what zoricsm printed

  // --- downloaders started by hand ---
  // Runs KVdl from the host directory with `args` as its arguments (not joined here: the
  // launcher joins them with blanks) and a result pipe.
  StartedProcess StartKVdl(const std::vector<std::string>& args);
  // Waits for the process to end; its full result from the pipe (or the exit status when the
  // pipe stayed empty); std::nullopt on time-out.
  std::optional<int> WaitKVdl(StartedProcess& p, int timeout_ms = 25000);

 private:
  void KillEverything();

  ScopedTestEnv env_;
  std::string host_dir_, clock_path_;
  volatile std::int64_t* clock_offset_ = nullptr;
  // The service started here (service_is_child_) or adopted by its pid.
  TestProcess service_;
  pid_t service_pid_ = -1;
  bool service_is_child_ = true;
  struct HandStarted {
    TestProcess process;
    int result_fd = -1;  // read end of its result pipe, closed by the world
  };
  std::vector<HandStarted> by_hand_;
  std::vector<pid_t> orphans_;
};

// Lines of `text` that contain `needle`.
std::vector<std::string> LinesWith(const std::vector<std::string>& lines,
                                   const std::string& needle);
// Index of the first line containing `needle` at or after `from`, or -1.
int FindLine(const std::vector<std::string>& lines, const std::string& needle, int from = 0);

}  // namespace pondrel::test
