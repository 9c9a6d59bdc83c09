// The service's side of the mailslot protocol.
#include <chrono>
#include <cstdio>
#include <cstring>

#include "service/kestova.h"

namespace pondrel {

bool ParseRegisterArgument(std::string_view arg, std::string* task_name, std::uint32_t* window) {
  auto colon = arg.find(':');
  if (colon == std::string_view::npos || colon + 1 >= arg.size()) return false;
  // The number as "%u" reads it: leading white space, an optional sign, decimal digits.
  std::string_view num = arg.substr(colon + 1);
  std::size_t i = 0;
  while (i < num.size() && (num[i] == ' ' || (num[i] >= '\t' && num[i] <= '\r'))) ++i;
  bool negative = false;
  if (i < num.size() && (num[i] == '+' || num[i] == '-')) negative = num[i++] == '-';
  std::size_t digits_start = i;
  std::uint32_t value = 0;
  for (; i < num.size() && num[i] >= '0' && num[i] <= '9'; ++i)
    value = value * 10u + static_cast<std::uint32_t>(num[i] - '0');
  if (i == digits_start) return false;
  if (negative) value = 0u - value;
  if (value == 0) return false;
  *task_name = std::string(arg.substr(0, colon));
  *window = value;
  return true;
}

std::string FormatTaskChanged(const CKVTask& task) {
  char buf[kMailslotMessageMax];
  std::snprintf(buf, sizeof buf, "%s:%02d:%02d:%s:%s", kTagScan, task.ActState, task.ActResult,
                task.EndTime, task.Name);
  return buf;
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
  return DispatchMessage(slot_->Message());
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
  std::string_view tag = msg.substr(0, kTagLen);
  std::string arg(msg.substr(kTagLen));
  if (tag == kTagScan) {
    ExecDoTask();
  } else if (tag == kTagExecute) {
    DoProc(arg.c_str());
  } else if (tag == kTagAbort) {
    KillProc(arg.c_str());
  } else if (tag == kTagRegister) {
    std::string name;
    std::uint32_t window = 0;
    if (ParseRegisterArgument(arg, &name, &window)) {
      int i = procs_.FindByName(name);
      if (i >= 0) procs_.At(i)->window.store(window);
    }
  }
  return 1;
}

}  // namespace pondrel
