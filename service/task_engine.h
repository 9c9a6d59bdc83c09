// TaskEngine: finding due tasks, the start checks, starting and reaping downloaders, retries,
// and the process table. It runs on the service body thread only, and reaches everything
// outside itself through engine_ports.h: it can be driven by a test without a wait loop, a
// mailslot or a real launcher.
#pragma once

#include <atomic>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

#include "common/named_object.h"
#include "service/engine_ports.h"
#include "service/proc_table.h"
#include "taskmodel/kvtask.h"

namespace pondrel {

// The engine's log lines.
inline constexpr char kMsgS001[] = "Execution failure: Failed to get task information. (S001)";
inline constexpr char kMsgS002[] =
    "Execution failure: Another task has already accessed the same server. (S002)";
inline constexpr char kMsgS003[] =
    "Execution failure: The number of tasks concurrently executable is beyond the limit. (S003)";
inline constexpr char kMsgS004[] = "Execution failure: The task is already running. (S004)";
inline constexpr char kMsgS005[] = "Execution failure: Failed to execute the downloader (S005)";
inline constexpr char kMsgS006[] = "Execution failure: Invalid task (S006)";
inline constexpr char kMsgS009[] = "Execution failure: Invalid image directory (S009)";
// Logged at start-up for a task whose run was still going when the service ended abnormally.
inline constexpr char kMsgS010[] =
    "Execution failure: The run was interrupted because the service ended while it ran. (S010)";

// What became of a request to start a task.
enum class [[nodiscard]] StartOutcome{
    kStarted,
    kEnvLockTaken,  // another program holds the environment lock: nothing touched or logged
    kRefused,       // a start check failed (logged and recorded in the task)
};

class TaskEngine final : public EngineRequests {
 public:
  TaskEngine(ServerDirectory& servers, DownloaderLauncher& launcher, EngineHooks hooks);
  TaskEngine(const TaskEngine&) = delete;
  TaskEngine& operator=(const TaskEngine&) = delete;
  ~TaskEngine() override;

  // The schedule worked on (the service knows its ROOT only once the body starts). Nothing
  // is started while none is attached.
  void Attach(CKVTaskMgr* tasks) { tasks_ = tasks; }

  // Start-up, with the file-access lock held by the caller: missed runs are marked, states
  // left by an earlier run go back to waiting, and a run the service was killed in the middle
  // of is failed and logged. The number of tasks written.
  int RecoverAtStart(std::time_t now);
  // After the clock was set: every task's next time is computed again and announced.
  void RescheduleAll(std::time_t now);

  // The due tasks are started (a task kept back by the environment lock waits for it).
  void StartDueTasks();
  // The due tasks between the last check time and `now`; advances the last check time.
  int FindDueTasks(std::time_t now, std::vector<std::string>* names);
  // Starts the tasks kept back by the environment lock once it is free.
  void RetryEnvLockWaiters();
  StartOutcome StartTask(const std::string& requested);

  // The downloader whose pidfd is `pidfd` ended.
  void ChildEnded(int pidfd);
  // Reaps entry `index` of the process table and records its run; false for no such entry.
  bool EndRun(int index);
  // A failed or refused run: the next try, or the regular time when no retry is left or the
  // retry would come after it. The task is written.
  void ScheduleRetry(CKVTask& task);

  // Whether another running task uses the server `id` (its profile, or its address). The
  // caller holds the file-access lock.
  bool ServerInUse(const Guid& id);

  // From any thread: no task starts from now on.
  void RefuseStarts() { stopping_.store(true); }
  bool Stopping() const { return stopping_.load(); }
  // The stop: tasks waiting for the environment lock are forgotten; every downloader gets the
  // close request.
  void BeginStop();
  void CloseAll();
  void SignalAll(int sig);
  // The end of the body: every entry is removed (a downloader still active is killed).
  void RemoveAll();

  // EngineRequests.
  void ScanSchedule() override { StartDueTasks(); }
  void ExecuteNow(const std::string& task) override { (void)StartTask(task); }
  RunState RunOf(std::string_view task) const override;
  void RecordWindow(std::string_view task, std::uint32_t window) override;
  void RequestClose(std::string_view task) override;
  void ForceEnd(std::string_view task) override;

  CKVProcTable& Procs() { return procs_; }
  const std::string& LastCheckTime() const { return last_check_; }
  void SetLastCheckTime(std::string_view t) { last_check_ = std::string(t); }
  int WaitingForEnvLock() const { return env_wait_count_.load(); }
  bool HoldsEnvLock() const { return env_lock_.held(); }
  std::string ServerNameOrUnknown(const Guid& id);

 private:
  // A task on its way to a start: the record as read, its profile's name and image directory.
  struct StartCandidate {
    CKVTask task;
    std::string server_name;
    std::string image_dir;
  };
  // A task that was due while another program held the environment lock: retried once it is
  // free, as long as its due time is unchanged.
  struct EnvWaiter {
    std::string name;
    std::string next_time;
  };
  [[nodiscard]] bool TakeEnvLock();
  void ReleaseEnvLockIfIdle();
  void KeepForEnvLock(const std::string& name);
  [[nodiscard]] bool StillDue(const EnvWaiter& w);
  [[nodiscard]] bool ReadStartCandidate(const std::string& requested, StartCandidate* c);
  [[nodiscard]] bool PassesStartChecks(StartCandidate* c);
  void MarkRunning(CKVTask* task, std::time_t now);
  [[nodiscard]] bool ServerInUseLocked(const Guid& id);
  StartOutcome RefuseStart(StartCandidate* c, int end_code, const char* message);
  [[nodiscard]] bool LaunchDownloader(const StartCandidate& c, LaunchedProcess* child);
  void AddRunningEntry(const StartCandidate& c, LaunchedProcess child);
  [[nodiscard]] int ReapEntry(ProcEntry* e);
  void RecordRunEnd(CKVTask& task, int exit_code);
  void RecordInterruptedRuns(const std::vector<CKVTask>& interrupted);
  [[nodiscard]] bool ReadTaskLocked(const std::string& name, CKVTask* task);
  void WriteTaskLocked(const CKVTask& task);
  void Log(std::string_view task, std::string_view server, int level, const char* text) const;
  void Announce(const CKVTask& task) const;
  std::time_t Now() const;

  ServerDirectory& servers_;
  DownloaderLauncher& launcher_;
  EngineHooks hooks_;
  CKVTaskMgr* tasks_ = nullptr;
  CKVProcTable procs_;
  NamedObject env_lock_;
  std::vector<EnvWaiter> env_wait_;
  std::atomic<int> env_wait_count_{0};
  std::atomic<bool> stopping_{false};
  std::string last_check_;  // time string: start of the next due window
};

}  // namespace pondrel
