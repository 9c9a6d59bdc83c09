// pondrel service: the scheduler service.
#include <iostream>

#include "cli/commands.h"
#include "common/runtime_dir.h"
#include "taskview/messages.h"
#include "taskview/service_control.h"

namespace pondrel::cli {

using namespace pondrel::tasdek;

namespace {

constexpr char kService[] = "service";
// A runtime directory this user may not use makes every answer about the service a guess:
// it is an error of its own, named.
int RefusedRuntimeDir() {
  std::string error;
  return RuntimeDirRefused(&error) ? Fail(kService, error) : kExitOk;
}

int Status(const Args&) {
  if (int r = RefusedRuntimeDir()) return r;
  ServiceControl s;
  const bool installed = s.IsServiceInstalled();
  const bool running = s.IsServiceRunning();
  if (G().json) {
    PrintJson(JsonObject({{"installed", JsonBool(installed)},
                          {"running", JsonBool(running)},
                          {"state", JsonString(running ? "running" : "stopped")}}));
  } else {
    std::cout << (running ? "running" : "stopped") << " ("
              << (installed ? "installed" : "not installed") << " as a system service)\n";
  }
  return running ? kExitOk : kExitStopped;
}

// The outcome of start or stop: {"state":...} with --json, nothing otherwise.
int Report(bool running, bool changed) {
  if (G().json) {
    PrintJson(JsonObject(
        {{"state", JsonString(running ? "running" : "stopped")}, {"changed", JsonBool(changed)}}));
  }
  return kExitOk;
}

int StartOrStop(bool start) {
  if (int r = RefusedRuntimeDir()) return r;
  int status;
  // The service cannot run without its installation directory; say so before trying.
  if (start && !RequireRoot(&status)) return status;
  ServiceControl s;
  if (s.IsServiceRunning() == start) return Report(start, false);
  Waiter waiter(start ? "the service to start" : "the service to stop");
  bool timed_out = false;
  std::string reason;
  auto keep_waiting = [&] {
    if (waiter.KeepWaiting(250)) return true;
    timed_out = true;
    return false;
  };
  const int r = start ? s.StartServiceWaiting(keep_waiting, &reason)
                      : s.StopServiceWaiting(keep_waiting, &reason);
  if (r == kServiceOk) return Report(start, true);
  const std::string message = start ? kMsgStartFailed : kMsgStopFailed;
  if (!reason.empty()) return Fail(kService, message + " " + reason);
  if (timed_out) {
    return Error(kService,
                 message + " It did not answer within " + std::to_string(G().timeout_seconds) +
                     " s (--timeout).",
                 kExitTimeout);
  }
  return Fail(kService, message);
}

int Start(const Args&) { return StartOrStop(true); }
int Stop(const Args&) { return StartOrStop(false); }

int HostWord(const char* word, const char* what) {
  ServiceControl s;
  const int r = s.RunHostAndWait(word);
  if (r == -1) return Fail(kService, "cannot run the service host " + s.HostPath());
  if (r != 0) {
    return Fail(kService, std::string("the service host could not ") + what + " the service (" +
                              s.HostPath() + " " + word + " ended with status " +
                              std::to_string(r) + ")");
  }
  if (G().json) PrintJson(JsonObject({{"installed", JsonBool(s.IsServiceInstalled())}}));
  return kExitOk;
}

int Install(const Args&) { return HostWord("-osinstall", "install"); }
int Remove(const Args&) { return HostWord("-osremove", "remove"); }

}  // namespace

const std::vector<Command>& ServiceCommands() {
  static const std::vector<Command> kCommands = {
      {{"service status",
        "",
        "whether the service runs (exit status 0) or not (3)",
        {},
        0,
        0,
        "Prints \"running\" or \"stopped\" and whether the service is installed as a system\n"
        "service. The exit status follows systemctl is-active: 0 running, 3 stopped.\n"
        "Running means that the service's mailslot takes a probe message."},
       Status},
      {{"service start",
        "",
        "start the service (zoricsm -start) and wait until it answers",
        {},
        0,
        0,
        "Waits until the service answers, at most --timeout seconds (exit status 124 then).\n"
        "When the service host cannot start the service, its own reason is shown."},
       Start},
      {{"service stop",
        "",
        "stop the service (zoricsm -osstop) and wait until it is gone",
        {},
        0,
        0,
        "Waits until the service is gone, at most --timeout seconds (exit status 124 then)."},
       Stop},
      {{"service install",
        "",
        "register the service with the system (zoricsm -osinstall)",
        {},
        0,
        0,
        nullptr},
       Install},
      {{"service remove", "", "unregister the service (zoricsm -osremove)", {}, 0, 0, nullptr},
       Remove},
  };
  return kCommands;
}

}  // namespace pondrel::cli
