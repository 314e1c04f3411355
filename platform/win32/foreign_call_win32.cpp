// Stops the host's C++ exceptions at the call into the host.
//
// The host's compiler throws by raising the structured exception 0xE06D7363,
// found through the thread's chain of exception registrations (fs:[0] on
// 32-bit Windows). This compiler's own exceptions use tables, not that
// chain, so a host exception would otherwise unwind straight past the
// plug-in's frames, skipping its destructors and leaving its locks held.
// So the call registers one record of its own in the chain; its handler
// accepts only C++ exceptions, lets the system unwind the host's frames above
// it (running their clean-up), destroys the thrown object as the host's
// catch would, and jumps back into CallForeign.
#include <windows.h>

// GCC 12 misreads the fs-segment read inside NtCurrentTeb as an array access.
#pragma GCC diagnostic ignored "-Warray-bounds"

#include "platform/foreign_call.h"

namespace vantrel::platform {
namespace {

constexpr DWORD kHostCppException = 0xE06D7363;  // 'msc' | 0xE0000000
// Magic numbers of the host compiler's exception records, one per version.
constexpr ULONG_PTR kMagicLow = 0x19930520, kMagicHigh = 0x19930522;

// What the host's compiler passes as the third exception parameter; only the
// first two fields are read.
struct ThrowInfo {
  DWORD attributes;
  void(__thiscall* destroy)(void* object);  // the thrown object's destructor, or null
};

struct Guard {
  EXCEPTION_REGISTRATION_RECORD record;  // first: the handler gets its address as the frame
  void* jump[5];                         // for __builtin_setjmp
};

NT_TIB* Tib() { return reinterpret_cast<NT_TIB*>(NtCurrentTeb()); }

void DestroyThrownObject(const EXCEPTION_RECORD* rec) {
  if (rec->NumberParameters < 3) return;
  const ULONG_PTR magic = rec->ExceptionInformation[0];
  if (magic < kMagicLow || magic > kMagicHigh) return;
  void* object = reinterpret_cast<void*>(rec->ExceptionInformation[1]);
  auto* info = reinterpret_cast<const ThrowInfo*>(rec->ExceptionInformation[2]);
  if (object && info && info->destroy) info->destroy(object);
}

EXCEPTION_DISPOSITION __cdecl StopHostException(EXCEPTION_RECORD* rec, void* frame, CONTEXT*, void*) {
  if (rec->ExceptionFlags & (EXCEPTION_UNWINDING | EXCEPTION_EXIT_UNWIND))
    return ExceptionContinueSearch;  // being unwound past: nothing of ours to clean
  if (rec->ExceptionCode != kHostCppException) return ExceptionContinueSearch;
  // Unwinds every registration above ours; returns here with ours at the head.
  RtlUnwind(frame, nullptr, rec, nullptr);
  // The thrown object still lies in the (unwound but untouched) stack above.
  DestroyThrownObject(rec);
  __builtin_longjmp(static_cast<Guard*>(frame)->jump, 1);
}

}  // namespace

bool CallForeign(int32_t (*call)(void*), void* context, int32_t* result) {
  Guard guard;
  guard.record.Handler = reinterpret_cast<PEXCEPTION_ROUTINE>(&StopHostException);
  guard.record.Next = Tib()->ExceptionList;
  if (__builtin_setjmp(guard.jump)) {
    Tib()->ExceptionList = guard.record.Next;
    return false;
  }
  Tib()->ExceptionList = &guard.record;
  bool returned = false;
  try {
    *result = call(context);
    returned = true;
  } catch (...) {
    // One of this compiler's exceptions (an in-process test host): stopped too.
  }
  Tib()->ExceptionList = guard.record.Next;
  return returned;
}

}  // namespace vantrel::platform
