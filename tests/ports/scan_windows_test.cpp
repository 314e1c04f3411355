// The Windows scans and the classification over the in-memory device database.
#include <gtest/gtest.h>

#include "ports/port_scan.h"
#include "tests/ports/fake_device_db.h"

namespace vantrel::testing {
namespace {

using testing::FakeDevice;
using testing::FakeKey;
using testing::FakeWinDb;

SSerInfo Entry(const std::string& friendly, const std::string& port = "COM5") {
  SSerInfo e;
  e.portName = port;
  e.devicePath = "\\\\.\\" + port;
  e.friendlyName = friendly;
  e.portNumber = ParseComNumber(port);
  return e;
}

std::vector<std::string> Friendly(const std::vector<SSerInfo>& v) {
  std::vector<std::string> out;
  for (const auto& e : v) out.push_back(e.friendlyName);
  return out;
}

// Every handle given out came back, none twice, and only the right
// arguments were passed.
void ExpectReleased(const FakeWinDb& db) {
  EXPECT_EQ(db.lists_open, 0);
  EXPECT_EQ(db.keys_open, 0);
  EXPECT_EQ(db.bad_handles, 0);
  EXPECT_EQ(db.bad_args, std::vector<std::string>{});
}

std::string ScanMessage(FakeWinDb& db, std::vector<SSerInfo>& ports) {
  try {
    EnumeratePorts(db, ports, false, false, false);
  } catch (const PortScanError& e) {
    return e.what();
  }
  return "(no exception)";
}

TEST(Classification, KeepsPhonePortsByTheirFriendlyNames) {
  std::vector<SSerInfo> v = {
      Entry("QVE Mobile USB Serial Port #2"),
      Entry("USB QVE Mobile USB Modem"),  // a phone name, but not at the start
      Entry("FOMA SA700i"),
      Entry("FOMA SA700i OBEX Port"),
      Entry("qualcomm HS-USB Diag"),
      Entry("Qualcomm HS-USB Diag 6000"),
      Entry("FOMA L704i"),
      Entry("QVE CDMA USB Modem"),
      Entry(""),
      Entry("Communications Port"),
  };
  v[7].displayName = "kept as given";
  ClassifyPorts(v, false);
  EXPECT_EQ(Friendly(v), (std::vector<std::string>{"QVE Mobile USB Serial Port #2", "FOMA SA700i OBEX Port",
                                                    "Qualcomm HS-USB Diag 6000", "FOMA L704i",
                                                    "QVE CDMA USB Modem"}));
  EXPECT_EQ(v[0].displayName, "QVE Mobile USB Serial Port");
  EXPECT_EQ(v[1].displayName, "FOMA SA700i OBEX Port");
  EXPECT_EQ(v[4].displayName, "kept as given");
}

TEST(Classification, CheckOpenRemovesPortsThatDoNotOpen) {
  std::vector<SSerInfo> v = {Entry("QVE Mobile USB Modem", "COM9")};
  v[0].devicePath = "/nonexistent/tty";
  ClassifyPorts(v, true);
  EXPECT_TRUE(v.empty());
}

TEST(Classification, PortNumbersAreTheLowEightBitsOfComN) {
  EXPECT_EQ(ParseComNumber("COM300"), 44);
  EXPECT_EQ(ParseComNumber("COM7"), 7);
  EXPECT_EQ(ParseComNumber("COM 41"), 41);
  EXPECT_EQ(ParseComNumber("COM99999"), 99999 & 0xFF);
  EXPECT_EQ(ParseComNumber("COM9999999999999999999"), 9999999999999999999ull % 256) << "wraps, no overflow";
  for (const char* bad : {"", "COM", "COMX1", "USB_SERIAL", "LPT1", "com5"})
    EXPECT_EQ(ParseComNumber(bad), 0) << bad;
}

TEST(WindowsScan, TheVersionPicksTheScan) {
  FakeWinDb db;
  db.devices.push_back({false, "QVE Mobile USB Modem", "\\Device\\0001", "USB", std::string("COM9\0", 5)});
  db.hklm.Sub("Enum").Sub("QVATCR").Sub("MODEM").Sub("0000").Str("PORTNAME", "COM3").Str(
      "FRIENDLYNAME", "QVE CDMA USB Modem");
  std::vector<SSerInfo> v;
  EnumeratePorts(db, v, false, false, false);
  ASSERT_EQ(v.size(), 1u) << "Windows 2000 and later: device interfaces";
  EXPECT_EQ(v[0].portNumber, 9);

  db.version.major = 4;  // NT 4: the numbered scan, which has no friendly names
  std::vector<SSerInfo> numbered;
  ScanNumbered(numbered);
  ASSERT_EQ(numbered.size(), 256u);
  EXPECT_EQ(numbered[255].devicePath, "\\\\.\\COM256");
  EnumeratePorts(db, v, false, false, true);
  EXPECT_TRUE(v.empty());

  db.version.platformId = 1;  // the 9x family: the legacy registry
  EnumeratePorts(db, v, false, false, true);
  ASSERT_EQ(v.size(), 1u);
  EXPECT_EQ(v[0].portName, "COM3");
  ExpectReleased(db);
}

TEST(WindowsScan, DeviceInterfacesQualifyByTheirProperties) {
  FakeWinDb db;
  const std::string nul(1, '\0');
  db.devices = {
      {false, "QVE Mobile USB Serial Port #2", "\\Device\\1", "USB port 2", "COM300" + nul},
      {false, std::nullopt, "\\Device\\2", "USB", "COM11" + nul},           // no description
      {false, "QVE Mobile USB Modem", std::nullopt, "USB", "COM12" + nul},   // no device object
      {false, "QVE Mobile USB Modem", "\\Device\\4", "PCI bus", "COM1234" + nul},  // name too long
      {false, "QVE Mobile USB Modem", "\\Device\\5", std::nullopt, "COM4567"},     // fills 7 bytes, no NUL
      {false, "QVE Mobile USB Modem", "\\Device\\6", "USB", std::nullopt},          // no portname
      {false, "QVE Mobile USB Modem", "\\Device\\7", "USB", "COM8" + nul, false},   // key does not open
      {true, "QVE Mobile USB Modem", "\\Device\\8", "USB", "COM20" + nul},          // modem class
  };
  std::vector<SSerInfo> v;
  ScanDeviceInterfaces(db, v, false);
  ASSERT_EQ(v.size(), 5u);
  EXPECT_EQ(v[0].devicePath, "\\\\.\\COM300");
  EXPECT_EQ(v[0].portNumber, 44);
  EXPECT_EQ(v[0].usb, 1);
  EXPECT_EQ(v[0].displayName, "") << "filled in by the classification";
  EXPECT_EQ(v[1].portName, "");
  EXPECT_EQ(v[1].devicePath, "\\\\.\\");
  EXPECT_EQ(v[1].usb, 0);
  EXPECT_EQ(v[2].portName, "COM4567");
  EXPECT_EQ(v[2].portNumber, 4567 & 0xFF);
  EXPECT_EQ(v[3].portNumber, 0);
  EXPECT_EQ(v[4].portName, "");
  ExpectReleased(db);

  v.clear();
  ScanDeviceInterfaces(db, v, true);
  ASSERT_EQ(v.size(), 1u);
  EXPECT_EQ(v[0].portName, "COM20");
}

TEST(WindowsScan, ThousandsOfDevices) {
  FakeWinDb db;
  for (int i = 0; i < 5000; ++i)
    db.devices.push_back({false, i % 2 ? "QVE Mobile USB Modem" : "Communications Port", "\\Device\\x", "USB",
                          "COM" + std::to_string(i % 1000) + std::string(1, '\0')});
  std::vector<SSerInfo> v;
  EnumeratePorts(db, v, false, false, false);
  EXPECT_EQ(v.size(), 2500u);
  EXPECT_EQ(db.max_keys_open, 1) << "each device key is closed before the next opens";
  ExpectReleased(db);
}

TEST(WindowsScan, EachFailureHasItsMessageAndReleasesEverything) {
  struct Case {
    FakeWinDb::Failure FakeWinDb::*which;
    uint32_t error, at;
    const char* message;
    size_t kept;  // entries appended before the failure
  } cases[] = {
      {&FakeWinDb::fail_version, 0x1F, 0, "Could not get OS version. (err=1f)", 0},
      {&FakeWinDb::fail_class_devs, 0xE000020B, 0, "SetupDiGetClassDevs failed. (err=e000020b)", 0},
      {&FakeWinDb::fail_enum, 0x57, 1, "SetupDiEnumDeviceInterfaces failed. (err=57)", 1},
      {&FakeWinDb::fail_detail, 0x7A, 1, "SetupDiGetDeviceInterfaceDetail failed. (err=7a)", 1},
  };
  for (const Case& c : cases) {
    FakeWinDb db;
    for (int i = 0; i < 3; ++i)
      db.devices.push_back({false, "QVE Mobile USB Modem", "\\Device\\x", "USB", std::string("COM5\0", 5)});
    db.*c.which = {true, c.error, c.at};
    std::vector<SSerInfo> v;
    EXPECT_EQ(ScanMessage(db, v), c.message);
    EXPECT_EQ(v.size(), c.kept) << c.message;
    ExpectReleased(db);
  }
}

// A 9x registry: serial ports, converter cables, CR ports with upper devices.
FakeWinDb LegacyDb() {
  FakeWinDb db;
  db.version = {148, 4, 10, 1998, 1};
  FakeKey& e = db.hklm.Sub("Enum");
  e.Sub("ROOT").Sub("*PNP0501").Sub("0000").Str("PORTNAME", "COM7").Str("FRIENDLYNAME", "Communications Port");
  e.Sub("ROOT").Sub("*PNP0501").Sub("0001").Str("FRIENDLYNAME", "no port name: skipped");
  e.Sub("QVATCR").Sub("MODEM").Sub("0000").Str("PORTNAME", "COM7").Str("FRIENDLYNAME", "").Str(
      "DeviceDesc", "QVE CDMA USB Modem");  // merges into the COM7 above
  e.Sub("USBPORTS").Sub("ANY").Sub("0000").Str("PORTNAME", "COM8").Str("FRIENDLYNAME", "QVE Mobile USB Serial Port");
  e.Sub("USB").Sub("QVMODEM").Sub("0000").Str("PORTNAME", "COM9").Str("FRIENDLYNAME", "QVE Mobile USB Modem");
  e.Sub("USB").Sub("VID_0403&PID_6001").Sub("0000").Str("DeviceDesc", "FOMA L cable");
  e.Sub("USB").Sub("VID_0403&PID_6001").Sub("0001").Str("PORTNAME", "COM99");  // no description: skipped
  e.Sub("USB").Sub("VID_1234&PID_0001").Sub("0000").Str("PORTNAME", "COM10").Str("FRIENDLYNAME", "QVE CDMA USB Modem");
  FakeKey& cr = e.Sub("P200CR").Sub("DEV");
  cr.Sub("0000").Str("PORTNAME", "COM20").Str("CRUpperDeviceId", "usb\\up_1").Str("FRIENDLYNAME", "FOMA L one").Str(
      "DeviceDesc", "never used");
  cr.Sub("0001").Str("PORTNAME", "COM21").Str("CRUpperDeviceId", "USB\\UP_2").Str("FRIENDLYNAME", "FOMA L two");
  cr.Sub("0002").Str("PORTNAME", "COM22").Str("FRIENDLYNAME", "FOMA L three");  // no upper device
  e.Sub("P8XXCR").Sub("DEV").Sub("0000").Str("PORTNAME", "COM23").Str("CRUpperDeviceId", "USB\\UP_1").Str(
      "DeviceDesc", "QVE Mobile USB Modem");  // CR: no DeviceDesc fallback
  FakeKey& active = db.dyn_data.Sub("Config Manager").Sub("Enum");
  active.Sub("C29A0000").Str("HardWareKey", "ROOT\\*PNP0501\\0000");
  active.Sub("C29A0001").Str("HardWareKey", "USB\\UP_1");
  return db;
}

TEST(LegacyScan, ReadsMergesAndChecksUpperDevices) {
  FakeWinDb db = LegacyDb();
  std::vector<SSerInfo> v;
  ScanLegacyRegistry(db, v);
  ExpectReleased(db);
  ASSERT_EQ(v.size(), 6u);
  EXPECT_EQ(v[0].portName, "COM7") << "one entry, holding the values read last";
  EXPECT_EQ(v[0].friendlyName, "QVE CDMA USB Modem");
  EXPECT_EQ(v[0].usb, 0);
  EXPECT_EQ(v[1].portName, "COM8");
  EXPECT_EQ(v[1].usb, 1) << "bus USBPORTS";
  EXPECT_EQ(v[2].portName, "COM9");
  EXPECT_EQ(v[3].portName, "USB_SERIAL");
  EXPECT_EQ(v[3].devicePath, "\\\\.\\");
  EXPECT_EQ(v[3].friendlyName, "FOMA L cable(COM)");
  EXPECT_EQ(v[3].portNumber, 0);
  EXPECT_EQ(v[4].portName, "COM20") << "upper device active, matched ignoring case";
  EXPECT_EQ(v[4].friendlyName, "FOMA L one");
  EXPECT_EQ(v[4].usb, 1);
  EXPECT_EQ(v[5].portName, "COM23");
  EXPECT_EQ(v[5].friendlyName, "");

  ClassifyPorts(v, false);
  EXPECT_EQ(Friendly(v), (std::vector<std::string>{"QVE CDMA USB Modem", "QVE Mobile USB Serial Port",
                                                    "QVE Mobile USB Modem", "FOMA L cable(COM)", "FOMA L one"}));
}

TEST(LegacyScan, LongAndMissingValuesAreSkipped) {
  FakeWinDb db = LegacyDb();
  FakeKey& dev = db.hklm.Sub("Enum").Sub("ROOT").Sub("*PNP0500");
  dev.Sub("0000").Str("PORTNAME", std::string(127, 'C'));             // 128 bytes with its NUL: fits
  dev.Sub("0001").Str("PORTNAME", std::string(128, 'D'));             // 129: too long
  dev.Sub("0002").values["PORTNAME"] = std::string(128, 'E');         // fills the buffer, no NUL
  dev.Sub("0003").Str("PORTNAME", "COM30").Str("FRIENDLYNAME", std::string(200, 'F')).Str("DeviceDesc", "QVE CDMA USB Modem");
  dev.Sub(std::string(130, 'K'));  // a key name longer than its buffer ends the enumeration
  dev.Sub("0004").Str("PORTNAME", "COM31");
  std::vector<SSerInfo> v;
  ScanLegacyRegistry(db, v);
  ExpectReleased(db);
  std::vector<std::string> names;
  for (const auto& e : v) names.push_back(e.portName);
  EXPECT_NE(std::find(names.begin(), names.end(), std::string(127, 'C')), names.end());
  EXPECT_EQ(std::find(names.begin(), names.end(), std::string(128, 'D')), names.end());
  EXPECT_NE(std::find(names.begin(), names.end(), std::string(128, 'E')), names.end());
  EXPECT_EQ(std::find(names.begin(), names.end(), "COM31"), names.end());
  auto com30 = std::find(names.begin(), names.end(), "COM30");
  ASSERT_NE(com30, names.end());
  EXPECT_EQ(v[com30 - names.begin()].friendlyName, "QVE CDMA USB Modem") << "a too-long FRIENDLYNAME counts as empty";
}

TEST(LegacyScan, EachFailureHasItsMessageAndClosesTheOpenKeys) {
  struct Case {
    void (*spoil)(FakeWinDb&);
    const char* message;
  } cases[] = {
      {[](FakeWinDb& db) { db.hklm.subkeys.clear(); }, "Could not read from HKLM\\Enum"},
      {[](FakeWinDb& db) { db.hklm.Sub("Enum").Sub("QVATCR").open_fails = true; },
       "Could not read from HKLM\\Enum\\QVATCR"},
      {[](FakeWinDb& db) { db.hklm.Sub("Enum").Sub("USB").Sub("QVMODEM").open_fails = true; },
       "Could not read from HKLM\\Enum\\USB\\QVMODEM"},
      {[](FakeWinDb& db) { db.hklm.Sub("Enum").Sub("USBPORTS").Sub("ANY").Sub("0000").open_fails = true; },
       "Could not read from HKLM\\Enum\\...\\0000"},
      {[](FakeWinDb& db) { db.dyn_data.subkeys.clear(); }, "Could not read from HKLM\\Enum"},
      {[](FakeWinDb& db) { db.dyn_data.Sub("Config Manager").Sub("Enum").Sub("C29A0000").open_fails = true; },
       "Could not read from HKLM\\Enum\\C29A0000"},
  };
  for (const Case& c : cases) {
    FakeWinDb db = LegacyDb();
    c.spoil(db);
    std::vector<SSerInfo> v;
    EXPECT_EQ(ScanMessage(db, v), c.message);
    ExpectReleased(db);
  }
}

}  // namespace
}  // namespace vantrel::testing
