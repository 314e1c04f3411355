// The simulated phone's life: its pty, its port-directory link, its serving
// thread, resets, hang-ups and stopping.
#include "sim/phone.h"

#include <sys/prctl.h>
#include <time.h>

#include "sim/pty.h"
#include "sim/target.h"
#include "sim/wire.h"

namespace vantrel::sim {

namespace {

constexpr auto kDrainLimit = std::chrono::milliseconds(2000);
constexpr auto kHangupWait = std::chrono::milliseconds(2000);

}  // namespace

std::optional<FaultPoint> FaultPoint::Parse(const std::string& text) {
  FaultPoint p;
  size_t hash = text.find('#');
  p.point = text.substr(0, hash);
  if (p.point.find(':') == std::string::npos) return std::nullopt;
  if (hash != std::string::npos) {
    std::string n = text.substr(hash + 1);
    if (n.empty() || n.size() > 9 || n.find_first_not_of("0123456789") != std::string::npos) {
      return std::nullopt;
    }
    p.occurrence = static_cast<unsigned>(std::stoul(n));
    if (p.occurrence == 0) return std::nullopt;
  }
  return p;
}

Phone::Phone(PhoneConfig config, std::shared_ptr<Flash> flash)
    : config_(std::move(config)), flash_(flash ? std::move(flash) : std::make_shared<Flash>()),
      transcript_(std::make_unique<Transcript>()) {
  transcript_->set_keep(config_.keepTranscript);
  transcript_->set_full_data(config_.transcriptFullData);
}

Phone::~Phone() { Stop(); }

bool Phone::Open(std::string* error) {
  std::lock_guard<std::mutex> lock(mu_);
  if (started_) {
    if (error) *error = "the phone is already running";
    return false;
  }
  if (!config_.transcriptPath.empty() && !transcript_->active()) {
    if (!transcript_->OpenFile(config_.transcriptPath, error)) return false;
  }
  auto port = std::make_unique<PtyPort>();
  if (!port->Open(error)) return false;
  port_ = std::move(port);
  return true;
}

std::string Phone::SlavePath() const {
  std::lock_guard<std::mutex> lock(mu_);
  return port_ ? port_->slavePath() : std::string();
}

std::string Phone::LinkPath() const {
  std::lock_guard<std::mutex> lock(mu_);
  return port_ ? port_->linkPath() : std::string();
}

bool Phone::LinkPort(const std::string& dir, unsigned com, unsigned delayMs, std::string* error) {
  std::unique_lock<std::mutex> lock(mu_);
  if (!port_ || !port_->IsOpen()) {
    if (error) *error = "open the phone first";
    return false;
  }
  if (linker_.joinable()) {
    if (error) *error = "a delayed link is already pending";
    return false;
  }
  linkDir_ = dir;
  linkCom_ = com;
  linkWanted_ = true;
  if (delayMs == 0) return port_->Link(dir, com, error);
  // The phone is "plugged in" later, without holding up the caller.
  linker_ = std::thread([this, delayMs] {
    std::unique_lock<std::mutex> l(mu_);
    cv_.wait_for(l, std::chrono::milliseconds(delayMs), [this] { return stop_.load() || ended_; });
    if (!stop_ && !ended_ && port_ && port_->IsOpen() && port_->linkPath().empty()) {
      port_->Link(linkDir_, linkCom_, nullptr);
    }
  });
  return true;
}

void Phone::Start() {
  std::lock_guard<std::mutex> lock(mu_);
  if (started_ || !port_) return;
  started_ = true;
  thread_ = std::thread([this] { Run(); });
}

void Phone::ClosePortLocked() {
  if (port_) port_->Close();
}

bool Phone::ReopenPort() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    ClosePortLocked();
  }
  {
    std::unique_lock<std::mutex> lock(mu_);
    cv_.wait_for(lock, std::chrono::milliseconds(config_.resetDelayMs), [this] { return stop_.load(); });
    if (stop_ || hangup_) return false;
    auto port = std::make_unique<PtyPort>();
    if (!port->Open(nullptr)) return false;
    port_ = std::move(port);
    if (linkWanted_) port_->Link(linkDir_, linkCom_, nullptr);
  }
  cv_.notify_all();
  return true;
}

namespace {
const char* HaltReason(const Halt& h) {
  switch (h.reason) {
    case Halt::kStop: return "stopped";
    case Halt::kHangup: return "hang-up";
    case Halt::kPowerCut: return "power cut";
    case Halt::kPortError: return "port error";
    case Halt::kSilence: return "silent";
  }
  return "halted";
}
}  // namespace

void Phone::Run() {
  Target target(*this);
  LinkTiming timing{config_.linkBytesPerSecond, config_.turnaroundUs};
  // The emulated link's schedule is kept by sleeping; the default 50 us
  // timer slack would add to every paced transfer and turnaround.
  if (timing.bytesPerSecond > 0 || timing.turnaroundUs > 0) prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0);
  std::string reason;
  // Byte positions count within the first power-on's dialogue: a later
  // power-on only follows a whole dialogue, so nothing else can use the cut.
  for (bool first = true; ServePowerOn(target, timing, first, &reason); first = false) {
  }
  EndRun(target, reason);
}

bool Phone::ServePowerOn(Target& target, const LinkTiming& timing, bool first, std::string* reason) {
  auto check = [this] {
    if (stop_) throw Halt{Halt::kStop};
    if (hangup_) throw Halt{Halt::kHangup};
  };
  int master = -1, slave = -1;
  {
    std::lock_guard<std::mutex> lock(mu_);
    master = port_->master();
    slave = port_->keptSlave();
  }
  Wire wire(master, slave, timing, transcript_.get(), check);
  std::vector<int32_t> script;
  if (config_.recordWireScript) wire.set_script(&script);
  auto collect = [&] {
    std::lock_guard<std::mutex> lock(mu_);
    record_.wireBytesIn += wire.bytesIn();
    record_.wireBytesOut += wire.bytesOut();
    record_.answers += wire.answers();
    record_.wireScript.insert(record_.wireScript.end(), script.begin(), script.end());
  };
  const Faults& f = config_.faults;
  if (first && f.hangupAtByte >= 0) wire.CutAt(static_cast<uint64_t>(f.hangupAtByte), Halt::kHangup);
  if (first && f.silenceAtByte >= 0) wire.CutAt(static_cast<uint64_t>(f.silenceAtByte), Halt::kSilence);
  target.Attach(&wire);
  struct Count {
    Phone& phone;
    Wire& wire;
    ~Count() {
      std::lock_guard<std::mutex> lock(phone.mu_);
      phone.record_.bytesExchanged += wire.position();
      if (wire.cutStruck()) phone.record_.faults.push_back("link cut at byte " + std::to_string(wire.position()));
    }
  } count{*this, wire};
  try {
    target.RunBootRom();
    target.RunAgent();
    // The host set the watchdog: the phone resets once it has our answer.
    wire.WaitDrained(kDrainLimit);
    {
      std::lock_guard<std::mutex> lock(mu_);
      ++record_.resets;
    }
    if (config_.afterReset == AfterReset::kBootRom) {
      target.Attach(nullptr);
      collect();
      if (!ReopenPort()) {
        *reason = "stopped";
        return false;
      }
      target.ResetBootRom();
      return true;
    }
    std::lock_guard<std::mutex> lock(mu_);
    finished_ = true;
    *reason = "finished";
  } catch (const Halt& h) {
    *reason = HaltReason(h);
    if (h.reason == Halt::kSilence) {
      // Silent but present: keep swallowing bytes until stopped or unplugged.
      try {
        wire.DiscardForever();
      } catch (const Halt& h2) {
        *reason = std::string("silent, then ") + HaltReason(h2);
      }
    }
  } catch (const std::exception& e) {
    *reason = std::string("internal error: ") + e.what();
  }
  collect();
  return false;
}

void Phone::EndRun(Target& target, const std::string& reason) {
  target.Attach(nullptr);
  transcript_->Note("phone ended: " + reason);
  transcript_->Flush();
  {
    std::lock_guard<std::mutex> lock(mu_);
    ClosePortLocked();
    record_.endReason = reason;
    timespec cpu{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpu);
    record_.cpuSeconds = double(cpu.tv_sec) + 1e-9 * double(cpu.tv_nsec);
    ended_ = true;
  }
  cv_.notify_all();
}

void Phone::Hangup() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (!started_ || ended_) {
      ClosePortLocked();
      return;
    }
  }
  hangup_ = true;
  cv_.notify_all();
  WaitEnded(kHangupWait);
}

void Phone::Stop() {
  stop_ = true;
  cv_.notify_all();
  if (thread_.joinable()) thread_.join();
  if (linker_.joinable()) linker_.join();
  std::lock_guard<std::mutex> lock(mu_);
  ClosePortLocked();
  ended_ = true;
  if (transcript_) transcript_->Flush();
}

bool Phone::WaitFinished(std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mu_);
  cv_.wait_for(lock, timeout, [this] { return finished_ || ended_; });
  return finished_;
}

bool Phone::WaitEnded(std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mu_);
  return cv_.wait_for(lock, timeout, [this] { return ended_; });
}

bool Phone::Finished() const {
  std::lock_guard<std::mutex> lock(mu_);
  return finished_;
}

bool Phone::PortOpen() const {
  std::lock_guard<std::mutex> lock(mu_);
  return port_ && port_->IsOpen();
}

PhoneRecord Phone::Record() const {
  std::lock_guard<std::mutex> lock(mu_);
  return record_;
}

std::string Phone::TranscriptText() const { return transcript_->Text(); }

}  // namespace vantrel::sim
