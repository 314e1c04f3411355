#include "tools/cli/display.h"

#include <sys/ioctl.h>

#include <algorithm>
#include <cmath>

#include "tools/cli/interrupt.h"
#include "tools/cli/json_out.h"

namespace vantrel::cli {

namespace {

std::string Prefix(const PhoneState& s) { return "[" + s.label + "] "; }

// The terminal's columns on `fd`, or 0 when it is no terminal.
size_t TerminalWidth(int fd) {
  winsize ws{};
  return ::ioctl(fd, TIOCGWINSZ, &ws) == 0 ? ws.ws_col : 0;
}

// A stream whose reader went away ends the run as Ctrl-C does (SIGPIPE is
// ignored during a run, so the write fails instead).
void Flushed(std::FILE* stream) {
  if (std::fflush(stream) == 0 && !std::ferror(stream)) return;
  std::clearerr(stream);
  interrupt::Request(stream == stdout ? "standard output was closed" : "standard error was closed");
}

}  // namespace

Display::Display(DisplayMode mode, bool verbose) : mode_(mode), verbose_(verbose) {}

Display::~Display() { StopLive(); }

void Display::StartLive(std::function<std::vector<PhoneState>()> states) {
  if (mode_ != DisplayMode::kLive) return;
  states_ = std::move(states);
  live_ = std::thread([this] {
    std::unique_lock<std::mutex> l(mu_);
    while (!live_stop_) {
      cv_.wait_for(l, std::chrono::milliseconds(200), [this] { return live_stop_ || dirty_; });
      dirty_ = false;
      EraseLocked();
      DrawLocked();
      // Coalesce bursts of reports into at most five redraws a second.
      cv_.wait_for(l, std::chrono::milliseconds(200), [this] { return live_stop_; });
    }
    EraseLocked();
    DrawLocked();  // the final state stays on the screen
    drawn_ = 0;
  });
}

void Display::StopLive() {
  {
    std::lock_guard<std::mutex> g(mu_);
    live_stop_ = true;
  }
  cv_.notify_all();
  if (live_.joinable()) live_.join();
}

void Display::Wake() {
  {
    std::lock_guard<std::mutex> g(mu_);
    dirty_ = true;
  }
  cv_.notify_all();
}

void Display::EraseLocked() {
  if (drawn_ == 0) return;
  std::fprintf(stderr, "\033[%zuA\r\033[J", drawn_);
  drawn_ = 0;
}

namespace {
// On a terminal a port's verdict shows in colour: red for a phone that
// failed, green for one that passed (NO_COLOR, as other tools honour it,
// turns this off).
const char* VerdictColour(const PhoneState& s) {
  static const bool off = std::getenv("NO_COLOR") && *std::getenv("NO_COLOR");
  if (off) return nullptr;
  if (s.stage == Stage::kFailed) return "\033[31m";
  if (s.stage == Stage::kDone && s.result == kExitOk) return "\033[32m";
  return nullptr;
}
}  // namespace

void Display::DrawLocked() {
  if (!states_) return;
  // A line that wraps would break the cursor-up count: laid out for the width.
  const size_t cols = std::max<size_t>(TerminalWidth(2), 1);
  const auto states = states_();
  const size_t head = HeadWidth(states);
  if (header_) std::fprintf(stderr, "%s\033[K\n", header_().substr(0, cols).c_str());
  for (const auto& s : states) {
    const char* colour = VerdictColour(s);
    std::fprintf(stderr, "%s%s%s\033[K\n", colour ? colour : "", LiveLine(s, cols, head).c_str(), colour ? "\033[0m" : "");
  }
  drawn_ = states.size() + (header_ ? 1 : 0);
  Flushed(stderr);
}

void Display::Print(const std::string& line) {
  std::lock_guard<std::mutex> g(mu_);
  const bool live = mode_ == DisplayMode::kLive && live_.joinable() && !live_stop_;
  if (live) EraseLocked();
  std::fprintf(stderr, "%s\n", line.c_str());
  if (live) DrawLocked();
  Flushed(stderr);
}

void Display::Json(const std::string& event, const PhoneState& s, const nlohmann::json& fields) {
  nlohmann::json j{{"event", event}, {"phone", s.label}, {"com", s.com}, {"stage", StageName(s.stage)},
                   {"time", std::round(s.seconds * 1000) / 1000}};
  j.update(fields);
  json_out::Write(json_out::Line(j));
}

void Display::Message(const std::string& line) {
  if (mode_ == DisplayMode::kJson) json_out::Write(json_out::Line({{"event", "note"}, {"text", line}}));
  else if (mode_ != DisplayMode::kQuiet) Print(line);
}

void Display::Warning(const std::string& line) {
  if (mode_ == DisplayMode::kQuiet) Print(line);
  else Message(line);
}

void Display::Note(const PhoneState& s, const std::string& line) {
  if (mode_ == DisplayMode::kJson) Json("note", s, {{"text", line}});
  else if (mode_ != DisplayMode::kQuiet) Print(Prefix(s) + line);
}

void Display::Stage(const PhoneState& s) {
  switch (mode_) {
    case DisplayMode::kJson: Json("stage", s, {{"step", s.step}, {"image", s.image}, {"images", s.images}}); break;
    case DisplayMode::kLines:
      if (s.stage != Stage::kWaiting) Print(StageLine(s));  // the wait has its own announcement
      break;
    case DisplayMode::kLive: Wake(); break;
    case DisplayMode::kQuiet: break;
  }
}

void Display::Progress(const PhoneState& s) {
  if (mode_ == DisplayMode::kLive) {
    Wake();
    return;
  }
  // Off a terminal: a line per tenth of the download, or of a read.
  const bool reading = s.stage == Stage::kReading && s.step == "reading the flash";
  if (mode_ != DisplayMode::kLines || (s.stage != Stage::kImage && !reading)) return;
  int tenth = (reading ? s.percent : s.overall()) / 10;
  {
    std::lock_guard<std::mutex> g(mu_);
    int& last = last_tenth_[s.label];
    if (tenth <= last) return;
    last = tenth;
  }
  double left = s.rate > 0 ? (s.total_bytes - s.done_bytes) / s.rate : -1;
  Print(Prefix(s) + std::to_string(tenth * 10) + "% (" + FormatBytes(s.done_bytes) + " of " +
        FormatBytes(s.total_bytes) + ", " + FormatBytes(s.rate) + "/s, " +
        (left < 0 ? "-:--" : FormatDuration(left)) + " left)");
}

void Display::Report(const PhoneState& s, int kind, int percent, const std::string& text) {
  if (mode_ == DisplayMode::kJson) Json("report", s, {{"kind", kind}, {"percent", percent}, {"text", text}});
}

void Display::Trace(const PhoneState& s, const std::string& text) {
  if (!verbose_) return;
  std::string t = text;
  while (!t.empty() && (t.back() == '\n' || t.back() == '\r')) t.pop_back();
  if (mode_ == DisplayMode::kJson) {
    Json("trace", s, {{"text", t}});
  } else if (mode_ != DisplayMode::kQuiet && t.find_first_not_of('.') != std::string::npos) {
    // A bare dot is the plug-in's tick for a packet sent: the progress lines
    // say that better.
    Print(Prefix(s) + t);
  }
}

nlohmann::json Display::PhoneEnd(const PhoneState& s) {
  return {{"result", ExitClassName(s.result)}, {"exit", static_cast<int>(s.result)}, {"code", s.code},
          {"name", s.code ? ResultName(s.code) : ""}, {"message", s.message}, {"bytes", s.done_bytes}};
}

void Display::Result(const PhoneState& s) {
  if (mode_ == DisplayMode::kJson) {
    Json(s.result == kExitOk ? "phone" : "failure", s, PhoneEnd(s));
  } else if (mode_ == DisplayMode::kLines) {
    Print(Prefix(s) + (s.result == kExitOk ? "done" : (s.result == kExitInterrupted ? "" : "FAILED: ") + s.message));
  } else if (mode_ == DisplayMode::kLive) {
    if (s.result != kExitOk) Print(Prefix(s) + (s.result == kExitInterrupted ? "" : "FAILED: ") + s.message);
    Wake();
  }
}

void Display::Summary(const std::vector<PhoneState>& phones, int exit_code, const std::string& verdict) {
  if (mode_ == DisplayMode::kJson) {
    nlohmann::json list = nlohmann::json::array();
    for (const auto& s : phones) {
      nlohmann::json p{{"phone", s.label}, {"com", s.com}, {"time", std::round(s.seconds * 1000) / 1000}};
      p.update(PhoneEnd(s));
      list.push_back(p);
    }
    json_out::WriteResult(exit_code, verdict, {{"phones", list}});
    return;
  }
  // The outcome goes to standard output, so that `vantrel flash ... > log`
  // keeps it; the progress before it stays on standard error.
  std::string text = SummaryTable(phones, TerminalWidth(1)) + verdict + "\n";
  std::lock_guard<std::mutex> g(mu_);
  // The blank line parts the table from the progress above it, which is on
  // standard error: a log of standard output starts with the table.
  if (!text.empty() && text[0] == '\n') {
    text.erase(0, 1);
    if (mode_ != DisplayMode::kQuiet) std::fputc('\n', stderr);
  }
  std::fflush(stderr);
  std::fputs(text.c_str(), stdout);
  Flushed(stdout);
}

}  // namespace vantrel::cli
