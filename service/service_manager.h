// ServiceManager: turns a service body into a running service and installs, removes, starts
// and stops it. This machine has no service manager, so the service runs as a detached
// background process (or in the foreground for debugging) and is stopped through its named
// stop-request object; the registry values of that mode are written on install. A systemd
// backend plugs in behind the same operations (Family() 1, CreateServiceManager()).
//
// Named events are abstract sockets held by the running service:
//   ORVANE_REQUEST_STOP_<NAME>   held from the start of a run until the stopped state; a
//                                datagram sent to it asks the service to stop
//   ORVANE_STATUS_STARTED_<NAME> held while the service reports the running state
// "Wait for stopped" is waiting until the service's names are released.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "common/event_loop.h"
#include "common/named_object.h"
#include "common/protocol.h"
#include "common/unique_fd.h"

namespace pondrel {

// The service body: `serviceBodyMain` runs on the body thread until the service has
// stopped; `serviceBodyStop` is called on the loop thread when a stop is requested.
class ServiceBody {
 public:
  virtual ~ServiceBody() = default;
  virtual int serviceBodyMain() = 0;
  virtual int serviceBodyStop() = 0;
};

enum ServiceState : std::uint32_t {
  kServiceStopped = 1,
  kServiceStartPending = 2,
  kServiceStopPending = 3,
  kServiceRunning = 4,
  kServiceContinuePending = 5,
  kServicePausePending = 6,
};

inline constexpr char kRunServicesKey[] =
    "Software\\Microsoft\\Windows\\CurrentVersion\\RunServices";
inline constexpr char kServicesKey[] = "SYSTEM\\CurrentControlSet\\Services";
inline constexpr char kHostServicesKey[] =
    "SYSTEM\\CurrentControlSet\\Services\\DIVIV\\Parameters\\3.0\\Services";
inline constexpr int kStopWaitMs = 20000;

// Exit code of a process that could not run the service because another instance runs.
inline constexpr int kExitAlreadyRunning = 2;
// Exit code of a process that could not run the service because the runtime directory is
// refused (its text goes to stderr).
inline constexpr int kExitRuntimeDirRefused = 3;
// Exit code of a process that could not run the service because "ROOT" is missing or not an
// absolute path (its text goes to stderr).
inline constexpr int kExitNoRoot = 4;

class ServiceManager {
 public:
  ServiceManager();
  virtual ~ServiceManager();
  ServiceManager(const ServiceManager&) = delete;
  ServiceManager& operator=(const ServiceManager&) = delete;

  // Stores the names (the service name upper-cased, at most 255 characters). False when the
  // names are unusable.
  virtual bool Setup(std::string_view service_name, std::string_view display_name,
                     const std::vector<std::string>& dependencies, int priority);
  // 1: a service manager is present; 2: none (detached process and named objects).
  virtual int Family() const { return 2; }
  // Registration with the separate service-control host (its "DIVIV" key).
  virtual bool RegisterWithHost(std::string_view image_path);
  virtual bool RegisterWithHostSelf() { return RegisterWithHost({}); }
  virtual bool UnregisterFromHost();
  // Asks a running service to stop through its stop-request object and waits up to
  // `timeout_ms` until it has stopped. True at once when no service runs.
  virtual bool StopByEvents(int timeout_ms = kStopWaitMs);
  // Without a service manager: the RunServices value "<image path> -start".
  virtual bool Install(std::string_view image_path);
  virtual bool InstallSelf() { return Install({}); }
  virtual bool Remove();
  virtual bool Stop(std::string* error_text);
  // Starts the installed service (the command line of its RunServices value), not waited for.
  virtual bool StartInstalled(std::string* error_text);
  // -start: a detached background process (new session, no terminal). The calling process
  // returns once the background process has been created (true) or at once with false when
  // another instance runs.
  virtual bool RunBackground(ServiceBody* body);
  // -debug: in the foreground; Ctrl-C and SIGTERM ask for a stop.
  virtual bool RunApplication(ServiceBody* body);
  // No option word: under the service manager; without one, as an application.
  virtual bool RunUnderManager(ServiceBody* body) { return RunApplication(body); }
  virtual void ReportRunning() { ReportState(kServiceRunning); }
  virtual void ReportStopped() { ReportState(kServiceStopped); }
  virtual void SetExitCode(std::uint32_t code);
  virtual void SetServiceExitCode(std::uint32_t code);
  virtual void Destroy();

  const std::string& ServiceName() const { return name_; }
  const std::string& DisplayName() const { return display_; }
  std::uint32_t CurrentState() const { return state_.load(); }
  std::uint32_t ExitCode() const { return exit_code_.load(); }
  std::uint32_t ServiceExitCode() const { return service_exit_code_.load(); }
  // The system's text for the last failed install, remove, start or stop ("" when none).
  const std::string& LastError() const { return last_error_; }
  // Whether a service of this name is running now (its stop-request object exists).
  bool IsRunning() const;
  // Asks the running loop of this process to stop, as a stop request would.
  void RequestStop();

 protected:
  void ReportState(std::uint32_t state);
  // Called under the state lock after a new state was stored, for a service manager that
  // wants to hear of it.
  virtual void OnStateReported(std::uint32_t /*state*/) {}
  // The run itself: takes the stop-request object, runs the body thread and the loop until
  // the body has ended. False when another instance runs. `ready_fd`, when given, receives
  // "1" once the names are taken ("0" when they were not) and is closed.
  bool RunLoop(ServiceBody* body, int ready_fd = -1);
  std::string EventName(const char* prefix) const { return prefix + name_; }

  std::string last_error_;

 private:
  std::string name_;
  std::string display_;
  std::vector<std::string> deps_;
  std::uint32_t priority_ = 0;
  std::atomic<std::uint32_t> state_{kServiceStopped};
  std::atomic<std::uint32_t> exit_code_{0};
  std::atomic<std::uint32_t> service_exit_code_{0};
  std::mutex state_lock_;  // serialises state changes
  NamedObject request_stop_;
  NamedObject started_;
  WakeEvent wake_fd_;  // a stop asked from inside the process
};

// The service manager for this machine: systemd's when systemd runs it, otherwise the
// detached background process.
std::unique_ptr<ServiceManager> CreateServiceManager();

}  // namespace pondrel
