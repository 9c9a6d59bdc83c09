// The service's side of the mailslot protocol. MailslotDispatcher reads the requests that
// arrive ("ZORIC:01:" scan, "ZORIC:02:" execute now, "ZORIC:03:" abort, "ZORIC:04:" a
// downloader's window report) and passes them to the task engine through EngineRequests. It
// also keeps an abort that arrives before the downloader has reported its window: the abort
// is sent once the report comes, or the downloader is ended directly when it does not come
// in time. TaskViewAnnouncer sends "ZORIC:01:" to the Task View.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/mailslot.h"
#include "service/engine_ports.h"
#include "taskmodel/kvtask.h"

namespace pondrel {

// An abort for a run whose downloader has not reported its window yet waits this long for the
// report, then the downloader is sent the close request (SIGTERM) directly.
inline constexpr int kAbortWithoutWindowMs = 5000;

// The "ZORIC:01:" message to the Task View: "%s:%02d:%02d:%s:%s".
std::string FormatTaskChanged(const CKVTask& task);

enum class [[nodiscard]] DispatchResult{
    kTooShort,  // shorter than a tag (the probe, for one): nothing done
    kHandled,   // acted on, or ignored as unknown or malformed
};

class MailslotDispatcher {
 public:
  explicit MailslotDispatcher(EngineRequests& engine) : engine_(engine) {}

  void SetAbortGrace(int ms) { abort_grace_ms_ = ms; }
  // The reaction to one message text; `now_ms` is a steady time for the abort's grace.
  DispatchResult Dispatch(std::string_view text, std::int64_t now_ms);
  // Takes one message from `slot` and acts on it; false when none waited.
  bool ReceiveOne(CKVMailSlot& slot, std::int64_t now_ms);
  // Acts on the window reports waiting in `slot` and drops everything else: a stopping
  // service starts nothing, but must be able to send every downloader its close request.
  void TakeRegistrations(CKVMailSlot& slot, std::int64_t now_ms);
  // Ends the downloaders whose report did not come within the grace of their abort; an abort
  // whose run has ended meanwhile is forgotten.
  void ForceOverdueAborts(std::int64_t now_ms);
  // The user's abort of `task`: the close request now, or once its downloader reports.
  void RequestAbort(const std::string& task, std::int64_t now_ms);
  std::size_t PendingAborts() const { return pending_.size(); }

 private:
  struct PendingAbort {
    std::string task;
    pid_t run = 0;  // the run it was meant for: a later run of the task is not aborted by it
    std::int64_t since_ms = 0;
  };
  void Registration(std::string_view arg);

  EngineRequests& engine_;
  int abort_grace_ms_ = kAbortWithoutWindowMs;
  std::vector<PendingAbort> pending_;
};

// Sends "ZORIC:01:" announcements to the Task View. A Task View whose queue stays full makes a
// send wait before it gives up; the service loop must not wait like that for every
// announcement of a long batch, so announcements then pause for a second (the Task View misses
// them as if it had not been running).
class TaskViewAnnouncer {
 public:
  void Announce(const CKVTask& task);

 private:
  static constexpr std::chrono::milliseconds kStallThreshold{100};
  static constexpr std::chrono::milliseconds kQuietTime{1000};
  std::chrono::steady_clock::time_point quiet_until_{};
};

}  // namespace pondrel
