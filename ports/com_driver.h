#pragma once
// The port manager: the plug-in's own handle on one COM port, separate from
// the engine's serial link. The session's port wait uses Open and ClosePort;
// the other operations complete the interface.
//
// Thread safety: none; one object is used by one thread.
#include <cstdint>
#include <memory>
#include <string>

#include "platform/event_port.h"
#include "ports/port_scan.h"

namespace vantrel {

class CComDriver {
 public:
  virtual ~CComDriver() = default;
  virtual int32_t OpenPort() = 0;
  virtual void ClosePort() = 0;
  virtual int32_t PurgeRx() = 0;
  virtual int32_t PurgeAll() = 0;
  virtual int32_t IsOpen() = 0;
  virtual int32_t Write(const void* buffer, uint32_t length) = 0;
  virtual uint32_t Read(void* buffer, uint32_t capacity) = 0;
  virtual platform::SerialPort* GetHandle() = 0;
  virtual int32_t Open(uint8_t port_number) = 0;
  virtual int32_t SetBaudRate(uint32_t baud) = 0;
  virtual int32_t IsPortAbsent(uint8_t port_number) = 0;
  virtual int32_t IsPortPresent(uint8_t port_number) = 0;
  virtual int32_t Validate(uint32_t value) = 0;
};

class CComMngr : public CComDriver {
 public:
  CComMngr() = default;
  // `port_dir`: the session's port directory (empty: the process default).
  explicit CComMngr(std::string port_dir) : port_dir_(std::move(port_dir)) {}
  // Does not close the port: the owner calls ClosePort first. (Our handle
  // still releases the port, so nothing leaks if the owner forgets.)
  ~CComMngr() override = default;

  int32_t OpenPort() override;
  void ClosePort() override;
  int32_t PurgeRx() override;
  int32_t PurgeAll() override;
  int32_t IsOpen() override { return open_; }
  int32_t Write(const void* buffer, uint32_t length) override;
  uint32_t Read(void* buffer, uint32_t capacity) override;
  platform::SerialPort* GetHandle() override { return port_ ? &port_->Port() : nullptr; }
  int32_t Open(uint8_t port_number) override;
  int32_t SetBaudRate(uint32_t baud) override;
  int32_t IsPortAbsent(uint8_t port_number) override;
  int32_t IsPortPresent(uint8_t port_number) override;
  int32_t Validate(uint32_t) override { return 1; }

  int32_t ConfigurePort(uint32_t baud, uint8_t byte_size, uint8_t parity, uint8_t stop_bits);
  // 2 when the line uses DTR handshake (nothing sent), else 0 after setting DTR.
  int32_t SetDtr(bool on);

  uint8_t port_number() const { return port_number_; }
  const platform::LineSettings& line() const { return line_; }
  void set_line_for_test(const platform::LineSettings& s) { line_ = s; }

 private:
  platform::LineSettings line_{};
  int32_t open_ = 0;
  uint8_t port_number_ = 0;
  std::string port_dir_;
  std::unique_ptr<platform::EventPort> port_;
};

}  // namespace vantrel
