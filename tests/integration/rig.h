#pragma once
// An end-to-end rig: a package file built by the package builder, the
// simulated phone on a real pseudo-terminal reached through a temporary port
// directory, and a session of the plug-in driven as the host drives it, on a
// manual clock so the plug-in's fixed pauses take no time.
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "boundary/session.h"
#include "link/wait.h"
#include "platform/clock.h"
#include "sim/check/flash_check.h"
#include "sim/phone.h"
#include "tests/support/pty_pair.h"
#include "tests/support/recording_host.h"
#include "tools/pkg/builder.h"

namespace vantrel::testing {

class Rig {
 public:
  explicit Rig(uint32_t page_size);
  ~Rig();

  // Writes the package to a file and makes it the one the next session loads.
  void UsePackage(const pkg::BuiltPackage& p);
  // A new simulated phone on the rig's flash; its port appears link_delay_ms
  // after this call (by default shortly after the session starts waiting).
  void StartPhone(sim::PhoneConfig config = {}, unsigned com = 40, unsigned link_delay_ms = 100);
  // NewDll, Prepare, Connect, Download, DeleteDll; returns Download's result
  // (or -1 when Prepare failed). The reports go to `host`.
  // `setup`, when given, sees the session before Prepare (to route its log).
  int RunSession(RecordingHost& host, int32_t port_index = 0,
                 const std::function<void(CBizDownload&)>& setup = {});
  // The same with `plan` (an identify or read) in place of Download.
  int RunPlan(RecordingHost& host, const std::function<int(CBizDownload&)>& plan,
              const std::function<void(CBizDownload&)>& setup = {}, int32_t port_index = 0);
  // The failure the last RunSession's session recorded (code 0: none).
  // Several sessions may run on one rig at once: the last to end wins.
  int failure_code() const {
    std::lock_guard<std::mutex> g(failure_mu_);
    return failure_code_;
  }
  int boot_code() const {  // the boot ROM stage's result
    std::lock_guard<std::mutex> g(failure_mu_);
    return boot_code_;
  }
  std::string failure() const {
    std::lock_guard<std::mutex> g(failure_mu_);
    return failure_;
  }
  // Checks the flash against the package last used.
  flashcheck::CheckReport Check() const;

  sim::Flash& flash() { return *flash_; }
  void set_flash(std::shared_ptr<sim::Flash> f) { flash_ = std::move(f); }
  std::shared_ptr<sim::Flash> flash_ptr() { return flash_; }
  sim::Phone& phone() { return *phone_; }
  const pkg::BuiltPackage& package() const { return package_; }
  const std::string& package_path() const { return package_path_; }
  PortDir& ports() { return ports_; }

 private:
  PortDir ports_;
  platform::ManualClock clock_;
  platform::ScopedClock scope_;
  WaitLimits saved_limits_;
  std::shared_ptr<sim::Flash> flash_;
  std::unique_ptr<sim::Phone> phone_;
  pkg::BuiltPackage package_;
  std::string package_path_;
  mutable std::mutex failure_mu_;
  int failure_code_ = 0, boot_code_ = 0;
  std::string failure_;
};

// Clears bits of one byte of the info record of every info block on the
// flash (programming only clears bits, as on real NAND); true when a bit
// changed.
bool ClearRecordBits(sim::Flash& flash, uint32_t record_offset, uint8_t mask);

// Home block of data block i of an FS image (its normal entry word >> 8).
uint32_t HomeBlock(const std::vector<uint8_t>& fs_image, uint32_t i);
// Reserved blocks with the given tag, in list order.
std::vector<uint32_t> ReservedBlocks(const std::vector<uint8_t>& fs_image, uint32_t tag);
uint32_t DataBlockCount(const std::vector<uint8_t>& fs_image);

// The stage and step texts of a whole download with `fs_images` FS images.
std::vector<std::string> ExpectedStages(size_t fs_images);
// The texts of the kind-2 reports, in order, without the reset countdown.
std::vector<std::string> StageTexts(const std::vector<HostReport>& reports);
// The "Waiting for Reset n sec.." reports.
std::vector<std::string> CountdownTexts(const std::vector<HostReport>& reports);
// The 512-byte-page sample: one FS section split into two images that share
// one info area, two data blocks each, no extra sections.
pkg::BuiltPackage SplitSample512();

}  // namespace vantrel::testing
