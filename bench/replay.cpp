// The fair limit of a whole download: the host's recorded side of it played
// against the same simulated phone, with nothing around the port's calls.
#include <fstream>
#include <sstream>

#include "bench/bench.h"
#include "platform/recording_port.h"
#include "platform/serial_port.h"

namespace vantrel::bench {
namespace {

// One step of the host's side: bytes to write, or a count of bytes to read.
struct Step {
  std::vector<uint8_t> write;
  uint32_t read = 0;
};

// Consecutive reads become one count: the phone's answer may arrive in other
// pieces than it did when recorded. Time-outs took no bytes.
bool LoadSteps(const std::string& path, std::vector<Step>* steps, std::string* error) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  std::vector<platform::TranscriptChunk> chunks;
  if (!in || !platform::ParseTranscript(text.str(), &chunks, error)) {
    if (error->empty()) *error = "cannot read the transcript " + path;
    return false;
  }
  for (const auto& c : chunks) {
    if (c.kind == platform::TranscriptChunk::kFailure) {
      *error = "the recorded download had a failed port call";
      return false;
    }
    if (c.kind == platform::TranscriptChunk::kWrite) steps->push_back({c.bytes, 0});
    else if (c.kind == platform::TranscriptChunk::kRead) {
      if (steps->empty() || !steps->back().write.empty()) steps->push_back({});
      steps->back().read += static_cast<uint32_t>(c.bytes.size());
    }
  }
  return true;
}

bool Play(platform::SerialPort& port, const std::vector<Step>& steps) {
  std::vector<uint8_t> buf(1 << 16);
  for (const Step& s : steps) {
    uint32_t n = 0;
    if (!s.write.empty() &&
        !(port.Write(s.write.data(), uint32_t(s.write.size()), &n) && n == s.write.size() && port.Flush()))
      return false;
    for (uint32_t want = s.read; want; want -= n)
      if (!port.Read(buf.data(), std::min<uint32_t>(want, uint32_t(buf.size())), &n) || n == 0) return false;
  }
  return true;
}

}  // namespace

double RunReplaySender(const Options& o, const std::string& transcript,
                       const flashcheck::ExpectedFirmware& expected, std::string* error) {
  std::vector<Step> steps;
  if (!LoadSteps(transcript, &steps, error)) return -1;
  auto flash = std::make_shared<sim::Flash>(sim::Geometry::LargePage());
  sim::Phone phone({}, flash);
  if (!phone.Open(error) || !phone.LinkPort(o.portDir, 40, 0, error)) return -1;
  phone.Start();
  const double t0 = NowSeconds();
  bool ok = false;
  if (auto port = platform::OpenPortPath(phone.LinkPath())) {
    platform::Timeouts to;
    to.readMultiplier = to.writeMultiplier = 1;
    to.readConstant = to.writeConstant = 5000;
    ok = port->SetTimeouts(to) && Play(*port, steps);
  }
  const double t = NowSeconds() - t0;
  phone.WaitEnded(std::chrono::seconds(5));
  phone.Stop();
  const sim::PhoneRecord record = phone.Record();
  if (!ok) *error = "the replay stopped (phone: " + record.endReason + ")";
  else if (!record.problems.empty()) *error = "the phone saw: " + record.problems.front();
  else if (const auto check = flashcheck::CheckFlash(*flash, expected); !check.ok)
    *error = "the flash check found: " + (check.problems.empty() ? "?" : check.problems.front());
  else return t;
  return -1;
}

}  // namespace vantrel::bench
