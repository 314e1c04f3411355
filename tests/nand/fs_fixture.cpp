#include "fs_fixture.h"

#include <gtest/gtest.h>

#include "link/byte_order.h"
#include "nand/fs_format.h"

namespace vantrel::testing {

Geometry Geometry::Make(uint16_t page, uint16_t kib) {
  Geometry g{page, kib, SpareSizeFor(page), kib * 1024u / page, 0, 0};
  g.main = g.pages * page;
  g.raw = g.pages * (page + g.spare);
  return g;
}

std::vector<uint32_t> ImageSpec::UsedPagesOf(uint32_t i) const {
  return i < used.size() ? used[i] : std::vector<uint32_t>{0, 1, 2, 3};
}

std::vector<uint8_t> ImageSpec::Record() const {
  std::vector<uint8_t> r(512, 0);
  PutLe32(&r[388], info_area_start);
  PutLe32(&r[392], info_area_length);
  for (size_t k = 0; k < regions.size(); ++k) {
    PutLe32(&r[396 + 8 * k], regions[k].first);
    PutLe32(&r[400 + 8 * k], regions[k].second);
  }
  std::copy(version.begin(), version.end(), &r[460]);
  r[470] = byte470;
  return r;
}

std::vector<uint8_t> ImageSpec::InfoBlockRaw() const {
  const uint32_t stride = g.page + g.spare;
  std::vector<uint8_t> raw(g.raw, 0xFF);
  std::vector<uint8_t> main(g.main, 0xFF);
  std::fill(main.begin(), main.begin() + counters_end, 0);
  for (auto [index, value] : remap) PutLe16(&main[2 * index], value);
  for (uint32_t k = 0; k < 8; ++k) PutLe16(&main[counters_end - 16 + 2 * k], counters[k]);
  const std::vector<uint8_t> record = Record();
  std::copy(record.begin(), record.end(), main.end() - 512);  // last page's last 512 bytes
  for (uint32_t p = 0; p < g.pages; ++p)
    std::copy_n(main.begin() + p * g.page, g.page, raw.begin() + p * stride);
  for (uint32_t p : {0u, g.pages - 1}) {
    raw[p * stride + g.page + 2] = 0x0F;
    raw[p * stride + g.page + 3] = 0x0D;
  }
  return raw;
}

std::vector<uint8_t> ImageSpec::DataBlockRaw(uint32_t i) const {
  const uint32_t stride = g.page + g.spare;
  std::vector<uint8_t> raw(g.raw, 0xFF);
  for (uint32_t p : UsedPagesOf(i)) {
    for (uint32_t j = 0; j < g.page; ++j) raw[p * stride + j] = uint8_t(i * 31 + p * 7 + j);
    raw[p * stride + g.page] = uint8_t(0xA0 ^ i);
    raw[p * stride + g.page + 1] = uint8_t(p);
  }
  return raw;
}

std::vector<uint8_t> ImageSpec::Build() const {
  std::vector<uint8_t> image(size_t(header_blocks + 1 + normal.size()) * g.raw, 0);
  const uint32_t words[8] = {header_blocks, 1, uint32_t(normal.size() + reserved.size()),
                             uint32_t(normal.size()), uint32_t(reserved.size()),
                             pool_first == UINT32_MAX ? uint32_t(normal.size()) : pool_first, 0,
                             counters_end};
  for (int k = 0; k < 8; ++k) PutLe32(&image[4 * k], words[k]);
  PutLe16(&image[32], g.page);
  PutLe16(&image[34], g.kib);
  size_t at = 48;
  for (const auto* list : {&normal, &reserved})
    for (uint32_t w : *list) PutLe32(&image[std::exchange(at, at + 4)], w);
  const std::vector<uint8_t> info = InfoBlockRaw();
  std::copy(info.begin(), info.end(), image.begin() + header_blocks * g.raw);
  for (uint32_t i = 0; i < normal.size(); ++i) {
    const std::vector<uint8_t> data = DataBlockRaw(i);
    std::copy(data.begin(), data.end(), image.begin() + (header_blocks + 1 + i) * g.raw);
  }
  return image;
}

ImageSpec StandardImage(uint32_t n, uint32_t r, uint32_t modulus, Geometry g) {
  ImageSpec s;
  s.g = g;
  const uint32_t fs = s.FsStart();
  for (uint32_t i = 0; i < n; ++i) s.normal.push_back((fs + 10 + i) << 8 | (i % modulus));
  for (uint32_t k = 0; k < r; ++k) s.reserved.push_back((fs + 100 + k) << 8 | (k % modulus));
  s.info_area_start = (fs + 100) * g.main;
  s.info_area_length = r * g.main;
  return s;
}

std::vector<uint8_t> RomRecord(uint16_t region_count, uint32_t fs_start, uint32_t fs_length,
                               const std::string& id) {
  std::vector<uint8_t> r(352, 0);
  std::copy_n("MTK_ROMINFO_v6", 14, r.begin());
  PutLe16(&r[210], region_count);
  PutLe32(&r[220], 0);
  PutLe32(&r[224], fs_start);
  PutLe32(&r[236], fs_start);
  PutLe32(&r[240], fs_length);
  std::copy_n(id.begin(), std::min<size_t>(id.size(), 8), r.begin() + 332);
  return r;
}

FlashInfo CheckFlash(const FakeNand& nand, const ImageSpec& plan) {
  const Geometry& g = plan.g;
  FlashInfo info;
  int found = 0;
  for (uint32_t b = plan.info_area_start / g.main;
       b < (uint64_t(plan.info_area_start) + plan.info_area_length) / g.main; ++b) {
    const std::vector<uint8_t> raw = nand.Raw(b);
    if (raw[g.page + 2] != 0x0F || raw[g.page + 3] != 0x0D) continue;
    ++found;
    info.block = b;
    info.main.clear();
    for (uint32_t p = 0; p < g.pages; ++p)
      info.main.insert(info.main.end(), raw.begin() + p * (g.page + g.spare),
                       raw.begin() + p * (g.page + g.spare) + g.page);
  }
  EXPECT_EQ(found, 1) << "info blocks in the info area";
  if (found == 0) return info;
  const uint32_t fs = plan.FsStart();
  const uint32_t base = (plan.normal[0] >> 8) - fs;
  for (uint32_t k = 0; k < 8; ++k) info.counters[k] = GetLe16(&info.main[plan.counters_end - 16 + 2 * k]);
  for (uint32_t i = 0; i < plan.normal.size(); ++i) {
    const uint16_t entry = GetLe16(&info.main[2 * (base + i)]);
    info.remap.push_back(entry);
    const uint32_t at = entry ? fs + entry : plan.normal[i] >> 8;
    EXPECT_EQ(nand.Raw(at), plan.DataBlockRaw(i)) << "data block " << i << " at block " << at;
    if (entry) {
      EXPECT_GT(info.counters[plan.normal[i] & 0xFF], entry) << "data block " << i;
    }
  }
  return info;
}

}  // namespace vantrel::testing
