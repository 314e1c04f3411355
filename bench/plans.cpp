// The plans beside the download on the emulated USB link (1 MB/s, 1 ms
// turnaround): the read's rate against the ideal link time of what it moves,
// and verify's time against its own reads' ideal and against the download's.
#include <cstdio>

#include "bench/bench.h"
#include "boundary/session.h"
#include "platform/clock.h"
#include "vantrel/extension.h"

namespace vantrel::bench {
namespace {

constexpr double kRate = 1e6;   // bytes per second
constexpr double kTurn = 1e-3;  // seconds per answer
constexpr uint32_t kPage = 2048, kSpare = 64, kBlockPages = 64;
constexpr uint32_t kReadChunk = 1u << 20;  // the read plan's commands cover at most this
// A read command: 0xDF, mode, three values out; 0x5A, A, B, C back; E out;
// T back. Each packet: data and its 16-bit sum back, one answer byte out.
constexpr double kCommandBytes = 1 + 1 + 12 + 1 + 12 + 4 + 4;

sim::PhoneConfig UsbLink() {
  sim::PhoneConfig cfg;
  cfg.linkBytesPerSecond = kRate;
  cfg.turnaroundUs = 1000;
  return cfg;
}

// The link alone, for `commands` reads delivering `bytes` in packets of `packet`.
double IdealRead(double bytes, double packet, double commands) {
  const double packets = bytes / packet;
  return (bytes + 3 * packets + kCommandBytes * commands) / kRate + (packets + 2 * commands) * kTurn;
}

// Times between the first and the last event of one stage, on the wall clock.
struct StageTimer {
  int stage;
  double first = -1, last = -1;
  void operator()(const StageEvent& e) {
    if (e.stage != stage) return;
    last = NowSeconds();
    if (first < 0) first = last;
  }
  double seconds() const { return first < 0 ? 0 : last - first; }
};

struct Session {
  CBizDownload* s;
  explicit Session(unsigned com) : s(new CBizDownload(static_cast<int32_t>(com) - 40)) {}
  ~Session() { s->DeletingDestructor(1); }
  bool Connect(unsigned com) { return s->engine().OpenLink(19200, com) == 0 && s->engine().Connect() == 1; }
};

int32_t Discard(void*, const uint8_t*, uint32_t) { return 1; }

// One read of `length` main-data bytes from a fresh phone: the read stage's seconds, or -1.
double TimeRead(const Options& o, uint32_t length, std::string* error) {
  auto flash = std::make_shared<sim::Flash>(sim::Geometry::LargePage());
  sim::Phone phone(UsbLink(), flash);
  if (!phone.Open(error) || !phone.LinkPort(o.portDir, 40, 0, error)) return -1;
  testing::RecordingHost host;
  Session session(40);
  session.s->SetHostCallback(&host);
  VantrelSetSetting(session.s, VANTREL_SETTING_WITHOUT_PACKAGE, 1);
  StageTimer timer{kStageReadBack};
  session.s->engine().channel().SetEventSink([&timer](const StageEvent& e) { timer(e); });
  if (!session.s->Prepare(0)) return *error = "Prepare failed", -1;
  phone.Start();
  const bool ok = session.Connect(40) && VantrelRead(session.s, 0, length, VANTREL_READ_MAIN, &Discard, nullptr) == 1;
  phone.Stop();
  if (!ok) return *error = "the read failed: " + session.s->engine().channel().failure(), -1;
  return timer.seconds();
}

Row ReadRow(const Options& o) {
  const uint32_t length = o.quick ? 256 * 1024 : 4u << 20;
  const std::string name = Fmt("Read-back on emulated USB (1 MB/s, 1 ms turnaround), %u KiB main data", length >> 10);
  std::fprintf(stderr, "  %s\n", name.c_str());
  const double chunks = double((length + kReadChunk - 1) / kReadChunk);
  const double ideal = IdealRead(length, 2.0 * kPage, chunks);  // mode 1: two pages a packet
  std::vector<double> times;
  std::string error;
  for (int i = 0; i < (o.quick ? 1 : o.repeats); ++i) {
    const double t = TimeRead(o, length, &error);
    if (t < 0) return Failed(name, error);
    times.push_back(t);
  }
  const double t = Median(times);
  return AtLeast(name + ": ideal link time vs read time", Fmt("%.2f s (%.0f kB/s)", t, length / t / 1e3),
                 Fmt("%.2f s ideal", ideal), ideal / t, 0.95);
}

// One download of the current package on the emulated link; with verify,
// its verify stage's seconds and blocks too.
struct Timed {
  double seconds = -1, verify = 0;
  double ideal = 0;  // the link alone, for the whole dialogue
  uint32_t blocks = 0;
};
Timed TimeDownload(const Options& o, bool verify, const flashcheck::ExpectedFirmware& expected,
                   std::string* error) {
  Timed t;
  auto flash = std::make_shared<sim::Flash>(sim::Geometry::LargePage());
  sim::Phone phone(UsbLink(), flash);
  if (!phone.Open(error) || !phone.LinkPort(o.portDir, 40, 0, error)) return t;
  testing::RecordingHost host;
  Session session(40);
  session.s->SetHostCallback(&host);
  VantrelSetSetting(session.s, VANTREL_SETTING_VERIFY, verify ? 1 : 0);
  StageTimer timer{kStageVerify};
  session.s->engine().channel().SetEventSink([&](const StageEvent& e) {
    timer(e);
    if (e.stage == kStageVerify) t.blocks = e.total;
  });
  if (!session.s->Prepare(0)) return *error = "Prepare failed", t;
  phone.Start();
  const double t0 = NowSeconds();
  const bool ok = session.Connect(40) && session.s->Download() == 1;
  const double seconds = NowSeconds() - t0;
  phone.Stop();
  if (!ok) return *error = "the download failed: " + session.s->engine().channel().failure(), t;
  if (!flashcheck::CheckFlash(*flash, expected).ok) return *error = "the flash check failed", t;
  t.seconds = seconds;
  t.verify = timer.seconds();
  t.ideal = phone.Record().IdealLinkSeconds(phone.config());
  return t;
}

std::vector<Row> VerifyRows(const Options& o) {
  const std::string name = "Verify on emulated USB (1 MB/s, 1 ms turnaround)";
  std::fprintf(stderr, "  %s\n", name.c_str());
  const std::string path = o.workDir + "/verify.bin";
  flashcheck::ExpectedFirmware expected;
  // The download reads its info areas back (the reserved pool) on a fresh phone.
  if (!MakePackage(path, o.quick ? 1 : 4, o.quick ? 8 : 16, &expected)) return {Failed(name, "the package could not be built")};
  UsePackage(path);
  std::vector<double> plain, verify, with, plain_ideal;
  uint32_t blocks = 0;
  std::string error;
  for (int i = 0; i < (o.quick ? 1 : o.repeats); ++i) {
    const Timed a = TimeDownload(o, false, expected, &error);
    const Timed b = a.seconds < 0 ? Timed{} : TimeDownload(o, true, expected, &error);
    if (b.seconds < 0) break;
    plain.push_back(a.seconds);
    plain_ideal.push_back(a.ideal);
    with.push_back(b.seconds);
    verify.push_back(b.verify);
    blocks = b.blocks;
  }
  std::remove(path.c_str());
  if (!error.empty() || plain.empty()) return {Failed(name, error)};
  // Each block read back whole with its spare bytes, in one command.
  const double ideal = IdealRead(double(blocks) * kBlockPages * (kPage + kSpare), 2.0 * (kPage + kSpare), blocks);
  const double v = Median(verify), d = Median(plain), share = ideal / Median(plain_ideal);
  return {AtLeast(Fmt("%s, %u blocks: ideal link time of its reads vs verify time", name.c_str(), blocks),
                  Fmt("%.2f s", v), Fmt("%.2f s ideal", ideal), ideal / v, 0.95),
          // Its cost: verify reads every FS block whole, with its spare bytes,
          // where the download sends only the pages that carry data; its share
          // of the time may be its share of the link's work, not more.
          AtMost(Fmt("%s: verify time vs the download's time without it (%.2f s with verify; the link's work "
                     "of the two in the ratio %.3f)",
                     name.c_str(), Median(with), share),
                 Fmt("%.2f s", v), Fmt("%.2f s", d), v / d, share / 0.95)};
}

}  // namespace

std::vector<Row> BenchPlans(const Options& o) {
  platform::ManualClock clock;  // the fixed pauses and the countdown take no time
  platform::ScopedClock scope(&clock);
  std::vector<Row> rows{ReadRow(o)};
  for (Row& r : VerifyRows(o)) rows.push_back(std::move(r));
  return rows;
}

}  // namespace vantrel::bench
