// The re-entrant lock on Windows: a critical section.
#include <windows.h>

#include <new>

#include "platform/lock.h"

namespace vantrel::platform {
namespace {
CRITICAL_SECTION* Cs(unsigned char* s) { return std::launder(reinterpret_cast<CRITICAL_SECTION*>(s)); }
}  // namespace

static_assert(sizeof(CRITICAL_SECTION) <= 64 && alignof(CRITICAL_SECTION) <= 8);

RecursiveLock::RecursiveLock() { InitializeCriticalSection(new (storage_) CRITICAL_SECTION); }
RecursiveLock::~RecursiveLock() { DeleteCriticalSection(Cs(storage_)); }
void RecursiveLock::Enter() { EnterCriticalSection(Cs(storage_)); }
void RecursiveLock::Leave() { LeaveCriticalSection(Cs(storage_)); }

}  // namespace vantrel::platform
