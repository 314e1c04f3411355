// The flash checker: proves, block by block, what a download left on the
// simulated flash.
#include "sim/check/flash_check.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>

#include "sim/check/fs_view.h"

namespace vantrel::flashcheck {

namespace {

constexpr size_t kProblemsPerImage = 20;  // keeps a badly broken flash readable

std::string Hex(uint64_t v) {
  char b[24];
  std::snprintf(b, sizeof b, "0x%llX", static_cast<unsigned long long>(v));
  return b;
}

class Checker {
 public:
  Checker(const sim::Flash& flash, const ExpectedFirmware& fw) : flash_(flash), fw_(fw) {}

  CheckReport Run() {
    CheckImage("bootloader", "bootloader", fw_.bootloader);
    CheckImage("extended bootloader", "extended-bootloader", fw_.extendedBootloader);
    CheckImage("ROM image", "rom", fw_.romImage);
    CheckImage("secondary ROM image", "secondary-rom", fw_.secondaryRomImage);
    FindFsStart();
    for (size_t j = 0; j < fw_.fsImages.size(); ++j) CheckFsImage(j, fw_.fsImages[j]);
    CheckReport r;
    r.problems = problems_;
    r.ok = problems_.empty();
    r.summary = summary_ + (r.ok ? "flash check passed\n"
                                 : "flash check FAILED: " + std::to_string(problems_.size()) + " problem(s)\n");
    return r;
  }

 private:
  void Problem(const std::string& s) { problems_.push_back(s); }
  void Line(const std::string& s) { summary_ += s + "\n"; }

  void CheckImage(const std::string& what, const std::string& name, const Bytes& expected) {
    if (expected.empty()) return;
    sim::Placement p;
    if (!flash_.FindPlacement(name, &p)) {
      Problem(what + ": not stored on the flash");
      return;
    }
    if (p.length != expected.size()) {
      Problem(what + ": " + std::to_string(p.length) + " bytes stored, " +
              std::to_string(expected.size()) + " expected");
      return;
    }
    Bytes got = flash_.ReadMain(p.address, p.length);
    auto diff = std::mismatch(got.begin(), got.end(), expected.begin());
    if (diff.first != got.end()) {
      Problem(what + ": differs at offset " + std::to_string(diff.first - got.begin()) + " (flash " +
              Hex(p.address + static_cast<uint64_t>(diff.first - got.begin())) + ")");
      return;
    }
    Line(what + ": " + std::to_string(p.length) + " bytes at " + Hex(p.address) + ", identical");
  }

  // The host takes the FS start block from region 1 of the ROM record that
  // it finds in device blocks 2 to 9.
  void FindFsStart() {
    Bytes record;
    if (auto r = FindRomInfoOnFlash(flash_)) {
      Line("ROM information record in device block " + std::to_string(r->block) + " at offset " +
           Hex(r->offset));
      record = r->record;
    } else {
      if (!fw_.fsImages.empty()) Problem("no \"MTK_ROMINFO_v\" record in device blocks 2 to 9");
      auto fromImage = FindRomInfoInImage(fw_.romImage);
      if (!fromImage) return;
      record = *fromImage;  // lets the FS checks go on
    }
    if (Le16(&record[210]) < 2) {
      if (!fw_.fsImages.empty()) Problem("ROM information record lists fewer than 2 regions");
      return;
    }
    fsStartBlock_ = Le32(&record[236]) / flash_.geometry().blockMainBytes();
    haveFsStart_ = true;
    Line("FS region from " + Hex(Le32(&record[236])) + ", FS start block " + std::to_string(fsStartBlock_));
  }

  // The one valid info block of an info area (cached per area).
  struct Area {
    bool valid = false;
    uint32_t block = 0;
    Bytes main;    // main data of the info block
    Bytes record;  // its 512-byte info record
  };

  const Area& InfoArea(uint32_t start, uint32_t length) {
    auto key = std::make_pair(start, length);
    auto it = areas_.find(key);
    if (it != areas_.end()) return it->second;
    Area& a = areas_[key];
    const sim::Geometry& g = flash_.geometry();
    const uint64_t bm = g.blockMainBytes();
    std::vector<uint32_t> found;
    for (uint64_t b = start / bm; b < (uint64_t{start} + length) / bm && b < g.blockCount; ++b) {
      Bytes raw = flash_.ReadBlock(static_cast<uint32_t>(b));
      if (IsMarkedBad(raw.data(), g.pageSize, g.spareSize) || !HasInfoMarker(raw.data(), g.pageSize)) continue;
      found.push_back(static_cast<uint32_t>(b));
      if (found.size() > 1) continue;
      auto rec = InfoRecordOf(raw.data(), g.pageSize, g.spareSize, g.pagesPerBlock);
      a.block = static_cast<uint32_t>(b);
      a.record = rec ? *rec : Bytes(512, 0);
      for (uint32_t p = 0; p < g.pagesPerBlock; ++p) {
        auto from = raw.begin() + size_t{p} * g.pageRawBytes();
        a.main.insert(a.main.end(), from, from + g.pageSize);
      }
    }
    std::string area = "info area [" + Hex(start) + ", +" + Hex(length) + ")";
    if (found.size() != 1) {
      std::string list;
      for (uint32_t b : found) list += " " + std::to_string(b);
      Problem(area + ": " + std::to_string(found.size()) + " valid info blocks" +
              (list.empty() ? "" : " (blocks" + list + ")") + ", expected exactly one");
      return a;
    }
    a.valid = true;
    Line(area + ": info block in block " + std::to_string(a.block));
    return a;
  }

  void CheckFsImage(size_t j, const Bytes& image) {
    const std::string name = "FS image " + std::to_string(j + 1);
    std::string err;
    auto v = ParseFsImage(image, &err);
    if (!v) {
      Problem(name + ": " + err);
      return;
    }
    if (!v->VersionIs520()) {
      Line(name + ": info record version " + std::to_string(v->infoRecord[460]) + "." +
           std::to_string(v->infoRecord[461]) + "." + std::to_string(v->infoRecord[462]) +
           ", not written by the host");
      return;
    }
    const sim::Geometry& g = flash_.geometry();
    if (v->pageSize != g.pageSize || v->pages != g.pagesPerBlock) {
      Problem(name + ": geometry " + std::to_string(v->pageSize) + " x " + std::to_string(v->pages) +
              " differs from the flash's");
      return;
    }
    if (!haveFsStart_) {
      Problem(name + ": cannot be placed without the ROM information record");
      return;
    }
    const Area& area = InfoArea(v->infoAreaStart(), v->infoAreaLength());
    if (!area.valid) return;
    // The phone's record may be older than the image's, but the host only
    // keeps it when version and layout (bytes 388..459) agree.
    if (!std::equal(area.record.begin() + 388, area.record.begin() + 463, v->infoRecord.begin() + 388)) {
      Problem(name + ": the info block's record differs from the image's in version or layout");
    }
    if (v->countersEnd < 16 || v->countersEnd > area.main.size()) {
      Problem(name + ": counters end " + std::to_string(v->countersEnd) + " outside the info block");
      return;
    }
    uint16_t counters[8];
    for (int k = 0; k < 8; ++k) counters[k] = Le16(&area.main[v->countersEnd - 16 + 2 * k]);

    const uint32_t home0 = v->normalWords.empty() ? 0 : v->normalWords[0] >> 8;
    const uint32_t base = home0 - fsStartBlock_;
    std::map<uint32_t, uint32_t> owner;  // physical block -> data block
    size_t before = problems_.size();
    unsigned remapped = 0, pagesCompared = 0;
    for (uint32_t i = 0; i < v->dataBlockCount && problems_.size() - before < kProblemsPerImage; ++i) {
      const uint32_t home = v->normalWords[i] >> 8, tag = v->normalWords[i] & 0xFF;
      const uint64_t entryAt = 2 * (uint64_t{base} + i);
      if (entryAt + 2 > v->countersEnd - 16) {
        Problem(name + ": remap entry of data block " + std::to_string(i) + " lies outside the table");
        continue;
      }
      const uint16_t t = Le16(&area.main[entryAt]);
      uint32_t physical = home;
      if (t != 0) {
        ++remapped;
        physical = fsStartBlock_ + t;
        if (tag >= 8 || counters[tag] <= t) {
          Problem(name + ": data block " + std::to_string(i) + " remapped to entry " + std::to_string(t) +
                  " but the counter of tag " + std::to_string(tag) + " is " +
                  (tag < 8 ? std::to_string(counters[tag]) : std::string("missing")));
        }
      }
      if (physical >= g.blockCount) {
        Problem(name + ": data block " + std::to_string(i) + " placed beyond the flash");
        continue;
      }
      if (physical == area.block) Problem(name + ": data block " + std::to_string(i) + " shares the info block");
      auto [it, fresh] = owner.emplace(physical, i);
      if (!fresh) {
        Problem(name + ": data blocks " + std::to_string(it->second) + " and " + std::to_string(i) +
                " both in block " + std::to_string(physical));
      }
      ComparePages(name, i, home, physical, v->DataBlock(i), &pagesCompared);
    }
    Line(name + ": " + std::to_string(v->dataBlockCount) + " data blocks from block " + std::to_string(home0) +
         ", " + std::to_string(remapped) + " remapped, " + std::to_string(pagesCompared) + " pages compared");
  }

  void ComparePages(const std::string& name, uint32_t i, uint32_t home, uint32_t physical,
                    const uint8_t* expected, unsigned* compared) {
    const sim::Geometry& g = flash_.geometry();
    Bytes raw = flash_.ReadBlock(physical);
    for (uint32_t p = 0; p < g.pagesPerBlock; ++p) {
      const uint8_t* want = expected + size_t{p} * g.pageRawBytes();
      if (std::all_of(want + g.pageSize, want + g.pageRawBytes(), [](uint8_t b) { return b == 0xFF; })) continue;
      ++*compared;
      if (std::memcmp(want, raw.data() + size_t{p} * g.pageRawBytes(), g.pageRawBytes()) != 0) {
        Problem(name + ": data block " + std::to_string(i) + " (home " + std::to_string(home) + ") page " +
                std::to_string(p) + " differs in block " + std::to_string(physical));
        return;
      }
    }
  }

  const sim::Flash& flash_;
  const ExpectedFirmware& fw_;
  std::vector<std::string> problems_;
  std::string summary_;
  bool haveFsStart_ = false;
  uint32_t fsStartBlock_ = 0;
  std::map<std::pair<uint32_t, uint32_t>, Area> areas_;
};

// [first, last] runs of consecutive numbers.
std::string Runs(const std::vector<uint32_t>& v, size_t maxRuns) {
  std::string s;
  size_t runs = 0;
  for (size_t i = 0; i < v.size();) {
    size_t k = i;
    while (k + 1 < v.size() && v[k + 1] == v[k] + 1) ++k;
    if (runs++ == maxRuns) return s + " ...";
    s += " " + std::to_string(v[i]) + (k > i ? "-" + std::to_string(v[k]) : "");
    i = k + 1;
  }
  return s;
}

}  // namespace

CheckReport CheckFlash(const sim::Flash& flash, const ExpectedFirmware& firmware) {
  return Checker(flash, firmware).Run();
}

std::string SummariseFlash(const sim::Flash& flash) {
  const sim::Geometry& g = flash.geometry();
  std::string s = "flash: " + std::to_string(g.mainBytes() >> 20) + " MiB, " + std::to_string(g.blockCount) +
                  " blocks of " + std::to_string(g.pagesPerBlock) + " x (" + std::to_string(g.pageSize) + "+" +
                  std::to_string(g.spareSize) + ")\n";
  std::vector<uint32_t> used = flash.UsedBlocks();
  s += "blocks holding data: " + std::to_string(used.size()) + (used.empty() ? "" : ":" + Runs(used, 12)) + "\n";
  auto bad = flash.FactoryBadBlocks();
  auto failing = flash.FailingBlocks();
  if (!bad.empty()) s += "factory-bad blocks:" + Runs({bad.begin(), bad.end()}, 12) + "\n";
  if (!failing.empty()) s += "failing blocks:" + Runs({failing.begin(), failing.end()}, 12) + "\n";
  for (const auto& p : flash.Placements()) {
    s += p.name + ": " + std::to_string(p.length) + " bytes at " + Hex(p.address) + "\n";
  }
  if (auto r = FindRomInfoOnFlash(flash)) {
    s += "ROM information record: block " + std::to_string(r->block) + ", " +
         std::to_string(r->regionCount()) + " regions";
    for (unsigned k = 0; k < r->regionCount() && k < 4; ++k) {
      s += k ? ", " : ": ";
      s += Hex(r->regionStart(k)) + "+" + Hex(r->regionLength(k));
    }
    s += "\n";
  }
  std::vector<uint32_t> infoBlocks;
  for (uint32_t b : used) {
    Bytes raw = flash.ReadBlock(b);
    if (!IsMarkedBad(raw.data(), g.pageSize, g.spareSize) && HasInfoMarker(raw.data(), g.pageSize)) {
      infoBlocks.push_back(b);
    }
  }
  if (!infoBlocks.empty()) s += "FS info blocks:" + Runs(infoBlocks, 12) + "\n";
  s += "erase/program operations: " + std::to_string(flash.OpCount()) + "\n";
  return s;
}

}  // namespace vantrel::flashcheck
