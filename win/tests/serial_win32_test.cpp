// The Windows serial port and the link primitives over a null-modem pair of
// COM ports: the code under test opens one end exactly as it opens a phone's
// port, the test plays the phone on the other.
#include <gtest/gtest.h>
#include <windows.h>

#include <thread>
#include <vector>

#include "link/link.h"
#include "link/serial.h"
#include "link/wait.h"
#include "platform/win32/serial_win32.h"
#include "win/tests/wine_ports.h"

namespace vantrel {
namespace {

using Bytes = std::vector<uint8_t>;
using testing::GetWinePorts;
using testing::kMissingPort;
using testing::WinePorts;

class SerialOverNullModem : public ::testing::Test {
 protected:
  void SetUp() override {
    ports_ = GetWinePorts();
    if (!ports_.has_pair()) GTEST_SKIP() << "no null-modem pair (run through win/run.sh)";
    ASSERT_EQ(OpenLinkPort(19200, ports_.a, &port_), kLinkOk);
    link_ = std::make_unique<Link>(port_.get());
    h_ = link_.get();
    ASSERT_EQ(OpenLinkPort(19200, ports_.b, &phone_), kLinkOk);
    phone_link_ = std::make_unique<Link>(phone_.get());
    ASSERT_EQ(LinkSetTimeouts(phone_link_.get(), 2000, 5000), 0);
  }
  void PhoneSends(const Bytes& b) { ASSERT_EQ(LinkWrite(phone_link_.get(), b.data(), b.size()), kLinkOk); }
  Bytes PhoneReceives(uint32_t n) {
    Bytes b(n);
    if (LinkReadAll(phone_link_.get(), b.data(), n) != kLinkOk) return {};
    return b;
  }

  WinePorts ports_;
  std::unique_ptr<platform::SerialPort> port_, phone_;
  std::unique_ptr<Link> link_, phone_link_;
  LinkHandle h_ = nullptr;
};

TEST_F(SerialOverNullModem, OpenLinkLeavesTheLineAt19200RawWithShortTimeouts) {
  namespace line = platform::line;
  platform::LineSettings s;
  ASSERT_TRUE(port_->GetLine(&s));
  EXPECT_EQ(s.baudRate, 19200u);
  EXPECT_EQ(s.byteSize, 8);
  EXPECT_EQ(s.parity, 0);
  EXPECT_EQ(s.stopBits, 0);
  EXPECT_EQ((s.flags & line::kDtrControlMask) >> line::kDtrControlShift, 1u) << "DTR raised";
  EXPECT_EQ((s.flags & line::kRtsControlMask) >> line::kRtsControlShift, 1u) << "RTS raised";
  EXPECT_EQ(s.flags & (line::kParity | line::kOutxCtsFlow | line::kOutxDsrFlow | line::kOutX |
                       line::kInX | line::kDsrSensitivity | line::kAbortOnError),
            0u);
  platform::Timeouts t = port_->GetTimeouts();  // read back from the system
  EXPECT_EQ(t.readInterval, 0u);
  EXPECT_EQ(t.readMultiplier, 1u);
  EXPECT_EQ(t.readConstant, 20u);
  EXPECT_EQ(t.writeMultiplier, 1u);
  EXPECT_EQ(t.writeConstant, 5000u);
  EXPECT_EQ(port_->InputQueued(), 0u);
}

TEST_F(SerialOverNullModem, ValuesTravelBigEndian) {
  EXPECT_EQ(LinkWrite16(h_, 0x1234), kLinkOk);
  EXPECT_EQ(LinkWrite32(h_, 0x40001400), kLinkOk);
  EXPECT_EQ(LinkWrite8(h_, 0x1A5), kLinkOk);
  EXPECT_EQ(PhoneReceives(7), (Bytes{0x12, 0x34, 0x40, 0x00, 0x14, 0x00, 0xA5}));

  PhoneSends({0x00, 0x00, 0x01, 0x02, 0xBE, 0xEF});
  ASSERT_EQ(LinkSetTimeouts(h_, 2000, 5000), 0);
  uint32_t v32 = 0;
  uint16_t v16 = 0;
  EXPECT_EQ(LinkRead32(h_, &v32), kLinkOk);
  EXPECT_EQ(v32, 258u);
  EXPECT_EQ(LinkRead16(h_, &v16), kLinkOk);
  EXPECT_EQ(v16, 0xBEEF);
}

TEST_F(SerialOverNullModem, SilenceIsNoDataAndAShortAnswerIsAnError) {
  uint8_t b = 0x66;
  EXPECT_EQ(LinkRead8(h_, &b), kLinkNoData);
  EXPECT_EQ(b, 0x66);
  ASSERT_EQ(LinkSetTimeouts(h_, 300, 5000), 0);
  PhoneSends({0x01});
  uint16_t v = 0x5555;
  EXPECT_EQ(LinkRead16(h_, &v), kLinkError) << "one byte of two";
  EXPECT_EQ(v, 0x5555);
  EXPECT_FALSE(LinkGone(h_)) << "a short answer is not a port gone";
}

TEST_F(SerialOverNullModem, ReadAllCollectsPiecesInOrder) {
  Bytes first(60), second(40);
  for (int i = 0; i < 60; ++i) first[i] = static_cast<uint8_t>(i);
  for (int i = 0; i < 40; ++i) second[i] = static_cast<uint8_t>(60 + i);
  ASSERT_EQ(LinkSetTimeouts(h_, 2000, 5000), 0);
  std::thread phone([&] {
    PhoneSends(first);
    Sleep(20);
    PhoneSends(second);
  });
  uint8_t buf[100] = {};
  EXPECT_EQ(LinkReadAll(h_, buf, 100), kLinkOk);
  phone.join();
  for (int i = 0; i < 100; ++i) ASSERT_EQ(buf[i], i);
}

TEST_F(SerialOverNullModem, AZeroLengthWriteWritesNothing) {
  uint8_t b = 0;
  EXPECT_EQ(LinkWrite(h_, &b, 0), kLinkNothingWritten);
  EXPECT_EQ(LinkWrite8(h_, 0x5A), kLinkOk);
  EXPECT_EQ(PhoneReceives(1), (Bytes{0x5A})) << "only the byte written after it";
}

TEST_F(SerialOverNullModem, AnOverlappedHandleServesTheSynchronousCallsToo) {
  port_.reset();
  platform::OpenError err = platform::OpenError::kFailed;
  auto ov = platform::OpenComPort(ports_.a, /*overlapped=*/true, &err);
  ASSERT_NE(ov, nullptr);
  EXPECT_EQ(err, platform::OpenError::kNone);
  Link ov_link(ov.get());
  ASSERT_EQ(LinkSetTimeouts(&ov_link, 2000, 5000), 0);
  EXPECT_EQ(LinkWrite32(&ov_link, 0xCAFEF00D), kLinkOk);
  EXPECT_EQ(PhoneReceives(4), (Bytes{0xCA, 0xFE, 0xF0, 0x0D}));
  PhoneSends({0x12, 0x34});
  uint16_t v = 0;
  EXPECT_EQ(LinkRead16(&ov_link, &v), kLinkOk);
  EXPECT_EQ(v, 0x1234);
}

TEST_F(SerialOverNullModem, APortReportedGoneFailsEveryCallAndEndsWaitsAtOnce) {
  auto* w = static_cast<platform::Win32SerialPort*>(port_.get());
  w->Fail(ERROR_GEN_FAILURE);  // what the driver says when the device has left
  EXPECT_TRUE(LinkGone(h_));
  uint8_t b = 0;
  EXPECT_EQ(LinkRead8(h_, &b), kLinkError);
  EXPECT_EQ(LinkWrite8(h_, 0xA0), kLinkError);
  EXPECT_EQ(LinkWaitByte(h_, &b, 30000), kLinkError);
  EXPECT_EQ(LinkSetTimeouts(h_, 20, 5000), kLinkError);
}

TEST(SerialPortNames, ComPortsAreTheDevicePaths) {
  EXPECT_EQ(platform::ComPortPath(40), "\\\\.\\COM40");
  EXPECT_EQ(platform::ComPortPath(7), "\\\\.\\COM7") << "no special case below 10";
}

TEST(SerialPortGone, OnlyDeviceLossErrorsMeanGone) {
  for (DWORD e : {ERROR_ACCESS_DENIED, ERROR_GEN_FAILURE, ERROR_BAD_COMMAND, ERROR_OPERATION_ABORTED})
    EXPECT_TRUE(platform::IsGoneError(e)) << e;
  for (DWORD e : {DWORD(ERROR_SUCCESS), DWORD(ERROR_FILE_NOT_FOUND), DWORD(ERROR_SEM_TIMEOUT),
                  DWORD(ERROR_IO_PENDING), DWORD(ERROR_NOT_SUPPORTED)})
    EXPECT_FALSE(platform::IsGoneError(e)) << e;
}

TEST(SerialPortOpen, MissingAndNonSerialPortsFail) {
  std::unique_ptr<platform::SerialPort> port;
  platform::OpenError err = platform::OpenError::kNone;
  EXPECT_EQ(platform::OpenComPort(kMissingPort, false, &err), nullptr);
  EXPECT_EQ(err, platform::OpenError::kAbsent);
  EXPECT_EQ(OpenLinkPort(19200, kMissingPort, &port), kLinkError);
  EXPECT_EQ(port, nullptr);

  WinePorts p = GetWinePorts();
  if (!p.not_a_port) GTEST_SKIP() << "no non-serial port prepared (run through win/run.sh)";
  // The device opens, but it has no line settings: configuring it fails, and
  // the handle is closed again rather than left held.
  EXPECT_EQ(OpenLinkPort(19200, p.not_a_port, &port), kLinkError);
  EXPECT_EQ(port, nullptr);
}

}  // namespace
}  // namespace vantrel
