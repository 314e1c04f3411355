// Writing the bootloader and the extended bootloader (command 0xDC).
#include "agent/agent.h"
#include "agent/agent_util.h"
#include "link/report.h"
#include "vantrel/codes.h"

namespace vantrel {

using namespace agent_detail;

namespace {

constexpr uint8_t kCmdWriteBootloader = 0xDC;
constexpr uint32_t kPacketSize = 0x1000;
// Fields of the bootloader information record used in the header.
constexpr uint32_t kInfoRawField = 88;  // four bytes sent as stored
constexpr uint32_t kInfoSeed = 92;
constexpr uint32_t kInfoValue = 96;

// A descriptor without data counts as an image of length 0, so nothing is
// ever read through a null pointer.
uint32_t UsableLength(const ImageDesc* img) { return (img && img->data) ? img->length : 0; }

// XOR of the image's little-endian 32-bit words, seeded. The bytes of a last
// partial word that lie past the end count as zero.
uint32_t ImageChecksum(const ImageDesc* img, uint32_t seed) {
  const uint32_t n = UsableLength(img);
  uint32_t sum = seed;
  for (uint64_t at = 0; at < n; at += 4) {
    const uint64_t left = n - at;
    if (left >= 4) {
      sum ^= GetLe32(img->data + at);
    } else {
      uint8_t tail[4] = {0, 0, 0, 0};
      for (uint64_t i = 0; i < left; ++i) tail[i] = img->data[at + i];
      sum ^= GetLe32(tail);
    }
  }
  return sum;
}

// Sends one image in packets of 4096 bytes, each followed by its byte sum,
// and reports the share of the image sent after each accepted packet.
// `checksum_write_code` and `read_error_word` are where the two images'
// handling differs.
int SendImage(LinkHandle h, const char* name, const ImageDesc* img, uint32_t port,
              int checksum_write_code, bool read_error_word) {
  Channel& ch = h->channel();
  const uint32_t n = UsableLength(img);
  for (uint64_t at = 0; at < n; at += kPacketSize) {
    const uint32_t len = n - at < kPacketSize ? uint32_t(n - at) : kPacketSize;
    const unsigned packet = unsigned(at / kPacketSize);
    uint8_t answer = 0;
    const PacketResult r = SendSummedPacket(h, img->data + at, len, &answer);
    if (r == PacketResult::kCancelled) return ch.Fail(kCancelled, "%s packet %u: cancelled", name, packet);
    if (r != PacketResult::kAccepted) {
      uint32_t error_word = 0;
      if (r == PacketResult::kRefused && read_error_word) Get32(h, &error_word);
      const int code = r == PacketResult::kSumWriteFailed ? checksum_write_code : kBootloaderWriteFailed;
      if (r == PacketResult::kRefused)
        return ch.Fail(code, "%s packet %u: the agent answered 0x%02X (error word %u)", name, packet,
                       answer, error_word);
      return ch.Fail(code, "%s packet %u: %s", name, packet, PacketFailure(r));
    }
    const uint32_t percent = static_cast<uint32_t>(double(at + len) / double(n) * 100.0);
    ch.ReportTransfer(port, percent, at + len, n);
  }
  return 0;
}

}  // namespace

int AgentWriteBootloader(LinkHandle h, const ImageDesc* bootloader, const ImageDesc* ext_bootloader,
                         const uint8_t* bloader_info, uint32_t port) {
  Channel& ch = h->channel();
  if (!bloader_info) return ch.Fail(kBootloaderWriteFailed, "no bootloader information record");
  // An empty bootloader would make the agent erase the phone's and write
  // nothing: refused before the command's first byte.
  if (UsableLength(bootloader) == 0)
    return ch.Fail(kNoDescriptor, "the bootloader image is empty (did Prepare fail?)");
  ch.Report(port, kReportStage, 0, "Start Write Bootloader");
  ch.EnterStage(kStageExtBootloader);  // the header, then the extended bootloader's data go first

  uint8_t answer = 0;
  if (!Put8(h, kCmdWriteBootloader) || !Get8(h, &answer) || answer != kAck) {
    return ch.Fail(kBootloaderWriteFailed, "command 0xDC: no 0x5A from the agent");
  }
  const uint32_t seed = GetLe32(bloader_info + kInfoSeed);
  static const uint8_t kZeros[32] = {};
  if (!Put32(h, kPacketSize) || !Put(h, bloader_info + kInfoRawField, 4) ||
      !Put32(h, UsableLength(bootloader)) || !Put32(h, GetLe32(bloader_info + kInfoValue)) ||
      !Put32(h, ImageChecksum(bootloader, seed)) || !Put(h, kZeros, sizeof kZeros)) {
    return ch.Fail(kBootloaderWriteFailed, "command 0xDC: writing the header failed");
  }
  if (!Put8(h, kAck)) return ch.Fail(kWriteFailed, "command 0xDC: writing the confirmation failed");
  if (!Put32(h, UsableLength(ext_bootloader)) || !Put32(h, ImageChecksum(ext_bootloader, seed)) ||
      !WaitAck(h)) {
    return ch.Fail(kBootloaderWriteFailed, "command 0xDC: the agent did not take the header");
  }

  // The header names the bootloader first, but the data goes the other way.
  h->channel().Report(port, kReportStage, 0, "Send ext Bootloader");
  if (int rc = SendImage(h, "extended bootloader", ext_bootloader, port, kBootloaderWriteFailed, true))
    return rc;
  h->channel().EnterStage(kStageBootloader);
  if (int rc = SendImage(h, "bootloader", bootloader, port, kWriteFailed, false)) return rc;
  if (!WaitAck(h)) return h->channel().Fail(kBootloaderWriteFailed, "bootloader write: no final 0x5A");

  h->channel().Report(port, kReportTransfer, 100, "");
  h->channel().Report(port, kReportStage, 100, "Write Bootloader Complete");
  return 0;
}

}  // namespace vantrel
