// The sample package, written as a description so that `vantrel pkg build`
// and the code take the same path.
#include "tools/pkg/sample.h"

namespace vantrel::pkg {

using nlohmann::json;

json SampleDescription(const SampleOptions& o) {
  if (o.fsImages == 0 || o.fsImages > kFsSlotCount) throw BuildError("sample: fsImages must be 1 to 4");
  if (o.dataBlocks == 0) throw BuildError("sample: dataBlocks must be at least 1");
  const uint32_t block = o.blockKiB * 1024;
  json counters = json::array();
  for (uint16_t c : o.counters) counters.push_back(c);

  json sections = json::array();
  sections.push_back(
      {{"type", kImageRom}, {"size", 256 * 1024}, {"romInfo", {{"offset", 0x200}, {"version", 6}}}});
  sections.push_back({{"type", kImageRom2}, {"size", 64 * 1024}, {"address", 0x4000}});
  if (o.extraSections) {
    sections.push_back({{"type", kImageListed}, {"size", 10000}});
    sections.push_back({{"type", kSectionSkipped}, {"blocks", 1}});
  }
  auto fs = [&](json regions) {
    return json{{"type", kImageFs},
                {"fs",
                 {{"verbatim", !o.multiRegion},
                  {"tagModulus", o.tagModulus},
                  {"reservedCount", o.reservedCount},
                  {"counters", counters},
                  {"regions", std::move(regions)}}}};
  };
  if (o.multiRegion) {
    // One section, one region per FS image, the regions back to back from
    // the FS start and the reserved pool (the info area) right after them.
    json regions = json::array();
    for (uint32_t r = 0; r < o.fsImages; ++r)
      regions.push_back({{"start", kSampleFsStart + r * o.dataBlocks * block}, {"blocks", o.dataBlocks}});
    sections.push_back(fs(std::move(regions)));
  } else {
    // One section per image, each with its region and its own pool after it.
    for (uint32_t r = 0; r < o.fsImages; ++r)
      sections.push_back(fs(json::array({{{"blocks", o.dataBlocks}}})));
  }
  return json{{"pageSize", o.pageSize},
              {"blockKiB", o.blockKiB},
              {"seed", o.seed},
              {"fsRegionStart", kSampleFsStart},
              {"bootloader", {{"size", 24000}, {"infoVersion", 3}}},
              {"extBootloader", {{"size", 12000}}},
              {"sections", std::move(sections)}};
}

SampleOptions SampleOptionsFromJson(const json& j) {
  SampleOptions o;
  if (!j.is_object()) throw BuildError("sample: expected an object");
  try {
    o.pageSize = j.value("pageSize", o.pageSize);
    o.blockKiB = j.value("blockKiB", o.pageSize == 512 ? 16u : 128u);
    o.multiRegion = j.value("multiRegion", o.multiRegion);
    o.fsImages = j.value("fsImages", o.fsImages);
    o.dataBlocks = j.value("dataBlocks", o.dataBlocks);
    o.tagModulus = j.value("tagModulus", o.tagModulus);
    o.reservedCount = j.value("reservedCount", o.reservedCount);
    o.counters = j.value("counters", o.counters);
    o.seed = j.value("seed", o.seed);
    o.extraSections = j.value("extraSections", o.extraSections);
  } catch (const json::exception& e) {
    throw BuildError(std::string("sample: ") + e.what());
  }
  return o;
}

BuiltPackage BuildSamplePackage(const SampleOptions& options) {
  return BuildPackage(SampleDescription(options));
}

BuiltPackage BuildTinyPackage() {
  SampleOptions o;
  o.pageSize = 512;
  o.blockKiB = 16;
  o.fsImages = 1;
  o.dataBlocks = 3;
  o.tagModulus = 2;
  o.reservedCount = 6;
  o.extraSections = false;
  json d = SampleDescription(o);
  d["bootloader"]["size"] = 1500;
  d["extBootloader"]["size"] = 600;
  d["sections"][0]["size"] = 4096;  // the ROM image, its information record at 0x200
  d["sections"][1]["size"] = 1024;  // the secondary ROM image
  return BuildPackage(d);
}

}  // namespace vantrel::pkg
