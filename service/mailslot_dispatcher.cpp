// The service's side of the mailslot protocol.
#include "service/mailslot_dispatcher.h"

#include <algorithm>
#include <cstring>

#include "common/protocol.h"

namespace pondrel {

std::string FormatTaskChanged(const CKVTask& task) {
  return pondrel::FormatTaskChanged(task.ActState, task.ActResult, task.EndTime, task.Name);
}

void TaskViewAnnouncer::Announce(const CKVTask& task) {
  if (!task.HasName()) return;  // nothing the Task View could refresh
  const auto now = std::chrono::steady_clock::now();
  if (now < quiet_until_) return;
  CKVMailSlot slot(kTaskViewMailslot);
  // No Task View running: the send fails at once and the message is dropped silently.
  if (!slot.Send(FormatTaskChanged(task)) &&
      std::chrono::steady_clock::now() - now >= kStallThreshold)
    quiet_until_ = std::chrono::steady_clock::now() + kQuietTime;
}

bool MailslotDispatcher::ReceiveOne(CKVMailSlot& slot, std::int64_t now_ms) {
  if (!slot.Receive() || slot.LastLength() == 0) return false;
  // A probe or a fragment is passed over; the messages behind it are not held up by it.
  (void)Dispatch(slot.Message(), now_ms);
  return true;
}

void MailslotDispatcher::TakeRegistrations(CKVMailSlot& slot, std::int64_t now_ms) {
  while (slot.Receive() && slot.LastLength() > 0) {
    if (std::string_view(slot.Message()).starts_with(kTagRegister))
      (void)Dispatch(slot.Message(), now_ms);
  }
}

DispatchResult MailslotDispatcher::Dispatch(std::string_view text, std::int64_t now_ms) {
  // Only up to the first NUL, and never more than one datagram can hold.
  const std::string_view msg =
      text.substr(0, std::min({text.find('\0'), text.size(), kMailslotMessageMax}));
  if (msg.size() < kTagLen) return DispatchResult::kTooShort;
  std::string_view arg_view;
  const MailslotTag tag = ParseMailslotTag(msg, &arg_view);
  const std::string arg(arg_view);
  switch (tag) {
    case MailslotTag::kScan: engine_.ScanSchedule(); break;
    case MailslotTag::kExecute: engine_.ExecuteNow(arg); break;
    case MailslotTag::kAbort: RequestAbort(arg, now_ms); break;
    case MailslotTag::kRegister: Registration(arg); break;
    case MailslotTag::kNone: break;
  }
  return DispatchResult::kHandled;
}

void MailslotDispatcher::RequestAbort(const std::string& task, std::int64_t now_ms) {
  const RunState run = engine_.RunOf(task);
  if (run.run == 0) return;
  if (run.has_window) {
    engine_.RequestClose(task);
    return;
  }
  // The downloader has not reported its window yet: the abort is kept until it does, so that
  // an abort sent right after "execute now" is never lost.
  const bool known = std::any_of(pending_.begin(), pending_.end(), [&](const PendingAbort& p) {
    return p.task == task && p.run == run.run;
  });
  if (!known) pending_.push_back({task, run.run, now_ms});
}

void MailslotDispatcher::Registration(std::string_view arg) {
  std::string task;
  std::uint32_t window = 0;
  if (!ParseRegisterArgument(arg, &task, &window)) return;
  engine_.RecordWindow(task, window);
  const pid_t run = engine_.RunOf(task).run;
  bool abort_now = false;
  std::erase_if(pending_, [&](const PendingAbort& p) {
    if (p.task != task) return false;
    abort_now = abort_now || (run != 0 && p.run == run);
    return true;  // delivered now, or meant for a run that is over
  });
  // The user's abort came before this report: it is acted on now.
  if (abort_now) engine_.RequestClose(task);
}

void MailslotDispatcher::ForceOverdueAborts(std::int64_t now_ms) {
  std::vector<std::string> overdue;
  std::erase_if(pending_, [&](const PendingAbort& p) {
    if (engine_.RunOf(p.task).run != p.run) return true;  // that run is over
    if (now_ms - p.since_ms < abort_grace_ms_) return false;
    overdue.push_back(p.task);
    return true;
  });
  // A downloader that never reports its window would keep the abort from ever arriving.
  for (const std::string& task : overdue) engine_.ForceEnd(task);
}

}  // namespace pondrel
