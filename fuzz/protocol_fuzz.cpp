// The host's side of both protocols against a phone whose every answer comes
// from the fuzzer's input: BootConnect (the boot ROM stage) when the first
// byte is even; when odd, by its bits 1 and 2, AgentRun (the agent stage
// with a small package), the identify plan with that package, or the read
// plan (the span up to the end of the FS region the phone's ROM record
// names, main data; or a given range with spare bytes).
// Runs on the manual clock; a read that finds no input times out, charging
// its read time-out to the clock as a real port would. Asserts no crash, no
// access outside a buffer (AddressSanitizer, UBSan), a result code from the
// stage's own set, and no wait beyond the limits.
//
// The rest of the input is the phone's byte stream. 0xEE is an escape:
// EE 00 = the next read times out, EE 01 = the port goes away,
// EE anything else = the byte 0xEE itself. fuzz_protocol_seeds turns hex
// transcripts into this form.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "agent/agent.h"
#include "engine/download_plan.h"
#include "engine/identify_plan.h"
#include "engine/read_plan.h"
#include "brom/brom.h"
#include "images/records.h"
#include "link/wait.h"
#include "platform/clock.h"
#include "images/carried_images.h"
#include "tools/pkg/builder.h"
#include "tools/pkg/sample.h"

namespace {

using namespace vantrel;

// The phone, scripted by the input.
class ScriptedPort : public platform::SerialPort {
 public:
  ScriptedPort(const uint8_t* p, size_t n, platform::ManualClock* clock)
      : p_(p), n_(n), clock_(clock) {}

  bool Read(uint8_t* buf, uint32_t n, uint32_t* got) override {
    *got = 0;
    if (gone_) return false;
    while (*got < n) {
      if (at_ >= n_) break;
      if (p_[at_] == 0xEE && at_ + 1 < n_ && p_[at_ + 1] <= 1) {
        bool hangup = p_[at_ + 1] == 1;
        at_ += 2;
        if (hangup) {
          gone_ = true;
          return false;
        }
        break;  // a time-out now
      }
      buf[(*got)++] = p_[at_];
      at_ += (p_[at_] == 0xEE && at_ + 1 < n_) ? 2 : 1;
    }
    if (*got < n) ChargeTimeout(n);
    return true;
  }
  bool Write(const uint8_t*, uint32_t n, uint32_t* put) override {
    *put = gone_ ? 0 : n;
    written_ += *put;
    return !gone_;
  }
  bool Flush() override { return !gone_; }
  bool SetTimeouts(const platform::Timeouts& t) override {
    t_ = t;
    return !gone_;
  }
  platform::Timeouts GetTimeouts() const override { return t_; }
  bool ClearError() override { return !gone_; }
  bool SetQueueSizes(uint32_t, uint32_t) override { return !gone_; }
  bool GetLine(platform::LineSettings* s) override {
    *s = line_;
    return !gone_;
  }
  bool SetLine(const platform::LineSettings& s) override {
    line_ = s;
    return !gone_;
  }
  bool ClearBreak() override { return !gone_; }
  bool Purge(uint32_t) override { return !gone_; }
  bool SetDtr(bool) override { return !gone_; }
  bool SetRts(bool) override { return !gone_; }
  uint32_t InputQueued() override { return at_ < n_ ? 1 : 0; }
  bool Gone() const override { return gone_; }
  std::string Name() const override { return "scripted"; }

  uint64_t portTimeMs() const { return port_ms_; }

 private:
  void ChargeTimeout(uint32_t n) {
    uint64_t ms = uint64_t(n) * t_.readMultiplier + t_.readConstant;
    if (ms == 0) ms = 1;
    port_ms_ += ms;
    clock_->Advance(ms);
  }

  const uint8_t* p_;
  size_t n_, at_ = 0;
  platform::ManualClock* clock_;
  platform::Timeouts t_{};
  platform::LineSettings line_{};
  bool gone_ = false;
  uint64_t written_ = 0, port_ms_ = 0;
};

// The stage's images: the carried agent images and tables, and the same
// small package as the reliability tests', so that seeds recorded there
// replay far into the dialogue before the mutations take them elsewhere.
struct Images {
  ImageDesc da1, da2, tableA, tableB;
  pkg::BuiltPackage p;
  uint8_t bloaderInfo[136] = {};
  uint8_t romInfo[352] = {};
};

Images* MakeImages() {
  auto* im = new Images;
  im->da1 = Da1Image();
  im->da2 = Da2Image();
  im->tableA = TableAImage();
  im->tableB = TableBImage();
  im->p = pkg::BuildTinyPackage();
  ImageDesc bl{im->p.bootloader.data(), uint32_t(im->p.bootloader.size()), 0};
  ImageDesc rom{im->p.rom.data(), uint32_t(im->p.rom.size()), 0};
  ParseBloaderInfo(bl, im->bloaderInfo);
  ParseRomInfo(rom, im->romInfo);
  return im;
}

// One of the plans that run after the boot ROM stage.
int RunAgentPlan(LinkHandle link, const Images& im, int plan) {
  const auto& p = im.p;
  FirmwareBundle fw{ImageDesc{p.bootloader.data(), uint32_t(p.bootloader.size()), 0},
                    ImageDesc{p.extBootloader.data(), uint32_t(p.extBootloader.size()), 0},
                    ImageDesc{p.rom.data(), uint32_t(p.rom.size()), 0},
                    ImageDesc{p.rom2.data(), uint32_t(p.rom2.size()), 0x4000}};
  fw.fsCount = uint32_t(p.fsImages.size() < fw.fs.size() ? p.fsImages.size() : fw.fs.size());
  for (uint32_t i = 0; i < fw.fsCount; ++i)
    fw.fs[i] = ImageDesc{p.fsImages[i].data(), uint32_t(p.fsImages[i].size()), 0};
  const AgentStageInputs in{im.tableA, im.tableB, im.bloaderInfo, im.romInfo};
  if (plan == 0) return AgentRun(link, in, fw, 40);
  if (plan == 1) {
    PhoneIdentity id;
    return IdentifyRun(link, in, &fw, 40, &id);
  }
  ReadRequest r;
  r.span = plan == 2 ? ReadSpan::kThroughFs : ReadSpan::kGiven;
  r.start = 0x4000;
  r.length = 3 * 2048;
  r.mode = plan == 2 ? 1 : 0;
  r.sink = [](const uint8_t* data, uint32_t length) {
    volatile uint8_t touch = length ? data[length - 1] : 0;  // every byte handed over must be readable
    (void)touch;
    return true;
  };
  return ReadRun(link, in, r, 40);
}

// Generous: every limit spent a few times over, plus the fixed pauses.
constexpr uint64_t kTimeBoundMs = 30ull * 60 * 1000;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // Short limits keep one execution short; the bound below scales with them.
  WaitLimits& l = Limits();
  l.handshakeMs = 3000;
  l.registerPollMs = 2000;
  l.firstAgentByteMs = 3000;
  l.statusByteMs = 2000;
  l.flashScanMs = 3000;
  l.eraseMs = 3000;
  std::setvbuf(stdout, nullptr, _IOFBF, 1 << 16);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Images* im = MakeImages();
  if (size < 1 || size > (1u << 20)) return 0;
  std::vector<uint8_t> input(data + 1, data + size);  // exact size: over-reads are caught
  platform::ManualClock clock;
  platform::ScopedClock scope(&clock);
  ScriptedPort port(input.data(), input.size(), &clock);
  Link link(&port);
  link.channel().SetLogSink([](const char*) {});  // the trace is not wanted here
  int rc = 0;
  if ((data[0] & 1) == 0) {
    LinkSetTimeouts(&link, 20, 5000);
    rc = BootConnect(&link, &im->da1, &im->da2);
  } else {
    LinkSetTimeouts(&link, 500, 5000);
    rc = RunAgentPlan(&link, *im, (data[0] >> 1) & 3);
  }
  static const bool verbose = std::getenv("VANTREL_FUZZ_VERBOSE") != nullptr;
  if (verbose) std::fprintf(stderr, "stage %s: %d after %llu ms\n", (data[0] & 1) ? "agent plan" : "boot ROM", rc,
                            static_cast<unsigned long long>(clock.NowMs()));
  if (rc < 0 || rc > 100000) std::abort();  // not a code of the stage
  if (clock.NowMs() > kTimeBoundMs) {
    std::fprintf(stderr, "waited %llu ms (port time %llu ms)\n",
                 static_cast<unsigned long long>(clock.NowMs()),
                 static_cast<unsigned long long>(port.portTimeMs()));
    std::abort();
  }
  return 0;
}
