// CKestova: the scheduler service body. One thread runs everything: it waits in one epoll
// wait over the running downloaders' pidfds, a 1000 ms tick timer, a clock-change timer and
// the queue of posted messages (what the hidden window receives on the original platform).
// The service mailslot's own reader thread queues arriving messages whatever this thread is
// doing, and the wait covers that queue: a request is handled as soon as it arrives, a bounded
// number per wake-up so that neither the tick nor the reaping waits behind a burst. Every 60
// seconds the tick scans schedule.ini for due tasks and starts them; a downloader is reaped as
// soon as it ends and its task written and announced to the Task View.
//
// serviceBodyStop runs on the framework's loop thread: it only posts requests to the body
// thread and reads the running count, so the process table and the task state are changed by
// the body thread alone.
#pragma once

#include <netinet/in.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <ctime>
#include <deque>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "common/event_loop.h"
#include "common/guid.h"
#include "common/mailslot.h"
#include "common/named_object.h"
#include "common/protocol.h"
#include "common/store_damage.h"
#include "common/unique_fd.h"
#include "service/event_log.h"
#include "service/proc_table.h"
#include "service/service_manager.h"
#include "taskmodel/kvtask.h"

namespace pondrel {

inline constexpr char kServiceName[] = "KESTOVA";
inline constexpr char kServiceDisplayName[] = "Pondrel Task Scheduler Service";
inline constexpr char kServiceDependency[] = "Tcpip";
inline constexpr char kLauncherName[] = "KVdl";
// When set, the one directory the launcher is looked up in (tests put a test launcher there);
// otherwise the host program's own directory, then PATH.
inline constexpr char kLauncherDirVar[] = "PONDREL_KVDL_DIR";

inline constexpr int kScanIntervalSec = 60;
inline constexpr int kTickMs = 1000;
inline constexpr int kClockChangeMinSec = 60;
// Messages handled per wake-up before the wait is asked again.
inline constexpr int kMessagesPerWake = 64;
// An abort for a run whose downloader has not reported its window yet waits this long for the
// report, then the downloader is sent the close request (SIGTERM) directly.
inline constexpr int kAbortWithoutWindowMs = 5000;

// The service's log lines.
inline constexpr char kMsgS100[] = "Pondrel Task Scheduler Service has started. (S100)";
inline constexpr char kMsgS101[] = "Pondrel Task Scheduler Service has stopped. (S101)";
inline constexpr char kMsgS001[] = "Execution failure: Failed to get task information. (S001)";
inline constexpr char kMsgS002[] =
    "Execution failure: Another task has already accessed the same server. (S002)";
inline constexpr char kMsgS003[] =
    "Execution failure: The number of tasks concurrently executable is beyond the limit. (S003)";
inline constexpr char kMsgS004[] = "Execution failure: The task is already running. (S004)";
inline constexpr char kMsgS005[] = "Execution failure: Failed to execute the downloader (S005)";
inline constexpr char kMsgS006[] = "Execution failure: Invalid task (S006)";
inline constexpr char kMsgS009[] = "Execution failure: Invalid image directory (S009)";
// A damaged schedule.ini or prp1, logged once per damage: the file, what could not be read,
// where the file as it was is kept.
inline constexpr char kFmtS020[] = "%s is damaged: %s; %s. (S020)";
// Logged at start-up for a task whose run was still going when the service ended abnormally.
inline constexpr char kMsgS010[] =
    "Execution failure: The run was interrupted because the service ended while it ran. (S010)";

// What the body thread is asked to do through its queue (posted from any thread).
enum class BodyMessage {
  kCreate,
  kDestroy,
  kTick,
  kTimeChange,
  kCommand,
  kStopDownloads,  // the stop path's request: close every downloader, start no more
};

// The "ZORIC:01:" message to the Task View: "%s:%02d:%02d:%s:%s".
std::string FormatTaskChanged(const CKVTask& task);

class CKestova : public ServiceBody {
 public:
  CKestova();
  ~CKestova() override;
  CKestova(const CKestova&) = delete;
  CKestova& operator=(const CKestova&) = delete;

  // ServiceBody.
  int serviceBodyMain() override;  // 0 after a normal stop, 1 when it could not start
  int serviceBodyStop() override;  // 1

  void setSC(ServiceManager* scm, OVEventLog* wel);
  ServiceManager* getSCM() const { return scm_; }
  OVEventLog* getWEL() const { return wel_; }
  // The descriptor that wakes the body for posted messages (valid for the object's life).
  int getHWND() const { return msg_fd_.fd(); }

  int initApplication();
  int initKVSched();
  // Marks missed runs and resets states left over from an earlier run; the caller holds the
  // file-access lock. The number of tasks written.
  int MarkMissedTasks();
  int initMailSlot();
  void initMonitoring() {}
  int messageLoop();
  int WaitProc();
  long windowMessage(BodyMessage msg);
  static long WndProc(BodyMessage msg);
  int wmCreate();
  int wmDestroy();
  void destroyWindow() { postMessage(BodyMessage::kDestroy); }
  // Posts a message to the body thread; any thread.
  bool postMessage(BodyMessage msg);
  [[noreturn]] void FatalExit(int code, const char* text);
  void CheckRootPath();
  void LogStoreDamage(const StoreDamage& damage);
  // The time string of `t` (empty when it cannot be formatted).
  static std::string GetTimeStr(std::time_t t);
  void SetLog(const char* field1, const char* field2, int level, const char* message);

  // Task engine.
  int ExecDoTask();
  // The due tasks between the last check time and `now` (advances the last check time).
  int FindDueTasks(std::time_t now, std::vector<std::string>* names);
  int DoProc(const char* task_name);
  int TaskEndProc(int index);
  int RetryProc(CKVTask task);
  int KillProc(const char* task_name);
  int StopProc();
  int CheckServer(const Guid& id);
  int GetServerName(const Guid& id, std::string* name);
  int GetServerInfo(const Guid& id, std::string* name, std::string* image_dir);
  int GetServerAddr(const Guid& id, sockaddr_in* addr);
  void PostTASDEK(const CKVTask& task);

  // Mailslot receiver: takes one message and acts on it. 0 when none waited, 1 otherwise
  // (a probe or a message too short to act on included: it never ends the draining).
  int ReceiveDispatch();
  // Takes up to `max_messages` waiting messages; the number taken.
  int DrainMailslot(int max_messages);
  // The reaction to one message text (also used by the fuzz target). 1 handled or ignored,
  // 0 too short.
  int DispatchMessage(const char* text);
  // Takes the window registrations that arrived since the last tick, so that a stop sends
  // every downloader its close request at once rather than after the grace period.
  void TakePendingRegistrations();

  // Settings for the host and for tests.
  // Root directory instead of the registry's ROOT (tests that drive the engine directly).
  void SetRoot(std::string root);
  const std::string& Root() const { return root_; }
  void SetLauncherDir(std::string dir) { launcher_dir_ = std::move(dir); }
  // The tick's period (tests stop it with a period far beyond their length).
  void SetTickPeriod(int ms) { tick_ms_ = ms; }
  // How long an abort waits for the downloader's window report before it is sent directly.
  void SetAbortGrace(int ms) { abort_grace_ms_ = ms; }
  // The bounded stop: after `term_ms` a downloader still running gets SIGTERM, after a
  // further `kill_ms` SIGKILL.
  void SetStopGrace(int term_ms, int kill_ms) {
    stop_term_ms_ = term_ms;
    stop_kill_ms_ = kill_ms;
  }
  CKVProcTable& ProcTable() { return procs_; }
  std::string LastCheckTime() const { return last_check_; }
  void SetLastCheckTime(std::string_view t) { last_check_ = std::string(t); }
  std::time_t LastScan() const { return last_scan_; }
  int WaitingForEnvLock() const { return env_wait_count_.load(); }
  bool HoldsEnvLock() const { return env_lock_.held(); }
  // The instance that WndProc forwards to (the one created last).
  static CKestova* Current();

 private:
  // What became of a request to start a task.
  enum class StartOutcome {
    kStarted,
    kEnvLockTaken,  // another program holds the environment lock: nothing touched or logged
    kRefused,       // a start check failed (logged and recorded as the design has it)
  };
  // A task on its way to a start: the record as read, its profile's name and image directory.
  struct StartCandidate {
    CKVTask task;
    std::string server_name;
    std::string image_dir;
  };
  [[nodiscard]] StartOutcome StartTask(const std::string& requested);
  [[nodiscard]] bool TakeEnvLock();
  [[nodiscard]] bool ReadStartCandidate(const std::string& requested, StartCandidate* c);
  [[nodiscard]] bool PassesStartChecks(StartCandidate* c);
  void MarkRunning(CKVTask* task, std::time_t now);
  [[nodiscard]] bool ServerInUse(const Guid& id);
  StartOutcome RefuseStart(StartCandidate* c, int end_code, const char* message);
  [[nodiscard]] bool LaunchDownloader(const StartCandidate& c, LaunchedProcess* child);
  void AddRunningEntry(const StartCandidate& c, LaunchedProcess child);
  int RetryProcInto(CKVTask& task);
  void OnTick();
  void OnTimeChange();
  void OnChildEnded(int pidfd);
  void OnRegistration(std::string_view task_name, std::uint32_t window);
  void ForcePendingAborts();
  // Tasks left with a running result by a service that ended abnormally: failed, and logged.
  void RecordInterruptedRuns(const std::vector<CKVTask>& interrupted);
  void RetryEnvLockWaiters();
  void EscalateStop();
  void WatchFd(int fd);
  void UnwatchFd(int fd);
  void ArmTickTimer(bool on);
  std::string ServiceLogPath() const;
  // Real elapsed time, for the grace periods of aborts and the stop.
  static std::int64_t SteadyNowMs();
  std::time_t Now() const;

  ServiceManager* scm_ = nullptr;
  OVEventLog* wel_ = nullptr;
  std::string root_;
  bool root_fixed_ = false;
  std::mutex damage_lock_;
  std::set<std::string> damage_told_;  // each damaged store is logged once
  std::string last_check_;             // time string: start of the next due window
  std::atomic<int> stop_flag_{0};
  std::time_t last_scan_ = 0;
  std::time_t last_tick_ = 0;
  std::unique_ptr<CKVMailSlot> slot_;
  NamedObject env_lock_;

  CKVProcTable procs_;
  std::unique_ptr<CKVTaskMgr> tasks_;
  std::string launcher_dir_;
  int tick_ms_ = kTickMs;
  int abort_grace_ms_ = kAbortWithoutWindowMs;

  EventLoop loop_;
  WakeEvent msg_fd_;           // posted messages waiting
  IntervalTimer tick_fd_;      // 1000 ms timer
  ClockChangeWatch clock_fd_;  // readable when the clock is set
  std::mutex msg_lock_;
  std::deque<BodyMessage> messages_;

  // Tasks that were due while another program held the environment lock: retried once it is
  // free, as long as their due time is unchanged.
  struct EnvWaiter {
    std::string name;
    std::string next_time;
  };
  std::vector<EnvWaiter> env_wait_;
  // Announcements to a Task View whose mailslot stays full pause until then.
  std::chrono::steady_clock::time_point tasdek_quiet_until_{};
  static constexpr std::chrono::milliseconds kTaskViewStallThreshold{100};
  static constexpr std::chrono::milliseconds kTaskViewQuietTime{1000};
  std::atomic<int> env_wait_count_{0};

  // Stop sequence.
  std::atomic<bool> stopping_{false};
  std::atomic<bool> stop_ack_{false};
  std::atomic<bool> body_ended_{false};
  std::int64_t stop_started_ms_ = 0;
  bool stop_term_sent_ = false;
  bool stop_kill_sent_ = false;
  int stop_term_ms_ = 10000;
  int stop_kill_ms_ = 5000;
};

}  // namespace pondrel
