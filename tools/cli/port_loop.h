#pragma once
// An unattended station: each port flashes every phone plugged into it, one
// after another, each with a session of its own, and every phone's result
// goes to a log the moment it is known.
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "tools/cli/station.h"

namespace vantrel::cli {

// The counts of the whole run and the result log (one JSON object per line,
// appended; each line goes out in one write, so a crash loses at most the
// line being written).
class StationTally {
 public:
  // `max_phones` 0: no limit. `rom_record_id`: the identifier text of the
  // package's ROM record, which a download leaves on the phone.
  StationTally(unsigned max_phones, std::string package_sha256, std::string rom_record_id);
  ~StationTally();
  // Opens the log for appending; false with *error naming the cause.
  bool OpenLog(const std::string& path, std::string* error);

  // A port may start the phone plugged into it: false once the run has as
  // many as it may.
  bool Claim();
  // Every phone the run may take is claimed: ports without one stop waiting.
  bool Full() const;
  // A phone's end: counted and logged. `started`/`ended`: seconds since the
  // epoch. Returns "" or, when the log could not take the line (a full
  // disk), what to tell the operator: the flashing goes on.
  std::string Record(const PhoneState& s, double started, double ended);

  unsigned flashed() const;
  unsigned passed() const;
  std::string Header() const;  // "12 phones: 11 passed, 1 failed, yield 92 %, 0:41 per phone"

  // One log line for a phone's end (no newline), for the log and its tests.
  static std::string LogLine(const PhoneState& s, double started, double ended, const std::string& package_sha256,
                             const std::string& rom_record_id);

 private:
  const unsigned max_;
  const std::string package_sha256_, rom_record_id_;
  std::atomic<unsigned> claimed_{0};
  mutable std::mutex mu_;  // guards the fields below and the log's writes
  unsigned flashed_ = 0, passed_ = 0;
  double seconds_ = 0;  // of the phones flashed
  int log_fd_ = -1;
  std::string log_path_;
};

// One port's loop, on its own thread: wait for a phone, flash it, show the
// verdict, wait until that phone has gone (a phone that stays after a
// failure is shown as "unplug the phone"), and wait for the next. A port
// device that is missing or vanishes is waited for again.
class PortLoop {
 public:
  PortLoop(PluginHost& host, Display& display, StationTally& tally, std::string label, std::string device,
           int32_t index, std::string port_dir, StationOptions options);
  ~PortLoop();

  void Start();
  void Join();
  // Ctrl-C: no new phone; a phone being flashed stops at its next safe point.
  void Interrupt();
  PhoneState State() const;
  bool Ended() const { return ended_; }

 private:
  void Run();
  bool WaitForPhone();                  // false when interrupted
  void WaitUntilGone(uint64_t device);  // the phone just flashed
  void Show(Stage stage, const std::string& step, const std::string& message = {});

  PluginHost& host_;
  Display& display_;
  StationTally& tally_;
  const std::string label_, device_;
  const int32_t index_;
  const std::string port_dir_;
  const StationOptions options_;
  std::atomic<bool> stop_{false}, ended_{false};
  mutable std::mutex mu_;  // guards run_ and idle_
  std::unique_ptr<PhoneRun> run_;
  PhoneState idle_;  // shown while no phone is being flashed
  std::thread thread_;
};

// The device behind a path (links followed), as one number; 0 when absent.
uint64_t DeviceIdentity(const std::string& path);

}  // namespace vantrel::cli
