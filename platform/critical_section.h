// A critical section as the engine knows it: a lock that its owner
// may enter again.
#pragma once

#include <mutex>

namespace platform {

class CriticalSection {
 public:
  void Enter() { mutex_.lock(); }
  bool TryEnter() { return mutex_.try_lock(); }
  void Leave() { mutex_.unlock(); }

  // BasicLockable, so that std::lock_guard and std::unique_lock work.
  void lock() { Enter(); }
  bool try_lock() { return TryEnter(); }
  void unlock() { Leave(); }

 private:
  std::recursive_mutex mutex_;
};

using CriticalSectionLock = std::lock_guard<CriticalSection>;

}  // namespace platform
