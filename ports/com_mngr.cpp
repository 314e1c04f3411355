// The port manager's presence queries: the same on every OS, over the port
// scan. The port operations are the OS's own (posix/, win32/).
#include "ports/com_driver.h"

namespace vantrel {

int32_t CComMngr::IsPortAbsent(uint8_t port_number) {
  std::vector<SSerInfo> ports;
  EnumeratePorts(ports, false, false, false);
  for (const auto& p : ports)
    if (p.portNumber == port_number) return 0;
  return 1;
}

int32_t CComMngr::IsPortPresent(uint8_t port_number) {
  std::vector<SSerInfo> ports;
  EnumeratePorts(ports, false, false, false);
  for (const auto& p : ports)
    if (p.portNumber == port_number) return 1;
  return 0;
}

}  // namespace vantrel
