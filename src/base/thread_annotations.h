#pragma once

// Locking rules written as code: clang's thread-safety analysis checks them at compile time
// (-Wthread-safety, an error in the clang preset); other compilers see plain declarations.
//
// - GUARDED_BY(m) on a member: read or written only while `m` is held.
// - REQUIRES(m) on a function: the caller holds `m` (and still holds it on return).
// - ACQUIRE(m) / RELEASE(m): the function takes or gives back `m`; TRY_ACQUIRE(true, m) takes
//   it when it returns true.
// - EXCLUDES(m): the caller must not hold `m` (the function takes it itself).
// - A capability need not be a mutex: the parallel engine's "pen" (the right to write) is one.
//
// checked_mutex and checked_lock are std::mutex and a scoped lock the analysis understands;
// checked_mutex::wait is std::condition_variable::wait for a mutex held by a checked_lock.

#include <condition_variable>
#include <mutex>

#if defined(__clang__)
#define BYTROVE_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define BYTROVE_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) BYTROVE_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY BYTROVE_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) BYTROVE_THREAD_ANNOTATION(guarded_by(x))
#define REQUIRES(...) BYTROVE_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define ACQUIRE(...) BYTROVE_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) BYTROVE_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define TRY_ACQUIRE(...) BYTROVE_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#define EXCLUDES(...) BYTROVE_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define ASSERT_CAPABILITY(x) BYTROVE_THREAD_ANNOTATION(assert_capability(x))
// Only on the primitives that take and give back a capability that is not a mutex.
#define NO_THREAD_SAFETY_ANALYSIS BYTROVE_THREAD_ANNOTATION(no_thread_safety_analysis)

namespace bytrove {

class CAPABILITY("mutex") checked_mutex {
 public:
  void lock() ACQUIRE() { mutex_.lock(); }
  void unlock() RELEASE() { mutex_.unlock(); }
  // Gives the mutex up while waiting for `cv`, as std::condition_variable::wait does; held
  // again on return. Spurious wake-ups happen: callers wait in a loop on their condition.
  void wait(std::condition_variable& cv) REQUIRES(this) {
    std::unique_lock<std::mutex> lock(mutex_, std::adopt_lock);
    cv.wait(lock);
    lock.release();
  }

 private:
  std::mutex mutex_;
};

// Holds a checked_mutex from construction to destruction, except between unlock() and lock().
class SCOPED_CAPABILITY checked_lock {
 public:
  explicit checked_lock(checked_mutex& m) ACQUIRE(m) : mutex_(m) { mutex_.lock(); }
  ~checked_lock() RELEASE() {
    if (held_) mutex_.unlock();
  }
  checked_lock(const checked_lock&) = delete;
  checked_lock& operator=(const checked_lock&) = delete;

  void lock() ACQUIRE() {
    mutex_.lock();
    held_ = true;
  }
  void unlock() RELEASE() {
    mutex_.unlock();
    held_ = false;
  }

 private:
  checked_mutex& mutex_;
  bool held_ = true;
};

}  // namespace bytrove
