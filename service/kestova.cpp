// The service body: start-up, the one wait, the tick, the clock-change rule and the stop.
#include "service/kestova.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include "common/clock.h"
#include "common/fs_util.h"
#include "common/registry.h"
#include "taskmodel/activity_log.h"
#include "taskmodel/schedule.h"
#include "taskmodel/timestr.h"

namespace pondrel {
namespace {

std::atomic<CKestova*> g_current{nullptr};

// How often the stop path looks at the running count.
constexpr int kStopPollMs = 100;

// Whether the fields that start-up and the clock-change rule touch differ. An unchanged task
// is not rewritten: the file would come out byte for byte the same, and a schedule of a
// thousand tasks would otherwise be rewritten a thousand times.
bool RescheduleChanged(const CKVTask& a, const CKVTask& b) {
  return a.ActState != b.ActState || a.ActResult != b.ActResult || a.EndCode != b.EndCode ||
         std::strcmp(a.NextTime, b.NextTime) != 0 || std::strcmp(a.EndTime, b.EndTime) != 0;
}

}  // namespace

std::int64_t CKestova::SteadyNowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

CKestova::CKestova() { g_current.store(this); }

CKestova::~CKestova() {
  CKestova* self = this;
  g_current.compare_exchange_strong(self, nullptr);
}

CKestova* CKestova::Current() { return g_current.load(); }

long CKestova::WndProc(BodyMessage msg) {
  CKestova* k = Current();
  return k ? k->windowMessage(msg) : 0;
}

void CKestova::setSC(ServiceManager* scm, OVEventLog* wel) {
  scm_ = scm;
  wel_ = wel;
}

void CKestova::SetRoot(std::string root) {
  root_ = std::move(root);
  root_fixed_ = true;
}

std::time_t CKestova::Now() const { return GetClock().Now(); }

std::string CKestova::ServiceLogPath() const { return pondrel::ServiceLogPath(root_); }

std::string CKestova::GetTimeStr(std::time_t t) {
  char buf[kTimeStrSize];
  return TimeToTimeStr(t, buf, sizeof buf) ? std::string(buf) : std::string();
}

void CKestova::SetLog(const char* field1, const char* field2, int level, const char* message) {
  if (root_.empty()) return;
  WriteLogLine(ServiceLogPath(), field1 ? field1 : "", field2 ? field2 : "", level,
               message ? message : "");
}

void CKestova::LogStoreDamage(const StoreDamage& damage) {
  {
    std::lock_guard<std::mutex> hold(damage_lock_);
    if (!damage_told_.insert(damage.file + '\n' + damage.skipped).second) return;
  }
  const std::string copy = damage.copy.empty() ? std::string("no copy of it could be kept")
                                               : "the file as it was is kept in " + damage.copy;
  std::string text(damage.file.size() + damage.skipped.size() + copy.size() + sizeof kFmtS020,
                   '\0');
  text.resize(static_cast<std::size_t>(std::snprintf(text.data(), text.size(), kFmtS020,
                                                     damage.file.c_str(), damage.skipped.c_str(),
                                                     copy.c_str())));
  SetLog(" ", " ", kLogWarning, text.c_str());
}

void CKestova::CheckRootPath() {
  std::string root = root_;
  while (root.size() > 1 && (root.back() == '/' || root.back() == '\\')) root.pop_back();
  // A ROOT that is gone (a data disk not mounted, a directory removed by hand) is made again
  // as the design has it, but never silently: the tasks and profiles the user expects are
  // not in the new, empty one.
  const bool existed = IsDirectory(root);
  CreateDirectoryChain(root + "/SYSTEM");
  if (!existed && wel_) wel_->ReportStrings(kEventRootCreated, root.c_str());
}

void CKestova::FatalExit(int code, const char* text) {
  if (wel_) wel_->ReportStrings(kEventServiceError, text ? text : "");
  if (scm_) {
    scm_->SetServiceExitCode(static_cast<std::uint32_t>(code));
    scm_->ReportStopped();
  }
  // No desktop to show a message box on: the text goes to stderr.
  if (text && *text) std::fprintf(stderr, "Fatal error:: %s\n", text);
  ::_exit(code);
}

int CKestova::serviceBodyMain() {
  body_ended_.store(false);
  struct EndMark {
    std::atomic<bool>& flag;
    ~EndMark() { flag.store(true); }
  } end_mark{body_ended_};

  if (!root_fixed_) root_ = ReadUsableRootDir();
  if (root_.empty()) return 1;
  SetStoreDamageObserver([this](const StoreDamage& d) { LogStoreDamage(d); });
  struct ObserverEnd {
    ~ObserverEnd() { SetStoreDamageObserver(nullptr); }
  } observer_end;
  if (!initApplication()) return 1;
  CheckRootPath();
  SetLog(" ", " ", kLogInfo, kMsgS100);
  messageLoop();
  if (scm_) scm_->ReportStopped();
  if (wel_) wel_->ReportStrings(kEventServiceStopped);
  return 0;
}

int CKestova::initApplication() {
  if (!loop_.valid() || !msg_fd_.valid() || !tick_fd_.valid() || !clock_fd_.valid()) return 0;
  WatchFd(msg_fd_.fd());
  WatchFd(tick_fd_.fd());
  WatchFd(clock_fd_.fd());
  stop_flag_.store(0);
  return windowMessage(BodyMessage::kCreate) ? 1 : 0;
}

void CKestova::WatchFd(int fd) { loop_.Watch(fd); }

void CKestova::UnwatchFd(int fd) { loop_.Unwatch(fd); }

void CKestova::ArmTickTimer(bool on) { tick_fd_.Arm(on ? tick_ms_ : 0); }

int CKestova::wmCreate() {
  initKVSched();
  if (wel_) wel_->ReportStrings(kEventServiceStarted);
  if (scm_) scm_->ReportRunning();
  return 1;
}

int CKestova::initKVSched() {
  if (!tasks_) tasks_ = std::make_unique<CKVTaskMgr>(root_);
  // The mailslot first: a second instance, which cannot have it, must end before it resets
  // the states of the tasks that the first instance is running.
  initMailSlot();
  WatchFd(slot_->NotifyFd());
  {
    TaskFileLock lock(*tasks_, -1);
    last_check_ = GetTimeStr(Now());
    MarkMissedTasks();
  }
  last_scan_ = Now();
  last_tick_ = last_scan_;
  ArmTickTimer(true);
  return 1;
}

int CKestova::MarkMissedTasks() {
  std::vector<CKVTask> all;
  if (tasks_->ReadAllTasks(&all) != 0) return 0;
  std::time_t now = Now();
  CKVSchedule sched;
  std::vector<CKVTask> changed;
  std::vector<CKVTask> interrupted;
  for (CKVTask& t : all) {
    const CKVTask before = t;
    const bool was_running = t.ActState == kStateRunning || t.ActResult == kResultRunning;
    if (was_running) {
      // The service ended while this task ran (a crash, a kill): the run has no result of its
      // own, so it counts as failed rather than staying "running" for good.
      t.ActResult = kResultFailed;
      t.EndCode = kEndCodeNoExitCode;
      SetTaskField(t.EndTime, GetTimeStr(now));
      interrupted.push_back(t);
    }
    std::time_t next = 0;
    // The time an interrupted run was started for is that run, not a missed one.
    if (!was_running && t.NextTime[0] && t.ActState != kStateDisabled && t.Effect == 1 &&
        TimeStrToTime(t.NextTime, &next) && next <= now) {
      // A run that fell due while the service was not running is not made up.
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

void CKestova::RecordInterruptedRuns(const std::vector<CKVTask>& interrupted) {
  for (const CKVTask& t : interrupted) {
    std::string server_name;
    if (GetServerName(t.ServerId, &server_name) != 0) server_name = kServerUnknown;
    SetLog(t.Name, server_name.c_str(), kLogError, kMsgS010);
  }
}

int CKestova::initMailSlot() {
  if (!slot_) {
    auto slot = std::make_unique<CKVMailSlot>();
    if (!slot->Create(kServiceMailslot)) FatalExit(2, "Slot Create");
    slot_ = std::move(slot);
  }
  return 1;
}

int CKestova::messageLoop() {
  while (!stop_flag_.load()) WaitProc();
  return 1;
}

bool CKestova::postMessage(BodyMessage msg) {
  {
    std::lock_guard<std::mutex> guard(msg_lock_);
    messages_.push_back(msg);
  }
  return msg_fd_.Set();
}

int CKestova::WaitProc() {
  std::vector<int> ready;
  if (!loop_.Wait(&ready)) return 0;
  // A clock change is handled before a tick of the same wake-up: the tick would otherwise
  // record the new time as the last tick, and the change would look too small to matter.
  std::stable_partition(ready.begin(), ready.end(),
                        [this](int fd) { return fd == clock_fd_.fd(); });
  for (std::size_t i = 0; i < ready.size() && !stop_flag_.load(); ++i) {
    int fd = ready[i];
    if (fd == msg_fd_.fd()) {
      msg_fd_.Consume();
      std::deque<BodyMessage> batch;
      {
        std::lock_guard<std::mutex> guard(msg_lock_);
        batch.swap(messages_);
      }
      for (BodyMessage m : batch) {
        windowMessage(m);
        if (stop_flag_.load()) break;
      }
    } else if (slot_ && fd == slot_->NotifyFd()) {
      // What is left after this batch keeps the descriptor readable: the next wait returns
      // at once, after the timers and the ended downloaders have had their turn.
      DrainMailslot(kMessagesPerWake);
    } else if (fd == tick_fd_.fd()) {
      tick_fd_.Consume();
      windowMessage(BodyMessage::kTick);
    } else if (fd == clock_fd_.fd()) {
      if (clock_fd_.Changed()) windowMessage(BodyMessage::kTimeChange);
    } else {
      OnChildEnded(fd);
    }
  }
  return 1;
}

long CKestova::windowMessage(BodyMessage msg) {
  switch (msg) {
    case BodyMessage::kCreate: return wmCreate();
    case BodyMessage::kDestroy: return wmDestroy();
    case BodyMessage::kTick: OnTick(); return 1;
    case BodyMessage::kTimeChange: OnTimeChange(); return 1;
    case BodyMessage::kStopDownloads:
      stopping_.store(true);
      env_wait_.clear();
      env_wait_count_.store(0);
      TakePendingRegistrations();
      StopProc();
      stop_started_ms_ = SteadyNowMs();
      stop_term_sent_ = stop_kill_sent_ = false;
      stop_ack_.store(true);
      return 1;
    case BodyMessage::kCommand:
    default: return 1;
  }
}

void CKestova::OnTick() {
  std::time_t now = Now();
  last_tick_ = now;
  const std::int64_t deadline = SteadyNowMs() + kTickMs;
  if (stopping_.load()) {
    EscalateStop();
  } else {
    if (now - last_scan_ >= kScanIntervalSec) {
      ExecDoTask();
      last_scan_ = now;
    }
    RetryEnvLockWaiters();
    ForcePendingAborts();
  }
  // Messages are taken as they arrive; whatever is still waiting gets the rest of the second.
  while (SteadyNowMs() < deadline && ReceiveDispatch() != 0) {
  }
}

void CKestova::OnTimeChange() {
  std::time_t now = Now();
  if (std::llabs(static_cast<long long>(now - last_tick_)) < kClockChangeMinSec) return;
  ArmTickTimer(false);
  std::time_t last_check = 0;
  if (TimeStrToTime(last_check_, &last_check) && last_check > now) {
    // A clock set backwards must not suspend the scan until it catches up.
    last_check_ = GetTimeStr(now);
  }
  {
    TaskFileLock lock(*tasks_, -1);
    std::vector<CKVTask> all;
    if (tasks_->ReadAllTasks(&all) == 0) {
      CKVSchedule sched;
      std::vector<CKVTask> changed;
      for (CKVTask& t : all) {
        const CKVTask before = t;
        sched.ComputeNextTime(&t, now);
        if (RescheduleChanged(before, t)) changed.push_back(t);
      }
      tasks_->WriteTasks(changed);
      for (const CKVTask& t : all) PostTASDEK(t);
    }
  }
  last_scan_ = now;
  last_tick_ = now;
  ArmTickTimer(true);
}

int CKestova::serviceBodyStop() {
  stopping_.store(true);
  postMessage(BodyMessage::kStopDownloads);
  // Once the body has taken the request, it starts no further download.
  while (!stop_ack_.load() && !body_ended_.load())
    std::this_thread::sleep_for(std::chrono::milliseconds(kStopPollMs));
  while (procs_.Count() > 0 && !body_ended_.load())
    std::this_thread::sleep_for(std::chrono::milliseconds(kStopPollMs));
  SetLog(" ", " ", kLogInfo, kMsgS101);
  destroyWindow();
  return 1;
}

void CKestova::EscalateStop() {
  if (procs_.Count() == 0) return;
  std::int64_t elapsed = SteadyNowMs() - stop_started_ms_;
  if (!stop_term_sent_ && elapsed >= stop_term_ms_) {
    // Downloaders that never reported a window cannot take the close request: end them.
    for (int i = 0; i < procs_.Count(); ++i) procs_.Signal(i, SIGTERM);
    stop_term_sent_ = true;
  } else if (stop_term_sent_ && !stop_kill_sent_ && elapsed >= stop_term_ms_ + stop_kill_ms_) {
    for (int i = 0; i < procs_.Count(); ++i) procs_.Signal(i, SIGKILL);
    stop_kill_sent_ = true;
  }
}

int CKestova::wmDestroy() {
  if (slot_) {
    UnwatchFd(slot_->NotifyFd());
    slot_->Close();
    slot_.reset();
  }
  for (int i = procs_.Count() - 1; i >= 0; --i) {
    if (ProcEntry* e = procs_.At(i)) UnwatchFd(e->child.pidfd());
    procs_.Remove(i);
  }
  env_lock_.Release();
  ArmTickTimer(false);
  stop_flag_.store(1);
  return 1;
}

}  // namespace pondrel
