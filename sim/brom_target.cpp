// The simulated phone's boot ROM: start handshake, echoed register commands
// on a small register file, image loads into a sparse memory, checksums and
// the jump into the download agent.
#include <algorithm>
#include <cstdio>

#include "sim/target.h"

namespace vantrel::sim {

namespace {

constexpr uint8_t kStart[4] = {0xA0, 0x0A, 0x50, 0x05};
constexpr uint32_t kPowerKeyStatus = 0x800C0000;
constexpr uint32_t kPowerKeyTrigger = 0x800C0074;
constexpr uint16_t kBusyBits = 0x0080 | 0x0040;
constexpr uint32_t kMaxRegisterCount = 4096;
constexpr uint32_t kMaxLoadWords = 4u << 20;   // 8 MiB per load
constexpr size_t kMaxMemoryPages = 8192;       // 32 MiB of loaded memory in all

}  // namespace

uint16_t ByteSum16(const uint8_t* p, size_t n) {
  uint32_t s = 0;
  for (size_t i = 0; i < n; ++i) s += p[i];
  return static_cast<uint16_t>(s);
}

uint16_t XorLe16(const uint8_t* p, size_t n) {
  uint16_t x = 0;
  for (size_t i = 0; i + 1 < n; i += 2) x ^= static_cast<uint16_t>(p[i] | (p[i + 1] << 8));
  return x;
}

std::string Hex(uint32_t v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%X", v);
  return buf;
}

void Target::ResetBootRom() {
  regs_.clear();
  memory_.clear();
  regs_[kPowerKeyStatus] = 0;
  regs_[0x800C0050] = cfg_.powerKeyLatched ? 0xA357 : 0;
  regs_[0x800C0054] = cfg_.powerKeyLatched ? 0x67D2 : 0;
  regs_[0x800C0058] = cfg_.reg800C0058;
  // Just powered: the block is busy for a few polls before anything happens.
  busy_ = cfg_.powerKeyBusyPolls;
}

void Target::RunBootRom() {
  Handshake(-1);
  for (;;) {
    uint8_t cmd = w().Get();
    switch (cmd) {
      case 0xA1: EchoCommand(cmd, "brom:0xA1"); CmdWrite16(); break;
      case 0xA2: EchoCommand(cmd, "brom:0xA2"); CmdRead16(); break;
      case 0xA4: EchoCommand(cmd, "brom:0xA4"); CmdChecksum(); break;
      case 0xAD: EchoCommand(cmd, "brom:0xAD"); CmdLoad(); break;
      case 0xA8:
        EchoCommand(cmd, "brom:0xA8");
        if (CmdJump()) return;
        break;
      case 0xA0:
        // The host started over (it lost step with us): a new start sequence.
        Handshake(cmd);
        break;
      default:
        Problem("unknown boot ROM command " + Hex(cmd) + " ignored");
        break;
    }
  }
}

// Each byte of 0xA0 0x0A 0x50 0x05 is answered with its complement. A byte
// out of sequence restarts the sequence; a stray 0xA0 begins a new one at
// once, anything else is ignored without an answer.
void Target::Handshake(int firstByte) {
  unsigned i = 0;
  for (;;) {
    uint8_t b = firstByte >= 0 ? static_cast<uint8_t>(firstByte) : w().Get();
    firstByte = -1;
    if (b != kStart[i]) {
      if (i > 0) Rec([](PhoneRecord& r) { ++r.handshakeRestarts; });
      i = 0;
      if (b != kStart[0]) continue;
    }
    if (i == 0) Hit("brom:handshake");
    uint8_t answer = static_cast<uint8_t>(~b);
    if (cfg_.faults.wrongComplementAt == static_cast<int>(i) && !wrongComplementDone_) {
      wrongComplementDone_ = true;
      FaultLog("wrong complement for handshake byte " + std::to_string(i));
      w().Put8(static_cast<uint8_t>(answer ^ 0x10));
      i = 0;  // the host starts again with 0xA0
      continue;
    }
    // The record is updated before the last answer goes out, so that a host
    // that has its answer also sees the handshake counted.
    if (i == 3) Rec([](PhoneRecord& r) { ++r.handshakes; });
    w().Put8(answer);
    if (++i == 4) {
      w().Note("start sequence complete");
      return;
    }
  }
}

void Target::EchoCommand(uint8_t cmd, const std::string& point) {
  if (Hit(point)) {
    FaultLog("echo mismatch for " + point);
    w().Put8(static_cast<uint8_t>(cmd ^ 0xFF));
    return;
  }
  w().Put8(cmd);
}

uint32_t Target::Echo32() {
  uint32_t v = w().GetBe32();
  w().PutBe32(v);
  return v;
}

uint16_t Target::Echo16() {
  uint16_t v = w().GetBe16();
  w().PutBe16(v);
  return v;
}

uint16_t Target::ReadRegister(uint32_t address) {
  auto it = regs_.find(address);
  uint16_t v = it == regs_.end() ? 0 : it->second;
  if (address == kPowerKeyStatus && busy_ > 0) {
    --busy_;
    v |= kBusyBits;
    Rec([](PhoneRecord& r) { ++r.busyPolls; });
  }
  return v;
}

void Target::WriteRegister(uint32_t address, uint16_t value) {
  Rec([&](PhoneRecord& r) { r.registerWrites.push_back({address, value}); });
  // The busy bits of the status register are read-only.
  regs_[address] = address == kPowerKeyStatus ? static_cast<uint16_t>(value & ~kBusyBits) : value;
  if (address == kPowerKeyTrigger && value == 1) busy_ = cfg_.powerKeyBusyPolls;
}

void Target::CmdWrite16() {
  uint32_t address = Echo32();
  uint32_t count = Echo32();
  if (count > kMaxRegisterCount) {
    Problem("0xA1 with register count " + std::to_string(count));
    throw Halt{Halt::kSilence};
  }
  for (uint32_t i = 0; i < count; ++i) WriteRegister(address + 2 * i, Echo16());
}

void Target::CmdRead16() {
  uint32_t address = Echo32();
  uint32_t count = Echo32();
  if (count > kMaxRegisterCount) {
    Problem("0xA2 with register count " + std::to_string(count));
    throw Halt{Halt::kSilence};
  }
  for (uint32_t i = 0; i < count; ++i) w().PutBe16(ReadRegister(address + 2 * i));
}

// 0xAD: the data is not echoed. Each 16-bit image word arrives high byte
// first; memory keeps the bytes as they arrived.
void Target::CmdLoad() {
  uint32_t address = Echo32();
  uint32_t words = Echo32();
  if (words > kMaxLoadWords) {
    Problem("0xAD load of " + std::to_string(words) + " words refused");
    throw Halt{Halt::kSilence};
  }
  uint16_t x = 0;
  std::vector<uint8_t> chunk(4096);
  uint64_t total = uint64_t{words} * 2, done = 0;
  while (done < total) {
    size_t n = static_cast<size_t>(std::min<uint64_t>(chunk.size(), total - done));
    w().GetBytes(chunk.data(), n);
    for (size_t i = 0; i < n; ++i) {
      uint32_t a = address + static_cast<uint32_t>(done + i);
      auto& page = memory_[a >> 12];
      if (page.empty()) {
        if (memory_.size() > kMaxMemoryPages) {
          Problem("target memory exhausted by 0xAD loads");
          throw Halt{Halt::kSilence};
        }
        page.assign(4096, 0);
      }
      page[a & 0xFFF] = chunk[i];
    }
    for (size_t i = 0; i + 1 < n; i += 2) x ^= static_cast<uint16_t>((chunk[i] << 8) | chunk[i + 1]);
    done += n;
  }
  Rec([&](PhoneRecord& r) { r.daLoads.push_back({address, words, x}); });
  w().Note("loaded " + std::to_string(words) + " words at " + Hex(address));
}

void Target::CmdChecksum() {
  uint32_t address = Echo32();
  uint32_t words = Echo32();
  uint16_t x = 0;
  uint64_t bytes = std::min<uint64_t>(uint64_t{words} * 2, uint64_t{kMaxLoadWords} * 2);
  for (uint64_t i = 0; i + 1 < bytes; i += 2) {
    auto byteAt = [&](uint64_t off) -> uint8_t {
      uint32_t a = address + static_cast<uint32_t>(off);
      auto it = memory_.find(a >> 12);
      return it == memory_.end() ? 0 : it->second[a & 0xFFF];
    };
    x ^= static_cast<uint16_t>((byteAt(i) << 8) | byteAt(i + 1));
  }
  ++checksumAnswers_;
  bool wrong = cfg_.faults.wrongChecksumAtLoad == checksumAnswers_;
  if (wrong) {
    FaultLog("wrong checksum for 0xA4 number " + std::to_string(checksumAnswers_));
    x ^= 0x0101;
  }
  Rec([&](PhoneRecord& r) {
    r.checksums.push_back({address, words, x, wrong});
    for (auto it = r.daLoads.rbegin(); it != r.daLoads.rend(); ++it) {
      if (it->address == address && it->words == words) {
        it->checked = true;
        it->answeredRight = x == it->xorOfData;
        break;
      }
    }
  });
  w().PutBe16(x);
}

bool Target::MemoryLoadedAt(uint32_t address) const {
  return memory_.find(address >> 12) != memory_.end();
}

bool Target::CmdJump() {
  uint32_t address = Echo32();
  Rec([&](PhoneRecord& r) { r.jumpAddress = address; });
  if (address == cfg_.da1Address && MemoryLoadedAt(address)) {
    w().Note("jump into the agent at " + Hex(address));
    return true;
  }
  // Running whatever lies there: the phone hangs.
  Problem("jump to " + Hex(address) + " where no agent was loaded");
  throw Halt{Halt::kSilence};
}

}  // namespace vantrel::sim
