#pragma once
// A re-entrant lock (a critical section): the thread that holds it may enter
// again without blocking.
#include <mutex>

namespace vantrel::platform {

class RecursiveLock {
 public:
  void Enter() { m_.lock(); }
  void Leave() { m_.unlock(); }
  // For std::lock_guard and friends.
  void lock() { Enter(); }
  void unlock() { Leave(); }

 private:
  std::recursive_mutex m_;
};

}  // namespace vantrel::platform
