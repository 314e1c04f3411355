// What every part of the simulated target shares: the record, fault points
// and the flash operations counted for the power-cut fault.
#include "sim/target.h"

#include <algorithm>

namespace vantrel::sim {

Target::Target(Phone& phone)
    : phone_(phone), cfg_(phone.config_), flash_(*phone.flash_),
      resendsLeft_(phone.config_.faults.resendWritePackets),
      corruptLeft_(phone.config_.faults.corruptReadPackets) {
  ResetBootRom();
}

void Target::Problem(const std::string& text) {
  if (wire_) wire_->Note("problem: " + text);
  Rec([&](PhoneRecord& r) { r.problems.push_back(text); });
}

void Target::FaultLog(const std::string& text) {
  if (wire_) wire_->Note("fault: " + text);
  Rec([&](PhoneRecord& r) { r.faults.push_back(text); });
}

bool Target::Hit(const std::string& point) {
  unsigned n = ++visits_[point];
  if (wire_) {
    uint64_t at = wire_->position();
    Rec([&](PhoneRecord& r) { r.marks.push_back({point, at}); });
  }
  const Faults& f = cfg_.faults;
  auto at = [&](const FaultPoint& p) { return p.point == point && p.occurrence == n; };
  if (at(f.hangupAt)) {
    FaultLog("hang-up at " + point + " #" + std::to_string(n));
    throw Halt{Halt::kHangup};
  }
  if (at(f.silenceAt)) {
    FaultLog("silence from " + point + " #" + std::to_string(n));
    throw Halt{Halt::kSilence};
  }
  return at(f.echoMismatch);
}

void Target::AfterOp() {
  ++ops_;
  uint64_t ops = ops_;
  Rec([&](PhoneRecord& r) { r.flashOps = ops; });
  long cut = cfg_.faults.powerCutAfterOps;
  if (cut > 0 && ops_ == static_cast<uint64_t>(cut)) {
    FaultLog("power cut after flash operation " + std::to_string(ops_));
    throw Halt{Halt::kPowerCut};
  }
}

bool Target::Erase(uint32_t block) {
  bool ok = flash_.EraseBlock(block);
  AfterOp();
  return ok;
}

bool Target::Program(uint32_t block, uint32_t page, const uint8_t* raw, size_t n) {
  bool ok = flash_.ProgramPage(block, page, raw, n);
  if (!ok) Problem("programming block " + std::to_string(block) + " page " + std::to_string(page) + " failed");
  AfterOp();
  return ok;
}

void Target::EraseMainRange(uint64_t address, uint64_t length) {
  if (length == 0) return;
  const uint64_t bm = flash_.geometry().blockMainBytes();
  for (uint64_t b = address / bm; b <= (address + length - 1) / bm; ++b) {
    Erase(static_cast<uint32_t>(b));
  }
}

// Writes main data from a byte address; the parts of the first and last page
// outside the data stay as they are (programming 0xFF changes nothing).
void Target::ProgramMain(uint64_t address, const std::vector<uint8_t>& data) {
  const Geometry& g = flash_.geometry();
  std::vector<uint8_t> page(g.pageRawBytes());
  uint64_t done = 0;
  while (done < data.size()) {
    uint64_t a = address + done;
    uint32_t block = static_cast<uint32_t>(a / g.blockMainBytes());
    uint32_t pageNo = static_cast<uint32_t>((a % g.blockMainBytes()) / g.pageSize);
    uint32_t inPage = static_cast<uint32_t>(a % g.pageSize);
    size_t n = static_cast<size_t>(std::min<uint64_t>(g.pageSize - inPage, data.size() - done));
    std::fill(page.begin(), page.end(), 0xFF);
    std::copy(data.begin() + static_cast<std::ptrdiff_t>(done),
              data.begin() + static_cast<std::ptrdiff_t>(done + n), page.begin() + inPage);
    Program(block, pageNo, page.data(), page.size());
    done += n;
  }
}

}  // namespace vantrel::sim
