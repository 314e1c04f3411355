// The event-driven port on POSIX: the same non-blocking descriptor as the
// synchronous port. There is no event mask and no XON/XOFF limit to set, and
// a read never stays pending (it returns what is queued), so these map onto
// the serial port's own calls.
#include "platform/event_port.h"

namespace vantrel::platform {
namespace {

class PosixEventPort final : public EventPort {
 public:
  explicit PosixEventPort(std::unique_ptr<SerialPort> p) : p_(std::move(p)) {}

  SerialPort& Port() override { return *p_; }

  bool SetEventMask(uint32_t) override { return !p_->Gone(); }

  bool ClearError(uint32_t* errors, uint32_t* in_queue) override {
    *errors = 0;
    *in_queue = 0;
    if (!p_->ClearError()) return false;
    *in_queue = p_->InputQueued();
    return !p_->Gone();  // a hung-up far end shows up while counting the queue
  }

  bool SetLine(const LineSettings& s, const FlowChars&) override { return p_->SetLine(s); }

  IoResult Read(void* buf, uint32_t n, uint32_t, uint32_t* got) override {
    if (p_->Read(static_cast<uint8_t*>(buf), n, got)) return IoResult::kDone;
    return p_->Gone() ? IoResult::kGone : IoResult::kFailed;
  }

  IoResult Write(const void* buf, uint32_t n, uint32_t* put) override {
    if (p_->Write(static_cast<const uint8_t*>(buf), n, put)) return IoResult::kDone;
    return p_->Gone() ? IoResult::kGone : IoResult::kFailed;
  }

 private:
  std::unique_ptr<SerialPort> p_;
};

}  // namespace

std::unique_ptr<EventPort> OpenEventPort(unsigned number, const std::string& dir) {
  auto p = OpenComPort(number, /*overlapped=*/true, nullptr, dir);
  if (!p) return nullptr;
  return std::make_unique<PosixEventPort>(std::move(p));
}

}  // namespace vantrel::platform
