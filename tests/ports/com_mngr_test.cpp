// The port manager over a real pseudo-terminal.
#include <gtest/gtest.h>

#include "platform/clock.h"
#include "ports/com_driver.h"
#include "tests/support/pty_pair.h"

namespace vantrel::testing {
namespace {

using testing::PortDir;
using testing::PtyPair;

class ComMngrTest : public ::testing::Test {
 protected:
  ComMngrTest() : scope_(&clock_) { dir_.Link(40, pty_.slave_path()); }
  platform::ManualClock clock_;
  platform::ScopedClock scope_;
  PtyPair pty_;
  PortDir dir_;
  CComMngr m_;
};

TEST_F(ComMngrTest, OpenTwiceAndCloseTwice) {
  EXPECT_EQ(m_.Open(40), 1);
  EXPECT_EQ(m_.IsOpen(), 1);
  EXPECT_EQ(m_.Open(40), 1) << "already open: 1, nothing changes";
  EXPECT_EQ(m_.OpenPort(), 0) << "OpenPort on an open object";
  m_.ClosePort();
  EXPECT_EQ(m_.IsOpen(), 0);
  EXPECT_EQ(m_.GetHandle(), nullptr);
  m_.ClosePort();  // closed: nothing happens
  EXPECT_EQ(m_.IsOpen(), 0);
}

TEST_F(ComMngrTest, OpenConfiguresTheLine) {
  ASSERT_EQ(m_.Open(40), 1);
  EXPECT_EQ(m_.line().baudRate, 19200u);
  EXPECT_EQ(m_.line().byteSize, 8);
  EXPECT_EQ(m_.line().parity, 0);
  EXPECT_EQ(m_.line().flags & (platform::line::kOutX | platform::line::kInX |
                               platform::line::kOutxCtsFlow),
            0u);
  EXPECT_EQ(m_.SetBaudRate(115200), 1);
  EXPECT_EQ(m_.line().baudRate, 115200u);
}

TEST_F(ComMngrTest, MissingOrHeldPortsDoNotOpen) {
  EXPECT_EQ(m_.Open(41), 0);
  EXPECT_EQ(m_.IsOpen(), 0);
  CComMngr other;
  ASSERT_EQ(other.Open(40), 1);
  EXPECT_EQ(m_.Open(40), 0) << "held by another opener";
  other.ClosePort();
  EXPECT_EQ(m_.Open(40), 1);
}

TEST_F(ComMngrTest, ReadsReturnWhatIsQueuedAtOnce) {
  ASSERT_EQ(m_.Open(40), 1);
  uint8_t buf[16] = {};
  EXPECT_EQ(m_.Read(buf, sizeof buf), 0u) << "empty queue";
  pty_.Send({1, 2, 3, 4, 5, 6, 7, 8, 9, 10});
  for (int i = 0; i < 1000 && m_.GetHandle()->InputQueued() < 10; ++i) usleep(1000);
  EXPECT_EQ(m_.Read(buf, 4), 4u);
  EXPECT_EQ(buf[0], 1);
  EXPECT_EQ(buf[3], 4);
  EXPECT_EQ(m_.Read(buf, sizeof buf), 6u);
  EXPECT_EQ(buf[5], 10);
  EXPECT_EQ(m_.Write("\x5A\x69", 2), 1);
  EXPECT_EQ(pty_.Receive(2), (std::vector<uint8_t>{0x5A, 0x69}));
}

TEST_F(ComMngrTest, AVanishedDeviceClosesThePortByItself) {
  ASSERT_EQ(m_.Open(40), 1);
  pty_.HangUp();
  uint8_t buf[4];
  EXPECT_EQ(m_.Read(buf, sizeof buf), 0u);
  EXPECT_EQ(m_.IsOpen(), 0);
}

TEST_F(ComMngrTest, DtrHandshakeSendsNothing) {
  platform::LineSettings s;
  s.flags = 2u << platform::line::kDtrControlShift;
  m_.set_line_for_test(s);
  EXPECT_EQ(m_.SetDtr(true), 2);
  s.flags = 0;
  m_.set_line_for_test(s);
  EXPECT_EQ(m_.SetDtr(true), 0);
}

TEST_F(ComMngrTest, PresenceQueriesAgreeAndValidateAcceptsAnything) {
  for (uint8_t n : {5, 40, 255}) EXPECT_EQ(m_.IsPortPresent(n), 1 - m_.IsPortAbsent(n));
  EXPECT_EQ(m_.Validate(0), 1);
  EXPECT_EQ(m_.Validate(0xFFFFFFFF), 1);
}

}  // namespace
}  // namespace vantrel::testing
