#include "service/service_manager.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <optional>
#include <thread>

#include "common/event_loop.h"
#include "common/fs_util.h"
#include "common/process.h"
#include "common/registry.h"
#include "common/systemd.h"
#include "service/event_log.h"
#include "service/systemd_service.h"

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

}  // namespace

ServiceManager::ServiceManager() = default;
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
  if (!RegistryKey::CreatePath(key)) return false;
  RegistryKey k;
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
  if (RegistryKey::KeyExists(own)) RegistryKey::DeleteKey(own);
  std::string host = std::string(kHostServicesKey) + "\\" + name_;
  if (RegistryKey::KeyExists(host)) return RegistryKey::DeleteKey(host);
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
  if (!RegistryKey::CreatePath(kRunServicesKey)) return false;
  RegistryKey k;
  if (!k.OpenAll(kRunServicesKey)) return false;
  return k.WriteText(name_, path + " -start");
}

bool ServiceManager::Remove() {
  StopByEvents();
  std::string own = std::string(kServicesKey) + "\\" + name_;
  if (RegistryKey::KeyExists(own)) RegistryKey::DeleteKey(own);
  RegistryKey k;
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
  RegistryKey k;
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
  ChildSpec spec;
  spec.exe = exe;
  spec.argv = {exe};
  if (!arg.empty()) spec.argv.push_back(arg);
  // "-start" hands the service to a background process and returns quickly.
  ChildExit exit;
  int rc = 0;
  if (!RunAndWait(spec, &exit, &rc)) {
    if (error_text) *error_text = std::strerror(rc);
    return false;
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

void ServiceManager::RequestStop() { wake_fd_.Set(); }

void ServiceManager::Destroy() {
  started_.Release();
  request_stop_.Release();
}

bool ServiceManager::RunLoop(ServiceBody* body, int ready_fd) {
  request_stop_ = NamedObject::CreateEvent(EventName(kRequestStopEventPrefix));
  if (ready_fd >= 0) {
    [[maybe_unused]] ssize_t w = ::write(ready_fd, request_stop_.held() ? "1" : "0", 1);
    ::close(ready_fd);
  }
  if (!request_stop_.held()) return false;
  state_.store(kServiceStartPending);
  exit_code_.store(0);
  service_exit_code_.store(0);
  wake_fd_.Consume();

  // Ctrl-C, SIGTERM and a hang-up ask for a stop. They are blocked before the body thread
  // exists, so only this thread's signal watch sees them.
  std::optional<SignalWatch> signals(std::in_place,
                                     std::initializer_list<int>{SIGINT, SIGTERM, SIGHUP});
  WakeEvent body_done;
  EventLoop loop;
  loop.Watch(signals->fd());
  loop.Watch(request_stop_.fd());
  loop.Watch(body_done.fd());
  loop.Watch(wake_fd_.fd());
  const int request_fd = request_stop_.fd();

  std::thread body_thread([&] {
    body->serviceBodyMain();
    body_done.Set();
  });

  auto stop = [&] {
    std::uint32_t s = state_.load();
    if (s == kServiceStopped || s == kServiceStopPending) return;
    ReportState(kServiceStopPending);
    body->serviceBodyStop();
  };

  std::vector<int> ready;
  for (;;) {
    if (!loop.Wait(&ready)) break;
    bool done = false, want_stop = false;
    for (int fd : ready) {
      if (fd == signals->fd()) {
        if (signals->Consume()) want_stop = true;
      } else if (fd == request_fd && request_stop_.held() && fd == request_stop_.fd()) {
        if (request_stop_.ConsumeSignals()) want_stop = true;
      } else if (fd == wake_fd_.fd()) {
        wake_fd_.Consume();
        want_stop = true;
      } else if (fd == body_done.fd()) {
        done = true;
      }
    }
    if (want_stop && !done) stop();
    if (done) break;
  }
  body_thread.join();
  ReportState(kServiceStopped);
  signals.reset();  // the old signal mask comes back
  return true;
}

bool ServiceManager::RunApplication(ServiceBody* body) { return RunLoop(body); }

bool ServiceManager::RunBackground(ServiceBody* body) {
  if (IsRunning()) return false;
  UniqueFd ready_read, ready_write;
  switch (ForkIntoBackground(&ready_read, &ready_write)) {
    case BackgroundRole::kFailed: return false;
    case BackgroundRole::kForeground: {
      // The background process tells whether it took the service's names.
      pollfd p{ready_read.get(), POLLIN, 0};
      char c = 0;
      return ::poll(&p, 1, kBackgroundStartWaitMs) > 0 && ::read(ready_read.get(), &c, 1) == 1 &&
             c == '1';
    }
    case BackgroundRole::kBackground: break;
  }
  // Tell the starter before the body runs; a second instance fails here.
  if (NamedObject::Exists(EventName(kRequestStopEventPrefix))) {
    [[maybe_unused]] ssize_t w = ::write(ready_write.get(), "0", 1);
    ::_exit(kExitAlreadyRunning);
  }
  if (!RunLoop(body, ready_write.release())) ::_exit(kExitAlreadyRunning);
  return true;
}

std::unique_ptr<ServiceManager> CreateServiceManager() {
  if (systemd::IsBooted()) return std::make_unique<SystemdServiceManager>();
  return std::make_unique<ServiceManager>();
}

}  // namespace pondrel
