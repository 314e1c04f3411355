// JSON description → package file plus the images a loader must find in it.
// Every offset and size of the file's layout is the loader's own
// (images/package_format.h); the builder only decides where sections go and
// what they hold.
#include "tools/pkg/builder.h"

#include <algorithm>
#include <fstream>
#include <iterator>

#include "images/package_format.h"
#include "link/byte_order.h"
#include "tools/pkg/content.h"
#include "tools/pkg/description.h"
#include "tools/pkg/sample.h"

namespace vantrel::pkg {
namespace {

using nlohmann::json;

// The package file under construction: sections are appended block by block.
class Assembler {
 public:
  Assembler(const Geometry& g, uint32_t seed) : g_(g), spare_(seed ^ 0xA5A5A5A5u) {}

  void Reserve(uint64_t blocks) { file_.resize(blocks * g_.blockBytes, 0); }
  uint32_t NextBlock() const { return static_cast<uint32_t>(file_.size() / g_.blockBytes); }
  std::vector<uint8_t>& Bytes() { return file_; }

  // Main data laid into pages; spare bytes get noise so a reader that does
  // not skip them notices.
  uint32_t AddMain(const vantrel::pkg::Bytes& main, uint32_t min_blocks = 1) {
    const uint32_t start = NextBlock();
    const uint64_t blocks =
        std::max<uint64_t>(min_blocks, (main.size() + g_.blockMainBytes - 1) / g_.blockMainBytes);
    const uint64_t pages = blocks * g_.pages;
    for (uint64_t p = 0; p < pages; ++p) {
      const uint64_t from = p * g_.pageSize;
      for (uint32_t i = 0; i < g_.pageSize; ++i)
        file_.push_back(from + i < main.size() ? main[from + i] : 0xFF);
      for (uint32_t i = 0; i < g_.spareSize; ++i) file_.push_back(spare_.Byte());
    }
    return start;
  }
  uint32_t AddRaw(const vantrel::pkg::Bytes& raw) {
    const uint32_t start = NextBlock();
    file_.insert(file_.end(), raw.begin(), raw.end());
    file_.resize(uint64_t{NextBlock() + (file_.size() % g_.blockBytes ? 1 : 0)} * g_.blockBytes, 0xFF);
    return start;
  }
  // Overwrites main data of the section that starts at `block`, from its
  // main-data byte `main_offset` on; the spare bytes stay as they are.
  void PutMain(uint32_t block, uint64_t main_offset, const vantrel::pkg::Bytes& main) {
    const NandGeometry nand = g_.Nand();
    const uint64_t pos = uint64_t{block} * g_.blockBytes;
    for (uint64_t i = 0; i < main.size(); ++i) file_[pos + RawOffset(nand, main_offset + i)] = main[i];
  }

 private:
  Geometry g_;
  Rng spare_;
  std::vector<uint8_t> file_;
};

struct ParsedSection {
  json desc;
  std::string where;
  uint8_t type = 0;
  FsSpec fs;          // FS section with generated content
  bool fsFromFile = false;
};

bool TakesListEntry(uint8_t type) {
  return type == kImageRom || type == kImageRom2 || type == kImageListed;
}

FsSpec ParseFs(const json& j, const Geometry& g, uint32_t fs_start, uint32_t* cursor, uint32_t seed,
               const std::string& where) {
  FsSpec s;
  s.verbatim = j.value("verbatim", false);
  s.tagModulus = U32(j, "tagModulus", 4, where);
  if (s.tagModulus == 0) throw BuildError(where + ".tagModulus: must not be 0");
  s.reservedCount = U32(j, "reservedCount", 16, where);
  s.seed = U32(j, "seed", seed, where);
  s.packagedHeaderBlocks = U32(j, "headerBlocks", 1, where);
  if (j.contains("counters")) {
    const json& c = j["counters"];
    if (!c.is_array() || c.size() > kTagCount) throw BuildError(where + ".counters: up to 8 numbers");
    for (std::size_t k = 0; k < c.size(); ++k)
      s.counters[k] = static_cast<uint16_t>(ToNumber(c[k], where + ".counters"));
  }
  if (j.contains("version")) {
    const json& v = j["version"];
    if (!v.is_array() || v.size() != kInfoVersionBytes) throw BuildError(where + ".version: three numbers");
    for (uint32_t k = 0; k < kInfoVersionBytes; ++k)
      s.version[k] = static_cast<uint8_t>(ToNumber(v[k], where + ".version"));
  }
  const json regions = j.value("regions", json::array({json{{"blocks", 6}}}));
  if (!regions.is_array() || regions.empty() || regions.size() > kInfoMaxRegions)
    throw BuildError(where + ".regions: 1 to 8 regions");
  if (s.verbatim && regions.size() != 1) throw BuildError(where + ": a verbatim FS image has one region");
  uint32_t next = *cursor;
  for (std::size_t r = 0; r < regions.size(); ++r) {
    const std::string rw = where + ".regions[" + std::to_string(r) + "]";
    FsRegionSpec reg;
    reg.start = U32(regions[r], "start", next, rw);
    reg.blocks = U32(regions[r], "blocks", 6, rw);
    if (reg.start % g.blockMainBytes) throw BuildError(rw + ".start: not block aligned");
    if (reg.blocks == 0) throw BuildError(rw + ".blocks: at least one data block");
    if (r > 0 && reg.start < s.regions.back().start + uint64_t{s.regions.back().blocks} * g.blockMainBytes)
      throw BuildError(rw + ".start: overlaps the region before it");
    s.regions.push_back(reg);
    next = static_cast<uint32_t>(reg.start + uint64_t{reg.blocks} * g.blockMainBytes);
  }
  s.infoAreaStart = U32(j, "infoAreaStart", next, where);
  s.infoAreaLength = U32(j, "infoAreaLength", s.reservedCount * g.blockMainBytes, where);
  // The remap table needs one u16 entry per block from the FS start to the
  // end of the last region; the tag counters follow it, in 16-byte steps.
  const uint64_t span_blocks = next > fs_start ? (next - fs_start) / g.blockMainBytes : 0;
  const uint64_t counters_end = (2 * span_blocks + kTagCountersBytes + 15) / 16 * 16;
  s.countersEnd = U32(j, "countersEnd", static_cast<uint32_t>(counters_end), where);
  *cursor = std::max<uint32_t>(next, static_cast<uint32_t>(
                                         std::min<uint64_t>(UINT32_MAX, uint64_t{s.infoAreaStart} + s.infoAreaLength)));
  return s;
}

// First pass over the sections: their types, and the FS layout, which the
// ROM's region table describes. *fs_end is where the last FS data ends.
std::vector<ParsedSection> ParseSections(const json& sections, const Geometry& g, uint32_t fs_start,
                                         uint32_t seed, uint32_t* fs_end) {
  if (!sections.is_array()) throw BuildError("sections: expected an array");
  std::vector<ParsedSection> parsed;
  *fs_end = fs_start;
  for (std::size_t i = 0; i < sections.size(); ++i) {
    ParsedSection p;
    p.desc = sections[i];
    p.where = "sections[" + std::to_string(i) + "]";
    const uint64_t type = ToNumber(p.desc.value("type", json()), p.where + ".type");
    if (type > 255) throw BuildError(p.where + ".type: 0 to 255");
    p.type = static_cast<uint8_t>(type);
    if (p.type == kImageFs) {
      p.fsFromFile = p.desc.contains("file");
      if (!p.fsFromFile)
        p.fs = ParseFs(p.desc.value("fs", json::object()), g, fs_start, fs_end,
                       seed + 100 + static_cast<uint32_t>(i), p.where + ".fs");
    }
    parsed.push_back(std::move(p));
  }
  return parsed;
}

Bytes BootloaderFrom(const json& bl, const std::filesystem::path& base, uint32_t seed) {
  Bytes boot;
  if (FromFile(bl, base, "bootloader", &boot)) return boot;
  BootloaderSpec b;
  b.size = U32(bl, "size", kDefaultBootloaderBytes, "bootloader");
  b.infoVersion = static_cast<int>(U32(bl, "infoVersion", 3, "bootloader"));
  b.infoLength = U32(bl, "infoLength", 0, "bootloader");
  b.value88 = U32(bl, "value88", b.value88, "bootloader");
  b.seed92 = U32(bl, "seed92", b.seed92, "bootloader");
  b.value96 = U32(bl, "value96", b.value96, "bootloader");
  b.seed = U32(bl, "seed", seed, "bootloader");
  return MakeBootloader(b);
}

// Section 0's main data: the length word, the bootloader, and the trailer
// that carries the extended bootloader's length.
Bytes BootRegion(const Bytes& boot, const Bytes& ext) {
  Bytes region(kBootRegionImage + boot.size() + kBootRegionTrailerBytes, 0);
  for (uint32_t i = 0; i < kBootRegionLengthWord; ++i) region[i] = static_cast<uint8_t>(0xB0 + i);  // unread
  PutLe32(&region[kBootRegionLengthWord], static_cast<uint32_t>(boot.size() + kBootRegionTrailerBytes));
  std::copy(boot.begin(), boot.end(), region.begin() + kBootRegionImage);
  PutLe32(&region[kBootRegionImage + boot.size() + kBootTrailerExtLength], static_cast<uint32_t>(ext.size()));
  return region;
}

// The ROM information record that a generated ROM image of `section` holds.
RomSpec RomSpecFrom(const json& info, uint32_t size, uint32_t seed, const std::string& section,
                    uint32_t fs_start, uint32_t fs_length) {
  const std::string where = section + ".romInfo";
  RomSpec r;
  r.size = size;
  r.seed = seed;
  r.recordOffset = U32(info, "offset", 0x200, where);
  r.version = static_cast<int>(U32(info, "version", 6, where));
  r.identifier = info.value("identifier", r.identifier);
  if (!info.contains("regions")) {
    r.regions = {{0, fs_start}, {fs_start, fs_length}};
    return r;
  }
  for (const json& reg : info["regions"]) {
    if (!reg.is_array() || reg.size() != 2) throw BuildError(where + ".regions: [start, length] pairs");
    r.regions.push_back({static_cast<uint32_t>(ToNumber(reg[0], section)),
                         static_cast<uint32_t>(ToNumber(reg[1], section))});
  }
  return r;
}

// Writes one description into one package, step by step in file order.
class PackageWriter {
 public:
  PackageWriter(const json& description, const std::filesystem::path& base, BuiltPackage* out)
      : d_(description), base_(base), out_(*out), g_(out->geometry),
        seed_(U32(description, "seed", 1, "package")),
        fsStart_(U32(description, "fsRegionStart", kSampleFsStart, "package")),
        file_(g_, seed_) {}

  void Build() {
    CheckImageSizes(d_, base_, fsStart_, g_.blockMainBytes);
    uint32_t fs_end = fsStart_;
    std::vector<ParsedSection> parsed =
        ParseSections(d_.value("sections", json::array()), g_, fsStart_, seed_, &fs_end);
    out_.fsRegionStart = fsStart_;
    out_.fsRegionLength = std::max<uint32_t>(fs_end - fsStart_, g_.blockMainBytes);
    // The table: three fixed records, the sections, the terminator.
    file_.Reserve((SectionTableBytes(parsed.size() + 3) + g_.blockBytes - 1) / g_.blockBytes);
    AddFixedSections();
    for (std::size_t i = 0; i < parsed.size(); ++i) {
      ParsedSection& p = parsed[i];
      if (TakesListEntry(p.type))
        AddListedSection(p, static_cast<uint32_t>(i));
      else if (p.type == kImageFs)
        AddFsSection(p);
      else
        Place(p.type, file_.AddMain(Bytes(), U32(p.desc, "blocks", 1, p.where)));
    }
    file_.PutMain(listBlock_, ImageListMainOffset(g_.pageSize), list_);
    WriteTable();
    out_.bytes = std::move(file_.Bytes());
  }

 private:
  // Records the section that runs from block `start` to the end of the file.
  void Place(uint8_t type, uint32_t start) {
    out_.sections.push_back({type, start, file_.NextBlock() - start, uint64_t{start} * g_.blockBytes, 0, 0});
  }

  // Bootloader region, extended bootloader and the image list's block, whose
  // list is written once the listed images are known.
  void AddFixedSections() {
    const Bytes boot = BootloaderFrom(d_.value("bootloader", json::object()), base_, seed_ + 1);
    Bytes ext;
    const json eb = d_.value("extBootloader", json::object());
    if (!FromFile(eb, base_, "extBootloader", &ext))
      ext = RandomBytes(U32(eb, "size", kDefaultExtBootloaderBytes, "extBootloader"),
                        U32(eb, "seed", seed_ + 2, "extBootloader"));
    const Bytes region = BootRegion(boot, ext);
    const json types = d_.value("recordTypes", json::array({0, 1, 2}));
    if (!types.is_array() || types.size() != 3) throw BuildError("recordTypes: three numbers");
    auto type = [&](int k) { return static_cast<uint8_t>(ToNumber(types[k], "recordTypes")); };
    Place(type(0), file_.AddMain(region));
    Place(type(1), file_.AddMain(ext));
    listBlock_ = file_.AddMain(Bytes(g_.blockMainBytes, 0));
    Place(type(2), listBlock_);
    out_.imageListPos = uint64_t{listBlock_} * g_.blockBytes;
    out_.store.push_back({kImageBootloader, boot});
    out_.store.push_back({kImageExtBootloader, ext});
    out_.bootloader = boot;
    out_.extBootloader = ext;
  }

  Bytes ListedImage(const ParsedSection& p, uint32_t index) {
    const json& d = p.desc;
    Bytes image;
    if (FromFile(d, base_, p.where, &image)) return image;
    const uint32_t size = U32(d, "size", DefaultListedImageBytes(p.type), p.where);
    const uint32_t image_seed = U32(d, "seed", seed_ + 10 + index, p.where);
    const json info = d.value("romInfo", p.type == kImageRom ? json::object() : json());
    if (!info.is_object()) return RandomBytes(size, image_seed);
    const RomSpec r = RomSpecFrom(info, size, image_seed, p.where, fsStart_, out_.fsRegionLength);
    if (p.type == kImageRom) out_.romInfoOffset = r.recordOffset;
    return MakeRom(r);
  }

  void AddListedSection(const ParsedSection& p, uint32_t index) {
    const Bytes image = ListedImage(p, index);
    ++listed_;
    if (listed_ <= kMaxListedImages) {  // more have no entry: the loader refuses such a package
      uint8_t* entry = &list_[ImageListEntryOffset(listed_)];
      PutLe32(entry + kListEntryAddress, U32(p.desc, "address", 0, p.where));
      const uint32_t length = U32(p.desc, "entryLength", static_cast<uint32_t>(image.size()), p.where);
      PutLe32(entry + kListEntryLength, length);
    }
    Place(p.type, file_.AddMain(image));
    out_.store.push_back({p.type, image});
    if (p.type == kImageRom) out_.rom = image;
    if (p.type == kImageRom2) out_.rom2 = image;
  }

  // The raw section, and in `images` the FS images the loader makes of it.
  Bytes FsSectionBytes(const ParsedSection& p, std::vector<Bytes>* images) const {
    if (p.fsFromFile) {
      Bytes raw = ReadWholeFile(base_ / p.desc["file"].get<std::string>(), p.where + ".file");
      raw.resize((raw.size() + g_.blockBytes - 1) / g_.blockBytes * g_.blockBytes, 0xFF);
      images->push_back(raw);
      return raw;
    }
    if (!p.fs.verbatim) return MakeMultiRegionSection(g_, p.fs, images);
    std::vector<Bytes> data;
    for (uint32_t b = 0; b < p.fs.regions[0].blocks; ++b) data.push_back(MakeDataBlock(g_, p.fs.seed, b));
    images->push_back(MakeFsImage(g_, p.fs, MakeInfoBlock(g_, p.fs), data, 0));
    return images->back();
  }

  void AddFsSection(const ParsedSection& p) {
    std::vector<Bytes> images;
    const Bytes raw = FsSectionBytes(p, &images);
    Place(kImageFs, file_.AddRaw(raw));
    if (!p.fsFromFile) {
      PlacedSection& s = out_.sections.back();
      const uint64_t info_block =
          p.fs.verbatim ? FsHeaderView(raw.data()).HeaderBlocks() : p.fs.packagedHeaderBlocks;
      s.infoRecordPos = s.filePos + info_block * g_.blockBytes + InfoRecordRawOffset(g_);
      s.regions = static_cast<uint32_t>(p.fs.regions.size());
    }
    for (Bytes& im : images) {
      out_.fsImages.push_back(im);
      out_.store.push_back({kImageFs, std::move(im)});
    }
  }

  void WriteTable() {
    uint8_t* bytes = file_.Bytes().data();
    PutLe16(bytes + kPackagePageSize, static_cast<uint16_t>(g_.pageSize));
    PutLe16(bytes + kPackageBlockKiB, static_cast<uint16_t>(g_.blockKiB));
    for (std::size_t i = 0; i < out_.sections.size(); ++i) {
      const PlacedSection& s = out_.sections[i];
      uint8_t* r = bytes + SectionRecordOffset(i);
      PutLe32(r + kSectionStartBlock, s.startBlock);
      PutLe32(r + kSectionBlockCount, s.blockCount);
      r[kSectionType] = s.type;
    }
    std::fill_n(bytes + SectionRecordOffset(out_.sections.size()), kSectionRecordBytes, kSectionTableEnd);
  }

  const json& d_;
  const std::filesystem::path& base_;
  BuiltPackage& out_;
  const Geometry g_;
  const uint32_t seed_;
  const uint32_t fsStart_;
  Assembler file_;
  Bytes list_ = Bytes(kImageListBytes, 0);
  uint32_t listBlock_ = 0;
  uint32_t listed_ = 0;
};

}  // namespace

Geometry Geometry::Make(uint32_t page_size, uint32_t block_kib) {
  // What the loader accepts (CheckNandGeometry), with whole pages in a block,
  // which the builder lays out page by page.
  const bool in_header = page_size <= UINT16_MAX && block_kib <= UINT16_MAX;
  const NandGeometry n =
      in_header ? MakeNandGeometry({static_cast<uint16_t>(page_size), static_cast<uint16_t>(block_kib)})
                : NandGeometry{};
  if (!in_header || !CheckNandGeometry(n, nullptr) || n.blockMainBytes % n.pageSize != 0)
    throw BuildError("geometry: " + std::to_string(page_size) + "-byte pages in " +
                     std::to_string(block_kib) + " KiB blocks is not a package geometry");
  Geometry g;
  g.pageSize = n.pageSize;
  g.spareSize = n.spareSize;
  g.blockKiB = block_kib;
  g.blockMainBytes = n.blockMainBytes;
  g.pages = n.pages();
  g.blockBytes = static_cast<uint32_t>(n.blockBytes);
  return g;
}

NandGeometry Geometry::Nand() const {
  return MakeNandGeometry({static_cast<uint16_t>(pageSize), static_cast<uint16_t>(blockKiB)});
}

BuiltPackage BuildPackage(const json& description, const std::filesystem::path& base) {
  if (!description.is_object()) throw BuildError("description: expected a JSON object");
  CheckKeys(description);
  if (description.contains("sample")) return BuildSamplePackage(SampleOptionsFromJson(description["sample"]));
  BuiltPackage out;
  out.geometry = Geometry::Make(U32(description, "pageSize", 2048, "package"),
                                U32(description, "blockKiB", 128, "package"));
  PackageWriter(description, base, &out).Build();
  return out;
}

BuiltPackage BuildPackageFromFile(const std::filesystem::path& json_path) {
  const std::string name = "description " + json_path.string();
  std::ifstream in(json_path);
  if (!in) throw BuildError(name + ": cannot read it");
  json description;
  try {
    description = json::parse(in, nullptr, true, /*ignore_comments=*/true);
  } catch (const json::exception& e) {
    // The parser's text starts with its own error id ("[json.exception...]
    // parse error at "), which says nothing to whoever wrote the file.
    std::string what = e.what();
    if (const std::size_t id = what.find("] "); what.rfind("[json.", 0) == 0 && id != std::string::npos)
      what.erase(0, id + 2);
    const std::string at = "parse error at ";
    if (what.rfind(at, 0) == 0) what.erase(0, at.size());
    throw BuildError(name + ": not JSON: " + what);
  }
  BuiltPackage out = BuildPackage(description, json_path.parent_path());
  out.inputs = DescribedFiles(description, json_path.parent_path());
  out.inputs.insert(out.inputs.begin(), {json_path, "the description"});
  return out;
}

void WriteFile(const std::filesystem::path& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  if (!out.flush()) throw BuildError("cannot write " + path.string());
}

}  // namespace vantrel::pkg
