#include "tools/cli/layout.h"

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>

namespace vantrel::cli {

std::string Printf(const char* format, ...) {
  char buf[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(buf, sizeof buf, format, args);
  va_end(args);
  return buf;
}

namespace {

// A head narrower than this says too little; below it the line loses detail.
constexpr size_t kMinHead = 12;

bool Continues(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

std::string Pad(const std::string& text, size_t columns) {
  const size_t have = Columns(text);
  return have >= columns ? text : text + std::string(columns - have, ' ');
}

// Cut at the end to `columns`, with "..." when something went.
std::string KeepStart(const std::string& text, size_t columns) {
  if (Columns(text) <= columns) return text;
  if (columns <= 3) return std::string(columns, '.');
  size_t n = 0, at = 0;
  while (at < text.size() && n < columns - 3) {
    ++at;
    while (at < text.size() && Continues(text[at])) ++at;
    ++n;
  }
  return text.substr(0, at) + "...";
}

// The head in `columns` at most: whole, then without its COM number, then
// the label's end.
std::string FitHead(const PhoneState& s, size_t columns) {
  const std::string head = PhoneHead(s);
  if (Columns(head) <= columns) return Pad(head, columns);
  if (Columns(s.label) <= columns) return Pad(s.label, columns);
  return KeepEnd(s.label, columns);
}

// The first of the tails (richest first) that fits beside the head; the
// head gives way first.
std::string Row(const PhoneState& s, size_t head_width, const std::vector<std::string>& tails, size_t width) {
  if (width == 0) return FitHead(s, std::max(head_width, Columns(PhoneHead(s)))) + " " + tails.front();
  const size_t usable = width > 1 ? width - 1 : 1;
  const size_t least = std::min(kMinHead, Columns(PhoneHead(s)));
  for (const auto& tail : tails) {
    const size_t need = Columns(tail) + 1;
    if (need + least <= usable) return FitHead(s, std::min(head_width, usable - need)) + " " + tail;
  }
  // Nothing fits whole: the head keeps its column while 20 columns are left
  // for the tail, which is cut.
  const size_t head = std::max(least, std::min(head_width, usable > 21 ? usable - 21 : 0));
  return KeepStart(FitHead(s, head) + " " + tails.back(), usable);
}

std::vector<std::string> TransferTails(const PhoneState& s) {
  const char* step = s.step.c_str();
  const double left = s.rate > 0 ? (s.total_bytes - s.done_bytes) / s.rate : -1;
  const std::string rate = FormatBytes(s.rate) + "/s";
  const std::string eta = left < 0 ? "-:--" : FormatDuration(left);
  return {
      Printf("%-19s  image %d of %d  %3d%%  total %3d%%  %8s  %5s left", step, s.image, s.images, s.percent,
             s.overall(), rate.c_str(), eta.c_str()),
      Printf("%-19s %d/%d %3d%%  total %3d%%  %8s  %5s left", step, s.image, s.images, s.percent, s.overall(),
             rate.c_str(), eta.c_str()),
      Printf("%-19s %3d%% total %3d%% %5s left", step, s.percent, s.overall(), eta.c_str()),
      Printf("%s %d%% %s left", step, s.overall(), eta.c_str()),
  };
}

// A read of the flash (its bytes, rate and time left) or the verify (its
// share of the blocks): no image of a plan.
std::vector<std::string> ReadTails(const PhoneState& s) {
  const char* step = s.step.c_str();
  if (s.step != "reading the flash") return {Printf("%-19s  %3d%%", step, s.percent), Printf("%s %d%%", step, s.percent)};
  const double left = s.rate > 0 ? (s.total_bytes - s.done_bytes) / s.rate : -1;
  const std::string rate = FormatBytes(s.rate) + "/s";
  const std::string eta = left < 0 ? "-:--" : FormatDuration(left);
  const std::string of = FormatBytes(s.done_bytes) + " of " + FormatBytes(s.total_bytes);
  return {
      Printf("%-19s  %s  %3d%%  %8s  %5s left", step, of.c_str(), s.percent, rate.c_str(), eta.c_str()),
      Printf("%-19s %3d%%  %8s  %5s left", step, s.percent, rate.c_str(), eta.c_str()),
      Printf("%s %d%% %s left", step, s.percent, eta.c_str()),
  };
}

std::vector<std::string> ReadbackTails(const PhoneState& s) {
  const char* step = s.step.c_str();
  return {
      Printf("%-19s  image %d of %d  reading the info area back: block %u of %u", step, s.image, s.images,
             s.readback_done + 1, s.readback_total),
      Printf("%-19s %d/%d  info area read-back: block %u of %u", step, s.image, s.images, s.readback_done + 1,
             s.readback_total),
      Printf("%s info block %u/%u", step, s.readback_done + 1, s.readback_total),
  };
}

std::vector<std::string> CountdownTails(const PhoneState& s) {
  return {
      Printf("written; safe to unplug now; the phone resets (%d s)", s.countdown),
      Printf("written; safe to unplug (reset in %d s)", s.countdown),
      Printf("safe to unplug (%d s)", s.countdown),
  };
}

}  // namespace

const char* StageName(Stage s) {
  switch (s) {
    case Stage::kStarting: return "starting";
    case Stage::kWaiting: return "waiting";
    case Stage::kBootRom: return "boot-rom";
    case Stage::kAgent: return "agent";
    case Stage::kImage: return "image";
    case Stage::kReading: return "reading";
    case Stage::kCountdown: return "resetting";
    case Stage::kDone: return "done";
    case Stage::kFailed: return "failed";
    case Stage::kInterrupted: return "interrupted";
  }
  return "";
}

size_t Columns(const std::string& text) {
  return static_cast<size_t>(std::count_if(text.begin(), text.end(), [](char c) { return !Continues(c); }));
}

std::string KeepEnd(const std::string& text, size_t columns) {
  if (Columns(text) <= columns) return text;
  if (columns <= 3) return std::string(columns, '.');
  size_t n = 0, at = text.size();
  while (at > 0 && n < columns - 3) {
    --at;
    while (at > 0 && Continues(text[at])) --at;
    ++n;
  }
  return "..." + text.substr(at);
}

std::string FormatBytes(double b) {
  char buf[32];
  if (b >= 1e6) std::snprintf(buf, sizeof buf, "%.1f MB", b / 1e6);
  else if (b >= 1e3) std::snprintf(buf, sizeof buf, "%.0f kB", b / 1e3);
  else std::snprintf(buf, sizeof buf, "%.0f B", b);
  return buf;
}

std::string FormatDuration(double s) {
  if (s < 0 || !std::isfinite(s)) s = 0;
  const long t = std::lround(s);
  char buf[32];
  std::snprintf(buf, sizeof buf, "%ld:%02ld", t / 60, t % 60);
  return buf;
}

std::string PhoneHead(const PhoneState& s) {
  const std::string com = "COM" + std::to_string(s.com);
  return s.label == com ? com : s.label + " (" + com + ")";
}

size_t HeadWidth(const std::vector<PhoneState>& phones) {
  size_t w = 20;
  for (const auto& s : phones) w = std::max(w, Columns(PhoneHead(s)));
  return w;
}

std::string LiveLine(const PhoneState& s, size_t width, size_t head_width) {
  switch (s.stage) {
    case Stage::kImage: return Row(s, head_width, s.readback_total ? ReadbackTails(s) : TransferTails(s), width);
    case Stage::kReading: return Row(s, head_width, ReadTails(s), width);
    case Stage::kCountdown: return Row(s, head_width, CountdownTails(s), width);
    case Stage::kDone:
    case Stage::kFailed:
    case Stage::kInterrupted: {
      const std::string end = s.result == kExitOk ? "done" : (s.stage == Stage::kFailed ? "FAILED: " : "") + s.message;
      return Row(s, head_width, {end}, width);
    }
    default: return Row(s, head_width, {s.step.empty() ? StageName(s.stage) : s.step}, width);
  }
}

std::string StageLine(const PhoneState& s) {
  const std::string prefix = "[" + s.label + "] ";
  if (s.stage == Stage::kImage && s.image > 0 && s.step.rfind("image", 0) != 0)
    return prefix + s.step + " (image " + std::to_string(s.image) + " of " + std::to_string(s.images) + ")";
  if (s.stage == Stage::kCountdown)
    return prefix + "written; safe to unplug now; the phone resets within " + std::to_string(s.countdown) + " s";
  return prefix + (s.step.empty() ? StageName(s.stage) : s.step);
}

namespace {

std::string ResultCell(const PhoneState& s) {
  std::string res = s.result == kExitOk ? "ok" : s.result == kExitInterrupted ? "interrupted" : "FAILED";
  if (s.code) res += " " + std::to_string(s.code) + " " + ResultName(s.code);
  return res;
}

}  // namespace

std::string SummaryTable(const std::vector<PhoneState>& phones, size_t width) {
  size_t phone_w = 5, result_w = 6;
  for (const auto& s : phones) {
    phone_w = std::max(phone_w, Columns(s.label));
    result_w = std::max(result_w, Columns(ResultCell(s)));
  }
  constexpr size_t kTimeW = 6, kBytesW = 9;  // " 12:34", " 123.4 MB"
  const size_t usable = width > 1 ? width - 1 : 0;
  if (width && phone_w + 1 + result_w + kTimeW + kBytesW > usable) {
    // The label's end gives way first, then the result's end.
    phone_w = std::max<size_t>(kMinHead, usable > 1 + result_w + kTimeW + kBytesW
                                             ? usable - 1 - result_w - kTimeW - kBytesW : 0);
    result_w = usable > phone_w + 1 + kTimeW + kBytesW ? std::min(result_w, usable - phone_w - 1 - kTimeW - kBytesW)
                                                       : 6;
  }
  std::string out = "\n" + Pad("phone", phone_w) + " " + Pad("result", result_w) + Printf("%*s%*s\n", int(kTimeW),
                                                                                         "time", int(kBytesW), "bytes");
  for (const auto& s : phones) {
    out += Pad(KeepEnd(s.label, phone_w), phone_w) + " " + Pad(KeepStart(ResultCell(s), result_w), result_w) +
           Printf("%*s%*s\n", int(kTimeW), FormatDuration(s.seconds).c_str(), int(kBytesW),
                  FormatBytes(static_cast<double>(s.done_bytes)).c_str());
  }
  for (const auto& s : phones) {
    if (s.result != kExitOk || s.message != "flashed") out += "  " + s.label + ": " + s.message + "\n";
  }
  return out;
}

}  // namespace vantrel::cli
