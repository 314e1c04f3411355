// Opening the dialogue with the agent: its greeting, version and chip type,
// the settings and flash tables it needs, its report of the flash, and the
// small commands around the writes (0xE0, shared data, watchdog).
#include <cstdio>
#include <initializer_list>

#include "agent/agent.h"
#include "agent/agent_util.h"
#include "link/report.h"
#include "vantrel/codes.h"

namespace vantrel {

using namespace agent_detail;

namespace {

constexpr uint8_t kAgentHello = 0xC0;
constexpr uint8_t kVersionMajor = 0x03;
constexpr uint8_t kVersionMinor = 0x02;
constexpr uint8_t kChipTypeNeedsAccCon = 0x15;
constexpr uint32_t kAccConDefault = 0x7007FFFF;
constexpr uint32_t kAccConChip15 = 0x20022113;
// The agent needs this long after the jump, and again after the tables,
// before it talks.
constexpr uint32_t kSettleMs = 3000;
// A read failure while one shared-data byte is awaited is retried this often.
constexpr uint32_t kSharedByteAttempts = 1000;
// Record sizes of the two flash tables.
constexpr uint32_t kTableARecordSize = 36;
constexpr uint32_t kTableBRecordSize = 52;

bool ChipTypeKnown(uint8_t t) {
  for (uint8_t k : {0x0F, 0x14, 0x15, 0x20, 0x22}) {
    if (t == k) return true;
  }
  return false;
}

// Reads fields of the given widths in bits, one primitive per field; the
// download uses none of the values, only the agent's pace is followed. When
// `raw` is given the fields are kept as they came, big-endian, from `at` on.
bool SkipFields(LinkHandle h, std::initializer_list<int> widths, uint8_t* raw = nullptr, size_t at = 0) {
  for (int w : widths) {
    uint8_t b8;
    uint16_t b16;
    uint32_t b32 = 0;
    bool ok = w == 8 ? Get8(h, &b8) : w == 16 ? Get16(h, &b16) : Get32(h, &b32);
    if (!ok) return false;
    if (w == 8) b32 = b8;
    if (w == 16) b32 = b16;
    for (int shift = w - 8; raw && shift >= 0; shift -= 8) raw[at++] = static_cast<uint8_t>(b32 >> shift);
  }
  return true;
}

// The agent's greeting 0xC0 may be preceded by noise from its start-up,
// which is skipped. Time-outs are waited through until the deadline; every
// skipped byte also counts a millisecond of it, so noise without end cannot
// hold the stage either.
bool WaitForHello(LinkHandle h) {
  const uint32_t deadline = h->channel().limits().firstAgentByteMs;
  WaitBudget budget(h, deadline);
  uint32_t skipped = 0;
  for (;;) {
    uint8_t b = 0;
    LinkStatus s = LinkRead8(h, &b);
    if (s == kLinkOk) {
      if (b == kAgentHello) return true;
      if (++skipped >= deadline) return false;
      continue;
    }
    if (s != kLinkNoData) return false;  // a failed read ends the connect
    if (!budget.Spend()) return false;
  }
}

// The agent's version and chip type, the first things it says of itself;
// `report` and `fail` are AgentConnect's step report and failure.
template <class Report, class Fail>
int ReadVersionAndChip(LinkHandle h, Report& report, Fail& fail, uint8_t* chip, AgentGreeting* greeting) {
  report(kReportStep, 10, "Get DA Version");
  uint8_t major = 0, minor = 0;
  if (!Get8(h, &major) || !Get8(h, &minor)) return fail(kAgentConnectFailed, "no version bytes");
  if (major != kVersionMajor || minor != kVersionMinor) {
    char why[64];
    std::snprintf(why, sizeof why, "the agent is version %u.%u, not 3.2", major, minor);
    return fail(kAgentBadVersion, why);
  }
  if (greeting) greeting->version = {major, minor};

  report(kReportStep, 20, "Get BB chip type");
  if (!Get8(h, chip)) return fail(kAgentConnectFailed, "no chip type byte");
  if (!ChipTypeKnown(*chip)) {
    char why[48];
    std::snprintf(why, sizeof why, "unknown chip type 0x%02X", *chip);
    return fail(kUnknownChipType, why);
  }
  if (greeting) greeting->chipType = *chip;
  return 0;
}

}  // namespace

int AgentSendTable(LinkHandle h, const ImageDesc* table, uint32_t record_size) {
  if (!table || record_size == 0 || (!table->data && table->length)) return kAgentConnectFailed;
  const uint32_t n = table->length / record_size;
  uint8_t answer = 0;
  if (!Put32(h, n) || !Get8(h, &answer) || answer != kAck) return kAgentConnectFailed;
  for (uint32_t i = 0; i < n; ++i) {
    if (!Put(h, table->data + uint64_t(i) * record_size, record_size) || !Get8(h, &answer)) {
      return kAgentConnectFailed;
    }
    if (answer == kAck) return 0;  // the agent has found its flash in this record
  }
  return 0;
}

int AgentConnect(LinkHandle h, const ImageDesc* table_a, const ImageDesc* table_b, uint32_t port,
                 AgentGreeting* greeting) {
  Channel& ch = h->channel();
  // Each step's report names it; a failure names the step it happened in.
  const char* step = "Start DA Connect";
  auto report = [&](uint32_t type, uint32_t percent, const char* text) {
    step = text;
    ch.Report(port, type, percent, text);
  };
  auto fail = [&](int code, const char* why) {
    return ch.Fail(code, "agent connect, step \"%s\": %s", step, why);
  };

  LinkSleep(h, kSettleMs);
  report(kReportStage, 0, "Start DA Connect");
  ch.EnterStage(kStageAgentConnection);
  if (!WaitForHello(h)) {
    if (LinkGone(h)) return fail(kAgentConnectFailed, "the port went away");
    char why[96];
    std::snprintf(why, sizeof why, "no greeting 0xC0 from the agent within %u ms of the jump",
                  ch.limits().firstAgentByteMs);
    return fail(kAgentConnectFailed, why);
  }

  uint8_t chip = 0;
  if (int rc = ReadVersionAndChip(h, report, fail, &chip, greeting)) return rc;

  report(kReportStep, 30, "Send BootRom & Bootloader version");
  if (!Put8(h, 0xFF) || !Put8(h, 0xFE)) return fail(kAgentConnectFailed, "a write failed");
  report(kReportStep, 40, "Send Chip Select");
  if (!Put8(h, 0x00) || !Put8(h, 0x08) || !Put8(h, 0x00)) return fail(kAgentConnectFailed, "a write failed");
  report(kReportStep, 50, "Send NFI_ACCCON setting");
  if (!Put32(h, chip == kChipTypeNeedsAccCon ? kAccConChip15 : kAccConDefault))
    return fail(kAgentConnectFailed, "a write failed");
  report(kReportStep, 60, "Send Clock setting");
  if (!Put8(h, 0x02) || !Put32(h, 0)) return fail(kAgentConnectFailed, "a write failed");

  if (int rc = AgentSendTable(h, table_a, kTableARecordSize)) return fail(rc, "flash table A was not taken");
  report(kReportStep, 70, "Detect NAND Flash");
  uint8_t wants_b = 0;
  if (!Get8(h, &wants_b)) return fail(kAgentConnectFailed, "no answer after flash table A");
  if (wants_b == kAck) {
    if (int rc = AgentSendTable(h, table_b, kTableBRecordSize))
      return fail(rc, "flash table B was not taken");
  }

  LinkSleep(h, kSettleMs);
  uint8_t* report_raw = greeting ? greeting->report.data() : nullptr;
  if (!SkipFields(h, {32, 8, 8, 16, 32, 16, 16, 16, 16, 32, 32}, report_raw))
    return fail(kAgentConnectFailed, "the flash report ended early");
  report(kReportStep, 80, "Nand Flash Report");
  if (!SkipFields(h, {32, 8, 16, 32, 16, 16, 16, 16, 16, 16, 16, 16, 16, 16, 16, 8, 8, 32, 32, 32,
                      8, 8, 32},
                  report_raw, kTargetReportFirstBytes)) {
    return fail(kAgentConnectFailed, "the flash report ended early");
  }

  report(kReportStep, 90, "Wait for DA to scan flash content");
  ch.EnterStage(kStageFlashScan);
  if (!WaitAck(h, ch.limits().flashScanMs)) {
    char why[80];
    std::snprintf(why, sizeof why, "no 0x5A within %u ms", ch.limits().flashScanMs);
    return fail(kAgentConnectFailed, why);
  }
  if (!SkipFields(h, {32, 32, 8}, greeting ? greeting->scanResult.data() : nullptr))
    return fail(kAgentConnectFailed, "the scan result ended early");

  report(kReportStage, 100, "DA connect complete");
  return 0;
}

int AgentReadSharedData(LinkHandle h, uint32_t type, uint8_t* buffer, uint32_t* length) {
  const uint32_t capacity = (buffer && length) ? *length : 0;
  uint32_t status = 0;
  uint8_t b = 0;
  if (!Put8(h, 0xBE)) return kSharedSendCmd;
  if (!Get32(h, &status)) return kSharedReadStatus;
  if (status != 0) return static_cast<int>(status);
  if (!Get8(h, &b)) return kSharedReadAck;
  if (b != kAck) return kSharedBadAck;
  if (!Put32(h, type)) return kSharedSendType;
  if (!Get8(h, &b)) return kSharedReadTypeAck;
  if (b != kAck) return kSharedBadTypeAck;
  uint32_t n = 0;
  if (!Get32(h, &n)) return kSharedReadLength;
  if (length) *length = n;

  // All n bytes are read so the dialogue stays in step; only what fits is
  // kept. A byte that does not come is asked for again a bounded number of
  // times, and never past the status-byte deadline or a vanished port. The
  // whole read also has a deadline on the clock (the status-byte deadline
  // plus a millisecond a byte, the link's own read rate), so a phone that
  // trickles its bytes just inside each read's time-out cannot stretch it.
  const uint64_t give_up = LinkNowMs() + h->channel().limits().statusByteMs + uint64_t{n};
  for (uint32_t i = 0; i < n; ++i) {
    WaitBudget budget(h, h->channel().limits().statusByteMs);
    uint32_t attempts = 0;
    while (!Get8(h, &b)) {
      if (++attempts >= kSharedByteAttempts || !budget.Spend()) return kSharedDataRead;
    }
    if (i < capacity) buffer[i] = b;
    if (LinkNowMs() > give_up) return kSharedDataRead;
  }
  return 0;
}

int AgentCommandE0(LinkHandle h) {
  uint8_t b = 0;
  if (!Put8(h, 0xE0) || !Put32(h, 0) || !Get8(h, &b) || b != kAck) return 1;
  return 0;
}

int AgentEnableWatchdog(LinkHandle h, uint16_t value) {
  uint8_t b = 0;
  if (!Put8(h, 0xDB) || !Put16(h, value) || !Get8(h, &b) || b != kAck) return kWatchdogFailed;
  return 0;
}

}  // namespace vantrel
