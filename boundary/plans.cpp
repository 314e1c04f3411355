// The extension exports of the plans beside the download (vantrel/extension.h):
// identify and read, run in place of Download. The engine's results are
// turned into the plain C records here.
#include <algorithm>
#include <cstring>
#include <memory>

#include "boundary/session.h"
#include "engine/identify_plan.h"
#include "engine/read_plan.h"
#include "vantrel/extension.h"

namespace vantrel {
namespace {

static_assert(kTagCount == VANTREL_TAG_COUNT && kFsSlotCount == VANTREL_MAX_FS_SECTIONS &&
              std::tuple_size_v<decltype(PhoneIdentity::regions)> == VANTREL_MAX_ROM_REGIONS && kTargetReportBytes == 81 && kScanResultBytes == 9);

int32_t NextAction(FsNextAction a) {
  switch (a) {
    case FsNextAction::kCarryRemaps: return VANTREL_NEXT_CARRY_REMAPS;
    case FsNextAction::kEraseReservedPool: return VANTREL_NEXT_ERASE_RESERVED_POOL;
    case FsNextAction::kEraseRange: return VANTREL_NEXT_ERASE_RANGE;
    case FsNextAction::kSkip: break;
  }
  return VANTREL_NEXT_NOT_WRITTEN;
}

void FillSection(const FsSectionIdentity& s, VantrelFsSection* out) {
  out->slot = s.slot;
  out->fits = s.result == 0 ? 1 : 0;
  out->result = s.result;
  const size_t n = std::min(s.problem.size(), sizeof out->problem - 1);
  std::memcpy(out->problem, s.problem.data(), n);
  out->problem[n] = '\0';
  out->info_area_start = s.infoAreaStart;
  out->info_area_length = s.infoAreaLength;
  out->info_block_found = s.infoBlockFound ? 1 : 0;
  out->info_block = s.infoBlock;
  std::copy(s.infoVersion.begin(), s.infoVersion.end(), out->info_version);
  out->remaps_in_use = s.remapsInUse;
  std::copy(s.tagCounters.begin(), s.tagCounters.end(), out->tag_counters);
  out->next_action = s.result == 0 ? NextAction(s.next) : VANTREL_NEXT_NOT_WRITTEN;
}

void FillIdentity(const PhoneIdentity& id, VantrelIdentity* out) {
  std::copy(id.greeting.version.begin(), id.greeting.version.end(), out->agent_version);
  out->chip_type = id.greeting.chipType;
  std::copy(id.greeting.report.begin(), id.greeting.report.end(), out->target_report);
  std::copy(id.greeting.scanResult.begin(), id.greeting.scanResult.end(), out->scan_result);
  out->page_size = id.pageSize;
  out->spare_size = id.spareSize;
  out->block_main_size = id.blockMainSize;
  out->rom_info_found = id.romFound ? 1 : 0;
  if (id.romFound) {
    out->rom_info_block = id.romBlock;
    out->rom_info_version = id.romVersion;
    out->region_count = id.regionCount;
    for (size_t k = 0; k < id.regions.size(); ++k) out->regions[k] = {id.regions[k].start, id.regions[k].length};
    out->fs_identifier_ok = id.fsIdentifierOk ? 1 : 0;
  }
  out->package_used = id.packageUsed ? 1 : 0;
  out->fs_section_count = static_cast<uint32_t>(std::min<size_t>(id.sections.size(), VANTREL_MAX_FS_SECTIONS));
  for (uint32_t i = 0; i < out->fs_section_count; ++i) FillSection(id.sections[i], &out->fs_sections[i]);
}

// Fills as much of the caller's record as it says it has (out->size), the
// rest of a newer record left out.
void CopyOut(const PhoneIdentity& id, VantrelIdentity* out) {
  auto full = std::make_unique<VantrelIdentity>();
  std::memset(full.get(), 0, sizeof(VantrelIdentity));
  FillIdentity(id, full.get());
  const uint32_t n = std::min<uint32_t>(out->size, sizeof(VantrelIdentity));
  full->size = n;
  std::memcpy(out, full.get(), n);
}

}  // namespace
}  // namespace vantrel

extern "C" {

VANTREL_API int32_t VantrelIdentify(CInterfaceTemplate* session, VantrelIdentity* out) {
  try {
    vantrel::CBizDownload* s = vantrel::FindLiveSession(session);
    if (!s || !out || out->size < sizeof(uint32_t)) return 0;
    vantrel::PhoneIdentity id;
    const int ok = s->engine().Identify(&id);
    // What the agent and the flash told before a failure is filled too.
    vantrel::CopyOut(id, out);
    return ok;
  } catch (...) {
    return 0;
  }
}

VANTREL_API int32_t VantrelPhoneSeen(CInterfaceTemplate* session, VantrelIdentity* out) {
  try {
    vantrel::CBizDownload* s = vantrel::FindLiveSession(session);
    if (!s || !out || out->size < sizeof(uint32_t)) return 0;
    vantrel::PhoneIdentity id;
    id.greeting = s->engine().greeting();
    vantrel::CopyOut(id, out);
    // An agent always names its version: all zero means none answered.
    return id.greeting.version[0] || id.greeting.version[1] ? 1 : 0;
  } catch (...) {
    return 0;
  }
}

VANTREL_API int32_t VantrelRead(CInterfaceTemplate* session, uint32_t start, uint32_t length, int32_t mode,
                                VantrelReadSink sink, void* user) {
  try {
    vantrel::CBizDownload* s = vantrel::FindLiveSession(session);
    if (!s || !sink) return 0;
    vantrel::ReadRequest request;
    request.start = start;
    request.length = length;
    // Any other mode is refused by the plan, with its reason.
    request.mode = static_cast<uint8_t>(mode == 0 || mode == 1 ? mode : 2);
    request.sink = [sink, user](const uint8_t* data, uint32_t n) { return sink(user, data, n) != 0; };
    return s->engine().Read(request);
  } catch (...) {
    return 0;
  }
}

VANTREL_API int32_t VantrelReadSpan(CInterfaceTemplate* session, int32_t span, int32_t mode, VantrelReadSink sink,
                                    void* user, VantrelReadRange* range) {
  try {
    vantrel::CBizDownload* s = vantrel::FindLiveSession(session);
    if (!s || !sink || !range || span < VANTREL_SPAN_GIVEN || span > VANTREL_SPAN_THROUGH_FS) return 0;
    vantrel::ReadRequest request;
    request.span = span == VANTREL_SPAN_GIVEN      ? vantrel::ReadSpan::kGiven
                   : span == VANTREL_SPAN_FS_REGION ? vantrel::ReadSpan::kFsRegion
                                                    : vantrel::ReadSpan::kThroughFs;
    request.start = range->start;
    request.length = range->length;
    request.mode = static_cast<uint8_t>(mode == 0 || mode == 1 ? mode : 2);
    request.sink = [sink, user](const uint8_t* data, uint32_t n) { return sink(user, data, n) != 0; };
    request.onRange = [range](uint32_t a, uint32_t n) {
      range->start = a;
      range->length = n;
    };
    request.onGeometry = [range](uint32_t page, uint32_t spare) {
      range->page_size = page;
      range->spare_size = spare;
    };
    return s->engine().Read(request);
  } catch (...) {
    return 0;
  }
}

}  // extern "C"
