// The Linux scan: tty devices from a test's device database or from udev,
// numbered through a real port directory, found by the port manager.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>

#include "platform/posix/device_db_udev.h"
#include "ports/com_driver.h"
#include "tests/ports/fake_device_db.h"
#include "tests/support/pty_pair.h"

namespace vantrel::testing {
namespace {

using testing::FakeTtyDb;
using testing::PortDir;
using testing::PtyPair;

platform::TtyDevice Tty(const std::string& node, std::map<std::string, std::string> props) {
  return {node, std::move(props)};
}

class TtyScan : public ::testing::Test {
 protected:
  TtyScan() : scope_(&db_) {
    dir_.Link(41, phone_.slave_path());
    dir_.Link(40, "/nonexistent/tty");  // dangling: an absent port
    db_.devices = {
        Tty(phone_.slave_path(), {{kFriendlyNameProperty, "QVE Mobile USB Serial Port #1"}, {"ID_BUS", "usb"}}),
        Tty("/dev/ttyUSB7", {{"ID_VENDOR", "Maker"}, {"ID_MODEL", "USB-Serial_Cable"}, {"ID_BUS", "usb"}}),
        Tty("/dev/ttyS0", {}),
    };
  }
  PtyPair phone_;
  PortDir dir_;
  FakeTtyDb db_;
  platform::ScopedDeviceDatabase scope_;
};

TEST_F(TtyScan, PortNumbersComeFromThePortDirectory) {
  std::vector<SSerInfo> v;
  ScanPorts(platform::GetDeviceDatabase(), v, false);
  ASSERT_EQ(v.size(), 3u);
  EXPECT_EQ(v[0].portName, "COM41");
  EXPECT_EQ(v[0].portNumber, 41);
  EXPECT_EQ(v[0].devicePath, phone_.slave_path());
  EXPECT_EQ(v[0].usb, 1);
  EXPECT_EQ(v[1].friendlyName, "Maker USB-Serial_Cable") << "no rule: udev's vendor and model";
  EXPECT_EQ(v[1].portNumber, 0) << "not linked";
  EXPECT_EQ(v[2].friendlyName, "");
  EXPECT_EQ(v[2].usb, 0);

  EnumeratePorts(v, false, false, true);
  ASSERT_EQ(v.size(), 1u);
  EXPECT_EQ(v[0].displayName, "QVE Mobile USB Serial Port");
}

TEST_F(TtyScan, ThePortManagerFindsThePhonePort) {
  CComMngr m;
  EXPECT_EQ(m.IsPortPresent(41), 1);
  EXPECT_EQ(m.IsPortAbsent(41), 0);
  EXPECT_EQ(m.IsPortPresent(40), 0) << "the dangling link leads to no device";
  dir_.Unlink(41);  // unplugged: the next query scans again
  EXPECT_EQ(m.IsPortPresent(41), 0);
}

TEST_F(TtyScan, CheckOpenRemovesAPortAnotherProgramHolds) {
  std::vector<SSerInfo> v;
  EnumeratePorts(v, true, false, true);
  ASSERT_EQ(v.size(), 1u) << "free: kept";
  CComMngr holder;
  ASSERT_EQ(holder.Open(41), 1);
  EnumeratePorts(v, true, false, true);
  EXPECT_TRUE(v.empty());
}

TEST_F(TtyScan, AFailedListingReachesTheCaller) {
  db_.fail = "udev could not list the tty devices";
  CComMngr m;
  try {
    m.IsPortPresent(41);
    ADD_FAILURE() << "no exception";
  } catch (const PortScanError& e) {
    EXPECT_STREQ(e.what(), "Could not list the serial ports: udev could not list the tty devices.");
  }
}

TEST(UdevScan, ListsThisMachineAndSkipsVanishedDevices) {
  std::vector<SSerInfo> v;
  EXPECT_NO_THROW(ScanPorts(platform::SystemDeviceDatabase(), v, false));
  for (const auto& e : v) EXPECT_EQ(e.devicePath.rfind("/dev/", 0), 0u) << e.devicePath;
  platform::TtyDevice d;
  EXPECT_FALSE(platform::ReadUdevTty("/sys/devices/pnp0/gone/tty/ttyS99", &d));
  EXPECT_FALSE(platform::ReadUdevTty("/sys/devices/virtual/tty/tty1", &d)) << "a virtual terminal";
}

TEST(PortsCommand, AllListsTheSerialPortsWithAHint) {
  const char* bin = std::getenv("VANTREL_TEST_BIN");
  if (!bin) GTEST_SKIP() << "VANTREL_TEST_BIN not set";
  const std::string cmd = std::string(bin) + "/vantrel ports --all 2>&1";
  FILE* p = popen(cmd.c_str(), "r");
  ASSERT_NE(p, nullptr);
  std::string out;
  char buf[512];
  while (size_t n = fread(buf, 1, sizeof buf, p)) out.append(buf, n);
  const int rc = pclose(p);
  if (rc != 0 && out.find("not found") != std::string::npos) GTEST_SKIP() << "vantrel not built";
  EXPECT_EQ(WEXITSTATUS(rc), 0) << out;
  EXPECT_NE(out.find("serial port(s) on this machine"), std::string::npos) << out;
  EXPECT_NE(out.find("no phone port"), std::string::npos) << "this machine has no phone: the hint\n" << out;
}

}  // namespace
}  // namespace vantrel::testing
