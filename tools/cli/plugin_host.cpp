#include "tools/cli/plugin_host.h"

#include <dlfcn.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <string>

namespace vantrel::cli {

int32_t ConsoleCallback::OnProgress(int32_t kind, int32_t percent, const char* text) {
  std::lock_guard<std::mutex> g(m_);
  events_.push_back({kind, percent, text ? text : ""});
  if (quiet_) return 1;
  double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
  if (kind == kKindProgress) {
    // A bar redrawn in place on a terminal; elsewhere only completed transfers.
    if (!isatty(2) && percent != 100) return 1;
    int filled = percent / 4;
    std::fprintf(stderr, "\r  [%-25.*s] %3d%%", filled, "#########################", percent);
    bar_open_ = true;
    if (!isatty(2)) {
      std::fputc('\n', stderr);
      bar_open_ = false;
    }
    return 1;
  }
  if (bar_open_) {
    std::fputc('\n', stderr);
    bar_open_ = false;
  }
  switch (kind) {
    case kKindMessage: std::fprintf(stderr, "%7.2fs  %-40s %3d%%\n", secs, text, percent); break;
    case kKindError: std::fprintf(stderr, "%7.2fs  ERROR reported by the plug-in\n", secs); break;
    case kKindConnectFinished: std::fprintf(stderr, "%7.2fs  connect finished\n", secs); break;
    default: std::fprintf(stderr, "%7.2fs  kind %d, %d%%: %s\n", secs, kind, percent, text); break;
  }
  return 1;
}

int32_t ConsoleCallback::OnMessage(int32_t kind, int32_t value, const char* text) {
  if (!quiet_) std::fprintf(stderr, "message %d %d: %s\n", kind, value, text ? text : "");
  return 1;
}

std::vector<HostEvent> ConsoleCallback::events() const {
  std::lock_guard<std::mutex> g(m_);
  return events_;
}

PluginHost::~PluginHost() {
  if (lib_) dlclose(lib_);
}

std::string PluginHost::DefaultLibraryPath() {
  char buf[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return "libvantrel.so";
  std::string exe(buf, static_cast<size_t>(n));
  return exe.substr(0, exe.rfind('/') + 1) + "libvantrel.so";
}

bool PluginHost::Load(const std::string& path, std::string* error) {
  lib_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!lib_) {
    *error = dlerror();
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
  return true;
}

PluginHost::Result PluginHost::RunDownload(const std::string& package, int32_t port_index,
                                           HostCallback* cb) {
  Result r;
  previous_load_(package.c_str());
  char model[16] = {};
  if (get_defined_(0, nullptr, model)) std::fprintf(stderr, "plug-in for model %s\n", model);
  CInterfaceTemplate* session = nullptr;
  if (!new_dll_(cb, &session, port_index)) return r;
  r.prepared = session->Prepare(0) == 1;
  if (r.prepared) {
    session->Timing(0);
    r.connected = session->Connect() == 1;
    if (r.connected) r.downloaded = session->Download() == 1;
    session->Timing(1);
  }
  delete_dll_(&session);
  return r;
}

}  // namespace vantrel::cli
