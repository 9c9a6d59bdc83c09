#include "downloader/download_run.h"

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <iostream>
#include <mutex>
#include <system_error>
#include <thread>

#include "common/dialup/dialer.h"
#include "common/fs_util.h"
#include "common/guid.h"
#include "common/mailslot.h"
#include "common/named_object.h"
#include "common/process.h"
#include "common/protocol.h"
#include "downloader/command_line.h"
#include "downloader/download_job.h"
#include "downloader/download_options.h"
#include "downloader/download_worker.h"
#include "downloader/progress_reporter.h"
#include "downloader/ras_dialer.h"
#include "downloader/result_codes.h"
#include "imagestore/image_index.h"
#include "servers/srvmgr.h"
#include "taskmodel/activity_log.h"

namespace pondrel::dl {

// ---- RunLog and RunContext ------------------------------------------------------------

void RunLog::Write(int level, std::string_view message) const {
  WriteLogLine(path_, task_, server_, level, message);
}

void RunLog::Writef(int level, const char* format, ...) const {
  char text[kMaxLogLineLen + 1];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  Write(level, text);
}

bool RunContext::MeasureDisk(const std::string& dir, std::uint64_t* free_bytes,
                             std::uint64_t* total) const {
  if (disk_space) return disk_space(dir, free_bytes, total);
  return GetDiskSpace(dir, free_bytes, total);
}

namespace {

constexpr char kManualTaskName[] = "M";

// ---- SIGTERM as the close request ------------------------------------------------------
// The handler only counts; each run compares the count with the one it started with.

std::atomic<unsigned> g_close_requests{0};
static_assert(std::atomic<unsigned>::is_always_lock_free);
std::mutex g_signal_mu;
int g_signal_users = 0;
ScopedSignalHandler* g_sigterm_handler = nullptr;

void OnSigterm(int) { g_close_requests.fetch_add(1); }

class SigtermScope {
 public:
  explicit SigtermScope(bool enable) : enabled_(enable) {
    if (!enabled_) return;
    std::lock_guard lock(g_signal_mu);
    if (g_signal_users++ == 0) g_sigterm_handler = new ScopedSignalHandler(SIGTERM, &OnSigterm);
  }
  ~SigtermScope() {
    if (!enabled_) return;
    std::lock_guard lock(g_signal_mu);
    if (--g_signal_users == 0) {
      delete g_sigterm_handler;  // the previous handler comes back
      g_sigterm_handler = nullptr;
    }
  }

 private:
  bool enabled_;
};

// ---- the worker thread -----------------------------------------------------------------

class WorkerThread {
 public:
  // False when the thread could not be started.
  bool Start(DownloadJob* job) {
    try {
      thread_ = std::thread([this, job] {
        RunResult code = RunResult::kOutOfMemory;
        try {
          code = RunWorkerPhase(*job);
        } catch (...) {
          job->context->log.Write(kLogError, kMsgNoMemory);
        }
        std::lock_guard lock(mu_);
        code_ = code;
        done_ = true;
        cv_.notify_all();
      });
    } catch (const std::system_error&) {
      return false;
    }
    return true;
  }
  // Waits up to `ms`; true once the worker has ended.
  bool WaitFor(int ms) {
    std::unique_lock lock(mu_);
    return cv_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return done_; });
  }
  bool Running() const { return thread_.joinable(); }
  RunResult Join() {
    if (thread_.joinable()) thread_.join();
    return code_;
  }
  ~WorkerThread() {
    if (thread_.joinable()) thread_.join();
  }

 private:
  std::thread thread_;
  std::mutex mu_;
  std::condition_variable cv_;
  bool done_ = false;
  RunResult code_ = RunResult::kOk;
};

// ---- the run ---------------------------------------------------------------------------

class DownloaderRun {
 public:
  // `close_baseline`: the count of close requests before this run began to listen.
  DownloaderRun(const RunSettings& settings, unsigned close_baseline)
      : settings_(settings), close_baseline_(close_baseline) {
    if (!settings_.progress) {
      own_progress_ = std::make_unique<TerminalProgress>();
      settings_.progress = own_progress_.get();
    }
    ctx_.progress = settings_.progress;
    ctx_.timeouts = settings_.timeouts;
    ctx_.limits = settings_.limits;
    ctx_.disk_space = settings_.disk_space;
  }

  RunResult Run(std::string_view command_line);

 private:
  RunResult LoadProfile();
  RunResult ConnectionStep();
  RunResult DialUp();
  void WaitForDial();
  RunResult Download();
  RunResult RunPhase(int phase, RunResult start_failure);
  void Pump();
  void BeginAbort();

  RunSettings settings_;
  std::unique_ptr<TerminalProgress> own_progress_;
  DownloadOptions options_;
  CommandLine cmd_;
  CKVSrvInfo profile_;
  RunContext ctx_;
  DownloadJob job_;
  WorkerThread* worker_ = nullptr;  // the running worker, for the abort procedure
  RunLog state_log_;                // info/rascon.log of the image directory
  std::unique_ptr<CRasDialer> dialer_;
  unsigned close_baseline_;
  bool aborting_ = false;
};

RunResult DownloaderRun::Run(std::string_view command_line) {
  std::vector<std::string> option_notes;
  options_ = ReadDownloadOptions(&option_notes);
  const RunResult parsed = ParseCommandLine(command_line, &cmd_);
  if (parsed != RunResult::kOk) return parsed;
  const RunResult loaded = LoadProfile();
  if (loaded != RunResult::kOk) return loaded;
  for (const std::string& note : option_notes) ctx_.log.Write(kLogWarning, note);
  const RunResult result = ConnectionStep();
  settings_.progress->Clear();
  return result;
}

RunResult DownloaderRun::LoadProfile() {
  CKVSrvMgr store;
  SrvResult r = SrvResult::SRV_ERR_READ;
  if (store.Init()) {
    r = cmd_.server_id_set ? store.FindById(cmd_.server_id, &profile_, kSrvMaskAll)
                           : SrvResult::SRV_ERR_NOT_FOUND;
  }
  if (r != SrvResult::SRV_OK) {
    if (!cmd_.log_path.empty()) {
      WriteLogLine(cmd_.log_path, cmd_.task_name, "", kLogError, kMsgNoServerInfo);
    }
    return RunResult::kNoProfile;
  }
  const std::string log_path = cmd_.log_path.empty()
                                   ? JoinPath(InfoDirOf(profile_.GetImageDirectory()), kRunLogName)
                                   : cmd_.log_path;
  ctx_.log.Set(log_path, cmd_.task_name, profile_.GetServerName());
  return RunResult::kOk;
}

void DownloaderRun::BeginAbort() {
  aborting_ = true;
  settings_.progress->Status(kStatusWillAbort);
  ctx_.abort.store(true);
  // A dial under way is let finish: the dial-up wait notices the flag by itself.
  if (dialer_) return;
  // The worker, if any, notices the flag by itself; WaitForWorker keeps watching it with the
  // shorter stall limit of an abort. Without a worker the procedure ends here.
  if (!worker_) settings_.progress->Clear();
}

// Serves the requests that reach the run from outside between two wait steps.
void DownloaderRun::Pump() {
  if (dialer_) {
    // Dial events also arrive during the download: a link that drops is logged then.
    const bool dialling = dialer_->Dialling();
    if (dialer_->HandleEvents() > 0 && dialling) ctx_.TouchActivity();
  }
  if (aborting_) return;
  const bool closed = settings_.close_on_sigterm && g_close_requests.load() != close_baseline_;
  const bool abort_button = settings_.abort_request && settings_.abort_request->load();
  if (closed || abort_button) BeginAbort();
}

RunResult DownloaderRun::ConnectionStep() {
  // The mailslot report: task name and the "window handle", which on this platform is the
  // process id that receives the close request (SIGTERM).
  {
    CKVMailSlot service(kServiceMailslot);
    service.Send(FormatRegister(cmd_.task_name, static_cast<std::uint32_t>(::getpid())));
  }
  {
    CKVSrvMgr again;
    if (!again.Init()) return RunResult::kProfileStoreAtDial;
  }
  if (!profile_.GetUsePpp() || profile_.GetPppConnectionName().empty()) return Download();
  return DialUp();
}

// The download over the profile's dial-up connection: one that is up already is used as it
// is; otherwise the entry is dialled, and the download runs once the dial has connected.
// What this run dialled is hung up after the download only when the command line says so.
RunResult DownloaderRun::DialUp() {
  state_log_.Set(JoinPath(InfoDirOf(profile_.GetImageDirectory()), kDialLogName), cmd_.task_name,
                 profile_.GetServerName());
  dialer_ = std::make_unique<CRasDialer>(
      settings_.load_dialer ? settings_.load_dialer() : dialup::LoadDialer(), ctx_.log, state_log_,
      settings_.progress, settings_.hang_up_wait_ms);
  std::string error_text;
  const int answer = dialer_->Connect(profile_.GetPppConnectionName(), profile_.GetPppAccount(),
                                      profile_.GetPppPassword(), &error_text);
  if (answer == 0) {
    dialer_.reset();
    return Download();
  }
  if (answer < 0) {
    // A dial that could not start says why, as a failed one does.
    ctx_.log.Writef(kLogError, kMsgDialError,
                    answer == -3 ? kDialParamsUnreadable : error_text.c_str());
    dialer_.reset();
    return RunResult::kDialUpFailed;
  }
  WaitForDial();
  if (ctx_.abort.load()) {
    dialer_->HangUp();
    ctx_.log.Write(kLogWarning, kMsgAborted);
    settings_.progress->Clear();
    return RunResult::kAborted;
  }
  if (dialer_->state() != CRasDialer::kConnected) {
    dialer_->HangUp();
    return RunResult::kDialUpFailed;
  }
  const RunResult result = Download();
  if (cmd_.hang_up) dialer_->HangUp();
  return result;
}

// Serves the dial's events and the close requests until the dial has ended. A dial that
// reports nothing for the stall limit (during an abort: for more than the abort limit) is
// ended by a hang-up, which it reports as its end; should even that end never come, the wait
// gives up after one more stall limit. A second close request (the service stopping, which
// asks again before it kills) ends the dial at once, so that no dial outlives the run.
void DownloaderRun::WaitForDial() {
  ctx_.TouchActivity();
  bool cancelled = false;
  while (dialer_->Dialling()) {
    std::this_thread::sleep_for(std::chrono::milliseconds(settings_.wait_step_ms));
    Pump();
    if (!dialer_->Dialling()) break;
    const std::int64_t idle = ctx_.SecondsSinceActivity();
    const bool asked_twice =
        settings_.close_on_sigterm && g_close_requests.load() - close_baseline_ >= 2;
    if (cancelled) {
      if (idle >= settings_.stall_limit_seconds) break;
    } else if (asked_twice || (aborting_ ? idle > settings_.abort_stall_seconds
                                         : idle >= settings_.stall_limit_seconds)) {
      dialer_->CancelDial();
      cancelled = true;
      ctx_.TouchActivity();
    }
  }
}

RunResult DownloaderRun::Download() {
  ctx_.log.Write(kLogInfo, kMsgStarted);
  ctx_.abort.store(false);

  NamedObject semaphore;
  const std::string semaphore_name = ServerSemaphoreName(GuidToHex(cmd_.server_id));
  int unheld_failures = 0;
  for (;;) {
    semaphore = NamedObject::Create(semaphore_name);
    if (semaphore.held()) break;
    // Taking the name failed although nobody holds it, twice in a row: the object cannot
    // be created at all.
    if (NamedObject::Exists(semaphore_name)) {
      unheld_failures = 0;
    } else if (++unheld_failures >= 2) {
      ctx_.log.Write(kLogError, kMsgFatal);
      return RunResult::kSemaphoreFailed;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(settings_.wait_step_ms));
    Pump();
    if (ctx_.abort.load()) {
      ctx_.log.Write(kLogWarning, kMsgAborted);
      settings_.progress->Clear();
      return RunResult::kAborted;
    }
  }

  job_.context = &ctx_;
  job_.server_name = profile_.GetServerName();
  job_.host_name = profile_.GetHostName();
  job_.http_port = profile_.GetHttpPort();
  job_.use_proxy = profile_.GetUseProxy() != 0;
  job_.proxy_host = job_.use_proxy ? profile_.GetProxyHost() : "";
  job_.proxy_port = job_.use_proxy ? profile_.GetProxyPort() : 0;
  job_.account = profile_.GetAdminAccount();
  job_.password = profile_.GetAdminPassword();
  job_.image_directory = profile_.GetImageDirectory();
  job_.list_file = JoinPath(InfoDirOf(job_.image_directory), "pict.lst");
  job_.delete_on_server = profile_.GetDeleteImagesOnServer() != 0;
  job_.free_space_percent = options_.limit_space_percent;
  job_.server_id = cmd_.server_id;
  job_.auto_delete = options_.auto_delete;
  job_.max_images = options_.MaxImages();

  if (!CreateDirectoryChain(job_.image_directory) ||
      !CreateDirectoryChain(JoinPath(job_.image_directory, "image")) ||
      !CreateDirectoryChain(InfoDirOf(job_.image_directory))) {
    ctx_.log.Write(kLogError, kMsgNoDirectory);
    return RunResult::kDirectoryFailed;
  }
  ctx_.TouchActivity();

  const RunResult first = RunPhase(1, RunResult::kPhase1StartFailed);
  if (first == RunResult::kNoPictures) return RunResult::kOk;
  if (first != RunResult::kOk) return first;
  return RunPhase(2, RunResult::kPhase2StartFailed);
}

// Runs one worker phase and waits for it in steps, watching for stalls: a request that has
// received nothing for the stall limit (during an abort: for more than the abort limit) is
// closed once per run; the client then ends it with 8000 or 8002.
RunResult DownloaderRun::RunPhase(int phase, RunResult start_failure) {
  job_.phase = phase;
  job_.target_file.clear();
  WorkerThread worker;
  if (!worker.Start(&job_)) {
    ctx_.log.Write(kLogError, kMsgFatal);
    return start_failure;
  }
  worker_ = &worker;
  while (!worker.WaitFor(settings_.wait_step_ms)) {
    if (!ctx_.stall.load()) {
      const std::int64_t idle = ctx_.SecondsSinceActivity();
      const bool stalled =
          aborting_ ? idle > settings_.abort_stall_seconds : idle >= settings_.stall_limit_seconds;
      if (stalled) {
        ctx_.stall.store(true);
        ctx_.CloseCurrentRequest();
      }
    }
    Pump();
  }
  worker_ = nullptr;
  const RunResult code = worker.Join();
  if (aborting_) settings_.progress->Clear();
  return code;
}

bool AskServerNameOnTerminal(std::string* name) {
  std::fprintf(stderr, "KVdownloader - server name: ");
  std::fflush(stderr);
  if (!std::getline(std::cin, *name)) return false;
  while (!name->empty() && (name->back() == '\r' || name->back() == ' ')) name->pop_back();
  return !name->empty();
}

// Manual mode: the download for the profile whose server name the user gives.
RunResult RunManual(const RunSettings& settings, unsigned close_baseline) {
  std::string name;
  const bool given =
      settings.ask_server_name ? settings.ask_server_name(&name) : AskServerNameOnTerminal(&name);
  if (!given) return RunResult::kOk;
  CKVSrvMgr store;
  bool more = false;
  if (!store.Init() || store.LoadAll(&more, kSrvMaskAll) != SrvResult::SRV_OK) {
    std::fprintf(stderr, "The server profiles cannot be read.\n");
    return RunResult::kOk;
  }
  for (const CKVSrvInfo& info : store.Loaded()) {
    if (info.GetServerName() != name) continue;
    DownloaderOptions options;
    options.server_id = GuidToHex(info.GetId());
    options.log_path = JoinPath(InfoDirOf(info.GetImageDirectory()), kRunLogName);
    options.task_name = kManualTaskName;
    const std::string command = FormatDownloaderOptions(options);
    DownloaderRun run(settings, close_baseline);
    const RunResult result = run.Run(command);
    std::fprintf(stderr, "Download ended with result %d.\n", ResultCode(result));
    return RunResult::kOk;
  }
  std::fprintf(stderr, "No server profile is named \"%s\".\n", name.c_str());
  return RunResult::kOk;
}

}  // namespace

RunResult RunDownload(std::string_view command_line, const RunSettings& settings) {
  const unsigned close_baseline = g_close_requests.load();
  SigtermScope sigterm(settings.close_on_sigterm);
  if (command_line.empty()) return RunManual(settings, close_baseline);
  DownloaderRun run(settings, close_baseline);
  return run.Run(command_line);
}

}  // namespace pondrel::dl
