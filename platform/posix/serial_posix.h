#pragma once
// The POSIX port's own additions to the platform interface, for the POSIX
// build only (tests of the port use them).
#include <memory>
#include <string>

#include "platform/serial_port.h"

namespace vantrel::platform {

// Bytes the driver still holds for sending (TIOCOUTQ); -1 with errno set when
// the query fails.
using OutputQueueProbe = int (*)(int fd);

// A port over an open tty descriptor, which it then owns. `probe` replaces the
// output-queue query (nullptr: TIOCOUTQ), so a test can stand for a driver
// that never drains; a pseudo-terminal's queue is always empty.
std::unique_ptr<SerialPort> AdoptTty(int fd, std::string name, OutputQueueProbe probe);

}  // namespace vantrel::platform
