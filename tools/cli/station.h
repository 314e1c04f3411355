#pragma once
// One phone of a station run: a session driven on its own thread exactly as
// the closed host drives it (NewDll with its port index, Prepare, Timing,
// Connect, Download, Timing, DeleteDll), its reports turned into a state the
// display shows, and its end turned into a result with a cause and a remedy.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tools/cli/exit_codes.h"
#include "tools/cli/plugin_host.h"

namespace vantrel::cli {

class Display;


enum class Stage { kStarting, kWaiting, kBootRom, kAgent, kImage, kCountdown, kDone, kFailed, kInterrupted };

// What the display reads; copied under the phone's lock.
struct PhoneState {
  std::string label;   // the port as the user gave it
  std::string device;  // the path watched
  unsigned com = 40;
  Stage stage = Stage::kStarting;
  std::string step;    // the image or step now running
  int image = 0, images = 0;
  int percent = 0;     // of the running transfer
  uint64_t done_bytes = 0, total_bytes = 0;
  double rate = 0;     // bytes per second since the first transfer began
  double transfer_since = -1;  // session seconds when the first transfer began
  double seconds = 0;  // since the session started
  int countdown = 0;   // seconds left of the reset wait
  // The info-area read-back before an FS image: blocks read of the area's
  // (total 0 when none is running).
  unsigned readback_done = 0, readback_total = 0;
  // The end.
  ExitCode result = kExitOk;
  int code = 0;
  std::string message;  // cause and remedy, one line
  int overall() const { return total_bytes ? static_cast<int>(done_bytes * 100 / total_bytes) : 0; }
};

struct StationOptions {
  double wait_seconds = -1;  // < 0: wait for the port until interrupted
  unsigned mirror_delay_ms = 100;
  double answer_limit_seconds = 0;  // > 0: the sessions' limit for each answer of the agent
  int32_t time_scale = 1;           // > 1: faster fixed pauses (simulated phones only)
  std::string transcript;           // the wire's record ("%u": the COM number); empty: none
};

class PhoneRun : public HostCallback {
 public:
  PhoneRun(PluginHost& host, Display& display, std::string label, std::string device, int32_t index,
           std::string port_dir, StationOptions options);
  ~PhoneRun();

  void Start();
  void Join();
  bool Finished() const { return finished_; }
  // Ctrl-C: stop at the next safe point. Returns at once.
  void Interrupt();
  PhoneState State() const;

  void VANTREL_SLOT Slot0(unsigned) override {}
  int32_t VANTREL_SLOT OnProgress(int32_t kind, int32_t percent, const char* text) override;
  int32_t VANTREL_SLOT OnMessage(int32_t kind, int32_t value, const char* text) override;

 private:
  void Run();
  void Mirror();  // keeps port_dir/COMn linked to the device while it exists
  void StopSession();
  void Finish(ExitCode cls, int code, const std::string& message);
  // The end of a failed stage, told by what the plug-in's link saw.
  void FinishFailedBoot(CInterfaceTemplate* s, const std::string& device);
  void FinishFailedDownload(CInterfaceTemplate* s, const std::string& device);
  bool ApplyEvent(const VantrelEvent& e);  // under mu_
  static void LogThunk(void* user, const char* text);
  static void EventThunk(void* user, const VantrelEvent* event);
  void OnEvent(const VantrelEvent& e);
  std::string FlashedMessage() const;

  PluginHost& host_;
  Display& display_;
  const int32_t index_;
  const std::string port_dir_, link_;
  const StationOptions options_;

  mutable std::mutex mu_;  // guards state_ and the fields below it
  PhoneState state_;
  std::chrono::steady_clock::time_point start_, transfer_start_;
  bool transfer_started_ = false;
  bool stopped_by_us_ = false, wait_expired_ = false, interrupted_ = false;
  double ended_at_ = -1;  // session seconds at the end, so the summary's time stands still
  // How the reset wait ended (VANTREL_RESET_WAIT_*; -1: no word from the
  // library) and after how many of its seconds.
  int reset_end_ = -1, reset_after_ = 0;

  std::mutex session_mu_;  // a Stop or Cancel never meets DeleteDll
  CInterfaceTemplate* session_ = nullptr;

  std::atomic<bool> finished_{false}, mirror_stop_{false};
  std::mutex mirror_mu_;
  std::condition_variable mirror_cv_;
  std::thread thread_, mirror_;
};

}  // namespace vantrel::cli
