#include "platform/clock.h"

#include <chrono>
#include <mutex>
#include <thread>

namespace vantrel::platform {

// RealNowMs and SystemClock are the OS's own: posix/clock_posix.cpp,
// win32/clock_win32.cpp.

uint64_t ScaledClock::NowMs() { return GetClock().NowMs(); }

void ScaledClock::SleepMs(uint32_t ms) {
  if (factor_ <= 1) return GetClock().SleepMs(ms);
  const double scaled = ms / factor_;
  GetClock().SleepMs(scaled < 1 ? 1 : static_cast<uint32_t>(scaled + 0.5));
}

uint64_t ManualClock::NextId() {
  static std::atomic<uint64_t> next{1};
  return next++;
}

uint64_t& ManualClock::ThreadSlept() {
  // One clock at a time per thread in practice; a new clock starts afresh.
  thread_local uint64_t owner = 0;
  thread_local uint64_t slept = 0;
  if (owner != id_) {
    owner = id_;
    slept = 0;
  }
  return slept;
}

uint64_t ManualClock::NowMs() { return now_.load() + ThreadSlept(); }

void ManualClock::SleepMs(uint32_t ms) {
  ThreadSlept() += ms;
  slept_ += ms;
  std::this_thread::sleep_for(std::chrono::microseconds(50));
}

namespace {
std::atomic<Clock*> g_clock{nullptr};

Clock* DefaultClock() {
  static Clock* def = new SystemClock();
  return def;
}
}  // namespace

Clock& GetClock() {
  Clock* c = g_clock.load();
  return c ? *c : *DefaultClock();
}

Clock* SetClock(Clock* clock) { return g_clock.exchange(clock); }

}  // namespace vantrel::platform
