// BodyLoop: the service body thread's one wait, over the running downloaders' pidfds, the tick
// timer, the clock-change watch, the service mailslot's notification descriptor and a queue of
// messages posted from any thread. It knows nothing of tasks: it tells a BodyLoopEvents what
// became ready. StopEscalation times the bounded stop.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <mutex>
#include <vector>

#include "common/event_loop.h"

namespace pondrel {

// What the body thread is asked to do through its queue (posted from any thread).
enum class BodyMessage {
  kCreate,
  kDestroy,
  kTick,
  kTimeChange,
  kCommand,
  kStopDownloads,  // the stop path's request: close every downloader, start no more
};

class BodyLoopEvents {
 public:
  virtual ~BodyLoopEvents() = default;
  virtual void OnPosted(BodyMessage msg) = 0;
  virtual void OnMailslotReadable() = 0;
  virtual void OnTick() = 0;
  virtual void OnClockSet() = 0;
  // A watched descriptor that is none of the loop's own: a downloader's pidfd.
  virtual void OnChildEnded(int pidfd) = 0;
};

class BodyLoop {
 public:
  explicit BodyLoop(BodyLoopEvents& events) : events_(events) {}
  BodyLoop(const BodyLoop&) = delete;
  BodyLoop& operator=(const BodyLoop&) = delete;

  // False when a descriptor of the loop could not be made.
  [[nodiscard]] bool Start();
  int WakeFd() const { return wake_.fd(); }
  void Watch(int fd) { loop_.Watch(fd); }
  void Unwatch(int fd) { loop_.Unwatch(fd); }
  // The mailslot's notification descriptor (-1: none).
  void SetMailslotFd(int fd);
  void SetTickPeriod(int ms) { tick_ms_ = ms; }
  void ArmTick(bool on) { tick_.Arm(on ? tick_ms_ : 0); }
  // Posts a message to the body thread; any thread.
  bool Post(BodyMessage msg);
  // One wait, and what it reported handled; false when the wait failed.
  bool RunOnce();
  void Run();
  // Ends Run after the event being handled; any thread.
  void Quit() { quit_.store(true); }
  bool Quitting() const { return quit_.load(); }

 private:
  void HandleReady(int fd);
  void DeliverPosted();

  BodyLoopEvents& events_;
  EventLoop loop_;
  WakeEvent wake_;
  IntervalTimer tick_;
  ClockChangeWatch clock_;
  int mailslot_fd_ = -1;
  int tick_ms_ = 1000;
  std::atomic<bool> quit_{false};
  std::mutex lock_;
  std::deque<BodyMessage> posted_;
};

// The bounded stop: a downloader still running `term_ms` after the stop began gets SIGTERM
// (one that never reported a window cannot take the close request), after a further
// `kill_ms` SIGKILL.
class StopEscalation {
 public:
  void SetGrace(int term_ms, int kill_ms) {
    term_ms_ = term_ms;
    kill_ms_ = kill_ms;
  }
  void Begin(std::int64_t now_ms);
  // The signal due at `now_ms` (each is due once), or 0.
  int Due(std::int64_t now_ms);

 private:
  std::int64_t started_ms_ = 0;
  bool term_sent_ = false;
  bool kill_sent_ = false;
  int term_ms_ = 10000;
  int kill_ms_ = 5000;
};

}  // namespace pondrel
