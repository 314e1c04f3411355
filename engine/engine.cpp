#include "engine/engine.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <string>
#include <unordered_map>

#include "brom/brom.h"
#include "engine/download_plan.h"
#include "engine/identify_plan.h"
#include "engine/read_plan.h"
#include "images/carried_images.h"
#include "images/package.h"
#include "images/records.h"
#include "link/report.h"
#include "vantrel/codes.h"
#include "platform/lock.h"

namespace vantrel {
namespace {

// EngineMap and ReportLock: the lock guards the map and every delivery.
platform::RecursiveLock& ReportLock() {
  static platform::RecursiveLock lock;
  return lock;
}
std::unordered_map<uint32_t, CMTKClass*>& EngineMap() {
  static std::unordered_map<uint32_t, CMTKClass*> map;
  return map;
}

struct PackageState {
  std::mutex lock;  // PackageLock
  std::string path;
  bool loaded = false;
  FirmwareBundle out;
};
PackageState& State() {
  static PackageState s;
  return s;
}

}  // namespace

void SetPackagePath(const std::string& path) {
  std::lock_guard<std::mutex> g(State().lock);
  State().path = path;
}

std::string PackagePath() {
  std::lock_guard<std::mutex> g(State().lock);
  return State().path;
}

const FirmwareBundle& Package() { return State().out; }

void LoadPackageOnce(Channel& log) {
  PackageState& s = State();
  std::lock_guard<std::mutex> g(s.lock);
  if (s.loaded) return;
  // A failed load is not retried: the descriptors stay empty and every later
  // Prepare fails on the missing bootloader.
  std::string reason;
  if (!LoadFirmwarePackage(s.path, &s.out, &reason))
    log.Log("Firmware package not loaded: %s\n", reason.c_str());
  s.out.fsCount = kFsSlotCount;
  s.loaded = true;
}

void ResetPackageForTest() {
  PackageState& s = State();
  std::lock_guard<std::mutex> g(s.lock);
  s.loaded = false;
  s.out = FirmwareBundle{};
}

void RegisterEngine(uint32_t com_port, CMTKClass* engine) {
  std::lock_guard<platform::RecursiveLock> g(ReportLock());
  // Keyed by the low 8 bits, as reports are looked up: a session on a port
  // number of 256 or more still hears its reports.
  EngineMap()[com_port & 0xFF] = engine;
}

void ProgressCallback(uint32_t port, uint32_t type, uint32_t percent, const char* text) {
  std::lock_guard<platform::RecursiveLock> g(ReportLock());
  auto it = EngineMap().find(port & 0xFF);
  if (it == EngineMap().end() || !it->second) return;
  CMTKClass* e = it->second;
  switch (type) {
    case kReportComplete: e->OnProgress(2, 100, "Download Complete"); break;
    case kReportError: e->OnProgress(3, 0, "Error"); break;
    case kReportTransfer: e->OnProgress(1, static_cast<int32_t>(percent), ""); break;
    case kReportStep:
    case kReportStage: {
      std::string copy = text ? text : "";
      e->OnProgress(2, static_cast<int32_t>(percent), copy.c_str());
      break;
    }
    default: break;  // type 2 and 6 and above reach nobody
  }
}

CMTKClass::CMTKClass() = default;

CMTKClass::~CMTKClass() {
  Unregister();
  ClosePort();
}

void CMTKClass::Unregister() {
  std::lock_guard<platform::RecursiveLock> g(ReportLock());
  for (auto it = EngineMap().begin(); it != EngineMap().end();) {
    if (it->second == this) it = EngineMap().erase(it);
    else ++it;
  }
}

void CMTKClass::PrepareEngine() {
  channel_.ClearFailure();
  if (channel_.settings().withoutPackage) {
    // Identify and read need the carried agent only.
    channel_.SetPlan({});
    PrepareImages();
    return;
  }
  LoadPackageOnce(channel_);
  if (Package().bootloader.empty()) {
    const std::string why = LastPackageError();
    channel_.Fail(kNoDescriptor, "the firmware package provided no bootloader%s%s",
                  why.empty() ? "" : ": ", why.c_str());
    throw PackageNotLoaded();
  }
  channel_.SetPlan(DownloadPlanSteps(Package(), channel_.settings().verify));
  PrepareImages();
}

int CMTKClass::PrepareImages() {
  std::memset(rom_info_, 0, sizeof rom_info_);
  da1_ = Da1Image();
  da2_ = Da2Image();
  table_a_ = TableAImage();
  table_b_ = TableBImage();
  ParseBloaderInfo(Package().bootloader, bloader_info_);  // a bad block does not stop the download
  return ParseRomInfo(Package().rom, rom_info_);
}

int CMTKClass::OpenLink(uint32_t baud, uint32_t com_port) {
  ClosePort();  // a port still held from an earlier attempt would block this one
  const SessionSettings& s = channel_.settings();
  if (OpenLinkPort(baud, com_port, &port_, s.portDir, s.transcript) != kLinkOk) return kLinkError;
  com_port_ = com_port;
  return kLinkOk;
}

void CMTKClass::LogFailure(const char* stage, int rc) {
  channel_.SetStageFailure(rc, CodeMeaning(rc));
  channel_.Log("%s failed: %d (%s)\n", stage, rc, CodeName(rc));
  channel_.Log("Failure detail: %s\n", channel_.failure().c_str());
  StageEvent end;
  end.stage = kStageFailed;
  end.code = rc;
  end.cause = static_cast<int>(channel_.cause());
  end.detail = channel_.failure().c_str();
  channel_.Event(end);
}

int CMTKClass::Connect() { return ConnectOn(port_.get()); }

int CMTKClass::ConnectOn(platform::ByteLink* port) {
  RegisterEngine(com_port_, this);
  channel_.ClearFailure();
  channel_.ChooseTimeScale(port && port->IsPseudoTerminal(), com_port_);
  Link link(port, &channel_);
  channel_.EnterStage(kStageBootRom);
  boot_result_ = BootConnect(&link, &da1_, &da2_);
  if (boot_result_ != 0) LogFailure("BootROM stage", boot_result_);
  return 1;
}

int CMTKClass::Download() {
  const int rc = DownloadOn(port_.get());
  // The phone resets after the agent stage (or is left in the middle of a
  // dialogue after a failure); the handle is of no further use.
  ClosePort();
  return rc == 0 ? 1 : 0;
}

int CMTKClass::RunAgentStage(platform::ByteLink* port, const char* name,
                             const std::function<int(Link* link, const AgentStageInputs& in)>& plan) {
  SetReportFunction(&ProgressCallback);
  channel_.ClearFailure();
  Link link(port, &channel_);
  const AgentStageInputs in{table_a_, table_b_, bloader_info_, rom_info_};
  // After a failed boot ROM stage no agent can be running, unless only the
  // last echo of the jump was lost: its first byte is waited for briefly.
  WaitLimits limits = channel_.limits();
  const WaitLimits* saved = channel_.own_limits();
  if (boot_result_ != 0) {
    limits.firstAgentByteMs = std::min(limits.firstAgentByteMs, kAgentWaitAfterFailedBootMs);
    channel_.SetLimits(&limits);
  }
  const int rc = plan(&link, in);
  channel_.SetLimits(saved);
  if (rc != 0) LogFailure(name, rc);
  return rc;
}

int CMTKClass::DownloadOn(platform::ByteLink* port) {
  if (channel_.settings().withoutPackage) {
    channel_.ClearFailure();
    const int rc = channel_.Fail(kNoDescriptor, "the session was prepared without a package: it can identify "
                                                "the phone or read its flash, not download");
    LogFailure("Download", rc);
    return rc;
  }
  greeting_ = {};
  return RunAgentStage(port, "Download", [this](Link* h, const AgentStageInputs& in) {
    return AgentRun(h, in, Package(), com_port_, &greeting_);
  });
}

int CMTKClass::Identify(PhoneIdentity* out) {
  const int rc = IdentifyOn(port_.get(), out);
  ClosePort();
  return rc == 0 ? 1 : 0;
}

int CMTKClass::IdentifyOn(platform::ByteLink* port, PhoneIdentity* out) {
  channel_.SetPlan(IdentifyPlanSteps());
  const FirmwareBundle* fw = channel_.settings().withoutPackage ? nullptr : &Package();
  return RunAgentStage(port, "Identify", [&](Link* h, const AgentStageInputs& in) {
    return IdentifyRun(h, in, fw, com_port_, out);
  });
}

int CMTKClass::Read(const ReadRequest& request) {
  const int rc = ReadOn(port_.get(), request);
  ClosePort();
  return rc == 0 ? 1 : 0;
}

int CMTKClass::ReadOn(platform::ByteLink* port, const ReadRequest& request) {
  channel_.SetPlan(ReadPlanSteps(request));
  return RunAgentStage(port, "Read", [&](Link* h, const AgentStageInputs& in) {
    return ReadRun(h, in, request, com_port_);
  });
}

void CMTKClass::ClosePort() { port_.reset(); }

}  // namespace vantrel
