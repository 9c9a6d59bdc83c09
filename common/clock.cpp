#include "common/clock.h"

#include <atomic>
#include <chrono>

namespace pondrel {
namespace {

const SystemClock kSystemClock;
std::atomic<const Clock*> g_clock{&kSystemClock};

}  // namespace

std::time_t SystemClock::Now() const { return std::time(nullptr); }

std::int64_t SystemClock::SteadyMs() const {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

const Clock& GetClock() { return *g_clock.load(); }

void SetClock(const Clock* clock) { g_clock.store(clock ? clock : &kSystemClock); }

}  // namespace pondrel
