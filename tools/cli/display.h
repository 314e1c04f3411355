#pragma once
// What a station run shows. Progress goes to standard error: on a terminal
// one live line per phone, redrawn in place, with notes and (with -v) trace
// lines scrolling above them; off a terminal plain lines, one per stage and
// per 10 % of a phone's download, no carriage returns. The outcome (the
// summary table and the last line) goes to standard output, so that a
// redirected run keeps it. --json: only JSON on standard output, one object
// a line (fields in the manual page). -q: only the outcome.
// Every method may be called from any phone's thread.
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "tools/cli/layout.h"
#include "tools/cli/phone_state.h"

namespace vantrel::cli {

enum class DisplayMode { kLive, kLines, kJson, kQuiet };

class Display {
 public:
  Display(DisplayMode mode, bool verbose);
  ~Display();

  // Live mode: the phones whose lines are redrawn, read through `states`.
  void StartLive(std::function<std::vector<PhoneState>()> states);
  // Live mode: a line drawn above the phones' (a station's counts).
  void SetHeader(std::function<std::string()> header) { header_ = std::move(header); }
  void StopLive();
  void Wake();  // something finished: redraw soon

  void Message(const std::string& line);  // a run-wide note ("sample package: ...")
  void Warning(const std::string& line);  // as Message, but shown with -q too: something was lost
  void Note(const PhoneState& s, const std::string& line);
  void Stage(const PhoneState& s);
  void Progress(const PhoneState& s);
  void Report(const PhoneState& s, int kind, int percent, const std::string& text);
  void Trace(const PhoneState& s, const std::string& text);
  void Result(const PhoneState& s);
  // The table and the final line (text or JSON); after StopLive.
  void Summary(const std::vector<PhoneState>& phones, int exit_code, const std::string& verdict);

  DisplayMode mode() const { return mode_; }

 private:
  void Print(const std::string& line);  // above the live block
  void Redraw();
  void EraseLocked();
  void DrawLocked();
  void Json(const std::string& event, const PhoneState& s, const nlohmann::json& fields);
  static nlohmann::json PhoneEnd(const PhoneState& s);  // a phone's end in --json

  const DisplayMode mode_;
  const bool verbose_;
  std::mutex mu_;
  std::condition_variable cv_;
  std::function<std::vector<PhoneState>()> states_;
  std::function<std::string()> header_;
  size_t drawn_ = 0;
  bool live_stop_ = false, dirty_ = false;
  std::thread live_;
  std::map<std::string, int> last_tenth_;  // per phone, the last 10 % step printed
};

}  // namespace vantrel::cli
