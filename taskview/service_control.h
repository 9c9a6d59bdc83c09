// Service control as the Task View does it: whether the scheduler service is installed (from
// the registry), whether it runs (a probe write to its mailslot), starting and stopping it
// through its host program "zoricsm" with "-start" / "-osstop", and the requests to run or
// abort a task.
#pragma once

#include <functional>
#include <string>

namespace pondrel::tasdek {

// Start and stop results (the error display codes of the main window).
inline constexpr int kServiceOk = 0;
inline constexpr int kServiceStartFailed = 4;
inline constexpr int kServiceStopFailed = 5;

class ServiceControl {
 public:
  ServiceControl();

  // How long to wait between probes; tests replace it so that nothing sleeps.
  void SetSleep(std::function<void(int ms)> sleep) { sleep_ = std::move(sleep); }
  // The host program to run; by default found beside this program, in ../lib/pondrel, or on
  // the search path.
  void SetHostPath(std::string path) { host_path_ = std::move(path); }
  std::string HostPath() const;

  // Without a service manager: the "Kestova" value of the RunServices key (the key
  // "SYSTEM\CurrentControlSet\Services\Kestova" does not count). With one (systemd): that
  // key, the unit file, or the RunServices value of a host without a systemd backend.
  bool IsServiceInstalled() const;
  // Writes a single zero byte to the service's mailslot; true when that succeeds.
  bool IsServiceRunning() const;
  // "zoricsm -start", then up to ten probes one second apart and a last one: 0 or 4.
  int StartService();
  // "zoricsm -osstop", then probes until the service no longer answers: 0 or 5.
  int StopService();
  // The same two with the waiting in the caller's hands: between probes `keep_waiting()` is
  // called (it sleeps; false gives up). The host's standard error is kept, so that when it
  // ends with its own failure text ("zoricsm: <text>") the wait stops at once and *reason is
  // that text without the prefix ("" when the host said nothing).
  int StartServiceWaiting(const std::function<bool()>& keep_waiting, std::string* reason);
  int StopServiceWaiting(const std::function<bool()>& keep_waiting, std::string* reason);
  // Runs the host with an installation word ("-osinstall", "-osremove") and waits for it:
  // the host's exit status, or -1 when it could not be run.
  int RunHostAndWait(const std::string& word) const;

  // "ZORIC:02:" + name and "ZORIC:03:" + name; a missing service loses them silently. True
  // when the message was delivered to the mailslot.
  bool SendExecuteNow(const std::string& task_name) const;
  bool SendAbort(const std::string& task_name) const;

  // ROOT + "/SYSTEM/kvrpd.log" ("" without ROOT).
  static std::string LogPath();
  // Deletes the activity log; the result is not reported to the user.
  static bool ClearLog();

 private:
  // Starts the host with one word, detached (own session, no terminal), without waiting for it.
  bool LaunchDetached(const std::string& word) const;
  int RunWaiting(const char* word, bool want_running, int failure,
                 const std::function<bool()>& keep_waiting, std::string* reason);

  std::function<void(int)> sleep_;
  std::string host_path_;
};

// Whether this machine has a service manager (systemd), which plays the NT family's part.
bool HasServiceManager();

}  // namespace pondrel::tasdek
