// The port manager's overlapped I/O on Windows, over a null-modem pair of COM
// ports: the manager opens one end, the test plays the device on the other.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>

#include "link/link.h"
#include "link/serial.h"
#include "platform/clock.h"
#include "platform/win32/serial_win32.h"
#include "ports/com_driver.h"
#include "win/tests/wine_ports.h"

namespace vantrel {
namespace {

using testing::GetWinePorts;
using testing::kMissingPort;
using testing::WinePorts;

HANDLE NativeOf(CComMngr& m) {
  return static_cast<platform::Win32SerialPort*>(m.GetHandle())->handle();
}

class ComMngrWin32 : public ::testing::Test {
 protected:
  ComMngrWin32() : scope_(&clock_) {}
  void SetUp() override {
    ports_ = GetWinePorts();
    if (!ports_.has_pair()) GTEST_SKIP() << "no null-modem pair (run through win/run.sh)";
    ASSERT_EQ(OpenLinkPort(19200, ports_.b, &device_), kLinkOk);
    device_link_ = std::make_unique<Link>(device_.get());
    ASSERT_EQ(LinkSetTimeouts(device_link_.get(), 2000, 5000), 0);
  }
  void TearDown() override { m_.ClosePort(); }
  // Waits (in real time, bounded) until the manager's input queue holds n bytes.
  bool Queued(uint32_t n) {
    for (int i = 0; i < 200; ++i) {
      DWORD errors = 0;
      COMSTAT stat{};
      if (ClearCommError(NativeOf(m_), &errors, &stat) && stat.cbInQue >= n) return true;
      Sleep(10);
    }
    return false;
  }

  platform::ManualClock clock_;  // the manager's own pauses take no real time
  platform::ScopedClock scope_;
  WinePorts ports_;
  std::unique_ptr<platform::SerialPort> device_;
  std::unique_ptr<Link> device_link_;
  CComMngr m_;
};

TEST_F(ComMngrWin32, OpenTwiceAndCloseTwice) {
  EXPECT_EQ(m_.Open(ports_.a), 1);
  EXPECT_EQ(m_.IsOpen(), 1);
  EXPECT_EQ(m_.port_number(), ports_.a);
  EXPECT_EQ(m_.Open(ports_.a), 1) << "already open: 1, nothing changes";
  EXPECT_EQ(m_.OpenPort(), 0) << "OpenPort on an open object";
  m_.ClosePort();
  EXPECT_EQ(m_.IsOpen(), 0);
  EXPECT_EQ(m_.GetHandle(), nullptr);
  m_.ClosePort();
  EXPECT_EQ(m_.IsOpen(), 0);
  EXPECT_EQ(m_.Open(ports_.a), 1) << "a closed manager opens again";
}

TEST_F(ComMngrWin32, OpenSetsTheLineQueuesAndTimeouts) {
  ASSERT_EQ(m_.Open(ports_.a), 1);
  DCB d{};
  d.DCBlength = sizeof d;
  ASSERT_TRUE(GetCommState(NativeOf(m_), &d));
  EXPECT_EQ(d.BaudRate, 19200u);
  EXPECT_EQ(d.ByteSize, 8);
  EXPECT_EQ(d.Parity, NOPARITY);
  EXPECT_EQ(d.StopBits, ONESTOPBIT);
  EXPECT_EQ(d.fOutxCtsFlow, 0u);
  EXPECT_EQ(d.fOutxDsrFlow, 0u);
  EXPECT_EQ(d.fOutX, 0u);
  EXPECT_EQ(d.fInX, 0u);
  EXPECT_EQ(d.fDtrControl, static_cast<DWORD>(DTR_CONTROL_ENABLE));
  EXPECT_EQ(d.fRtsControl, static_cast<DWORD>(RTS_CONTROL_ENABLE));
  EXPECT_EQ(m_.line().flags & 0x5013u, 0x5013u) << "binary, parity check, abort on error, DTR, RTS";
  EXPECT_EQ(m_.line().flags & ~0xFFFFDCD3u & ~0x5013u, 0u) << "flow-control bits cleared";
  COMMTIMEOUTS t{};
  ASSERT_TRUE(GetCommTimeouts(NativeOf(m_), &t));
  EXPECT_EQ(t.ReadIntervalTimeout, MAXDWORD) << "reads return at once with what is queued";
  EXPECT_EQ(t.ReadTotalTimeoutMultiplier, 0u);
  EXPECT_EQ(t.ReadTotalTimeoutConstant, 0u);
  EXPECT_EQ(t.WriteTotalTimeoutConstant, 10000u);

  EXPECT_EQ(m_.SetBaudRate(115200), 1);
  ASSERT_TRUE(GetCommState(NativeOf(m_), &d));
  EXPECT_EQ(d.BaudRate, 115200u);
  EXPECT_EQ(m_.line().baudRate, 115200u);
}

TEST_F(ComMngrWin32, ReadTakesOnlyWhatIsQueued) {
  ASSERT_EQ(m_.Open(ports_.a), 1);
  char buf[16] = {};
  EXPECT_EQ(m_.Read(buf, sizeof buf), 0u) << "an empty queue reads nothing";
  ASSERT_EQ(LinkWrite(device_link_.get(), reinterpret_cast<const uint8_t*>("0123456789"), 10), kLinkOk);
  ASSERT_TRUE(Queued(10));
  EXPECT_EQ(m_.Read(buf, 4), 4u) << "capacity 4 of 10 queued";
  EXPECT_EQ(std::memcmp(buf, "0123", 4), 0);
  EXPECT_EQ(m_.Read(buf, sizeof buf), 6u);
  EXPECT_EQ(std::memcmp(buf, "456789", 6), 0);
  EXPECT_EQ(m_.IsOpen(), 1);
}

TEST_F(ComMngrWin32, WriteReachesTheDevice) {
  ASSERT_EQ(m_.Open(ports_.a), 1);
  EXPECT_NE(m_.Write("ping", 4), 0);
  uint8_t got[4] = {};
  EXPECT_EQ(LinkReadAll(device_link_.get(), got, 4), kLinkOk);
  EXPECT_EQ(std::memcmp(got, "ping", 4), 0);
  EXPECT_EQ(m_.PurgeAll(), 1);
  EXPECT_EQ(m_.PurgeRx(), 1);
}

TEST_F(ComMngrWin32, DtrUnderHandshakeIsLeftToTheDriver) {
  ASSERT_EQ(m_.Open(ports_.a), 1);
  platform::LineSettings s = m_.line();
  s.flags = (s.flags & ~platform::line::kDtrControlMask) | (2u << platform::line::kDtrControlShift);
  m_.set_line_for_test(s);
  EXPECT_EQ(m_.SetDtr(true), 2);
  s.flags &= ~platform::line::kDtrControlMask;
  m_.set_line_for_test(s);
  EXPECT_EQ(m_.SetDtr(true), 0);
}

TEST(ComMngrWin32Closed, MissingOrNonSerialPortsDoNotOpen) {
  CComMngr m;
  EXPECT_EQ(m.Open(kMissingPort), 0);
  EXPECT_EQ(m.IsOpen(), 0);
  EXPECT_EQ(m.GetHandle(), nullptr);
  WinePorts p = GetWinePorts();
  if (p.not_a_port) {
    EXPECT_EQ(m.Open(p.not_a_port), 0) << "no event mask on a device that is not a serial line";
    EXPECT_EQ(m.IsOpen(), 0);
    EXPECT_EQ(m.GetHandle(), nullptr) << "a failed open leaves no handle open";
  }
}

TEST(ComMngrWin32Closed, OperationsOnAClosedManagerFail) {
  CComMngr m;
  char buf[4];
  EXPECT_EQ(m.Read(buf, sizeof buf), 0u);
  EXPECT_EQ(m.Write("x", 1), 0);
  EXPECT_EQ(m.PurgeRx(), 0);
  EXPECT_EQ(m.PurgeAll(), 0);
  EXPECT_EQ(m.SetBaudRate(19200), 0);
  EXPECT_EQ(m.Validate(0xDEADBEEF), 1);
  EXPECT_EQ(m.IsPortPresent(5), m.IsPortAbsent(5) ? 0 : 1);
}

}  // namespace
}  // namespace vantrel
