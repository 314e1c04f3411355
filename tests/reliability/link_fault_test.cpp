// Hang-ups and silence at every protocol step: from the byte positions of a
// whole download (both directions, as the simulated phone counts them), the
// link is cut, or the phone goes silent, at a sample spread over every stage
// that includes every boot ROM command boundary. Each case must end with the
// failing stage's code within the limits, its cause told as the port gone or
// as no answer (whatever the code), hold no port afterwards, and a new
// download on the same port must succeed and pass the flash check. A fault
// inside the final watchdog command comes after the last write, and the stage
// does not wait on its answer: that download succeeds.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>

#include "platform/clock.h"
#include "tests/reliability/matrix_util.h"

namespace vantrel::testing {
namespace {

// One read time-out (500 ms of port time) per wait: the silent cases cost
// real time, since the port's own time-outs are the kernel's.
WaitLimits ShortLimits() {
  WaitLimits l;
  l.handshakeMs = 500;
  l.registerPollMs = 500;
  l.firstAgentByteMs = 500;
  l.statusByteMs = 500;
  l.flashScanMs = 500;
  l.eraseMs = 500;
  return l;
}

// The plug-in's fixed pauses between steps, on top of the waits' limits.
constexpr uint64_t kFixedPausesMs = 15000;

uint64_t Bound(const WaitLimits& l) {
  return uint64_t{l.handshakeMs} + l.registerPollMs + l.firstAgentByteMs + l.statusByteMs +
         l.flashScanMs + l.eraseMs + kFixedPausesMs;
}

struct Dialogue {
  std::vector<uint64_t> positions;  // sorted, distinct
  uint64_t agentStart = 0;          // the agent's first byte
  uint64_t watchdogAt = 0;          // the final watchdog command byte
  uint64_t total = 0;
  size_t bootBoundaries = 0;
};

// The reference's marks as if its handshake had gone straight through. On a
// loaded machine an answer may come late and the handshake start over, which
// puts a few bytes in front of everything else; the faulted downloads
// normally go straight through, so positions count from the last start.
std::vector<sim::PhoneRecord::Mark> StraightMarks(const sim::PhoneRecord& rec, uint64_t* extra) {
  uint64_t first = 0, last = 0;
  bool seen = false;
  for (const auto& m : rec.marks) {
    if (m.point != "brom:handshake") continue;
    if (!seen) first = m.position;
    last = m.position;
    seen = true;
  }
  *extra = last - first;
  std::vector<sim::PhoneRecord::Mark> marks;
  for (const auto& m : rec.marks)
    if (m.position >= last) marks.push_back({m.point, m.position - *extra});
  return marks;
}

// Every boot ROM command boundary (just before and just after each command
// byte), the byte before each agent command, the middle of every step, and
// evenly spread positions, until there are at least 200.
Dialogue Sample(const sim::PhoneRecord& rec) {
  Dialogue d;
  uint64_t extra = 0;
  const std::vector<sim::PhoneRecord::Mark> marks = StraightMarks(rec, &extra);
  d.total = rec.bytesExchanged - extra;
  std::set<uint64_t> s;
  std::vector<uint64_t> steps{0};
  for (const auto& m : marks) {
    if (m.point == "agent:start") d.agentStart = m.position;
    if (m.point == "agent:0xDB") d.watchdogAt = m.position - 1;
    if (m.point.rfind("brom:", 0) == 0) {
      if (m.position > 0) s.insert(m.position - 1);
      s.insert(m.position);
    }
    if (m.point != "agent:packet" && m.point != "agent:readpacket") steps.push_back(m.position);
  }
  d.bootBoundaries = s.size();
  for (const auto& m : marks)
    if (m.point.rfind("agent:0x", 0) == 0 && m.position > 0) s.insert(m.position - 1);
  steps.push_back(d.total);
  for (size_t i = 1; i < steps.size(); ++i) s.insert((steps[i - 1] + steps[i]) / 2);
  for (uint64_t n = 64; s.size() < 200 && n <= d.total; n *= 2)
    for (uint64_t k = 0; k < n; ++k) s.insert(d.total * k / n);
  for (uint64_t p : s)
    if (p < d.total) d.positions.push_back(p);
  return d;
}

// The first failure the session's log explains: the one that caused the rest.
std::string FirstFailure(const std::string& log) {
  const std::string marker = "Failure detail: ";
  size_t at = log.find(marker);
  if (at == std::string::npos) return "no detail logged";
  at += marker.size();
  return log.substr(at, log.find('\n', at) - at);
}

bool CutStruck(const sim::PhoneRecord& rec) {
  return std::any_of(rec.faults.begin(), rec.faults.end(),
                     [](const std::string& f) { return f.rfind("link cut at byte ", 0) == 0; });
}

struct Outcome {
  unsigned cases = 0, passed = 0;
  uint64_t longestMs = 0;
  std::vector<std::string> failures;
};

void RunCase(Rig& rig, const std::string& start, const Dialogue& d, uint64_t k, bool silence,
             unsigned com, Outcome* out) {
  ++out->cases;
  const std::string at = std::string(silence ? "silence" : "hang-up") + " at byte " + std::to_string(k) +
                         " of " + std::to_string(d.total);
  rig.set_flash(sim::Flash::FromFile(start));
  sim::PhoneConfig c;
  (silence ? c.faults.silenceAtByte : c.faults.hangupAtByte) = static_cast<long>(k);
  rig.StartPhone(c, com, 0);
  const uint64_t clock0 = platform::GetClock().NowMs(), real0 = platform::RealNowMs();
  SessionResult r = RunEngineQuietly(rig, com);
  const uint64_t spent = (platform::GetClock().NowMs() - clock0) + (platform::RealNowMs() - real0);
  out->longestMs = std::max(out->longestMs, spent);
  const bool inBootRom = k < d.agentStart;
  std::string problem;
  if (k > d.watchdogAt || (silence && k == d.watchdogAt)) {
    // Everything is written; the stage does not depend on the watchdog's answer.
    if (r.result != 1) problem = "a fault in the final watchdog command failed the download";
  } else if (k == d.watchdogAt) {
    // A hang-up just before the command may also swallow the last answer,
    // which the phone sent but the host had not read yet: either ending is right.
  } else if (r.result == 1) problem = "the download succeeded";
  else if (r.result != 0) problem = "the port could not be opened";
  else if (inBootRom && r.bootCode == 0) problem = "the boot ROM stage reported no code";
  else if (!inBootRom && r.bootCode != 0) problem = "the boot ROM stage failed (" + std::to_string(r.bootCode) + ")";
  else if (r.downloadCode == 0) problem = "the agent stage reported no code";
  else if (spent > Bound(Limits())) problem = "gave up after " + std::to_string(spent) + " ms";
  if (problem.empty() && silence) {
    // The silent phone's port is still there: the ended session must not hold it.
    if (!platform::OpenComPort(com, false)) problem = "the port is still held";
  }
  rig.phone().Stop();
  // Told by the cut, whatever code the step chose: judged where the cut
  // struck (a stage that failed before it, as a handshake lost on a loaded
  // machine, says nothing about the fault).
  const LinkCause cause = inBootRom ? r.bootCause : r.downloadCause;
  if (problem.empty() && r.result == 0 && k < d.watchdogAt && CutStruck(rig.phone().Record()) &&
      cause != (silence ? LinkCause::kNoAnswer : LinkCause::kPortGone))
    problem = "the failure's cause is " + std::to_string(static_cast<int>(cause)) + ", not " +
              (silence ? "no answer" : "the port gone") + ": " + FirstFailure(r.log);
  if (problem.empty()) {
    // The next download is an ordinary one, with the ordinary limits. The
    // cases running at once take turns for it: several whole downloads at once
    // on a loaded machine can miss the protocol's own 500 ms read time-out.
    const WaitLimits fault_limits = Limits();
    Limits() = WaitLimits{};
    const int lock = ::open((rig.ports().path() + "/next-download.lock").c_str(), O_CREAT | O_RDWR, 0600);
    if (lock >= 0) ::flock(lock, LOCK_EX);
    rig.StartPhone({}, com, 0);
    SessionResult again = RunEngineQuietly(rig, com);
    if (lock >= 0) ::close(lock);
    Limits() = fault_limits;
    if (again.result != 1)
      problem = "the next download failed (" + std::to_string(again.downloadCode) + "): " + FirstFailure(again.log);
    else if (auto check = rig.Check(); !check.ok) problem = "after the next download: " + check.problems.front();
    rig.phone().Stop();
  }
  if (problem.empty()) ++out->passed;
  else out->failures.push_back(at + ": " + problem);
}

// Silent cases wait out real read time-outs, so six run at once, each in
// a process of its own (its own protocol log, package state and clock) on its
// own COM number. Forked while this process runs no other thread.
void RunForked(Rig& rig, const std::string& start, const Dialogue& d, const std::vector<uint64_t>& ks,
               bool silence, Outcome* out) {
  constexpr unsigned kAtOnce = 6;
  for (size_t first = 0; first < ks.size(); first += kAtOnce) {
    std::vector<std::pair<pid_t, int>> kids;
    for (size_t i = first; i < ks.size() && i < first + kAtOnce; ++i) {
      int fds[2];
      ASSERT_EQ(::pipe(fds), 0);
      pid_t pid = ::fork();
      ASSERT_GE(pid, 0);
      if (pid == 0) {
        ::close(fds[0]);
        Outcome one;
        RunCase(rig, start, d, ks[i], silence, 41 + static_cast<unsigned>(i - first), &one);
        std::string msg = std::to_string(one.longestMs) + " " +
                          (one.failures.empty() ? std::string("ok") : one.failures.front());
        (void)!::write(fds[1], msg.data(), msg.size());
        ::_exit(0);
      }
      ::close(fds[1]);
      kids.push_back({pid, fds[0]});
    }
    for (auto [pid, fd] : kids) {
      std::string msg;
      char buf[512];
      for (ssize_t n; (n = ::read(fd, buf, sizeof buf)) > 0;) msg.append(buf, static_cast<size_t>(n));
      ::close(fd);
      int status = 0;
      ::waitpid(pid, &status, 0);
      ++out->cases;
      size_t sp = msg.find(' ');
      if (sp == std::string::npos || !WIFEXITED(status)) {
        out->failures.push_back("a case's process ended abnormally: " + msg);
        continue;
      }
      out->longestMs = std::max<uint64_t>(out->longestMs, std::stoull(msg.substr(0, sp)));
      if (msg.substr(sp + 1) == "ok") ++out->passed;
      else out->failures.push_back(msg.substr(sp + 1));
    }
  }
}

class LinkFaultMatrix : public ::testing::Test {
 protected:
  void SetUp() override {
    rig_.UsePackage(TinyPackage());
    start_ = rig_.ports().path() + "/start.state";
    ASSERT_TRUE(rig_.flash().Save(start_));
    Limits() = ShortLimits();
    sim::PhoneConfig c;
    // VANTREL_WRITE_TRANSCRIPT=file keeps the whole dialogue as a hex
    // transcript (the protocol fuzzer's seeds are made from such files).
    if (const char* path = std::getenv("VANTREL_WRITE_TRANSCRIPT")) {
      c.transcriptPath = path;
      c.transcriptFullData = true;
    }
    rig_.StartPhone(c, 40, 0);
    const SessionResult base = RunEngineQuietly(rig_);
    ASSERT_EQ(base.result, 1) << base.log;
    rig_.phone().Stop();  // the phone counts its bytes when its dialogue ends
    d_ = Sample(rig_.phone().Record());
    ASSERT_GE(d_.positions.size(), 200u);
    ASSERT_GT(d_.agentStart, 0u);
    ASSERT_GT(d_.watchdogAt, d_.agentStart);
  }
  // Shard `s` of `n`: every n-th position, so each shard spans every stage.
  Outcome Run(bool silence, unsigned s, unsigned n) {
    Outcome o;
    std::vector<uint64_t> ks;
    for (size_t i = s; i < d_.positions.size(); i += n) ks.push_back(d_.positions[i]);
    // VANTREL_MATRIX_AT=k runs the one case at byte k (to look into a finding).
    if (const char* only = std::getenv("VANTREL_MATRIX_AT")) ks = {std::stoull(only)};
    if (silence) {
      RunForked(rig_, start_, d_, ks, silence, &o);
    } else {
      for (uint64_t k : ks) RunCase(rig_, start_, d_, k, silence, 40, &o);
    }
    std::printf("[ link-fault matrix ] %s, shard %u/%u: %u cases of %zu positions (%zu boot ROM command "
                "boundaries, %llu bytes in all), %u ended within their limits and recovered; longest "
                "time to give up %llu ms\n",
                silence ? "silence" : "hang-up", s + 1, n, o.cases, d_.positions.size(), d_.bootBoundaries,
                static_cast<unsigned long long>(d_.total), o.passed,
                static_cast<unsigned long long>(o.longestMs));
    return o;
  }
  Rig rig_{512};
  std::string start_;
  Dialogue d_;
};

TEST_F(LinkFaultMatrix, HangUpAtEveryStep) {
  Outcome o = Run(false, 0, 1);
  EXPECT_EQ(o.passed, o.cases) << ::testing::PrintToString(o.failures);
}

TEST_F(LinkFaultMatrix, SilenceAtEveryStep) {
  Outcome o = Run(true, 0, 1);
  EXPECT_EQ(o.passed, o.cases) << ::testing::PrintToString(o.failures);
}

}  // namespace
}  // namespace vantrel::testing
