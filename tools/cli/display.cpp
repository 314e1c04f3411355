#include "tools/cli/display.h"

#include <sys/ioctl.h>

#include <cmath>

#include <nlohmann/json.hpp>

namespace vantrel::cli {

std::string FormatBytes(double b) {
  char buf[32];
  if (b >= 1e6) std::snprintf(buf, sizeof buf, "%.1f MB", b / 1e6);
  else if (b >= 1e3) std::snprintf(buf, sizeof buf, "%.0f kB", b / 1e3);
  else std::snprintf(buf, sizeof buf, "%.0f B", b);
  return buf;
}

std::string FormatDuration(double s) {
  if (s < 0 || !std::isfinite(s)) s = 0;
  long t = std::lround(s);
  char buf[32];
  std::snprintf(buf, sizeof buf, "%ld:%02ld", t / 60, t % 60);
  return buf;
}

namespace {

const char* StageName(Stage s) {
  switch (s) {
    case Stage::kStarting: return "starting";
    case Stage::kWaiting: return "waiting";
    case Stage::kBootRom: return "boot-rom";
    case Stage::kAgent: return "agent";
    case Stage::kImage: return "image";
    case Stage::kCountdown: return "resetting";
    case Stage::kDone: return "done";
    case Stage::kFailed: return "failed";
    case Stage::kInterrupted: return "interrupted";
  }
  return "";
}

std::string Prefix(const PhoneState& s) { return "[" + s.label + "] "; }

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
  winsize ws{};
  const size_t cols = ::ioctl(2, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 1 ? ws.ws_col - 1 : 200;
  const auto states = states_();
  if (header_) std::fprintf(stderr, "%s\033[K\n", header_().substr(0, cols).c_str());
  for (const auto& s : states) std::fprintf(stderr, "%s\033[K\n", LiveLine(s).substr(0, cols).c_str());
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

std::string Display::LiveLine(const PhoneState& s) {
  char buf[256];
  std::string head = s.label + " (COM" + std::to_string(s.com) + ")";
  switch (s.stage) {
    case Stage::kImage: {
      if (s.readback_total > 0) {
        std::snprintf(buf, sizeof buf, "%-28s %-20s image %d of %d  reading the info area back: block %u of %u",
                      head.c_str(), s.step.c_str(), s.image, s.images, s.readback_done + 1, s.readback_total);
        return buf;
      }
      double left = s.rate > 0 ? (s.total_bytes - s.done_bytes) / s.rate : -1;
      std::snprintf(buf, sizeof buf, "%-28s %-20s image %d of %d %3d%%  total %3d%%  %s/s  %s left", head.c_str(),
                    s.step.c_str(), s.image, s.images, s.percent, s.overall(), FormatBytes(s.rate).c_str(),
                    left < 0 ? "-:--" : FormatDuration(left).c_str());
      return buf;
    }
    case Stage::kCountdown:
      std::snprintf(buf, sizeof buf, "%-28s written; safe to unplug now; the phone resets (%d s)", head.c_str(),
                    s.countdown);
      return buf;
    case Stage::kDone:
    case Stage::kFailed:
    case Stage::kInterrupted:
      std::snprintf(buf, sizeof buf, "%-28s %s", head.c_str(),
                    s.result == kExitOk ? "done" : (std::string(s.stage == Stage::kFailed ? "FAILED: " : "") + s.message).c_str());
      return buf;
    default:
      std::snprintf(buf, sizeof buf, "%-28s %s", head.c_str(), s.step.empty() ? StageName(s.stage) : s.step.c_str());
      return buf;
  }
}

std::string Display::StageLine(const PhoneState& s) {
  if (s.stage == Stage::kImage && s.image > 0 && s.step.rfind("image", 0) != 0) {
    return Prefix(s) + s.step + " (image " + std::to_string(s.image) + " of " + std::to_string(s.images) + ")";
  }
  if (s.stage == Stage::kCountdown) {
    return Prefix(s) + "written; safe to unplug now; the phone resets within " + std::to_string(s.countdown) + " s";
  }
  return Prefix(s) + (s.step.empty() ? StageName(s.stage) : s.step);
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
  std::lock_guard<std::mutex> g(mu_);
  std::fprintf(stderr, "\n%-28s %-34s %8s %10s\n", "phone", "result", "time", "bytes");
  for (const auto& s : phones) {
    std::string res = s.result == kExitOk ? "ok" : s.result == kExitInterrupted ? "interrupted" : "FAILED";
    if (s.code) res += " " + std::to_string(s.code) + " " + ResultName(s.code);
    std::fprintf(stderr, "%-28s %-34s %8s %10s\n", s.label.c_str(), res.c_str(), FormatDuration(s.seconds).c_str(),
                 FormatBytes(s.done_bytes).c_str());
  }
  for (const auto& s : phones) {
    if (s.result != kExitOk || s.message != "flashed")
      std::fprintf(stderr, "  %s: %s\n", s.label.c_str(), s.message.c_str());
  }
  std::fprintf(stderr, "%s\n", verdict.c_str());
  std::fflush(stderr);
}

}  // namespace vantrel::cli
