// The load as a whole: the store built from the file, the outputs filled
// from it, and the process-wide store that owns the images afterwards.
#include "images/package.h"

#include <algorithm>
#include <mutex>

#include "images/package_file.h"
#include "link/byte_order.h"
#include "platform/text.h"

namespace vantrel {
namespace {

std::mutex g_mutex;  // guards the two below
ImageStore g_store;
std::string g_last_error;

// Where section i ends for an image whose length comes from elsewhere: the
// next section that starts after it, or the end of the file. `starts` is the
// sorted list of every section's start position.
uint64_t SectionEnd(const std::vector<uint64_t>& starts, uint64_t start, uint64_t file_size) {
  auto next = std::upper_bound(starts.begin(), starts.end(), start);
  return next == starts.end() ? file_size : std::min(*next, file_size);
}

bool PointsInto(const ImageStore& store, const ImageDesc& d) {
  return d.data && std::any_of(store.begin(), store.end(), [&](const ImageRecord& r) {
           return !r.bytes.empty() && d.data >= r.bytes.data() &&
                  d.data < r.bytes.data() + r.bytes.size();
         });
}

}  // namespace

bool BuildImageStore(ByteSpan file, ImageStore* store, std::string* why, PackageLayout* layout,
                     const ReleaseCopied& release) {
  PackageLayout local;
  PackageLayout& lay = layout ? *layout : local;
  lay = PackageLayout{};
  store->clear();
  if (!ReadSectionTable(file, &lay.header, &lay.sections, why)) return false;
  lay.tableRead = true;
  const NandGeometry g = lay.geometry = MakeNandGeometry(lay.header);
  if (!CheckNandGeometry(g, why)) return false;
  const std::vector<SectionRecord>& recs = lay.sections;
  if (recs.size() < 3)
    return Fail(why, "section table has %zu records; the first three are required", recs.size());

  store->push_back({kImageBootloader, {}, 0, -1});
  store->push_back({kImageExtBootloader, {}, 1, -1});
  if (!ExtractBootImages(g, recs[0], recs[1], file, store, why, release)) return false;
  uint8_t list[kImageListBytes];
  if (!ReadImageList(g, recs[2], file, list, why)) return false;

  std::vector<uint64_t> starts;
  starts.reserve(recs.size());
  for (const SectionRecord& r : recs) starts.push_back(r.startBlock * g.blockBytes);
  std::sort(starts.begin(), starts.end());

  uint32_t listed = 1;
  for (std::size_t i = 3; i < recs.size(); ++i) {
    const SectionRecord& r = recs[i];
    const int32_t index = static_cast<int32_t>(i);
    switch (r.type) {
      case kImageRom:
      case kImageRom2:
      case kImageListed:
        if (listed > kMaxListedImages)
          return Fail(why, "section %d (type %u): more than %u listed images", index, r.type,
                      kMaxListedImages);
        if (!AddListedImage(g, r, index, list + ImageListEntryOffset(listed),
                            SectionEnd(starts, r.startBlock * g.blockBytes, file.size()), file, store,
                            why, release))
          return false;
        ++listed;
        break;
      case kImageFs:
        if (!AddFsSection(g, r, index, file, store, why, release)) return false;
        break;
      default:
        if (IsRefusedSectionType(r.type))
          return Fail(why, "section %d: type %u is not allowed after the first three records", index,
                      r.type);
        break;
    }
  }
  for (const ImageRecord& r : *store)
    if (r.bytes.size() > UINT32_MAX)
      return Fail(why, "section %d: image of %zu bytes is too long for a descriptor", r.section,
                  r.bytes.size());
  return true;
}

void DistributeImages(const ImageStore& store, const LoadOutputs& out) {
  uint32_t slot = 0;
  for (const ImageRecord& r : store) {
    ImageDesc d{r.bytes.data(), static_cast<uint32_t>(r.bytes.size()), 0};
    switch (r.type) {
      case kImageBootloader: *out.bootloader = d; break;
      case kImageExtBootloader: *out.extBootloader = d; break;
      case kImageRom: *out.rom = d; break;
      case kImageRom2:
        d.address = 0x4000;
        *out.rom2 = d;
        break;
      case kImageFs:
        // The store never holds more FS images than there are slots.
        if (slot < kFsSlotCount) {
          d.address = kFsImageAddresses[slot];
          out.fsSlots[slot++] = d;
        }
        break;
      default: break;  // type 8 stays in the store only
    }
  }
}

bool LoadFirmwarePackageFromBytes(ByteSpan file, ImageDesc* bootloader, ImageDesc* ext_bootloader,
                                  ImageDesc* rom, ImageDesc* rom2, ImageDesc fs_slots[4],
                                  std::string* reason, const ReleaseCopied& release) {
  // Built aside and swapped in only on success: a failed load leaves the
  // previous images, and the outputs that point at them, as they were.
  ImageStore fresh;
  std::string why;
  const bool ok = BuildImageStore(file, &fresh, &why, nullptr, release);
  std::lock_guard<std::mutex> lock(g_mutex);
  if (!ok) {
    g_last_error = why;
    if (reason) *reason = why;
    return false;
  }
  // An output this load does not set again (no second ROM image, fewer FS
  // images) must not keep pointing into the store that is about to go.
  ImageDesc* outs[] = {bootloader, ext_bootloader, rom, rom2,
                       &fs_slots[0], &fs_slots[1], &fs_slots[2], &fs_slots[3]};
  for (ImageDesc* d : outs)
    if (PointsInto(g_store, *d)) *d = ImageDesc{};
  g_store.swap(fresh);
  DistributeImages(g_store, {bootloader, ext_bootloader, rom, rom2, fs_slots});
  g_last_error.clear();
  if (reason) reason->clear();
  return true;
}

bool LoadFirmwarePackage(const std::string& path, ImageDesc* bootloader, ImageDesc* ext_bootloader,
                         ImageDesc* rom, ImageDesc* rom2, ImageDesc fs_slots[4],
                         std::string* reason) {
  platform::UseUserLocale();
  PackageFile file;
  std::string why;
  if (!file.Open(path, &why)) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_last_error = why;
    if (reason) *reason = why;
    return false;
  }
  return LoadFirmwarePackageFromBytes(file.bytes(), bootloader, ext_bootloader, rom, rom2, fs_slots,
                                      reason, [&file](uint64_t pos, uint64_t length) {
                                        file.Release(pos, length);
                                      });
}

std::string LastPackageError() {
  std::lock_guard<std::mutex> lock(g_mutex);
  return g_last_error;
}

const ImageStore& PackageImageStore() { return g_store; }

bool LoadFirmwarePackage(const std::string& path, FirmwareBundle* out, std::string* reason) {
  if (!LoadFirmwarePackage(path, &out->bootloader, &out->extBootloader, &out->rom, &out->rom2,
                           out->fs.data(), reason))
    return false;
  out->fsCount = kFsSlotCount;
  return true;
}

}  // namespace vantrel
