// The extension exports for front ends (vantrel/extension.h). A session
// pointer is checked against the sessions alive in this process before it is
// used, so a stale or foreign pointer gets 0 instead of a crash.
#include "vantrel/extension.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <set>

#include "boundary/session.h"

namespace vantrel {
namespace {

std::mutex& SessionsLock() {
  static std::mutex m;
  return m;
}
// Keyed by the interface pointer NewDll hands out, so that a pointer is
// compared before anything is read through it.
std::set<const CInterfaceTemplate*>& Sessions() {
  static std::set<const CInterfaceTemplate*> s;
  return s;
}

}  // namespace

void RegisterSession(const CBizDownload* s) {
  std::lock_guard<std::mutex> g(SessionsLock());
  Sessions().insert(static_cast<const CInterfaceTemplate*>(s));
}

void UnregisterSession(const CBizDownload* s) {
  std::lock_guard<std::mutex> g(SessionsLock());
  Sessions().erase(static_cast<const CInterfaceTemplate*>(s));
}

namespace {

// The session behind a pointer NewDll handed out, or null. The caller drives
// the session (or, for Cancel, races only with its own DeleteDll, which a
// front end orders itself, as with Stop).
CBizDownload* Find(CInterfaceTemplate* p) {
  if (!p) return nullptr;
  std::lock_guard<std::mutex> g(SessionsLock());
  // Only a live session is cast: a foreign pointer is never dereferenced.
  return Sessions().count(p) ? static_cast<CBizDownload*>(p) : nullptr;
}

static_assert(int(LinkCause::kNone) == VANTREL_CAUSE_NONE && int(LinkCause::kPortGone) == VANTREL_CAUSE_PORT_GONE &&
              int(LinkCause::kNoAnswer) == VANTREL_CAUSE_NO_ANSWER &&
              int(LinkCause::kWriteFailed) == VANTREL_CAUSE_WRITE_FAILED &&
              int(LinkCause::kRefused) == VANTREL_CAUSE_REFUSED &&
              int(LinkCause::kReadFailed) == VANTREL_CAUSE_READ_FAILED);
// The stages and the reset wait's endings cross the boundary as numbers.
static_assert(int(kStageBootRom) == VANTREL_STAGE_BOOT_ROM &&
              int(kStageAgentConnection) == VANTREL_STAGE_AGENT_CONNECTION &&
              int(kStageFlashScan) == VANTREL_STAGE_FLASH_SCAN && int(kStageBootloader) == VANTREL_STAGE_BOOTLOADER &&
              int(kStageExtBootloader) == VANTREL_STAGE_EXT_BOOTLOADER &&
              int(kStageImageList) == VANTREL_STAGE_IMAGE_LIST && int(kStageRomImage) == VANTREL_STAGE_ROM_IMAGE &&
              int(kStageSecondaryRomImage) == VANTREL_STAGE_SECONDARY_ROM_IMAGE &&
              int(kStageFsImage) == VANTREL_STAGE_FS_IMAGE &&
              int(kStageInfoReadBack) == VANTREL_STAGE_INFO_READBACK &&
              int(kStageResetWait) == VANTREL_STAGE_RESET_WAIT && int(kStageFailed) == VANTREL_STAGE_FAILED &&
              int(kStageIdentify) == VANTREL_STAGE_IDENTIFY && int(kStageReadBack) == VANTREL_STAGE_READ_BACK &&
              int(kStageVerify) == VANTREL_STAGE_VERIFY);
static_assert(kResetWaitRunning == VANTREL_RESET_WAIT_RUNNING &&
              kResetWaitCountedDown == VANTREL_RESET_WAIT_COUNTED_DOWN &&
              kResetWaitPortGone == VANTREL_RESET_WAIT_PORT_GONE &&
              kResetWaitCancelled == VANTREL_RESET_WAIT_CANCELLED);

}  // namespace

CBizDownload* FindLiveSession(CInterfaceTemplate* p) { return Find(p); }

}  // namespace vantrel

extern "C" {

VANTREL_API int32_t VantrelSetLog(CInterfaceTemplate* session, VantrelLogFunction fn, void* user) {
  try {
    vantrel::CBizDownload* s = vantrel::Find(session);
    if (!s || !fn) return 0;
    s->engine().channel().SetLogSink([fn, user](const char* text) { fn(user, text); });
    return 1;
  } catch (...) {
    return 0;
  }
}

VANTREL_API int32_t VantrelLastFailure(CInterfaceTemplate* session, int32_t* code, char* detail,
                                       uint32_t size) {
  try {
    vantrel::CBizDownload* s = vantrel::Find(session);
    if (!s) return 0;
    const vantrel::Channel& ch = s->engine().channel();
    if (code) *code = ch.failure_code();
    if (detail && size) {
      const size_t n = std::min<size_t>(ch.failure().size(), size - 1);
      std::memcpy(detail, ch.failure().data(), n);
      detail[n] = '\0';
    }
    return ch.failure_code() != 0 ? 1 : 0;
  } catch (...) {
    return 0;
  }
}

VANTREL_API int32_t VantrelFailureCause(CInterfaceTemplate* session, int32_t* cause, uint32_t* silent_ms) {
  try {
    if (cause) *cause = VANTREL_CAUSE_NONE;
    if (silent_ms) *silent_ms = 0;
    vantrel::CBizDownload* s = vantrel::Find(session);
    if (!s) return 0;
    const vantrel::Channel& ch = s->engine().channel();
    if (ch.failure_code() == 0) return 0;
    // The enum's values are the channel's, one for one.
    if (cause) *cause = static_cast<int32_t>(ch.cause());
    if (silent_ms && ch.cause() == vantrel::LinkCause::kNoAnswer)
      *silent_ms = static_cast<uint32_t>(std::min<uint64_t>(ch.silent_ms(), UINT32_MAX));
    return 1;
  } catch (...) {
    return 0;
  }
}

VANTREL_API int32_t VantrelCancel(CInterfaceTemplate* session) {
  try {
    vantrel::CBizDownload* s = vantrel::Find(session);
    if (!s) return 0;
    s->Cancel();
    return 1;
  } catch (...) {
    return 0;
  }
}

}  // extern "C"

extern "C" {

VANTREL_API int32_t VantrelSetSetting(CInterfaceTemplate* session, int32_t key, int32_t value) {
  try {
    vantrel::CBizDownload* s = vantrel::Find(session);
    if (!s) return 0;
    vantrel::SessionSettings& settings = s->engine().channel().settings();
    switch (key) {
      case VANTREL_SETTING_CHECK_GEOMETRY: settings.checkGeometry = value != 0; return 1;
      case VANTREL_SETTING_RESET_WAIT_ENDS_WHEN_GONE: settings.resetWaitEndsWhenGone = value != 0; return 1;
      case VANTREL_SETTING_ANSWER_LIMIT_MS:
        if (value < 0) return 0;
        settings.answerLimitMs = static_cast<uint32_t>(value);
        return 1;
      case VANTREL_SETTING_VERIFY: settings.verify = value != 0; return 1;
      case VANTREL_SETTING_WITHOUT_PACKAGE: settings.withoutPackage = value != 0; return 1;
      case VANTREL_SETTING_TIME_SCALE:
        if (value < 1) return 0;
        s->engine().channel().RequestTimeScale(value);
        return 1;
      default: return 0;
    }
  } catch (...) {
    return 0;
  }
}

VANTREL_API int32_t VantrelSetText(CInterfaceTemplate* session, int32_t key, const char* value) {
  try {
    vantrel::CBizDownload* s = vantrel::Find(session);
    if (!s) return 0;
    vantrel::SessionSettings& settings = s->engine().channel().settings();
    const std::string text = value ? value : "";
    switch (key) {
      case VANTREL_TEXT_TRANSCRIPT: settings.transcript = text; return 1;
      case VANTREL_TEXT_PORT_DIR: settings.portDir = text; return 1;
      default: return 0;
    }
  } catch (...) {
    return 0;
  }
}

VANTREL_API int32_t VantrelSetEvents(CInterfaceTemplate* session, VantrelEventFunction fn, void* user) {
  try {
    vantrel::CBizDownload* s = vantrel::Find(session);
    if (!s || !fn) return 0;
    s->engine().channel().SetEventSink([fn, user](const vantrel::StageEvent& e) {
      VantrelEvent v{sizeof(VantrelEvent), e.stage,    e.done,     e.total,     e.end,  e.image, e.images,
                     e.fsImage,            e.planDone, e.planTotal, e.code, e.cause, e.detail, e.elapsedMs};
      fn(user, &v);
    });
    return 1;
  } catch (...) {
    return 0;
  }
}

}  // extern "C"
