#include "tools/cli/plugin_host.h"

#include <dlfcn.h>
#include <unistd.h>

#include <climits>
#include <string>

namespace vantrel::cli {

// The library stays loaded until the process ends, as under the real host:
// its process-wide objects (the clock, the package store) live that long,
// and a session thread cut off by a forced exit may still be inside it.
PluginHost::~PluginHost() = default;

std::string PluginHost::DefaultLibraryPath() {
  char buf[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return "libvantrel.so";
  std::string exe(buf, static_cast<size_t>(n));
  std::string dir = exe.substr(0, exe.rfind('/') + 1);
  // Built tree: beside the program. Installed tree: PREFIX/bin/vantrel and
  // PREFIX/lib*/libvantrel.so, found through the run path or the loader.
  if (access((dir + "libvantrel.so").c_str(), R_OK) == 0) return dir + "libvantrel.so";
  return "libvantrel.so";
}

bool PluginHost::Load(const std::string& path, std::string* error) {
  lib_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!lib_) {
    *error = std::string(dlerror()) + "; give the plug-in with --library";
    return false;
  }
  new_dll_ = reinterpret_cast<NewDllFn>(dlsym(lib_, "NewDll"));
  delete_dll_ = reinterpret_cast<DeleteDllFn>(dlsym(lib_, "DeleteDll"));
  get_defined_ = reinterpret_cast<GetDefinedDataFn>(dlsym(lib_, "GetDefinedData"));
  previous_load_ = reinterpret_cast<PreviousLoadFn>(dlsym(lib_, "PreviousLoad"));
  if (!new_dll_ || !delete_dll_ || !get_defined_ || !previous_load_) {
    *error = path + " does not export the plug-in's entry points";
    return false;
  }
  set_log_ = reinterpret_cast<VantrelSetLogFn>(dlsym(lib_, "VantrelSetLog"));
  last_failure_ = reinterpret_cast<VantrelLastFailureFn>(dlsym(lib_, "VantrelLastFailure"));
  cancel_ = reinterpret_cast<VantrelCancelFn>(dlsym(lib_, "VantrelCancel"));
  set_setting_ = reinterpret_cast<VantrelSetSettingFn>(dlsym(lib_, "VantrelSetSetting"));
  set_text_ = reinterpret_cast<VantrelSetTextFn>(dlsym(lib_, "VantrelSetText"));
  set_events_ = reinterpret_cast<VantrelSetEventsFn>(dlsym(lib_, "VantrelSetEvents"));
  failure_cause_ = reinterpret_cast<VantrelFailureCauseFn>(dlsym(lib_, "VantrelFailureCause"));
  identify_ = reinterpret_cast<VantrelIdentifyFn>(dlsym(lib_, "VantrelIdentify"));
  phone_seen_ = reinterpret_cast<VantrelPhoneSeenFn>(dlsym(lib_, "VantrelPhoneSeen"));
  read_ = reinterpret_cast<VantrelReadFn>(dlsym(lib_, "VantrelRead"));
  read_span_ = reinterpret_cast<VantrelReadSpanFn>(dlsym(lib_, "VantrelReadSpan"));
  return true;
}

std::string PluginHost::Model() {
  char model[16] = {};
  return get_defined_(0, nullptr, model) ? model : "";
}

CInterfaceTemplate* PluginHost::NewSession(HostCallback* cb, int32_t port_index) {
  CInterfaceTemplate* s = nullptr;
  return new_dll_(cb, &s, port_index) ? s : nullptr;
}

namespace {
// A host callback that takes every report and says nothing.
class QuietCallback : public HostCallback {
 public:
  void VANTREL_SLOT Slot0(unsigned) override {}
  int32_t VANTREL_SLOT OnProgress(int32_t, int32_t, const char*) override { return 1; }
  int32_t VANTREL_SLOT OnMessage(int32_t, int32_t, const char*) override { return 1; }
};
}  // namespace

bool PluginHost::LoadPackageNow(std::string* detail) {
  static QuietCallback quiet;
  CInterfaceTemplate* s = NewSession(&quiet, 0);
  if (!s) {
    *detail = "the plug-in refused to create a session";
    return false;
  }
  SetLog(s, [](void*, const char*) {}, nullptr);  // its trace would go to standard output
  const bool ok = s->Prepare(0) == 1;
  int32_t code = 0;
  if (!ok && !LastFailure(s, &code, detail)) *detail = "the plug-in did not take the package";
  DeleteSession(&s);
  return ok;
}

bool PluginHost::LastFailure(CInterfaceTemplate* s, int32_t* code, std::string* detail) {
  *code = 0;
  detail->clear();
  if (!last_failure_) return false;
  char buf[512] = {};
  if (last_failure_(s, code, buf, sizeof buf) != 1) return false;
  *detail = buf;
  return *code != 0;
}

bool PluginHost::FailureCause(CInterfaceTemplate* s, int32_t* cause, uint32_t* silent_ms) {
  *cause = VANTREL_CAUSE_NONE;
  *silent_ms = 0;
  return failure_cause_ && failure_cause_(s, cause, silent_ms) == 1;
}

void PluginHost::Cancel(CInterfaceTemplate* s) {
  if (cancel_) cancel_(s);
  else s->Stop();
}

}  // namespace vantrel::cli
