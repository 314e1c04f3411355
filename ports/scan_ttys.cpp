// The Linux scan: udev's tty devices as SSerInfo entries. The COM number is
// the one under which the port directory links the device; the friendly name
// is what the project's udev rule sets for a phone's ports, else the vendor
// and model udev reports, as "<ID_VENDOR> <ID_MODEL>".
#include "ports/port_scan.h"

namespace vantrel {
namespace {

std::string Property(const platform::TtyDevice& d, const char* key) {
  auto it = d.properties.find(key);
  return it == d.properties.end() ? std::string() : it->second;
}

std::string FriendlyName(const platform::TtyDevice& d) {
  std::string name = Property(d, kFriendlyNameProperty);
  if (!name.empty()) return name;
  const std::string vendor = Property(d, "ID_VENDOR"), model = Property(d, "ID_MODEL");
  return vendor.empty() ? model : model.empty() ? vendor : vendor + " " + model;
}

}  // namespace

void ScanTtys(platform::TtyDeviceDb& db, std::vector<SSerInfo>& ports) {
  std::vector<platform::TtyDevice> devices;
  std::string error;
  if (!db.ListTtys(&devices, &error))
    throw PortScanError("Could not list the serial ports: " + error + ".");
  const std::vector<platform::ComLink> links = platform::ListPortDirectory();
  for (const auto& d : devices) {
    SSerInfo e;
    e.devicePath = d.devnode;
    for (const auto& link : links)  // in name order: the lowest number wins
      if (link.target == d.devnode) {
        e.portName = link.name;
        break;
      }
    e.friendlyName = FriendlyName(d);
    e.usb = Property(d, "ID_BUS") == "usb" ? 1 : 0;
    e.portNumber = ParseComNumber(e.portName);
    ports.push_back(std::move(e));
  }
}

}  // namespace vantrel
