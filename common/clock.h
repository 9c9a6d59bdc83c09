// The one clock of the system. The scheduler, the service's tick, the downloader's stall
// watchdog and the log time stamps read the time through it, so that tests can move time
// without ever touching the system clock.
#pragma once

#include <atomic>
#include <cstdint>
#include <ctime>

namespace pondrel {

class Clock {
 public:
  virtual ~Clock() = default;
  // Wall-clock time in seconds since the epoch (what time strings and log lines show).
  virtual std::time_t Now() const = 0;
  // A steady count of milliseconds for intervals (time-outs, stall detection).
  virtual std::int64_t SteadyMs() const = 0;
};

class SystemClock final : public Clock {
 public:
  std::time_t Now() const override;
  std::int64_t SteadyMs() const override;
};

// The process-wide clock; tests may install a TestClock. Never null.
const Clock& GetClock();
// Installs `clock` as the process-wide clock (nullptr restores the system clock). The caller
// keeps ownership and must keep it alive while it is installed.
void SetClock(const Clock* clock);

// A clock that only moves when told to. Thread-safe.
class TestClock final : public Clock {
 public:
  explicit TestClock(std::time_t start = 1'000'000'000, std::int64_t steady_ms = 0)
      : now_(start), steady_ms_(steady_ms) {}
  std::time_t Now() const override { return now_.load(); }
  std::int64_t SteadyMs() const override { return steady_ms_.load(); }

  void Set(std::time_t t) { now_.store(t); }
  void AdvanceSeconds(std::int64_t s) {
    now_ += static_cast<std::time_t>(s);
    steady_ms_ += s * 1000;
  }
  void AdvanceMs(std::int64_t ms) { steady_ms_ += ms; }
  void AdvanceMinute() { AdvanceSeconds(60); }
  void AdvanceHour() { AdvanceSeconds(3600); }
  void AdvanceDay() { AdvanceSeconds(86400); }

 private:
  std::atomic<std::time_t> now_;
  std::atomic<std::int64_t> steady_ms_;
};

}  // namespace pondrel
