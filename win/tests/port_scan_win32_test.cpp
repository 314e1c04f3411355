// The port scan against Wine's real SetupAPI and registry: it runs to the
// end without throwing, with every option, and the presence queries answer.
#include <gtest/gtest.h>

#include "ports/com_driver.h"
#include "ports/port_scan.h"

namespace vantrel {
namespace {

TEST(PortScanWin32, RunsAgainstTheSystemsDeviceDatabase) {
  for (bool modem : {false, true})
    for (bool check_open : {false, true}) {
      std::vector<SSerInfo> v(1);  // cleared first
      EXPECT_NO_THROW(EnumeratePorts(v, check_open, modem, true)) << modem << check_open;
      for (const auto& e : v) EXPECT_TRUE(IsPhoneName(e.friendlyName)) << e.friendlyName;
    }
  std::vector<SSerInfo> raw;
  EXPECT_NO_THROW(ScanPorts(platform::SystemDeviceDatabase(), raw, false));
  platform::OsVersion ver;
  ver.sizeField = 148;
  ASSERT_TRUE(platform::SystemDeviceDatabase().Windows()->QueryVersion(&ver));
  EXPECT_GE(ver.major, 5u) << "Wine answers as a Windows with device interfaces";
}

TEST(PortScanWin32, PresenceQueriesAgree) {
  CComMngr m;
  for (uint8_t n : {5, 40, 41})
    EXPECT_EQ(m.IsPortPresent(n), 1 - m.IsPortAbsent(n)) << int(n);
}

}  // namespace
}  // namespace vantrel
