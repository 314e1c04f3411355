#pragma once
// In-memory device databases for the port scan's tests. The Windows one
// behaves as the SetupAPI and the registry do towards the scan (buffer sizes,
// ERROR_MORE_DATA, ERROR_NO_MORE_ITEMS), fails any call on cue, counts every
// handle it hands out and gets back, and notes argument values the scan must
// not pass.
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/device_db.h"

namespace vantrel::testing {

struct FakeDevice {
  bool modem = false;  // listed under the modem class instead of the COM port class
  std::optional<std::string> desc, pdo, location;
  // Raw bytes of "portname", NUL included when the test wants one.
  std::optional<std::string> portname;
  bool key_opens = true;
};

// A registry key: ordered subkeys and raw values.
struct FakeKey {
  std::deque<std::pair<std::string, FakeKey>> subkeys;  // references stay valid as keys are added
  std::map<std::string, std::string> values;  // raw bytes
  bool open_fails = false;
  FakeKey& Sub(const std::string& name);  // finds or appends
  FakeKey& Str(const std::string& name, const std::string& text);  // REG_SZ with its NUL
};

class FakeWinDb : public platform::WinDeviceDb {
 public:
  // What the database holds.
  platform::OsVersion version{148, 5, 1, 2600, 2};
  std::vector<FakeDevice> devices;
  FakeKey hklm, dyn_data;

  // Failures on cue: the call fails with `error` (the enumeration at index `at`).
  struct Failure {
    bool on = false;
    uint32_t error = 0;
    uint32_t at = 0;
  };
  Failure fail_version, fail_class_devs, fail_enum, fail_detail;

  // Bookkeeping the tests check.
  int lists_open = 0, keys_open = 0, bad_handles = 0, max_keys_open = 0;
  std::vector<std::string> bad_args;  // argument values other than the ones the scan must pass

  uint32_t LastError() override { return last_error_; }
  bool QueryVersion(platform::OsVersion* v) override;
  bool GetClassDevs(const platform::Guid& cls, uint32_t flags, platform::DevList* out) override;
  bool EnumInterfaces(platform::DevList list, const platform::Guid& cls, uint32_t index,
                      platform::DevInterfaceData* out) override;
  bool GetInterfaceDetail(platform::DevList list, const platform::DevInterfaceData& iface,
                          uint8_t* detail, uint32_t size, platform::DevInfoData* info) override;
  bool GetDeviceProperty(platform::DevList list, const platform::DevInfoData& info, uint32_t property,
                         uint8_t* buf, uint32_t size) override;
  bool OpenDevKey(platform::DevList list, const platform::DevInfoData& info, uint32_t scope,
                  uint32_t profile, uint32_t key_type, uint32_t access, platform::RegKey* out) override;
  bool DestroyDevList(platform::DevList list) override;
  long OpenKey(platform::RegKey parent, const char* sub, uint32_t access, platform::RegKey* out) override;
  long EnumKey(platform::RegKey key, uint32_t index, char* name, uint32_t* size) override;
  long QueryValue(platform::RegKey key, const char* name, uint8_t* data, uint32_t* size) override;
  long CloseKey(platform::RegKey key) override;

 private:
  bool Fail(uint32_t error) {
    last_error_ = error;
    return false;
  }
  // The devices a list holds (indices into `devices`).
  const FakeDevice* Device(platform::DevList list, const platform::DevInfoData& info);
  const FakeKey* KeyOf(platform::RegKey k);
  platform::RegKey NewKey(const FakeKey* key, const std::string* portname);

  uint32_t last_error_ = 0;
  uintptr_t next_handle_ = 0x1000;
  std::map<platform::DevList, std::vector<size_t>> lists_;
  struct OpenKeyState {
    const FakeKey* key;
    FakeKey device_key;  // a device's hardware key, made when it is opened
  };
  std::map<platform::RegKey, OpenKeyState> keys_;
};

// udev's tty devices, as a test lists them.
class FakeTtyDb : public platform::TtyDeviceDb {
 public:
  std::vector<platform::TtyDevice> devices;
  std::string fail;  // non-empty: the listing fails with this
  bool ListTtys(std::vector<platform::TtyDevice>* out, std::string* error) override {
    if (!fail.empty()) {
      *error = fail;
      return false;
    }
    *out = devices;
    return true;
  }
};

}  // namespace vantrel::testing
