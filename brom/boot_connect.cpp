// The whole boot ROM stage: handshake, watchdog, power key, loading and
// checking both parts of the agent, and the jump into it.
#include <vector>

#include "brom/brom.h"
#include "vantrel/codes.h"

namespace vantrel {
namespace {

constexpr uint8_t kCmdLoad = 0xAD;
constexpr uint8_t kCmdChecksum = 0xA4;
constexpr uint8_t kCmdJump = 0xA8;
constexpr uint32_t kChunkBytes = 1024;
// The boot ROM needs a moment to checksum the loaded range before it answers.
constexpr uint32_t kChecksumPauseMs = 200;
constexpr uint32_t kReadTimeoutMs = 500;
constexpr uint32_t kWriteTimeoutMs = 5000;

}  // namespace

// The boot ROM takes the image as 16-bit words and stores each word with its
// bytes in the order they arrive, while the image holds them little-endian:
// every pair goes out swapped. Its checksum is the XOR of all words. An image
// of odd length (the carried ones are even) gets a zero high byte in its last
// word, so the word count covers every byte and nothing past the end is read.
int BootSendDa(LinkHandle h, const ImageDesc* image) {
  Channel& ch = h->channel();
  if (!image || (!image->data && image->length))
    return ch.Fail(kNoDescriptor, "no descriptor for the agent image");
  const uint32_t length = image->length;
  const uint32_t words = length / 2 + length % 2;
  if (BootSendEcho8(h, kCmdLoad) || BootSendEcho32(h, image->address) || BootSendEcho32(h, words)) {
    return ch.Fail(kBootSendDaFailed, "load command 0xAD for 0x%08X: the boot ROM's echo failed",
                   image->address);
  }

  uint16_t checksum = 0;
  uint8_t buf[kChunkBytes];
  const uint64_t wire_bytes = uint64_t(words) * 2;
  for (uint64_t at = 0; at < wire_bytes; at += kChunkBytes) {
    uint32_t chunk = uint32_t(wire_bytes - at < kChunkBytes ? wire_bytes - at : kChunkBytes);
    for (uint32_t i = 0; i < chunk; i += 2) {
      uint8_t lo = image->data[at + i];
      uint8_t hi = at + i + 1 < length ? image->data[at + i + 1] : 0;
      buf[i] = hi;
      buf[i + 1] = lo;
      checksum ^= static_cast<uint16_t>(lo | (hi << 8));
    }
    if (ch.cancelled()) return ch.Fail(kCancelled, "cancelled while loading the agent");
    if (LinkWrite(h, buf, chunk) != kLinkOk)
      return ch.Fail(kBootSendDaFailed, "chunk %llu of the agent image: the write failed",
                     static_cast<unsigned long long>(at / kChunkBytes));
  }

  if (BootSendEcho8(h, kCmdChecksum) || BootSendEcho32(h, image->address) ||
      BootSendEcho32(h, words)) {
    return ch.Fail(kBootSendDaFailed, "checksum command 0xA4: the boot ROM's echo failed");
  }
  LinkSleep(h, kChecksumPauseMs);
  uint16_t target = 0;
  if (LinkRead16(h, &target) != kLinkOk)
    return ch.Fail(kBootSendDaFailed, "checksum command 0xA4: no checksum came back");
  if (target != checksum)
    return ch.Fail(kBootSendDaFailed, "checksum answer 0x%04X, expected 0x%04X", target, checksum);
  return 0;
}

int BootJumpDa(LinkHandle h, const ImageDesc* image) {
  if (!image) return h->channel().Fail(kBootJumpFailed, "no descriptor for the jump");
  if (BootSendEcho8(h, kCmdJump) || BootSendEcho32(h, image->address))
    return h->channel().Fail(kBootJumpFailed, "jump command 0xA8 to 0x%08X: the boot ROM's echo failed",
                             image->address);
  return 0;
}

int BootConnect(LinkHandle h, const ImageDesc* da1, const ImageDesc* da2) {
  Channel& ch = h->channel();
  // Refused before the first byte: a real boot ROM would take a zero-length
  // load and then jump to whatever its memory holds (after a failed Prepare
  // the engine has no images).
  if (!da1 || da1->empty() || !da2 || da2->empty())
    return ch.Fail(kNoDescriptor, "the agent images are not set up (did Prepare fail?)");
  LinkLog(h, "Connecting to BootROM...\n");
  if (int rc = BootStart(h)) return rc;
  if (LinkSetTimeouts(h, kReadTimeoutMs, kWriteTimeoutMs) != kLinkOk)
    return ch.Fail(kSetTimeoutsFailed, "setting the port's time-outs failed");

  LinkLog(h, "Disabling watchdog..\n");
  if (int rc = BootDisableWatchdog(h)) {
    // A failed watchdog write is forgiven while the boot ROM still talks:
    // four more bytes from it and the stage goes on.
    uint32_t discard = 0;
    if (LinkRead32(h, &discard) != kLinkOk) return rc;
    ch.ClearFailure();
  }

  LinkLog(h, "Latching powerkey...\n");
  if (int rc = BootLatchPowerKey(h)) return rc;

  LinkLog(h, "Sending DA1...\n");
  if (int rc = BootSendDa(h, da1)) {
    ch.AddContext("DA1");
    return rc;
  }
  LinkLog(h, "Sending DA2...\n");
  if (int rc = BootSendDa(h, da2)) {
    ch.AddContext("DA2");
    return rc;
  }

  LinkLog(h, "Transferring control to DA...\n");
  return BootJumpDa(h, da1);
}

}  // namespace vantrel
