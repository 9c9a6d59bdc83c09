// The task engine: finding due tasks, the start checks, starting and reaping downloaders,
// retries. Runs on the service body thread only.
#include "service/task_engine.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "common/clock.h"
#include "common/fs_util.h"
#include "taskmodel/activity_log.h"
#include "taskmodel/schedule.h"
#include "taskmodel/timestr.h"

namespace pondrel {
namespace {

// The due list grows in steps of 20 names.
constexpr std::size_t kDueListStep = 20;
// The lengths the process table keeps of a task name and an image directory.
constexpr std::size_t kEntryNameMax = 259;
constexpr std::size_t kEntryDirMax = 263;

int RunResultOf(int exit_code) {
  switch (exit_code) {
    case dl::ResultCode(dl::RunResult::kOk): return kResultSucceeded;
    case dl::ResultCode(dl::RunResult::kAborted): return kResultAborted;
    default: return kResultFailed;
  }
}

// Whether the fields that start-up and the clock-change rule touch differ. An unchanged task
// is not rewritten: the file would come out byte for byte the same, and a schedule of a
// thousand tasks would otherwise be rewritten a thousand times.
bool RescheduleChanged(const CKVTask& a, const CKVTask& b) {
  return a.ActState != b.ActState || a.ActResult != b.ActResult || a.EndCode != b.EndCode ||
         std::strcmp(a.NextTime, b.NextTime) != 0 || std::strcmp(a.EndTime, b.EndTime) != 0;
}

bool WasRunning(const CKVTask& t) {
  return t.ActState == kStateRunning || t.ActResult == kResultRunning;
}

// A run that fell due while the service was not running is not made up.
bool MissedItsTime(const CKVTask& t, std::time_t now) {
  std::time_t next = 0;
  return t.NextTime[0] && t.ActState != kStateDisabled && t.Effect == 1 &&
         TimeStrToTime(t.NextTime, &next) && next <= now;
}

// Whether `t` falls due in [from, to].
bool DueBetween(const CKVTask& t, std::time_t from, std::time_t to) {
  std::time_t next = 0;
  if (!t.NextTime[0] || t.Effect != 1 || !TimeStrToTime(t.NextTime, &next)) return false;
  return next >= from && next <= to;
}

}  // namespace

TaskEngine::TaskEngine(ServerDirectory& servers, DownloaderLauncher& launcher, EngineHooks hooks)
    : servers_(servers), launcher_(launcher), hooks_(std::move(hooks)) {}

TaskEngine::~TaskEngine() = default;

std::time_t TaskEngine::Now() const { return (hooks_.clock ? *hooks_.clock : GetClock()).Now(); }

void TaskEngine::Log(std::string_view task, std::string_view server, int level,
                     const char* text) const {
  if (hooks_.log) hooks_.log(task, server, level, text);
}

void TaskEngine::Announce(const CKVTask& task) const {
  if (hooks_.announce) hooks_.announce(task);
}

bool TaskEngine::ReadTaskLocked(const std::string& name, CKVTask* task) {
  TaskFileLock lock(*tasks_, -1);
  return tasks_->ReadTask(name, task) == 0 && name == task->Name;
}

void TaskEngine::WriteTaskLocked(const CKVTask& task) {
  TaskFileLock lock(*tasks_, -1);
  tasks_->WriteTask(task);
}

std::string TaskEngine::ServerNameOrUnknown(const Guid& id) {
  std::string name;
  if (servers_.Name(id, &name) != LookupResult::kFound) name = kServerUnknown;
  return name;
}

int TaskEngine::RecoverAtStart(std::time_t now) {
  std::vector<CKVTask> all;
  if (!tasks_ || tasks_->ReadAllTasks(&all) != 0) return 0;
  CKVSchedule sched;
  std::vector<CKVTask> changed;
  std::vector<CKVTask> interrupted;
  for (CKVTask& t : all) {
    const CKVTask before = t;
    const bool was_running = WasRunning(t);
    if (was_running) {
      // The service ended while this task ran (a crash, a kill): the run has no result of its
      // own, so it counts as failed rather than staying "running" for good.
      t.ActResult = kResultFailed;
      t.EndCode = kEndCodeNoExitCode;
      SetTaskField(t.EndTime, TimeToTimeStr(now));
      interrupted.push_back(t);
    }
    // The time an interrupted run was started for is that run, not a missed one.
    if (!was_running && MissedItsTime(t, now)) {
      t.ActState = kStateWaiting;
      t.ActResult = kResultStartFailed;
      t.EndCode = kEndCodeMissedRun;
    }
    if (t.ActState != kStateDisabled) {
      // States 3 and 6 left by an earlier run of the service go back to waiting.
      t.ActState = kStateWaiting;
      sched.ComputeNextTime(&t, now);
    }
    if (RescheduleChanged(before, t)) changed.push_back(t);
  }
  // One rewrite of the file for the whole pass, however many tasks it touches.
  const int written = tasks_->WriteTasks(changed) == 0 ? static_cast<int>(changed.size()) : 0;
  RecordInterruptedRuns(interrupted);
  return written;
}

void TaskEngine::RecordInterruptedRuns(const std::vector<CKVTask>& interrupted) {
  for (const CKVTask& t : interrupted)
    Log(t.Name, ServerNameOrUnknown(t.ServerId), kLogError, kMsgS010);
}

void TaskEngine::RescheduleAll(std::time_t now) {
  if (!tasks_) return;
  TaskFileLock lock(*tasks_, -1);
  std::vector<CKVTask> all;
  if (tasks_->ReadAllTasks(&all) != 0) return;
  CKVSchedule sched;
  std::vector<CKVTask> changed;
  for (CKVTask& t : all) {
    const CKVTask before = t;
    sched.ComputeNextTime(&t, now);
    if (RescheduleChanged(before, t)) changed.push_back(t);
  }
  tasks_->WriteTasks(changed);
  for (const CKVTask& t : all) Announce(t);
}

void TaskEngine::StartDueTasks() {
  if (stopping_.load() || !tasks_) return;
  std::vector<std::string> due;
  {
    TaskFileLock lock(*tasks_, -1);
    FindDueTasks(Now(), &due);
  }
  for (const std::string& name : due) {
    // Kept back: the task starts once the other program lets the lock go.
    if (StartTask(name) == StartOutcome::kEnvLockTaken) KeepForEnvLock(name);
  }
  env_wait_count_.store(static_cast<int>(env_wait_.size()));
}

void TaskEngine::KeepForEnvLock(const std::string& name) {
  CKVTask t;
  if (!ReadTaskLocked(name, &t)) return;
  const bool known = std::any_of(env_wait_.begin(), env_wait_.end(),
                                 [&](const EnvWaiter& w) { return w.name == name; });
  if (!known) env_wait_.push_back({name, t.NextTime});  // with its due time as it was
}

bool TaskEngine::StillDue(const EnvWaiter& w) {
  CKVTask t;
  return ReadTaskLocked(w.name, &t) && t.Effect == 1 && w.next_time == t.NextTime;
}

void TaskEngine::RetryEnvLockWaiters() {
  if (env_wait_.empty()) return;
  if (!env_lock_.held() && NamedObject::Exists(kEnvLockName)) return;  // still taken
  std::vector<EnvWaiter> waiting;
  waiting.swap(env_wait_);
  for (std::size_t i = 0; i < waiting.size(); ++i) {
    // A task rescheduled meanwhile (edited, or its time recomputed) waits for its new time.
    if (!StillDue(waiting[i])) continue;
    if (StartTask(waiting[i].name) == StartOutcome::kEnvLockTaken) {
      env_wait_.insert(env_wait_.end(), waiting.begin() + static_cast<std::ptrdiff_t>(i),
                       waiting.end());
      break;
    }
  }
  env_wait_count_.store(static_cast<int>(env_wait_.size()));
}

int TaskEngine::FindDueTasks(std::time_t now, std::vector<std::string>* names) {
  names->clear();
  std::time_t last_check = 0;
  if (!TimeStrToTime(last_check_, &last_check)) last_check = now;
  if (now < last_check || !tasks_) return 0;
  std::vector<CKVTask> all;
  if (tasks_->ReadAllTasks(&all) != 0 || all.empty()) return 0;
  last_check_ = TimeToTimeStr(now + 1);
  for (const CKVTask& t : all) {
    if (!DueBetween(t, last_check, now)) continue;
    if (names->size() == names->capacity()) names->reserve(names->size() + kDueListStep);
    names->emplace_back(t.Name);
  }
  return static_cast<int>(names->size());
}

// Checks and starts one task, in the order the refusals are looked for.
StartOutcome TaskEngine::StartTask(const std::string& requested) {
  if (!tasks_ || stopping_.load()) return StartOutcome::kRefused;
  if (!TakeEnvLock()) return StartOutcome::kEnvLockTaken;
  // While no downloader runs, the lock is let go again on every path that starts none.
  struct EnvRelease {
    TaskEngine* self;
    ~EnvRelease() { self->ReleaseEnvLockIfIdle(); }
  } env_release{this};

  const std::time_t now = Now();
  StartCandidate c;
  if (!ReadStartCandidate(requested, &c)) return StartOutcome::kRefused;
  if (!PassesStartChecks(&c)) return StartOutcome::kRefused;
  MarkRunning(&c.task, now);
  if (ServerInUseLocked(c.task.ServerId)) return RefuseStart(&c, kEndCodeServerBusy, kMsgS002);
  if (!IsDirectory(c.image_dir) && !CreateDirectoryChain(c.image_dir))
    return RefuseStart(&c, 0, kMsgS009);
  // The previous run's dial-up log is removed so that it holds only the latest run.
  ::unlink(JoinPath(JoinPath(c.image_dir, "info"), kDialLogName).c_str());
  LaunchedProcess child;
  if (!LaunchDownloader(c, &child)) return RefuseStart(&c, 0, kMsgS005);
  AddRunningEntry(c, std::move(child));
  return StartOutcome::kStarted;
}

bool TaskEngine::TakeEnvLock() {
  // Another program changing settings holds it, and keeps downloads from starting meanwhile.
  if (env_lock_.held()) return true;
  NamedObject lock = NamedObject::Create(kEnvLockName);
  if (!lock.held()) return false;
  env_lock_ = std::move(lock);
  return true;
}

void TaskEngine::ReleaseEnvLockIfIdle() {
  if (env_lock_.held() && procs_.Count() == 0) env_lock_.Release();
}

bool TaskEngine::ReadStartCandidate(const std::string& requested, StartCandidate* c) {
  const bool read = ReadTaskLocked(requested, &c->task);
  // A missing or invalid task, or a profile that is gone or unreadable: logged alike, so that
  // the activity log says why the task keeps failing.
  if (read && c->task.Validate() == 0 &&
      servers_.NameAndImageDir(c->task.ServerId, &c->server_name, &c->image_dir) ==
          LookupResult::kFound)
    return true;
  c->task.EndCode = kEndCodeUnreadable;
  Log(requested, kServerUnknown, kLogError, kMsgS001);
  c->task.ActResult = kResultFailed;
  ScheduleRetry(c->task);
  Announce(c->task);
  return false;
}

bool TaskEngine::PassesStartChecks(StartCandidate* c) {
  if (c->task.ActState == kStateRunning) {
    Log(c->task.Name, c->server_name, kLogError, kMsgS004);
    return false;
  }
  if (c->task.Effect == 0 || c->task.ActState == kStateDisabled) {
    Log(c->task.Name, c->server_name, kLogError, kMsgS006);
    return false;
  }
  if (procs_.Count() >= kMaxRunningDownloads) {
    (void)RefuseStart(c, kEndCodeTooManyTasks, kMsgS003);
    return false;
  }
  return true;
}

void TaskEngine::MarkRunning(CKVTask* task, std::time_t now) {
  task->ActState = kStateRunning;
  task->ActResult = kResultRunning;
  SetTaskField(task->LastActTime, TimeToTimeStr(now));
  WriteTaskLocked(*task);
  Announce(*task);
}

bool TaskEngine::ServerInUseLocked(const Guid& id) {
  TaskFileLock lock(*tasks_, -1);
  return ServerInUse(id);
}

StartOutcome TaskEngine::RefuseStart(StartCandidate* c, int end_code, const char* message) {
  if (end_code) c->task.EndCode = end_code;
  Log(c->task.Name, c->server_name, kLogError, message);
  c->task.ActResult = kResultStartFailed;
  ScheduleRetry(c->task);
  Announce(c->task);
  return StartOutcome::kRefused;
}

bool TaskEngine::LaunchDownloader(const StartCandidate& c, LaunchedProcess* child) {
  DownloaderOptions opts;
  opts.server_id = c.task.ServerIdText();
  opts.log_path = JoinPath(c.image_dir, kRunLogName);
  opts.task_name = c.task.Name;
  opts.delete_images = c.task.ImageDelete == 1;
  opts.hang_up = c.task.RasDisconnect == 1;
  return launcher_.Launch(opts, child);
}

void TaskEngine::AddRunningEntry(const StartCandidate& c, LaunchedProcess child) {
  auto entry = std::make_unique<ProcEntry>();
  entry->task_name = std::string(c.task.Name).substr(0, kEntryNameMax);
  entry->pid = child.child.pid();
  entry->child = std::move(child.child);
  entry->result_fd = std::move(child.result_fd);
  entry->image_dir = c.image_dir.substr(0, kEntryDirMax);
  const int pidfd = entry->child.pidfd();
  procs_.Add(std::move(entry));
  if (hooks_.watch_child) hooks_.watch_child(pidfd);
}

void TaskEngine::ChildEnded(int pidfd) {
  const int index = procs_.FindByPidfd(pidfd);
  if (index >= 0) {
    (void)EndRun(index);
  } else if (hooks_.unwatch_child) {
    hooks_.unwatch_child(pidfd);
  }
}

int TaskEngine::ReapEntry(ProcEntry* e) {
  if (hooks_.unwatch_child) hooks_.unwatch_child(e->child.pidfd());
  int exit_code = ReapLauncher(e->child, e->result_fd.get());
  // Ended by the user's abort before its own abort procedure could answer: still an abort.
  if (e->abort_forced && exit_code == kExitCodeUnavailable)
    exit_code = dl::ResultCode(dl::RunResult::kAborted);
  const std::string log = hooks_.service_log_path ? hooks_.service_log_path() : std::string();
  if (!e->image_dir.empty() && !log.empty()) AppendRunLog(log, JoinPath(e->image_dir, kRunLogName));
  return exit_code;
}

bool TaskEngine::EndRun(int index) {
  ProcEntry* e = procs_.At(index);
  if (!e) return false;
  CKVTask task;
  const bool found = tasks_ && ReadTaskLocked(e->task_name, &task);
  const int exit_code = ReapEntry(e);
  procs_.Remove(index);
  if (found) RecordRunEnd(task, exit_code);
  ReleaseEnvLockIfIdle();
  return true;
}

void TaskEngine::RecordRunEnd(CKVTask& task, int exit_code) {
  task.EndCode = exit_code;
  SetTaskField(task.EndTime, TimeToTimeStr(Now()));
  if (exit_code == dl::ResultCode(dl::RunResult::kOk) ||
      exit_code == dl::ResultCode(dl::RunResult::kAborted)) {
    task.ActState = kStateWaiting;
    task.ActResult = RunResultOf(exit_code);
    task.RestRetryCnt = task.RetryCnt;
    TaskFileLock lock(*tasks_, -1);
    CKVSchedule().UpdateTask(tasks_, &task);
  } else {
    if (exit_code == dl::ResultCode(dl::RunResult::kWindowFailed)) {
      std::string server_name;
      (void)servers_.Name(task.ServerId, &server_name);
      Log(task.Name, server_name, kLogError, kMsgS005);
    }
    task.ActResult = kResultFailed;
    ScheduleRetry(task);
  }
  Announce(task);
}

void TaskEngine::ScheduleRetry(CKVTask& task) {
  const std::time_t now = Now();
  SetTaskField(task.LastActTime, TimeToTimeStr(now));
  if (task.ActResult != kResultFailed && task.ActResult != kResultAborted &&
      task.ActResult != kResultStartFailed)
    task.ActResult = kResultFailed;
  CKVSchedule sched;
  if (task.RestRetryCnt > 0) {
    CKVTask regular = task;
    std::time_t regular_time = 0;
    const bool counts = sched.ComputeNextTime(&regular, now) == 0 && regular.NextTime[0] &&
                        TimeStrToTime(regular.NextTime, &regular_time) && regular_time >= now;
    const std::time_t retry = now + static_cast<std::time_t>(task.RetryInterval) * 60;
    if (!counts || retry < regular_time) {
      SetTaskField(task.NextTime, TimeToTimeStr(retry));
      task.ActState = kStateRerun;
      task.RestRetryCnt -= 1;
      WriteTaskLocked(task);
      return;
    }
  }
  task.ActState = kStateWaiting;
  task.RestRetryCnt = task.RetryCnt;
  TaskFileLock lock(*tasks_, -1);
  sched.UpdateTask(tasks_, &task);
}

bool TaskEngine::ServerInUse(const Guid& id) {
  if (procs_.Count() == 0 || !tasks_) return false;
  sockaddr_in mine{};
  const bool mine_resolved = servers_.Address(id, &mine) == AddrResult::kResolved;
  for (int i = 0; i < procs_.Count(); ++i) {
    CKVTask other;
    const std::string& name = procs_.At(i)->task_name;
    if (tasks_->ReadTask(name, &other) != 0 || name != other.Name) continue;
    if (other.ServerId == id) return true;
    if (!mine_resolved) continue;
    sockaddr_in theirs{};
    // Ports are not compared: one camera server behind two profiles is one server.
    if (servers_.Address(other.ServerId, &theirs) == AddrResult::kResolved &&
        theirs.sin_addr.s_addr == mine.sin_addr.s_addr)
      return true;
  }
  return false;
}

void TaskEngine::BeginStop() {
  stopping_.store(true);
  env_wait_.clear();
  env_wait_count_.store(0);
}

void TaskEngine::CloseAll() {
  for (int i = 0; i < procs_.Count(); ++i) procs_.CloseRequest(i);
}

void TaskEngine::SignalAll(int sig) {
  for (int i = 0; i < procs_.Count(); ++i) procs_.Signal(i, sig);
}

void TaskEngine::RemoveAll() {
  for (int i = procs_.Count() - 1; i >= 0; --i) {
    if (ProcEntry* e = procs_.At(i); e && hooks_.unwatch_child)
      hooks_.unwatch_child(e->child.pidfd());
    procs_.Remove(i);
  }
  env_lock_.Release();
}

RunState TaskEngine::RunOf(std::string_view task) const {
  const int i = procs_.FindByName(task);
  const ProcEntry* e = i < 0 ? nullptr : procs_.At(i);
  if (!e) return {};
  return {e->pid, e->window.load() != 0};
}

void TaskEngine::RecordWindow(std::string_view task, std::uint32_t window) {
  const int i = procs_.FindByName(task);
  if (ProcEntry* e = i < 0 ? nullptr : procs_.At(i)) e->window.store(window);
}

void TaskEngine::RequestClose(std::string_view task) {
  const int i = procs_.FindByName(task);
  if (i >= 0) procs_.CloseRequest(i);
}

void TaskEngine::ForceEnd(std::string_view task) {
  const int i = procs_.FindByName(task);
  if (i >= 0 && procs_.Signal(i, SIGTERM)) procs_.At(i)->abort_forced = true;
}

}  // namespace pondrel
