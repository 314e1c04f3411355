// The link primitives and the port opening over a real pseudo-terminal, with
// the test playing the phone on the master end.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <string>
#include <thread>

#include "link/link.h"
#include "link/serial.h"
#include "link/wait.h"
#include "platform/serial_port.h"
#include "tests/support/pty_pair.h"

namespace vantrel::testing {
namespace {

using testing::PortDir;
using testing::PtyPair;
using Bytes = std::vector<uint8_t>;

class LinkOverPty : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_.Link(40, pty_.slave_path());
    ASSERT_EQ(OpenLinkPort(19200, 40, &port_), 0);
    link_ = std::make_unique<Link>(port_.get());
    h_ = link_.get();
  }
  PtyPair pty_;
  PortDir dir_;
  std::unique_ptr<platform::SerialPort> port_;
  std::unique_ptr<Link> link_;
  LinkHandle h_ = nullptr;
};

TEST_F(LinkOverPty, ValuesGoOutBigEndianInOneWrite) {
  EXPECT_EQ(LinkWrite16(h_, 0x1234), kLinkOk);
  EXPECT_EQ(LinkWrite32(h_, 0x40001400), kLinkOk);
  EXPECT_EQ(LinkWrite8(h_, 0x1A5), kLinkOk);  // only the low 8 bits
  EXPECT_EQ(pty_.Receive(7), (Bytes{0x12, 0x34, 0x40, 0x00, 0x14, 0x00, 0xA5}));
}

TEST_F(LinkOverPty, ValuesAreAssembledBigEndian) {
  pty_.Send({0x00, 0x00, 0x01, 0x02, 0xBE, 0xEF, 0x7F});
  uint32_t v32 = 0;
  uint16_t v16 = 0;
  uint8_t v8 = 0;
  EXPECT_EQ(LinkRead32(h_, &v32), kLinkOk);
  EXPECT_EQ(v32, 258u);
  EXPECT_EQ(LinkRead16(h_, &v16), kLinkOk);
  EXPECT_EQ(v16, 0xBEEF);
  EXPECT_EQ(LinkRead8(h_, &v8), kLinkOk);
  EXPECT_EQ(v8, 0x7F);
}

TEST_F(LinkOverPty, AValueSplitAcrossDeliveriesIsReadWhole) {
  ASSERT_EQ(LinkSetTimeouts(h_, 2000, 5000), 0);
  std::thread phone([&] {
    pty_.Send({0xDE, 0xAD});
    usleep(20000);
    pty_.Send({0xBE, 0xEF});
  });
  uint32_t v = 0;
  EXPECT_EQ(LinkRead32(h_, &v), kLinkOk);
  phone.join();
  EXPECT_EQ(v, 0xDEADBEEFu);
}

TEST_F(LinkOverPty, ShortAndSilentReads) {
  uint16_t v = 0x5555;
  pty_.Send({0x01});
  EXPECT_EQ(LinkRead16(h_, &v), kLinkError) << "one byte of two is a short answer";
  EXPECT_EQ(v, 0x5555) << "the out value stays untouched";
  uint8_t b = 0x66;
  EXPECT_EQ(LinkRead8(h_, &b), kLinkNoData) << "silence until the time-out";
  EXPECT_EQ(b, 0x66);
}

TEST_F(LinkOverPty, ReadAllCollectsPiecesAndStopsWhenThePeerDoes) {
  uint8_t buf[100] = {};
  EXPECT_EQ(LinkReadAll(h_, buf, 0), kLinkNoData) << "a length of 0 reads nothing";
  Bytes first(60), second(40);
  for (int i = 0; i < 60; ++i) first[i] = static_cast<uint8_t>(i);
  for (int i = 0; i < 40; ++i) second[i] = static_cast<uint8_t>(60 + i);
  std::thread phone([&] {
    pty_.Send(first);
    usleep(5000);
    pty_.Send(second);
  });
  ASSERT_EQ(LinkSetTimeouts(h_, 1000, 5000), 0);
  EXPECT_EQ(LinkReadAll(h_, buf, 100), kLinkOk);
  phone.join();
  for (int i = 0; i < 100; ++i) ASSERT_EQ(buf[i], i);

  ASSERT_EQ(LinkSetTimeouts(h_, 20, 5000), 0);
  pty_.Send(first);
  EXPECT_EQ(LinkReadAll(h_, buf, 100), kLinkNoData) << "the target stopped after 60 bytes";
}

TEST_F(LinkOverPty, ZeroLengthWriteWritesNothing) {
  uint8_t b = 0;
  EXPECT_EQ(LinkWrite(h_, &b, 0), kLinkNothingWritten);
  EXPECT_TRUE(pty_.Drain(20).empty());
}

TEST_F(LinkOverPty, AHungUpPortFailsAtOnceAndEndsWaits) {
  pty_.HangUp();
  uint8_t b = 0;
  EXPECT_EQ(LinkRead8(h_, &b), kLinkError);
  EXPECT_TRUE(LinkGone(h_));
  EXPECT_EQ(LinkWrite8(h_, 0xA0), kLinkError);
  // A 30-second budget ends at the first failed read, not after 30 s.
  EXPECT_EQ(LinkWaitByte(h_, &b, 30000), kLinkError);
}

TEST_F(LinkOverPty, OpenLinkLeavesTheLineRawAt19200WithShortTimeouts) {
  termios tio{};
  int fd = ::open(pty_.slave_path().c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::tcgetattr(fd, &tio), 0);
  ::close(fd);
  EXPECT_EQ(cfgetospeed(&tio), B19200);
  EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_FALSE(tio.c_cflag & PARENB);
  EXPECT_FALSE(tio.c_cflag & CSTOPB);
  EXPECT_FALSE(tio.c_cflag & CRTSCTS);
  EXPECT_FALSE(tio.c_iflag & (IXON | IXOFF));
  EXPECT_FALSE(tio.c_lflag & (ECHO | ICANON));
  platform::Timeouts t = port_->GetTimeouts();
  EXPECT_EQ(t.readConstant, 20u);
  EXPECT_EQ(t.readMultiplier, 1u);
  EXPECT_EQ(t.writeConstant, 5000u);
  EXPECT_EQ(t.writeMultiplier, 1u);
  EXPECT_EQ(port_->InputQueued(), 0u);
}

TEST(OpenLink, MissingDanglingAndHeldPortsFail) {
  PortDir dir;
  std::unique_ptr<platform::SerialPort> port;
  EXPECT_EQ(OpenLinkPort(19200, 40, &port), kLinkError) << "no link at all";
  EXPECT_EQ(port, nullptr);
  dir.Link(41, "/dev/pts/does-not-exist");
  EXPECT_EQ(OpenLinkPort(19200, 41, &port), kLinkError) << "a dangling link is an absent port";

  PtyPair pty;
  dir.Link(7, pty.slave_path());  // ports below 10 open the same way
  std::unique_ptr<platform::SerialPort> first;
  ASSERT_EQ(OpenLinkPort(19200, 7, &first), kLinkOk);
  EXPECT_EQ(OpenLinkPort(19200, 7, &port), kLinkError) << "held by another opener";
  first.reset();
  EXPECT_EQ(OpenLinkPort(19200, 7, &port), kLinkOk) << "released when the holder closes";
}

TEST(LinkLog, KeepsTheFirst511CharactersAndPrintsThemUnchanged) {
  std::string long_text(600, 'x');
  Link bare(nullptr);  // a link without a channel of the session's: standard output
  ::testing::internal::CaptureStdout();
  LinkLog(&bare, "%s", long_text.c_str());
  LinkLog(&bare, "100%% done\n");
  std::string out = ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(out, std::string(511, 'x') + "100% done\n");

  // A session's channel with a sink of its own gets the same text, and
  // standard output nothing.
  Channel ch;
  std::string seen;
  ch.SetLogSink([&](const char* text) { seen += text; });
  Link routed(nullptr, &ch);
  ::testing::internal::CaptureStdout();
  LinkLog(&routed, "%s", long_text.c_str());
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(seen, std::string(511, 'x'));
}

}  // namespace
}  // namespace vantrel::testing
