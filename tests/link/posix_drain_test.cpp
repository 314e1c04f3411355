// The POSIX port's drain after a write is bounded by the write's time-out: a
// device that stays attached but stops taking data fails the write instead
// of holding the session for good. A pseudo-terminal always drains at once,
// so the driver's output queue is stood in for by a probe.
#include <gtest/gtest.h>
#include <fcntl.h>

#include <atomic>

#include "link/link.h"
#include "platform/clock.h"
#include "platform/posix/serial_posix.h"
#include "tests/support/pty_pair.h"

namespace vantrel::testing {
namespace {

std::atomic<int> g_probe_calls{0};

int NeverDrains(int) { return 64; }
int DrainsOnThirdLook(int) { return ++g_probe_calls >= 3 ? 0 : 64; }

std::unique_ptr<platform::SerialPort> Adopt(const testing::PtyPair& pty,
                                            platform::OutputQueueProbe probe) {
  int fd = ::open(pty.slave_path().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  EXPECT_GE(fd, 0);
  return platform::AdoptTty(fd, pty.slave_path(), probe);
}

TEST(PosixDrain, APortThatNeverDrainsFailsTheWriteAtItsDeadline) {
  testing::PtyPair pty;
  auto port = Adopt(pty, &NeverDrains);
  Link link(port.get());
  ASSERT_EQ(LinkSetTimeouts(&link, 20, 40), kLinkOk);
  const uint8_t bytes[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  const uint64_t start = platform::RealNowMs();
  EXPECT_EQ(LinkWrite(&link, bytes, sizeof bytes), kLinkError);
  const uint64_t spent = platform::RealNowMs() - start;
  EXPECT_GE(spent, 8u + 40u) << "the drain may use the whole write time-out (n + constant)";
  EXPECT_LT(spent, 5000u) << "but not wait beyond it";
  EXPECT_FALSE(port->Gone()) << "a stalled device is a failed write, not a vanished port";
  EXPECT_EQ(pty.Receive(8), std::vector<uint8_t>(bytes, bytes + 8));
}

TEST(PosixDrain, AQueueThatEmptiesInTimeCompletesTheWrite) {
  testing::PtyPair pty;
  g_probe_calls = 0;
  auto port = Adopt(pty, &DrainsOnThirdLook);
  Link link(port.get());
  ASSERT_EQ(LinkSetTimeouts(&link, 20, 5000), kLinkOk);
  EXPECT_EQ(LinkWrite8(&link, 0xA0), kLinkOk);
  EXPECT_EQ(g_probe_calls.load(), 3);
}

}  // namespace
}  // namespace vantrel::testing
