#include "tests/ports/fake_device_db.h"

#include <algorithm>
#include <cstring>

namespace vantrel::testing {

using platform::DevList;
using platform::RegKey;
namespace win = platform::win;

namespace {
constexpr uint32_t kErrorInvalidData = 13;
constexpr uint32_t kErrorInsufficientBuffer = 122;
constexpr uint32_t kErrorInvalidHandle = 6;
}  // namespace

FakeKey& FakeKey::Sub(const std::string& name) {
  for (auto& [n, k] : subkeys)
    if (n == name) return k;
  subkeys.emplace_back(name, FakeKey{});
  return subkeys.back().second;
}

FakeKey& FakeKey::Str(const std::string& name, const std::string& text) {
  values[name] = text + '\0';
  return *this;
}

bool FakeWinDb::QueryVersion(platform::OsVersion* v) {
  if (v->sizeField != 148) bad_args.push_back("version record size " + std::to_string(v->sizeField));
  if (fail_version.on) return Fail(fail_version.error);
  const uint32_t size = v->sizeField;
  *v = version;
  v->sizeField = size;
  return true;
}

bool FakeWinDb::GetClassDevs(const platform::Guid& cls, uint32_t flags, DevList* out) {
  if (flags != (win::kDigcfPresent | win::kDigcfDeviceInterface)) bad_args.push_back("class flags");
  if (fail_class_devs.on) return Fail(fail_class_devs.error);
  const bool modem = cls == platform::kGuidModemInterface;
  if (!modem && !(cls == platform::kGuidComPortInterface)) bad_args.push_back("class guid");
  std::vector<size_t> members;
  for (size_t i = 0; i < devices.size(); ++i)
    if (devices[i].modem == modem) members.push_back(i);
  *out = next_handle_++;
  lists_[*out] = std::move(members);
  ++lists_open;
  return true;
}

bool FakeWinDb::EnumInterfaces(DevList list, const platform::Guid&, uint32_t index,
                               platform::DevInterfaceData* out) {
  auto it = lists_.find(list);
  if (it == lists_.end()) return Fail(kErrorInvalidHandle);
  if (out->cbSize != 28) bad_args.push_back("interface record size");
  if (fail_enum.on && index == fail_enum.at) return Fail(fail_enum.error);
  if (index >= it->second.size()) return Fail(win::kErrorNoMoreItems);
  out->reserved = index;
  return true;
}

bool FakeWinDb::GetInterfaceDetail(DevList list, const platform::DevInterfaceData& iface,
                                   uint8_t* detail, uint32_t size, platform::DevInfoData* info) {
  if (!lists_.count(list)) return Fail(kErrorInvalidHandle);
  const uint32_t size_field = detail[0] | detail[1] << 8 | detail[2] << 16 | uint32_t(detail[3]) << 24;
  if (size != 261 || size_field != 5) bad_args.push_back("detail buffer");
  if (info->cbSize != 28) bad_args.push_back("device-info record size");
  if (fail_detail.on && iface.reserved == fail_detail.at) return Fail(fail_detail.error);
  info->devInst = static_cast<uint32_t>(iface.reserved);
  return true;
}

const FakeDevice* FakeWinDb::Device(DevList list, const platform::DevInfoData& info) {
  auto it = lists_.find(list);
  if (it == lists_.end() || info.devInst >= it->second.size()) return nullptr;
  return &devices[it->second[info.devInst]];
}

bool FakeWinDb::GetDeviceProperty(DevList list, const platform::DevInfoData& info, uint32_t property,
                                  uint8_t* buf, uint32_t size) {
  const FakeDevice* d = Device(list, info);
  if (!d) return Fail(kErrorInvalidHandle);
  if (size != 256) bad_args.push_back("property buffer size");
  const std::optional<std::string>* v = property == win::kSpdrpDeviceDesc                ? &d->desc
                                        : property == win::kSpdrpPhysicalDeviceObjectName ? &d->pdo
                                        : property == win::kSpdrpLocationInformation      ? &d->location
                                                                                          : nullptr;
  if (!v || !v->has_value()) return Fail(kErrorInvalidData);
  const std::string text = **v + '\0';
  if (text.size() > size) return Fail(kErrorInsufficientBuffer);
  std::memcpy(buf, text.data(), text.size());
  return true;
}

RegKey FakeWinDb::NewKey(const FakeKey* key, const std::string* portname) {
  const RegKey h = next_handle_++;
  OpenKeyState& s = keys_[h];
  s.key = key;
  if (portname) {
    s.device_key.values["portname"] = *portname;
    s.key = &s.device_key;
  }
  ++keys_open;
  max_keys_open = std::max(max_keys_open, keys_open);
  return h;
}

bool FakeWinDb::OpenDevKey(DevList list, const platform::DevInfoData& info, uint32_t scope,
                           uint32_t profile, uint32_t key_type, uint32_t access, RegKey* out) {
  const FakeDevice* d = Device(list, info);
  if (!d) return Fail(kErrorInvalidHandle);
  if (scope != win::kDicsFlagGlobal || profile != 0 || key_type != win::kDiregDev || access != win::kKeyRead)
    bad_args.push_back("device key arguments");
  if (!d->key_opens) return Fail(win::kErrorFileNotFound);
  static const FakeKey kEmpty;
  *out = d->portname ? NewKey(nullptr, &*d->portname) : NewKey(&kEmpty, nullptr);
  return true;
}

bool FakeWinDb::DestroyDevList(DevList list) {
  if (!lists_.erase(list)) {
    ++bad_handles;
    return Fail(kErrorInvalidHandle);
  }
  --lists_open;
  return true;
}

const FakeKey* FakeWinDb::KeyOf(RegKey k) {
  if (k == platform::kHkeyLocalMachine) return &hklm;
  if (k == platform::kHkeyDynData) return &dyn_data;
  auto it = keys_.find(k);
  return it == keys_.end() ? nullptr : it->second.key;
}

long FakeWinDb::OpenKey(RegKey parent, const char* sub, uint32_t access, RegKey* out) {
  const FakeKey* k = KeyOf(parent);
  if (!k) return kErrorInvalidHandle;
  if (access != win::kKeyRead) bad_args.push_back("key access");
  // A path of several names ("Config Manager\Enum") walks down.
  std::string path = sub;
  size_t start = 0;
  while (k) {
    const size_t end = path.find('\\', start);
    const std::string name = path.substr(start, end == std::string::npos ? std::string::npos : end - start);
    const FakeKey* next = nullptr;
    for (const auto& [n, child] : k->subkeys)
      if (n == name) next = &child;
    k = next;
    if (end == std::string::npos) break;
    start = end + 1;
  }
  if (!k || k->open_fails) return k ? 5 : win::kErrorFileNotFound;
  *out = NewKey(k, nullptr);
  return win::kErrorSuccess;
}

long FakeWinDb::EnumKey(RegKey key, uint32_t index, char* name, uint32_t* size) {
  const FakeKey* k = KeyOf(key);
  if (!k) return kErrorInvalidHandle;
  if (*size != 128) bad_args.push_back("key name buffer");
  if (index >= k->subkeys.size()) return win::kErrorNoMoreItems;
  const std::string& n = k->subkeys[index].first;
  if (n.size() + 1 > *size) return win::kErrorMoreData;
  std::memcpy(name, n.c_str(), n.size() + 1);
  *size = static_cast<uint32_t>(n.size());
  return win::kErrorSuccess;
}

long FakeWinDb::QueryValue(RegKey key, const char* name, uint8_t* data, uint32_t* size) {
  const FakeKey* k = KeyOf(key);
  if (!k) return kErrorInvalidHandle;
  auto it = k->values.find(name);
  if (it == k->values.end()) return win::kErrorFileNotFound;
  const std::string& v = it->second;
  if (v.size() > *size) {
    *size = static_cast<uint32_t>(v.size());
    return win::kErrorMoreData;
  }
  std::memcpy(data, v.data(), v.size());
  *size = static_cast<uint32_t>(v.size());
  return win::kErrorSuccess;
}

long FakeWinDb::CloseKey(RegKey key) {
  if (!keys_.erase(key)) {
    ++bad_handles;
    return kErrorInvalidHandle;
  }
  --keys_open;
  return win::kErrorSuccess;
}

}  // namespace vantrel::testing
