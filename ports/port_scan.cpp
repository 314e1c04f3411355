// The scan's front end and the classification, the same on every OS.
#include "ports/port_scan.h"

#include <cstdio>

#include "platform/serial_port.h"

namespace vantrel {
namespace {

// Kept when the friendly name begins with one of these, in this order.
const char* const kPhoneNames[] = {
    "QVE CDMA USB Modem",
    "QVE Mobile USB Modem",
    "QVE Mobile USB Serial Port",
    "QVE CDMA USB Serial Port",
};

// "Begins with": the first occurrence is at position 0.
bool BeginsWith(const std::string& s, const char* prefix) { return s.find(prefix) == 0; }

}  // namespace

bool IsPhoneName(const std::string& f) {
  for (const char* name : kPhoneNames)
    if (BeginsWith(f, name)) return true;
  return BeginsWith(f, "FOMA L") || BeginsWith(f, "Qualcomm HS-USB Diag") ||
         (BeginsWith(f, "FOMA SA") && f.find("OBEX") != std::string::npos);
}

uint8_t ParseComNumber(const std::string& name) {
  if (name.compare(0, 3, "COM") != 0) return 0;
  size_t i = 3;
  while (i < name.size() && (name[i] == ' ' || (name[i] >= '\t' && name[i] <= '\r'))) ++i;
  bool negative = false;
  if (i < name.size() && (name[i] == '+' || name[i] == '-')) negative = name[i++] == '-';
  if (i >= name.size() || name[i] < '0' || name[i] > '9') return 0;
  uint32_t n = 0;  // unsigned: wraps instead of overflowing
  for (; i < name.size() && name[i] >= '0' && name[i] <= '9'; ++i) n = n * 10u + uint32_t(name[i] - '0');
  if (negative) n = 0u - n;
  return static_cast<uint8_t>(n & 0xFFu);
}

void ClassifyPorts(std::vector<SSerInfo>& ports, bool check_open) {
  // Removing an entry moves the later ones down; done as one stable
  // compaction so that thousands of entries cost one pass.
  size_t kept = 0;
  for (size_t i = 0; i < ports.size(); ++i) {
    SSerInfo& p = ports[i];
    if (!IsPhoneName(p.friendlyName) || (check_open && !platform::OpenPortPath(p.devicePath))) continue;
    if (p.friendlyName.empty()) p.friendlyName = p.portName;
    if (p.displayName.empty()) p.displayName = p.friendlyName;
    const size_t cut = p.displayName.find(" #");
    if (cut != std::string::npos && cut > 0) p.displayName.resize(cut);
    if (kept != i) ports[kept] = std::move(p);
    ++kept;
  }
  ports.resize(kept);
}

void ScanPorts(platform::DeviceDatabase& db, std::vector<SSerInfo>& ports, bool modem_class) {
  if (platform::TtyDeviceDb* ttys = db.Ttys()) {
    ScanTtys(*ttys, ports);
    return;
  }
  platform::WinDeviceDb* win = db.Windows();
  if (!win) throw PortScanError("No device database on this system.");
  platform::OsVersion v;
  v.sizeField = 148;
  if (!win->QueryVersion(&v)) {
    char msg[64];
    std::snprintf(msg, sizeof msg, "Could not get OS version. (err=%lx)",
                  static_cast<unsigned long>(win->LastError()));
    throw PortScanError(msg);
  }
  if (v.major >= 5)
    ScanDeviceInterfaces(*win, ports, modem_class);
  else if (v.platformId == platform::win::kVerPlatformWin32Nt)
    ScanNumbered(ports);
  else
    ScanLegacyRegistry(*win, ports);
}

void EnumeratePorts(platform::DeviceDatabase& db, std::vector<SSerInfo>& ports, bool check_open,
                    bool modem_class, bool clear_first) {
  if (clear_first) ports.clear();
  ScanPorts(db, ports, modem_class);
  ClassifyPorts(ports, check_open);
}

void EnumeratePorts(std::vector<SSerInfo>& ports, bool check_open, bool modem_class, bool clear_first) {
  EnumeratePorts(platform::GetDeviceDatabase(), ports, check_open, modem_class, clear_first);
}

}  // namespace vantrel
