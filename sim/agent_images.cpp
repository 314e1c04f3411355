// The simulated agent's image commands: the bootloader write (0xDC), the
// NAND image list (0xDD) and the NFB image write (0xDE). The agent checks
// every packet sum and the whole-image checksums before it stores anything.
#include <algorithm>
#include <cstring>
#include <set>

#include "sim/target.h"

namespace vantrel::sim {

namespace {

constexpr uint32_t kMaxImageBytes = 64u << 20;
constexpr uint32_t kMaxPacketSize = 65536;
constexpr char kBloaderMarker[] = "MTK_BLOADER_INFO_v";
constexpr char kRomInfoMarker[] = "MTK_ROMINFO_v";

uint32_t Le32(const uint8_t* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

// XOR of the image's little-endian 32-bit words; a partial last word counts
// its missing bytes as zero.
uint32_t XorWords32(const std::vector<uint8_t>& d) {
  uint32_t x = 0;
  for (size_t i = 0; i < d.size(); i += 4) {
    uint8_t w[4] = {0, 0, 0, 0};
    std::memcpy(w, d.data() + i, std::min<size_t>(4, d.size() - i));
    x ^= Le32(w);
  }
  return x;
}

uint64_t RoundUp(uint64_t v, uint64_t unit) { return (v + unit - 1) / unit * unit; }

// The bootloader information block at the end of the bootloader: the last
// four bytes give its length L, the block lies just before them.
struct InfoBlock {
  bool found = false;
  long version = 0;
  const uint8_t* p = nullptr;
  uint32_t length = 0;
};

InfoBlock FindBloaderInfo(const std::vector<uint8_t>& bl) {
  InfoBlock ib;
  const size_t markerLen = sizeof kBloaderMarker - 1;
  if (bl.size() < 4) return ib;
  uint32_t l = Le32(bl.data() + bl.size() - 4);
  if (l > bl.size() - 4 || l < markerLen) return ib;
  const uint8_t* p = bl.data() + (bl.size() - 4 - l);
  if (std::memcmp(p, kBloaderMarker, markerLen) != 0) return ib;
  ib.found = true;
  ib.p = p;
  ib.length = l;
  for (size_t i = markerLen; i < l && p[i] >= '0' && p[i] <= '9' && ib.version < 1000000; ++i) {
    ib.version = ib.version * 10 + (p[i] - '0');
  }
  return ib;
}

}  // namespace

// Receives `length` bytes in packets of up to packetSize, each followed by
// its 16-bit byte sum. A packet with a wrong sum is refused (kRefuse, plus
// an error word when the host reads one) and ends the transfer.
bool Target::ReceiveSummedImage(uint32_t length, uint32_t packetSize, bool withErrorWord,
                                std::vector<uint8_t>* out, unsigned* badPackets) {
  out->assign(length, 0);
  for (uint32_t done = 0; done < length;) {
    uint32_t n = std::min(packetSize, length - done);
    w().GetBytes(out->data() + done, n);
    uint16_t sum = w().GetBe16();
    ++writePackets_;
    Hit("agent:packet");
    if (sum != ByteSum16(out->data() + done, n)) {
      ++*badPackets;
      Problem("packet at offset " + std::to_string(done) + " has a wrong sum");
      w().Put8(kRefuse);
      if (withErrorWord) w().PutBe32(kErrChecksum);
      return false;
    }
    w().Put8(kNext);
    done += n;
  }
  return true;
}

// The 0xDC header: packet size, the info block's fields, lengths and sums.
void Target::ReadBootloaderHeader(PhoneRecord::Bootloader& h) {
  h.packetSize = w().GetBe32();
  w().GetBytes(h.raw88.data(), 4);
  h.length = w().GetBe32();
  h.value96 = w().GetBe32();
  h.checksum = w().GetBe32();
  uint8_t zeros[32];
  w().GetBytes(zeros, sizeof zeros);
  if (std::any_of(zeros, zeros + 32, [](uint8_t b) { return b != 0; })) {
    Problem("bootloader header: the 32 reserved bytes are not zero");
  }
  if (w().Get() != kReady) Problem("bootloader header: no 0x5A after the reserved bytes");
  h.extLength = w().GetBe32();
  h.extChecksum = w().GetBe32();
}

// The checksum seed is the u32 at offset 92 of the information block when
// the host can parse it (version 1 to 3, long enough); a block of another
// version gives the host an all-zero record, so seed 0. Without a block the
// seed cannot be known: it is derived from the bootloader's checksum and must
// then fit the extended bootloader's as well.
bool Target::BootloaderChecksumsOk(PhoneRecord::Bootloader& h, const std::vector<uint8_t>& bl,
                                   const std::vector<uint8_t>& ext) {
  InfoBlock ib = FindBloaderInfo(bl);
  h.infoBlockFound = ib.found;
  uint32_t sizeForVersion = ib.version == 1 ? 108 : ib.version == 2 ? 132 : ib.version == 3 ? 136 : 0;
  if (ib.found && sizeForVersion && ib.length >= sizeForVersion) {
    h.seed = Le32(ib.p + 92);
    h.seedSource = "info block";
    h.headerMatchesInfoBlock =
        std::equal(h.raw88.begin(), h.raw88.end(), ib.p + 88) && h.value96 == Le32(ib.p + 96);
    if (!h.headerMatchesInfoBlock) Problem("bootloader header fields differ from the information block");
  } else if (ib.found && !sizeForVersion) {
    h.seed = 0;
    h.seedSource = "zero (information block version " + std::to_string(ib.version) + ")";
  } else {
    h.seed = h.checksum ^ XorWords32(bl);
    h.seedSource = "derived";
  }
  h.checksumOk = (h.seed ^ XorWords32(bl)) == h.checksum;
  h.extChecksumOk = (h.seed ^ XorWords32(ext)) == h.extChecksum;
  return h.checksumOk && h.extChecksumOk;
}

void Target::CmdBootloader() {
  Hit("agent:0xDC");
  w().Put8(kReady);
  PhoneRecord::Bootloader h;
  ReadBootloaderHeader(h);

  const uint64_t bm = flash_.geometry().blockMainBytes();
  uint64_t need = RoundUp(h.length, bm) + h.extLength;
  bool fits = cfg_.bootAreaAddress % bm == 0 && need <= cfg_.bootAreaLength &&
              cfg_.bootAreaAddress + cfg_.bootAreaLength <= flash_.geometry().mainBytes();
  if (h.packetSize == 0 || h.packetSize > kMaxPacketSize || h.length > kMaxImageBytes ||
      h.extLength > kMaxImageBytes || !fits) {
    Problem("bootloader header refused (packet size " + std::to_string(h.packetSize) +
            ", lengths " + std::to_string(h.length) + "/" + std::to_string(h.extLength) + ")");
    Rec([&](PhoneRecord& r) { r.bootloader = h; });
    w().Put8(kGiveUp);
    return;
  }
  h.received = true;
  Rec([&](PhoneRecord& r) { r.bootloader = h; });
  w().Put8(kReady);

  // The data comes in the opposite order of the header: extended first.
  std::vector<uint8_t> ext, bl;
  bool ok = ReceiveSummedImage(h.extLength, h.packetSize, true, &ext, &h.badPackets) &&
            ReceiveSummedImage(h.length, h.packetSize, true, &bl, &h.badPackets);
  if (!ok) {
    Rec([&](PhoneRecord& r) { r.bootloader = h; });
    return;
  }

  if (!BootloaderChecksumsOk(h, bl, ext)) {
    Problem("bootloader image checksum mismatch");
    Rec([&](PhoneRecord& r) { r.bootloader = h; });
    w().Put8(kGiveUp);
    return;
  }

  uint64_t blAddress = cfg_.bootAreaAddress;
  uint64_t extAddress = blAddress + RoundUp(h.length, bm);
  EraseMainRange(blAddress, std::max<uint64_t>(need, 1));
  ProgramMain(blAddress, bl);
  ProgramMain(extAddress, ext);
  flash_.SetPlacement({"bootloader", blAddress, h.length});
  flash_.SetPlacement({"extended-bootloader", extAddress, h.extLength});
  h.stored = true;
  Rec([&](PhoneRecord& r) { r.bootloader = h; });
  w().Put8(kReady);
}

// 0xDD: A5 A5 A5 02 <count>, the ROM information record's first and last
// offset, then one entry per image (0x01, start, end, 0, 1), each answered.
void Target::CmdImageList() {
  Hit("agent:0xDD");
  std::vector<uint8_t> prefix(5);
  w().GetBytes(prefix.data(), prefix.size());
  static const uint8_t kExpected[5] = {0xA5, 0xA5, 0xA5, 0x02, 0x02};
  if (!std::equal(prefix.begin(), prefix.end(), kExpected)) Problem("unexpected image list prefix");
  unsigned count = prefix[4] >= 1 && prefix[4] <= 8 ? prefix[4] : 2;
  uint32_t k = w().GetBe32(), kEnd = w().GetBe32();
  Rec([&](PhoneRecord& r) {
    r.imageListPrefix = prefix;
    r.romInfoStart = k;
    r.romInfoEnd = kEnd;
    r.imageList.clear();
  });
  imageList_.clear();
  romInfoStart_ = k;
  w().Put8(kReady);

  const Geometry& g = flash_.geometry();
  const uint64_t nfbBase = 2ull * g.blockMainBytes();
  for (unsigned i = 0; i < count; ++i) {
    if (w().Get() != 0x01) Problem("image list entry without its 0x01");
    PhoneRecord::ImageEntry e{};
    e.start = w().GetBe32();
    e.end = w().GetBe32();
    e.field3 = w().GetBe32();
    e.field4 = w().GetBe32();
    Rec([&](PhoneRecord& r) { r.imageList.push_back(e); });
    uint32_t length = e.end - e.start + 1;  // 0 when end = start - 1
    uint64_t a = nfbBase + e.start, end = a + length;
    bool overlapsBoot = a < cfg_.bootAreaAddress + cfg_.bootAreaLength && cfg_.bootAreaAddress < end;
    if (length > kMaxImageBytes || end > g.mainBytes() || overlapsBoot) {
      Problem("image list entry " + std::to_string(i) + " [" + Hex(e.start) + ", " + Hex(e.end) +
              "] does not fit the flash");
      imageList_.clear();
      w().Put8(kGiveUp);
      return;
    }
    imageList_.push_back({e.start, length});
    w().Put8(kReady);
  }
}

void Target::CmdNfb() {
  Hit("agent:0xDE");
  w().Put8(kReady);
  uint32_t packetSize = w().GetBe32();
  Rec([&](PhoneRecord& r) {
    r.nfbPacketSize = packetSize;
    r.nfbImages.clear();
    r.nfbComplete = false;
  });
  if (packetSize == 0 || packetSize > kMaxPacketSize || imageList_.empty()) {
    Problem(imageList_.empty() ? "NFB write without an image list" : "NFB packet size refused");
    w().Put8(kGiveUp);
    return;
  }
  const uint64_t nfbBase = 2ull * flash_.geometry().blockMainBytes();
  EraseNfbBlocks(nfbBase);
  w().Put8(kReady);

  std::vector<std::vector<uint8_t>> images(imageList_.size());
  std::vector<PhoneRecord::NfbImage> recs(imageList_.size());
  for (size_t i = 0; i < imageList_.size(); ++i) {
    recs[i].start = imageList_[i].start;
    recs[i].length = imageList_[i].length;
    recs[i].flashAddress = nfbBase + imageList_[i].start;
    bool ok = ReceiveSummedImage(imageList_[i].length, packetSize, false, &images[i], &recs[i].badPackets);
    recs[i].sum = ByteSum16(images[i].data(), images[i].size());
    Rec([&](PhoneRecord& r) { r.nfbImages = recs; });
    if (!ok) return;
  }
  w().Put8(kReady);
  w().Put8(kReady);
  if (!StoreNfbImages(images, recs)) return;
  CheckRomInfoPlacement(images[0], recs[0].flashAddress);
  w().Put8(kReady);
}

// The images may share blocks: erase everything first, program later.
void Target::EraseNfbBlocks(uint64_t nfbBase) {
  std::set<uint64_t> blocks;
  const uint64_t bm = flash_.geometry().blockMainBytes();
  for (const auto& e : imageList_) {
    if (e.length == 0) continue;
    for (uint64_t b = (nfbBase + e.start) / bm; b <= (nfbBase + e.start + e.length - 1) / bm; ++b) {
      blocks.insert(b);
    }
  }
  for (uint64_t b : blocks) Erase(static_cast<uint32_t>(b));
}

// Whole-image sums: 0x5A and the sum per image, or 0xA5 when the host gives
// up (an empty image); each image is programmed once its sum is checked.
bool Target::StoreNfbImages(const std::vector<std::vector<uint8_t>>& images,
                            std::vector<PhoneRecord::NfbImage>& recs) {
  for (size_t i = 0; i < images.size(); ++i) {
    uint8_t b = w().Get();
    if (b != kReady) {
      Problem(b == kGiveUp ? "the host gave up the NFB write at image " + std::to_string(i)
                           : "NFB whole-image check: unexpected byte " + Hex(b));
      return false;
    }
    uint16_t sum = w().GetBe16();
    recs[i].sumChecked = true;
    recs[i].sumOk = sum == recs[i].sum;
    if (!recs[i].sumOk) {
      Problem("NFB image " + std::to_string(i) + ": whole-image sum differs");
      Rec([&](PhoneRecord& r) { r.nfbImages = recs; });
      w().Put8(kGiveUp);
      return false;
    }
    ProgramMain(recs[i].flashAddress, images[i]);
    static const char* kNames[] = {"rom", "secondary-rom"};
    flash_.SetPlacement({i < 2 ? kNames[i] : "image-" + std::to_string(i), recs[i].flashAddress,
                         recs[i].length});
    recs[i].stored = true;
    Rec([&](PhoneRecord& r) { r.nfbImages = recs; });
    w().Put8(kReady);
  }
  return true;
}

// Where the host will look for the ROM information record.
void Target::CheckRomInfoPlacement(const std::vector<uint8_t>& rom, uint64_t romAddress) {
  const uint64_t bm = flash_.geometry().blockMainBytes();
  const size_t markerLen = sizeof kRomInfoMarker - 1;
  bool marker = romInfoStart_ < rom.size() && rom.size() - romInfoStart_ >= markerLen &&
                std::memcmp(rom.data() + romInfoStart_, kRomInfoMarker, markerLen) == 0;
  uint64_t at = romAddress + romInfoStart_;
  if (!marker) Problem("no \"MTK_ROMINFO_v\" at the listed offset of the ROM image");
  if (marker && (at < 2 * bm || at + 352 > 10 * bm || at / bm != (at + 351) / bm)) {
    Problem("the ROM information record does not lie within one of device blocks 2 to 9");
  }
  Rec([&](PhoneRecord& r) {
    r.romInfoMarkerAtListedOffset = marker;
    r.nfbComplete = true;
  });
}

}  // namespace vantrel::sim
