// `vantrel pkg info`: the loader's own steps, printed.
#include "tools/pkg/inspect.h"

#include <cstdarg>
#include <cstdio>

#include "images/records.h"
#include "link/byte_order.h"

namespace vantrel::pkg {
namespace {

void Print(std::ostream& out, const char* format, ...) __attribute__((format(printf, 2, 3)));
void Print(std::ostream& out, const char* format, ...) {
  char buf[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(buf, sizeof buf, format, args);
  va_end(args);
  out << buf;
}

const char* SectionRole(std::size_t index, uint8_t type) {
  if (index == 0) return "bootloader region";
  if (index == 1) return "extended bootloader";
  if (index == 2) return "image list";
  switch (type) {
    case kImageRom: return "ROM image";
    case kImageRom2: return "secondary ROM image";
    case kImageListed: return "listed image";
    case kImageFs: return "FS section";
    case 0: case 1: case 2: case 3: case 6: case 7: return "NOT ALLOWED here";
    default: return "skipped";
  }
}

const char* ImageName(int32_t type) {
  switch (type) {
    case kImageBootloader: return "bootloader";
    case kImageExtBootloader: return "extended bootloader";
    case kImageRom: return "ROM image";
    case kImageRom2: return "secondary ROM image";
    case kImageListed: return "listed image";
    default: return "FS image";
  }
}

void DescribeRecords(const ImageRecord& r, std::ostream& out) {
  const ImageDesc d{r.bytes.data(), static_cast<uint32_t>(r.bytes.size()), 0};
  if (r.type == kImageBootloader) {
    uint8_t rec[136] = {};
    const int code = ParseBloaderInfo(d, rec);
    if (code == 0)
      Print(out, "      information block: version %d, checksum seed 0x%08X\n",
            ParseDecimal(rec + 18, 118), GetLe32(rec + 92));
    else
      Print(out, "      information block: not usable (code %d)\n", code);
  } else if (r.type == kImageRom) {
    uint8_t rec[352] = {};
    uint32_t offset = 0, size = 0;
    if (ParseRomInfo(d, rec) != 0 || !FindRomInfoRecord(d, &offset, &size)) {
      Print(out, "      ROM information record: not found in the first 1 MiB\n");
      return;
    }
    Print(out, "      ROM information record at 0x%X (%u bytes), identifier %.8s\n", offset, size,
          reinterpret_cast<const char*>(rec + 332));
    const uint32_t count = GetLe16(rec + 210);
    for (uint32_t k = 0; k < count && k < 8; ++k)
      Print(out, "        region %u: 0x%08X + 0x%08X\n", k, GetLe32(rec + 220 + 16 * k),
            GetLe32(rec + 224 + 16 * k));
  }
}

void DescribeFs(const NandGeometry& g, const ImageRecord& r, std::ostream& out) {
  const uint8_t* h = r.bytes.data();
  const uint32_t header_blocks = GetLe32(h + kFsHeaderBlocks);
  Print(out, "      %u header + 1 info + %u data blocks, %u reserved, tagModulus %u, countersEnd %u\n",
        header_blocks, GetLe32(h + kFsDataBlockCount), GetLe32(h + kFsReservedCount),
        GetLe32(h + kFsTagModulus), GetLe32(h + kFsCountersEnd));
  uint64_t rec = 0;
  if (!FindInfoRecordRaw(g, r.bytes, header_blocks * g.blockBytes, &rec)) {
    Print(out, "      no info record\n");
    return;
  }
  const uint8_t* p = h + rec;
  Print(out, "      info record version %u.%u.%u, info area 0x%08X + 0x%08X\n", p[kInfoVersion],
        p[kInfoVersion + 1], p[kInfoVersion + 2], GetLe32(p + kInfoAreaStart),
        GetLe32(p + kInfoAreaLength));
  for (uint32_t k = 0; k < kInfoMaxRegions && GetLe32(p + kInfoRegionLength + 8 * k); ++k)
    Print(out, "        region %u: 0x%08X + 0x%08X\n", k, GetLe32(p + kInfoRegionStart + 8 * k),
          GetLe32(p + kInfoRegionLength + 8 * k));
}

}  // namespace

bool DescribePackage(ByteSpan file, std::ostream& out, std::string* reason) {
  ImageStore store;
  PackageLayout layout;
  std::string why;
  const bool ok = BuildImageStore(file, &store, &why, &layout);
  Print(out, "file: %zu bytes\n", file.size());
  if (layout.tableRead) {
    const NandGeometry& g = layout.geometry;
    Print(out, "geometry: %u-byte pages + %u spare bytes, %u KiB blocks (%u pages, %llu file bytes per block)\n",
          g.pageSize, g.spareSize, g.blockMainBytes / 1024, g.pages(),
          static_cast<unsigned long long>(g.blockBytes));
    Print(out, "sections: %zu\n", layout.sections.size());
    for (std::size_t i = 0; i < layout.sections.size(); ++i) {
      const SectionRecord& s = layout.sections[i];
      Print(out, "  %3zu  type %3u  %-20s block %-8u count %-8u file offset 0x%llX\n", i, s.type,
            SectionRole(i, s.type), s.startBlock, s.blockCount,
            static_cast<unsigned long long>(s.startBlock * g.blockBytes));
    }
  }
  if (ok) {
    ImageDesc boot, ext, rom, rom2, fs[kFsSlotCount] = {};
    DistributeImages(store, {&boot, &ext, &rom, &rom2, fs});
    const ImageDesc* outputs[] = {&boot, &ext, &rom, &rom2, &fs[0], &fs[1], &fs[2], &fs[3]};
    Print(out, "images: %zu\n", store.size());
    for (const ImageRecord& r : store) {
      const ImageDesc* placed = nullptr;
      for (const ImageDesc* d : outputs)
        if (d->data == r.bytes.data()) placed = d;
      std::string where;
      if (!placed)
        where = r.type == kImageListed ? "kept in the store only"
                                       : "replaced by a later section of the same type";
      else if (r.type == kImageFs)
        where = Reason("FS slot %d, address word 0x%08X", static_cast<int>(placed - fs), placed->address);
      else
        where = Reason("handed on, address word 0x%08X", placed->address);
      Print(out, "  %-20s %10zu bytes  section %d%s  %s\n", ImageName(r.type), r.bytes.size(),
            r.section, r.region >= 0 ? (" region " + std::to_string(r.region)).c_str() : "",
            where.c_str());
      if (r.type == kImageFs)
        DescribeFs(layout.geometry, r, out);
      else
        DescribeRecords(r, out);
    }
    Print(out, "limits: all passed\n");
  } else {
    Print(out, "limits: FAILED: %s\n", why.c_str());
  }
  if (reason) *reason = why;
  return ok;
}

}  // namespace vantrel::pkg
