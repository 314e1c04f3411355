#pragma once
// The download engine: owns one download's image descriptors, the records
// parsed from the package and the open port; runs the boot ROM stage when the
// session connects and the agent stage when it downloads. Reports of the agent
// stage come back through ProgressCallback, which finds the engine by its COM
// port number in the process-wide EngineMap.
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>

#include "agent/agent.h"
#include "images/firmware.h"
#include "images/image_desc.h"
#include "link/channel.h"
#include "link/serial.h"
#include "platform/serial_port.h"

namespace vantrel {

class Link;
struct AgentStageInputs;
struct PhoneIdentity;
struct ReadRequest;

class CMTKClass {
 public:
  CMTKClass();
  // Removes this engine from EngineMap (under ReportLock) and closes its port,
  // so a report can never reach a destroyed engine and no port stays held.
  virtual ~CMTKClass();
  CMTKClass(const CMTKClass&) = delete;
  CMTKClass& operator=(const CMTKClass&) = delete;

  virtual void OnProgress(int32_t, int32_t, const char*) {}
  virtual void OnMessage(int32_t, int32_t, const char*) {}

  // Loads the package once per process, then sets up the carried images and
  // the records. Throws PackageNotLoaded when the package gave no bootloader.
  void PrepareEngine();
  int PrepareImages();
  int OpenLink(uint32_t baud, uint32_t com_port);  // 0 or 3
  int Connect();                                   // always 1
  int Download();                                  // 1 when the agent stage succeeded
  // The two stages on a given byte link (Connect and Download run them on
  // the engine's port): the boot ROM stage's result is kept, the agent
  // stage's returned; both log a failure with its detail.
  int ConnectOn(platform::ByteLink* port);
  int DownloadOn(platform::ByteLink* port);
  // The plans beside the download, run in its place after Connect (the
  // front end's extension exports): 1 when they succeeded. Like Download they
  // end with the watchdog command and release the port.
  int Identify(PhoneIdentity* out);
  int Read(const ReadRequest& request);
  int IdentifyOn(platform::ByteLink* port, PhoneIdentity* out);
  int ReadOn(platform::ByteLink* port, const ReadRequest& request);
  // Releases the port (the engine's own addition: the session ends with no port held).
  void ClosePort();

  platform::SerialPort* port() const { return port_.get(); }
  uint32_t com_port() const { return com_port_; }
  const uint8_t* bloader_info() const { return bloader_info_; }
  const uint8_t* rom_info() const { return rom_info_; }
  const ImageDesc& da1() const { return da1_; }
  const ImageDesc& da2() const { return da2_; }
  // The session's channel: its trace, reports, wait limits, failure detail.
  Channel& channel() { return channel_; }
  const Channel& channel() const { return channel_; }
  // The boot ROM stage's result of the last Connect (Connect itself returns 1).
  int boot_result() const { return boot_result_; }
  // What the agent reported when the last download connected to it (all
  // zero until one did): a front end's record of which phone it flashed.
  const AgentGreeting& greeting() const { return greeting_; }

 protected:
  void Unregister();

 private:
  // Logs "<stage> failed: <code> (<name>)" and the failure detail.
  void LogFailure(const char* stage, int rc);
  // Runs one agent-stage plan on `port` with the session's reports, limits
  // and failure record; a failure is logged under `name`.
  int RunAgentStage(platform::ByteLink* port, const char* name,
                    const std::function<int(Link* link, const AgentStageInputs& in)>& plan);

 private:
  ImageDesc da1_, da2_, table_a_, table_b_;
  uint8_t bloader_info_[136] = {};
  uint8_t rom_info_[352] = {};
  std::unique_ptr<platform::SerialPort> port_;
  uint32_t com_port_ = 0;
  int boot_result_ = 0;
  AgentGreeting greeting_{};
  CSerial serial_;  // kept for the object's layout; the download never uses it
  Channel channel_;
};

// How long Download waits for the agent's first byte when the boot ROM stage
// of the same session failed.
inline constexpr uint32_t kAgentWaitAfterFailedBootMs = 5000;

struct PackageNotLoaded : std::runtime_error {
  PackageNotLoaded() : std::runtime_error("the firmware package provided no bootloader") {}
};

// The engine of one session: forwards its reports to its owner.
template <class Owner>
class CMTKClassEx : public CMTKClass {
 public:
  ~CMTKClassEx() override {
    Unregister();  // before the owner pointer goes, so no report is in flight
    owner_ = nullptr;
  }
  void OnProgress(int32_t kind, int32_t percent, const char* text) override {
    if (owner_) owner_->ReportProgress(kind, percent, text);
  }
  void OnMessage(int32_t kind, int32_t value, const char* text) override {
    if (owner_) owner_->ReportMessage(kind, value, text);
  }
  void set_owner(Owner o) { owner_ = o; }
  Owner owner() const { return owner_; }

 private:
  Owner owner_ = nullptr;
};

// The protocol layer's report target: routes (port, type, percent, text) to
// the engine registered for the port's low 8 bits, under ReportLock.
void ProgressCallback(uint32_t port, uint32_t type, uint32_t percent, const char* text);

// Registers an engine for a COM port number (what Connect does first).
void RegisterEngine(uint32_t com_port, CMTKClass* engine);

// Process-wide package state: the firmware of the one package load.
const FirmwareBundle& Package();
// Loads the package once per process; a failure is logged through `log`
// (the calling session's channel).
void LoadPackageOnce(Channel& log);
// The path PreviousLoad stored.
void SetPackagePath(const std::string& path);
std::string PackagePath();
// Tests only: forget the loaded package so another can be loaded.
void ResetPackageForTest();

}  // namespace vantrel
