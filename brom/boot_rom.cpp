// The boot ROM's byte protocol: the start handshake, the echo discipline and
// the register sequences that must run before the agent can be loaded.
#include "brom/brom.h"
#include "link/wait.h"
#include "vantrel/codes.h"

namespace vantrel {
namespace {

constexpr uint8_t kCmdWrite16 = 0xA1;
constexpr uint8_t kCmdRead16 = 0xA2;

constexpr uint32_t kWatchdogControl = 0x801E0000;
constexpr uint16_t kWatchdogDisable = 0x2200;

// Power-key block registers.
constexpr uint32_t kPkControl = 0x800C0000;
constexpr uint32_t kPkClear08 = 0x800C0008;
constexpr uint32_t kPkClear0C = 0x800C000C;
constexpr uint32_t kPkClear10 = 0x800C0010;
constexpr uint32_t kPkKey1 = 0x800C0050;
constexpr uint32_t kPkKey2 = 0x800C0054;
constexpr uint32_t kPkConfig = 0x800C0058;
constexpr uint32_t kPkProtect = 0x800C0068;
constexpr uint32_t kPkCommit = 0x800C0074;
constexpr uint16_t kKey1 = 0xA357;
constexpr uint16_t kKey2 = 0x67D2;
constexpr uint16_t kBusyLoad = 0x0080;
constexpr uint16_t kBusyCommit = 0x0040;

// Echo codes of BootSendEcho*.
constexpr int kEchoWriteFailed = 1;
constexpr int kEchoReadFailed = 2;
constexpr int kEchoMismatch = 3;

const char* EchoFailure(int rc) {
  return rc == kEchoWriteFailed ? "the write failed" : rc == kEchoReadFailed ? "no echo" : "a wrong echo";
}

// The echoed parts of a register command; 0 or the first echo code.
int SendRegisterCommand(LinkHandle h, uint8_t cmd, uint32_t address) {
  if (int rc = BootSendEcho8(h, cmd)) return rc;
  if (int rc = BootSendEcho32(h, address)) return rc;
  return BootSendEcho32(h, 1);
}

}  // namespace

int BootSendEcho8(LinkHandle h, uint8_t value) {
  if (LinkWrite8(h, value) != kLinkOk) return kEchoWriteFailed;
  if (!LinkFlush(h)) return kEchoMismatch;
  uint8_t echo = 0;
  if (LinkRead8(h, &echo) != kLinkOk) return kEchoReadFailed;
  return echo == value ? 0 : kEchoMismatch;
}

int BootSendEcho16(LinkHandle h, uint16_t value) {
  if (LinkWrite16(h, value) != kLinkOk) return kEchoWriteFailed;
  uint16_t echo = 0;
  if (LinkRead16(h, &echo) != kLinkOk) return kEchoReadFailed;
  return echo == value ? 0 : kEchoMismatch;
}

int BootSendEcho32(LinkHandle h, uint32_t value) {
  if (LinkWrite32(h, value) != kLinkOk) return kEchoWriteFailed;
  uint32_t echo = 0;
  if (LinkRead32(h, &echo) != kLinkOk) return kEchoReadFailed;
  return echo == value ? 0 : kEchoMismatch;
}

namespace {

constexpr uint8_t kStartSequence[4] = {0xA0, 0x0A, 0x50, 0x05};
// What a stray byte costs the deadline: about its time on the wire.
constexpr uint32_t kStrayByteCostMs = 1;

// Drops what the phone is still sending until the line stays quiet for one
// read time-out, so that the next answer read is the answer to the next byte
// sent. The quiet read costs the deadline its read time-out, each dropped
// byte its time on the wire; false when the deadline is spent or the port is
// gone.
bool DrainUntilQuiet(LinkHandle h, WaitBudget& budget) {
  uint8_t stray = 0;
  while (LinkRead8(h, &stray) == kLinkOk)
    if (!budget.SpendMs(kStrayByteCostMs)) return false;
  return budget.Spend();
}

int HandshakeFailed(LinkHandle h, bool answered) {
  Channel& ch = h->channel();
  if (LinkGone(h)) return ch.Fail(kBootStartFailed, "boot ROM handshake: the port went away");
  if (answered)
    return ch.Fail(kBootStartFailed,
                   "boot ROM handshake: the phone answered but no start sequence completed within %u ms",
                   ch.limits().handshakeMs);
  return ch.Fail(kBootStartFailed,
                 "boot ROM handshake: no answer to 0xA0 within %u ms: the phone is not in download mode",
                 ch.limits().handshakeMs);
}

}  // namespace

// The boot ROM only listens after it has seen the four bytes in a row, each
// answered by its complement; anything else starts the sequence over. The
// phone may still be powering up, so silence is retried, but only until the
// handshake deadline: every round that does not advance spends port time
// from it.
//
// An answer slower than the read time-out is read in a later round, as the
// answer to the wrong byte. A wrong answer therefore means the host may be
// out of step: what is still arriving is dropped before 0xA0 goes out again.
// A time-out needs no such wait: its late answer, if any, is the next
// round's answer, and either it is wrong or (a late 0x5F) the one after it
// is, so the sequence cannot complete out of step; a silent phone still gets
// one 0xA0 per read time-out.
int BootStart(LinkHandle h) {
  WaitBudget budget(h, h->channel().limits().handshakeMs);
  bool answered = false;
  unsigned i = 0;
  for (;;) {
    if (LinkWrite8(h, kStartSequence[i]) != kLinkOk)
      return h->channel().Fail(kBootStartFailed, "boot ROM handshake: writing 0x%02X failed", kStartSequence[i]);
    uint8_t answer = 0;
    const bool got = LinkRead8(h, &answer) == kLinkOk;
    answered = answered || got;
    if (got && answer == uint8_t(~kStartSequence[i])) {
      if (++i == 4) return 0;
      continue;
    }
    i = 0;
    const bool in_time = got ? DrainUntilQuiet(h, budget) : budget.Spend();
    if (!in_time) return HandshakeFailed(h, answered);
  }
}

int BootWrite16(LinkHandle h, uint32_t address, uint16_t value) {
  int rc = SendRegisterCommand(h, kCmdWrite16, address);
  if (rc == 0) rc = BootSendEcho16(h, value);
  if (rc)
    return h->channel().Fail(kBootWrite16Failed, "boot ROM register write 0x%08X = 0x%04X: %s",
                             address, value, EchoFailure(rc));
  return 0;
}

int BootRead16(LinkHandle h, uint32_t address, uint16_t* value) {
  if (int rc = SendRegisterCommand(h, kCmdRead16, address))
    return h->channel().Fail(kBootRead16Failed, "boot ROM register read 0x%08X: %s", address,
                             EchoFailure(rc));
  if (LinkRead16(h, value) != kLinkOk)
    return h->channel().Fail(kBootRead16Failed, "boot ROM register read 0x%08X: no value", address);
  return 0;
}

int BootDisableWatchdog(LinkHandle h) { return BootWrite16(h, kWatchdogControl, kWatchdogDisable); }

namespace {

// One register read at 19200 baud: about 20 bytes each way, some 11 ms.
constexpr uint32_t kRegisterPollCostMs = 10;

// Reads the power-key control register until `bit` reads 0. The bit is a
// hardware busy flag that clears on its own; a phone that keeps it set must
// not hold the stage forever, so every busy answer spends the poll deadline
// by about what the exchange takes on the wire.
bool WaitBitClear(LinkHandle h, uint16_t bit) {
  WaitBudget budget(h, h->channel().limits().registerPollMs);
  for (;;) {
    uint16_t v = 0;
    if (BootRead16(h, kPkControl, &v) != 0) return false;
    if ((v & bit) == 0) return true;
    if (!budget.SpendMs(kRegisterPollCostMs)) {
      h->channel().Fail(kBootPowerKeyFailed, "power key: register 0x%08X kept busy bit 0x%04X set for %u ms",
                        kPkControl, bit, h->channel().limits().registerPollMs);
      return false;
    }
  }
}

}  // namespace

// Unlocks the power-key block and latches the key so the phone stays on once
// the USB cable's power-on signal goes away during the download.
int BootLatchPowerKey(LinkHandle h) {
  auto w = [h](uint32_t a, uint16_t v) { return BootWrite16(h, a, v) == 0; };
  auto commit = [&]() { return w(kPkCommit, 1) && WaitBitClear(h, kBusyCommit); };

  if (!WaitBitClear(h, kBusyLoad) || !WaitBitClear(h, kBusyCommit)) return kBootPowerKeyFailed;

  uint16_t key1 = 0, key2 = 0;
  if (BootRead16(h, kPkKey1, &key1) || BootRead16(h, kPkKey2, &key2)) return kBootPowerKeyFailed;
  if (key1 != kKey1 || key2 != kKey2) {
    if (!w(kPkClear10, 0) || !w(kPkClear08, 0) || !w(kPkClear0C, 0) || !commit()) {
      return kBootPowerKeyFailed;
    }
    if (!w(kPkKey1, kKey1) || !w(kPkKey2, kKey2) || !commit() || !WaitBitClear(h, kBusyLoad)) {
      return kBootPowerKeyFailed;
    }
  }

  if (!w(kPkProtect, 0x586A) || !commit()) return kBootPowerKeyFailed;
  if (!w(kPkProtect, 0x9136) || !commit()) return kBootPowerKeyFailed;

  uint16_t config = 0;
  if (BootRead16(h, kPkConfig, &config)) return kBootPowerKeyFailed;
  if (!w(kPkConfig, config & 0xFFF1) || !w(kPkCommit, 1) || !w(kPkControl, 0x430E) || !commit()) {
    return kBootPowerKeyFailed;
  }
  if (!w(kPkProtect, 0) || !commit()) return kBootPowerKeyFailed;
  return 0;
}

}  // namespace vantrel
