// The soak: one `vantrel station` process flashes phone after phone on four
// ports, as a repair line plugs them in, while this process plays the phones
// (simulated, on pseudo-terminals; some lose power or are pulled out midway)
// and watches the station's descriptors, memory, threads and time per phone.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <thread>

#include "bench/bench.h"
#include "tools/pkg/sample.h"

extern char** environ;

namespace vantrel::bench {
namespace {

namespace fs = std::filesystem;
constexpr unsigned kPorts = 4;

// What /proc tells of the station process.
struct ProcessSample {
  size_t fds = 0, threads = 0;
  uint64_t rssKiB = 0;
};

ProcessSample SampleProcess(pid_t pid) {
  ProcessSample s;
  std::error_code ec;
  for (auto it = fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec); !ec && it != fs::end(it);
       it.increment(ec))
    ++s.fds;
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmRSS:", 0) == 0) s.rssKiB = std::stoull(line.substr(6));
    if (line.rfind("Threads:", 0) == 0) s.threads = std::stoul(line.substr(8));
  }
  return s;
}

// The station's log: records per port.
struct LogView {
  std::map<std::string, std::vector<nlohmann::json>> byPort;
  size_t lines = 0, broken = 0;
  void Add(const std::string& line) {
    ++lines;
    nlohmann::json j = nlohmann::json::parse(line, nullptr, false);
    if (j.is_discarded() || !j.contains("port")) ++broken;
    else byPort[j["port"].get<std::string>()].push_back(std::move(j));
  }
};

LogView ReadLog(const std::string& path) {
  LogView v;
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) v.Add(line);
  return v;
}

// The log as the players watch it while the station writes it: each poll
// parses only the lines added since the last one, so the watching costs the
// same for the last phone as for the first and does not slow the station
// down as the log grows. A line not yet ended waits for its newline.
class LogTail {
 public:
  explicit LogTail(std::string path) : path_(std::move(path)) {}
  // The port's record number `index`, once it has been written.
  bool Record(const std::string& port, size_t index, nlohmann::json* out) {
    std::lock_guard<std::mutex> g(mu_);
    Poll();
    const auto& recs = view_.byPort[port];
    if (recs.size() <= index) return false;
    *out = recs[index];
    return true;
  }

 private:
  void Poll() {
    std::ifstream in(path_, std::ios::binary);
    if (!in || !in.seekg(offset_)) return;
    std::string chunk((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    size_t start = 0;
    for (size_t nl; (nl = chunk.find('\n', start)) != std::string::npos; start = nl + 1)
      view_.Add(chunk.substr(start, nl - start));
    offset_ += static_cast<std::streamoff>(start);
  }
  std::string path_;
  std::mutex mu_;
  std::streamoff offset_ = 0;
  LogView view_;
};

// Which phones are given a fault: every seventh loses power midway, every
// eleventh is pulled out; the rest must end flashed and checked.
enum class Fault { kNone, kPowerCut, kHangUp };
Fault FaultOf(unsigned n) { return n % 7 == 6 ? Fault::kPowerCut : n % 11 == 10 ? Fault::kHangUp : Fault::kNone; }

struct Soak {
  Soak(const Options& options, unsigned count)
      : o(options), phones(count), package(o.workDir + "/soak.bin"), ports(o.workDir + "/soak-ports"),
        log(o.workDir + "/soak.jsonl"), tail(log) {}
  const Options& o;
  unsigned phones;
  std::string package, ports, log;
  LogTail tail;
  flashcheck::ExpectedFirmware expected;
  pid_t station = -1;
  std::atomic<unsigned> next{0}, done{0};
  std::mutex mu;  // guards the fields below
  std::vector<std::string> problems;
  unsigned good = 0, goodChecked = 0, faulted = 0, faultedLogged = 0;
  std::vector<double> phoneSeconds;  // plug to log record, in finishing order
  std::vector<ProcessSample> samples;  // before the first phone, then per 50 (or per quarter)
  std::vector<size_t> sampledAt;

  std::string Label(unsigned port) const { return ports + "/COM" + std::to_string(40 + port); }
  void Problem(const std::string& p) {
    std::lock_guard<std::mutex> g(mu);
    if (problems.size() < 8) problems.push_back(p);
  }
  bool Start();
  void PlayPort(unsigned port);
  bool PlayOne(unsigned port, unsigned n, size_t* seen);
  void Finished(Fault f, bool ok, double seconds);
};

bool Soak::Start() {
  const std::string self = fs::read_symlink("/proc/self/exe").parent_path().parent_path().string();
  std::vector<std::string> args = {self + "/vantrel", "station", "--package", package, "--log", log,
                                   "--time-scale", "100", "-q"};
  for (unsigned p = 0; p < kPorts; ++p) {
    args.push_back("--port");
    args.push_back(Label(p));
  }
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  const std::string out = o.workDir + "/soak-station.txt";
  posix_spawn_file_actions_addopen(&fa, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_adddup2(&fa, 1, 2);
  const int rc = posix_spawn(&station, argv[0], &fa, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&fa);
  return rc == 0;
}

void Soak::Finished(Fault f, bool ok, double seconds) {
  std::lock_guard<std::mutex> g(mu);
  (f == Fault::kNone ? good : faulted) += 1;
  (f == Fault::kNone ? goodChecked : faultedLogged) += ok ? 1 : 0;
  phoneSeconds.push_back(seconds);
  const unsigned count = ++done;
  const unsigned every = phones >= 200 ? 50 : std::max(1u, phones / 4);
  if (count % every == 0) {
    samples.push_back(SampleProcess(station));
    sampledAt.push_back(count);
  }
}

// One phone plugged into `port`: served until the station has logged it,
// then unplugged and (when it had no fault) its flash checked.
bool Soak::PlayOne(unsigned port, unsigned n, size_t* seen) {
  sim::PhoneConfig cfg;
  const Fault f = FaultOf(n);
  if (f == Fault::kPowerCut) cfg.faults.powerCutAfterOps = 20 + n % 13;
  if (f == Fault::kHangUp) cfg.faults.hangupAtByte = 150000 + 977 * long(n % 17);
  auto flash = std::make_shared<sim::Flash>(sim::Geometry::LargePage());
  sim::Phone phone(cfg, flash);
  std::string err;
  if (!phone.Open(&err) || !phone.LinkPort(ports, 40 + port, 0, &err)) {
    Problem("phone: " + err);
    return false;
  }
  phone.Start();
  const double t0 = NowSeconds();
  nlohmann::json rec;
  while (!tail.Record(Label(port), *seen, &rec)) {
    if (NowSeconds() - t0 > 120) {
      Problem(Label(port) + ": no log record within 120 s");
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  const double seconds = NowSeconds() - t0;
  ++*seen;
  phone.Stop();  // unplugged
  const std::string result = rec.value("result", "");
  bool ok = false;
  if (f == Fault::kNone) {
    const auto check = flashcheck::CheckFlash(*flash, expected);
    ok = result == "ok" && check.ok;
    if (!ok) Problem(Fmt("phone %u: %s, %s", n, result.c_str(), check.ok ? "flash checked" : check.problems.front().c_str()));
  } else {
    ok = result == "failed" && !rec.value("cause", "").empty();
    if (!ok) Problem(Fmt("phone %u (faulted): logged %s", n, rec.dump().c_str()));
  }
  Finished(f, ok, seconds);
  return true;
}

void Soak::PlayPort(unsigned port) {
  size_t seen = 0;
  for (unsigned n; (n = next++) < phones;)
    if (!PlayOne(port, n, &seen)) return;
}

Row Share(const std::string& figure, unsigned ok, unsigned all) {
  return AtLeast(figure, Fmt("%u", ok), Fmt("%u", all), all ? double(ok) / all : 0, 1.0);
}

std::vector<Row> Rows(Soak& s, const ProcessSample& first, const ProcessSample& last) {
  std::vector<Row> rows;
  const std::string p = Fmt("Soak, %u phones on %u ports", s.phones, kPorts);
  rows.push_back(AtMost(p + ": open descriptors, end vs start", Fmt("%zu", last.fds), Fmt("%zu", first.fds),
                        double(last.fds) / double(first.fds), 1.0));
  rows.push_back(AtMost(p + ": threads, end vs start", Fmt("%zu", last.threads), Fmt("%zu", first.threads),
                        double(last.threads) / double(first.threads), 1.0));
  // Resident memory over the phones after the first quarter: growth < 1 MiB.
  const uint64_t from = s.samples.front().rssKiB, to = s.samples.back().rssKiB;
  rows.push_back(AtMost(Fmt("%s: resident memory growth after phone %zu", p.c_str(), s.sampledAt.front()),
                        Fmt("%lld KiB", (long long)to - (long long)from), "1024 KiB",
                        double((long long)to - (long long)from) / 1024.0, 1.0));
  // Mean time per phone, first window vs last.
  const size_t w = std::max<size_t>(1, s.phoneSeconds.size() / 4);
  double a = 0, b = 0;
  for (size_t i = 0; i < w; ++i) {
    a += s.phoneSeconds[i];
    b += s.phoneSeconds[s.phoneSeconds.size() - 1 - i];
  }
  rows.push_back(AtMost(Fmt("%s: mean time per phone, last %zu vs first %zu", p.c_str(), w, w),
                        Fmt("%.3f s", b / double(w)), Fmt("%.3f s", a / double(w)), b / a, 1.10));
  rows.push_back(Share(p + ": good phones flashed and checked", s.goodChecked, s.good));
  rows.push_back(Share(p + ": faulted phones logged with their cause", s.faultedLogged, s.faulted));
  return rows;
}

bool MakeSoakPackage(Soak& s) {
  pkg::SampleOptions po;
  po.fsImages = 2;
  po.dataBlocks = 3;
  po.extraSections = false;
  try {
    const pkg::BuiltPackage p = pkg::BuildSamplePackage(po);
    pkg::WriteFile(s.package, p.bytes);
    s.expected = {p.bootloader, p.extBootloader, p.rom, p.rom2, p.fsImages};
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

// Ends the station as an operator does (Ctrl-C) and reaps it.
int StopStation(pid_t pid) {
  ::kill(pid, SIGINT);
  int status = 0;
  for (int i = 0; i < 500; ++i) {
    if (::waitpid(pid, &status, WNOHANG) == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ::kill(pid, SIGKILL);
  ::waitpid(pid, &status, 0);
  return -2;
}

}  // namespace

std::vector<Row> BenchSoak(const Options& o) {
  Soak s(o, o.quick ? 24u : 200u);
  const std::string name = Fmt("Soak, %u phones on %u ports", s.phones, kPorts);
  fs::create_directories(s.ports);
  if (!MakeSoakPackage(s)) return {Failed(name, "the package could not be built")};
  if (!s.Start()) return {Failed(name, "vantrel station did not start")};
  std::this_thread::sleep_for(std::chrono::milliseconds(500));  // loaded and waiting
  const ProcessSample first = SampleProcess(s.station);
  std::vector<std::thread> players;
  for (unsigned p = 0; p < kPorts; ++p) players.emplace_back([&s, p] { s.PlayPort(p); });
  for (auto& t : players) t.join();
  std::this_thread::sleep_for(std::chrono::milliseconds(500));  // every port idle again
  const ProcessSample last = SampleProcess(s.station);
  for (size_t i = 0; i < s.samples.size(); ++i)
    std::fprintf(stderr, "    after %zu phones: %zu descriptors, %llu KiB resident, %zu threads\n", s.sampledAt[i],
                 s.samples[i].fds, static_cast<unsigned long long>(s.samples[i].rssKiB), s.samples[i].threads);
  const int exit_code = StopStation(s.station);
  fs::remove_all(s.ports);
  if (!s.problems.empty()) return {Failed(name, s.problems.front())};
  if (s.done != s.phones || s.samples.empty()) return {Failed(name, Fmt("%u of %u phones done", s.done.load(), s.phones))};
  const LogView v = ReadLog(s.log);
  if (v.lines != s.phones || v.broken) return {Failed(name, Fmt("%zu log lines (%zu broken) for %u phones", v.lines, v.broken, s.phones))};
  if (exit_code < 0) return {Failed(name, "the station did not end on Ctrl-C")};
  return Rows(s, first, last);
}

}  // namespace vantrel::bench
