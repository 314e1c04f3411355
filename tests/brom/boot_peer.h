#pragma once
// A small boot ROM played byte by byte through the fake link's responder:
// complements during the handshake, echoes every command byte and value,
// keeps registers, swallows 0xAD data and checksums it. Long exchanges (the
// power-key sequence, 82808 bytes of DA1) are easier to check against it
// than against a script.
#include <cstdint>
#include <functional>
#include <map>
#include <utility>
#include <vector>

#include "tests/support/fake_link.h"

namespace vantrel::testing {

class BootPeer {
 public:
  struct Load {
    uint32_t address = 0;
    uint32_t words = 0;
    std::vector<uint8_t> wire;  // the data bytes as they arrived
  };

  explicit BootPeer(FakeLink& link) {
    link.SetResponder([this](FakeLink& l, uint8_t b) { Feed(l, b); });
  }
  BootPeer(const BootPeer&) = delete;
  BootPeer& operator=(const BootPeer&) = delete;

  // One byte from the plug-in; answers are queued on `l`.
  void Feed(FakeLink& l, uint8_t b) { OnByte(l, b); }

  // Start past the handshake, for tests of single commands.
  void OnHandshakeDone() { state_ = State::kCommand; }
  // Make the control register read busy now, as after a commit.
  void TriggerBusy() { busy_left_ = busy_polls; }

  std::map<uint32_t, uint16_t> regs;
  std::vector<std::pair<uint32_t, uint16_t>> writes;  // 0xA1 commands in order
  std::vector<Load> loads;
  std::vector<uint32_t> checksum_requests;  // word counts sent with 0xA4
  uint32_t jumped_to = 0;
  bool jumped = false;
  // After each write to the commit register, the control register reads with
  // this busy bit set for `busy_polls` reads.
  uint32_t busy_polls = 2;
  uint16_t busy_bit = 0x0040;
  uint32_t control_reads = 0;
  // XORed into every checksum answer (non-zero makes the check fail).
  uint16_t checksum_error = 0;
  // Answer the watchdog write's value with a wrong echo.
  bool spoil_watchdog_echo = false;

 private:
  enum class State { kHandshake, kCommand, kArgs, kData };

  void Echo(FakeLink& l, const std::vector<uint8_t>& bytes) { l.AddRead(bytes); }

  void OnByte(FakeLink& l, uint8_t b) {
    switch (state_) {
      case State::kHandshake: {
        static constexpr uint8_t seq[4] = {0xA0, 0x0A, 0x50, 0x05};
        l.AddRead8(uint8_t(~b));
        hs_ = (b == seq[hs_]) ? hs_ + 1 : 0;
        if (hs_ == 4) state_ = State::kCommand;
        return;
      }
      case State::kCommand:
        cmd_ = b;
        l.AddRead8(b);
        args_.clear();
        state_ = State::kArgs;
        return;
      case State::kArgs:
        arg_bytes_.push_back(b);
        if (arg_bytes_.size() == NextArgWidth()) {
          uint32_t v = 0;
          for (uint8_t x : arg_bytes_) v = (v << 8) | x;
          std::vector<uint8_t> echo = arg_bytes_;
          if (spoil_watchdog_echo && cmd_ == 0xA1 && args_.size() == 2 && args_[0] == 0x801E0000)
            echo.back() ^= 1;
          Echo(l, echo);
          arg_bytes_.clear();
          args_.push_back(v);
          if (args_.size() == ArgCount()) Execute(l);
        }
        return;
      case State::kData:
        loads_back().wire.push_back(b);
        if (loads_back().wire.size() == uint64_t(loads_back().words) * 2) state_ = State::kCommand;
        return;
    }
  }

  Load& loads_back() { return loads.back(); }
  size_t ArgCount() const {
    switch (cmd_) {
      case 0xA1: return 3;
      case 0xA8: return 1;
      default: return 2;
    }
  }
  size_t NextArgWidth() const { return (cmd_ == 0xA1 && args_.size() == 2) ? 2 : 4; }

  void Execute(FakeLink& l) {
    state_ = State::kCommand;
    switch (cmd_) {
      case 0xA1:
        writes.emplace_back(args_[0], uint16_t(args_[2]));
        regs[args_[0]] = uint16_t(args_[2]);
        if (args_[0] == 0x800C0074) busy_left_ = busy_polls;
        break;
      case 0xA2: {
        uint16_t v = regs[args_[0]];
        if (args_[0] == 0x800C0000) {
          ++control_reads;
          if (busy_left_) {
            --busy_left_;
            v |= busy_bit;
          }
        }
        l.AddRead16(v);
        break;
      }
      case 0xAD:
        loads.push_back({args_[0], args_[1], {}});
        if (args_[1]) state_ = State::kData;
        break;
      case 0xA4: {
        checksum_requests.push_back(args_[1]);
        uint16_t sum = 0;
        const auto& w = loads.back().wire;
        for (size_t i = 0; i + 1 < w.size(); i += 2) sum ^= uint16_t((w[i] << 8) | w[i + 1]);
        l.AddRead16(sum ^ checksum_error);
        break;
      }
      case 0xA8:
        jumped = true;
        jumped_to = args_[0];
        break;
    }
  }

  State state_ = State::kHandshake;
  unsigned hs_ = 0;
  uint8_t cmd_ = 0;
  std::vector<uint8_t> arg_bytes_;
  std::vector<uint32_t> args_;
  uint32_t busy_left_ = 0;
};

}  // namespace vantrel::testing
