// An annotated mutex and scoped lock, so clang's thread-safety analysis can
// check every GUARDED_BY member. std::mutex carries no annotations in
// libstdc++, hence the wrappers.
#pragma once

#include <condition_variable>
#include <mutex>

#include "common/thread_annotations.h"

namespace tolvarine::operator_control {

// A plain, non-recursive mutex. Thread-safe.
class CAPABILITY("mutex") mutex {
 public:
  mutex() = default;
  mutex(const mutex&) = delete;
  mutex& operator=(const mutex&) = delete;

  void lock() ACQUIRE() { m_.lock(); }
  void unlock() RELEASE() { m_.unlock(); }
  bool try_lock() TRY_ACQUIRE(true) { return m_.try_lock(); }
  // Tells the analysis the caller holds the mutex (no runtime check).
  void assert_held() const ASSERT_CAPABILITY(this) {}

 private:
  std::mutex m_;
};

// Holds a mutex for its scope. Works with std::condition_variable_any, which
// unlocks and relocks it through unlock()/lock() while waiting.
class SCOPED_CAPABILITY mutex_lock {
 public:
  explicit mutex_lock(mutex& m) ACQUIRE(m) : m_(m) { m_.lock(); }
  ~mutex_lock() RELEASE() { m_.unlock(); }
  mutex_lock(const mutex_lock&) = delete;
  mutex_lock& operator=(const mutex_lock&) = delete;

  // For std::condition_variable_any only; the analysis still treats the
  // mutex as held across a wait, which is what the caller observes.
  void lock() NO_THREAD_SAFETY_ANALYSIS { m_.lock(); }
  void unlock() NO_THREAD_SAFETY_ANALYSIS { m_.unlock(); }

 private:
  mutex& m_;
};

using condition_variable = std::condition_variable_any;

}  // namespace tolvarine::operator_control
