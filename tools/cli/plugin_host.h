#pragma once
// A host stand-in: loads the plug-in library, finds the six exports by name,
// and drives sessions by virtual-table slot, as the real host does. The
// extension exports (vantrel/extension.h) are looked up too; a library
// without them still works, with no log routing, no failure detail or cause
// and no cancellation (Stop only).
#include <cstdint>
#include <string>

#include "vantrel/extension.h"
#include "vantrel/interface.h"

namespace vantrel::cli {

class PluginHost {
 public:
  PluginHost() = default;
  ~PluginHost();
  PluginHost(const PluginHost&) = delete;
  PluginHost& operator=(const PluginHost&) = delete;

  // Loads the library; the default is libvantrel.so next to this program.
  bool Load(const std::string& path, std::string* error);
  static std::string DefaultLibraryPath();

  // Once per process, before any session's Prepare.
  void PreviousLoad(const std::string& package) { previous_load_(package.c_str()); }
  std::string Model();

  // NewDll for one port index; null when the library refuses.
  CInterfaceTemplate* NewSession(HostCallback* cb, int32_t port_index);
  // Has the library load the package of PreviousLoad now, as the first
  // session's Prepare would (a session that touches no port): a station that
  // runs for hours then flashes the package as it was checked at its start,
  // whatever later happens to the file. False, with *detail, when the
  // library refuses it.
  bool LoadPackageNow(std::string* detail);
  void DeleteSession(CInterfaceTemplate** session) { delete_dll_(session); }

  bool CanRouteLog() const { return set_log_ != nullptr; }
  bool CanReportFailure() const { return last_failure_ != nullptr; }
  bool CanCancel() const { return cancel_ != nullptr; }

  bool SetLog(CInterfaceTemplate* s, VantrelLogFunction fn, void* user) {
    return set_log_ && set_log_(s, fn, user) == 1;
  }
  // The session's last failure: false when none is recorded (or the library
  // cannot say).
  bool LastFailure(CInterfaceTemplate* s, int32_t* code, std::string* detail);
  // Cancel where the library can, else Stop (which ends only the port wait).
  void Cancel(CInterfaceTemplate* s);
  // A per-session setting (VANTREL_SETTING_*); false when the library has
  // no such setting.
  bool SetSetting(CInterfaceTemplate* s, int32_t key, int32_t value) {
    return set_setting_ && set_setting_(s, key, value) == 1;
  }
  // A per-session text setting (VANTREL_TEXT_*); false as above.
  bool SetText(CInterfaceTemplate* s, int32_t key, const std::string& value) {
    return set_text_ && set_text_(s, key, value.c_str()) == 1;
  }
  bool SetEvents(CInterfaceTemplate* s, VantrelEventFunction fn, void* user) {
    return set_events_ && set_events_(s, fn, user) == 1;
  }
  // What the library's link saw behind the session's last failure (a
  // VantrelCause); false when none is recorded or the library cannot say.
  bool FailureCause(CInterfaceTemplate* s, int32_t* cause, uint32_t* silent_ms);

  // The plans beside the download; false (with nothing done) when the
  // library has none, else as the export returns.
  bool CanRunPlans() const { return identify_ && read_ && read_span_; }
  bool Identify(CInterfaceTemplate* s, VantrelIdentity* out) { return identify_ && identify_(s, out) == 1; }
  bool PhoneSeen(CInterfaceTemplate* s, VantrelIdentity* out) { return phone_seen_ && phone_seen_(s, out) == 1; }
  bool Read(CInterfaceTemplate* s, uint32_t start, uint32_t length, int32_t mode, VantrelReadSink sink, void* user) {
    return read_ && read_(s, start, length, mode, sink, user) == 1;
  }
  bool ReadSpan(CInterfaceTemplate* s, int32_t span, int32_t mode, VantrelReadSink sink, void* user,
                VantrelReadRange* range) {
    return read_span_ && read_span_(s, span, mode, sink, user, range) == 1;
  }

 private:
  void* lib_ = nullptr;
  NewDllFn new_dll_ = nullptr;
  DeleteDllFn delete_dll_ = nullptr;
  GetDefinedDataFn get_defined_ = nullptr;
  PreviousLoadFn previous_load_ = nullptr;
  VantrelSetLogFn set_log_ = nullptr;
  VantrelLastFailureFn last_failure_ = nullptr;
  VantrelCancelFn cancel_ = nullptr;
  VantrelSetSettingFn set_setting_ = nullptr;
  VantrelSetTextFn set_text_ = nullptr;
  VantrelSetEventsFn set_events_ = nullptr;
  VantrelFailureCauseFn failure_cause_ = nullptr;
  VantrelIdentifyFn identify_ = nullptr;
  VantrelPhoneSeenFn phone_seen_ = nullptr;
  VantrelReadFn read_ = nullptr;
  VantrelReadSpanFn read_span_ = nullptr;
};

}  // namespace vantrel::cli
