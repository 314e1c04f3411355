// The bootloader information block and the ROM information record.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "images/records.h"
#include "link/byte_order.h"

namespace vantrel::testing {
namespace {

using Bytes = std::vector<uint8_t>;

ImageDesc Desc(const Bytes& b) { return {b.data(), static_cast<uint32_t>(b.size()), 0}; }

// A bootloader of `body` filler bytes followed by an information block of
// `block` bytes whose marker carries `version`, and the trailing length.
Bytes Bootloader(std::size_t body, uint32_t block, const std::string& version) {
  Bytes b(body, 0x11);
  Bytes info(block, 0);
  std::memcpy(info.data(), "MTK_BLOADER_INFO_v", 18);
  std::memcpy(info.data() + 18, version.data(), std::min<std::size_t>(version.size(), block - 18));
  for (uint32_t i = 24; i < block; ++i) info[i] = static_cast<uint8_t>(i);
  b.insert(b.end(), info.begin(), info.end());
  b.resize(b.size() + 4);
  PutLe32(&b[b.size() - 4], block);
  return b;
}

TEST(BloaderInfo, CopiesTheSizeOfItsVersionAndZeroesTheRest) {
  struct Case { const char* version; uint32_t copied; };
  for (Case c : {Case{"1", 108}, Case{"2", 132}, Case{"3", 136}, Case{"03", 136}}) {
    Bytes image = Bootloader(1000, 136, c.version);
    uint8_t rec[136];
    std::memset(rec, 0xEE, sizeof rec);
    ASSERT_EQ(ParseBloaderInfo(Desc(image), rec), 0) << c.version;
    const uint8_t* block = image.data() + 1000;
    EXPECT_EQ(0, std::memcmp(rec, block, c.copied)) << c.version;
    for (uint32_t i = c.copied; i < 136; ++i) ASSERT_EQ(rec[i], 0) << c.version << " byte " << i;
  }
}

TEST(BloaderInfo, UnknownVersionsGiveAnAllZeroRecord) {
  for (const char* v : {"4", "0", "x", "-1"}) {
    Bytes image = Bootloader(64, 140, v);
    uint8_t rec[136];
    std::memset(rec, 0xEE, sizeof rec);
    ASSERT_EQ(ParseBloaderInfo(Desc(image), rec), 0) << v;
    EXPECT_EQ(rec[0], 0) << v;
    EXPECT_EQ(rec[135], 0) << v;
  }
}

TEST(BloaderInfo, BlockShorterThanItsVersionNeedsGives1009AndKeepsTheRecord) {
  struct Case { const char* version; uint32_t block; };
  for (Case c : {Case{"1", 107}, Case{"2", 131}, Case{"3", 135}}) {
    Bytes image = Bootloader(500, c.block, c.version);
    uint8_t rec[136];
    std::memset(rec, 0xEE, sizeof rec);
    EXPECT_EQ(ParseBloaderInfo(Desc(image), rec), 1009) << c.version;
    EXPECT_EQ(rec[0], 0xEE);
    EXPECT_EQ(rec[135], 0xEE);
  }
}

TEST(BloaderInfo, MissingMarkerOrShortImageGives5028) {
  uint8_t rec[136] = {};
  Bytes image = Bootloader(100, 136, "3");
  image[100 + 5] = 'X';  // marker broken
  EXPECT_EQ(ParseBloaderInfo(Desc(image), rec), 5028);

  // Trailing length one more than the bytes before it.
  Bytes longer = Bootloader(0, 136, "3");
  PutLe32(&longer[longer.size() - 4], 137);
  EXPECT_EQ(ParseBloaderInfo(Desc(longer), rec), 5028);

  // A length that exactly covers the image still parses.
  Bytes exact = Bootloader(0, 136, "3");
  EXPECT_EQ(ParseBloaderInfo(Desc(exact), rec), 0);

  Bytes tiny = {1, 2, 3};
  EXPECT_EQ(ParseBloaderInfo(Desc(tiny), rec), 5028);
  EXPECT_EQ(ParseBloaderInfo(ImageDesc{}, rec), 5028);
  // Too short for the marker itself.
  Bytes stub = Bootloader(20, 18, "");
  PutLe32(&stub[stub.size() - 4], 10);
  EXPECT_EQ(ParseBloaderInfo(Desc(stub), rec), 5028);
}

TEST(BloaderInfo, TrailingLengthNearTwoToThe32IsAShortImage) {
  // L + 4 wraps to a small number in 32 bits; it must not pass as short.
  uint8_t rec[136] = {};
  for (uint32_t l : {0xFFFFFFFFu, 0xFFFFFFFCu, 0xFFFFFFFDu, 0x80000000u}) {
    Bytes image = Bootloader(300, 136, "3");
    PutLe32(&image[image.size() - 4], l);
    EXPECT_EQ(ParseBloaderInfo(Desc(image), rec), 5028) << std::hex << l;
  }
}

// A ROM image of `size` bytes with a record of `version` at `offset`.
Bytes Rom(std::size_t size, std::size_t offset, const std::string& version) {
  Bytes b(size, 0x22);
  std::memcpy(&b[offset], "MTK_ROMINFO_v", 13);
  std::memcpy(&b[offset + 13], version.data(), version.size());
  b[offset + 13 + version.size()] = 0;
  const char text1[] = "lower text 1";
  const char text2[] = "mixed Case 2";
  if (offset + 144 + sizeof text2 + 2 <= size) {
    std::memcpy(&b[offset + 16], text1, sizeof text1);  // NUL included
    b[offset + 16 + sizeof text1] = 'q';                // after the NUL: stays
    std::memcpy(&b[offset + 144], text2, sizeof text2);
    b[offset + 144 + sizeof text2] = 'z';
  }
  return b;
}

TEST(RomInfo, RecordLengthFollowsTheVersion) {
  struct Case { const char* version; uint32_t length; };
  for (Case c : {Case{"4", 320}, Case{"5", 332}, Case{"6", 340}, Case{"7", 352}, Case{"3", 352}}) {
    Bytes image = Rom(4096, 0x200, c.version);
    // Bytes just past the record length mark where the copy must stop.
    for (uint32_t i = c.length; i < 352; ++i) image[0x200 + i] = 0x7E;
    uint8_t copy[352];
    std::memset(copy, 0xEE, sizeof copy);
    ASSERT_EQ(ParseRomInfo(Desc(image), copy), 0) << c.version;
    for (uint32_t i = c.length; i < 352; ++i) ASSERT_EQ(copy[i], c.length < 352 ? 0 : 0x7E) << i;
    uint32_t offset = 0, size = 0;
    ASSERT_TRUE(FindRomInfoRecord(Desc(image), &offset, &size));
    EXPECT_EQ(offset, 0x200u);
    EXPECT_EQ(size, c.length);
  }
}

TEST(RomInfo, VersionFourAndAboveUpperCaseBothTextsOnly) {
  Bytes image = Rom(4096, 0x40, "7");
  uint8_t copy[352];
  ASSERT_EQ(ParseRomInfo(Desc(image), copy), 0);
  EXPECT_STREQ(reinterpret_cast<char*>(copy + 16), "LOWER TEXT 1");
  EXPECT_STREQ(reinterpret_cast<char*>(copy + 144), "MIXED CASE 2");
  EXPECT_EQ(copy[16 + 13], 'q');  // after the NUL: unchanged
  EXPECT_EQ(copy[144 + 13], 'z');
  EXPECT_EQ(0, std::memcmp(copy, "MTK_ROMINFO_v", 13));

  Bytes old = Rom(4096, 0x40, "3");
  ASSERT_EQ(ParseRomInfo(Desc(old), copy), 0);
  EXPECT_STREQ(reinterpret_cast<char*>(copy + 16), "lower text 1");
  EXPECT_STREQ(reinterpret_cast<char*>(copy + 144), "mixed Case 2");
}

TEST(RomInfo, SearchCoversTheFirstMebibyteOnly) {
  Bytes image = Rom(0x100000 + 400, 0x100000, "6");
  uint8_t copy[352] = {};
  EXPECT_EQ(ParseRomInfo(Desc(image), copy), 2);
  uint32_t offset = 0, size = 0;
  EXPECT_FALSE(FindRomInfoRecord(Desc(image), &offset, &size));

  Bytes last = Rom(0x100000 + 400, 0xFFFFF, "6");
  EXPECT_EQ(ParseRomInfo(Desc(last), copy), 0);
  EXPECT_TRUE(FindRomInfoRecord(Desc(last), &offset, &size));
  EXPECT_EQ(offset, 0xFFFFFu);
}

TEST(RomInfo, ShortImagesAndRecordsCutByTheEnd) {
  uint8_t copy[352];
  Bytes small(331, 0);
  std::memcpy(small.data(), "MTK_ROMINFO_v6", 14);
  EXPECT_EQ(ParseRomInfo(Desc(small), copy), 1);

  // The record starts 20 bytes before the end: only those bytes are copied.
  Bytes cut(1000, 0x33);
  std::memcpy(&cut[980], "MTK_ROMINFO_v7", 14);
  std::memset(copy, 0xEE, sizeof copy);
  ASSERT_EQ(ParseRomInfo(Desc(cut), copy), 0);
  EXPECT_EQ(0, std::memcmp(copy, &cut[980], 20));
  for (int i = 20; i < 352; ++i) ASSERT_EQ(copy[i], 0) << i;

  // A marker cut by the end is no marker.
  Bytes partial(400, 0);
  std::memcpy(&partial[390], "MTK_ROMINFO_v", 10);
  EXPECT_EQ(ParseRomInfo(Desc(partial), copy), 2);
}

TEST(ParseDecimalTest, ReadsLikeAtoiWithinItsLimit) {
  auto parse = [](const char* s, uint32_t limit) {
    return ParseDecimal(reinterpret_cast<const uint8_t*>(s), limit);
  };
  EXPECT_EQ(parse("6", 1), 6);
  EXPECT_EQ(parse("  \t+12x", 7), 12);
  EXPECT_EQ(parse("-3", 2), -3);
  EXPECT_EQ(parse("abc", 3), 0);
  EXPECT_EQ(parse("123", 2), 12);  // the limit stops the digits
  EXPECT_EQ(parse("5", 0), 0);
  EXPECT_EQ(parse("99999999999999999999", 20), 2147483647);  // clamped, not undefined
}

}  // namespace
}  // namespace vantrel::testing
