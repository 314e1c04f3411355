#include "link/progress.h"

#include <algorithm>

namespace vantrel {

void PlanProgress::SetPlan(std::vector<PlanStep> steps) {
  steps_ = std::move(steps);
  total_ = 0;
  images_ = 0;
  for (const PlanStep& s : steps_) {
    total_ += s.bytes;
    images_ += s.image ? 1 : 0;
  }
  current_ = SIZE_MAX;
  stage_ = kStageNone;
  stage_done_ = stage_total_ = 0;
}

uint64_t PlanProgress::DoneBefore(size_t step) const {
  uint64_t done = 0;
  for (size_t i = 0; i < step && i < steps_.size(); ++i) done += steps_[i].bytes;
  return done;
}

StageEvent PlanProgress::Enter(int stage, uint32_t fs_image) {
  stage_ = stage;
  fs_image_ = fs_image;
  stage_done_ = stage_total_ = 0;
  // A step may begin again (the FS images are written again after an erase
  // of the FS range): the plan's count goes back with it.
  const auto it = std::find_if(steps_.begin(), steps_.end(), [&](const PlanStep& s) {
    return s.stage == stage && s.fsImage == fs_image;
  });
  current_ = it == steps_.end() ? SIZE_MAX : size_t(it - steps_.begin());
  if (current_ != SIZE_MAX) stage_total_ = steps_[current_].bytes;
  StageEvent e;
  e.stage = stage;
  e.total = static_cast<uint32_t>(std::min<uint64_t>(stage_total_, UINT32_MAX));
  Fill(&e);
  return e;
}

StageEvent PlanProgress::Percent(uint32_t percent) { return Fraction(std::min<uint32_t>(percent, 100), 100); }

StageEvent PlanProgress::Fraction(uint64_t done, uint64_t total) {
  stage_done_ = total ? stage_total_ * std::min(done, total) / total : stage_total_;
  return StageAt(stage_done_, stage_total_);
}

StageEvent PlanProgress::Advance(uint64_t done, uint64_t total) {
  // The plan counts the step's bytes; a step outside the plan counts its own.
  if (current_ == SIZE_MAX) stage_total_ = total;
  stage_done_ = total ? stage_total_ * std::min(done, total) / total : 0;
  return StageAt(done, total);
}

StageEvent PlanProgress::StageAt(uint64_t done, uint64_t total) const {
  StageEvent e;
  e.stage = stage_;
  e.done = static_cast<uint32_t>(std::min<uint64_t>(done, UINT32_MAX));
  e.total = static_cast<uint32_t>(std::min<uint64_t>(total, UINT32_MAX));
  Fill(&e);
  return e;
}

void PlanProgress::Fill(StageEvent* e) const {
  e->images = images_;
  e->planTotal = total_;
  e->fsImage = fs_image_;
  if (e->stage == kStageResetWait) {  // after the last image: all of it written
    e->planDone = total_;
    e->fsImage = 0;
    return;
  }
  if (current_ == SIZE_MAX) return;  // before the first step: nothing written
  uint32_t k = 0;
  for (size_t i = 0; i <= current_; ++i) k += steps_[i].image ? 1 : 0;
  e->image = steps_[current_].image ? k : 0;
  e->planDone = DoneBefore(current_) + stage_done_;
}

}  // namespace vantrel
