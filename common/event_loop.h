// The one wait of a program's loop: an epoll set over the descriptors it watches (children's
// pidfds, timers, the clock-change watch, a mailslot's NotifyFd, a signal watch, eventfds),
// and the timers and watches themselves. Nothing here polls; every call retries an
// interrupted system call itself.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <vector>

#include <signal.h>

#include "common/unique_fd.h"

namespace pondrel {

class EventLoop {
 public:
  EventLoop();
  bool valid() const { return epoll_.valid(); }
  bool Watch(int fd);
  void Unwatch(int fd);
  // Waits up to `timeout_ms` (-1: without limit) and puts the ready descriptors into `ready`
  // in the order the kernel reported them. False on failure (an interrupted wait is true,
  // with nothing ready).
  bool Wait(std::vector<int>* ready, int timeout_ms = -1);

 private:
  UniqueFd epoll_;
};

// A periodic timer on the monotonic clock.
class IntervalTimer {
 public:
  IntervalTimer();
  bool valid() const { return fd_.valid(); }
  int fd() const { return fd_.get(); }
  // 0 stops it.
  void Arm(int period_ms);
  // Reads the expirations; true when at least one had happened.
  bool Consume();

 private:
  UniqueFd fd_;
};

// Readable as soon as someone sets the system clock.
class ClockChangeWatch {
 public:
  ClockChangeWatch();
  bool valid() const { return fd_.valid(); }
  int fd() const { return fd_.get(); }
  // True when the clock was set since the last call; the watch is armed again.
  bool Changed();

 private:
  void Arm();
  UniqueFd fd_;
};

// Takes the given signals from this thread (they are blocked here, before other threads are
// made, and read from a descriptor); the old mask comes back with the destructor.
class SignalWatch {
 public:
  SignalWatch(std::initializer_list<int> signals);
  SignalWatch(const SignalWatch&) = delete;
  SignalWatch& operator=(const SignalWatch&) = delete;
  ~SignalWatch();
  int fd() const { return fd_.get(); }
  // Reads the pending signals; true when at least one had arrived.
  bool Consume();

 private:
  sigset_t old_mask_;
  UniqueFd fd_;
};

// An eventfd used as a wake-up from another thread.
class WakeEvent {
 public:
  WakeEvent();
  bool valid() const { return fd_.valid(); }
  int fd() const { return fd_.get(); }
  bool Set();
  // Clears it; true when it had been set.
  bool Consume();

 private:
  UniqueFd fd_;
};

}  // namespace pondrel
