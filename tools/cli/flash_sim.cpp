// The built-in simulated phones of `vantrel flash --simulate`: the sample
// package, the phones on pseudo-terminals, and the check of each phone's
// flash afterwards.
#include <chrono>

#include "sim/check/flash_check.h"
#include "tools/cli/flash_run.h"
#include "tools/cli/sim_state.h"
#include "tools/pkg/sample.h"

namespace vantrel::cli {

std::shared_ptr<sim::Flash> OpenSimulatedState(FlashOptions& o) {
  std::string err;
  ExitCode cls = kExitPackage;
  auto flash = OpenStateFile(o.state, o.page_size, o.page_size_opt->count() > 0, 0, &err, &cls);
  if (!flash) FailFlash(cls, err);
  if (!o.state.empty() && !o.page_size_opt->count()) o.page_size = flash->geometry().pageSize;
  return flash;
}

// The sample package of a simulated run without --package, written into the
// run's temporary directory.
std::optional<pkg::BuiltPackage> WriteSample(const FlashOptions& o, const std::string& path, Display& display) {
  pkg::SampleOptions so;
  so.pageSize = o.page_size;
  so.blockKiB = o.page_size == 512 ? 16 : 128;
  so.multiRegion = !o.verbatim;
  pkg::BuiltPackage sample = pkg::BuildSamplePackage(so);
  pkg::WriteFile(path, sample.bytes);
  display.Message("sample package: " + std::to_string(sample.bytes.size()) + " bytes, " +
                  std::to_string(o.page_size) + "-byte pages, " + std::to_string(sample.fsImages.size()) +
                  " FS image(s)");
  return sample;
}

std::vector<std::unique_ptr<sim::Phone>> StartSimulatedPhones(const FlashOptions& o,
                                                              const std::shared_ptr<sim::Flash>& state_flash,
                                                              std::vector<Target>* targets) {
  std::vector<std::unique_ptr<sim::Phone>> phones;
  for (unsigned i = 0; i < o.phones; ++i) {
    auto flash = i == 0 && state_flash ? state_flash
                                       : std::make_shared<sim::Flash>(o.page_size == 512 ? sim::Geometry::SmallPage()
                                                                                         : sim::Geometry::LargePage());
    for (const auto& [option, blocks] : {std::pair{"--bad-blocks", &o.bad_blocks}, {"--failing-blocks", &o.failing_blocks},
                                         {"--weak-blocks", &o.weak_blocks}})
      if (const std::string why = BlocksOutside(option, *blocks, flash->geometry().blockCount); !why.empty())
        FailFlash(kExitUsage, why);  // a state file's flash may be smaller than a new one
    for (uint32_t b : o.bad_blocks) flash->MarkFactoryBad(b);
    for (uint32_t b : o.failing_blocks) flash->SetFailing(b);
    sim::PhoneConfig pc;
    pc.linkBytesPerSecond = o.link_rate;
    pc.turnaroundUs = o.latency_us;
    if (i == 0) pc.faults.powerCutAfterOps = o.power_cut_after;
    pc.faults.weakBlocks = o.weak_blocks;
    auto phone = std::make_unique<sim::Phone>(pc, flash);
    std::string err;
    if (!phone->Open(&err)) FailFlash(kExitFailure, "cannot start the simulated phone: " + err);
    phone->Start();
    targets->push_back({"sim" + std::to_string(i + 1), phone->SlavePath(), 40 + o.port_index + i});
    phones.push_back(std::move(phone));
  }
  return phones;
}

// After a simulated run: each phone stops, the first keeps its state file,
// and the flash of each flashed phone is checked against the sample.
void FinishSimulatedPhones(const FlashOptions& o, std::vector<std::unique_ptr<sim::Phone>>& phones,
                           const std::optional<pkg::BuiltPackage>& sample, std::vector<PhoneState>& states,
                           Display& display) {
  for (size_t i = 0; i < phones.size(); ++i) {
    auto& phone = phones[i];
    phone->WaitFinished(std::chrono::milliseconds(states[i].result == kExitOk ? 2000 : 0));
    phone->Stop();
    std::string err;
    if (i == 0 && !o.state.empty() && !phone->flash().Save(o.state, &err))
      display.Message("cannot save " + o.state + ": " + err);
    if (!sample || states[i].result != kExitOk) continue;
    flashcheck::ExpectedFirmware fw{sample->bootloader, sample->extBootloader, sample->rom, sample->rom2,
                                    sample->fsImages};
    flashcheck::CheckReport check = flashcheck::CheckFlash(phone->flash(), fw);
    display.Message("[" + states[i].label + "] flash check: " +
                    (check.ok ? "every image is where it belongs" : "PROBLEMS"));
    for (const auto& p : check.problems) display.Message("  - " + p);
    if (!check.ok) {
      states[i].result = kExitFlash;
      states[i].message = "the simulated flash does not hold what was sent";
    }
  }
}

}  // namespace vantrel::cli
