// The library as a host sees it: loaded with dlopen, reached only through its
// six exports, its session called by virtual-table slot, and a callback
// object that is nothing but a table of three function pointers.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "vantrel/extension.h"

extern "C" size_t VantrelLayoutFromC(int which);

namespace {

struct Report {
  int kind;
  int percent;
  std::string text;
};

// A host callback object laid out the way the host's compiler lays one out:
// a pointer to a table of slots, each called with the object first.
struct CHostCallback;
using HostSlot0 = void (*)(CHostCallback*, unsigned);
using HostSlot = int (*)(CHostCallback*, int, int, const char*);
struct CHostVtable {
  HostSlot0 slot0;
  HostSlot on_progress;
  HostSlot on_message;
};
struct CHostCallback {
  const CHostVtable* vtbl;
  std::vector<Report> reports;
};
void Slot0(CHostCallback*, unsigned) { std::abort(); }  // the plug-in must never call it
int OnProgress(CHostCallback* self, int kind, int percent, const char* text) {
  self->reports.push_back({kind, percent, text});
  return 1;
}
int OnMessage(CHostCallback*, int, int, const char*) { return 1; }
const CHostVtable kHostVtable{&Slot0, &OnProgress, &OnMessage};

class HostAbi : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    std::string dir = std::getenv("VANTREL_TEST_BIN") ? std::getenv("VANTREL_TEST_BIN") : ".";
    lib_ = dlopen((dir + "/libvantrel.so").c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(lib_, nullptr) << dlerror();
  }
  template <class F>
  F Export(const char* name) {
    void* p = dlsym(lib_, name);
    EXPECT_NE(p, nullptr) << name << " is not exported under its plain name";
    return reinterpret_cast<F>(p);
  }
  // Calls slot n of the session's table with the given arguments.
  template <class R, class... A>
  static R CallSlot(void* session, int n, A... args) {
    auto vtbl = *reinterpret_cast<void* const* const*>(session);
    return reinterpret_cast<R (*)(void*, A...)>(vtbl[n])(session, args...);
  }
  static void* lib_;
};
void* HostAbi::lib_ = nullptr;

TEST_F(HostAbi, ExportsTheSixFunctionsUndecoratedAndNothingInternal) {
  for (const char* name :
       {"NewDll", "DeleteDll", "GetDefinedData", "GetParameter", "SetParameter", "PreviousLoad"})
    EXPECT_NE(dlsym(lib_, name), nullptr) << name;
  EXPECT_EQ(dlsym(lib_, "_ZN7vantrel16ProgressCallbackEjjjPKc"), nullptr)
      << "internal functions stay inside the library";
  // Beside them on this platform only: the documented extension for front ends.
  for (const char* name : {"VantrelSetLog", "VantrelLastFailure", "VantrelFailureCause", "VantrelCancel",
                           "VantrelSetSetting", "VantrelSetText", "VantrelSetEvents", "VantrelIdentify",
                           "VantrelPhoneSeen", "VantrelRead", "VantrelReadSpan"})
    EXPECT_NE(dlsym(lib_, name), nullptr) << name;
}

// A plain C host compiles the extension header too, and must see the same
// records as the C++ library that fills them.
TEST(ExtensionHeader, CAndCppSeeTheSameRecords) {
  const size_t cpp[] = {sizeof(VantrelEvent),
                        offsetof(VantrelEvent, plan_done),
                        offsetof(VantrelEvent, elapsed_ms),
                        sizeof(VantrelIdentity),
                        offsetof(VantrelIdentity, fs_sections),
                        sizeof(VantrelFsSection),
                        offsetof(VantrelFsSection, next_action),
                        sizeof(VantrelReadRange)};
  for (int i = 0; i < int(std::size(cpp)); ++i) EXPECT_EQ(VantrelLayoutFromC(i), cpp[i]) << "field " << i;
}

TEST_F(HostAbi, ModelConstantsAndParameters) {
  auto get = Export<int (*)(int, int*, char*)>("GetDefinedData");
  char text[16];
  std::memset(text, '#', sizeof text);
  EXPECT_EQ(get(0, nullptr, text), 1);
  EXPECT_STREQ(text, "QVR810");
  EXPECT_EQ(get(1, nullptr, text), 1);
  EXPECT_STREQ(text, "IM");
  int v = 99;
  EXPECT_EQ(get(2, &v, nullptr), 1);
  EXPECT_EQ(v, 0);
  v = 99;
  EXPECT_EQ(get(3, &v, text), 1);
  EXPECT_EQ(v, 0);
  EXPECT_STREQ(text, "IM") << "types 2 and 3 leave the text alone";
  v = 99;
  EXPECT_EQ(get(4, &v, text), 0);
  EXPECT_EQ(v, 99);
  EXPECT_EQ(get(0, &v, nullptr), 0) << "a null text buffer fails";
  EXPECT_EQ(get(2, nullptr, text), 0) << "a null integer fails";

  auto set = Export<int (*)(int, int)>("SetParameter");
  EXPECT_EQ(set(1, 5), 1);
  EXPECT_EQ(set(20, 6), 1);
  EXPECT_EQ(set(7, 8), 1);
  EXPECT_EQ(Export<int (*)(int, int)>("GetParameter")(123, 456), 1);
}

TEST_F(HostAbi, SessionLifecycleBySlot) {
  auto prev = Export<int (*)(const char*)>("PreviousLoad");
  auto new_dll = Export<int (*)(CHostCallback*, void**, int)>("NewDll");
  auto delete_dll = Export<int (*)(void**)>("DeleteDll");
  EXPECT_EQ(prev("/nonexistent/Package.BIN"), 1);

  void* session = reinterpret_cast<void*>(0x1234);
  EXPECT_EQ(new_dll(nullptr, &session, 0), 0) << "a null callback is refused";
  EXPECT_EQ(session, reinterpret_cast<void*>(0x1234)) << "and the out-pointer is untouched";
  EXPECT_EQ(new_dll(nullptr, nullptr, 0), 0);

  CHostCallback host{&kHostVtable, {}};
  session = nullptr;
  ASSERT_EQ(new_dll(&host, &session, 0), 1);
  ASSERT_NE(session, nullptr);

  // Slot 2, Connect, before Prepare: the session starts stopped.
  EXPECT_EQ((CallSlot<int>(session, 2)), 1);
  ASSERT_EQ(host.reports.size(), 1u);
  EXPECT_EQ(host.reports[0].kind, 16);
  EXPECT_EQ(host.reports[0].percent, 0);
  EXPECT_EQ(host.reports[0].text, "");

  // Slot 1, Prepare: the package cannot load, and the exception raised inside
  // the session comes back as 0.
  EXPECT_EQ((CallSlot<int, int>(session, 1, 0)), 0);
  // Slots 3, 5, 6 reach SetOption, Stop and Timing.
  EXPECT_EQ((CallSlot<int, int, int>(session, 3, 2, 0)), 0);
  EXPECT_EQ((CallSlot<int, int, int>(session, 3, 3, 0)), 1);
  EXPECT_EQ((CallSlot<int>(session, 5)), 1);
  EXPECT_EQ((CallSlot<int, int>(session, 6, 0)), 1);
  EXPECT_EQ((CallSlot<int, int>(session, 6, 2)), 0);
  // Slot 4, Download, runs against the simulated phone in the integration tests.

  // The extension: the failed Prepare left its code and reason; the trace
  // can be routed; a pointer that is no live session is refused.
  auto last = Export<int (*)(void*, int32_t*, char*, uint32_t)>("VantrelLastFailure");
  auto set_log = Export<int (*)(void*, void (*)(void*, const char*), void*)>("VantrelSetLog");
  auto cancel = Export<int (*)(void*)>("VantrelCancel");
  auto cause = Export<int (*)(void*, int32_t*, uint32_t*)>("VantrelFailureCause");
  int32_t code = 0;
  char detail[128] = {};
  EXPECT_EQ(last(session, &code, detail, sizeof detail), 1);
  EXPECT_EQ(code, 1002);
  EXPECT_STREQ(detail,
               "the firmware package provided no bootloader: cannot open /nonexistent/Package.BIN: No "
               "such file or directory");
  // A package that did not load: no link was involved.
  int32_t why = -1;
  uint32_t silent = 7;
  EXPECT_EQ(cause(session, &why, &silent), 1);
  EXPECT_EQ(why, 0);
  EXPECT_EQ(silent, 0u);
  EXPECT_EQ(cause(session, nullptr, nullptr), 1);
  char tiny[8];
  EXPECT_EQ(last(session, &code, tiny, sizeof tiny), 1);
  EXPECT_STREQ(tiny, "the fir") << "cut to the buffer, NUL-terminated";
  std::string routed;
  EXPECT_EQ(set_log(session, [](void* u, const char* t) { *static_cast<std::string*>(u) += t; }, &routed), 1);
  EXPECT_EQ((CallSlot<int, int>(session, 1, 0)), 0);
  EXPECT_EQ(routed, "") << "the package load is tried once per process";
  EXPECT_EQ(cancel(session), 1);
  int bogus = 0;
  EXPECT_EQ(last(&bogus, &code, detail, sizeof detail), 0);
  EXPECT_EQ(set_log(nullptr, nullptr, nullptr), 0);
  EXPECT_EQ(set_log(session, nullptr, nullptr), 0) << "a null callback is refused";
  EXPECT_EQ(cancel(&bogus), 0);
  why = 3;
  EXPECT_EQ(cause(&bogus, &why, &silent), 0);
  EXPECT_EQ(why, 0);
  // The plans refuse a pointer that is no live session before touching anything.
  auto identify = Export<int (*)(void*, void*)>("VantrelIdentify");
  auto read = Export<int (*)(void*, uint32_t, uint32_t, int32_t, int32_t (*)(void*, const uint8_t*, uint32_t), void*)>(
      "VantrelRead");
  uint32_t identity[1024] = {sizeof identity};
  EXPECT_EQ(identify(&bogus, identity), 0);
  EXPECT_EQ(identity[1], 0u) << "nothing filled";
  EXPECT_EQ(read(&bogus, 0, 2048, 1, [](void*, const uint8_t*, uint32_t) { return 1; }, nullptr), 0);

  EXPECT_EQ(delete_dll(&session), 1);
  EXPECT_EQ(session, nullptr);
  EXPECT_EQ(delete_dll(&session), 0) << "the variable already holds null";
  EXPECT_EQ(delete_dll(nullptr), 0);
}

}  // namespace
