// The service under systemd: the machine's service manager plays the part the design gives
// the NT service control manager. The service is a unit of Type=notify ("kestova.service"):
// "-osinstall" writes the unit file and enables it, "-osremove" stops, disables and removes
// it, "-start"/"-osstart" and "-osstop" start and stop it through systemd, and the running
// service tells systemd its states with the notify protocol (start pending and running as
// STATUS= and READY=1, stop pending as STOPPING=1).
//
// The stop-request and started objects of the runtime directory stay as well, so that a
// second instance still fails and the Task View still sees the running service.
#pragma once

#include <string>
#include <string_view>

#include "service/service_manager.h"

namespace pondrel {

// Where "-osinstall" writes the unit file: the administrator's unit directory.
inline constexpr char kSystemdUnitDir[] = "/etc/systemd/system";
// The installation's group: members may use the service's runtime objects.
inline constexpr char kInstallationGroup[] = "pondrel";
// The runtime directory's name under /run.
inline constexpr char kRuntimeDirName[] = "pondrel";
// How long a start through systemd may take before it counts as failed, and the bound of a
// stop's wait (systemd's own stop time-out ends a stop well before).
inline constexpr int kSystemdStartWaitMs = 30000;
inline constexpr int kSystemdStopWaitMs = 120000;

// "kestova.service" for the service name "KESTOVA": unit names are conventionally lower case.
std::string UnitNameFor(std::string_view service_name);

struct UnitFileSettings {
  std::string description;  // the display name
  std::string exec_path;    // the host program, run without an option word
  std::string group;        // the installation's group; empty: none
  std::string after;        // ordering dependency, e.g. "network.target"
  std::string alias;        // an extra name for the unit, e.g. "pondrel.service"; may be empty
};

// The unit file text: Type=notify with the runtime directory, a bounded stop that first lets
// the service abort its downloads, restart on failure and a hardening set the service
// tolerates.
std::string BuildUnitFile(const UnitFileSettings& settings);

class SystemdServiceManager final : public ServiceManager {
 public:
  int Family() const override { return 1; }
  bool Install(std::string_view image_path) override;
  bool Remove() override;
  bool Stop(std::string* error_text) override;
  bool StartInstalled(std::string* error_text) override;
  // "-start": through systemd when the unit is installed; a build that was never installed
  // as a unit runs as the detached background process instead. False only when another
  // instance runs; a failed start through systemd leaves its text in LastError().
  bool RunBackground(ServiceBody* body) override;
  // Runs the service body for systemd (no option word): the notify protocol reports states.
  bool RunUnderManager(ServiceBody* body) override;
  // Whether systemd knows the unit (a unit file is installed and loaded).
  bool UnitInstalled() const;

  std::string UnitName() const { return UnitNameFor(ServiceName()); }
  std::string UnitFilePath() const;

 protected:
  void OnStateReported(std::uint32_t state) override;

 private:
  bool WaitForActiveState(int timeout_ms, bool want_active, std::string* error_text);
};

}  // namespace pondrel
