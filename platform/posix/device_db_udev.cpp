// The device database on Linux: udev's tty devices with their properties,
// and the port directory's COM<n> links.
#include "platform/posix/device_db_udev.h"

#include <libudev.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <memory>

#include "platform/serial_port.h"

namespace vantrel::platform {
namespace {

struct UdevFree {
  void operator()(udev* u) const { udev_unref(u); }
  void operator()(udev_enumerate* e) const { udev_enumerate_unref(e); }
  void operator()(udev_device* d) const { udev_device_unref(d); }
};
template <class T>
using UdevPtr = std::unique_ptr<T, UdevFree>;

bool IsSerialHardware(udev_device* dev) {
  const char* syspath = udev_device_get_syspath(dev);
  if (!syspath || std::strncmp(syspath, "/sys/devices/virtual/", 21) == 0) return false;
  udev_device* parent = udev_device_get_parent(dev);  // owned by dev
  if (!parent) return false;
  // The 8250 driver registers ttyS slots that no hardware backs.
  const char* sub = udev_device_get_subsystem(parent);
  const char* name = udev_device_get_sysname(parent);
  return !(sub && name && std::strcmp(sub, "platform") == 0 && std::strcmp(name, "serial8250") == 0);
}

bool ReadDevice(udev* u, const char* syspath, TtyDevice* out) {
  UdevPtr<udev_device> dev(udev_device_new_from_syspath(u, syspath));
  if (!dev) return false;  // vanished since the listing
  const char* node = udev_device_get_devnode(dev.get());
  if (!node || !IsSerialHardware(dev.get())) return false;
  TtyDevice d;
  d.devnode = node;
  for (udev_list_entry* e = udev_device_get_properties_list_entry(dev.get()); e;
       e = udev_list_entry_get_next(e)) {
    const char* k = udev_list_entry_get_name(e);
    const char* v = udev_list_entry_get_value(e);
    if (k) d.properties[k] = v ? v : "";
  }
  *out = std::move(d);
  return true;
}

}  // namespace

bool ReadUdevTty(const std::string& syspath, TtyDevice* out) {
  UdevPtr<udev> u(udev_new());
  return u && ReadDevice(u.get(), syspath.c_str(), out);
}

bool UdevTtyDb::ListTtys(std::vector<TtyDevice>* out, std::string* error) {
  UdevPtr<udev> u(udev_new());
  if (!u) {
    *error = "udev is not available (" + std::string(std::strerror(errno)) + ")";
    return false;
  }
  UdevPtr<udev_enumerate> en(udev_enumerate_new(u.get()));
  if (!en || udev_enumerate_add_match_subsystem(en.get(), "tty") < 0 ||
      udev_enumerate_scan_devices(en.get()) < 0) {
    *error = "udev could not list the tty devices";
    return false;
  }
  for (udev_list_entry* e = udev_enumerate_get_list_entry(en.get()); e; e = udev_list_entry_get_next(e)) {
    TtyDevice d;
    if (const char* path = udev_list_entry_get_name(e); path && ReadDevice(u.get(), path, &d))
      out->push_back(std::move(d));
  }
  return true;
}

DeviceDatabase& SystemDeviceDatabase() {
  static UdevTtyDb db;
  return db;
}

std::vector<ComLink> ListPortDirectory() {
  namespace fs = std::filesystem;
  std::vector<ComLink> links;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(PortDirectory(), ec)) {
    const std::string name = e.path().filename().string();
    if (name.size() < 4 || name.compare(0, 3, "COM") != 0) continue;
    bool digits = true;
    for (size_t i = 3; i < name.size(); ++i) digits = digits && std::isdigit(static_cast<unsigned char>(name[i]));
    if (!digits) continue;
    std::error_code ec2;
    fs::path target = fs::canonical(e.path(), ec2);  // a dangling link is an absent port
    if (!ec2) links.push_back({name, target.string()});
  }
  std::sort(links.begin(), links.end(), [](const ComLink& a, const ComLink& b) {
    return a.name.size() != b.name.size() ? a.name.size() < b.name.size() : a.name < b.name;
  });
  return links;
}

}  // namespace vantrel::platform
