#include "service/service_manager.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "common/fs_util.h"
#include "common/registry.h"
#include "common/systemd.h"
#include "service/event_log.h"
#include "service/systemd_service.h"

extern char** environ;

namespace pondrel {
namespace {

constexpr std::size_t kServiceNameMax = 255;
constexpr std::size_t kDisplayNameMax = 259;
constexpr int kStopPollMs = 100;
// How long "-start" waits for the background process to take the service's names.
constexpr int kBackgroundStartWaitMs = 10000;

std::string Upper(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return out;
}

void Poke(int fd) {
  std::uint64_t one = 1;
  [[maybe_unused]] ssize_t n = ::write(fd, &one, sizeof one);
}

void Drain(int fd) {
  std::uint64_t v;
  while (::read(fd, &v, sizeof v) > 0) {
  }
}

}  // namespace

ServiceManager::ServiceManager() : wake_fd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}
ServiceManager::~ServiceManager() { Destroy(); }

bool ServiceManager::Setup(std::string_view service_name, std::string_view display_name,
                           const std::vector<std::string>& dependencies, int priority) {
  if (service_name.empty() || service_name.size() > kServiceNameMax) return false;
  if (service_name.find('/') != std::string_view::npos) return false;
  name_ = Upper(service_name);
  display_ = std::string(display_name.substr(0, kDisplayNameMax));
  deps_ = dependencies;
  if (priority > 0) priority_ = static_cast<std::uint32_t>(priority);
  return wake_fd_.valid();
}

bool ServiceManager::IsRunning() const {
  return NamedObject::Exists(EventName(kRequestStopEventPrefix));
}

bool ServiceManager::RegisterWithHost(std::string_view image_path) {
  std::string path = image_path.empty() ? ProgramPath() : std::string(image_path);
  std::string key = std::string(kHostServicesKey) + "\\" + name_;
  if (!CKVRegKey::CreatePath(key)) return false;
  CKVRegKey k;
  if (!k.OpenAll(key)) return false;
  bool ok = k.WriteText("ImagePath", path);
  ok = k.WriteText("DisplayName", display_) && ok;
  ok = k.WriteMultiText("Dependencies", deps_) && ok;
  ok = k.WriteNumber("Start", 1) && ok;
  ok = k.WriteNumber("Priority", priority_) && ok;
  return ok;
}

bool ServiceManager::UnregisterFromHost() {
  StopByEvents();
  std::string own = std::string(kServicesKey) + "\\" + name_;
  if (CKVRegKey::KeyExists(own)) CKVRegKey::DeleteKey(own);
  std::string host = std::string(kHostServicesKey) + "\\" + name_;
  if (CKVRegKey::KeyExists(host)) return CKVRegKey::DeleteKey(host);
  return true;
}

bool ServiceManager::StopByEvents(int timeout_ms) {
  std::string request = EventName(kRequestStopEventPrefix);
  if (!NamedObject::Exists(request)) return true;  // not running
  NamedObject::Signal(request);
  for (int waited = 0; waited < timeout_ms; waited += kStopPollMs) {
    if (!NamedObject::Exists(request)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(kStopPollMs));
  }
  return !NamedObject::Exists(request);
}

bool ServiceManager::Install(std::string_view image_path) {
  std::string path = image_path.empty() ? ProgramPath() : std::string(image_path);
  if (!CKVRegKey::CreatePath(kRunServicesKey)) return false;
  CKVRegKey k;
  if (!k.OpenAll(kRunServicesKey)) return false;
  return k.WriteText(name_, path + " -start");
}

bool ServiceManager::Remove() {
  StopByEvents();
  std::string own = std::string(kServicesKey) + "\\" + name_;
  if (CKVRegKey::KeyExists(own)) CKVRegKey::DeleteKey(own);
  CKVRegKey k;
  if (!k.OpenAll(kRunServicesKey)) return true;
  std::string ignored;
  if (!k.ReadText(name_, &ignored)) return true;
  return k.DeleteValue(name_);
}

bool ServiceManager::Stop(std::string* error_text) {
  bool ok = StopByEvents();
  if (!ok && error_text) *error_text = "The service did not stop in time.";
  return ok;
}

bool ServiceManager::StartInstalled(std::string* error_text) {
  CKVRegKey k;
  std::string command;
  if (!k.OpenRead(kRunServicesKey) || !k.ReadText(name_, &command) || command.empty()) {
    if (error_text) *error_text = "The service is not installed.";
    return false;
  }
  // The value is the image path followed by " -start"; the path may hold blanks.
  std::string exe = command, arg;
  constexpr std::string_view kSuffix = " -start";
  if (command.size() > kSuffix.size() &&
      std::string_view(command).substr(command.size() - kSuffix.size()) == kSuffix) {
    exe = command.substr(0, command.size() - kSuffix.size());
    arg = "-start";
  }
  std::vector<char*> argv{exe.data()};
  if (!arg.empty()) argv.push_back(arg.data());
  argv.push_back(nullptr);
  pid_t pid = 0;
  int rc = ::posix_spawn(&pid, exe.c_str(), nullptr, nullptr, argv.data(), environ);
  if (rc != 0) {
    if (error_text) *error_text = std::strerror(rc);
    return false;
  }
  // "-start" hands the service to a background process and returns quickly.
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return true;
}

void ServiceManager::ReportState(std::uint32_t state) {
  std::lock_guard<std::mutex> guard(state_lock_);
  if (state == state_.load()) return;  // a second "stopped" is ignored
  state_.store(state);
  if (state == kServiceRunning) {
    started_ = NamedObject::Create(EventName(kStartedEventPrefix));
  } else if (state == kServiceStopped) {
    // Releasing the names is what a waiting "-osstop" sees as the stopped event.
    started_.Release();
    request_stop_.Release();
  }
  OnStateReported(state);
}

void ServiceManager::SetExitCode(std::uint32_t code) { exit_code_.store(code); }
void ServiceManager::SetServiceExitCode(std::uint32_t code) {
  service_exit_code_.store(code & 0xFFFF);
}

void ServiceManager::RequestStop() {
  if (wake_fd_) Poke(wake_fd_.get());
}

void ServiceManager::Destroy() {
  started_.Release();
  request_stop_.Release();
}

bool ServiceManager::RunLoop(ServiceBody* body, int ready_fd) {
  request_stop_ = NamedObject::Create(EventName(kRequestStopEventPrefix));
  if (ready_fd >= 0) {
    [[maybe_unused]] ssize_t w = ::write(ready_fd, request_stop_.held() ? "1" : "0", 1);
    ::close(ready_fd);
  }
  if (!request_stop_.held()) return false;
  state_.store(kServiceStartPending);
  exit_code_.store(0);
  service_exit_code_.store(0);
  Drain(wake_fd_.get());

  // Ctrl-C, SIGTERM and a hang-up ask for a stop. They are blocked before the body thread
  // exists, so only this thread's signalfd sees them.
  sigset_t stop_signals, old_mask;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  sigaddset(&stop_signals, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &stop_signals, &old_mask);
  UniqueFd sig_fd(::signalfd(-1, &stop_signals, SFD_CLOEXEC | SFD_NONBLOCK));
  UniqueFd body_done(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  UniqueFd ep(::epoll_create1(EPOLL_CLOEXEC));

  auto watch = [&](int fd) {
    if (fd < 0) return;
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = fd;
    ::epoll_ctl(ep.get(), EPOLL_CTL_ADD, fd, &ev);
  };
  watch(sig_fd.get());
  watch(request_stop_.fd());
  watch(body_done.get());
  watch(wake_fd_.get());
  const int request_fd = request_stop_.fd();

  std::thread body_thread([&] {
    body->serviceBodyMain();
    Poke(body_done.get());
  });

  auto stop = [&] {
    std::uint32_t s = state_.load();
    if (s == kServiceStopped || s == kServiceStopPending) return;
    ReportState(kServiceStopPending);
    body->serviceBodyStop();
  };

  for (;;) {
    epoll_event events[8];
    int n = ::epoll_wait(ep.get(), events, 8, -1);
    if (n < 0) {
      if (errno == EINTR) continue;
      break;
    }
    bool done = false, want_stop = false;
    for (int i = 0; i < n; ++i) {
      int fd = events[i].data.fd;
      if (fd == sig_fd.get()) {
        signalfd_siginfo si;
        while (::read(fd, &si, sizeof si) == static_cast<ssize_t>(sizeof si)) want_stop = true;
      } else if (fd == request_fd && request_stop_.held() && fd == request_stop_.fd()) {
        if (request_stop_.ConsumeSignals()) want_stop = true;
      } else if (fd == wake_fd_.get()) {
        Drain(fd);
        want_stop = true;
      } else if (fd == body_done.get()) {
        done = true;
      }
    }
    if (want_stop && !done) stop();
    if (done) break;
  }
  body_thread.join();
  ReportState(kServiceStopped);
  pthread_sigmask(SIG_SETMASK, &old_mask, nullptr);
  return true;
}

bool ServiceManager::RunApplication(ServiceBody* body) { return RunLoop(body); }

bool ServiceManager::RunBackground(ServiceBody* body) {
  if (IsRunning()) return false;
  int ready[2];
  if (::pipe2(ready, O_CLOEXEC) != 0) return false;
  pid_t child = ::fork();
  if (child < 0) {
    ::close(ready[0]);
    ::close(ready[1]);
    return false;
  }
  if (child > 0) {
    ::close(ready[1]);
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    // The background process tells whether it took the service's names.
    pollfd p{ready[0], POLLIN, 0};
    char c = 0;
    bool ok = false;
    if (::poll(&p, 1, kBackgroundStartWaitMs) > 0 && ::read(ready[0], &c, 1) == 1) ok = (c == '1');
    ::close(ready[0]);
    return ok;
  }
  // Intermediate child: a new session without a terminal, then the service process itself.
  ::close(ready[0]);
  ::setsid();
  pid_t grandchild = ::fork();
  if (grandchild != 0) ::_exit(grandchild < 0 ? 1 : 0);
  RedirectStdioToNull();
  if (::chdir("/") != 0) {
  }
  // Tell the starter before the body runs; a second instance fails here.
  if (NamedObject::Exists(EventName(kRequestStopEventPrefix))) {
    [[maybe_unused]] ssize_t w = ::write(ready[1], "0", 1);
    ::_exit(kExitAlreadyRunning);
  }
  if (!RunLoop(body, ready[1])) ::_exit(kExitAlreadyRunning);
  return true;
}

std::unique_ptr<ServiceManager> CreateServiceManager() {
  if (systemd::IsBooted()) return std::make_unique<SystemdServiceManager>();
  return std::make_unique<ServiceManager>();
}

}  // namespace pondrel
