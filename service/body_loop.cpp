// The service body thread's wait.
#include "service/body_loop.h"

#include <signal.h>

#include <algorithm>

namespace pondrel {

bool BodyLoop::Start() {
  if (!loop_.valid() || !wake_.valid() || !tick_.valid() || !clock_.valid()) return false;
  loop_.Watch(wake_.fd());
  loop_.Watch(tick_.fd());
  loop_.Watch(clock_.fd());
  quit_.store(false);
  return true;
}

void BodyLoop::SetMailslotFd(int fd) {
  if (mailslot_fd_ >= 0) loop_.Unwatch(mailslot_fd_);
  mailslot_fd_ = fd;
  if (fd >= 0) loop_.Watch(fd);
}

bool BodyLoop::Post(BodyMessage msg) {
  {
    std::lock_guard<std::mutex> guard(lock_);
    posted_.push_back(msg);
  }
  return wake_.Set();
}

void BodyLoop::Run() {
  while (!quit_.load()) RunOnce();
}

bool BodyLoop::RunOnce() {
  std::vector<int> ready;
  if (!loop_.Wait(&ready)) return false;
  // A clock change is handled before a tick of the same wake-up: the tick would otherwise
  // record the new time as the last tick, and the change would look too small to matter.
  std::stable_partition(ready.begin(), ready.end(), [this](int fd) { return fd == clock_.fd(); });
  for (std::size_t i = 0; i < ready.size() && !quit_.load(); ++i) HandleReady(ready[i]);
  return true;
}

void BodyLoop::HandleReady(int fd) {
  if (fd == wake_.fd()) {
    DeliverPosted();
  } else if (fd == mailslot_fd_ && fd >= 0) {
    events_.OnMailslotReadable();
  } else if (fd == tick_.fd()) {
    tick_.Consume();
    events_.OnTick();
  } else if (fd == clock_.fd()) {
    if (clock_.Changed()) events_.OnClockSet();
  } else {
    events_.OnChildEnded(fd);
  }
}

void BodyLoop::DeliverPosted() {
  wake_.Consume();
  std::deque<BodyMessage> batch;
  {
    std::lock_guard<std::mutex> guard(lock_);
    batch.swap(posted_);
  }
  for (BodyMessage m : batch) {
    events_.OnPosted(m);
    if (quit_.load()) break;
  }
}

void StopEscalation::Begin(std::int64_t now_ms) {
  started_ms_ = now_ms;
  term_sent_ = kill_sent_ = false;
}

int StopEscalation::Due(std::int64_t now_ms) {
  const std::int64_t elapsed = now_ms - started_ms_;
  if (!term_sent_ && elapsed >= term_ms_) {
    term_sent_ = true;
    return SIGTERM;
  }
  if (term_sent_ && !kill_sent_ && elapsed >= term_ms_ + kill_ms_) {
    kill_sent_ = true;
    return SIGKILL;
  }
  return 0;
}

}  // namespace pondrel
