// One Log Viewer at a time. The first holds the named object "VeltaZoricLogViewer"; a second
// start signals it (the first comes to the front) and ends without loading its argument.
#pragma once

#include <QObject>

#include <functional>

#include "common/named_object.h"

class QSocketNotifier;

namespace pondrel::lorvik {

inline constexpr char kInstanceName[] = "VeltaZoricLogViewer";

class CSingleInstance : public QObject {
  Q_OBJECT

 public:
  enum Outcome { kFirst, kOtherRuns, kFailed };
  // Takes the object, or signals its holder.
  Outcome Start();
  // The first instance: `raise` runs whenever a later start signals.
  void OnSignal(std::function<void()> raise);

 private:
  NamedObject object_;
  QSocketNotifier* notifier_ = nullptr;
};

}  // namespace pondrel::lorvik
