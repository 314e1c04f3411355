#pragma once
// The channel of one session's protocol run: where its reports and trace
// lines go, the deadlines of its waits, its last failure detail and its
// cancel flag. Protocol code reaches it through the link it is handed
// (`Link::channel()`), or is handed it directly where there is no link (the
// FS writer on a block device).
//
// Why an explicit object and not thread-local state: a session's protocol
// run is one call tree on one thread today, but the station front end and
// the tests need to see which session a line belongs to, and an argument
// that travels with the link says so in every signature; thread-local sinks
// would silently lose lines the day a stage hands work to another thread.
//
// The defaults reproduce the process-wide behaviour exactly: reports go to
// the process's report function (ProgressCallback routes them to the
// session through EngineMap under ReportLock), trace lines to standard
// output unchanged, and the waits use the process-wide limits.
#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

#include "link/progress.h"
#include "platform/clock.h"

namespace vantrel {

// Deadlines of the waits without a limit of their own, in milliseconds. The
// defaults suit a real phone; tests and simulations may shorten them.
struct WaitLimits {
  uint32_t handshakeMs = 60000;      // boot ROM start handshake
  uint32_t registerPollMs = 5000;    // one power-key busy-bit poll
  uint32_t firstAgentByteMs = 60000; // the agent's first 0xC0 after the jump
  uint32_t statusByteMs = 30000;     // any agent status byte or short answer
  uint32_t flashScanMs = 120000;     // "Wait for DA to scan flash content"
  uint32_t eraseMs = 120000;         // answers during an erase of a range
};

// The process-wide limits: what every channel uses unless it has its own.
WaitLimits& Limits();

// What a front end may ask of one session beyond the closed host's
// dialogue. The defaults are the closed host's behaviour.
struct SessionSettings {
  // Before the first write, one read names the phone's page and spare size;
  // a package whose FS images are for another geometry is refused there.
  bool checkGeometry = false;
  // The reset countdown after a download ends when the session's port has
  // gone (the phone reset) or on cancel; Download still succeeds.
  bool resetWaitEndsWhenGone = false;
  // How long each answer of the agent (a status byte, a short answer) is
  // waited for, in ms, over whichever limits are in force; 0: theirs.
  uint32_t answerLimitMs = 0;
  // Where the session looks for its COM<n> (empty: the process default).
  std::string portDir;
  // A file that records the session's wire ("%u": the COM number); empty: none.
  std::string transcript;
  // After the last FS image, every FS block written is read back and
  // compared with what was sent.
  bool verify = false;
  // Prepare loads no package: the session can identify the phone or read
  // its flash, not download.
  bool withoutPackage = false;
};

// What the link saw go wrong first, kept behind a failure's code. The codes
// stay what the host has always been given (a block command that got no
// answer is "refused" to it); the cause lets a front end tell a phone that
// stopped answering or went away from one that refused.
enum class LinkCause : int32_t {
  kNone = 0,         // no link failure: a check of the plug-in's own, a cancel
  kPortGone = 1,     // the port went away (unplugged, hung up)
  kNoAnswer = 2,     // no byte within the limit; silent_ms() tells how long
  kWriteFailed = 3,  // a write or its flush failed or ran out of time, the port still there
  kRefused = 4,      // every byte went and came: the phone's answer ended the step
  kReadFailed = 5,   // a read failed, the port still there
};

class Channel {
 public:
  using LogSink = std::function<void(const char* text)>;
  using EventSink = std::function<void(const StageEvent& event)>;

  Channel() = default;
  Channel(const Channel&) = delete;
  Channel& operator=(const Channel&) = delete;

  // Formats into a 512-byte buffer (511 characters kept) and hands the text
  // on unchanged: no prefix, no time stamp, no newline added.
  void Log(const char* format, ...) __attribute__((format(printf, 2, 3)));
  // One report of the run; `port` is the COM port number, the report's first
  // argument.
  void Report(uint32_t port, uint32_t type, uint32_t percent, const char* text);
  // A transfer report of the running step: the host gets `percent` as it
  // always has; a front end's event counts the `done` of `total` units
  // (bytes, blocks) the transfer has really sent, not the rounded percent.
  void ReportTransfer(uint32_t port, uint32_t percent, uint64_t done, uint64_t total);

  void SetLogSink(LogSink sink) { log_ = std::move(sink); }
  // Front-end events: nothing is sent without a sink. An event about the
  // running step gets the plan's fields (image k of n, the plan's bytes).
  void SetEventSink(EventSink sink) { event_ = std::move(sink); }
  void Event(StageEvent e) const {
    if (!event_) return;
    progress_.Fill(&e);
    event_(e);
  }
  // The download's plan, and the step that begins now (`fs_image` counts
  // the FS images from 1). The host's transfer percentages move the step on.
  void SetPlan(std::vector<PlanStep> steps) { progress_.SetPlan(std::move(steps)); }
  void EnterStage(int stage, uint32_t fs_image = 0) {
    const StageEvent e = progress_.Enter(stage, fs_image);
    if (event_) event_(e);
  }
  // The running step has moved `done` of `total` units.
  void Advance(uint64_t done, uint64_t total) {
    const StageEvent e = progress_.Advance(done, total);
    if (event_) event_(e);
  }
  SessionSettings& settings() { return settings_; }
  const SessionSettings& settings() const { return settings_; }

  const WaitLimits& limits() const {
    const WaitLimits& base = limits_ ? *limits_ : Limits();
    if (settings_.answerLimitMs == 0) return base;
    merged_ = base;
    merged_.statusByteMs = settings_.answerLimitMs;
    return merged_;
  }
  // The channel's own limits (null: the process-wide ones again). Not owned.
  void SetLimits(const WaitLimits* limits) { limits_ = limits; }
  const WaitLimits* own_limits() const { return limits_; }

  // Records where and why a step failed and returns `code`, so a failure
  // site reads `return ch.Fail(kX, "DA1 packet %u: ...", n);`. The deepest
  // site wins: a detail already recorded is kept, and callers add their
  // context in front of it with AddContext.
  int Fail(int code, const char* format, ...) __attribute__((format(printf, 3, 4)));
  // Puts "context: " in front of the recorded detail (nothing when none).
  void AddContext(const char* format, ...) __attribute__((format(printf, 2, 3)));
  // What a stage returned, kept with the detail its deepest site recorded
  // (a stage without a detail of its own gets the code's meaning).
  // A stage that fails after the link carried every byte, with answers
  // coming, failed on an answer: its cause is kRefused.
  void SetStageFailure(int code, const char* meaning);
  const std::string& failure() const { return failure_; }
  int failure_code() const { return failure_code_; }
  void ClearFailure() {
    failure_.clear();
    failure_code_ = 0;
    cause_ = LinkCause::kNone;
    silence_pending_ = false;
    silent_ms_ = 0;
    answered_ = false;
  }

  // The link's account of its transfers, from which the cause is kept. A
  // read that times out adds its time-out to the silence, which stays
  // pending while the protocol may still read again (a wait that repeats
  // its reads): a read that brings bytes ends it. A wait that gives up
  // commits it. A failed call records its cause at once. The first cause
  // committed stands, except that a port gone explains whatever came before.
  void NoteAnswered();
  void NoteSilence(uint32_t ms);
  void CommitSilence() { silence_pending_ = false; }
  void NoteFault(LinkCause cause);
  // The cause behind the failure recorded (kNone while nothing failed on
  // the link), and for kNoAnswer the port time without a byte.
  LinkCause cause() const { return cause_; }
  uint64_t silent_ms() const { return silent_ms_; }

  // The session's fixed pauses (the 3-second settles, the reset countdown)
  // through the process clock, shortened by the time scale in use; polls and
  // deadlines never use this clock.
  platform::Clock& pauses() { return pauses_; }
  double time_scale() const { return pauses_.factor(); }
  // What the environment asks for (read at the boundary). It is used only
  // where the session's port is a pseudo-terminal, the simulated phone's
  // kind of port: against a real phone the pauses are what it needs, and
  // the trace says once per session that the scale was ignored.
  void RequestTimeScale(double factor) { requested_scale_ = factor; }
  void ChooseTimeScale(bool pseudo_terminal, uint32_t com_port);

  // Set from any thread; the transfers look at it between packets and
  // blocks and end with kCancelled.
  void Cancel() { cancelled_.store(true); }
  bool cancelled() const { return cancelled_.load(); }
  void ClearCancel() { cancelled_.store(false); }

 private:
  LogSink log_;
  PlanProgress progress_;
  EventSink event_;
  SessionSettings settings_;
  const WaitLimits* limits_ = nullptr;
  mutable WaitLimits merged_;  // limits() with the answer limit in force
  std::string failure_;
  int failure_code_ = 0;
  LinkCause cause_ = LinkCause::kNone;
  bool silence_pending_ = false;  // cause_ is a silence no wait has given up on
  uint64_t silent_ms_ = 0;
  bool answered_ = false;  // a byte came since the record was cleared
  platform::ScaledClock pauses_;
  double requested_scale_ = 1;
  bool scale_noted_ = false;
  std::atomic<bool> cancelled_{false};
};

}  // namespace vantrel
