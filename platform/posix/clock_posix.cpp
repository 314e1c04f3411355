// The wall clock on POSIX: the monotonic steady clock and a thread sleep.
#include <chrono>
#include <thread>

#include "platform/clock.h"

namespace vantrel::platform {

uint64_t RealNowMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

uint64_t SystemClock::NowMs() { return RealNowMs(); }
void SystemClock::SleepMs(uint32_t ms) {
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

}  // namespace vantrel::platform
