// The service body: start-up, the tick, the clock-change rule and the stop, over the task
// engine, the mailslot dispatcher and the body's wait.
#include "service/kestova.h"

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "common/clock.h"
#include "common/fs_util.h"
#include "common/registry.h"
#include "taskmodel/activity_log.h"
#include "taskmodel/timestr.h"

namespace pondrel {
namespace {

std::atomic<CKestova*> g_current{nullptr};

// How often the stop path looks at the running count.
constexpr int kStopPollMs = 100;

}  // namespace

std::int64_t CKestova::SteadyNowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

std::time_t CKestova::Now() { return GetClock().Now(); }

CKestova::CKestova() : engine_(servers_, launcher_, MakeEngineHooks()) { g_current.store(this); }

CKestova::~CKestova() {
  CKestova* self = this;
  g_current.compare_exchange_strong(self, nullptr);
}

EngineHooks CKestova::MakeEngineHooks() {
  EngineHooks hooks;
  hooks.log = [this](std::string_view task, std::string_view server, int level, const char* text) {
    SetLog(std::string(task).c_str(), std::string(server).c_str(), level, text);
  };
  hooks.announce = [this](const CKVTask& task) { PostTASDEK(task); };
  hooks.watch_child = [this](int fd) { loop_.Watch(fd); };
  hooks.unwatch_child = [this](int fd) { loop_.Unwatch(fd); };
  hooks.service_log_path = [this] { return ServiceLogPath(); };
  return hooks;
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

std::string CKestova::ServiceLogPath() const { return pondrel::ServiceLogPath(root_); }

std::string CKestova::GetTimeStr(std::time_t t) { return TimeToTimeStr(t); }

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
  if (!loop_.Start()) return 0;
  return windowMessage(BodyMessage::kCreate) ? 1 : 0;
}

int CKestova::wmCreate() {
  initKVSched();
  if (wel_) wel_->ReportStrings(kEventServiceStarted);
  if (scm_) scm_->ReportRunning();
  return 1;
}

int CKestova::initKVSched() {
  if (!tasks_) tasks_ = std::make_unique<CKVTaskMgr>(root_);
  engine_.Attach(tasks_.get());
  // The mailslot first: a second instance, which cannot have it, must end before it resets
  // the states of the tasks that the first instance is running.
  initMailSlot();
  loop_.SetMailslotFd(slot_->NotifyFd());
  {
    TaskFileLock lock(*tasks_, -1);
    engine_.SetLastCheckTime(GetTimeStr(Now()));
    MarkMissedTasks();
  }
  last_scan_ = Now();
  last_tick_ = last_scan_;
  loop_.ArmTick(true);
  return 1;
}

int CKestova::MarkMissedTasks() { return engine_.RecoverAtStart(Now()); }

int CKestova::initMailSlot() {
  if (!slot_) {
    auto slot = std::make_unique<CKVMailSlot>();
    if (!slot->Create(kServiceMailslot)) FatalExit(2, "Slot Create");
    slot_ = std::move(slot);
  }
  return 1;
}

int CKestova::messageLoop() {
  loop_.Run();
  return 1;
}

int CKestova::WaitProc() { return loop_.RunOnce() ? 1 : 0; }

long CKestova::windowMessage(BodyMessage msg) {
  switch (msg) {
    case BodyMessage::kCreate: return wmCreate();
    case BodyMessage::kDestroy: return wmDestroy();
    case BodyMessage::kTick: OnTick(); return 1;
    case BodyMessage::kTimeChange: OnClockSet(); return 1;
    case BodyMessage::kStopDownloads: BeginStop(); return 1;
    case BodyMessage::kCommand:
    default: return 1;
  }
}

void CKestova::OnMailslotReadable() {
  // What is left after this batch keeps the descriptor readable: the next wait returns at
  // once, after the timers and the ended downloaders have had their turn.
  DrainMailslot(kMessagesPerWake);
}

void CKestova::OnTick() {
  const std::time_t now = Now();
  last_tick_ = now;
  const std::int64_t deadline = SteadyNowMs() + kTickMs;
  if (engine_.Stopping()) {
    if (engine_.Procs().Count() > 0)
      if (const int sig = stop_escalation_.Due(SteadyNowMs())) engine_.SignalAll(sig);
  } else {
    if (now - last_scan_ >= kScanIntervalSec) {
      ExecDoTask();
      last_scan_ = now;
    }
    engine_.RetryEnvLockWaiters();
    dispatcher_.ForceOverdueAborts(SteadyNowMs());
  }
  // Messages are taken as they arrive; whatever is still waiting gets the rest of the second.
  while (SteadyNowMs() < deadline && ReceiveDispatch() != 0) {
  }
}

void CKestova::OnClockSet() {
  const std::time_t now = Now();
  if (std::llabs(static_cast<long long>(now - last_tick_)) < kClockChangeMinSec) return;
  loop_.ArmTick(false);
  std::time_t last_check = 0;
  if (TimeStrToTime(engine_.LastCheckTime(), &last_check) && last_check > now) {
    // A clock set backwards must not suspend the scan until it catches up.
    engine_.SetLastCheckTime(GetTimeStr(now));
  }
  engine_.RescheduleAll(now);
  last_scan_ = now;
  last_tick_ = now;
  loop_.ArmTick(true);
}

void CKestova::BeginStop() {
  engine_.BeginStop();
  TakePendingRegistrations();
  StopProc();
  stop_escalation_.Begin(SteadyNowMs());
  stop_ack_.store(true);
}

int CKestova::serviceBodyStop() {
  engine_.RefuseStarts();
  postMessage(BodyMessage::kStopDownloads);
  // Once the body has taken the request, it starts no further download.
  while (!stop_ack_.load() && !body_ended_.load())
    std::this_thread::sleep_for(std::chrono::milliseconds(kStopPollMs));
  while (engine_.Procs().Count() > 0 && !body_ended_.load())
    std::this_thread::sleep_for(std::chrono::milliseconds(kStopPollMs));
  SetLog(" ", " ", kLogInfo, kMsgS101);
  destroyWindow();
  return 1;
}

int CKestova::wmDestroy() {
  if (slot_) {
    loop_.SetMailslotFd(-1);
    slot_->Close();
    slot_.reset();
  }
  engine_.RemoveAll();
  loop_.ArmTick(false);
  loop_.Quit();
  return 1;
}

// The task operations.

int CKestova::ExecDoTask() {
  engine_.StartDueTasks();
  return 1;
}

int CKestova::FindDueTasks(std::time_t now, std::vector<std::string>* names) {
  return engine_.FindDueTasks(now, names);
}

int CKestova::DoProc(const char* task_name) {
  if (!task_name) return -1;
  return engine_.StartTask(task_name) == StartOutcome::kStarted ? 0 : -1;
}

int CKestova::TaskEndProc(int index) { return engine_.EndRun(index) ? 0 : -1; }

int CKestova::RetryProc(CKVTask task) {
  engine_.ScheduleRetry(task);
  return 0;
}

int CKestova::KillProc(const char* task_name) {
  if (task_name) dispatcher_.RequestAbort(task_name, SteadyNowMs());
  return 0;
}

int CKestova::StopProc() {
  engine_.CloseAll();
  return 0;
}

int CKestova::CheckServer(const Guid& id) { return engine_.ServerInUse(id) ? 1 : 0; }

int CKestova::GetServerName(const Guid& id, std::string* name) {
  return servers_.Name(id, name) == LookupResult::kFound ? 0 : -1;
}

int CKestova::GetServerInfo(const Guid& id, std::string* name, std::string* image_dir) {
  switch (servers_.NameAndImageDir(id, name, image_dir)) {
    case LookupResult::kFound: return 0;
    case LookupResult::kNoSuchProfile: return -2;
    case LookupResult::kUnreadable: return -1;
  }
  return -1;
}

int CKestova::GetServerAddr(const Guid& id, sockaddr_in* addr) {
  switch (servers_.Address(id, addr)) {
    case AddrResult::kResolved: return 1;
    case AddrResult::kUnresolvable: return 0;
    case AddrResult::kUnreadable: return -1;
  }
  return -1;
}

// The mailslot receiver.

int CKestova::ReceiveDispatch() {
  return slot_ && dispatcher_.ReceiveOne(*slot_, SteadyNowMs()) ? 1 : 0;
}

int CKestova::DrainMailslot(int max_messages) {
  int taken = 0;
  while (taken < max_messages && !loop_.Quitting() && ReceiveDispatch() != 0) ++taken;
  return taken;
}

int CKestova::DispatchMessage(const char* text) {
  if (!text) return 0;
  const std::string_view msg(text, ::strnlen(text, kMailslotMessageMax));
  return dispatcher_.Dispatch(msg, SteadyNowMs()) == DispatchResult::kHandled ? 1 : 0;
}

void CKestova::TakePendingRegistrations() {
  if (slot_) dispatcher_.TakeRegistrations(*slot_, SteadyNowMs());
}

}  // namespace pondrel
