#pragma once
// The machine's device database, as the port scan reads it. Windows keeps it
// in the SetupAPI and the registry (WinDeviceDb: the calls the scan makes,
// with the argument values it passes); Linux in udev (TtyDeviceDb: the tty
// devices and their properties). The system's backend lives in win32/ or
// posix/; tests install an in-memory one. The scan logic itself (ports/)
// makes no OS call.
//
// Thread safety: the backends keep no state between calls; the installed
// database is switched only by tests, before the code under test runs.
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace vantrel::platform {

class WinDeviceDb;
class TtyDeviceDb;

class DeviceDatabase {
 public:
  virtual ~DeviceDatabase() = default;
  // The one facet a backend has; the other answers null.
  virtual WinDeviceDb* Windows() { return nullptr; }
  virtual TtyDeviceDb* Ttys() { return nullptr; }
};

// ---- Windows ----------------------------------------------------------------

struct Guid {
  uint32_t data1;
  uint16_t data2, data3;
  uint8_t data4[8];
  bool operator==(const Guid&) const = default;
};
inline constexpr Guid kGuidComPortInterface{
    0x86E0D1E0, 0x8089, 0x11D0, {0x9C, 0xE4, 0x08, 0x00, 0x3E, 0x30, 0x1F, 0x73}};
inline constexpr Guid kGuidModemInterface{
    0x2C7089AA, 0x2E0E, 0x11D1, {0xB1, 0x14, 0x00, 0xC0, 0x4F, 0xC2, 0xAA, 0xE4}};

// The values of the Windows headers that the scan passes or tests for.
namespace win {
inline constexpr uint32_t kDigcfPresent = 0x02;
inline constexpr uint32_t kDigcfDeviceInterface = 0x10;
inline constexpr uint32_t kSpdrpDeviceDesc = 0x00;
inline constexpr uint32_t kSpdrpLocationInformation = 0x0D;
inline constexpr uint32_t kSpdrpPhysicalDeviceObjectName = 0x0E;
inline constexpr uint32_t kDicsFlagGlobal = 1;
inline constexpr uint32_t kDiregDev = 1;
inline constexpr uint32_t kKeyRead = 0x20019;
inline constexpr uint32_t kVerPlatformWin32Nt = 2;
inline constexpr long kErrorSuccess = 0;
inline constexpr long kErrorFileNotFound = 2;
inline constexpr long kErrorMoreData = 234;
inline constexpr uint32_t kErrorNoMoreItems = 259;
}  // namespace win

using DevList = uintptr_t;  // a device-information list
using RegKey = uintptr_t;   // an open registry key
inline constexpr RegKey kHkeyLocalMachine = 0x80000002u;
inline constexpr RegKey kHkeyDynData = 0x80000006u;

// The interface and device-information records in the layout of 32-bit
// Windows (cbSize 28); the backend hands them to the system field by field.
struct DevInterfaceData {
  uint32_t cbSize = 0;
  Guid classGuid{};
  uint32_t flags = 0;
  uintptr_t reserved = 0;
};
struct DevInfoData {
  uint32_t cbSize = 0;
  Guid classGuid{};
  uint32_t devInst = 0;
  uintptr_t reserved = 0;
};
struct OsVersion {
  uint32_t sizeField = 0;  // set by the caller, as the record's size field
  uint32_t major = 0, minor = 0, build = 0, platformId = 0;
};

// The ANSI SetupAPI, registry and version calls. The bool calls set the
// error that LastError reports; the registry calls return it.
class WinDeviceDb : public DeviceDatabase {
 public:
  WinDeviceDb* Windows() override { return this; }

  virtual uint32_t LastError() = 0;
  virtual bool QueryVersion(OsVersion* v) = 0;  // GetVersionExA
  // SetupDiGetClassDevsA (class, no enumerator, no window, flags).
  virtual bool GetClassDevs(const Guid& cls, uint32_t flags, DevList* out) = 0;
  // SetupDiEnumDeviceInterfaces (list, no device, class, index, out).
  virtual bool EnumInterfaces(DevList list, const Guid& cls, uint32_t index, DevInterfaceData* out) = 0;
  // SetupDiGetDeviceInterfaceDetailA (list, iface, detail, size, no required size, info).
  virtual bool GetInterfaceDetail(DevList list, const DevInterfaceData& iface, uint8_t* detail,
                                  uint32_t size, DevInfoData* info) = 0;
  // SetupDiGetDeviceRegistryPropertyA (list, info, property, no type, buf, size, no required size).
  virtual bool GetDeviceProperty(DevList list, const DevInfoData& info, uint32_t property,
                                 uint8_t* buf, uint32_t size) = 0;
  // SetupDiOpenDevRegKey; false when it answers INVALID_HANDLE_VALUE.
  virtual bool OpenDevKey(DevList list, const DevInfoData& info, uint32_t scope, uint32_t profile,
                          uint32_t key_type, uint32_t access, RegKey* out) = 0;
  virtual bool DestroyDevList(DevList list) = 0;  // SetupDiDestroyDeviceInfoList

  virtual long OpenKey(RegKey parent, const char* sub, uint32_t access, RegKey* out) = 0;  // RegOpenKeyExA
  // RegEnumKeyExA: *size in = the buffer's characters, out = the name's.
  virtual long EnumKey(RegKey key, uint32_t index, char* name, uint32_t* size) = 0;
  // RegQueryValueExA (key, name, no reserved, no type, data, size).
  virtual long QueryValue(RegKey key, const char* name, uint8_t* data, uint32_t* size) = 0;
  virtual long CloseKey(RegKey key) = 0;  // RegCloseKey
};

// ---- udev -----------------------------------------------------------------------

struct TtyDevice {
  std::string devnode;                            // /dev/ttyACM0
  std::map<std::string, std::string> properties;  // udev's, e.g. ID_BUS, ID_VENDOR
};

class TtyDeviceDb : public DeviceDatabase {
 public:
  TtyDeviceDb* Ttys() override { return this; }
  // The tty devices of serial hardware (virtual consoles and the like are
  // left out). False with *error set when the database cannot be read; a
  // device that vanishes while it is being read is left out silently.
  virtual bool ListTtys(std::vector<TtyDevice>* out, std::string* error) = 0;
};

// One COM<n> entry of the port directory (serial_port.h's PortDirectory).
struct ComLink {
  std::string name;    // "COM41"
  std::string target;  // the device it leads to, as a canonical path
};
// The entries named COM followed by digits whose link leads to an existing
// device, in name order. Empty when the directory is missing (and on
// Windows, which has none).
std::vector<ComLink> ListPortDirectory();

// ---- the installed database ------------------------------------------------------

// The system's database (Windows: SetupAPI and registry; Linux: udev).
DeviceDatabase& SystemDeviceDatabase();
// The installed one, or the system's when none is installed.
DeviceDatabase& GetDeviceDatabase();
// Installs a database (nullptr restores the system's) and returns the previous one.
DeviceDatabase* SetDeviceDatabase(DeviceDatabase* db);

class ScopedDeviceDatabase {
 public:
  explicit ScopedDeviceDatabase(DeviceDatabase* db) : prev_(SetDeviceDatabase(db)) {}
  ~ScopedDeviceDatabase() { SetDeviceDatabase(prev_); }
  ScopedDeviceDatabase(const ScopedDeviceDatabase&) = delete;
  ScopedDeviceDatabase& operator=(const ScopedDeviceDatabase&) = delete;

 private:
  DeviceDatabase* prev_;
};

}  // namespace vantrel::platform
