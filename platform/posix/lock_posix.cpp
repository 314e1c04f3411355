// The re-entrant lock on POSIX: a recursive mutex.
#include <mutex>
#include <new>

#include "platform/lock.h"

namespace vantrel::platform {
namespace {
std::recursive_mutex& M(unsigned char* s) { return *std::launder(reinterpret_cast<std::recursive_mutex*>(s)); }
}  // namespace

static_assert(sizeof(std::recursive_mutex) <= 64 && alignof(std::recursive_mutex) <= 8);

RecursiveLock::RecursiveLock() { new (storage_) std::recursive_mutex(); }
RecursiveLock::~RecursiveLock() { M(storage_).~recursive_mutex(); }
void RecursiveLock::Enter() { M(storage_).lock(); }
void RecursiveLock::Leave() { M(storage_).unlock(); }

}  // namespace vantrel::platform
