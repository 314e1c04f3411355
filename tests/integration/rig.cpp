#include "tests/integration/rig.h"

#include <unistd.h>

#include <cstdio>
#include <stdexcept>

#include "engine/engine.h"
#include "link/byte_order.h"
#include "tools/pkg/sample.h"

namespace vantrel::testing {
namespace {
uint32_t Le32(const std::vector<uint8_t>& b, size_t at) {
  if (at + 4 > b.size()) throw std::out_of_range("FS image too short");
  return GetLe32(b.data() + at);
}
}  // namespace

Rig::Rig(uint32_t page_size) : scope_(&clock_), saved_limits_(Limits()) {
  flash_ = std::make_shared<sim::Flash>(page_size == 512 ? sim::Geometry::SmallPage()
                                                         : sim::Geometry::LargePage());
  package_path_ = ports_.path() + "/package.bin";
}

Rig::~Rig() {
  if (phone_) phone_->Stop();
  Limits() = saved_limits_;
}

void Rig::UsePackage(const pkg::BuiltPackage& p) {
  package_ = p;
  pkg::WriteFile(package_path_, p.bytes);
  ResetPackageForTest();
}

void Rig::StartPhone(sim::PhoneConfig config, unsigned com, unsigned link_delay_ms) {
  if (phone_) phone_->Stop();
  phone_ = std::make_unique<sim::Phone>(config, flash_);
  std::string err;
  if (!phone_->Open(&err) || !phone_->LinkPort(ports_.path(), com, link_delay_ms, &err))
    throw std::runtime_error("simulated phone: " + err);
  phone_->Start();
}

int Rig::RunSession(RecordingHost& host, int32_t port_index,
                    const std::function<void(CBizDownload&)>& setup) {
  return RunPlan(host, [](CBizDownload& s) { return s.Download(); }, setup, port_index);
}

int Rig::RunPlan(RecordingHost& host, const std::function<int(CBizDownload&)>& plan,
                 const std::function<void(CBizDownload&)>& setup, int32_t port_index) {
  SetPackagePath(package_path_);  // what PreviousLoad does
  CBizDownload* s = new CBizDownload(port_index);
  s->SetHostCallback(&host);
  if (setup) setup(*s);
  int result = -1;
  if (s->Prepare(0) == 1) {
    s->Connect();
    result = plan(*s);
  }
  std::unique_lock<std::mutex> g(failure_mu_);
  failure_code_ = s->engine().channel().failure_code();
  boot_code_ = s->engine().boot_result();
  failure_ = s->engine().channel().failure();
  g.unlock();
  s->DeletingDestructor(1);
  return result;
}

// Clears bits of one byte of the info record on the flash (programming only
// clears bits, as on real NAND).
bool ClearRecordBits(sim::Flash& flash, uint32_t record_offset, uint8_t mask) {
  bool changed = false;
  const auto& g = flash.geometry();
  for (uint32_t block : flash.UsedBlocks()) {
    sim::Bytes page0 = flash.ReadPage(block, 0);
    if (page0[g.pageSize + 2] != 0x0F || page0[g.pageSize + 3] != 0x0D) continue;
    for (int p = static_cast<int>(g.pagesPerBlock) - 1; p >= 0; --p) {
      sim::Bytes page = flash.ReadPage(block, static_cast<uint32_t>(p));
      if (page[g.pageSize + 2] != 0x0F || page[g.pageSize + 3] != 0x0D) continue;
      changed |= (page[g.pageSize - 512 + record_offset] & mask) != 0;
      sim::Bytes patch(g.pageRawBytes(), 0xFF);
      patch[g.pageSize - 512 + record_offset] = static_cast<uint8_t>(~mask);
      flash.ProgramPage(block, static_cast<uint32_t>(p), patch.data(), patch.size());
      break;
    }
  }
  return changed;
}

flashcheck::CheckReport Rig::Check() const {
  flashcheck::ExpectedFirmware fw{package_.bootloader, package_.extBootloader, package_.rom,
                                  package_.rom2, package_.fsImages};
  return flashcheck::CheckFlash(*flash_, fw);
}

uint32_t DataBlockCount(const std::vector<uint8_t>& fs) { return Le32(fs, 12); }

uint32_t HomeBlock(const std::vector<uint8_t>& fs, uint32_t i) { return Le32(fs, 48 + 4 * i) >> 8; }

std::vector<uint32_t> ReservedBlocks(const std::vector<uint8_t>& fs, uint32_t tag) {
  uint32_t n = Le32(fs, 12), r = Le32(fs, 16);
  std::vector<uint32_t> out;
  for (uint32_t k = 0; k < r; ++k) {
    uint32_t w = Le32(fs, 48 + 4 * (n + k));
    if ((w & 0xFF) == tag) out.push_back(w >> 8);
  }
  return out;
}

std::vector<std::string> ExpectedStages(size_t fs_images) {
  std::vector<std::string> s = {
      "Start DA Connect", "Get DA Version", "Get BB chip type",
      "Send BootRom & Bootloader version", "Send Chip Select", "Send NFI_ACCCON setting",
      "Send Clock setting", "Detect NAND Flash", "Nand Flash Report",
      "Wait for DA to scan flash content", "DA connect complete", "Start Write Bootloader",
      "Send ext Bootloader", "Write Bootloader Complete", "Start Send NAND image list",
      "Send NAND image list complete", "Start Write NFB Image", "Send ROM Image",
      "Send Secondary ROM Image", "Write NFB Image Complete"};
  for (size_t i = 0; i < fs_images; ++i) s.push_back("Start Write FS Image");
  return s;
}

std::vector<std::string> StageTexts(const std::vector<HostReport>& reports) {
  std::vector<std::string> out;
  for (const auto& r : reports)
    if (r.kind == 2 && r.text.rfind("Waiting for Reset", 0) != 0) out.push_back(r.text);
  return out;
}

std::vector<std::string> CountdownTexts(const std::vector<HostReport>& reports) {
  std::vector<std::string> out;
  for (const auto& r : reports)
    if (r.kind == 2 && r.text.rfind("Waiting for Reset", 0) == 0) out.push_back(r.text);
  return out;
}

pkg::BuiltPackage SplitSample512() {
  pkg::SampleOptions o;
  o.pageSize = 512;
  o.blockKiB = 16;
  o.dataBlocks = 2;
  o.extraSections = false;
  return pkg::BuildSamplePackage(o);
}

}  // namespace vantrel::testing
