#pragma once
// Where one session's download stands, for front ends: the plan's steps in
// the order the download takes them, with the bytes each writes, the step
// running and how far it is. The places that send the host's stage reports
// say which step begins; the transfer percentages the host gets move it on.
// A front end then shows "image 5 of 8, 34 % overall" without knowing the
// plan's order or parsing a report's text.
#include <cstddef>
#include <cstdint>
#include <vector>

namespace vantrel {

// The stages, numbered as vantrel/extension.h's VANTREL_STAGE_*.
enum Stage : int {
  kStageNone = 0,
  kStageBootRom = 1,
  kStageAgentConnection = 2,
  kStageFlashScan = 3,
  kStageBootloader = 4,
  kStageExtBootloader = 5,
  kStageImageList = 6,
  kStageRomImage = 7,
  kStageSecondaryRomImage = 8,
  kStageFsImage = 9,
  kStageInfoReadBack = 10,
  kStageResetWait = 11,
  kStageFailed = 12,
  kStageIdentify = 13,
  kStageReadBack = 14,
  kStageVerify = 15,
};

// How the reset wait ended: VANTREL_RESET_WAIT_*.
inline constexpr int kResetWaitRunning = 0, kResetWaitCountedDown = 1, kResetWaitPortGone = 2,
                     kResetWaitCancelled = 3;

// One event for a front end (vantrel/extension.h's VantrelEvent).
struct StageEvent {
  int stage = kStageNone;
  uint32_t done = 0, total = 0;  // units of the stage: bytes, blocks, seconds
  int end = 0;                   // the reset wait: kResetWait*
  uint32_t image = 0, images = 0;  // image k (from 1) of the plan's n; 0 outside the images
  uint32_t fsImage = 0;            // FS image k (from 1) for the FS stages
  uint64_t planDone = 0, planTotal = 0;  // bytes of the whole plan
  int code = 0, cause = 0;         // kStageFailed: the result code and the link's cause
  const char* detail = nullptr;    // kStageFailed: the failure detail
  uint32_t elapsedMs = 0;          // kStageVerify's last event: the time verify took
};

// One step of the plan: a stage, its FS image number (FS stages), the bytes
// it writes, and whether it counts as an image of the plan.
struct PlanStep {
  int stage = kStageNone;
  uint32_t fsImage = 0;
  uint64_t bytes = 0;
  bool image = false;
};

class PlanProgress {
 public:
  void SetPlan(std::vector<PlanStep> steps);
  // The step of `stage` (and FS image `fs_image`) begins: the event to send.
  StageEvent Enter(int stage, uint32_t fs_image = 0);
  // The running step's transfer has reached `percent`.
  StageEvent Percent(uint32_t percent);
  // The running step's transfer has sent `done` of its `total` units
  // (bytes, blocks): the event counts the step's bytes to that share.
  StageEvent Fraction(uint64_t done, uint64_t total);
  // The running step has moved `done` of its `total` units (a read's bytes).
  StageEvent Advance(uint64_t done, uint64_t total);
  // Fills the plan's fields of an event about the running step (the
  // read-back, the reset wait, the end).
  void Fill(StageEvent* e) const;
  // An event of the running stage at done of total, the plan's bytes filled in.
  StageEvent StageAt(uint64_t done, uint64_t total) const;
  int stage() const { return stage_; }

 private:
  uint64_t DoneBefore(size_t step) const;

  std::vector<PlanStep> steps_;
  uint64_t total_ = 0;
  uint32_t images_ = 0;
  size_t current_ = SIZE_MAX;  // index into steps_, or none
  int stage_ = kStageNone;
  uint32_t fs_image_ = 0;
  uint64_t stage_done_ = 0, stage_total_ = 0;
};

}  // namespace vantrel
