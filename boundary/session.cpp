#include "boundary/session.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <new>

#include "link/link.h"
#include "platform/clock.h"
#include "platform/foreign_call.h"
#include "ports/com_driver.h"
#include "vantrel/codes.h"

namespace vantrel {

int32_t CDllInterface::SetHostCallback(HostCallback* cb) {
  if (!cb) return 0;
  host_ = cb;
  return 1;
}

namespace {
// One call into the host's callback object, run through CallForeign so that
// whatever the host raises stops at the boundary (the session carries on).
struct HostCall {
  HostCallback* host;
  bool progress;  // OnProgress, else OnMessage
  int32_t kind, value;
  const char* text;
};
int32_t CallHost(void* p) {
  auto* c = static_cast<HostCall*>(p);
  return c->progress ? c->host->OnProgress(c->kind, c->value, c->text)
                     : c->host->OnMessage(c->kind, c->value, c->text);
}
int32_t Deliver(HostCall call) {
  int32_t result = 0;
  return platform::CallForeign(&CallHost, &call, &result) ? result : 0;
}
}  // namespace

int32_t CDllInterface::ReportProgress(int32_t kind, int32_t percent, const char* text) {
  if (!host_) return 0;
  return Deliver({host_, true, kind, percent, text ? text : ""});
}

int32_t CDllInterface::ReportMessage(int32_t kind, int32_t value, const char* text) {
  if (!host_) return 0;
  return Deliver({host_, false, kind, value, text ? text : ""});
}

namespace {
std::string Environment(const char* name) {
  const char* v = std::getenv(name);
  return v ? v : "";
}
}  // namespace

// The closed host has no way to give settings but the environment: it is read
// here, once per session, into the session's own settings, which a front end
// may then change through the extension. Nothing below reads it.
void CBizDownload::ReadEnvironment() {
  const std::string scale = Environment("VANTREL_TIME_SCALE");
  // Faster fixed pauses for simulated phones; used only on a pseudo-terminal.
  engine_.channel().RequestTimeScale(scale.empty() ? 1 : std::atof(scale.c_str()));
  SessionSettings& s = engine_.channel().settings();
  s.transcript = Environment("VANTREL_TRANSCRIPT");
  s.portDir = Environment("VANTREL_PORT_DIR");
}

CBizDownload::CBizDownload(int32_t port_index)
    : port_index_(port_index), com_port_(static_cast<uint32_t>(port_index) + 40) {
  ReadEnvironment();
  RegisterSession(this);
}

// The engine goes first (its destructor clears its owner and unregisters it).
CBizDownload::~CBizDownload() { UnregisterSession(this); }

void CBizDownload::DeletingDestructor(unsigned flags) {
  try {
    this->~CBizDownload();
  } catch (...) {
  }
  if (flags & 1) ::operator delete(this);
}

int32_t CBizDownload::Prepare(int32_t) {
  try {
    stop_.store(0);
    engine_.channel().ClearCancel();
    timer_running_ = 0;
    engine_.set_owner(this);
    engine_.PrepareEngine();
    return 1;
  } catch (...) {
    return 0;
  }
}

int32_t CBizDownload::Connect() {
  try {
    platform::Clock& clock = platform::GetClock();
    CComMngr mngr(engine_.channel().settings().portDir);
    const uint8_t number = static_cast<uint8_t>(com_port_ & 0xFF);
    // A port that is there already belongs to a phone that has not been reset
    // into download mode yet: wait until it goes away.
    while (stop_.load() == 0) {
      int32_t opened = mngr.Open(number);
      mngr.ClosePort();
      if (!opened) break;
      clock.SleepMs(kPortPollMs);
    }
    // Take the port the moment it can be opened.
    while (stop_.load() == 0) {
      if (engine_.OpenLink(19200, com_port_) == 0) {
        if (engine_.Connect() != 0) break;
      }
      clock.SleepMs(kPortPollMs);
    }
    ReportProgress(kKindConnectFinished, 0, "");
    return 1;
  } catch (...) {
    return 0;
  }
}

int32_t CBizDownload::SetOption(int32_t kind, int32_t) {
  return (kind == 0 || kind == 1 || kind == 3) ? 1 : 0;
}

int32_t CBizDownload::Download() {
  int32_t result = 0;
  try {
    if (!engine_.Download()) return 0;
    ResetWait();
    result = 1;
  } catch (...) {
  }
  return result;
}

void CBizDownload::ResetWait() {
  // One of the protocol's fixed pauses: a simulated phone's runs faster.
  platform::Clock& clock = engine_.channel().pauses();
  Channel& ch = engine_.channel();
  const bool may_end = ch.settings().resetWaitEndsWhenGone;
  const uint32_t total = kResetCountdownSeconds;
  for (int n = kResetCountdownSeconds; n >= 1; --n) {
    char text[64];
    std::snprintf(text, sizeof text, "Waiting for Reset %d sec..", n);
    ReportProgress(kKindMessage, 100, text);
    const uint32_t waited = total - static_cast<uint32_t>(n);
    ch.Event({kStageResetWait, waited, total, kResetWaitRunning});
    if (!may_end) {
      clock.SleepMs(1000);
      continue;
    }
    // Each look opens the port: however fast the countdown runs, no more
    // than one per port-wait poll period of real time.
    const uint32_t step = std::max<uint32_t>(kResetPollMs, static_cast<uint32_t>(kPortPollMs * ch.time_scale()));
    for (uint32_t ms = 0; ms < 1000; ms += step) {
      const int end = ch.cancelled() ? kResetWaitCancelled : PortAbsent() ? kResetWaitPortGone : kResetWaitRunning;
      if (end != kResetWaitRunning) {
        ch.Event({kStageResetWait, waited, total, end});
        return;
      }
      clock.SleepMs(std::min(step, 1000 - ms));
    }
  }
  ch.Event({kStageResetWait, total, total, kResetWaitCountedDown});
}

bool CBizDownload::PortAbsent() {
  // As the port wait looks: a port that cannot be opened is not there. The
  // download closed its handle, so the session's own open does not count.
  CComMngr mngr(engine_.channel().settings().portDir);
  const int32_t opened = mngr.Open(static_cast<uint8_t>(com_port_ & 0xFF));
  mngr.ClosePort();
  return !opened;
}

int32_t CBizDownload::Stop() {
  stop_.store(1);
  return 1;
}

int32_t CBizDownload::Timing(int32_t kind) {
  if (kind == 0) {
    timer_running_ = 1;
    timer_start_ = static_cast<uint32_t>(platform::GetClock().NowMs());
    return 1;
  }
  if (kind == 1) {
    timer_running_ = 0;
    return 1;
  }
  return 0;
}

}  // namespace vantrel
