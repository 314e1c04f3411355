// The NAND image list (command 0xDD) and the NFB image write (command 0xDE)
// of the ROM image and the secondary ROM image.
#include "agent/agent.h"
#include "agent/agent_util.h"
#include "images/records.h"
#include "link/report.h"
#include "vantrel/codes.h"

namespace vantrel {

using namespace agent_detail;

namespace {

constexpr uint8_t kCmdImageList = 0xDD;
constexpr uint8_t kCmdWriteNfb = 0xDE;
constexpr uint32_t kPacketSize = 0x1000;

ImageDesc Usable(const ImageDesc* img) {
  if (!img || !img->data) return ImageDesc{nullptr, 0, img ? img->address : 0};
  return *img;
}

bool SendEntry(LinkHandle h, uint32_t start, uint32_t end) {
  return Put8(h, 0x01) && Put32(h, start) && Put32(h, end) && Put32(h, 0) && Put32(h, 1) &&
         WaitAck(h);
}

// One NFB image in packets of 4096 bytes. The progress reported after each
// packet is the share sent before it, so an image's reports start at 0 and
// only the final report of the command says 100. 0 or the failure's code.
int SendNfbImage(LinkHandle h, const char* name, const ImageDesc& img, uint32_t port) {
  Channel& ch = h->channel();
  for (uint64_t at = 0; at < img.length; at += kPacketSize) {
    const uint32_t len = img.length - at < kPacketSize ? uint32_t(img.length - at) : kPacketSize;
    LinkLog(h, ".");
    uint8_t answer = 0;
    const PacketResult r = SendSummedPacket(h, img.data + at, len, &answer);
    const unsigned packet = unsigned(at / kPacketSize);
    if (r == PacketResult::kCancelled) return ch.Fail(kCancelled, "%s packet %u: cancelled", name, packet);
    if (r == PacketResult::kRefused)
      return ch.Fail(kWriteFailed, "%s packet %u: the agent answered 0x%02X", name, packet, answer);
    if (r != PacketResult::kAccepted)
      return ch.Fail(kWriteFailed, "%s packet %u: %s", name, packet, PacketFailure(r));
    // The host's percent counts the packets before this one; the event, the bytes sent.
    ch.ReportTransfer(port, static_cast<uint32_t>(at * 100 / img.length), at + len, img.length);
  }
  return 0;
}

// The whole-image check after the data: 0x5A and the image's byte sum, or
// 0xA5 to give up when there was no image to check.
bool CheckWholeImage(LinkHandle h, const ImageDesc& img) {
  if (img.empty()) {
    Put8(h, kGiveUp);
    return false;
  }
  return Put8(h, kAck) && Put16(h, Sum16(img.data, img.length)) && WaitAck(h);
}

}  // namespace

int AgentSendImageList(LinkHandle h, const ImageDesc* rom, const ImageDesc* rom2, uint32_t port) {
  const ImageDesc r1 = Usable(rom), r2 = Usable(rom2);
  // The list starts with the position of the ROM information record; without
  // it there is nothing sound to send, so the command is not begun at all.
  uint32_t offset = 0, size = 0;
  Channel& ch = h->channel();
  if (r1.empty() || !FindRomInfoRecord(r1, &offset, &size))
    return ch.Fail(kCommandRefused, "the ROM image holds no ROM information record");

  ch.Report(port, kReportStage, 0, "Start Send NAND image list");
  ch.EnterStage(kStageImageList);
  for (uint8_t b : {kCmdImageList, uint8_t(0xA5), uint8_t(0xA5), uint8_t(0xA5), uint8_t(0x02),
                    uint8_t(0x02)}) {
    if (!Put8(h, b)) return ch.Fail(kCommandRefused, "command 0xDD: a write failed");
  }
  if (!Put32(h, offset) || !Put32(h, offset + size - 1) || !WaitAck(h))
    return ch.Fail(kCommandRefused, "command 0xDD: the agent did not take the record's range");

  // Inclusive ranges; the secondary image is placed behind the ROM image at
  // the distance its address word gives.
  const uint32_t start1 = r1.address;
  const uint32_t end1 = start1 + r1.length - 1;
  const uint32_t start2 = end1 + 1 + r2.address;
  const uint32_t end2 = start2 + r2.length - 1;
  if (!SendEntry(h, start1, end1) || !SendEntry(h, start2, end2))
    return ch.Fail(kCommandRefused, "command 0xDD: the agent did not take an image's range");

  h->channel().Report(port, kReportTransfer, 100, "");
  h->channel().Report(port, kReportStage, 100, "Send NAND image list complete");
  return 0;
}

int AgentWriteNfb(LinkHandle h, const ImageDesc* rom, const ImageDesc* rom2, uint32_t port) {
  const ImageDesc r1 = Usable(rom), r2 = Usable(rom2);
  Channel& ch = h->channel();
  ch.Report(port, kReportStage, 0, "Start Write NFB Image");
  if (!Put8(h, kCmdWriteNfb) || !WaitAck(h) || !Put32(h, kPacketSize) || !WaitAck(h)) {
    return ch.Fail(kWriteFailed, "command 0xDE: the agent did not take the packet size");
  }

  ch.Report(port, kReportStage, 0, "Send ROM Image");
  ch.EnterStage(kStageRomImage);
  if (int rc = SendNfbImage(h, "ROM image", r1, port)) return rc;
  ch.Report(port, kReportStage, 0, "Send Secondary ROM Image");
  ch.EnterStage(kStageSecondaryRomImage);
  if (int rc = SendNfbImage(h, "secondary ROM image", r2, port)) return rc;

  if (!WaitAck(h) || !WaitAck(h)) return ch.Fail(kWriteFailed, "command 0xDE: no 0x5A after the data");
  if (!CheckWholeImage(h, r1) || !CheckWholeImage(h, r2))
    return ch.Fail(kWriteFailed, "command 0xDE: the whole-image check failed");
  if (!WaitAck(h)) return ch.Fail(kWriteFailed, "command 0xDE: no final 0x5A");

  h->channel().Report(port, kReportTransfer, 100, "");
  h->channel().Report(port, kReportStage, 100, "Write NFB Image Complete");
  return 0;
}

}  // namespace vantrel
