#include "logviewer/app/single_instance.h"

#include <QSocketNotifier>

#include <chrono>
#include <thread>

namespace pondrel::lorvik {

CSingleInstance::Outcome CSingleInstance::Start() {
  // Two starts at the same moment: one takes the object, the other finds it held; a holder
  // that is just ending may need another look.
  for (int attempt = 0; attempt < 3; ++attempt) {
    object_ = NamedObject::Create(kInstanceName);
    if (object_.held()) return kFirst;
    if (NamedObject::Signal(kInstanceName)) return kOtherRuns;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return NamedObject::Exists(kInstanceName) ? kOtherRuns : kFailed;
}

void CSingleInstance::OnSignal(std::function<void()> raise) {
  if (!object_.held() || object_.fd() < 0) return;
  notifier_ = new QSocketNotifier(object_.fd(), QSocketNotifier::Read, this);
  connect(notifier_, &QSocketNotifier::activated, this, [this, raise = std::move(raise)] {
    if (object_.ConsumeSignals()) raise();
  });
}

}  // namespace pondrel::lorvik
