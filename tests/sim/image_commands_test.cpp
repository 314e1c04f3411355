// The simulated agent's bootloader, image list and NFB commands.
#include <cstring>

#include "tests/sim/test_host.h"

namespace vantrel::testing {
using namespace vantrel::sim;
namespace {

void PutLe32(Bytes& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

uint32_t Xor32(const Bytes& d, uint32_t seed) {
  for (size_t i = 0; i < d.size(); i += 4) {
    uint32_t w = 0;
    for (size_t k = 0; k < 4 && i + k < d.size(); ++k) w |= uint32_t{d[i + k]} << (8 * k);
    seed ^= w;
  }
  return seed;
}

// A bootloader of `payload` bytes followed by a version-1 information block
// (108 bytes) carrying the seed at 92, then the block's length.
Bytes MakeBootloader(size_t payload, uint32_t seed) {
  Bytes b(payload);
  for (size_t i = 0; i < payload; ++i) b[i] = static_cast<uint8_t>(i * 31 + 7);
  Bytes block(108, 0);
  std::memcpy(block.data(), "MTK_BLOADER_INFO_v1", 19);
  block[88] = 0xAB;
  PutLe32(block, 92, seed);
  PutLe32(block, 96, 0x00C0FFEE);
  b.insert(b.end(), block.begin(), block.end());
  b.resize(b.size() + 4);
  PutLe32(b, b.size() - 4, 108);
  return b;
}

struct BootloaderSend {
  uint32_t seed = 0;
  uint32_t extChecksumFlip = 0;
  bool corruptPacketSum = false;
};

// 0xDC from the host's side; returns the agent's final byte (0 when a packet
// was refused).
uint8_t SendBootloader(TestHost& h, const Bytes& bl, const Bytes& ext, const BootloaderSend& o) {
  h.Send8(0xDC);
  EXPECT_EQ(h.Recv8(), 0x5A);
  h.SendBe32(4096);
  h.Send({0xAB, 0, 0, 0});
  h.SendBe32(static_cast<uint32_t>(bl.size()));
  h.SendBe32(0x00C0FFEE);
  h.SendBe32(Xor32(bl, o.seed));
  h.Send(Bytes(32, 0));
  h.Send8(0x5A);
  h.SendBe32(static_cast<uint32_t>(ext.size()));
  h.SendBe32(Xor32(ext, o.seed) ^ o.extChecksumFlip);
  if (h.Recv8() != 0x5A) return 0xFF;
  for (const Bytes* img : {&ext, &bl}) {
    for (size_t off = 0; off < img->size(); off += 4096) {
      size_t n = std::min<size_t>(4096, img->size() - off);
      h.Send(Bytes(img->begin() + off, img->begin() + off + n));
      h.SendBe16(static_cast<uint16_t>(Sum16(*img, off, n) + (o.corruptPacketSum ? 1 : 0)));
      if (h.Recv8() != 0x69) return 0;
    }
  }
  return h.Recv8();
}

TEST(SimBootloader, VerifiedWithTheInfoBlockSeedAndStoredInTheBootArea) {
  Rig rig;
  TestHost& h = *rig.host;
  h.BootIntoAgent();
  h.Connect();
  Bytes bl = MakeBootloader(40000, 0x13572468);
  Bytes ext(4097, 0x5C);
  EXPECT_EQ(SendBootloader(h, bl, ext, {0x13572468}), 0x5A);
  PhoneRecord::Bootloader r = rig.phone.Record().bootloader;
  EXPECT_TRUE(r.infoBlockFound);
  EXPECT_EQ(r.seedSource, "info block");
  EXPECT_EQ(r.seed, 0x13572468u);
  EXPECT_TRUE(r.headerMatchesInfoBlock);
  EXPECT_TRUE(r.checksumOk);
  EXPECT_TRUE(r.extChecksumOk);
  EXPECT_TRUE(r.stored);
  Placement pb, pe;
  ASSERT_TRUE(rig.flash->FindPlacement("bootloader", &pb));
  ASSERT_TRUE(rig.flash->FindPlacement("extended-bootloader", &pe));
  EXPECT_EQ(pb.address, 16u << 20);
  EXPECT_EQ(pe.address % rig.flash->geometry().blockMainBytes(), 0u);
  EXPECT_GE(pe.address, pb.address + bl.size());
  EXPECT_EQ(rig.flash->ReadMain(pb.address, bl.size()), bl);
  EXPECT_EQ(rig.flash->ReadMain(pe.address, ext.size()), ext);
}

TEST(SimBootloader, WrongImageChecksumIsRefusedAndNothingStored) {
  Rig rig;
  rig.host->BootIntoAgent();
  rig.host->Connect();
  Bytes bl = MakeBootloader(5000, 7);
  BootloaderSend o{7, 0x10};
  EXPECT_NE(SendBootloader(*rig.host, bl, Bytes(100, 1), o), 0x5A);
  rig.host->Sync();
  PhoneRecord::Bootloader r = rig.phone.Record().bootloader;
  EXPECT_TRUE(r.checksumOk);
  EXPECT_FALSE(r.extChecksumOk);
  EXPECT_FALSE(r.stored);
  EXPECT_FALSE(rig.flash->FindPlacement("bootloader", nullptr));
}

TEST(SimBootloader, PacketWithAWrongSumIsRefusedWithAnErrorWord) {
  Rig rig;
  TestHost& h = *rig.host;
  h.BootIntoAgent();
  h.Connect();
  BootloaderSend o;
  o.corruptPacketSum = true;
  EXPECT_EQ(SendBootloader(h, MakeBootloader(100, 0), Bytes(10, 2), o), 0);
  EXPECT_NE(h.RecvBe32(), 0u);  // the error word after the refusal
  h.Sync();
  EXPECT_EQ(rig.phone.Record().bootloader.badPackets, 1u);
}

TEST(SimBootloader, WithoutInfoBlockTheSeedIsDerivedAndMustFitBothImages) {
  Rig rig;
  rig.host->BootIntoAgent();
  rig.host->Connect();
  Bytes bl(3000, 0x21);
  EXPECT_EQ(SendBootloader(*rig.host, bl, Bytes(64, 3), {0xDEAD}), 0x5A);
  PhoneRecord::Bootloader r = rig.phone.Record().bootloader;
  EXPECT_FALSE(r.infoBlockFound);
  EXPECT_EQ(r.seedSource, "derived");
  EXPECT_EQ(r.seed, 0xDEADu);
  EXPECT_TRUE(r.stored);
}

// A ROM image with its information record at `at`.
Bytes MakeRom(size_t size, size_t at) {
  Bytes rom(size);
  for (size_t i = 0; i < size; ++i) rom[i] = static_cast<uint8_t>(i ^ (i >> 8));
  std::memcpy(rom.data() + at, "MTK_ROMINFO_v6", 14);
  return rom;
}

void SendImageList(TestHost& h, uint32_t k, const Bytes& rom, const Bytes& sec, uint8_t* answers) {
  h.Send({0xDD, 0xA5, 0xA5, 0xA5, 0x02, 0x02});
  h.SendBe32(k);
  h.SendBe32(k + 339);
  EXPECT_EQ(h.Recv8(), 0x5A);
  uint32_t romEnd = static_cast<uint32_t>(rom.size()) - 1;
  uint32_t secStart = romEnd + 1 + 0x4000;
  uint32_t fields[2][4] = {{0, romEnd, 0, 1},
                           {secStart, secStart + static_cast<uint32_t>(sec.size()) - 1, 0, 1}};
  for (int i = 0; i < 2; ++i) {
    h.Send8(0x01);
    for (uint32_t v : fields[i]) h.SendBe32(v);
    answers[i] = h.Recv8();
  }
}

// 0xDE from the host's side; returns the agent's last byte.
uint8_t SendNfb(TestHost& h, const Bytes& rom, const Bytes& sec) {
  h.Send8(0xDE);
  EXPECT_EQ(h.Recv8(), 0x5A);
  h.SendBe32(4096);
  EXPECT_EQ(h.Recv8(), 0x5A);
  for (const Bytes* img : {&rom, &sec}) {
    for (size_t off = 0; off < img->size(); off += 4096) {
      size_t n = std::min<size_t>(4096, img->size() - off);
      h.Send(Bytes(img->begin() + off, img->begin() + off + n));
      h.SendBe16(Sum16(*img, off, n));
      EXPECT_EQ(h.Recv8(), 0x69);
    }
  }
  EXPECT_EQ(h.Recv(2), (Bytes{0x5A, 0x5A}));
  for (const Bytes* img : {&rom, &sec}) {
    if (img->empty()) {
      h.Send8(0xA5);
      return 0xA5;
    }
    h.Send8(0x5A);
    h.SendBe16(Sum16(*img));
    EXPECT_EQ(h.Recv8(), 0x5A);
  }
  return h.Recv8();
}

class SimNfb : public ::testing::TestWithParam<Geometry> {};

TEST_P(SimNfb, ImagesLandSoThatTheRomRecordIsInBlocks2To9) {
  const Geometry g = GetParam();
  Rig rig({}, std::make_shared<Flash>(g));
  TestHost& h = *rig.host;
  h.BootIntoAgent();
  h.Connect();
  Bytes rom = MakeRom(100000, 0x200), sec(9000, 0x77);
  uint8_t answers[2];
  SendImageList(h, 0x200, rom, sec, answers);
  EXPECT_EQ(answers[0], 0x5A);
  EXPECT_EQ(answers[1], 0x5A);
  EXPECT_EQ(SendNfb(h, rom, sec), 0x5A);
  PhoneRecord r = rig.phone.Record();
  EXPECT_TRUE(r.nfbComplete);
  EXPECT_TRUE(r.romInfoMarkerAtListedOffset);
  EXPECT_EQ(r.romInfoStart, 0x200u);
  ASSERT_EQ(r.nfbImages.size(), 2u);
  EXPECT_TRUE(r.nfbImages[0].sumOk);
  EXPECT_TRUE(r.problems.empty()) << r.problems.front();
  const uint64_t base = 2ull * g.blockMainBytes();
  EXPECT_EQ(rig.flash->ReadMain(base, rom.size()), rom);
  EXPECT_EQ(rig.flash->ReadMain(base + rom.size() + 0x4000, sec.size()), sec);
  // The record lies in block 2's main data, where the host reads it.
  Bytes block2 = rig.flash->ReadMain(base, g.blockMainBytes());
  EXPECT_EQ(std::memcmp(block2.data() + 0x200, "MTK_ROMINFO_v", 13), 0);
  Placement p;
  ASSERT_TRUE(rig.flash->FindPlacement("secondary-rom", &p));
  EXPECT_EQ(p.address, base + rom.size() + 0x4000);
  EXPECT_EQ(p.length, sec.size());
}

INSTANTIATE_TEST_SUITE_P(Geometries, SimNfb, ::testing::Values(Geometry::SmallPage(), Geometry::LargePage()),
                         [](const auto& info) { return info.param.pageSize == 512 ? "Small" : "Large"; });

TEST(SimNfbEdge, EmptySecondaryImageMakesTheHostGiveUp) {
  Rig rig;
  TestHost& h = *rig.host;
  h.BootIntoAgent();
  h.Connect();
  Bytes rom = MakeRom(5000, 0), sec;
  uint8_t answers[2];
  SendImageList(h, 0, rom, sec, answers);
  EXPECT_EQ(answers[1], 0x5A);  // an empty entry is listed fine
  EXPECT_EQ(SendNfb(h, rom, sec), 0xA5);
  h.Sync();
  PhoneRecord r = rig.phone.Record();
  EXPECT_FALSE(r.nfbComplete);
  EXPECT_TRUE(r.nfbImages.at(0).stored);
}

TEST(SimNfbEdge, ImageListEntryOverlappingTheBootAreaIsRefused) {
  Rig rig;
  TestHost& h = *rig.host;
  h.BootIntoAgent();
  h.Connect();
  h.Send({0xDD, 0xA5, 0xA5, 0xA5, 0x02, 0x02});
  h.SendBe32(0);
  h.SendBe32(339);
  EXPECT_EQ(h.Recv8(), 0x5A);
  h.Send8(0x01);
  for (uint32_t v : {0u, (20u << 20) - 1, 0u, 1u}) h.SendBe32(v);  // reaches into 16 MiB
  EXPECT_NE(h.Recv8(), 0x5A);
}

}  // namespace
}  // namespace vantrel::testing
