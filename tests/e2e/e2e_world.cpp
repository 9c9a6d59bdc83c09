#include "tests/e2e/e2e_world.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <sstream>
#include <thread>

#include "servers/srvmgr.h"
#include "taskmodel/activity_log.h"
#include "taskmodel/schedule.h"
#include "taskmodel/timestr.h"

namespace pondrel::test {
namespace {

constexpr char kClockLibrary[] = "libpondrel_e2e_clock.so";
constexpr int kChildResultFd = 100;

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  return lines;
}

}  // namespace

bool WaitFor(const std::function<bool()>& cond, int timeout_ms) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (std::chrono::steady_clock::now() < end) {
    if (cond()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return cond();
}

std::vector<std::string> LinesWith(const std::vector<std::string>& lines,
                                   const std::string& needle) {
  std::vector<std::string> out;
  for (const auto& l : lines)
    if (l.find(needle) != std::string::npos) out.push_back(l);
  return out;
}

int FindLine(const std::vector<std::string>& lines, const std::string& needle, int from) {
  for (int i = std::max(from, 0); i < static_cast<int>(lines.size()); ++i)
    if (lines[static_cast<std::size_t>(i)].find(needle) != std::string::npos) return i;
  return -1;
}

E2EWorld::E2EWorld() {
  ::setenv("TZ", "UTC", 1);
  ::tzset();
  ::unsetenv("PONDREL_KVDL_DIR");
  host_dir_ = env_.Path("host");
  std::filesystem::create_directories(host_dir_);
  for (const char* f : {"zoricsm", "libkestova.so", "KVdl", "libfetchko.so"})
    std::filesystem::copy_file(StageDir() + "/" + f, host_dir_ + "/" + f);

  clock_path_ = env_.Path("clock");
  int fd = ::open(clock_path_.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd >= 0) {
    if (::ftruncate(fd, sizeof(std::int64_t)) == 0) {
      void* p = ::mmap(nullptr, sizeof(std::int64_t), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
      if (p != MAP_FAILED) clock_offset_ = static_cast<volatile std::int64_t*>(p);
    }
    ::close(fd);
  }
}

E2EWorld::~E2EWorld() {
  KillEverything();
  // A sanitizer report of the service or of a downloader (whose output goes to the same
  // files) fails the test even when the run's result looked right.
  for (const char* file : {"zoricsm.out", "kvdl.out"}) {
    const std::string out = ReadFile(env_.Path(file));
    for (const char* mark : {"ERROR: AddressSanitizer", "ERROR: LeakSanitizer", "runtime error:"})
      if (out.find(mark) != std::string::npos) ADD_FAILURE() << file << ":\n" << out;
  }
  if (clock_offset_) ::munmap(const_cast<std::int64_t*>(clock_offset_), sizeof(std::int64_t));
}

void E2EWorld::KillEverything() {
  for (HandStarted& p : by_hand_) {
    p.process.Kill();
    if (p.result_fd >= 0) ::close(p.result_fd);
  }
  by_hand_.clear();
  for (pid_t p : orphans_) {
    if (Gone(p)) continue;
    ::kill(p, SIGKILL);
    WaitFor([&] { return Gone(p); }, 5000);
  }
  orphans_.clear();
  if (service_pid_ > 0) {
    // The downloaders first (the service reaps them), then the service itself.
    for (pid_t child : ServiceChildren()) ::kill(child, SIGKILL);
    if (service_is_child_) {
      service_.Kill();
    } else {
      ::kill(service_pid_, SIGKILL);
      WaitFor([&] { return Gone(service_pid_); }, 5000);
    }
    service_pid_ = -1;
  }
}

std::time_t E2EWorld::Now() const {
  std::int64_t offset = clock_offset_ ? __atomic_load_n(clock_offset_, __ATOMIC_RELAXED) : 0;
  return std::time(nullptr) + static_cast<std::time_t>(offset);
}

void E2EWorld::AdvanceClock(std::int64_t seconds) {
  if (clock_offset_) __atomic_store_n(clock_offset_, *clock_offset_ + seconds, __ATOMIC_RELAXED);
}

Guid E2EWorld::AddServer(const ProfileSpec& spec) {
  CKVSrvInfo info;
  (void)info.SetServerName(spec.name);
  (void)info.SetImageDirectory(ImageDir(spec.name));
  (void)info.SetHostName("127.0.0.1");
  info.SetHttpPortRaw(static_cast<std::uint16_t>(spec.port));
  (void)info.SetAdminAccount(spec.account);
  (void)info.SetAdminPassword(spec.password);
  info.SetDeleteImagesOnServer(spec.delete_on_server ? 1 : 0);
  if (!spec.ppp_entry.empty()) {
    info.SetUsePpp(1);
    (void)info.SetPppConnectionName(spec.ppp_entry);
    (void)info.SetPppAccount(spec.ppp_account);
    (void)info.SetPppPassword(spec.ppp_password);
  }
  CKVSrvMgr store;
  if (!store.Init() || store.Add(&info) != SrvResult::SRV_OK) return Guid{};
  return info.GetId();
}

std::string E2EWorld::ImageDir(const std::string& server) const {
  return env_.Path("images/" + server);
}

CKVTask E2EWorld::AddTask(const std::string& name, const Guid& server, bool image_delete,
                          int due_in) {
  CKVTask t;
  t.SetName(name);
  SetTaskField(t.StartTime, TimeToTimeStr(Now() + due_in));
  t.TaskCycle = kCycleDays;
  t.TaskInterval = 1;
  t.ServerId = server;
  t.ImageDelete = image_delete ? 1 : 0;
  CKVSchedule().ComputeNextTime(&t, Now());
  WriteTask(t);
  return t;
}

CKVTask E2EWorld::ReadTask(const std::string& name) const {
  CKVTaskMgr mgr(env_.Root());
  TaskFileLock lock(mgr, -1);
  CKVTask t;
  mgr.ReadTask(name, &t);
  return t;
}

void E2EWorld::WriteTask(const CKVTask& task) {
  CKVTaskMgr mgr(env_.Root());
  TaskFileLock lock(mgr, -1);
  mgr.WriteTask(task);
}

bool E2EWorld::DeleteTask(const std::string& name) {
  CKVTaskMgr mgr(env_.Root());
  TaskFileLock lock(mgr, -1);
  return mgr.DeleteTask(name) == 0;
}

bool E2EWorld::StartService() {
  std::string preload = StageDir() + "/" + kClockLibrary;
  if (const char* old = std::getenv("LD_PRELOAD"); old && *old) preload += std::string(":") + old;
  std::string asan = "verify_asan_link_order=0";
  if (const char* old = std::getenv("ASAN_OPTIONS"); old && *old)
    asan = std::string(old) + ":" + asan;
  ProcessOptions options;
  options.argv0 = "zoricsm";
  options.env = {
      "LD_PRELOAD=" + preload,
      "PONDREL_E2E_CLOCK_FILE=" + clock_path_,
      "ASAN_OPTIONS=" + asan,
      // The launcher is found beside the service, never in some directory of the caller's.
      "PATH=/usr/bin:/bin",
  };
  options.output_path = env_.Path("zoricsm.out");
  options.append = true;
  if (!service_.Start(host_dir_ + "/zoricsm", {"-debug"}, options)) return false;
  service_pid_ = service_.pid();
  service_is_child_ = true;
  return WaitFor([&] {
           if (service_pid_ > 0 && !service_.Running()) {
             service_.Wait(0);  // it ended at once: see ServiceOutput()
             service_pid_ = -1;
             return true;
           }
           return ServiceLog().find("(S100)") != std::string::npos;
         }) &&
         service_pid_ > 0;
}

bool E2EWorld::AdoptBackgroundService() {
  const std::string exe = std::filesystem::canonical(host_dir_ + "/zoricsm").string();
  DIR* d = ::opendir("/proc");
  if (!d) return false;
  while (dirent* e = ::readdir(d)) {
    char* end = nullptr;
    long pid = std::strtol(e->d_name, &end, 10);
    if (*end != '\0' || pid <= 0) continue;
    std::error_code ec;
    auto target = std::filesystem::read_symlink("/proc/" + std::string(e->d_name) + "/exe", ec);
    if (ec || target.string() != exe || Gone(static_cast<pid_t>(pid))) continue;
    service_pid_ = static_cast<pid_t>(pid);
    service_is_child_ = false;
  }
  ::closedir(d);
  return service_pid_ > 0;
}

bool E2EWorld::Gone(pid_t pid) {
  const std::string stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
  auto paren = stat.rfind(')');
  return paren == std::string::npos || stat.compare(paren + 1, 3, " Z ") == 0;
}

bool E2EWorld::WaitTaskEnded(const std::string& name, int timeout_ms) const {
  return WaitFor(
      [&] {
        CKVTask t = ReadTask(name);
        return t.ActState != kStateRunning && t.ActResult != kResultNone &&
               t.ActResult != kResultRunning;
      },
      timeout_ms);
}

int E2EWorld::StopService(int timeout_ms) {
  if (service_pid_ <= 0 || !service_is_child_) return -1;
  service_.Signal(SIGTERM);
  const int status = service_.Wait(timeout_ms);
  if (status < 0) {
    KillEverything();
    return -1;
  }
  service_pid_ = -1;
  return service_.Exited() ? status : -1;
}

std::vector<pid_t> E2EWorld::CrashService() {
  std::vector<pid_t> children = ServiceChildren();
  orphans_.insert(orphans_.end(), children.begin(), children.end());
  if (service_pid_ > 0) {
    if (service_is_child_) {
      service_.Kill();
    } else {
      ::kill(service_pid_, SIGKILL);
    }
    service_pid_ = -1;
  }
  return children;
}

std::vector<pid_t> E2EWorld::ServiceChildren() const {
  std::vector<pid_t> out;
  if (service_pid_ <= 0) return out;
  DIR* d = ::opendir("/proc");
  if (!d) return out;
  while (dirent* e = ::readdir(d)) {
    char* end = nullptr;
    long pid = std::strtol(e->d_name, &end, 10);
    if (*end != '\0' || pid <= 0) continue;
    std::string stat = ReadFile("/proc/" + std::string(e->d_name) + "/stat");
    auto paren = stat.rfind(')');
    if (paren == std::string::npos) continue;
    std::istringstream rest(stat.substr(paren + 1));
    std::string state;
    long ppid = 0;
    rest >> state >> ppid;
    if (ppid == service_pid_ && state != "Z") out.push_back(static_cast<pid_t>(pid));
  }
  ::closedir(d);
  return out;
}

std::string E2EWorld::ServiceLog() const { return ReadFile(ServiceLogPath(env_.Root())); }

std::vector<std::string> E2EWorld::ServiceLogLines() const { return SplitLines(ServiceLog()); }

std::string E2EWorld::ServiceOutput() const { return ReadFile(env_.Path("zoricsm.out")); }

StartedProcess E2EWorld::StartKVdl(const std::vector<std::string>& args) {
  StartedProcess p;
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return p;
  ProcessOptions options;
  options.argv0 = "KVdl";
  options.env = {"PONDREL_RESULT_FD=" + std::to_string(kChildResultFd)};
  options.output_path = env_.Path("kvdl.out");
  options.append = true;
  options.fds = {{fds[1], kChildResultFd}};
  HandStarted started;
  started.process.Start(host_dir_ + "/KVdl", args, options);
  ::close(fds[1]);
  p.pid = started.process.started() ? started.process.pid() : -1;
  p.result_fd = fds[0];
  started.result_fd = fds[0];
  by_hand_.push_back(std::move(started));
  return p;
}

std::optional<int> E2EWorld::WaitKVdl(StartedProcess& p, int timeout_ms) {
  if (p.pid <= 0) return std::nullopt;
  HandStarted* started = nullptr;
  for (HandStarted& q : by_hand_)
    if (q.process.started() && q.process.pid() == p.pid) started = &q;
  if (!started) return std::nullopt;
  const int status = started->process.Wait(timeout_ms);
  if (status < 0) return std::nullopt;
  p.pid = -1;
  char buf[32] = {};
  ssize_t n = ::read(p.result_fd, buf, sizeof buf - 1);
  if (n > 0) return std::atoi(buf);
  return started->process.Exited() ? std::optional<int>(status) : std::nullopt;
}

}  // namespace pondrel::test
