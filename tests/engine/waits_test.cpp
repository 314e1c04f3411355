// Two kinds of waiting that must not be confused: the port wait polls every
// 10 ms of the clock whatever time scale the environment asks for, and the
// protocol's fixed pauses run faster only against a pseudo-terminal, the
// simulated phone's kind of port.
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cstdlib>
#include <thread>

#include "boundary/session.h"
#include "engine/engine.h"
#include "platform/clock.h"
#include "tests/support/fake_link.h"
#include "tests/support/pty_pair.h"
#include "vantrel/extension.h"

namespace vantrel::testing {
namespace {

// A manual clock that also counts the sleeps shorter than a port-wait poll.
class PollClock : public platform::ManualClock {
 public:
  void SleepMs(uint32_t ms) override {
    if (ms < kPortPollMs) ++short_sleeps;
    ManualClock::SleepMs(ms);
  }
  std::atomic<unsigned> short_sleeps{0};
};

TEST(PortWait, APortThatCannotBeTakenIsTriedOncePerPollWhateverTheTimeScale) {
  PollClock clock;
  platform::ScopedClock scope(&clock);
  PortDir dir;
  PtyPair pty;
  const int holder = ::open(pty.slave_path().c_str(), O_RDWR | O_NOCTTY);
  ASSERT_EQ(::flock(holder, LOCK_EX | LOCK_NB), 0) << "another program holds the port";
  dir.Link(40, pty.slave_path());
  // Every attempt opens the device and closes it again: counted by the kernel.
  const int watch = ::inotify_init1(IN_NONBLOCK);
  ASSERT_GE(::inotify_add_watch(watch, pty.slave_path().c_str(), IN_OPEN | IN_CLOSE), 0);
  CBizDownload* s = new CBizDownload(0);
  ASSERT_EQ(VantrelSetSetting(s, VANTREL_SETTING_TIME_SCALE, 100), 1);  // as a simulated run sets it
  s->Prepare(0);  // no package; the wait runs all the same
  std::thread t([&] { s->Connect(); });
  while (clock.slept() < 1000) std::this_thread::yield();
  s->Stop();
  t.join();
  unsigned opens = 0;
  alignas(inotify_event) char buf[64 * 1024];
  for (ssize_t n; (n = ::read(watch, buf, sizeof buf)) > 0;)
    for (char* p = buf; p < buf + n; p += sizeof(inotify_event) + reinterpret_cast<inotify_event*>(p)->len)
      opens += (reinterpret_cast<inotify_event*>(p)->mask & IN_OPEN) != 0;
  EXPECT_GE(opens, 50u) << "the wait kept trying";
  EXPECT_LE(opens, clock.slept() / kPortPollMs + 2) << "an attempt without its 10 ms poll";
  EXPECT_EQ(clock.short_sleeps.load(), 0u) << "a poll shortened by the time scale";
  s->DeletingDestructor(1);
  ::close(watch);
  ::close(holder);
}

// What a failed boot ROM stage and the agent stage after it sleep on the
// clock against a silent port: the agent's 3-second settle, then no agent.
uint64_t PausesOn(CMTKClass& engine, platform::ByteLink* port) {
  platform::ManualClock clock;
  platform::ScopedClock scope(&clock);
  engine.ConnectOn(port);
  engine.DownloadOn(port);
  return clock.slept();
}

TEST(TimeScale, ShortensThePausesOnlyOnAPseudoTerminalAndSaysOnceWhenIgnored) {
  ScopedLimits limits;
  Limits().handshakeMs = 50;
  Limits().firstAgentByteMs = 50;
  CMTKClass engine;
  engine.PrepareImages();
  std::string trace;
  engine.channel().SetLogSink([&](const char* text) { trace += text; });
  engine.channel().RequestTimeScale(100);

  PtyPair pty;  // the phone's end stays silent
  auto simulated = platform::OpenPortPath(pty.slave_path());
  ASSERT_NE(simulated, nullptr);
  EXPECT_EQ(PausesOn(engine, simulated.get()), 3000u / 100);
  EXPECT_EQ(trace.find("VANTREL_TIME_SCALE"), std::string::npos) << trace;

  FakeLink real;  // no pseudo-terminal: a real phone's port for all the plug-in can tell
  real.AllowUnscriptedWrites();
  EXPECT_EQ(PausesOn(engine, &real), 3000u);
  EXPECT_EQ(PausesOn(engine, &real), 3000u);
  const std::string note = "VANTREL_TIME_SCALE ignored: COM0 is not a pseudo-terminal";
  EXPECT_NE(trace.find(note), std::string::npos) << trace;
  EXPECT_EQ(trace.find(note), trace.rfind(note)) << "said more than once\n" << trace;
}

}  // namespace
}  // namespace vantrel::testing
