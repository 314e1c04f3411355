// Golden transcripts: whole downloads against the simulated phone, recorded
// once at the lowest I/O and kept in tests/golden/data, replayed here through
// the scripted fake link. They pin the wire: a replay fails on the first byte
// the plug-in writes differently, naming the transcript line and what the
// plug-in was doing. To record them again (only when a change of wire bytes
// is intended, and said so in the commit):
//   VANTREL_GOLDEN_RECORD=1 build/tests/test_golden
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "engine/download_plan.h"
#include "brom/brom.h"
#include "images/carried_images.h"
#include "images/package.h"
#include "images/records.h"
#include "platform/recording_port.h"
#include "tests/integration/rig.h"
#include "tests/support/fake_link.h"
#include "tools/pkg/sample.h"
#include "vantrel/extension.h"

namespace vantrel::testing {
namespace {

// A small package: the sample with small images, so that a transcript stays
// a few hundred KiB.
pkg::BuiltPackage SmallPackage(uint32_t page_size, bool multi_region, uint32_t data_blocks,
                               uint32_t tag_modulus) {
  pkg::SampleOptions o;
  o.pageSize = page_size;
  o.blockKiB = page_size == 512 ? 16 : 128;
  o.multiRegion = multi_region;
  o.fsImages = multi_region ? 2 : 1;
  o.dataBlocks = data_blocks;
  o.tagModulus = tag_modulus;
  o.reservedCount = 8;
  o.extraSections = false;
  nlohmann::json d = pkg::SampleDescription(o);
  d["bootloader"]["size"] = 6000;
  d["extBootloader"]["size"] = 3000;
  for (auto& s : d["sections"]) {
    if (s["type"] == 4) s["size"] = 32 * 1024;
    if (s["type"] == 5) s["size"] = 8 * 1024;
  }
  return pkg::BuildPackage(d);
}

struct Case {
  const char* name;
  uint32_t pageSize;
  bool multiRegion;
  uint32_t dataBlocks;
  uint32_t tagModulus;
  // Prepares the flash before the recorded download (bad blocks, a first
  // download); `rig` already uses the package.
  void (*before)(Rig& rig);
};

void Nothing(Rig&) {}

// Data blocks 1 (tag 1) and 2 (tag 0) refuse their writes: two tags replace.
void BadBlocksInTwoTags(Rig& rig) {
  const auto& fs = rig.package().fsImages.at(0);
  rig.flash().MarkFactoryBad(HomeBlock(fs, 1));
  rig.flash().SetFailing(HomeBlock(fs, 2));
}

// A first download that remaps data block 3; the recorded one carries it over.
void FirstDownloadWithARemap(Rig& rig) {
  rig.flash().SetFailing(HomeBlock(rig.package().fsImages.at(0), 3));
  rig.StartPhone();
  RecordingHost host;
  ::testing::internal::CaptureStdout();
  const int rc = rig.RunSession(host);
  ::testing::internal::GetCapturedStdout();
  if (rc != 1) throw std::runtime_error("first download failed");
}

const Case kCases[] = {
    {"download_512", 512, true, 3, 4, &Nothing},
    {"download_2048", 2048, false, 2, 4, &Nothing},
    {"bad_blocks_512", 512, false, 4, 2, &BadBlocksInTwoTags},
    {"second_download_512", 512, false, 4, 4, &FirstDownloadWithARemap},
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

std::string DataPath(const Case& c) {
  return std::string(VANTREL_SOURCE_DIR) + "/tests/golden/data/" + c.name + ".txt";
}

std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

class Golden : public ::testing::TestWithParam<Case> {};

// Records the transcript: the real session against the simulated phone.
void Record(const Case& c) {
  Rig rig(c.pageSize);
  rig.UsePackage(SmallPackage(c.pageSize, c.multiRegion, c.dataBlocks, c.tagModulus));
  c.before(rig);
  const std::string path = DataPath(c);
  std::remove(path.c_str());
  {
    std::FILE* f = std::fopen(path.c_str(), "w");
    ASSERT_NE(f, nullptr) << path;
    std::fprintf(f, "# %s: a whole download against the simulated phone (see golden_test.cpp)\n", c.name);
    std::fclose(f);
  }
  rig.StartPhone();
  RecordingHost host;
  ::testing::internal::CaptureStdout();
  const int rc = rig.RunSession(host, 0, [&path](CBizDownload& s) {
    ASSERT_EQ(VantrelSetText(&s, VANTREL_TEXT_TRANSCRIPT, path.c_str()), 1);
  });
  const std::string out = ::testing::internal::GetCapturedStdout();
  ASSERT_EQ(rc, 1) << out;
  ASSERT_TRUE(rig.Check().ok);
}

TEST_P(Golden, ReplaysByteForByte) {
  const Case& c = GetParam();
  if (std::getenv("VANTREL_GOLDEN_RECORD")) Record(c);

  std::vector<platform::TranscriptChunk> chunks;
  std::string error;
  const std::string text = ReadText(DataPath(c));
  ASSERT_FALSE(text.empty()) << DataPath(c) << " is missing";
  ASSERT_TRUE(platform::ParseTranscript(text, &chunks, &error)) << error;

  FakeLink link;
  uint32_t line = 0, writes = 0;
  for (const auto& ch : chunks) {
    ++line;
    switch (ch.kind) {
      case platform::TranscriptChunk::kWrite: {
        char label[96];
        std::snprintf(label, sizeof label, "chunk %u (write %u, first byte 0x%02X)", line, ++writes,
                      ch.bytes[0]);
        link.ExpectWrite(ch.bytes, label);
        break;
      }
      case platform::TranscriptChunk::kRead: link.AddRead(ch.bytes); break;
      case platform::TranscriptChunk::kTimeout: link.AddReadTimeout(); break;
      case platform::TranscriptChunk::kFailure: link.AddReadFailure(); break;
    }
  }

  // The same inputs the session had: the package as the loader gives it and
  // the carried images, on a clock that makes the pauses free.
  const pkg::BuiltPackage p = SmallPackage(c.pageSize, c.multiRegion, c.dataBlocks, c.tagModulus);
  ImageDesc bl, ext, rom, rom2, fs[4];
  std::string reason;
  ASSERT_TRUE(LoadFirmwarePackageFromBytes(ByteSpan(p.bytes.data(), p.bytes.size()), &bl, &ext,
                                           &rom, &rom2, fs, &reason))
      << reason;
  uint8_t bloader_info[136] = {}, rom_info[352] = {};
  ParseBloaderInfo(bl, bloader_info);
  ParseRomInfo(rom, rom_info);
  const ImageDesc da1 = Da1Image(), da2 = Da2Image(), ta = TableAImage(), tb = TableBImage();
  platform::ManualClock clock;
  platform::ScopedClock scope(&clock);

  // The session's trace, kept through the link's channel: a mismatch names
  // the last line (the command in progress) besides the transcript chunk.
  std::string trace, last_line;
  link.channel().SetLogSink([&](const char* text) {
    trace += text;
    if (std::string(text) != ".") last_line = text;
  });
  link.SetWhere([&] { return "after the trace line \"" + last_line.substr(0, last_line.find('\n')) + "\""; });
  ASSERT_EQ(BootConnect(&link, &da1, &da2), 0) << trace;
  FirmwareBundle firmware{bl, ext, rom, rom2};
  std::copy(fs, fs + firmware.fs.size(), firmware.fs.begin());
  const int rc = AgentRun(&link, AgentStageInputs{ta, tb, bloader_info, rom_info}, firmware, 40);
  EXPECT_EQ(rc, 0) << trace;
  EXPECT_TRUE(link.VerifyConsumed());
}

INSTANTIATE_TEST_SUITE_P(Wire, Golden, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace vantrel::testing
