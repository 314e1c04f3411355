// The read plan: a range of the flash streamed to the caller, in read
// commands of at most kChunkBytes each.
#include "engine/read_plan.h"

#include <algorithm>

#include "engine/identify_plan.h"
#include "vantrel/codes.h"

namespace vantrel {
namespace {

constexpr uint32_t kReadAlign = 2048;
// Each read command covers at most this much of the range: each has the
// protocol's resend budget of its own, so one noisy stretch of a long read
// does not spend the budget of the whole flash.
constexpr uint32_t kChunkBytes = 1u << 20;
// A front end hears how far the read is at most this often.
constexpr uint64_t kEventBytes = 64 * 1024;
constexpr uint64_t kAddressLimit = uint64_t(UINT32_MAX) + 1;
constexpr char kValidRange[] = "a read starts and ends on a 2048-byte (0x800) boundary inside the flash";

int CheckRange(Channel& ch, const ReadRequest& r) {
  if (r.mode > 1)
    return ch.Fail(kReadOutOfRange, "read mode %u: mode 1 reads main data, mode 0 main data and spare bytes", r.mode);
  if (r.start % kReadAlign)
    return ch.Fail(kReadMisalignedStart, "read start 0x%08X is not a multiple of 2048: %s", r.start, kValidRange);
  if (r.length % kReadAlign)
    return ch.Fail(kReadMisalignedLength, "read length 0x%X is not a multiple of 2048: %s", r.length, kValidRange);
  if (r.length == 0) return ch.Fail(kReadOutOfRange, "read length 0: %s", kValidRange);
  if (uint64_t(r.start) + r.length > kAddressLimit)
    return ch.Fail(kReadOutOfRange, "the range 0x%08X + 0x%X ends past 4 GiB: %s", r.start, r.length, kValidRange);
  return kOk;
}

// The bytes the whole read delivers, once the agent has named its geometry.
uint64_t OutputBytes(const ReadRequest& r, const ReadStatus& st) {
  if (r.mode == 1 || st.pageSize == 0) return r.length;
  return uint64_t(r.length) / st.pageSize * (uint64_t(st.pageSize) + st.spareSize);
}

// The agent refused a read of the range: it reaches past the flash. The
// flash's end is looked for so that the detail can name the valid range.
int NamePastEnd(LinkHandle h, const ReadRequest& r, int refused_code) {
  Channel& ch = h->channel();
  uint64_t end = 0;
  if (int rc = AgentFindFlashEnd(h, &end)) return rc;
  if (uint64_t(r.start) + r.length <= end) return refused_code;  // refused for another reason: its detail stays
  ch.ClearFailure();
  return ch.Fail(kReadOutOfRange,
                 "the range 0x%08X + 0x%X reaches past the flash's end at 0x%llX (%llu MiB): valid reads lie "
                 "inside 0x0 to 0x%llX, start and length multiples of 2048",
                 r.start, r.length, static_cast<unsigned long long>(end),
                 static_cast<unsigned long long>(end >> 20), static_cast<unsigned long long>(end));
}

int ReadRange(LinkHandle h, const ReadRequest& r, ReadStatus& st) {
  Channel& ch = h->channel();
  uint64_t delivered = 0, total = 0, reported = 0;
  const ReadSink counted = [&](const uint8_t* data, uint32_t n) {
    if (total == 0) total = OutputBytes(r, st);
    if (r.sink && !r.sink(data, n)) return false;
    delivered += n;
    if (delivered - reported >= kEventBytes) {
      reported = delivered;
      ch.Advance(delivered, total);
    }
    return true;
  };
  const uint64_t end = uint64_t(r.start) + r.length;
  for (uint64_t at = r.start; at < end; at += kChunkBytes) {
    const uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(kChunkBytes, end - at));
    if (ch.cancelled())
      return ch.Fail(kCancelled, "the read: cancelled at 0x%08llX; nothing was written",
                     static_cast<unsigned long long>(at));
    if (int rc = AgentReadFlashStream(h, static_cast<uint32_t>(at), n, r.mode, counted, &st))
      return st.refused ? NamePastEnd(h, r, rc) : rc;
  }
  ch.Advance(delivered, total ? total : delivered);
  return kOk;
}

// The range a span names, from the ROM information record on the flash
// (region 1 is the FS region, as the FS writer reads it), widened to whole
// 2048-byte pages.
int ResolveSpan(LinkHandle h, ReadRequest* r) {
  Channel& ch = h->channel();
  PhoneIdentity id;
  if (int rc = IdentifyPhoneFlash(h, &id)) return rc;
  if (!id.romFound)
    return ch.Fail(kRomInfoNotOnFlash, "no ROM information record on the flash (blocks 2 to 9) names the FS "
                                       "region: give the range to read");
  if (id.regionCount < 2)
    return ch.Fail(kRomInfoNoRegions, "the flash's ROM information record lists %u region(s), no FS region: give "
                                      "the range to read", id.regionCount);
  const PhoneIdentity::Region fs = id.regions[1];
  const uint64_t region_end = uint64_t(fs.start) + fs.length;
  const uint64_t start = r->span == ReadSpan::kFsRegion ? fs.start / kReadAlign * kReadAlign : 0;
  const uint64_t end = std::min<uint64_t>((region_end + kReadAlign - 1) / kReadAlign * kReadAlign, kAddressLimit);
  if (end <= start)
    return ch.Fail(kRomInfoNoRegions, "the flash's FS region at 0x%08X is empty: give the range to read", fs.start);
  r->start = static_cast<uint32_t>(start);
  r->length = static_cast<uint32_t>(std::min<uint64_t>(end - start, UINT32_MAX / kReadAlign * kReadAlign));
  return kOk;
}

}  // namespace

std::vector<PlanStep> ReadPlanSteps(const ReadRequest& request) {
  return {{kStageBootRom}, {kStageAgentConnection}, {kStageFlashScan}, {kStageReadBack, 0, request.length, false}};
}

int ReadRun(LinkHandle h, const AgentStageInputs& in, const ReadRequest& given, uint32_t port) {
  ReadRequest request = given;
  if (request.span == ReadSpan::kGiven)
    if (int rc = CheckRange(h->channel(), request)) return rc;
  LinkLog(h, "Connecting to DA...\n");
  if (int rc = AgentConnect(h, &in.tableA, &in.tableB, port)) return rc;
  AgentCommandE0(h);  // as the download sends it; its answer does not matter
  if (request.span != ReadSpan::kGiven) {
    if (int rc = ResolveSpan(h, &request)) return rc;
    if (int rc = CheckRange(h->channel(), request)) return rc;
  }
  if (request.onRange) request.onRange(request.start, request.length);
  LinkLog(h, "Read flash 0x%08X + 0x%X in mode %u...\n", request.start, request.length, request.mode);
  h->channel().EnterStage(kStageReadBack);
  ReadStatus st;
  if (int rc = ReadRange(h, request, st)) return rc;
  if (request.onGeometry) request.onGeometry(st.pageSize, st.spareSize);
  LinkLog(h, "Enable Watch Dog...\n");
  AgentEnableWatchdog(h, kWatchdogOnReset);
  return kOk;
}

}  // namespace vantrel
