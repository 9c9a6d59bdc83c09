// What the task engine needs from the rest of the service, as small interfaces, so that the
// engine can be driven on its own: the profile look-ups, the launcher, and the callbacks for
// the activity log, the Task View and the body's wait. The service wires the real ones; a
// test wires its own.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "common/guid.h"
#include "common/protocol.h"
#include "service/proc_table.h"
#include "taskmodel/kvtask.h"

namespace pondrel {

inline constexpr char kLauncherName[] = "KVdl";
// When set, the one directory the launcher is looked up in (tests put a test launcher there);
// otherwise the host program's own directory, then PATH.
inline constexpr char kLauncherDirVar[] = "PONDREL_KVDL_DIR";

enum class [[nodiscard]] LookupResult{
    kFound,
    kNoSuchProfile,  // the store answered that no profile has that identifier
    kUnreadable,     // the store could not be read
};

enum class [[nodiscard]] AddrResult{
    kResolved,
    kUnresolvable,  // a host name that does not resolve (or none at all)
    kUnreadable,    // the profile could not be read
};

// The camera server profiles, by identifier.
class ServerDirectory {
 public:
  virtual ~ServerDirectory() = default;
  virtual LookupResult Name(const Guid& id, std::string* name) = 0;
  virtual LookupResult NameAndImageDir(const Guid& id, std::string* name,
                                       std::string* image_dir) = 0;
  // Only the address part of `addr` is filled.
  virtual AddrResult Address(const Guid& id, sockaddr_in* addr) = 0;
};

// The profiles of the store below ROOT.
class ProfileDirectory final : public ServerDirectory {
 public:
  explicit ProfileDirectory(const std::string* root) : root_(root) {}
  LookupResult Name(const Guid& id, std::string* name) override;
  LookupResult NameAndImageDir(const Guid& id, std::string* name, std::string* image_dir) override;
  AddrResult Address(const Guid& id, sockaddr_in* addr) override;

 private:
  const std::string* root_;  // the service's ROOT, which is known only once the body starts
};

// Starts one downloader run.
class DownloaderLauncher {
 public:
  virtual ~DownloaderLauncher() = default;
  // False when the program is missing or could not be executed.
  [[nodiscard]] virtual bool Launch(const DownloaderOptions& options, LaunchedProcess* child) = 0;
};

// KVdl, looked up in one directory when one is set (or named by the environment), otherwise
// beside the host program and then on PATH.
class KvdlLauncher final : public DownloaderLauncher {
 public:
  void SetDirectory(std::string dir) { dir_ = std::move(dir); }
  [[nodiscard]] bool Launch(const DownloaderOptions& options, LaunchedProcess* child) override;

 private:
  std::string dir_;
};

class Clock;

// The engine's clock and outward effects. Any callback left empty does nothing.
struct EngineHooks {
  // The wall clock the engine schedules by; nullptr: the process-wide clock (GetClock()).
  const Clock* clock = nullptr;
  // One line of the service's activity log: task, server, level, text.
  std::function<void(std::string_view, std::string_view, int, const char*)> log;
  // A task whose state changed, for the Task View.
  std::function<void(const CKVTask&)> announce;
  // A downloader's pidfd to wait for, and one no longer to wait for.
  std::function<void(int)> watch_child;
  std::function<void(int)> unwatch_child;
  // The activity log file each finished run's own log is appended to (empty: not appended).
  std::function<std::string()> service_log_path;
};

// What a run of a task looks like from outside the engine.
struct RunState {
  pid_t run = 0;            // the downloader's process id; 0 when the task is not running
  bool has_window = false;  // it has reported its window, so it can take the close request
};

// The narrow set of requests the mailslot protocol makes of the task engine.
class EngineRequests {
 public:
  virtual ~EngineRequests() = default;
  // "ZORIC:01:": look for due tasks now.
  virtual void ScanSchedule() = 0;
  // "ZORIC:02:": start the task now.
  virtual void ExecuteNow(const std::string& task) = 0;
  virtual RunState RunOf(std::string_view task) const = 0;
  // "ZORIC:04:": the downloader of `task` reports its window.
  virtual void RecordWindow(std::string_view task, std::uint32_t window) = 0;
  // The close request to the downloader of `task` (it must have reported its window).
  virtual void RequestClose(std::string_view task) = 0;
  // Ends the downloader of `task` directly; the run still counts as aborted.
  virtual void ForceEnd(std::string_view task) = 0;
};

}  // namespace pondrel
