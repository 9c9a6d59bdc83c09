// The task engine: finding due tasks, the start checks, starting and reaping downloaders,
// retries and aborts. Runs on the service body thread only.
#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "common/clock.h"
#include "common/fs_util.h"
#include "servers/srvmgr.h"
#include "service/kestova.h"
#include "taskmodel/activity_log.h"
#include "taskmodel/schedule.h"
#include "taskmodel/timestr.h"

namespace pondrel {
namespace {

// The due list grows in steps of 20 names.
constexpr std::size_t kDueListStep = 20;

int RunResultOf(int exit_code) {
  switch (exit_code) {
    case dl::ResultCode(dl::RunResult::kOk): return kResultSucceeded;
    case dl::ResultCode(dl::RunResult::kAborted): return kResultAborted;
    default: return kResultFailed;
  }
}

}  // namespace

int CKestova::ExecDoTask() {
  if (stopping_.load() || !tasks_) return 1;
  std::vector<std::string> due;
  {
    TaskFileLock lock(*tasks_, -1);
    FindDueTasks(Now(), &due);
  }
  for (const std::string& name : due) {
    if (StartTask(name) == StartOutcome::kEnvLockTaken) {
      // Keep the due time: the task starts once the other program lets the lock go.
      CKVTask t;
      TaskFileLock lock(*tasks_, -1);
      if (tasks_->ReadTask(name, &t) == 0 && name == t.Name) {
        bool known = std::any_of(env_wait_.begin(), env_wait_.end(),
                                 [&](const EnvWaiter& w) { return w.name == name; });
        if (!known) env_wait_.push_back({name, t.NextTime});
      }
    }
  }
  env_wait_count_.store(static_cast<int>(env_wait_.size()));
  return 1;
}

void CKestova::RetryEnvLockWaiters() {
  if (env_wait_.empty()) return;
  if (!env_lock_.held() && NamedObject::Exists(kEnvLockName)) return;  // still taken
  std::vector<EnvWaiter> waiting;
  waiting.swap(env_wait_);
  struct CountUpdate {
    CKestova* self;
    ~CountUpdate() { self->env_wait_count_.store(static_cast<int>(self->env_wait_.size())); }
  } count_update{this};
  for (std::size_t i = 0; i < waiting.size(); ++i) {
    const EnvWaiter& w = waiting[i];
    CKVTask t;
    bool still_due = false;
    {
      TaskFileLock lock(*tasks_, -1);
      still_due = tasks_->ReadTask(w.name, &t) == 0 && w.name == t.Name && t.Effect == 1 &&
                  w.next_time == t.NextTime;
    }
    // A task rescheduled meanwhile (edited, or its time recomputed) waits for its new time.
    if (!still_due) continue;
    if (StartTask(w.name) == StartOutcome::kEnvLockTaken) {
      env_wait_.insert(env_wait_.end(), waiting.begin() + static_cast<std::ptrdiff_t>(i),
                       waiting.end());
      return;
    }
  }
}

int CKestova::FindDueTasks(std::time_t now, std::vector<std::string>* names) {
  names->clear();
  std::time_t last_check = 0;
  if (!TimeStrToTime(last_check_, &last_check)) last_check = now;
  if (now < last_check) return 0;
  std::vector<CKVTask> all;
  if (tasks_->ReadAllTasks(&all) != 0 || all.empty()) return 0;
  last_check_ = GetTimeStr(now + 1);
  for (const CKVTask& t : all) {
    if (!t.NextTime[0] || t.Effect != 1) continue;
    std::time_t next = 0;
    if (!TimeStrToTime(t.NextTime, &next)) continue;
    if (next < last_check || next > now) continue;
    if (names->size() == names->capacity()) names->reserve(names->size() + kDueListStep);
    names->emplace_back(t.Name);
  }
  return static_cast<int>(names->size());
}

int CKestova::DoProc(const char* task_name) {
  if (!task_name) return -1;
  return StartTask(task_name) == StartOutcome::kStarted ? 0 : -1;
}

// Checks and starts one task, in the order the refusals are looked for.
CKestova::StartOutcome CKestova::StartTask(const std::string& requested) {
  if (!tasks_ || stopping_.load()) return StartOutcome::kRefused;
  if (!TakeEnvLock()) return StartOutcome::kEnvLockTaken;
  // While no downloader runs, the lock is let go again on every path that starts none.
  struct EnvRelease {
    CKestova* self;
    ~EnvRelease() {
      if (self->procs_.Count() == 0) self->env_lock_.Release();
    }
  } env_release{this};

  const std::time_t now = Now();
  StartCandidate c;
  if (!ReadStartCandidate(requested, &c)) return StartOutcome::kRefused;
  if (!PassesStartChecks(&c)) return StartOutcome::kRefused;
  MarkRunning(&c.task, now);
  if (ServerInUse(c.task.ServerId)) return RefuseStart(&c, kEndCodeServerBusy, kMsgS002);
  if (!IsDirectory(c.image_dir) && !CreateDirectoryChain(c.image_dir))
    return RefuseStart(&c, 0, kMsgS009);
  // The previous run's dial-up log is removed so that it holds only the latest run.
  ::unlink(JoinPath(JoinPath(c.image_dir, "info"), kDialLogName).c_str());
  LaunchedProcess child;
  if (!LaunchDownloader(c, &child)) return RefuseStart(&c, 0, kMsgS005);
  AddRunningEntry(c, std::move(child));
  return StartOutcome::kStarted;
}

bool CKestova::TakeEnvLock() {
  // Another program changing settings holds it, and keeps downloads from starting meanwhile.
  if (env_lock_.held()) return true;
  NamedObject lock = NamedObject::Create(kEnvLockName);
  if (!lock.held()) return false;
  env_lock_ = std::move(lock);
  return true;
}

bool CKestova::ReadStartCandidate(const std::string& requested, StartCandidate* c) {
  int rc;
  {
    TaskFileLock lock(*tasks_, -1);
    rc = tasks_->ReadTask(requested, &c->task);
  }
  // A missing or invalid task, or a profile that is gone or unreadable: logged alike, so that
  // the activity log says why the task keeps failing.
  if (rc == 0 && requested == c->task.Name && c->task.Validate() == 0 &&
      GetServerInfo(c->task.ServerId, &c->server_name, &c->image_dir) == 0)
    return true;
  c->task.EndCode = kEndCodeUnreadable;
  SetLog(requested.c_str(), kServerUnknown, kLogError, kMsgS001);
  c->task.ActResult = kResultFailed;
  RetryProcInto(c->task);
  PostTASDEK(c->task);
  return false;
}

bool CKestova::PassesStartChecks(StartCandidate* c) {
  if (c->task.ActState == kStateRunning) {
    SetLog(c->task.Name, c->server_name.c_str(), kLogError, kMsgS004);
    return false;
  }
  if (c->task.Effect == 0 || c->task.ActState == kStateDisabled) {
    SetLog(c->task.Name, c->server_name.c_str(), kLogError, kMsgS006);
    return false;
  }
  if (procs_.Count() >= kMaxRunningDownloads) {
    (void)RefuseStart(c, kEndCodeTooManyTasks, kMsgS003);
    return false;
  }
  return true;
}

void CKestova::MarkRunning(CKVTask* task, std::time_t now) {
  task->ActState = kStateRunning;
  task->ActResult = kResultRunning;
  SetTaskField(task->LastActTime, GetTimeStr(now));
  {
    TaskFileLock lock(*tasks_, -1);
    tasks_->WriteTask(*task);
  }
  PostTASDEK(*task);
}

bool CKestova::ServerInUse(const Guid& id) {
  TaskFileLock lock(*tasks_, -1);
  return CheckServer(id) != 0;
}

CKestova::StartOutcome CKestova::RefuseStart(StartCandidate* c, int end_code, const char* message) {
  if (end_code) c->task.EndCode = end_code;
  SetLog(c->task.Name, c->server_name.c_str(), kLogError, message);
  c->task.ActResult = kResultStartFailed;
  RetryProcInto(c->task);
  PostTASDEK(c->task);
  return StartOutcome::kRefused;
}

bool CKestova::LaunchDownloader(const StartCandidate& c, LaunchedProcess* child) {
  // The downloader's command line, as one argument.
  DownloaderOptions opts;
  opts.server_id = c.task.ServerIdText();
  opts.log_path = JoinPath(c.image_dir, kRunLogName);
  opts.task_name = c.task.Name;
  opts.delete_images = c.task.ImageDelete == 1;
  opts.hang_up = c.task.RasDisconnect == 1;
  std::string only_dir = launcher_dir_;
  if (only_dir.empty())
    if (const char* env = std::getenv(kLauncherDirVar)) only_dir = env;
  // A launcher that is missing or cannot run is a start failure.
  const std::string exe = FindExecutable(kLauncherName, only_dir);
  std::string error;
  return !exe.empty() &&
         StartLauncher(exe, kLauncherName, FormatDownloaderOptions(opts), child, &error);
}

void CKestova::AddRunningEntry(const StartCandidate& c, LaunchedProcess child) {
  auto entry = std::make_unique<ProcEntry>();
  entry->task_name = std::string(c.task.Name).substr(0, 259);
  entry->pid = child.child.pid();
  entry->child = std::move(child.child);
  entry->result_fd = std::move(child.result_fd);
  entry->image_dir = c.image_dir.substr(0, 263);
  const int pidfd = entry->child.pidfd();
  procs_.Add(std::move(entry));
  WatchFd(pidfd);
}

void CKestova::OnChildEnded(int pidfd) {
  int index = procs_.FindByPidfd(pidfd);
  if (index < 0) {
    UnwatchFd(pidfd);
    return;
  }
  TaskEndProc(index);
}

int CKestova::TaskEndProc(int index) {
  ProcEntry* e = procs_.At(index);
  if (!e) return -1;
  CKVTask task;
  bool found;
  {
    TaskFileLock lock(*tasks_, -1);
    found = tasks_->ReadTask(e->task_name, &task) == 0 && e->task_name == task.Name;
  }
  UnwatchFd(e->child.pidfd());
  int exit_code = ReapLauncher(e->child, e->result_fd.get());
  // Ended by the user's abort before its own abort procedure could answer: still an abort.
  if (e->abort_forced && exit_code == kExitCodeUnavailable)
    exit_code = dl::ResultCode(dl::RunResult::kAborted);
  if (found) {
    task.EndCode = exit_code;
    SetTaskField(task.EndTime, GetTimeStr(Now()));
  }
  if (!e->image_dir.empty()) AppendRunLog(ServiceLogPath(), JoinPath(e->image_dir, kRunLogName));
  procs_.Remove(index);

  if (found) {
    if (exit_code == dl::ResultCode(dl::RunResult::kOk) ||
        exit_code == dl::ResultCode(dl::RunResult::kAborted)) {
      task.ActState = kStateWaiting;
      task.ActResult = RunResultOf(exit_code);
      task.RestRetryCnt = task.RetryCnt;
      TaskFileLock lock(*tasks_, -1);
      CKVSchedule().UpdateTask(tasks_.get(), &task);
    } else {
      if (exit_code == dl::ResultCode(dl::RunResult::kWindowFailed)) {
        std::string server_name;
        GetServerName(task.ServerId, &server_name);
        SetLog(task.Name, server_name.c_str(), kLogError, kMsgS005);
      }
      task.ActResult = kResultFailed;
      RetryProcInto(task);
    }
    PostTASDEK(task);
  }
  if (env_lock_.held() && procs_.Count() == 0) env_lock_.Release();
  return 0;
}

int CKestova::RetryProc(CKVTask task) { return RetryProcInto(task); }

int CKestova::RetryProcInto(CKVTask& task) {
  const std::time_t now = Now();
  SetTaskField(task.LastActTime, GetTimeStr(now));
  if (task.ActResult != kResultFailed && task.ActResult != kResultAborted &&
      task.ActResult != kResultStartFailed)
    task.ActResult = kResultFailed;
  CKVSchedule sched;
  if (task.RestRetryCnt > 0) {
    CKVTask regular = task;
    std::time_t regular_time = 0;
    bool counts = sched.ComputeNextTime(&regular, now) == 0 && regular.NextTime[0] &&
                  TimeStrToTime(regular.NextTime, &regular_time) && regular_time >= now;
    std::time_t retry = now + static_cast<std::time_t>(task.RetryInterval) * 60;
    if (!counts || retry < regular_time) {
      SetTaskField(task.NextTime, GetTimeStr(retry));
      task.ActState = kStateRerun;
      task.RestRetryCnt -= 1;
      TaskFileLock lock(*tasks_, -1);
      tasks_->WriteTask(task);
      return 0;
    }
  }
  task.ActState = kStateWaiting;
  task.RestRetryCnt = task.RetryCnt;
  TaskFileLock lock(*tasks_, -1);
  sched.UpdateTask(tasks_.get(), &task);
  return 0;
}

int CKestova::KillProc(const char* task_name) {
  if (!task_name) return 0;
  int i = procs_.FindByName(task_name);
  if (i < 0) return 0;
  ProcEntry* e = procs_.At(i);
  if (e->window.load() == 0) {
    // The downloader has not reported its window yet: the abort is kept until it does, so
    // that an abort sent right after "execute now" is never lost.
    if (e->abort_pending_since_ms == 0) e->abort_pending_since_ms = SteadyNowMs();
    return 0;
  }
  procs_.CloseRequest(i);
  return 0;
}

int CKestova::StopProc() {
  for (int i = 0; i < procs_.Count(); ++i) procs_.CloseRequest(i);
  return 0;
}

int CKestova::CheckServer(const Guid& id) {
  if (procs_.Count() == 0) return 0;
  sockaddr_in mine{};
  const bool mine_resolved = GetServerAddr(id, &mine) == 1;
  for (int i = 0; i < procs_.Count(); ++i) {
    CKVTask other;
    const std::string& name = procs_.At(i)->task_name;
    if (tasks_->ReadTask(name, &other) != 0 || name != other.Name) continue;
    if (other.ServerId == id) return 1;
    if (!mine_resolved) continue;
    sockaddr_in theirs{};
    // Ports are not compared: one camera server behind two profiles is one server.
    if (GetServerAddr(other.ServerId, &theirs) == 1 &&
        theirs.sin_addr.s_addr == mine.sin_addr.s_addr)
      return 1;
  }
  return 0;
}

int CKestova::GetServerName(const Guid& id, std::string* name) {
  CKVSrvMgr mgr;
  if (!mgr.InitWithDirectory(root_)) return -1;
  CKVSrvInfo info;
  if (mgr.FindById(id, &info, kSrvMaskName) != SrvResult::SRV_OK) return -1;
  *name = info.GetServerName();
  return 0;
}

int CKestova::GetServerInfo(const Guid& id, std::string* name, std::string* image_dir) {
  CKVSrvMgr mgr;
  if (!mgr.InitWithDirectory(root_)) return -1;
  CKVSrvInfo info;
  const SrvResult rc = mgr.FindById(id, &info, kSrvMaskNameAndDir);
  if (rc == SrvResult::SRV_ERR_NOT_FOUND) return -2;
  if (rc != SrvResult::SRV_OK) return -1;
  *name = info.GetServerName();
  *image_dir = info.GetImageDirectory();
  return 0;
}

int CKestova::GetServerAddr(const Guid& id, sockaddr_in* addr) {
  CKVSrvMgr mgr;
  if (!mgr.InitWithDirectory(root_)) return -1;
  CKVSrvInfo info;
  if (mgr.FindById(id, &info, kSrvMaskHostName) != SrvResult::SRV_OK) return -1;
  const std::string& host = info.GetHostName();
  if (host.empty()) return 0;
  in_addr a{};
  if (::inet_pton(AF_INET, host.c_str(), &a) == 1) {
    addr->sin_addr = a;
    return 1;
  }
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* res = nullptr;
  if (::getaddrinfo(host.c_str(), nullptr, &hints, &res) != 0 || !res) return 0;
  addr->sin_addr = reinterpret_cast<sockaddr_in*>(res->ai_addr)->sin_addr;
  ::freeaddrinfo(res);
  return 1;
}

}  // namespace pondrel
