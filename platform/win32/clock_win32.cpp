// The wall clock on Windows: the system tick count and Sleep. The 64-bit
// tick count is the same counter as GetTickCount without its wrap after
// 49.7 days, so a deadline taken just before the wrap still ends.
#include <windows.h>

#include "platform/clock.h"

namespace vantrel::platform {

uint64_t RealNowMs() { return GetTickCount64(); }

uint64_t SystemClock::NowMs() { return RealNowMs(); }
void SystemClock::SleepMs(uint32_t ms) { Sleep(ms); }

}  // namespace vantrel::platform
