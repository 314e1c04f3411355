#include "ports/com_driver.h"

namespace vantrel {

// The device-database scan that classifies ports by their friendly names is
// not written yet; until it is, the scan finds no phone port.
void EnumeratePorts(std::vector<SSerInfo>& ports, bool /*check_open*/, bool /*modem_class*/,
                    bool clear_first) {
  if (clear_first) ports.clear();
}

}  // namespace vantrel
