#pragma once
// The port scan: the machine's serial ports that belong to phones the
// plug-in knows. Each scan reads the device database (platform/device_db.h)
// and appends what it finds; the classification keeps the phone ports by
// their friendly names and fills in names. Windows picks one of three scans
// by its version; Linux lists udev's tty devices.
//
// Failures are thrown as PortScanError carrying one message; the array then
// holds what was appended before. Every key, list and buffer a scan opened is
// released before the exception leaves it.
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/device_db.h"

namespace vantrel {

// One port found by the port scan.
struct SSerInfo {
  std::string devicePath;    // "\\.\" + port name (Linux: the device node)
  std::string portName;      // e.g. COM5
  std::string friendlyName;  // the device's description
  int32_t usb = 0;           // 1 when the port is on USB
  std::string displayName;   // friendly name without its " #n" instance suffix
  uint8_t portNumber = 0;    // low 8 bits of the number after "COM"; 0 when none
};

class PortScanError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The udev property that the project's udev rule sets on a phone's ports:
// the friendly name the phone's Windows driver would give.
inline constexpr const char* kFriendlyNameProperty = "VANTREL_FRIENDLY_NAME";

// Scans the installed device database (platform::GetDeviceDatabase), then
// classifies the whole array.
void EnumeratePorts(std::vector<SSerInfo>& ports, bool check_open, bool modem_class, bool clear_first);
void EnumeratePorts(platform::DeviceDatabase& db, std::vector<SSerInfo>& ports, bool check_open,
                    bool modem_class, bool clear_first);

// The scan of `db` alone, before classification (what `vantrel ports --all` shows).
void ScanPorts(platform::DeviceDatabase& db, std::vector<SSerInfo>& ports, bool modem_class);

// Keeps the phone ports (and, with check_open, only those that open now) and
// fills in empty friendly and display names.
void ClassifyPorts(std::vector<SSerInfo>& ports, bool check_open);
bool IsPhoneName(const std::string& friendly_name);

// "COM%d": the low 8 bits of the number after "COM" (optional blanks and
// sign, as the C library reads it; digits beyond 32 bits wrap); 0 when the
// name does not have that form.
uint8_t ParseComNumber(const std::string& port_name);

// The Windows scans.
void ScanDeviceInterfaces(platform::WinDeviceDb& db, std::vector<SSerInfo>& ports, bool modem_class);
void ScanNumbered(std::vector<SSerInfo>& ports);
void ScanLegacyRegistry(platform::WinDeviceDb& db, std::vector<SSerInfo>& ports);
// The Linux scan: udev's tty devices, numbered by the port directory's links.
void ScanTtys(platform::TtyDeviceDb& db, std::vector<SSerInfo>& ports);

}  // namespace vantrel
