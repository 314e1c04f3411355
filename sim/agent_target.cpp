// The simulated download agent: its connect sequence (version, chip type,
// settings, flash tables, target report, flash scan), the command loop and
// the small commands 0xE0, 0xBE and 0xDB.
#include <algorithm>

#include "sim/target.h"

namespace vantrel::sim {

namespace {

constexpr uint32_t kMaxTableRecords = 100000;
constexpr uint8_t kNoTableB = 0x69;  // any byte but 0x5A: "no table B wanted"

void Be(std::vector<uint8_t>& out, uint64_t v, int bytes) {
  for (int i = bytes - 1; i >= 0; --i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

}  // namespace

void Target::RunAgent() {
  Rec([](PhoneRecord& r) { r.agentStarted = true; });
  Connect();
  for (;;) {
    uint8_t cmd = w().Get();
    switch (cmd) {
      case 0xE0: CmdE0(); break;
      case 0xBE: CmdSharedData(); break;
      case 0xDC: CmdBootloader(); break;
      case 0xDD: CmdImageList(); break;
      case 0xDE: CmdNfb(); break;
      case 0xBD: CmdWriteBlock(); break;
      case 0xC0: CmdWritePages(); break;
      case 0xDF: CmdReadFlash(); break;
      case 0xD4: CmdFormat(); break;
      case 0xDB: CmdWatchdog(); return;
      default: Problem("unknown agent command " + Hex(cmd) + " ignored"); break;
    }
  }
}

void Target::Connect() {
  Hit("agent:start");
  if (!cfg_.faults.garbageBeforeC0.empty()) {
    FaultLog(std::to_string(cfg_.faults.garbageBeforeC0.size()) + " garbage bytes before 0xC0");
    w().Put(cfg_.faults.garbageBeforeC0);
  }
  w().Put({0xC0, cfg_.daVersion[0], cfg_.daVersion[1], cfg_.chipType});

  // Boot ROM and bootloader version, chip select, NFI_ACCCON, clock.
  std::vector<uint8_t> settings(5);
  w().GetBytes(settings.data(), settings.size());
  static const uint8_t kExpected[5] = {0xFF, 0xFE, 0x00, 0x08, 0x00};
  if (!std::equal(settings.begin(), settings.end(), kExpected)) Problem("unexpected connect settings");
  uint32_t nfi = w().GetBe32();
  uint8_t clockByte = w().Get();
  uint32_t clockValue = w().GetBe32();
  Rec([&](PhoneRecord& r) {
    r.settings = settings;
    r.nfiAcccon = nfi;
    r.clockByte = clockByte;
    r.clockValue = clockValue;
  });

  Hit("agent:tables");
  ReceiveTable(36, cfg_.tableAStopAfter, false);
  w().Put8(cfg_.wantTableB ? kReady : kNoTableB);
  if (cfg_.wantTableB) {
    Rec([](PhoneRecord& r) { r.tableBRequested = true; });
    ReceiveTable(52, cfg_.tableBStopAfter, true);
  }

  Hit("agent:report");
  SendReport();
  Hit("agent:scan");
  if (cfg_.scanDelayMs) w().Sleep(std::chrono::milliseconds(cfg_.scanDelayMs));
  const Geometry& g = flash_.geometry();
  w().Put8(kReady);
  std::vector<uint8_t> tail;
  Be(tail, flash_.FactoryBadBlocks().size(), 4);  // bad blocks found by the scan
  Be(tail, g.blockCount, 4);
  Be(tail, 0, 1);
  w().Put(tail);
  Rec([](PhoneRecord& r) { r.connected = true; });
  w().Note("agent connected");
}

// A count, then one record per answer: 0x69 asks for the next record, 0x5A
// says "enough". Every record, the last included, gets one answer byte.
void Target::ReceiveTable(size_t recordSize, unsigned stopAfter, bool tableB) {
  uint32_t count = w().GetBe32();
  Rec([&](PhoneRecord& r) { (tableB ? r.tableBCount : r.tableACount) = count; });
  if (count > kMaxTableRecords) {
    Problem("flash table count " + std::to_string(count) + " refused");
    w().Put8(kGiveUp);
    throw Halt{Halt::kSilence};
  }
  w().Put8(kReady);
  std::vector<uint8_t> rec(recordSize);
  for (uint32_t k = 1; k <= count; ++k) {
    w().GetBytes(rec.data(), rec.size());
    Rec([&](PhoneRecord& r) {
      auto& t = tableB ? r.tableB : r.tableA;
      t.insert(t.end(), rec.begin(), rec.end());
    });
    bool enough = stopAfter != 0 && k == stopAfter;
    w().Put8(enough ? kReady : kNext);
    if (enough) return;
  }
}

// 81 bytes: a first group of 28 and a second of 53, big-endian fields. The
// host only reads them to stay in step; the values describe the flash.
void Target::SendReport() {
  const Geometry& g = flash_.geometry();
  std::vector<uint8_t> r;
  Be(r, 0, 4);                                   // status
  Be(r, 0xEC, 1);                                // maker
  Be(r, g.pageSize == 512 ? 0x75 : 0xDA, 1);     // device
  Be(r, g.pageSize, 2);
  Be(r, std::min<uint64_t>(g.mainBytes(), 0xFFFFFFFFu), 4);
  Be(r, g.spareSize, 2);
  Be(r, g.pagesPerBlock, 2);
  Be(r, std::min<uint32_t>(g.blockCount, 0xFFFF), 2);
  Be(r, g.pageSize == 512 ? 4 : 5, 2);           // address cycles
  Be(r, 0, 4);
  Be(r, 0, 4);
  w().Put(r);
  r.clear();
  Be(r, 0, 4);
  Be(r, 1, 1);                                   // one flash device
  Be(r, 0, 2);
  Be(r, g.blockMainBytes(), 4);
  for (int i = 0; i < 11; ++i) Be(r, 0, 2);
  Be(r, 0, 1);
  Be(r, 0, 1);
  Be(r, 0, 4);
  Be(r, 0, 4);
  Be(r, 0, 4);
  Be(r, 0, 1);
  Be(r, 0, 1);
  Be(r, 0, 4);
  w().Put(r);
}

void Target::CmdE0() {
  Hit("agent:0xE0");
  uint32_t v = w().GetBe32();
  Rec([&](PhoneRecord& r) { r.e0Values.push_back(v); });
  w().Put8(kReady);
}

// 0xBE: status word, 0x5A, the type, 0x5A, the length and the data.
void Target::CmdSharedData() {
  Hit("agent:0xBE");
  // The status goes out before the host names the type, so a status fault
  // is keyed by the request's number.
  unsigned request = visits_["agent:0xBE"];
  auto st = cfg_.sharedDataStatus.find(request);
  uint32_t status = st == cfg_.sharedDataStatus.end() ? 0 : st->second;
  w().PutBe32(status);
  if (status != 0) {
    FaultLog("shared data status " + std::to_string(status));
    return;
  }
  w().Put8(kReady);
  uint32_t type = w().GetBe32();
  Rec([&](PhoneRecord& r) { r.sharedDataTypes.push_back(type); });
  w().Put8(kReady);
  auto it = cfg_.sharedDataLengths.find(type);
  uint32_t length = it != cfg_.sharedDataLengths.end() ? it->second : cfg_.sharedDataLength;
  w().PutBe32(length);
  std::vector<uint8_t> chunk(65536);
  for (uint32_t done = 0; done < length;) {
    uint32_t n = std::min<uint32_t>(static_cast<uint32_t>(chunk.size()), length - done);
    for (uint32_t i = 0; i < n; ++i) chunk[i] = static_cast<uint8_t>(type + done + i);
    w().Put(chunk.data(), n);
    done += n;
  }
}

void Target::CmdWatchdog() {
  Hit("agent:0xDB");
  uint16_t v = w().GetBe16();
  Rec([&](PhoneRecord& r) { r.watchdogValue = v; });
  w().Put8(kReady);
  w().Note("watchdog set: the phone resets");
}

}  // namespace vantrel::sim
