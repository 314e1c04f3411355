#include "tools/cli/display.h"

#include <sys/ioctl.h>

#include <cmath>

#include <nlohmann/json.hpp>

namespace vantrel::cli {

namespace {

std::string Prefix(const PhoneState& s) { return "[" + s.label + "] "; }

// The terminal's columns on `fd`, or 0 when it is no terminal.
size_t TerminalWidth(int fd) {
  winsize ws{};
  return ::ioctl(fd, TIOCGWINSZ, &ws) == 0 ? ws.ws_col : 0;
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

void Display::DrawLocked() {
  if (!states_) return;
  // A line that wraps would break the cursor-up count: cut to the width.
  const size_t cols = std::max<size_t>(TerminalWidth(2), 1);
  const auto states = states_();
  const size_t head = HeadWidth(states);
  if (header_) std::fprintf(stderr, "%s\033[K\n", header_().substr(0, cols).c_str());
  for (const auto& s : states) std::fprintf(stderr, "%s\033[K\n", LiveLine(s, cols, head).c_str());
  drawn_ = states.size() + (header_ ? 1 : 0);
  std::fflush(stderr);
}

void Display::Print(const std::string& line) {
  std::lock_guard<std::mutex> g(mu_);
  const bool live = mode_ == DisplayMode::kLive && live_.joinable() && !live_stop_;
  if (live) EraseLocked();
  std::fprintf(stderr, "%s\n", line.c_str());
  if (live) DrawLocked();
  std::fflush(stderr);
}

void Display::Json(const std::string& event, const PhoneState& s, const std::string& extra) {
  nlohmann::json j;
  j["event"] = event;
  j["phone"] = s.label;
  j["com"] = s.com;
  j["stage"] = StageName(s.stage);
  j["time"] = std::round(s.seconds * 1000) / 1000;
  if (!extra.empty()) j.update(nlohmann::json::parse(extra));
  std::lock_guard<std::mutex> g(mu_);
  std::printf("%s\n", j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
  std::fflush(stdout);
}

void Display::Message(const std::string& line) {
  if (mode_ == DisplayMode::kJson) {
    nlohmann::json j{{"event", "note"}, {"text", line}};
    std::lock_guard<std::mutex> g(mu_);
    std::printf("%s\n", j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
    std::fflush(stdout);
  } else if (mode_ != DisplayMode::kQuiet) {
    Print(line);
  }
}

void Display::Note(const PhoneState& s, const std::string& line) {
  if (mode_ == DisplayMode::kJson) {
    Json("note", s, nlohmann::json{{"text", line}}.dump());
  } else if (mode_ != DisplayMode::kQuiet) {
    Print(Prefix(s) + line);
  }
}

void Display::Stage(const PhoneState& s) {
  switch (mode_) {
    case DisplayMode::kJson: {
      nlohmann::json j{{"step", s.step}, {"image", s.image}, {"images", s.images}};
      Json("stage", s, j.dump());
      break;
    }
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
  if (mode_ != DisplayMode::kLines || s.stage != Stage::kImage) return;
  int tenth = s.overall() / 10;
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
  if (mode_ != DisplayMode::kJson) return;
  nlohmann::json j{{"kind", kind}, {"percent", percent}, {"text", text}};
  Json("report", s, j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
}

void Display::Trace(const PhoneState& s, const std::string& text) {
  if (!verbose_) return;
  std::string t = text;
  while (!t.empty() && (t.back() == '\n' || t.back() == '\r')) t.pop_back();
  if (mode_ == DisplayMode::kJson) {
    Json("trace", s, nlohmann::json{{"text", t}}.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
  } else if (mode_ != DisplayMode::kQuiet) {
    Print(Prefix(s) + t);
  }
}

void Display::Result(const PhoneState& s) {
  if (mode_ == DisplayMode::kJson) {
    nlohmann::json j{{"result", s.result == kExitOk ? "ok" : s.result == kExitInterrupted ? "interrupted" : "failed"},
                     {"exit", static_cast<int>(s.result)},
                     {"code", s.code},
                     {"name", s.code ? ResultName(s.code) : ""},
                     {"message", s.message},
                     {"bytes", s.done_bytes}};
    Json(s.result == kExitOk ? "phone" : "failure", s, j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
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
      list.push_back({{"phone", s.label},
                      {"com", s.com},
                      {"result", s.result == kExitOk ? "ok" : s.result == kExitInterrupted ? "interrupted" : "failed"},
                      {"exit", static_cast<int>(s.result)},
                      {"code", s.code},
                      {"name", s.code ? ResultName(s.code) : ""},
                      {"message", s.message},
                      {"time", std::round(s.seconds * 1000) / 1000},
                      {"bytes", s.done_bytes}});
    }
    nlohmann::json j{{"event", "result"}, {"result", exit_code == 0 ? "ok" : "failed"}, {"exit", exit_code},
                     {"message", verdict}, {"phones", list}};
    std::lock_guard<std::mutex> g(mu_);
    std::printf("%s\n", j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
    std::fflush(stdout);
    return;
  }
  const std::string table = SummaryTable(phones, TerminalWidth(2));
  std::lock_guard<std::mutex> g(mu_);
  std::fputs(table.c_str(), stderr);
  std::fprintf(stderr, "%s\n", verdict.c_str());
  std::fflush(stderr);
}

}  // namespace vantrel::cli
