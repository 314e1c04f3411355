#include "tools/cli/port_loop.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <chrono>
#include <cstring>
#include <ctime>
#include <nlohmann/json.hpp>

#include "tools/cli/display.h"
#include "vantrel/extension.h"

namespace vantrel::cli {
namespace {

// How often a port looks whether its phone has come or gone: a person plugs
// phones in, so a tenth of a second is quick enough and costs nothing.
constexpr auto kLookEvery = std::chrono::milliseconds(100);

std::string Iso8601(double epoch_seconds) {
  const std::time_t t = static_cast<std::time_t>(epoch_seconds);
  std::tm tm{};
  gmtime_r(&t, &tm);
  char buf[40];
  std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S", &tm);
  char ms[8];
  std::snprintf(ms, sizeof ms, ".%03dZ", static_cast<int>((epoch_seconds - double(t)) * 1000) % 1000);
  return std::string(buf) + ms;
}

const char* ResultWord(ExitCode c) {
  return c == kExitOk ? "ok" : c == kExitInterrupted ? "interrupted" : "failed";
}

// What the link saw, as one word a log shipper can group by.
const char* CauseToken(int cause) {
  switch (cause) {
    case VANTREL_CAUSE_PORT_GONE: return "port-gone";
    case VANTREL_CAUSE_NO_ANSWER: return "no-answer";
    case VANTREL_CAUSE_WRITE_FAILED: return "write-failed";
    case VANTREL_CAUSE_REFUSED: return "refused";
    case VANTREL_CAUSE_READ_FAILED: return "read-failed";
    case VANTREL_CAUSE_NONE: return "none";
    default: return "unknown";
  }
}

// Seconds of each step, from when it began to when the next (or the end) did.
nlohmann::json StepSeconds(const PhoneState& s) {
  nlohmann::json steps = nlohmann::json::array();
  for (size_t i = 0; i < s.steps.size(); ++i) {
    const double end = i + 1 < s.steps.size() ? s.steps[i + 1].at : s.seconds;
    steps.push_back({{"step", s.steps[i].step}, {"seconds", std::round((end - s.steps[i].at) * 1000) / 1000}});
  }
  return steps;
}

double EpochSeconds() {
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

}  // namespace

uint64_t DeviceIdentity(const std::string& path) {
  struct stat st{};
  if (::stat(path.c_str(), &st) != 0) return 0;
  // A new pseudo-terminal or a re-enumerated USB device gets another node.
  return ((uint64_t(st.st_rdev) << 32) ^ uint64_t(st.st_ino) ^ (uint64_t(st.st_dev) << 16)) | 1;
}

// ---- the tally and its log ---------------------------------------------------

StationTally::StationTally(unsigned max_phones, std::string package_sha256, std::string rom_record_id)
    : max_(max_phones), package_sha256_(std::move(package_sha256)), rom_record_id_(std::move(rom_record_id)) {}

StationTally::~StationTally() {
  if (log_fd_ >= 0) ::close(log_fd_);
}

bool StationTally::OpenLog(const std::string& path, std::string* error) {
  log_path_ = path;
  log_fd_ = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (log_fd_ < 0) *error = "cannot open the log " + path + " for appending: " + std::strerror(errno);
  return log_fd_ >= 0;
}

bool StationTally::Full() const { return max_ != 0 && claimed_.load() >= max_; }

bool StationTally::Claim() {
  if (max_ == 0) return true;
  unsigned n = claimed_.load();
  while (n < max_)
    if (claimed_.compare_exchange_weak(n, n + 1)) return true;
  return false;
}

std::string StationTally::LogLine(const PhoneState& s, double started, double ended, const std::string& sha256,
                                  const std::string& rom_record_id) {
  nlohmann::json j;
  j["started"] = Iso8601(started);
  j["ended"] = Iso8601(ended);
  j["port"] = s.label;
  j["com"] = s.com;
  // Which phone: what its agent reported. The protocol carries no serial
  // number; the ROM record's identifier is the one the download leaves.
  j["phone"] = nlohmann::json::object();
  if (s.chip_type >= 0)
    j["phone"] = {{"agent_version", s.agent_version},
                  {"chip_type", s.chip_type},
                  {"target_report_sha256", s.report_sha256},
                  {"rom_record_id", s.result == kExitOk ? rom_record_id : ""}};
  j["package_sha256"] = sha256;
  j["result"] = ResultWord(s.result);
  j["code"] = s.code;
  j["name"] = s.code ? ResultName(s.code) : "";
  // The exit class as --json's result names it.
  j["class"] = s.result == kExitOk ? "" : ExitClassName(s.result);
  j["cause"] = s.result == kExitOk ? "" : CauseToken(s.cause);
  j["detail"] = s.message;
  j["seconds"] = std::round((ended - started) * 1000) / 1000;
  j["bytes"] = s.done_bytes;
  j["bytes_total"] = s.total_bytes;
  j["steps"] = StepSeconds(s);
  // Texts from the phone or the system may carry any byte: never throw on one.
  return j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::string StationTally::Record(const PhoneState& s, double started, double ended) {
  const std::string line = LogLine(s, started, ended, package_sha256_, rom_record_id_) + "\n";
  std::lock_guard<std::mutex> g(mu_);
  if (s.result != kExitInterrupted) {
    ++flashed_;
    passed_ += s.result == kExitOk ? 1 : 0;
    seconds_ += ended - started;
  }
  // One write per record: appends do not interleave, and a crash cuts at
  // most this line.
  if (log_fd_ < 0) return "";
  const off_t before = ::lseek(log_fd_, 0, SEEK_END);
  const ssize_t put = ::write(log_fd_, line.data(), line.size());
  if (put == static_cast<ssize_t>(line.size())) return "";
  const std::string why = put < 0 ? std::strerror(errno) : "only part of the line was written";
  // A cut line would glue the next record onto its fragment and spoil that
  // one too: it is taken back, so the log keeps whole lines only.
  if (put > 0 && before >= 0) (void)!::ftruncate(log_fd_, before);
  return "cannot append " + s.label + "'s result to the log " + log_path_ + ": " + why +
         " (the screen and the summary still count it)";
}

unsigned StationTally::flashed() const {
  std::lock_guard<std::mutex> g(mu_);
  return flashed_;
}

unsigned StationTally::passed() const {
  std::lock_guard<std::mutex> g(mu_);
  return passed_;
}

std::string StationTally::Header() const {
  std::lock_guard<std::mutex> g(mu_);
  if (flashed_ == 0) return "0 phones flashed";
  char buf[160];
  std::snprintf(buf, sizeof buf, "%u phone%s: %u passed, %u failed, yield %.0f %%, %s per phone", flashed_,
                flashed_ == 1 ? "" : "s", passed_, flashed_ - passed_, 100.0 * passed_ / flashed_,
                FormatDuration(seconds_ / flashed_).c_str());
  return buf;
}

// ---- one port ------------------------------------------------------------------

PortLoop::PortLoop(PluginHost& host, Display& display, StationTally& tally, std::string label, std::string device,
                   int32_t index, std::string port_dir, StationOptions options)
    : host_(host),
      display_(display),
      tally_(tally),
      label_(std::move(label)),
      device_(std::move(device)),
      index_(index),
      port_dir_(std::move(port_dir)),
      options_(options) {
  idle_.label = label_;
  idle_.device = device_;
  idle_.com = static_cast<unsigned>(index + 40);
  idle_.stage = Stage::kWaiting;
  idle_.step = "waiting for a phone";
}

PortLoop::~PortLoop() { Join(); }

void PortLoop::Start() {
  thread_ = std::thread([this] { Run(); });
}

void PortLoop::Join() {
  if (thread_.joinable()) thread_.join();
}

void PortLoop::Interrupt() {
  stop_ = true;
  std::lock_guard<std::mutex> g(mu_);
  if (run_) run_->Interrupt();
}

PhoneState PortLoop::State() const {
  std::lock_guard<std::mutex> g(mu_);
  return run_ ? run_->State() : idle_;
}

void PortLoop::Show(Stage stage, const std::string& step, const std::string& message) {
  {
    std::lock_guard<std::mutex> g(mu_);
    idle_.stage = stage;
    idle_.step = step;
    idle_.message = message;
  }
  display_.Wake();
}

bool PortLoop::WaitForPhone() {
  Show(Stage::kWaiting, "waiting for a phone");
  while (!stop_ && !tally_.Full()) {
    if (DeviceIdentity(device_) != 0) return true;
    std::this_thread::sleep_for(kLookEvery);
  }
  return false;
}

void PortLoop::WaitUntilGone(uint64_t device) {
  bool told = false;
  for (uint64_t now; !stop_ && (now = DeviceIdentity(device_)) != 0 && now == device;) {
    if (!told) {
      // The verdict stays on the line; a phone that failed and is still
      // there must leave before the next is flashed.
      const PhoneState last = State();
      const bool ok = last.result == kExitOk;
      // First on the line, which a narrow terminal cuts from the end.
      Show(ok ? Stage::kDone : Stage::kFailed, "unplug the phone", ok ? last.message : "unplug the phone; " + last.message);
      if (!ok && display_.mode() == DisplayMode::kLines) display_.Message("[" + label_ + "] unplug the phone");
      told = true;
    }
    std::this_thread::sleep_for(kLookEvery);
  }
}

void PortLoop::Run() {
  // A phone is claimed when it is plugged in, on whichever port; once
  // --max-phones are claimed, the ports without a phone stop waiting, so the
  // run ends when its last phone is done.
  while (!stop_ && WaitForPhone() && tally_.Claim()) {
    const uint64_t device = DeviceIdentity(device_);
    const double started = EpochSeconds();
    PhoneRun* run;
    {
      std::lock_guard<std::mutex> g(mu_);
      run_ = std::make_unique<PhoneRun>(host_, display_, label_, device_, index_, port_dir_, options_);
      run = run_.get();
      if (stop_) run->Interrupt();
    }
    run->Start();
    run->Join();
    const PhoneState end = run->State();
    if (const std::string lost = tally_.Record(end, started, EpochSeconds()); !lost.empty()) display_.Warning(lost);
    // Live, the counts head the screen; in lines, they follow each verdict.
    if (display_.mode() == DisplayMode::kLines) display_.Message(tally_.Header());
    {
      std::lock_guard<std::mutex> g(mu_);
      idle_ = end;  // the verdict stays shown until the next phone
      run_.reset();
    }
    display_.Wake();
    if (end.result == kExitInterrupted) break;
    WaitUntilGone(device);
  }
  ended_ = true;
}

}  // namespace vantrel::cli
