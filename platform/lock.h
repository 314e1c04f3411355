#pragma once
// A re-entrant lock (a critical section): the thread that holds it may enter
// again without blocking. Each OS supplies its own (posix/lock_posix.cpp,
// win32/lock_win32.cpp) in the storage below, so no OS header leaks here.

namespace vantrel::platform {

class RecursiveLock {
 public:
  RecursiveLock();
  ~RecursiveLock();
  RecursiveLock(const RecursiveLock&) = delete;
  RecursiveLock& operator=(const RecursiveLock&) = delete;

  void Enter();
  void Leave();
  // For std::lock_guard and friends.
  void lock() { Enter(); }
  void unlock() { Leave(); }

 private:
  alignas(8) unsigned char storage_[64];
};

}  // namespace vantrel::platform
