// pondrel service: the scheduler service.
#include <iostream>

#include "cli/commands.h"
#include "common/runtime_dir.h"
#include "taskview/messages.h"
#include "taskview/service_control.h"

namespace pondrel::cli {

using namespace pondrel::tasdek;

namespace {

// A runtime directory this user may not use makes every answer about the service a guess:
// it is an error of its own, named.
int RefusedRuntimeDir() {
  std::string error;
  return RuntimeDirRefused(&error) ? Complain(error) : kExitOk;
}

int Status(const Args&) {
  if (int r = RefusedRuntimeDir()) return r;
  CServiceControl s;
  const bool installed = s.IsServiceInstalled();
  const bool running = s.IsServiceRunning();
  if (G().json) {
    std::cout << JsonObject({{"installed", JsonBool(installed)}, {"running", JsonBool(running)}})
              << "\n";
  } else {
    std::cout << "Installed=" << (installed ? "yes" : "no") << "\n"
              << "Running=" << (running ? "yes" : "no") << "\n";
  }
  return kExitOk;
}

int Start(const Args&) {
  if (int r = RefusedRuntimeDir()) return r;
  CServiceControl s;
  if (s.IsServiceRunning()) return kExitOk;
  if (s.StartService() != kServiceOk) return Fail(kMsgStartFailed);
  return kExitOk;
}

int Stop(const Args&) {
  if (int r = RefusedRuntimeDir()) return r;
  CServiceControl s;
  if (!s.IsServiceRunning()) return kExitOk;
  if (s.StopService() != kServiceOk) return Fail(kMsgStopFailed);
  return kExitOk;
}

int HostWord(const char* word, const char* what) {
  CServiceControl s;
  const int r = s.RunHostAndWait(word);
  if (r == -1) return Complain("cannot run the service host " + s.HostPath());
  if (r != 0) {
    return Complain(std::string("the service host could not ") + what + " the service (" +
                    s.HostPath() + " " + word + " ended with status " + std::to_string(r) + ")");
  }
  return kExitOk;
}

int Install(const Args&) { return HostWord("-osinstall", "install"); }
int Remove(const Args&) { return HostWord("-osremove", "remove"); }

}  // namespace

int RunServiceGroup(const std::vector<std::string>& argv) {
  static const std::vector<Command> commands = {
      {{"service status", "", "whether the service is installed and running", {}, 0, 0,
        "Running means that the service's mailslot takes a probe message."},
       Status},
      {{"service start", "", "start the service (zoricsm -start) and wait until it answers", {}, 0, 0,
        "Waits about ten seconds at most."},
       Start},
      {{"service stop", "", "stop the service (zoricsm -osstop) and wait until it is gone", {}, 0, 0,
        "Waits about ten seconds at most."},
       Stop},
      {{"service install", "", "register the service with the system (zoricsm -osinstall)", {}, 0, 0,
        nullptr},
       Install},
      {{"service remove", "", "unregister the service (zoricsm -osremove)", {}, 0, 0, nullptr},
       Remove},
  };
  return RunGroup("service", "The Pondrel Task Scheduler Service.", commands, argv);
}

}  // namespace pondrel::cli
