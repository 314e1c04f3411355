#include "tools/cli/json_out.h"

#include <cerrno>
#include <cstdio>
#include <mutex>

#include "tools/cli/exit_codes.h"
#include "tools/cli/interrupt.h"

namespace vantrel::cli::json_out {

namespace {

std::mutex gMu;  // one line at a time, from any phone's thread
bool gEnabled = false, gResultWritten = false;

// Length of the valid UTF-8 character at text[at], or 0 when there is none.
size_t CharLength(const std::string& text, size_t at) {
  const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char c = byte(at);
  if (c < 0x80) return 1;
  size_t n;
  unsigned lo = 0x80, hi = 0xBF;  // the second byte's range, narrower after some leads
  if (c >= 0xC2 && c <= 0xDF) n = 2;
  else if (c >= 0xE0 && c <= 0xEF) n = 3, lo = c == 0xE0 ? 0xA0 : 0x80, hi = c == 0xED ? 0x9F : 0xBF;
  else if (c >= 0xF0 && c <= 0xF4) n = 4, lo = c == 0xF0 ? 0x90 : 0x80, hi = c == 0xF4 ? 0x8F : 0xBF;
  else return 0;
  if (at + n > text.size() || byte(at + 1) < lo || byte(at + 1) > hi) return 0;
  for (size_t i = 2; i < n; ++i)
    if (byte(at + i) < 0x80 || byte(at + i) > 0xBF) return 0;
  return n;
}

void MakeValid(nlohmann::json& j) {
  if (j.is_string()) {
    j = ValidUtf8(j.get_ref<const std::string&>());
  } else if (j.is_structured()) {
    for (auto& item : j) MakeValid(item);
  }
}

}  // namespace

std::string ValidUtf8(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (size_t at = 0; at < text.size();) {
    if (const size_t n = CharLength(text, at)) {
      out.append(text, at, n);
      at += n;
      continue;
    }
    char esc[8];
    std::snprintf(esc, sizeof esc, "\\x%02X", static_cast<unsigned char>(text[at++]));
    out += esc;
  }
  return out;
}

std::string Line(const nlohmann::json& object) {
  nlohmann::json j = object;
  MakeValid(j);
  return j.dump();
}

void Enable() {
  gEnabled = true;
  // A second Ctrl-C exits at once, still ending the output with its object.
  interrupt::SetExitLine(Line({{"event", "result"}, {"result", ExitClassName(kExitInterrupted)},
                               {"exit", kExitInterrupted}, {"message", "interrupted again: exiting now"}}) + "\n");
}
bool Enabled() { return gEnabled; }

bool Write(const std::string& line) {
  std::lock_guard<std::mutex> g(gMu);
  const bool ok = std::fputs((line + "\n").c_str(), stdout) >= 0 && std::fflush(stdout) == 0;
  if (!ok) {
    std::clearerr(stdout);
    interrupt::Request("standard output was closed");
  }
  return ok;
}

void WriteResult(int exit_code, const std::string& message, const nlohmann::json& extra) {
  {
    std::lock_guard<std::mutex> g(gMu);
    if (gResultWritten) return;
    gResultWritten = true;
  }
  nlohmann::json j{{"event", "result"}, {"result", ExitClassName(exit_code)}, {"exit", exit_code},
                   {"message", message}};
  j.update(extra);
  Write(Line(j));
  interrupt::SetExitLine("");  // after, so that a second Ctrl-C never leaves the output without one
}

bool ResultWritten() {
  std::lock_guard<std::mutex> g(gMu);
  return gResultWritten;
}

}  // namespace vantrel::cli::json_out
