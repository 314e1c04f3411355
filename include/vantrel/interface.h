#pragma once
// The plug-in as its host sees it: six exported functions and one interface
// object per phone port, called by virtual-table slot.
//
// Slot layout, the same on every platform:
//   session:  0 deleting destructor (flags; bit 0 frees), 1 Prepare, 2 Connect,
//             3 SetOption, 4 Download, 5 Stop, 6 Timing
//   host callback: 0 (never called), 1 OnProgress, 2 OnMessage
// The Windows host's compiler gives a class one slot for its deleting
// destructor and calls every slot with the thiscall convention; g++'s own
// virtual destructor takes two slots. So the slots are declared explicitly
// and their calling convention is one macro.
#include <cstdint>

#if defined(_WIN32) && defined(__i386__)
#define VANTREL_SLOT __thiscall
#else
#define VANTREL_SLOT
#endif

#if defined(_WIN32)
// The DLL's export table is written out whole in win/Vantrel.def: the six
// functions under their plain names, the class's members under the names the
// host's compiler gives them. Nothing is exported by attribute.
#define VANTREL_API
#else
#define VANTREL_API __attribute__((visibility("default")))
#endif

// The host's callback object. The plug-in calls slots 1 and 2 only.
class HostCallback {
 public:
  virtual void VANTREL_SLOT Slot0(unsigned flags) = 0;  // the host's own; never called
  virtual int32_t VANTREL_SLOT OnProgress(int32_t kind, int32_t percent, const char* text) = 0;
  virtual int32_t VANTREL_SLOT OnMessage(int32_t kind, int32_t value, const char* text) = 0;

 protected:
  ~HostCallback() = default;
};

// The session interface handed to the host. No data members.
class VANTREL_API CInterfaceTemplate {
 public:
  CInterfaceTemplate();
  CInterfaceTemplate(const CInterfaceTemplate& other);
  CInterfaceTemplate& operator=(const CInterfaceTemplate& other);  // copies nothing

  // Slot 0: destroys the session; frees its memory when bit 0 of flags is set.
  virtual void VANTREL_SLOT DeletingDestructor(unsigned flags) = 0;
  virtual int32_t VANTREL_SLOT Prepare(int32_t unused) = 0;
  virtual int32_t VANTREL_SLOT Connect() = 0;
  virtual int32_t VANTREL_SLOT SetOption(int32_t kind, int32_t value) = 0;
  virtual int32_t VANTREL_SLOT Download() = 0;
  virtual int32_t VANTREL_SLOT Stop() = 0;
  virtual int32_t VANTREL_SLOT Timing(int32_t kind) = 0;

 protected:
  // Destruction goes through slot 0 (DeleteDll), never through delete.
  ~CInterfaceTemplate();
};

// ReportKind: the first argument of the host's OnProgress.
enum ReportKind : int32_t {
  kKindProgress = 1,
  kKindMessage = 2,
  kKindError = 3,
  kKindConnectFinished = 16,
};

extern "C" {
VANTREL_API int32_t NewDll(HostCallback* callback, CInterfaceTemplate** out, int32_t port_index);
VANTREL_API int32_t DeleteDll(CInterfaceTemplate** session);
VANTREL_API int32_t GetDefinedData(int32_t type, int32_t* value, char* text);
VANTREL_API int32_t GetParameter(int32_t a, int32_t b);
VANTREL_API int32_t SetParameter(int32_t type, int32_t value);
VANTREL_API int32_t PreviousLoad(const char* package_path);
}

// Function types for a host that finds the exports by name.
using NewDllFn = int32_t (*)(HostCallback*, CInterfaceTemplate**, int32_t);
using DeleteDllFn = int32_t (*)(CInterfaceTemplate**);
using GetDefinedDataFn = int32_t (*)(int32_t, int32_t*, char*);
using GetParameterFn = int32_t (*)(int32_t, int32_t);
using SetParameterFn = int32_t (*)(int32_t, int32_t);
using PreviousLoadFn = int32_t (*)(const char*);
