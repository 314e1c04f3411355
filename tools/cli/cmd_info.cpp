// vantrel info: what a phone is, what its flash holds and, with a package,
// whether the package fits and what the next download would do. Nothing is
// written or erased; the phone resets at the end.
#include <cstdio>
#include <mutex>
#include <optional>
#include <nlohmann/json.hpp>

#include "tools/cli/commands.h"
#include "tools/cli/json_out.h"
#include "tools/cli/layout.h"
#include "tools/cli/plan_command.h"
#include "tools/pkg/digest.h"

namespace vantrel::cli {
namespace {

struct Identities {
  std::mutex mu;
  std::vector<std::optional<VantrelIdentity>> of;  // per phone
};

using pkg::Hex;

const char* NextAction(int32_t next) {
  switch (next) {
    case VANTREL_NEXT_CARRY_REMAPS: return "the next download carries the remaps over";
    case VANTREL_NEXT_ERASE_RESERVED_POOL: return "the next download erases the reserved pool (no info block yet)";
    case VANTREL_NEXT_ERASE_RANGE: return "the next download erases the whole FS range (an info block of another version)";
    default: return "the next download skips it (its info version is not 5.2.0)";
  }
}

// The same prediction as one word, for --json.
const char* NextActionToken(int32_t next) {
  switch (next) {
    case VANTREL_NEXT_CARRY_REMAPS: return "carry-remaps";
    case VANTREL_NEXT_ERASE_RESERVED_POOL: return "erase-reserved-pool";
    case VANTREL_NEXT_ERASE_RANGE: return "erase-range";
    default: return "skip";
  }
}

std::string TagCounters(const VantrelFsSection& f) {
  std::string text;
  for (uint32_t k = 0; k < VANTREL_TAG_COUNT; ++k) text += Printf("%s%u", k ? "," : "", f.tag_counters[k]);
  return text;
}

// A section whose check stopped before its info area was found (another
// geometry, no ROM record) says nothing about an info block.
std::string SectionLine(const VantrelFsSection& f) {
  std::string line = Printf("FS %u: ", f.slot);
  if (f.info_block_found)
    line += Printf("info block %u (version %u.%u.%u), %u block%s remapped, tag counters %s; ", f.info_block,
                   f.info_version[0], f.info_version[1], f.info_version[2], f.remaps_in_use,
                   f.remaps_in_use == 1 ? "" : "s", TagCounters(f).c_str());
  else if (f.info_area_length)
    line += Printf("no info block in 0x%08X + 0x%X; ", f.info_area_start, f.info_area_length);
  if (!f.fits) return line + Printf("this package does NOT fit (%d: %s)", f.result, f.problem);
  // With no info block there now, a carry takes the one that the section
  // before it, sharing this info area, commits in the same download.
  if (!f.info_block_found && f.next_action == VANTREL_NEXT_CARRY_REMAPS)
    return line + "this package fits; the next download carries over the info block the FS section before it commits";
  return line + "this package fits; " + NextAction(f.next_action);
}

// The short report of one phone, a line each.
std::vector<std::string> Report(const VantrelIdentity& id) {
  std::vector<std::string> lines;
  lines.push_back(Printf("agent %u.%u, chip type 0x%02X", id.agent_version[0], id.agent_version[1], id.chip_type));
  lines.push_back(Printf("flash: %u-byte pages, %u spare, %u KiB blocks", id.page_size, id.spare_size,
                      id.block_main_size / 1024));
  if (!id.rom_info_found) {
    lines.push_back("no ROM record in blocks 2 to 9 (a blank phone, or one flashed with another layout)");
  } else {
    std::string rom = Printf("ROM record in block %u (version %d), %u region%s", id.rom_info_block, id.rom_info_version,
                          id.region_count, id.region_count == 1 ? "" : "s");
    for (uint32_t r = 0; r < id.region_count && r < VANTREL_MAX_ROM_REGIONS; ++r)
      rom += Printf("%s0x%08X + 0x%X", r ? ", " : ": ", id.regions[r].start, id.regions[r].length);
    lines.push_back(rom + (id.fs_identifier_ok ? "; FS identifier ok" : "; no FS identifier"));
  }
  for (uint32_t k = 0; k < id.fs_section_count && k < VANTREL_MAX_FS_SECTIONS; ++k)
    lines.push_back(SectionLine(id.fs_sections[k]));
  lines.push_back("target report: " + Hex(id.target_report, sizeof id.target_report));
  return lines;
}

nlohmann::json SectionJson(const VantrelFsSection& f) {
  nlohmann::json j{{"slot", f.slot}, {"fits", f.fits != 0}, {"result", f.result}, {"problem", f.problem},
                   {"info_area_start", nullptr}, {"info_area_length", nullptr},
                   {"info_block", nullptr}, {"info_version", nullptr}, {"remaps_in_use", f.remaps_in_use},
                   {"tag_counters", nullptr}, {"next_action", nullptr}};
  if (f.info_area_length) {
    j["info_area_start"] = f.info_area_start;
    j["info_area_length"] = f.info_area_length;
  }
  if (f.info_block_found) {
    j["info_block"] = f.info_block;
    j["info_version"] = Printf("%u.%u.%u", f.info_version[0], f.info_version[1], f.info_version[2]);
    j["tag_counters"] = std::vector<uint16_t>(f.tag_counters, f.tag_counters + VANTREL_TAG_COUNT);
  }
  if (f.fits) j["next_action"] = NextActionToken(f.next_action);
  return j;
}

nlohmann::json Json(const std::string& label, const VantrelIdentity& id) {
  nlohmann::json j{{"event", "identity"}, {"port", label},
                   {"agent_version", Printf("%u.%u", id.agent_version[0], id.agent_version[1])},
                   {"chip_type", id.chip_type}, {"target_report", Hex(id.target_report, sizeof id.target_report)},
                   {"page_size", id.page_size}, {"spare_size", id.spare_size}, {"block_size", id.block_main_size},
                   {"rom_record", nullptr}};
  if (id.rom_info_found) {
    nlohmann::json regions = nlohmann::json::array();
    for (uint32_t r = 0; r < id.region_count && r < VANTREL_MAX_ROM_REGIONS; ++r)
      regions.push_back({{"start", id.regions[r].start}, {"length", id.regions[r].length}});
    j["rom_record"] = {{"block", id.rom_info_block}, {"version", id.rom_info_version}, {"regions", regions},
                       {"fs_identifier_ok", id.fs_identifier_ok != 0}};
  }
  nlohmann::json sections = nlohmann::json::array();
  for (uint32_t k = 0; k < id.fs_section_count && k < VANTREL_MAX_FS_SECTIONS; ++k)
    sections.push_back(SectionJson(id.fs_sections[k]));
  j["fs_sections"] = sections;
  return j;
}

int Finish(Identities& ids, const std::vector<PhoneState>& phones, int rc) {
  std::lock_guard<std::mutex> g(ids.mu);
  for (size_t k = 0; k < phones.size() && k < ids.of.size(); ++k) {
    if (!ids.of[k]) continue;
    if (json_out::Enabled()) {
      json_out::Write(json_out::Line(Json(phones[k].label, *ids.of[k])));
      continue;
    }
    for (const auto& line : Report(*ids.of[k])) std::printf("[%s] %s\n", phones[k].label.c_str(), line.c_str());
  }
  std::fflush(stdout);
  return rc;
}

}  // namespace

void RegisterInfoCommand(CLI::App& app) {
  auto ids = std::make_shared<Identities>();
  auto plan = std::make_shared<PlanCommand>();
  plan->name = "info";
  plan->done = "identified";
  plan->check = [ids](size_t phones) { ids->of.resize(phones); };
  plan->run = [ids](PluginHost& host, size_t k, const std::string&, CInterfaceTemplate* s, std::string* done) {
    VantrelIdentity id{};
    id.size = sizeof id;
    if (!host.Identify(s, &id)) return false;
    std::lock_guard<std::mutex> g(ids->mu);
    if (k < ids->of.size()) ids->of[k] = id;
    *done = "identified; nothing was written; the phone resets";
    return true;
  };
  plan->finish = [ids](const std::vector<PhoneState>& phones, int rc) { return Finish(*ids, phones, rc); };
  AddPlanCommand(app,
                 "Identify a phone: its agent, its flash and ROM record and, with --package, whether the package "
                 "fits and what the next download would do. Nothing is written",
                 plan);
}

}  // namespace vantrel::cli
