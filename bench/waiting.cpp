// Processor time while the plug-in waits: for a port that is absent, and in
// the boot ROM handshake for a phone that stays silent. Real time (these are
// CPU-per-second figures), on the system clock.
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <thread>

#include "bench/bench.h"
#include "boundary/session.h"
#include "platform/clock.h"

namespace vantrel::bench {
namespace {

// The system clock, counting sleeps: each sleep of Connect's loop is one poll.
class CountingClock : public platform::Clock {
 public:
  uint64_t NowMs() override { return real_.NowMs(); }
  void SleepMs(uint32_t ms) override {
    ++sleeps_;
    real_.SleepMs(ms);
  }
  long sleeps() const { return sleeps_.load(); }

 private:
  platform::SystemClock real_;
  std::atomic<long> sleeps_{0};
};

struct Waited {
  double cpu = 0, wall = 0;
  long polls = 0;
  long syscalls = -1;  // during the strace window
  long windowPolls = 0;
  double window = 0;
};

// Samples the waiting thread's CPU over `seconds` of real time, then counts
// its system calls for a shorter window.
Waited Observe(std::thread& t, const std::atomic<long>& tid, CountingClock& clock, double seconds, double window) {
  Waited w;
  std::this_thread::sleep_for(std::chrono::milliseconds(200));  // past the start
  const double c0 = ThreadCpuSeconds(t), t0 = NowSeconds();
  const long p0 = clock.sleeps();
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  w.cpu = ThreadCpuSeconds(t) - c0;
  w.wall = NowSeconds() - t0;
  w.polls = clock.sleeps() - p0;
  w.syscalls = CountSyscalls(tid.load(), [&] {
    const long q0 = clock.sleeps();
    const double s0 = NowSeconds();
    std::this_thread::sleep_for(std::chrono::duration<double>(window));
    w.window = NowSeconds() - s0;
    w.windowPolls = clock.sleeps() - q0;
  });
  return w;
}

std::string Describe(const Waited& w, bool perPoll) {
  std::string s = Fmt("%.1f ms CPU in %.1f s", w.cpu * 1e3, w.wall);
  if (perPoll) s += Fmt(", %.0f polls/s", w.polls / w.wall);
  if (w.syscalls < 0) return s + ", system calls not counted (no strace)";
  if (perPoll && w.windowPolls > 0) return s + Fmt(", %.1f system calls/poll", double(w.syscalls) / w.windowPolls);
  return s + Fmt(", %.0f system calls/s", w.syscalls / w.window);
}

}  // namespace

std::vector<Row> BenchWaiting(const Options& o) {
  std::vector<Row> rows;
  const double seconds = o.quick ? 0.5 : 10, window = o.quick ? 0.3 : 2;
  const std::string path = o.workDir + "/waiting.bin";
  if (!MakePackage(path, 1, 8)) return {Failed("Waiting", "the package could not be built")};
  UsePackage(path);
  CountingClock clock;
  platform::ScopedClock scope(&clock);

  {
    const std::string name = Fmt("Waiting %.1f s for an absent port (Connect): CPU share of one core", seconds);
    std::fprintf(stderr, "  %s\n", name.c_str());
    CBizDownload* s = new CBizDownload(9);  // COM49: nothing in the port directory
    if (!s->Prepare(0)) {
      rows.push_back(Failed(name, "Prepare failed"));
    } else {
      std::atomic<long> tid{0};
      std::thread t([&] {
        tid = syscall(SYS_gettid);
        s->Connect();
      });
      Waited w = Observe(t, tid, clock, seconds, window);
      s->Stop();
      t.join();
      rows.push_back(AtMost(name, Describe(w, true), "1 core", w.cpu / w.wall, 0.01));
    }
    s->DeletingDestructor(1);
  }
  {
    const std::string name = Fmt("Waiting %.1f s in the handshake for a silent phone: CPU share of one core", seconds);
    std::fprintf(stderr, "  %s\n", name.c_str());
    sim::PhoneConfig cfg;
    cfg.faults.silenceAt = *sim::FaultPoint::Parse("brom:handshake");
    sim::Phone phone(cfg);
    std::string err;
    CBizDownload* s = new CBizDownload(8);
    if (!phone.Open(&err) || !phone.LinkPort(o.portDir, 48, 0, &err) || !s->Prepare(0)) {
      rows.push_back(Failed(name, err.empty() ? "Prepare failed" : err));
    } else {
      phone.Start();
      std::atomic<long> tid{0};
      std::atomic<bool> opened{false};
      std::thread t([&] {
        tid = syscall(SYS_gettid);
        if (s->engine().OpenLink(19200, 48) == 0) {
          opened = true;
          s->engine().Connect();  // waits for the handshake until the port goes
        }
      });
      Waited w = Observe(t, tid, clock, seconds, window);
      phone.Hangup();
      t.join();
      if (!opened) rows.push_back(Failed(name, "the port did not open"));
      else rows.push_back(AtMost(name, Describe(w, false), "1 core", w.cpu / w.wall, 0.01));
    }
    s->DeletingDestructor(1);
    phone.Stop();
  }
  std::remove(path.c_str());
  return rows;
}

}  // namespace vantrel::bench
