#pragma once
// One phone of a station run: a session driven on its own thread exactly as
// the closed host drives it (NewDll with its port index, Prepare, Timing,
// Connect, Download, Timing, DeleteDll), its reports turned into a state the
// display shows, and its end turned into a result with a cause and a remedy.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tools/cli/exit_codes.h"
#include "tools/cli/outcome.h"
#include "tools/cli/phone_state.h"
#include "tools/cli/plugin_host.h"

namespace vantrel::cli {

class Display;

struct StationOptions {
  double wait_seconds = -1;  // < 0: wait for the port until interrupted
  unsigned mirror_delay_ms = 100;
  double answer_limit_seconds = 0;  // > 0: the sessions' limit for each answer of the agent
  int32_t time_scale = 1;           // > 1: faster fixed pauses (simulated phones only)
  std::string transcript;           // the wire's record ("%u": the COM number); empty: none
  bool verify = false;              // the download reads back every FS block it wrote
  // A plan run after the boot ROM stage in place of the download (identify,
  // read back): true with the message of its success, else false with the
  // session's failure recorded, or with a message of its own when what
  // failed was on this side (the output file). Null: the download.
  std::function<bool(CInterfaceTemplate*, std::string* done)> plan;
  // The plan's own ending for a failure, when it has one (see PlanCommand).
  std::function<bool(const Failure& f, Ending* ending)> plan_ending;
  bool without_package = false;     // the plan needs no package
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
  void Finish(const Ending& e, int code) { Finish(e.cls, code, e.message); }
  // The steps of Run.
  bool Configure(CInterfaceTemplate* s);
  void SetStep(Stage stage, const char* step);
  void ConnectAndDownload(CInterfaceTemplate* s);
  void EndSession();
  // The end of a failed stage, told by what the plug-in's link saw.
  void FinishFailedBoot(CInterfaceTemplate* s, const std::string& device);
  void SetCause(int cause);
  void NotePhoneSeen(CInterfaceTemplate* s);
  void FinishFailedDownload(CInterfaceTemplate* s, const std::string& device);
  bool ApplyEvent(const VantrelEvent& e);  // under mu_
  std::string Flashed() const;  // the message of a finished download
  static void LogThunk(void* user, const char* text);
  static void EventThunk(void* user, const VantrelEvent* event);
  void OnEvent(const VantrelEvent& e);

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
