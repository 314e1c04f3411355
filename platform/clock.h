#pragma once
// The one clock of the plug-in. Every sleep and every deadline of the
// protocol goes through it, so tests and simulated runs can replace it and
// never wait in real time for the fixed pauses (10 ms polls, 200 ms and
// 3000 ms pauses, the 80-second countdown).
#include <atomic>
#include <cstdint>

namespace vantrel::platform {

class Clock {
 public:
  virtual ~Clock() = default;
  virtual uint64_t NowMs() = 0;  // monotonic milliseconds
  virtual void SleepMs(uint32_t ms) = 0;
};

// The wall clock: real sleeps, monotonic time.
class SystemClock : public Clock {
 public:
  uint64_t NowMs() override;
  void SleepMs(uint32_t ms) override;
};

// The process's clock with its sleeps shortened by a factor: the fixed
// pauses of a session whose phone is simulated (link/channel.h decides when).
// A sleep of n ms asks the process clock for n / factor ms, at least 1 ms so
// that a loop still gives up the processor; time itself runs as the process
// clock's, so deadlines are never shortened. A factor of 1 or less changes
// nothing.
class ScaledClock : public Clock {
 public:
  explicit ScaledClock(double factor = 1) { set_factor(factor); }
  uint64_t NowMs() override;
  void SleepMs(uint32_t ms) override;
  void set_factor(double factor) { factor_ = factor > 1 ? factor : 1; }
  double factor() const { return factor_; }

 private:
  double factor_ = 1;
};

// Time stands still until someone sleeps: a sleep advances it at once, for
// the thread that slept. Each thread sees the common time (Advance) plus its
// own sleeps, so sessions on several threads each keep their own timeline:
// one session's 80-second countdown does not use up another's deadline.
// Each sleep also yields the thread briefly so that a waiting loop on a
// manual clock does not starve the thread it waits for.
class ManualClock : public Clock {
 public:
  uint64_t NowMs() override;
  void SleepMs(uint32_t ms) override;
  void Advance(uint64_t ms) { now_ += ms; }
  // Every thread's sleeps together.
  uint64_t slept() const { return slept_.load(); }

 private:
  uint64_t& ThreadSlept();
  static uint64_t NextId();
  const uint64_t id_ = NextId();  // a clock made where a gone one lived starts afresh
  std::atomic<uint64_t> now_{0};
  std::atomic<uint64_t> slept_{0};
};

// The process's clock. Without SetClock it is the system clock: a time scale
// never shortens the process's own waits (the port-wait polls among them),
// only a session's fixed pauses, through a ScaledClock over this one.
Clock& GetClock();
// Installs a clock (nullptr restores the default) and returns the previous one.
Clock* SetClock(Clock* clock);

// RAII helper for tests.
class ScopedClock {
 public:
  explicit ScopedClock(Clock* c) : prev_(SetClock(c)) {}
  ~ScopedClock() { SetClock(prev_); }
  ScopedClock(const ScopedClock&) = delete;
  ScopedClock& operator=(const ScopedClock&) = delete;

 private:
  Clock* prev_;
};

// Real monotonic milliseconds, for the port's own kernel-level time-outs.
uint64_t RealNowMs();

}  // namespace vantrel::platform
