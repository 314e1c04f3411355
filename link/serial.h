#pragma once
// Opening the phone's COM port for a download, and the serial-port object the
// engine carries.
#include <cstdint>
#include <memory>
#include <string>

#include "link/link.h"

namespace vantrel {

// Opens "\\.\COM<n>" for exclusive synchronous use and puts it in the state
// the boot ROM expects: `baud` 8N1, no flow control, DTR and RTS raised,
// 8192-byte queues, queues purged, 20 ms read / 5000 ms write time-outs.
// Returns 0 with the port in *port, or 3. On failure *port is empty: the
// handle opened is closed again, because a handle left open would make every
// later attempt fail on a port this process holds itself.
// `port_dir` is where COM<n> is looked up (empty: the default); a non-empty
// `transcript` names a file that records the wire for field reports ("%u"
// becomes n). Set-up calls are not wire bytes.
int OpenLinkPort(uint32_t baud, uint32_t n, std::unique_ptr<platform::SerialPort>* port,
                 const std::string& port_dir = {}, const std::string& transcript = {});

// Configures an already open port the same way (steps after the open).
int ConfigureLinkPort(platform::SerialPort& port, uint32_t baud);

// The serial-port object the engine carries. The download does not use it; it
// is constructed closed and closes itself on destruction when open.
class CSerial {
 public:
  CSerial() = default;
  ~CSerial();
  CSerial(const CSerial&) = delete;
  CSerial& operator=(const CSerial&) = delete;

  int32_t Close();
  // Takes an open port (no operation of the download opens this object).
  void Attach(std::unique_ptr<platform::SerialPort> port);
  bool is_open() const { return open_ != 0; }

 private:
  std::unique_ptr<platform::SerialPort> port_;
  int32_t open_ = 0;
  [[maybe_unused]] uint8_t setting_ = 4;  // kept for layout; nothing reads it
};

}  // namespace vantrel
