// Checks of the records a download steers by, which the loader's limits do
// not look at (blockers.h).
#include "tools/pkg/blockers.h"

#include <set>

#include "images/fs_layout.h"
#include "images/records.h"
#include "images/rom_info.h"
#include "link/byte_order.h"

namespace vantrel::pkg {
namespace {

constexpr uint64_t kAddressSpace = uint64_t{1} << 32;  // flash addresses are 32-bit words

// A range of flash addresses, main data only.
struct Range {
  uint64_t start = 0, length = 0;
  uint64_t end() const { return start + length; }
  bool Overlaps(const Range& o) const { return start < o.end() && o.start < end(); }
  bool Inside(const Range& o) const { return start >= o.start && end() <= o.end(); }
  std::string Text() const {
    return Reason("0x%08llX + 0x%llX", static_cast<unsigned long long>(start), static_cast<unsigned long long>(length));
  }
};

// An FS image the FS writer writes, with its info record.
struct FsRecord {
  const ImageRecord* image = nullptr;
  NandGeometry geometry;
  const uint8_t* record = nullptr;  // 512 bytes inside the image

  FsInfoRecordView View() const { return FsInfoRecordView(record); }
  Range Area() const { return {View().AreaStart(), View().AreaLength()}; }
  std::string Name() const {
    return image->region >= 0 ? Reason("FS image (section %d, region %d)", image->section, image->region)
                              : Reason("FS image (section %d)", image->section);
  }
};

// The FS images the writer writes: those whose info record has the version
// it knows (it skips the others). The loader has checked that each holds a
// header and an info record; an image that does not is left out.
std::vector<FsRecord> WrittenFsImages(const ImageStore& store) {
  std::vector<FsRecord> out;
  for (const ImageRecord& r : store) {
    if (r.type != kImageFs || r.bytes.size() < kFsHeaderFixedBytes) continue;
    const FsHeaderView h(r.bytes.data());
    FsRecord f{&r, MakeNandGeometry({h.PageSize(), h.BlockSizeKiB()}), nullptr};
    uint64_t at = 0;
    if (f.geometry.pageSize == 0 ||
        !FindInfoRecordRaw(f.geometry, r.bytes, uint64_t{h.HeaderBlocks()} * f.geometry.blockBytes, &at))
      continue;
    f.record = &r.bytes[at];
    if (f.View().IsVersionSupported()) out.push_back(f);
  }
  return out;
}

std::vector<std::pair<uint32_t, Range>> Regions(const FsInfoRecordView& v) {
  std::vector<std::pair<uint32_t, Range>> out;
  for (uint32_t k = 0; k < kInfoMaxRegions; ++k)
    if (v.RegionLength(k)) out.push_back({k, {v.RegionStart(k), v.RegionLength(k)}});
  return out;
}

void BootloaderInfo(const ImageDesc& boot, std::vector<DownloadBlocker>* out) {
  uint8_t record[kBloaderInfoRecordBytes] = {};
  const int code = ParseBloaderInfo(boot, record);
  if (code == 0) return;
  // The download parses the block, ignores the result and sends the header
  // from the record it left all zero (engine PrepareImages, agent 0xDC).
  out->push_back({PackagePart::kBootloaderInfo,
                  Reason("bootloader information block not usable (code %d): ", code) +
                      "the download does not stop for it, but sends the bootloader header with the block's fields "
                      "as zeros (checksum seed 0), so the phone checks the bootloaders against a header that is not "
                      "theirs"});
}

// What the ROM information record must give the FS images. The download
// refuses a record without regions before it sends anything (1030); the FS
// writer reads the record back from the flash after the bootloader and ROM
// images are written, and refuses (4054) one whose region 1, the FS region,
// does not hold the images.
void RomInfo(const ImageDesc& rom, bool any_fs, const std::vector<FsRecord>& written,
             std::vector<DownloadBlocker>* out) {
  if (!any_fs) return;
  const auto add = [out](const std::string& text) { out->push_back({PackagePart::kRomInfo, text}); };
  const char* before = "a download of the FS images stops with 1030 before anything is written";
  const char* after = "a download stops with 4054 at the first FS image, after the bootloader and ROM images are "
                      "written";
  RomInfoRecord record{};
  if (ParseRomInfo(rom, record.data()) != 0)
    return add(std::string("ROM information record: not found in the first 1 MiB of the ROM image, and the FS "
                           "images' region comes from it: ") + before);
  const RomInfoView v(record);
  if (v.RegionCount() == 0 || v.RegionCount() > kRomInfoMaxRegions)
    return add(Reason("ROM information record lists %u regions (1 to %u can be read): ", v.RegionCount(),
                      kRomInfoMaxRegions) + before);
  if (written.empty()) return;
  if (v.RegionCount() < 2 || v.RegionLength(1) == 0)
    return add(std::string("ROM information record has no FS region (region 1): ") + after);
  if (!v.HasFsIdentifier())
    return add(Reason("ROM information record does not carry the FS identifier \"%s\": ", kRomInfoFsIdentifier) +
               after);
  const Range fs{v.RegionStart(1), v.RegionLength(1)};
  for (const FsRecord& f : written)
    for (const auto& [k, r] : Regions(f.View()))
      if (!r.Inside(fs))
        return add(f.Name() + Reason(": region %u (%s) lies outside the FS region of the ROM information record (%s): ",
                                     k, r.Text().c_str(), fs.Text().c_str()) + after);
}

// What no flash can hold, told once per info record (the images split from
// one section share theirs).
void FsRecordLayout(const FsRecord& f, std::vector<DownloadBlocker>* out) {
  const auto add = [&](const std::string& text) {
    out->push_back({PackagePart::kFsLayout, Reason("section %d (FS): info record: ", f.image->section) + text});
  };
  const uint32_t block = f.geometry.blockMainBytes;
  const auto regions = Regions(f.View());
  for (const auto& [k, r] : regions) {
    if (r.start % block) add(Reason("region %u (%s) does not start on a block (0x%X bytes)", k, r.Text().c_str(), block));
    if (r.end() > kAddressSpace) add(Reason("region %u (%s) runs past the 4 GiB a flash address reaches", k, r.Text().c_str()));
  }
  for (std::size_t i = 0; i < regions.size(); ++i)
    for (std::size_t j = i + 1; j < regions.size(); ++j)
      if (regions[i].second.Overlaps(regions[j].second))
        add(Reason("region %u (%s) overlaps region %u (%s)", regions[i].first, regions[i].second.Text().c_str(),
                   regions[j].first, regions[j].second.Text().c_str()));
  const Range area = f.Area();
  if (area.end() > kAddressSpace) add(Reason("the info area (%s) runs past 4 GiB", area.Text().c_str()));
  for (const auto& [k, r] : regions)
    if (area.Overlaps(r))
      add(Reason("the info area (%s), where the reserved blocks lie, overlaps region %u (%s)", area.Text().c_str(), k,
                 r.Text().c_str()));
}

// The writer puts data block i where entry word i names; a block that lies
// in none of the record's regions is where the record says no FS data is.
void DataBlocks(const FsRecord& f, std::vector<DownloadBlocker>* out) {
  const FsHeaderView h(f.image->bytes.data());
  const auto regions = Regions(f.View());
  const uint64_t words = (f.image->bytes.size() - kFsHeaderFixedBytes) / kFsEntryBytes;
  for (uint32_t i = 0; i < h.DataBlockCount() && i < words; ++i) {
    const uint32_t number = FsEntryBlock(GetLe32(f.image->bytes.data() + kFsHeaderFixedBytes + kFsEntryBytes * i));
    const Range b{uint64_t{number} * f.geometry.blockMainBytes, f.geometry.blockMainBytes};
    bool held = false;
    for (const auto& entry : regions) held = held || b.Inside(entry.second);
    if (held) continue;
    out->push_back({PackagePart::kFsLayout,
                    Reason("%s: data block %u goes to flash block %u (%s), which lies in no region of its info record",
                           f.Name().c_str(), i, number, b.Text().c_str())});
    return;
  }
}

void FsLayouts(const std::vector<FsRecord>& written, const ImageDesc& rom, std::vector<DownloadBlocker>* out) {
  RomInfoRecord record{};
  const bool rom_ok = ParseRomInfo(rom, record.data()) == 0 && RomInfoView(record).RegionCount() >= 2;
  const Range fs{RomInfoView(record).RegionStart(1), RomInfoView(record).RegionLength(1)};
  std::set<int32_t> told;
  for (const FsRecord& f : written) {
    if (told.insert(f.image->section).second) {
      FsRecordLayout(f, out);
      if (rom_ok && fs.length && f.Area().length && !f.Area().Inside(fs))
        out->push_back({PackagePart::kFsLayout,
                        Reason("section %d (FS): info record: the info area (%s) lies outside the FS region of the "
                               "ROM information record (%s)",
                               f.image->section, f.Area().Text().c_str(), fs.Text().c_str())});
    }
    DataBlocks(f, out);
  }
}

}  // namespace

std::vector<DownloadBlocker> DownloadBlockers(const ImageStore& store) {
  ImageDesc boot, ext, rom, rom2, fs[kFsSlotCount] = {};
  DistributeImages(store, {&boot, &ext, &rom, &rom2, fs});
  bool any_fs = false;
  for (const ImageDesc& d : fs) any_fs = any_fs || !d.empty();
  const std::vector<FsRecord> written = WrittenFsImages(store);
  std::vector<DownloadBlocker> out;
  BootloaderInfo(boot, &out);
  RomInfo(rom, any_fs, written, &out);
  FsLayouts(written, rom, &out);
  return out;
}

}  // namespace vantrel::pkg
