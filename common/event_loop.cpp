#include "common/event_loop.h"

#include <pthread.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <cerrno>

namespace pondrel {

EventLoop::EventLoop() : epoll_(::epoll_create1(EPOLL_CLOEXEC)) {}

bool EventLoop::Watch(int fd) {
  if (fd < 0) return false;
  epoll_event ev{};
  ev.events = EPOLLIN;
  ev.data.fd = fd;
  return ::epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, fd, &ev) == 0;
}

void EventLoop::Unwatch(int fd) {
  if (fd >= 0) ::epoll_ctl(epoll_.get(), EPOLL_CTL_DEL, fd, nullptr);
}

bool EventLoop::Wait(std::vector<int>* ready, int timeout_ms) {
  ready->clear();
  epoll_event events[64];
  int n = ::epoll_wait(epoll_.get(), events, 64, timeout_ms);
  if (n < 0) return errno == EINTR;
  for (int i = 0; i < n; ++i) ready->push_back(events[i].data.fd);
  return true;
}

IntervalTimer::IntervalTimer()
    : fd_(::timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK)) {}

void IntervalTimer::Arm(int period_ms) {
  itimerspec its{};
  if (period_ms > 0) {
    its.it_value.tv_sec = period_ms / 1000;
    its.it_value.tv_nsec = static_cast<long>(period_ms % 1000) * 1000000L;
    its.it_interval = its.it_value;
  }
  ::timerfd_settime(fd_.get(), 0, &its, nullptr);
}

bool IntervalTimer::Consume() {
  bool any = false;
  std::uint64_t expirations;
  while (::read(fd_.get(), &expirations, sizeof expirations) > 0) any = true;
  return any;
}

ClockChangeWatch::ClockChangeWatch()
    : fd_(::timerfd_create(CLOCK_REALTIME, TFD_CLOEXEC | TFD_NONBLOCK)) {
  Arm();
}

void ClockChangeWatch::Arm() {
  // An absolute CLOCK_REALTIME timer far in the future: it never expires, but a read fails
  // with ECANCELED as soon as someone sets the system clock.
  itimerspec its{};
  its.it_value.tv_sec = static_cast<time_t>(1) << 40;
  ::timerfd_settime(fd_.get(), TFD_TIMER_ABSTIME | TFD_TIMER_CANCEL_ON_SET, &its, nullptr);
}

bool ClockChangeWatch::Changed() {
  std::uint64_t expirations;
  ssize_t r = ::read(fd_.get(), &expirations, sizeof expirations);
  if (r < 0 && errno == ECANCELED) {
    Arm();
    return true;
  }
  return false;
}

SignalWatch::SignalWatch(std::initializer_list<int> signals) {
  sigset_t set;
  sigemptyset(&set);
  for (int s : signals) sigaddset(&set, s);
  pthread_sigmask(SIG_BLOCK, &set, &old_mask_);
  fd_.reset(::signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK));
}

SignalWatch::~SignalWatch() {
  fd_.reset();
  pthread_sigmask(SIG_SETMASK, &old_mask_, nullptr);
}

bool SignalWatch::Consume() {
  bool any = false;
  signalfd_siginfo si;
  while (::read(fd_.get(), &si, sizeof si) == static_cast<ssize_t>(sizeof si)) any = true;
  return any;
}

WakeEvent::WakeEvent() : fd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

bool WakeEvent::Set() {
  std::uint64_t one = 1;
  return ::write(fd_.get(), &one, sizeof one) == static_cast<ssize_t>(sizeof one);
}

bool WakeEvent::Consume() {
  bool any = false;
  std::uint64_t v;
  while (::read(fd_.get(), &v, sizeof v) > 0) any = true;
  return any;
}

}  // namespace pondrel
