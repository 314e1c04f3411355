#include "ports/com_driver.h"

namespace vantrel {

void EnumeratePorts(std::vector<SSerInfo>& ports, bool /*check_open*/, bool /*modem_class*/,
                    bool clear_first) {
  if (clear_first) ports.clear();
}

}  // namespace vantrel
