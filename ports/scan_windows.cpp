// The three Windows scans over the device database: device interfaces
// (Windows 2000 and later), numbered names (NT 4), and the registry's legacy
// Enum tree (the 9x family). Handles are held by guards, so whatever ends a
// scan, its keys, list and buffer are released before a message leaves.
#include <cstdio>
#include <cstring>
#include <vector>

#include "ports/port_scan.h"

namespace vantrel {
namespace {

using platform::DevList;
using platform::RegKey;
using platform::WinDeviceDb;
namespace win = platform::win;

constexpr uint32_t kRecordSize = 28;        // interface and device-info records
constexpr uint32_t kDetailSize = 261;       // the interface detail buffer
constexpr uint32_t kDetailSizeField = 5;    // its size field
constexpr uint32_t kPropertySize = 256;     // device property buffers
constexpr uint32_t kPortNameSize = 7;       // "portname" of the device key
constexpr uint32_t kRegBufferSize = 128;    // legacy key names and values
const char kDevicePrefix[] = "\\\\.\\";     // the device namespace, "\\.\"

[[noreturn]] void ThrowWithError(const char* what, uint32_t error) {
  char msg[96];
  std::snprintf(msg, sizeof msg, "%s failed. (err=%lx)", what, static_cast<unsigned long>(error));
  throw PortScanError(msg);
}

// Text from a buffer the system filled: up to its first NUL, never past `n`.
std::string Text(const uint8_t* buf, size_t n) {
  const void* nul = std::memchr(buf, 0, n);
  return std::string(reinterpret_cast<const char*>(buf),
                     nul ? static_cast<const uint8_t*>(nul) - buf : n);
}

class KeyGuard {
 public:
  KeyGuard(WinDeviceDb& db, RegKey k) : db_(db), k_(k) {}
  ~KeyGuard() { db_.CloseKey(k_); }
  KeyGuard(const KeyGuard&) = delete;
  KeyGuard& operator=(const KeyGuard&) = delete;
  RegKey get() const { return k_; }

 private:
  WinDeviceDb& db_;
  RegKey k_;
};

// ---- device interfaces ----------------------------------------------------------

bool ReadProperty(WinDeviceDb& db, DevList list, const platform::DevInfoData& info, uint32_t property,
                  std::string* out) {
  uint8_t buf[kPropertySize] = {};
  if (!db.GetDeviceProperty(list, info, property, buf, sizeof buf)) return false;
  *out = Text(buf, sizeof buf);
  return true;
}

// The device key's "portname"; empty when missing, longer than its buffer,
// or unreadable.
std::string ReadPortName(WinDeviceDb& db, DevList list, const platform::DevInfoData& info) {
  RegKey k = 0;
  if (!db.OpenDevKey(list, info, win::kDicsFlagGlobal, 0, win::kDiregDev, win::kKeyRead, &k)) return {};
  KeyGuard guard(db, k);
  uint8_t buf[kPortNameSize] = {};
  uint32_t size = kPortNameSize;
  if (db.QueryValue(k, "portname", buf, &size) != win::kErrorSuccess) return {};
  return Text(buf, size < kPortNameSize ? size : kPortNameSize);
}

class ListGuard {
 public:
  ListGuard(WinDeviceDb& db, DevList l) : db_(db), l_(l) {}
  ~ListGuard() { db_.DestroyDevList(l_); }
  ListGuard(const ListGuard&) = delete;
  ListGuard& operator=(const ListGuard&) = delete;

 private:
  WinDeviceDb& db_;
  DevList l_;
};

// ---- legacy registry ---------------------------------------------------------------

// A value of at most 128 bytes; false when absent or longer.
bool ReadValue(WinDeviceDb& db, RegKey k, const char* name, std::string* out) {
  uint8_t buf[kRegBufferSize] = {};
  uint32_t size = kRegBufferSize;
  if (db.QueryValue(k, name, buf, &size) != win::kErrorSuccess) return false;
  *out = Text(buf, size < kRegBufferSize ? size : kRegBufferSize);
  return true;
}

// The name of subkey `index`; false when the subkeys have run out (or the
// name does not fit its buffer, which ends the enumeration too).
bool SubkeyName(WinDeviceDb& db, RegKey k, uint32_t index, std::string* out) {
  char buf[kRegBufferSize] = {};
  uint32_t size = kRegBufferSize;
  if (db.EnumKey(k, index, buf, &size) != win::kErrorSuccess) return false;
  *out = Text(reinterpret_cast<const uint8_t*>(buf), size < kRegBufferSize ? size : kRegBufferSize);
  return true;
}

RegKey OpenOrThrow(WinDeviceDb& db, RegKey parent, const std::string& sub, const std::string& message) {
  RegKey k = 0;
  if (db.OpenKey(parent, sub.c_str(), win::kKeyRead, &k) != win::kErrorSuccess) throw PortScanError(message);
  return k;
}

const std::string kEnumMessage = "Could not read from HKLM\\Enum";

void Merge(std::vector<SSerInfo>& ports, SSerInfo entry) {
  for (auto& p : ports)
    if (p.portName == entry.portName) {
      p = std::move(entry);
      return;
    }
  ports.push_back(std::move(entry));
}

SSerInfo PortEntry(const std::string& port_name, std::string friendly, int32_t usb) {
  SSerInfo e;
  e.devicePath = kDevicePrefix + port_name;
  e.portName = port_name;
  e.friendlyName = std::move(friendly);
  e.usb = usb;
  e.portNumber = ParseComNumber(port_name);
  return e;
}

bool EqualsIgnoringCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    unsigned char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x += 'a' - 'A';
    if (y >= 'A' && y <= 'Z') y += 'a' - 'A';
    if (x != y) return false;
  }
  return true;
}

// Is the upper device in the active-device list?
bool UpperDeviceActive(WinDeviceDb& db, const std::string& id) {
  KeyGuard list(db, OpenOrThrow(db, platform::kHkeyDynData, "Config Manager\\Enum", kEnumMessage));
  std::string name;
  for (uint32_t i = 0; SubkeyName(db, list.get(), i, &name); ++i) {
    KeyGuard sub(db, OpenOrThrow(db, list.get(), name, kEnumMessage + "\\" + name));
    std::string hardware_key;
    if (ReadValue(db, sub.get(), "HardWareKey", &hardware_key) && EqualsIgnoringCase(hardware_key, id))
      return true;
  }
  return false;
}

enum class Reader { kPortName, kCr, kConverter };

// Reads every instance key under one device key.
void ReadInstances(WinDeviceDb& db, RegKey device, Reader reader, int32_t usb, std::vector<SSerInfo>& ports) {
  std::string inst;
  for (uint32_t i = 0; SubkeyName(db, device, i, &inst); ++i) {
    KeyGuard k(db, OpenOrThrow(db, device, inst, kEnumMessage + "\\...\\" + inst));
    if (reader == Reader::kConverter) {
      std::string desc;
      if (!ReadValue(db, k.get(), "DeviceDesc", &desc)) continue;
      SSerInfo e;
      e.devicePath = kDevicePrefix;
      e.portName = "USB_SERIAL";
      e.friendlyName = desc + "(COM)";
      e.usb = usb;
      ports.push_back(std::move(e));  // not merged
      continue;
    }
    std::string port_name, friendly;
    if (!ReadValue(db, k.get(), "PORTNAME", &port_name)) continue;
    if (reader == Reader::kCr) {
      std::string upper;
      if (!ReadValue(db, k.get(), "CRUpperDeviceId", &upper) || !UpperDeviceActive(db, upper)) continue;
      ReadValue(db, k.get(), "FRIENDLYNAME", &friendly);
      Merge(ports, PortEntry(port_name, friendly, 1));
      continue;
    }
    ReadValue(db, k.get(), "FRIENDLYNAME", &friendly);
    if (friendly.empty()) ReadValue(db, k.get(), "DeviceDesc", &friendly);
    Merge(ports, PortEntry(port_name, friendly, usb));
  }
}

}  // namespace

void ScanDeviceInterfaces(WinDeviceDb& db, std::vector<SSerInfo>& ports, bool modem_class) {
  const platform::Guid& cls = modem_class ? platform::kGuidModemInterface : platform::kGuidComPortInterface;
  DevList list = 0;
  if (!db.GetClassDevs(cls, win::kDigcfPresent | win::kDigcfDeviceInterface, &list))
    ThrowWithError("SetupDiGetClassDevs", db.LastError());
  ListGuard list_guard(db, list);
  std::vector<uint8_t> detail(kDetailSize, 0);
  for (uint32_t index = 0;; ++index) {
    platform::DevInterfaceData iface;
    iface.cbSize = kRecordSize;
    if (!db.EnumInterfaces(list, cls, index, &iface)) {
      const uint32_t error = db.LastError();
      if (error == win::kErrorNoMoreItems) break;
      ThrowWithError("SetupDiEnumDeviceInterfaces", error);
    }
    for (int i = 0; i < 4; ++i) detail[i] = static_cast<uint8_t>(kDetailSizeField >> (8 * i));
    platform::DevInfoData info;
    info.cbSize = kRecordSize;
    if (!db.GetInterfaceDetail(list, iface, detail.data(), kDetailSize, &info))
      ThrowWithError("SetupDiGetDeviceInterfaceDetail", db.LastError());

    std::string friendly, unused, location;
    bool qualified = ReadProperty(db, list, info, win::kSpdrpDeviceDesc, &friendly);
    const std::string port_name = ReadPortName(db, list, info);
    if (qualified) qualified = ReadProperty(db, list, info, win::kSpdrpPhysicalDeviceObjectName, &unused);
    const bool usb = ReadProperty(db, list, info, win::kSpdrpLocationInformation, &location) &&
                     location.compare(0, 3, "USB") == 0;
    if (!qualified) continue;
    SSerInfo e = PortEntry(port_name, friendly, usb ? 1 : 0);
    ports.push_back(std::move(e));
  }
}

void ScanNumbered(std::vector<SSerInfo>& ports) {
  for (int n = 1; n <= 256; ++n) {
    SSerInfo e;
    e.portName = "COM" + std::to_string(n);
    e.devicePath = kDevicePrefix + e.portName;
    ports.push_back(std::move(e));  // no friendly name, no port number
  }
}

void ScanLegacyRegistry(WinDeviceDb& db, std::vector<SSerInfo>& ports) {
  KeyGuard enum_key(db, OpenOrThrow(db, platform::kHkeyLocalMachine, "Enum", kEnumMessage));
  std::string bus;
  for (uint32_t b = 0; SubkeyName(db, enum_key.get(), b, &bus); ++b) {
    KeyGuard bus_key(db, OpenOrThrow(db, enum_key.get(), bus, kEnumMessage + "\\" + bus));
    const bool usbports = bus == "USBPORTS", qvatcr = bus == "QVATCR", usb = bus == "USB";
    const bool p200cr = bus == "P200CR", p8xxcr = bus == "P8XXCR";
    std::string dev;
    for (uint32_t d = 0; SubkeyName(db, bus_key.get(), d, &dev); ++d) {
      // Each matching rule opens the device key afresh.
      auto read = [&](Reader reader, int32_t usb_flag) {
        KeyGuard k(db, OpenOrThrow(db, bus_key.get(), dev, kEnumMessage + "\\" + bus + "\\" + dev));
        ReadInstances(db, k.get(), reader, usb_flag, ports);
      };
      if (dev == "*PNP0500" || dev == "*PNP0501" || usbports) read(Reader::kPortName, usbports ? 1 : 0);
      if (p200cr) read(Reader::kCr, 1);
      if (p8xxcr) read(Reader::kCr, 1);
      if (qvatcr) read(Reader::kPortName, 0);
      if (usb && dev == "QVMODEM")
        read(Reader::kPortName, 0);
      else if (usb && dev.find("VID_0403&PID_60") != std::string::npos)
        read(Reader::kConverter, 0);
    }
  }
}

}  // namespace vantrel
