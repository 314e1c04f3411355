// The device database on Windows: the ANSI SetupAPI, registry and version
// calls, each passed straight through. The records travel in their 32-bit
// layout, field by field.
#include <windows.h>
// setupapi.h after windows.h
#include <setupapi.h>

#include "platform/device_db.h"

namespace vantrel::platform {
namespace {

static_assert(sizeof(void*) != 4 || sizeof(SP_DEVICE_INTERFACE_DATA) == 28);
static_assert(sizeof(void*) != 4 || sizeof(SP_DEVINFO_DATA) == 28);
static_assert(sizeof(OSVERSIONINFOA) == 148);
static_assert(win::kKeyRead == KEY_READ && win::kErrorNoMoreItems == ERROR_NO_MORE_ITEMS);
static_assert(win::kDigcfPresent == DIGCF_PRESENT && win::kDigcfDeviceInterface == DIGCF_DEVICEINTERFACE);
static_assert(win::kSpdrpLocationInformation == SPDRP_LOCATION_INFORMATION &&
              win::kSpdrpPhysicalDeviceObjectName == SPDRP_PHYSICAL_DEVICE_OBJECT_NAME);

GUID ToNative(const Guid& g) {
  GUID n;
  n.Data1 = g.data1;
  n.Data2 = g.data2;
  n.Data3 = g.data3;
  for (int i = 0; i < 8; ++i) n.Data4[i] = g.data4[i];
  return n;
}
Guid FromNative(const GUID& n) {
  Guid g{n.Data1, n.Data2, n.Data3, {}};
  for (int i = 0; i < 8; ++i) g.data4[i] = n.Data4[i];
  return g;
}
SP_DEVICE_INTERFACE_DATA ToNative(const DevInterfaceData& d) {
  SP_DEVICE_INTERFACE_DATA n{};
  n.cbSize = d.cbSize;
  n.InterfaceClassGuid = ToNative(d.classGuid);
  n.Flags = d.flags;
  n.Reserved = d.reserved;
  return n;
}
SP_DEVINFO_DATA ToNative(const DevInfoData& d) {
  SP_DEVINFO_DATA n{};
  n.cbSize = d.cbSize;
  n.ClassGuid = ToNative(d.classGuid);
  n.DevInst = d.devInst;
  n.Reserved = d.reserved;
  return n;
}
DevInfoData FromNative(const SP_DEVINFO_DATA& n) {
  return {static_cast<uint32_t>(n.cbSize), FromNative(n.ClassGuid), static_cast<uint32_t>(n.DevInst),
          static_cast<uintptr_t>(n.Reserved)};
}
HDEVINFO List(DevList l) { return reinterpret_cast<HDEVINFO>(l); }
HKEY Key(RegKey k) { return reinterpret_cast<HKEY>(k); }

class Win32DeviceDb final : public WinDeviceDb {
 public:
  uint32_t LastError() override { return GetLastError(); }

  bool QueryVersion(OsVersion* v) override {
    OSVERSIONINFOA info{};
    info.dwOSVersionInfoSize = v->sizeField;
    if (!GetVersionExA(&info)) return false;
    v->major = info.dwMajorVersion;
    v->minor = info.dwMinorVersion;
    v->build = info.dwBuildNumber;
    v->platformId = info.dwPlatformId;
    return true;
  }

  bool GetClassDevs(const Guid& cls, uint32_t flags, DevList* out) override {
    const GUID g = ToNative(cls);
    HDEVINFO h = SetupDiGetClassDevsA(&g, nullptr, nullptr, flags);
    if (h == INVALID_HANDLE_VALUE) return false;
    *out = reinterpret_cast<DevList>(h);
    return true;
  }

  bool EnumInterfaces(DevList list, const Guid& cls, uint32_t index, DevInterfaceData* out) override {
    const GUID g = ToNative(cls);
    SP_DEVICE_INTERFACE_DATA n = ToNative(*out);
    if (!SetupDiEnumDeviceInterfaces(List(list), nullptr, &g, index, &n)) return false;
    *out = {static_cast<uint32_t>(n.cbSize), FromNative(n.InterfaceClassGuid),
            static_cast<uint32_t>(n.Flags), static_cast<uintptr_t>(n.Reserved)};
    return true;
  }

  bool GetInterfaceDetail(DevList list, const DevInterfaceData& iface, uint8_t* detail, uint32_t size,
                          DevInfoData* info) override {
    SP_DEVICE_INTERFACE_DATA n = ToNative(iface);
    SP_DEVINFO_DATA di = ToNative(*info);
    if (!SetupDiGetDeviceInterfaceDetailA(List(list), &n,
                                          reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(detail),
                                          size, nullptr, &di))
      return false;
    *info = FromNative(di);
    return true;
  }

  bool GetDeviceProperty(DevList list, const DevInfoData& info, uint32_t property, uint8_t* buf,
                         uint32_t size) override {
    SP_DEVINFO_DATA di = ToNative(info);
    return SetupDiGetDeviceRegistryPropertyA(List(list), &di, property, nullptr, buf, size, nullptr);
  }

  bool OpenDevKey(DevList list, const DevInfoData& info, uint32_t scope, uint32_t profile,
                  uint32_t key_type, uint32_t access, RegKey* out) override {
    SP_DEVINFO_DATA di = ToNative(info);
    HKEY k = SetupDiOpenDevRegKey(List(list), &di, scope, profile, key_type, access);
    if (k == INVALID_HANDLE_VALUE) return false;
    *out = reinterpret_cast<RegKey>(k);
    return true;
  }

  bool DestroyDevList(DevList list) override { return SetupDiDestroyDeviceInfoList(List(list)); }

  long OpenKey(RegKey parent, const char* sub, uint32_t access, RegKey* out) override {
    HKEY k = nullptr;
    const LONG rc = RegOpenKeyExA(Key(parent), sub, 0, access, &k);
    if (rc == ERROR_SUCCESS) *out = reinterpret_cast<RegKey>(k);
    return rc;
  }

  long EnumKey(RegKey key, uint32_t index, char* name, uint32_t* size) override {
    DWORD n = *size;
    const LONG rc = RegEnumKeyExA(Key(key), index, name, &n, nullptr, nullptr, nullptr, nullptr);
    *size = n;
    return rc;
  }

  long QueryValue(RegKey key, const char* name, uint8_t* data, uint32_t* size) override {
    DWORD n = *size;
    const LONG rc = RegQueryValueExA(Key(key), name, nullptr, nullptr, data, &n);
    *size = n;
    return rc;
  }

  long CloseKey(RegKey key) override { return RegCloseKey(Key(key)); }
};

}  // namespace

DeviceDatabase& SystemDeviceDatabase() {
  static Win32DeviceDb db;
  return db;
}

std::vector<ComLink> ListPortDirectory() { return {}; }  // COM names are the system's own

}  // namespace vantrel::platform
