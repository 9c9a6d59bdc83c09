// CKestova: the scheduler service body, the face the host program and the framework see. It
// wires three parts together and keeps the names the rest of the system calls it by:
//   - TaskEngine (task_engine.h): due tasks, start checks, launching and reaping downloaders,
//     retries, the process table;
//   - MailslotDispatcher (mailslot_dispatcher.h): the requests arriving on the service
//     mailslot, and aborts that come before the downloader's window report;
//   - BodyLoop (body_loop.h): the body thread's one wait over the downloaders' pidfds, the
//     1000 ms tick, the clock-change watch, the mailslot and the messages posted to the body
//     (what the hidden window receives on the original platform).
// The service mailslot's own reader thread queues arriving messages whatever the body thread is
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
#include <cstdint>
#include <ctime>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "common/guid.h"
#include "common/mailslot.h"
#include "common/store_damage.h"
#include "service/body_loop.h"
#include "service/engine_ports.h"
#include "service/event_log.h"
#include "service/mailslot_dispatcher.h"
#include "service/proc_table.h"
#include "service/service_manager.h"
#include "service/task_engine.h"
#include "taskmodel/kvtask.h"

namespace pondrel {

inline constexpr char kServiceName[] = "KESTOVA";
inline constexpr char kServiceDisplayName[] = "Pondrel Task Scheduler Service";
inline constexpr char kServiceDependency[] = "Tcpip";

inline constexpr int kScanIntervalSec = 60;
inline constexpr int kTickMs = 1000;
inline constexpr int kClockChangeMinSec = 60;
// Messages handled per wake-up before the wait is asked again.
inline constexpr int kMessagesPerWake = 64;

// The service's own log lines.
inline constexpr char kMsgS100[] = "Pondrel Task Scheduler Service has started. (S100)";
inline constexpr char kMsgS101[] = "Pondrel Task Scheduler Service has stopped. (S101)";
// A damaged schedule.ini or prp1, logged once per damage: the file, what could not be read,
// where the file as it was is kept.
inline constexpr char kFmtS020[] = "%s is damaged: %s; %s. (S020)";

class CKestova : public ServiceBody, private BodyLoopEvents {
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
  // The descriptor that wakes the body for posted messages (the hidden window's place).
  int getHWND() const { return loop_.WakeFd(); }

  // Start-up, in this order: the body's wait (initApplication, which runs wmCreate), then the
  // scheduler (initKVSched: the mailslot, missed runs, the tick).
  int initApplication();
  int initKVSched();
  // Marks missed runs and resets states left over from an earlier run; the caller holds the
  // file-access lock. The number of tasks written.
  int MarkMissedTasks();
  int initMailSlot();
  void initMonitoring() {}
  int messageLoop();
  int WaitProc();
  // A message to the body, handled on the body thread (what the window procedure does).
  long windowMessage(BodyMessage msg);
  static long WndProc(BodyMessage msg);
  int wmCreate();
  int wmDestroy();
  void destroyWindow() { postMessage(BodyMessage::kDestroy); }
  // Posts a message to the body thread; any thread.
  bool postMessage(BodyMessage msg) { return loop_.Post(msg); }
  [[noreturn]] void FatalExit(int code, const char* text);
  void CheckRootPath();
  void LogStoreDamage(const StoreDamage& damage);
  // The time string of `t` (empty when it cannot be formatted).
  static std::string GetTimeStr(std::time_t t);
  void SetLog(const char* field1, const char* field2, int level, const char* message);

  // The task operations, carried out by the engine. Results as the design numbers them.
  int ExecDoTask();  // 1
  // The due tasks between the last check time and `now` (advances the last check time).
  int FindDueTasks(std::time_t now, std::vector<std::string>* names);
  int DoProc(const char* task_name);  // 0 started, -1 not
  int TaskEndProc(int index);         // 0, -1 for no such entry
  int RetryProc(CKVTask task);        // 0
  int KillProc(const char* task_name);
  int StopProc();
  int CheckServer(const Guid& id);  // 1 when another running task uses that server, else 0
  int GetServerName(const Guid& id, std::string* name);  // 0 or -1
  // 0, -2 for no such profile, -1 for another failure.
  int GetServerInfo(const Guid& id, std::string* name, std::string* image_dir);
  // 1 resolved, 0 not resolvable, -1 profile not readable.
  int GetServerAddr(const Guid& id, sockaddr_in* addr);
  void PostTASDEK(const CKVTask& task) { announcer_.Announce(task); }

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
  void SetLauncherDir(std::string dir) { launcher_.SetDirectory(std::move(dir)); }
  // The tick's period (tests stop it with a period far beyond their length).
  void SetTickPeriod(int ms) { loop_.SetTickPeriod(ms); }
  // How long an abort waits for the downloader's window report before it is sent directly.
  void SetAbortGrace(int ms) { dispatcher_.SetAbortGrace(ms); }
  // The bounded stop: after `term_ms` a downloader still running gets SIGTERM, after a
  // further `kill_ms` SIGKILL.
  void SetStopGrace(int term_ms, int kill_ms) { stop_escalation_.SetGrace(term_ms, kill_ms); }
  CKVProcTable& ProcTable() { return engine_.Procs(); }
  std::string LastCheckTime() const { return engine_.LastCheckTime(); }
  void SetLastCheckTime(std::string_view t) { engine_.SetLastCheckTime(t); }
  std::time_t LastScan() const { return last_scan_; }
  int WaitingForEnvLock() const { return engine_.WaitingForEnvLock(); }
  bool HoldsEnvLock() const { return engine_.HoldsEnvLock(); }
  TaskEngine& Engine() { return engine_; }
  // The instance that WndProc forwards to (the one created last).
  static CKestova* Current();

 private:
  // BodyLoopEvents.
  void OnPosted(BodyMessage msg) override { windowMessage(msg); }
  void OnMailslotReadable() override;
  void OnTick() override;
  void OnClockSet() override;
  void OnChildEnded(int pidfd) override { engine_.ChildEnded(pidfd); }

  void BeginStop();
  EngineHooks MakeEngineHooks();
  std::string ServiceLogPath() const;
  // Real elapsed time, for the grace periods of aborts and the stop.
  static std::int64_t SteadyNowMs();
  static std::time_t Now();

  ServiceManager* scm_ = nullptr;
  OVEventLog* wel_ = nullptr;
  std::string root_;
  bool root_fixed_ = false;
  std::mutex damage_lock_;
  std::set<std::string> damage_told_;  // each damaged store is logged once
  std::time_t last_scan_ = 0;
  std::time_t last_tick_ = 0;
  std::unique_ptr<CKVMailSlot> slot_;
  std::unique_ptr<CKVTaskMgr> tasks_;

  ProfileDirectory servers_{&root_};
  KvdlLauncher launcher_;
  TaskViewAnnouncer announcer_;
  TaskEngine engine_;
  MailslotDispatcher dispatcher_{engine_};
  BodyLoop loop_{*this};
  StopEscalation stop_escalation_;

  // Stop sequence.
  std::atomic<bool> stop_ack_{false};
  std::atomic<bool> body_ended_{false};
};

}  // namespace pondrel
