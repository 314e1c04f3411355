#include "tools/cli/station.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "tools/pkg/digest.h"
#include "tools/cli/display.h"

namespace vantrel::cli {

namespace {

bool Exists(const std::string& path) {
  struct stat st{};
  return ::stat(path.c_str(), &st) == 0;
}

// What the user is told while a port is awaited. A COMn port lies in the
// port directory; when that directory itself is missing, no phone can
// appear there until the udev rule (or VANTREL_PORT_DIR) makes it.
std::string WaitingNote(const std::string& label, const std::string& device) {
  std::string note = "waiting for the phone on " + device +
                     ": power it off, connect it, and it is taken at once (Ctrl-C to give up)";
  const std::string folder = std::filesystem::path(device).parent_path().string();
  if (label.rfind("COM", 0) == 0 && !folder.empty() && !Exists(folder))
    note += "; the port directory " + folder + " does not exist: `vantrel doctor` tells how to make it";
  return note;
}

Failure ReadFailure(PluginHost& host, CInterfaceTemplate* s) {
  Failure f;
  int32_t code = 0, cause = 0;
  host.LastFailure(s, &code, &f.detail);
  f.code = code;
  if (host.FailureCause(s, &cause, &f.silent_ms)) f.cause = cause;
  return f;
}

}  // namespace

PhoneRun::PhoneRun(PluginHost& host, Display& display, std::string label, std::string device, int32_t index,
                   std::string port_dir, StationOptions options)
    : host_(host),
      display_(display),
      index_(index),
      port_dir_(std::move(port_dir)),
      link_(port_dir_ + "/COM" + std::to_string(index + 40)),
      options_(options) {
  state_.label = std::move(label);
  state_.device = std::move(device);
  state_.com = static_cast<unsigned>(index + 40);
}

PhoneRun::~PhoneRun() {
  // A forced exit may leave the threads running; a normal end joins them.
  if (thread_.joinable()) thread_.join();
}

void PhoneRun::Start() {
  start_ = std::chrono::steady_clock::now();
  thread_ = std::thread([this] { Run(); });
}

void PhoneRun::Join() {
  if (thread_.joinable()) thread_.join();
}

PhoneState PhoneRun::State() const {
  std::lock_guard<std::mutex> g(mu_);
  PhoneState s = state_;
  s.seconds = ended_at_ >= 0 ? ended_at_ : std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
  // Measured at each look, so a stall shows as a falling rate, not a frozen one.
  const double elapsed = s.seconds - s.transfer_since;
  if (s.transfer_since >= 0 && elapsed > 0.05 && (s.stage == Stage::kImage || s.stage == Stage::kReading)) s.rate = s.done_bytes / elapsed;
  return s;
}

void PhoneRun::StopSession() {
  std::lock_guard<std::mutex> g(session_mu_);
  if (session_) session_->Stop();
}

void PhoneRun::Interrupt() {
  Stage stage;
  {
    std::lock_guard<std::mutex> g(mu_);
    if (interrupted_) return;
    interrupted_ = true;
    stage = state_.stage;
    if (stage == Stage::kStarting || stage == Stage::kWaiting) stopped_by_us_ = true;
  }
  std::lock_guard<std::mutex> g(session_mu_);
  if (!session_) return;
  if (stage == Stage::kCountdown) {
    // The download is done: a library that can ends the wait, else it ends
    // with the process.
    host_.Cancel(session_);
    return;
  }
  session_->Stop();                        // the port wait
  if (stage != Stage::kStarting && stage != Stage::kWaiting) host_.Cancel(session_);
}

void PhoneRun::Finish(ExitCode cls, int code, const std::string& message) {
  PhoneState s;
  {
    std::lock_guard<std::mutex> g(mu_);
    state_.result = cls;
    state_.code = code;
    state_.message = message;
    state_.stage = cls == kExitOk ? Stage::kDone : cls == kExitInterrupted ? Stage::kInterrupted : Stage::kFailed;
    ended_at_ = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    s = state_;
    s.seconds = ended_at_;
  }
  display_.Result(s);
}

void PhoneRun::Run() {
  CInterfaceTemplate* s = host_.NewSession(this, index_);
  if (!s) {
    Finish(kExitFailure, 0, "the plug-in refused to create a session");
    finished_ = true;
    return;
  }
  {
    std::lock_guard<std::mutex> g(session_mu_);
    session_ = s;
  }
  if (Configure(s)) {
    ConnectAndDownload(s);
    s->Timing(1);
  }
  EndSession();
}

// The session's routes and settings, then Prepare: false when the package
// did not load.
bool PhoneRun::Configure(CInterfaceTemplate* s) {
  host_.SetLog(s, &PhoneRun::LogThunk, this);
  // Each session has its own port directory, pauses and transcript.
  host_.SetText(s, VANTREL_TEXT_PORT_DIR, port_dir_);
  host_.SetSetting(s, VANTREL_SETTING_TIME_SCALE, options_.time_scale);
  host_.SetText(s, VANTREL_TEXT_TRANSCRIPT, options_.transcript);
  // A package for the other flash geometry is refused before anything is
  // written, and the reset wait ends when the phone has gone.
  host_.SetSetting(s, VANTREL_SETTING_CHECK_GEOMETRY, 1);
  host_.SetSetting(s, VANTREL_SETTING_RESET_WAIT_ENDS_WHEN_GONE, 1);
  host_.SetEvents(s, &PhoneRun::EventThunk, this);
  if (options_.verify) host_.SetSetting(s, VANTREL_SETTING_VERIFY, 1);
  if (options_.without_package) host_.SetSetting(s, VANTREL_SETTING_WITHOUT_PACKAGE, 1);
  if (options_.answer_limit_seconds > 0)
    host_.SetSetting(s, VANTREL_SETTING_ANSWER_LIMIT_MS,
                     static_cast<int32_t>(options_.answer_limit_seconds * 1000 + 0.5));
  if (s->Prepare(0) == 1) return true;
  int32_t code = 0;
  std::string detail;
  host_.LastFailure(s, &code, &detail);
  Finish(kExitPackage, code, "the package did not load" + (detail.empty() ? "" : ": " + detail));
  return false;
}

void PhoneRun::SetStep(Stage stage, const char* step) {
  {
    std::lock_guard<std::mutex> g(mu_);
    // A step of the session begins here (the agent connection, before the
    // library's own event for it): the log times it from now.
    const bool session_step = stage != Stage::kWaiting && stage != Stage::kStarting;
    if (session_step && state_.step != step)
      state_.steps.push_back({step, std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count()});
    state_.stage = stage;
    state_.step = step;
  }
  display_.Stage(State());
}

// Connect (the port wait and the boot ROM stage), then Download when there
// is an agent to talk to.
void PhoneRun::ConnectAndDownload(CInterfaceTemplate* s) {
  s->Timing(0);
  SetStep(Stage::kWaiting, "waiting for the port");
  mirror_ = std::thread([this] { Mirror(); });
  s->Connect();
  bool interrupted, expired;
  {
    std::lock_guard<std::mutex> g(mu_);
    interrupted = interrupted_;
    expired = wait_expired_;
  }
  const PhoneState now = State();
  int32_t code = 0;
  std::string detail;
  if (now.stage == Stage::kWaiting || now.stage == Stage::kStarting) {
    Finish(expired ? WaitExpired(options_.wait_seconds) : Interrupted(now.stage, now.step, nullptr, !options_.plan),
           0);
  } else if (interrupted) {
    Finish(Interrupted(Stage::kBootRom, now.step, nullptr, !options_.plan), 0);
  } else if (host_.LastFailure(s, &code, &detail)) {
    FinishFailedBoot(s, now.device);  // no agent to talk to
  } else {
    SetStep(Stage::kAgent, "agent connection");
    std::string done;
    const bool ok = options_.plan ? options_.plan(s, &done) : s->Download() == 1;
    if (!options_.plan) NotePhoneSeen(s);
    if (ok) Finish(kExitOk, 0, options_.plan ? done : Flashed());
    else if (!done.empty()) Finish(kExitFailure, 0, done);  // this side failed, not the phone
    else FinishFailedDownload(s, now.device);
  }
}

void PhoneRun::EndSession() {
  mirror_stop_ = true;
  mirror_cv_.notify_all();
  if (mirror_.joinable()) mirror_.join();
  ::unlink(link_.c_str());
  {
    std::lock_guard<std::mutex> g(session_mu_);
    host_.DeleteSession(&session_);
    session_ = nullptr;
  }
  finished_ = true;
  display_.Wake();
}

// Connect returns 1 whatever the boot ROM stage answered: its own result,
// read after it, says whether there is an agent to talk to.
void PhoneRun::NotePhoneSeen(CInterfaceTemplate* s) {
  VantrelIdentity id{};
  id.size = sizeof id;
  if (!host_.PhoneSeen(s, &id)) return;
  std::lock_guard<std::mutex> g(mu_);
  state_.agent_version = std::to_string(id.agent_version[0]) + "." + std::to_string(id.agent_version[1]);
  state_.chip_type = id.chip_type;
  state_.report_sha256 = pkg::Sha256(id.target_report, sizeof id.target_report);
}

void PhoneRun::SetCause(int cause) {
  std::lock_guard<std::mutex> g(mu_);
  state_.cause = cause;
}

void PhoneRun::FinishFailedBoot(CInterfaceTemplate* s, const std::string& device) {
  const Failure f = ReadFailure(host_, s);
  SetCause(f.cause);
  Finish(FailedBootRom(f, !Exists(device)), f.code);
}

void PhoneRun::FinishFailedDownload(CInterfaceTemplate* s, const std::string& device) {
  const PhoneState now = State();
  const Failure f = ReadFailure(host_, s);
  SetCause(f.cause);
  // Without the link's cause, the device node tells: a hung-up pty or an
  // unplugged device loses it a moment after the session's I/O error.
  bool gone = false;
  if (f.cause == kCauseUnknown) {
    gone = !Exists(device);
    for (int i = 0; i < 10 && !gone; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      gone = !Exists(device);
    }
  }
  bool interrupted;
  {
    std::lock_guard<std::mutex> g(mu_);
    interrupted = interrupted_;
  }
  Ending own;
  if (!interrupted && options_.plan_ending && options_.plan_ending(f, &own)) return Finish(own, f.code);
  Finish(FailedDownload(f, now.stage, now.step, gone, interrupted, !options_.plan), f.code);
}

void PhoneRun::Mirror() {
  // The link appears only after the session has begun waiting, so a port
  // that is already there is taken as a phone being plugged in.
  {
    std::unique_lock<std::mutex> l(mirror_mu_);
    mirror_cv_.wait_for(l, std::chrono::milliseconds(options_.mirror_delay_ms), [this] { return mirror_stop_.load(); });
  }
  // --wait counts from when the wait begins, not from the package load. A
  // wait beyond 115 days is as good as none, and stays inside what the
  // clock's arithmetic holds (--wait 1e10 would overflow into the past).
  const double wait_ms = std::min(options_.wait_seconds, 1e7) * 1000;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(static_cast<int64_t>(wait_ms));
  bool announced = false;
  while (!mirror_stop_) {
    struct stat lst{};
    const bool present = Exists(state_.device);
    const bool linked = ::lstat(link_.c_str(), &lst) == 0;
    if (present && !linked) (void)!::symlink(state_.device.c_str(), link_.c_str());
    if (!present && linked) ::unlink(link_.c_str());
    bool changed = false, announce = false, expire = false;
    {
      std::lock_guard<std::mutex> g(mu_);
      if (state_.stage == Stage::kWaiting) {
        if (present) {
          state_.stage = Stage::kBootRom;
          state_.step = "boot ROM stage";
          const auto since = std::chrono::steady_clock::now() - start_;
          state_.steps.push_back({state_.step, std::chrono::duration<double>(since).count()});
          changed = true;
        } else if (!announced) {
          announce = announced = true;
        } else if (options_.wait_seconds >= 0 && std::chrono::steady_clock::now() >= deadline && !wait_expired_) {
          expire = wait_expired_ = stopped_by_us_ = true;
        }
      }
    }
    if (changed) display_.Stage(State());
    if (announce) {
      display_.Note(State(), WaitingNote(state_.label, state_.device));
    }
    if (expire) StopSession();
    std::unique_lock<std::mutex> l(mirror_mu_);
    mirror_cv_.wait_for(l, std::chrono::milliseconds(10), [this] { return mirror_stop_.load(); });
  }
}

// The host's reports: shown in --json as they came, read for nothing else
// (what the session does comes through its events).
int32_t PhoneRun::OnProgress(int32_t kind, int32_t percent, const char* text) {
  display_.Report(State(), kind, percent, text ? text : "");
  return 1;
}

int32_t PhoneRun::OnMessage(int32_t kind, int32_t value, const char* text) {
  display_.Report(State(), kind, value, text ? text : "");
  return 1;
}

std::string PhoneRun::Flashed() const {
  std::lock_guard<std::mutex> g(mu_);
  std::string m = FlashedMessage(reset_end_, reset_after_);
  if (state_.verified_blocks) {
    char v[80];
    std::snprintf(v, sizeof v, "; verified %u blocks in %.1f s", state_.verified_blocks, state_.verify_ms / 1000.0);
    m += v;
  }
  return m;
}

void PhoneRun::EventThunk(void* user, const VantrelEvent* event) {
  if (event) static_cast<PhoneRun*>(user)->OnEvent(*event);
}

namespace {

// What the line shows for a stage, or null for one that does not change it.
const char* StepName(const VantrelEvent& e, std::string* fs_name) {
  switch (e.stage) {
    case VANTREL_STAGE_BOOT_ROM: return "boot ROM stage";
    case VANTREL_STAGE_AGENT_CONNECTION: return "agent connection";
    case VANTREL_STAGE_FLASH_SCAN: return "agent scans the flash";
    case VANTREL_STAGE_BOOTLOADER: return "bootloader";
    case VANTREL_STAGE_EXT_BOOTLOADER: return "extended bootloader";
    case VANTREL_STAGE_IMAGE_LIST: return "image list";
    case VANTREL_STAGE_ROM_IMAGE: return "ROM image";
    case VANTREL_STAGE_SECONDARY_ROM_IMAGE: return "secondary ROM image";
    case VANTREL_STAGE_FS_IMAGE:
      *fs_name = "FS image " + std::to_string(e.fs_image);
      return fs_name->c_str();
    case VANTREL_STAGE_RESET_WAIT: return "resetting";
    case VANTREL_STAGE_IDENTIFY: return "identify";
    case VANTREL_STAGE_READ_BACK: return "reading the flash";
    case VANTREL_STAGE_VERIFY: return "verify";
    default: return nullptr;
  }
}

Stage StageOf(int32_t stage) {
  switch (stage) {
    case VANTREL_STAGE_BOOT_ROM: return Stage::kBootRom;
    case VANTREL_STAGE_AGENT_CONNECTION:
    case VANTREL_STAGE_FLASH_SCAN: return Stage::kAgent;
    case VANTREL_STAGE_RESET_WAIT: return Stage::kCountdown;
    case VANTREL_STAGE_IDENTIFY:
    case VANTREL_STAGE_READ_BACK:
    case VANTREL_STAGE_VERIFY: return Stage::kReading;
    default: return Stage::kImage;
  }
}

}  // namespace

// Moves the phone's state on by one event; true when the stage or step
// changed (a new line), false for progress within it.
bool PhoneRun::ApplyEvent(const VantrelEvent& e) {
  const auto now = std::chrono::steady_clock::now();
  if (e.plan_total) state_.total_bytes = e.plan_total;
  if (e.images) state_.images = static_cast<int>(e.images);
  if (e.stage == VANTREL_STAGE_INFO_READBACK) {
    state_.readback_done = e.done;
    state_.readback_total = e.total;
    return false;
  }
  if (e.stage == VANTREL_STAGE_RESET_WAIT) {
    state_.countdown = static_cast<int>(e.total - std::min(e.done, e.total));
    if (e.end != VANTREL_RESET_WAIT_RUNNING) {
      reset_end_ = e.end;
      reset_after_ = static_cast<int>(e.done);
    }
    state_.done_bytes = state_.total_bytes;
  } else if (StageOf(e.stage) == Stage::kImage && e.stage != VANTREL_STAGE_FAILED) {
    // (The failure's event says where; a read's bytes are not the plan's.)
    state_.done_bytes = e.plan_done;
  } else if (e.stage == VANTREL_STAGE_READ_BACK) {
    state_.done_bytes = e.done;
    state_.total_bytes = e.total;
  } else if (e.stage == VANTREL_STAGE_VERIFY && e.total && e.done == e.total) {
    state_.verified_blocks = e.total;
    state_.verify_ms = e.elapsed_ms;
  }
  std::string fs_name;
  const char* step = StepName(e, &fs_name);
  if (!step) return false;
  const bool changed = state_.step != step || state_.stage != StageOf(e.stage);
  if (changed) state_.steps.push_back({step, std::chrono::duration<double>(now - start_).count()});
  state_.stage = StageOf(e.stage);
  state_.step = step;
  if (e.image) state_.image = static_cast<int>(e.image);
  state_.percent = e.total ? static_cast<int>(uint64_t(e.done) * 100 / e.total) : 0;
  if (e.done > 0 && (state_.stage == Stage::kImage || e.stage == VANTREL_STAGE_READ_BACK)) {
    state_.readback_total = state_.readback_done = 0;  // the data goes out
    if (!transfer_started_) {
      transfer_started_ = true;
      transfer_start_ = now;
      state_.transfer_since = std::chrono::duration<double>(now - start_).count();
    }
  }
  const double secs = std::chrono::duration<double>(now - transfer_start_).count();
  state_.rate = transfer_started_ && secs > 0.05 ? state_.done_bytes / secs : 0;
  return changed;
}

void PhoneRun::OnEvent(const VantrelEvent& e) {
  PhoneState snap;
  bool changed;
  {
    std::lock_guard<std::mutex> g(mu_);
    changed = ApplyEvent(e);
    snap = state_;
  }
  snap.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
  if (changed) display_.Stage(snap);
  else display_.Progress(snap);
}

void PhoneRun::LogThunk(void* user, const char* text) {
  auto* self = static_cast<PhoneRun*>(user);
  self->display_.Trace(self->State(), text ? text : "");
}

}  // namespace vantrel::cli
