// The rest of the Windows backend: the package path's lower-casing, the
// critical-section lock, and calls into the host that raise.
#include <gtest/gtest.h>
#include <mbctype.h>
#include <windows.h>

#include <stdexcept>
#include <thread>

#include "platform/foreign_call.h"
#include "platform/lock.h"
#include "platform/text.h"

// GCC 12 misreads the fs-segment read inside NtCurrentTeb as an array access.
#pragma GCC diagnostic ignored "-Warray-bounds"

namespace vantrel {
namespace {

TEST(PackagePath, IsLowerCasedWhereFileNamesIgnoreCase) {
  EXPECT_EQ(platform::NormalisePackagePath("C:\\FW\\Phone_V2.BIN"), "c:\\fw\\phone_v2.bin");
  EXPECT_EQ(platform::NormalisePackagePath("D:\\Builds 2024\\PKG-01.Bin"), "d:\\builds 2024\\pkg-01.bin")
      << "digits, blanks, separators and the drive colon stay";
  EXPECT_EQ(platform::NormalisePackagePath(""), "");
}

TEST(PackagePath, DoubleByteCharactersKeepTheirTrailByte) {
  const int saved = _getmbcp();
  if (_setmbcp(932) != 0) GTEST_SKIP() << "code page 932 not available";
  // 0x83 0x41 is one double-byte character whose trail byte happens to be
  // 'A': lower-casing byte by byte would corrupt it into 0x83 0x61.
  std::string got = platform::NormalisePackagePath("C:\\\x83\x41\\FW.BIN");
  _setmbcp(saved);
  EXPECT_EQ(got, "c:\\\x83\x41\\fw.bin");
}

TEST(RecursiveLock, TheHolderMayEnterAgain) {
  platform::RecursiveLock lock;
  lock.Enter();
  lock.Enter();
  lock.Leave();
  lock.Leave();
  bool entered = false;
  std::thread other([&] {
    lock.Enter();
    entered = true;
    lock.Leave();
  });
  other.join();  // would never end if a Leave were missing
  EXPECT_TRUE(entered);
}

TEST(RecursiveLock, KeepsOtherThreadsOut) {
  platform::RecursiveLock lock;
  long counter = 0;
  auto work = [&] {
    for (int i = 0; i < 100000; ++i) {
      lock.Enter();
      long v = counter;
      counter = v + 1;  // a lost update would show in the total
      lock.Leave();
    }
  };
  std::thread a(work), b(work);
  a.join();
  b.join();
  EXPECT_EQ(counter, 200000);
}

// ---- calls into the host -------------------------------------------------

NT_TIB* Tib() { return reinterpret_cast<NT_TIB*>(NtCurrentTeb()); }

// The host compiler's description of a thrown object.
int g_destroyed = 0;
void __thiscall DestroyThrown(void*) { ++g_destroyed; }
struct ThrowInfo {
  DWORD attributes;
  void(__thiscall* destroy)(void*);
};
const ThrowInfo kThrowInfo{0, &DestroyThrown};

// Raises what the host's compiler raises for `throw`.
int32_t HostThrows(void*) {
  int object = 1;
  ULONG_PTR args[3] = {0x19930520, reinterpret_cast<ULONG_PTR>(&object),
                       reinterpret_cast<ULONG_PTR>(&kThrowInfo)};
  RaiseException(0xE06D7363, EXCEPTION_NONCONTINUABLE, 3, args);
  return 5;
}

// A host frame with clean-up of its own: a registration whose handler counts
// how often it is unwound.
int g_unwound = 0;
EXCEPTION_DISPOSITION __cdecl CountUnwind(EXCEPTION_RECORD* rec, void*, CONTEXT*, void*) {
  if (rec->ExceptionFlags & EXCEPTION_UNWINDING) ++g_unwound;
  return ExceptionContinueSearch;
}
int32_t HostFrameThenThrow(void* p) {
  EXCEPTION_REGISTRATION_RECORD rec;
  rec.Handler = reinterpret_cast<PEXCEPTION_ROUTINE>(&CountUnwind);
  rec.Next = Tib()->ExceptionList;
  Tib()->ExceptionList = &rec;
  return HostThrows(p);  // never returns; the unwind removes `rec`
}

TEST(CallForeign, ReturnsTheResultOfACallThatReturns) {
  int32_t r = 0;
  int six = 6;
  EXPECT_TRUE(platform::CallForeign([](void* p) -> int32_t { return *static_cast<int*>(p) + 1; },
                                    &six, &r));
  EXPECT_EQ(r, 7);
}

TEST(CallForeign, StopsTheHostsCppExceptionAfterUnwindingTheHost) {
  g_destroyed = g_unwound = 0;
  void* const chain = Tib()->ExceptionList;
  int32_t r = -1;
  EXPECT_FALSE(platform::CallForeign(&HostFrameThenThrow, nullptr, &r));
  EXPECT_EQ(r, -1) << "no result from a call that raised";
  EXPECT_EQ(g_unwound, 1) << "the host's own frame was unwound (its clean-up ran)";
  EXPECT_EQ(g_destroyed, 1) << "the thrown object was destroyed once";
  EXPECT_EQ(Tib()->ExceptionList, chain) << "the registration chain is as before";
  // And again: nothing was left behind by the first one.
  EXPECT_FALSE(platform::CallForeign(&HostThrows, nullptr, &r));
  EXPECT_EQ(g_destroyed, 2);
  EXPECT_EQ(Tib()->ExceptionList, chain);
}

TEST(CallForeign, StopsThisCompilersExceptionsToo) {
  void* const chain = Tib()->ExceptionList;
  int32_t r = -1;
  EXPECT_FALSE(platform::CallForeign([](void*) -> int32_t { throw std::runtime_error("host"); },
                                     nullptr, &r));
  EXPECT_EQ(Tib()->ExceptionList, chain);
}

// Catches any structured exception around fn, for the test below.
struct Outer {
  EXCEPTION_REGISTRATION_RECORD record;
  void* jump[5];
  DWORD code;
};
EXCEPTION_DISPOSITION __cdecl CatchAll(EXCEPTION_RECORD* rec, void* frame, CONTEXT*, void*) {
  if (rec->ExceptionFlags & (EXCEPTION_UNWINDING | EXCEPTION_EXIT_UNWIND)) return ExceptionContinueSearch;
  static_cast<Outer*>(frame)->code = rec->ExceptionCode;
  RtlUnwind(frame, nullptr, rec, nullptr);
  __builtin_longjmp(static_cast<Outer*>(frame)->jump, 1);
}
__attribute__((noinline)) DWORD RunCatchingAll(int32_t (*fn)(void*)) {
  Outer outer{};
  outer.record.Handler = reinterpret_cast<PEXCEPTION_ROUTINE>(&CatchAll);
  outer.record.Next = Tib()->ExceptionList;
  if (__builtin_setjmp(outer.jump)) {
    Tib()->ExceptionList = outer.record.Next;
    return outer.code;
  }
  Tib()->ExceptionList = &outer.record;
  int32_t r = 0;
  platform::CallForeign(fn, nullptr, &r);
  Tib()->ExceptionList = outer.record.Next;
  return 0;
}

TEST(CallForeign, LeavesFaultsThatAreNotCppExceptionsToWhoeverHandlesThem) {
  void* const chain = Tib()->ExceptionList;
  DWORD code = RunCatchingAll([](void*) -> int32_t {
    RaiseException(0xE0001234, EXCEPTION_NONCONTINUABLE, 0, nullptr);
    return 0;
  });
  EXPECT_EQ(code, 0xE0001234u) << "passed on to the handler further out";
  EXPECT_EQ(Tib()->ExceptionList, chain);
}

}  // namespace
}  // namespace vantrel
