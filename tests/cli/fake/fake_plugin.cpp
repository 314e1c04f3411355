// A stand-in plug-in with the extension exports, for the CLI tests of what
// only those exports make visible: the boot ROM stage's result, the routed
// trace and cancellation. Its behaviour comes from $VANTREL_FAKE
// ("bootrom-fail" or "transfer"); it appends the calls it gets to
// $VANTREL_FAKE_LOG.
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "vantrel/extension.h"
#include "vantrel/interface.h"

namespace {

void Note(const char* what) {
  if (const char* p = std::getenv("VANTREL_FAKE_LOG")) {
    if (FILE* f = std::fopen(p, "a")) {
      std::fprintf(f, "%s\n", what);
      std::fclose(f);
    }
  }
}

bool Mode(const char* m) {
  const char* v = std::getenv("VANTREL_FAKE");
  return v && std::strcmp(v, m) == 0;
}

class FakeSession : public CInterfaceTemplate {
 public:
  FakeSession(HostCallback* cb, int32_t index) : cb_(cb), index_(index) {}
  void VANTREL_SLOT DeletingDestructor(unsigned flags) override {
    if (flags & 1) delete this;
  }
  int32_t VANTREL_SLOT Prepare(int32_t) override { return 1; }
  int32_t VANTREL_SLOT Connect() override {
    // Waits for the port's COM link in the directory the front end named, as
    // the real session does.
    const std::string link = (port_dir_.empty() ? "/dev/vantrel" : port_dir_) + "/COM" + std::to_string(index_ + 40);
    struct stat st{};
    while (!stop_ && ::stat(link.c_str(), &st) != 0) ::usleep(5000);
    Log("Connecting to BootROM...\n");
    if (Mode("bootrom-fail")) Fail(2005, "no answer to the start sequence");
    cb_->OnProgress(16, 0, "");
    return 1;
  }
  int32_t VANTREL_SLOT SetOption(int32_t, int32_t) override { return 1; }
  int32_t VANTREL_SLOT Download() override {
    Note("download");
    cb_->OnProgress(2, 0, "Start Write Bootloader");
    for (uint32_t p = 0; !cancel_; p = (p + 1) % 100) {
      cb_->OnProgress(1, int32_t(p), "");
      // One image of 100 bytes: the bootloader, written over and over.
      VantrelEvent e{sizeof(VantrelEvent), VANTREL_STAGE_BOOTLOADER, p, 100, 0, 1, 1, 0, p, 100, 0, 0, nullptr, 0};
      if (events_) events_(events_user_, &e);
      ::usleep(10000);
    }
    Note("cancelled");
    Fail(1031, "cancelled between packets of the bootloader");
    return 0;
  }
  int32_t VANTREL_SLOT Stop() override {
    stop_ = true;
    return 1;
  }
  int32_t VANTREL_SLOT Timing(int32_t) override { return 1; }

  void Log(const char* text) {
    if (log_) log_(user_, text);
    else std::fputs(text, stdout);
  }
  void Fail(int32_t code, const char* detail) {
    code_ = code;
    detail_ = detail;
  }

  HostCallback* cb_;
  int32_t index_;
  std::atomic<bool> stop_{false}, cancel_{false};
  VantrelLogFunction log_ = nullptr;
  VantrelEventFunction events_ = nullptr;
  void* events_user_ = nullptr;
  void* user_ = nullptr;
  int32_t code_ = 0;
  std::string detail_;
  std::string port_dir_;
};

FakeSession* Of(CInterfaceTemplate* s) { return static_cast<FakeSession*>(s); }

}  // namespace

CInterfaceTemplate::CInterfaceTemplate() = default;
CInterfaceTemplate::~CInterfaceTemplate() = default;
CInterfaceTemplate::CInterfaceTemplate(const CInterfaceTemplate&) {}
CInterfaceTemplate& CInterfaceTemplate::operator=(const CInterfaceTemplate&) { return *this; }

extern "C" {

VANTREL_API int32_t PreviousLoad(const char*) { return 1; }
VANTREL_API int32_t GetDefinedData(int32_t type, int32_t*, char* text) {
  if (type != 0 || !text) return 0;
  std::strcpy(text, "FAKE");
  return 1;
}
VANTREL_API int32_t GetParameter(int32_t, int32_t) { return 1; }
VANTREL_API int32_t SetParameter(int32_t, int32_t) { return 1; }
VANTREL_API int32_t NewDll(HostCallback* cb, CInterfaceTemplate** out, int32_t index) {
  *out = new FakeSession(cb, index);
  return 1;
}
VANTREL_API int32_t DeleteDll(CInterfaceTemplate** s) {
  if (!s || !*s) return 0;
  Note("delete");
  (*s)->DeletingDestructor(1);
  *s = nullptr;
  return 1;
}

VANTREL_API int32_t VantrelSetLog(CInterfaceTemplate* s, VantrelLogFunction fn, void* user) {
  if (!s) return 0;
  Of(s)->log_ = fn;
  Of(s)->user_ = user;
  return 1;
}
VANTREL_API int32_t VantrelLastFailure(CInterfaceTemplate* s, int32_t* code, char* detail, uint32_t size) {
  if (!s) return 0;
  *code = Of(s)->code_;
  std::snprintf(detail, size, "%s", Of(s)->detail_.c_str());
  return *code != 0;
}
VANTREL_API int32_t VantrelSetEvents(CInterfaceTemplate* s, VantrelEventFunction fn, void* user) {
  if (!s) return 0;
  Of(s)->events_ = fn;
  Of(s)->events_user_ = user;
  return 1;
}
VANTREL_API int32_t VantrelSetText(CInterfaceTemplate* s, int32_t key, const char* value) {
  if (!s || key != VANTREL_TEXT_PORT_DIR) return 0;
  Of(s)->port_dir_ = value ? value : "";
  return 1;
}
VANTREL_API int32_t VantrelCancel(CInterfaceTemplate* s) {
  if (!s) return 0;
  Note("cancel");
  Of(s)->cancel_ = true;
  return 1;
}

}  // extern "C"
