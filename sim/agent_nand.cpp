// The simulated agent's NAND block commands: block write (0xBD), page write
// (0xC0), flash read (0xDF) and format (0xD4). Like real NAND, a block is
// erased when a write to it is accepted: the host rewrites blocks of the FS
// area without erasing them first.
#include <algorithm>

#include "sim/target.h"

namespace vantrel::sim {

namespace {

constexpr uint32_t kUnitBytes = 16896;           // one block-write packet
constexpr uint8_t kStopTransfer = 0x96;          // "stop" answer (the packet is kept)
constexpr uint8_t kSendAgain = 0x00;             // any other byte asks for the packet again
constexpr uint64_t kMaxReadPacket = 1u << 20;

}  // namespace

// One write packet: the lead byte 0x5A and n data bytes, no checksum.
void Target::ReceiveWritePacket(uint8_t* data, size_t n) {
  for (;;) {
    unsigned skipped = 0;
    while (w().Get() != kReady) ++skipped;
    if (skipped) Problem(std::to_string(skipped) + " stray bytes before a write packet");
    w().GetBytes(data, n);
    ++writePackets_;
    Hit("agent:packet");
    if (resendsLeft_ > 0) {
      --resendsLeft_;
      FaultLog("write packet " + std::to_string(writePackets_) + " answered for a resend");
      Rec([](PhoneRecord& r) { ++r.writePacketsResent; });
      w().Put8(kSendAgain);
      continue;
    }
    if (cfg_.faults.stopAnswerAtPacket == writePackets_) {
      FaultLog("write packet " + std::to_string(writePackets_) + " answered 0x96");
      w().Put8(kStopTransfer);
      return;
    }
    w().Put8(kNext);
    return;
  }
}

// 0 when the agent takes a write to this block, else the error word.
uint32_t Target::CheckWriteTarget(uint32_t block, uint32_t pageSize, uint32_t spareSize) {
  const Geometry& g = flash_.geometry();
  if (pageSize != g.pageSize || spareSize != g.spareSize || block >= g.blockCount) {
    return kErrBadArgument;
  }
  if (flash_.IsFactoryBad(block) || flash_.IsFailing(block) || EraseFails(block)) return kErrBadBlock;
  return 0;
}

bool Target::EraseFails(uint32_t block) const {
  const auto& f = cfg_.faults.eraseFailing;
  return std::find(f.begin(), f.end(), block) != f.end();
}

void Target::Refuse(uint32_t block, uint32_t code, const std::string& why) {
  if (code == kErrBadBlock) {
    Rec([&](PhoneRecord& r) { r.refusedBlocks.push_back(block); });
    w().Note("block " + std::to_string(block) + " is bad: write refused");
  } else {
    Problem(why);
  }
  w().Put8(kRefuse);
  w().PutBe32(code);
}

void Target::CmdWriteBlock() {
  Hit("agent:0xBD");
  uint32_t block = w().GetBe32();
  uint32_t pageSize = w().GetBe32();
  uint32_t spareSize = w().GetBe32();
  uint32_t pageCount = w().GetBe32();
  ++blockCommands_;
  Rec([](PhoneRecord& r) { ++r.blockWrites; });
  const Geometry& g = flash_.geometry();
  uint32_t code = CheckWriteTarget(block, pageSize, spareSize);
  uint32_t perUnit = kUnitBytes / g.pageRawBytes();
  if (code == 0 && (pageCount % perUnit != 0 || pageCount > g.pagesPerBlock)) code = kErrBadArgument;
  if (code) {
    Refuse(block, code, "0xBD block " + std::to_string(block) + " page size " +
                            std::to_string(pageSize) + " count " + std::to_string(pageCount) + " refused");
    return;
  }
  w().Put8(kReady);
  Erase(block);
  std::vector<uint8_t> unit(kUnitBytes);
  for (uint32_t first = 0; first < pageCount; first += perUnit) {
    ReceiveWritePacket(unit.data(), unit.size());
    for (uint32_t j = 0; j < perUnit; ++j) {
      Program(block, first + j, unit.data() + size_t{j} * g.pageRawBytes(), g.pageRawBytes());
    }
  }
  // The answer is computed from what the flash now holds: the XOR of the
  // pages' main data (whole 16-bit words each), from one copy of the block.
  const Bytes raw = flash_.ReadBlock(block);
  uint16_t x = 0;
  for (uint32_t p = 0; p < pageCount; ++p) x ^= XorLe16(raw.data() + size_t{p} * g.pageRawBytes(), g.pageSize);
  if (cfg_.faults.wrongBlockChecksumAt == blockCommands_) {
    FaultLog("wrong checksum for block write " + std::to_string(blockCommands_));
    x ^= 0x8001;
  }
  Rec([&](PhoneRecord& r) { r.writtenBlocks.push_back(block); });
  w().PutBe16(x);
}

void Target::CmdWritePages() {
  Hit("agent:0xC0");
  uint32_t block = w().GetBe32();
  uint32_t count = w().GetBe32();
  uint32_t pageSize = w().GetBe32();
  uint32_t spareSize = w().GetBe32();
  uint32_t perBlock = w().GetBe32();
  Rec([](PhoneRecord& r) { ++r.pageWrites; });
  const Geometry& g = flash_.geometry();
  uint32_t code = CheckWriteTarget(block, pageSize, spareSize);
  if (code == 0 && (perBlock != g.pagesPerBlock || count > g.pagesPerBlock)) code = kErrBadArgument;
  if (code) {
    Refuse(block, code, "0xC0 block " + std::to_string(block) + " with " + std::to_string(count) +
                            " pages refused");
    return;
  }
  w().Put8(kReady);
  Erase(block);
  std::vector<uint8_t> page(g.pageRawBytes());
  for (uint32_t i = 0; i < count; ++i) {
    uint32_t p = w().GetBe32();
    ReceiveWritePacket(page.data(), page.size());
    if (p < g.pagesPerBlock) {
      Program(block, p, page.data(), page.size());
      Rec([](PhoneRecord& r) { ++r.pagesWritten; });
    } else {
      Problem("0xC0 page index " + std::to_string(p) + " beyond the block");
    }
    w().PutBe16(XorLe16(page.data(), g.pageSize));
    uint8_t ack = w().Get();
    if (ack != kReady) Problem("0xC0: the host confirmed a page with " + Hex(ack));
  }
  Rec([&](PhoneRecord& r) { r.writtenBlocks.push_back(block); });
}

// 0xDF: mode, start, length, 0 -> 0x5A, A, B, C; the host's E; T; then
// packets of E x C bytes each followed by their byte sum, answered 0x5A
// (next), 0x69 (again) or 0xA5 (stop).
void Target::CmdReadFlash() {
  Hit("agent:0xDF");
  PhoneRecord::Read rd{};
  rd.mode = w().Get();
  rd.start = w().GetBe32();
  rd.length = w().GetBe32();
  uint32_t zero = w().GetBe32();
  if (zero != 0) Problem("0xDF: fourth value is " + Hex(zero));
  const Geometry& g = flash_.geometry();
  bool ok = rd.mode <= 1 && rd.start % g.pageSize == 0 && rd.length % g.pageSize == 0 &&
            uint64_t{rd.start} + rd.length <= g.mainBytes();
  if (!ok) {
    Problem("0xDF mode " + std::to_string(rd.mode) + " start " + Hex(rd.start) + " length " +
            Hex(rd.length) + " refused");
    w().Put8(kGiveUp);
    return;
  }
  w().Put8(kReady);
  const uint32_t a = g.pageSize, b = rd.mode == 0 ? g.spareSize : 0, c = a + b;
  w().PutBe32(a);
  w().PutBe32(b);
  w().PutBe32(c);
  rd.e = w().GetBe32();
  uint64_t pages = rd.length / g.pageSize;
  rd.total = static_cast<uint32_t>(pages * c);
  if (rd.e == 0 || uint64_t{rd.e} * c > kMaxReadPacket) {
    Problem("0xDF: packet multiple E = " + std::to_string(rd.e) + " refused");
    Rec([&](PhoneRecord& r) { r.reads.push_back(rd); });
    return;
  }
  w().PutBe32(rd.total);

  const uint32_t firstPage = rd.start / g.pageSize;
  const size_t packetBytes = size_t{rd.e} * c;
  std::vector<uint8_t> packet(packetBytes);
  for (uint64_t sent = 0; sent < rd.total;) {
    // Stream byte s belongs to page firstPage + s / c; past T the packet is
    // padded with 0xFF, as the host always reads whole packets.
    std::fill(packet.begin(), packet.end(), 0xFF);
    for (uint32_t k = 0; k < rd.e && sent + uint64_t{k} * c < rd.total; ++k) {
      uint64_t pageIndex = firstPage + (sent / c) + k;
      const uint32_t block = static_cast<uint32_t>(pageIndex / g.pagesPerBlock);
      const uint32_t page = static_cast<uint32_t>(pageIndex % g.pagesPerBlock);
      auto raw = flash_.ReadPage(block, page);
      WeakenPage(block, page, raw.data());
      std::copy(raw.begin(), raw.begin() + c, packet.begin() + size_t{k} * c);
    }
    Hit("agent:readpacket");
    uint16_t sum = ByteSum16(packet.data(), packet.size());
    if (corruptLeft_ > 0) {
      --corruptLeft_;
      FaultLog("read packet at " + std::to_string(sent) + " corrupted");
      packet[0] ^= 0x01;  // the sum stays that of the true data
    }
    w().Put(packet);
    w().PutBe16(sum);
    uint8_t answer = w().Get();
    if (answer == kReady) {
      sent += packetBytes;
    } else if (answer == kNext) {
      ++rd.resent;
    } else {
      rd.aborted = true;
      if (answer != kGiveUp) Problem("0xDF: unexpected answer " + Hex(answer));
      break;
    }
  }
  Rec([&](PhoneRecord& r) { r.reads.push_back(rd); });
}

void Target::WeakenPage(uint32_t block, uint32_t page, uint8_t* raw) {
  const auto& weak = cfg_.faults.weakBlocks;
  if (std::find(weak.begin(), weak.end(), block) == weak.end()) return;
  const Geometry& g = flash_.geometry();
  if (std::all_of(raw, raw + g.pageRawBytes(), [](uint8_t b) { return b == 0xFF; })) return;
  // A different byte and bit on each page, always in the main data.
  raw[(size_t{page} * 131 + 7) % g.pageSize] ^= static_cast<uint8_t>(1u << (page % 8));
  if (weakNoted_.insert(block).second)
    FaultLog("weak block " + std::to_string(block) + " read back with bits flipped");
}

// 0xD4: three option bytes, start, length -> 0x5A 0x5A; progress statuses
// 3021 + percent (each confirmed by 0x5A); 0 + 100, confirmed; 0x5A 0x5A.
// Every block the range touches is erased except factory-bad ones.
void Target::CmdFormat() {
  Hit("agent:0xD4");
  PhoneRecord::Format f{};
  w().GetBytes(f.options.data(), 3);
  f.start = w().GetBe32();
  f.length = w().GetBe32();
  const Geometry& g = flash_.geometry();
  if (f.start >= g.mainBytes()) {
    Problem("0xD4 start " + Hex(f.start) + " beyond the flash");
    Rec([&](PhoneRecord& r) { r.formats.push_back(f); });
    w().Put8(kGiveUp);
    return;
  }
  uint64_t end = uint64_t{f.start} + f.length;
  if (end > g.mainBytes()) {
    Problem("0xD4 range clipped at the end of the flash");
    end = g.mainBytes();
  }
  w().Put8(kReady);
  w().Put8(kReady);
  const uint64_t bm = g.blockMainBytes();
  const uint64_t first = f.start / bm, last = end > f.start ? (end + bm - 1) / bm : first;
  uint64_t next = first;
  bool failed = false;
  auto eraseUpTo = [&](uint64_t limit) {
    for (; next < limit && !failed; ++next) {
      uint32_t blk = static_cast<uint32_t>(next);
      if (flash_.IsFactoryBad(blk)) continue;  // keeps its marks
      if (EraseFails(blk)) {
        FaultLog("erase of block " + std::to_string(blk) + " failed");
        Rec([&](PhoneRecord& r) { r.formats.push_back(f); });
        w().PutBe32(kErrBadBlock);
        w().PutBe32(blk);
        w().Put8(kGiveUp);
        failed = true;
        return;
      }
      Erase(blk);
      ++f.erased;
    }
  };
  auto confirm = [&] {
    uint8_t b = w().Get();
    if (b != kReady) Problem("0xD4: the host confirmed with " + Hex(b));
  };
  unsigned steps = cfg_.formatProgressSteps;
  for (unsigned s = 1; s <= steps; ++s) {
    eraseUpTo(first + (last - first) * s / steps);
    if (failed) return;
    w().PutBe32(kFormatWorking);
    w().Put8(static_cast<uint8_t>(s * 100 / steps));
    confirm();
  }
  eraseUpTo(last);
  if (failed) return;
  Rec([&](PhoneRecord& r) { r.formats.push_back(f); });
  w().PutBe32(0);
  w().Put8(100);
  confirm();
  w().Put8(kReady);
  w().Put8(kReady);
}

}  // namespace vantrel::sim
