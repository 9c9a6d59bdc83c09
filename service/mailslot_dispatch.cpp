// The service's side of the mailslot protocol.
#include <signal.h>

#include <chrono>
#include <cstdio>
#include <cstring>

#include "service/kestova.h"

namespace pondrel {

std::string FormatTaskChanged(const CKVTask& task) {
  return pondrel::FormatTaskChanged(task.ActState, task.ActResult, task.EndTime, task.Name);
}

void CKestova::PostTASDEK(const CKVTask& task) {
  if (!task.HasName()) return;  // nothing the Task View could refresh
  const auto now = std::chrono::steady_clock::now();
  if (now < tasdek_quiet_until_) return;
  CKVMailSlot slot(kTaskViewMailslot);
  // No Task View running: the send fails at once and the message is dropped silently. A Task
  // View whose queue stays full makes the send wait before it gives up; the service loop must
  // not wait like that for every announcement of a long batch, so announcements pause for a
  // second (the Task View misses them as if it had not been running).
  if (!slot.Send(FormatTaskChanged(task)) &&
      std::chrono::steady_clock::now() - now >= kTaskViewStallThreshold)
    tasdek_quiet_until_ = std::chrono::steady_clock::now() + kTaskViewQuietTime;
}

int CKestova::ReceiveDispatch() {
  if (!slot_) return 0;
  if (!slot_->Receive() || slot_->LastLength() == 0) return 0;
  // A probe or a fragment is passed over; the messages behind it are not held up by it.
  DispatchMessage(slot_->Message());
  return 1;
}

int CKestova::DrainMailslot(int max_messages) {
  int taken = 0;
  while (taken < max_messages && !stop_flag_.load() && ReceiveDispatch() != 0) ++taken;
  return taken;
}

void CKestova::OnRegistration(std::string_view task_name, std::uint32_t window) {
  const int i = procs_.FindByName(task_name);
  if (i < 0) return;
  ProcEntry* e = procs_.At(i);
  e->window.store(window);
  if (e->abort_pending_since_ms != 0) {
    // The user's abort came before this report: it is acted on now.
    e->abort_pending_since_ms = 0;
    procs_.CloseRequest(i);
  }
}

void CKestova::ForcePendingAborts() {
  const std::int64_t now = SteadyNowMs();
  for (int i = 0; i < procs_.Count(); ++i) {
    ProcEntry* e = procs_.At(i);
    if (!e || e->abort_pending_since_ms == 0) continue;
    if (now - e->abort_pending_since_ms < abort_grace_ms_) continue;
    // A downloader that never reports its window would keep the abort from ever arriving.
    e->abort_pending_since_ms = 0;
    if (procs_.Signal(i, SIGTERM)) e->abort_forced = true;
  }
}

void CKestova::TakePendingRegistrations() {
  if (!slot_) return;
  // Other requests are of no use to a stopping service: no download starts any more.
  while (slot_->Receive() && slot_->LastLength() > 0) {
    if (std::string_view(slot_->Message()).starts_with(kTagRegister))
      DispatchMessage(slot_->Message());
  }
}

int CKestova::DispatchMessage(const char* text) {
  if (!text) return 0;
  std::string_view msg(text, ::strnlen(text, kMailslotMessageMax));
  if (msg.size() < kTagLen) return 0;  // the probe, for one
  std::string_view arg_view;
  const MailslotTag tag = ParseMailslotTag(msg, &arg_view);
  const std::string arg(arg_view);
  if (tag == MailslotTag::kScan) {
    ExecDoTask();
  } else if (tag == MailslotTag::kExecute) {
    DoProc(arg.c_str());
  } else if (tag == MailslotTag::kAbort) {
    KillProc(arg.c_str());
  } else if (tag == MailslotTag::kRegister) {
    std::string name;
    std::uint32_t window = 0;
    if (ParseRegisterArgument(arg, &name, &window)) OnRegistration(name, window);
  }
  return 1;
}

}  // namespace pondrel
