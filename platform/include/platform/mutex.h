// Platform layer: a mutex, its scoped lock and a condition variable that clang's thread-safety
// analysis understands (platform/thread_annotations.h).
//
//   mutable Mutex mu_;
//   CondVar changed_{&mu_};
//   bool ended_ GUARDED_BY(mu_) = false;
//   ...
//   MutexLock lock(&mu_);
//   while (!ended_) changed_.Wait();
//
// Mutex is a std::mutex underneath: not recursive, not copyable. Thread-safe.
#ifndef QUENVAR_PLATFORM_MUTEX_H_
#define QUENVAR_PLATFORM_MUTEX_H_

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "platform/thread_annotations.h"

namespace quenvar::platform {

class CAPABILITY("mutex") Mutex {
 public:
  Mutex() = default;
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  void Lock() ACQUIRE() { mu_.lock(); }
  void Unlock() RELEASE() { mu_.unlock(); }
  // Tells the analysis that the caller holds the mutex (a callback run under it); checks nothing.
  void AssertHeld() const ASSERT_CAPABILITY(this) {}

 private:
  friend class CondVar;
  std::mutex mu_;
};

// Holds a mutex for its scope.
class SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex* mu) ACQUIRE(mu) : mu_(mu) { mu_->Lock(); }
  ~MutexLock() RELEASE() { mu_->Unlock(); }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

 private:
  Mutex* const mu_;
};

// Waits of threads that hold mu; every wait releases mu while it sleeps and holds it again when it
// returns. Wake-ups may be spurious: wait in a loop over the condition.
class CondVar {
 public:
  explicit CondVar(Mutex* mu) : mu_(mu) {}
  CondVar(const CondVar&) = delete;
  CondVar& operator=(const CondVar&) = delete;

  void Wait() {
    std::unique_lock<std::mutex> lock(mu_->mu_, std::adopt_lock);
    cv_.wait(lock);
    lock.release();
  }
  // False when deadline passed first.
  bool WaitUntil(std::chrono::steady_clock::time_point deadline) {
    std::unique_lock<std::mutex> lock(mu_->mu_, std::adopt_lock);
    const bool woken = cv_.wait_until(lock, deadline) == std::cv_status::no_timeout;
    lock.release();
    return woken;
  }
  void Signal() { cv_.notify_one(); }
  void SignalAll() { cv_.notify_all(); }

 private:
  std::condition_variable cv_;
  Mutex* const mu_;
};

}  // namespace quenvar::platform

#endif  // QUENVAR_PLATFORM_MUTEX_H_
