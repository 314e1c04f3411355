// `vantrel pkg info`: the loader's own steps, printed.
#include "tools/pkg/inspect.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>

#include "images/records.h"
#include "images/rom_info.h"
#include "link/byte_order.h"
#include "tools/pkg/blockers.h"
#include "tools/pkg/digest.h"

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
    default: return IsRefusedSectionType(type) ? "NOT ALLOWED here" : "skipped";
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
    uint8_t rec[kBloaderInfoRecordBytes] = {};
    const int code = ParseBloaderInfo(d, rec);
    if (code == 0)
      Print(out, "      information block: version %d, checksum seed 0x%08X\n",
            ParseDecimal(rec + kBloaderInfoMarkerLength, kBloaderInfoRecordBytes - kBloaderInfoMarkerLength),
            GetLe32(rec + kBloaderInfoChecksumSeed));
    else
      Print(out, "      information block: not usable (code %d)\n", code);
  } else if (r.type == kImageRom) {
    RomInfoRecord rec{};
    uint32_t offset = 0, size = 0;
    if (ParseRomInfo(d, rec.data()) != 0 || !FindRomInfoRecord(d, &offset, &size)) {
      Print(out, "      ROM information record: not found in the first 1 MiB\n");
      return;
    }
    Print(out, "      ROM information record at 0x%X (%u bytes), identifier %.8s\n", offset, size,
          reinterpret_cast<const char*>(rec.data() + kRomInfoIdentifierOffset));
    const RomInfoView v(rec);
    for (uint32_t k = 0; k < v.RegionCount() && k < kRomInfoMaxRegions; ++k)
      Print(out, "        region %u: 0x%08X + 0x%08X\n", k, v.RegionStart(k), v.RegionLength(k));
  }
}

void DescribeFs(const NandGeometry& g, const ImageRecord& r, std::ostream& out) {
  const FsHeaderView h(r.bytes.data());
  Print(out, "      %u header + 1 info + %u data blocks, %u reserved, tagModulus %u, countersEnd %u\n",
        h.HeaderBlocks(), h.DataBlockCount(), h.ReservedCount(), h.TagModulus(), h.CountersEnd());
  uint64_t rec = 0;
  if (!FindInfoRecordRaw(g, r.bytes, h.HeaderBlocks() * g.blockBytes, &rec)) {
    Print(out, "      no info record\n");
    return;
  }
  const FsInfoRecordView v(&r.bytes[rec]);
  const uint8_t* version = v.Version();
  Print(out, "      info record version %u.%u.%u, info area 0x%08X + 0x%08X\n", version[0], version[1],
        version[2], v.AreaStart(), v.AreaLength());
  for (uint32_t k = 0; k < kInfoMaxRegions && v.RegionLength(k); ++k)
    Print(out, "        region %u: 0x%08X + 0x%08X\n", k, v.RegionStart(k), v.RegionLength(k));
}

// The whole-image sums the download sends, worked out here on their own
// (the inspector shares no code with the download): the bootloader header
// carries each bootloader's little-endian 32-bit words XORed onto the seed of
// the bootloader's information block, the last partial word padded with
// zeros; the ROM write ends with the image's byte sum.
uint32_t SeededWordXor(const std::vector<uint8_t>& b, uint32_t seed) {
  for (std::size_t at = 0; at < b.size(); at += 4) {
    uint8_t word[4] = {0, 0, 0, 0};
    std::copy_n(b.begin() + static_cast<std::ptrdiff_t>(at), std::min<std::size_t>(4, b.size() - at), word);
    seed ^= GetLe32(word);
  }
  return seed;
}

void DescribeDownloadSum(const ImageRecord& r, const ImageDesc& boot, std::ostream& out) {
  uint8_t info[kBloaderInfoRecordBytes] = {};
  if ((r.type == kImageBootloader || r.type == kImageExtBootloader) && ParseBloaderInfo(boot, info) == 0) {
    Print(out, "      download sum: 0x%08X\n", SeededWordXor(r.bytes, GetLe32(info + kBloaderInfoChecksumSeed)));
  } else if (r.type == kImageRom || r.type == kImageRom2) {
    uint32_t sum = 0;
    for (uint8_t b : r.bytes) sum += b;
    Print(out, "      download sum: 0x%04X\n", sum & 0xFFFF);
  }
}

std::string Sha256(ByteSpan bytes) {
  const std::string hex = pkg::Sha256(bytes.data(), bytes.size());
  return hex.empty() ? "(no digest)" : hex;
}

// The parts a download needs that are usable, and apart those that are not,
// so that no broken part is counted as checked.
void DescribeStructure(const std::vector<DownloadBlocker>& blockers, std::ostream& out) {
  const auto bad = [&](PackagePart part) {
    return std::any_of(blockers.begin(), blockers.end(), [&](const DownloadBlocker& b) { return b.part == part; });
  };
  const struct {
    PackagePart part;
    const char* name;
  } parts[] = {{PackagePart::kBootloaderInfo, "bootloader information block"},
               {PackagePart::kRomInfo, "ROM information record"},
               {PackagePart::kFsLayout, "FS info records"}};
  std::string good = "section table, FS headers", broken;
  for (const auto& p : parts) (bad(p.part) ? broken : good) += std::string(", ") + p.name;
  Print(out, "  structure: %s as above\n", good.c_str());
  if (!broken.empty()) Print(out, "  WARNING: not usable for a download: %s (see PROBLEM above)\n", broken.c_str() + 2);
}

// What the format lets a tool check, and what it does not: the container
// carries no checksum, so damage inside an image's data shows only against
// a digest its publisher states.
void DescribeChecks(ByteSpan file, const PackageLayout& layout, const ImageStore& store, bool loaded,
                    const std::vector<DownloadBlocker>& blockers, std::ostream& out) {
  Print(out, "checks:\n");
  if (layout.tableRead) {
    uint64_t end = 0;
    for (const SectionRecord& s : layout.sections)
      end = std::max<uint64_t>(end, (uint64_t{s.startBlock} + s.blockCount) * layout.geometry.blockBytes);
    if (file.size() < end)
      Print(out, "  WARNING: the file ends %llu bytes before the end of the blocks its section table gives: it may "
                 "have been cut short (a load reads only the bytes it needs, so it can still pass)\n",
            static_cast<unsigned long long>(end - file.size()));
    else
      Print(out, "  length: the file holds every block its section table gives\n");
  }
  if (loaded) DescribeStructure(blockers, out);
  Print(out, "  content: the package carries no checksum of its own, so changed bytes inside an image's data "
             "cannot be told here: compare these SHA-256 digests with those its publisher states\n");
  Print(out, "  download sums: the download sends each image's sum (above) and one per FS block, computed from these "
             "bytes: the phone checks what it received against them, which catches damage on the way, not in "
             "this file\n");
  Print(out, "sha256: %s  file\n", Sha256(file).c_str());
  for (const ImageRecord& r : store)
    Print(out, "sha256: %s  %s (section %d%s)\n", Sha256(r.bytes).c_str(), ImageName(r.type), r.section,
          r.region >= 0 ? (", region " + std::to_string(r.region)).c_str() : "");
}

bool PowerOfTwo(uint32_t v) { return v && (v & (v - 1)) == 0; }

}  // namespace

bool LooksLikePackage(ByteSpan file) {
  if (file.size() < SectionRecordOffset(3)) return false;
  const uint32_t page = GetLe16(file.data() + kPackagePageSize), block_kib = GetLe16(file.data() + kPackageBlockKiB);
  return PowerOfTwo(page) && page >= 256 && PowerOfTwo(block_kib) && uint64_t{block_kib} * 1024 >= page;
}

bool DescribePackage(ByteSpan file, std::ostream& out, std::string* reason) {
  ImageStore store;
  PackageLayout layout;
  std::string why;
  const bool ok = BuildImageStore(file, &store, &why, &layout);
  std::vector<DownloadBlocker> blockers;
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
      if (placed) DescribeDownloadSum(r, boot, out);
    }
    blockers = DownloadBlockers(store);
    if (blockers.empty()) Print(out, "limits: all passed\n");
    else Print(out, "limits: the loader's limits passed, but a download of this package would go wrong:\n");
    for (const DownloadBlocker& b : blockers) out << "  PROBLEM: " << b.text << "\n";
  } else {
    Print(out, "limits: FAILED: %s\n", why.c_str());
  }
  DescribeChecks(file, layout, store, ok, blockers, out);
  if (ok && !blockers.empty()) why = blockers.front().text;
  if (reason) *reason = why;
  return ok && blockers.empty();
}

}  // namespace vantrel::pkg
