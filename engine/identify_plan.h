#pragma once
// The identify plan: run in place of the download after the boot ROM stage.
// It tells what the phone is and, for a package, what the next download
// would do to its flash, from the agent's answers and flash reads alone:
// nothing is written or erased.
#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "agent/agent.h"
#include "engine/download_plan.h"
#include "images/firmware.h"
#include "nand/fs_write.h"

namespace vantrel {

// One FS section of the package against the phone's flash.
struct FsSectionIdentity {
  uint32_t slot = 0;  // the package's FS slot, from 1
  // 0 when the section fits; otherwise the code the download would stop
  // with before writing it (1032 geometry, 1024, 4054, 4056), `problem`
  // saying why.
  int result = 0;
  std::string problem;
  uint32_t infoAreaStart = 0, infoAreaLength = 0;  // from the image's info record
  bool infoBlockFound = false;
  uint32_t infoBlock = 0;
  std::array<uint8_t, 3> infoVersion{};
  uint32_t remapsInUse = 0;  // the section's data blocks that the phone moved
  std::array<uint16_t, kTagCount> tagCounters{};
  FsNextAction next = FsNextAction::kSkip;  // meaningful when result is 0
};

struct PhoneIdentity {
  AgentGreeting greeting;
  uint32_t pageSize = 0, spareSize = 0;  // from a read answer
  uint32_t blockMainSize = 0;            // the block size the ROM record was searched with
  bool romFound = false;
  uint32_t romBlock = 0;
  RomInfoRecord rom{};
  // Read from the record found.
  int romVersion = 0;
  uint32_t regionCount = 0;  // as the record says; `regions` holds the first of them
  struct Region {
    uint32_t start = 0, length = 0;
  };
  std::array<Region, kRomInfoMaxRegions> regions{};
  bool fsIdentifierOk = false;
  bool packageUsed = false;
  std::vector<FsSectionIdentity> sections;
};

// `fw` null: the phone alone. Each section's prediction reads the flash as
// it is now; a range erase predicted for one section changes what the
// download then finds for the sections after it. Ends with the watchdog
// command. 0 or the code of a failed step (a read, the connect, 1031).
// The plan's steps for front ends (it writes no bytes).
std::vector<PlanStep> IdentifyPlanSteps();

int IdentifyRun(LinkHandle h, const AgentStageInputs& in, const FirmwareBundle* fw, uint32_t port,
                PhoneIdentity* out);

// The flash's geometry and ROM information record, with the agent already
// connected: for a plan that needs to know where the FS region lies.
int IdentifyPhoneFlash(LinkHandle h, PhoneIdentity* out);

}  // namespace vantrel
