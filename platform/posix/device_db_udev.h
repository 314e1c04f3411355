#pragma once
// The udev backend of the tty device database, exposed for its own tests.
#include <string>

#include "platform/device_db.h"

namespace vantrel::platform {

class UdevTtyDb final : public TtyDeviceDb {
 public:
  bool ListTtys(std::vector<TtyDevice>* out, std::string* error) override;
};

// Reads one tty device by its sysfs path. False when it does not exist (it
// vanished after the listing), has no device node, or is no serial hardware:
// a virtual terminal, or one of the serial8250 driver's empty slots.
bool ReadUdevTty(const std::string& syspath, TtyDevice* out);

}  // namespace vantrel::platform
