// The library's lock and its condition: the standard ones on the host, Windows' own
// on Windows, where the mingw-w64 runtime the build uses has no std::mutex.
#pragma once

#if defined(_WIN32)
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
#include <condition_variable>
#include <mutex>
#endif

namespace quorvex {

class Lock {
 public:
  Lock() = default;
  Lock(const Lock&) = delete;
  Lock& operator=(const Lock&) = delete;

#if defined(_WIN32)
  void lock() { AcquireSRWLockExclusive(&lock_); }
  void unlock() { ReleaseSRWLockExclusive(&lock_); }
  void notify_all() { WakeAllConditionVariable(&changed_); }
#else
  void lock() { mutex_.lock(); }
  void unlock() { mutex_.unlock(); }
  void notify_all() { changed_.notify_all(); }
#endif

  // Called locked; returns locked, once `ready()` holds. notify_all wakes it to look.
  template <class Ready>
  void wait(Ready ready) {
    while (!ready()) wait_once();
  }

 private:
#if defined(_WIN32)
  void wait_once() { SleepConditionVariableSRW(&changed_, &lock_, INFINITE, 0); }
  SRWLOCK lock_ = SRWLOCK_INIT;
  CONDITION_VARIABLE changed_ = CONDITION_VARIABLE_INIT;
#else
  void wait_once() {
    std::unique_lock<std::mutex> held(mutex_, std::adopt_lock);
    changed_.wait(held);
    held.release();
  }
  std::mutex mutex_;
  std::condition_variable changed_;
#endif
};

// Holds a Lock for as long as it lives.
class Locked {
 public:
  explicit Locked(Lock& lock) : lock_(lock) { lock_.lock(); }
  ~Locked() { lock_.unlock(); }
  Locked(const Locked&) = delete;
  Locked& operator=(const Locked&) = delete;

 private:
  Lock& lock_;
};

}  // namespace quorvex
