// The Linux thread layer: mutex, event, thread start, tick counter and sleep.
// Everything above the port layer uses these instead of the system calls, so
// that the rest of the library reads like portable code.
#ifndef ZAVRIN_PORT_THREAD_H
#define ZAVRIN_PORT_THREAD_H

#include <zavrin/types.h>

#include <pthread.h>

#include <atomic>
#include <mutex>

namespace zavrin {

// Thinly wraps std::mutex.
class Mutex {
 public:
  Mutex() = default;
  Mutex(const Mutex &) = delete;
  Mutex &operator=(const Mutex &) = delete;

  void Lock() { mu_.lock(); }
  void Unlock() { mu_.unlock(); }

 private:
  friend class Condition;
  std::mutex mu_;
};

// Holds a Mutex for the lifetime of a scope.
class MutexLock {
 public:
  explicit MutexLock(Mutex *mu) : mu_(mu) { mu_->Lock(); }
  ~MutexLock() { mu_->Unlock(); }
  MutexLock(const MutexLock &) = delete;
  MutexLock &operator=(const MutexLock &) = delete;

 private:
  Mutex *const mu_;
};

// An event in the two flavours the library needs.
//
// Auto-reset: Set releases exactly one waiting thread, or, when none waits,
// stays signalled until the next Wait takes it. Manual-reset: Set releases
// every waiting thread and stays signalled until Reset.
//
// Pulse releases exactly the threads that wait at that moment (one of them for
// an auto-reset event, all for a manual-reset one) and leaves the event reset:
// a thread that starts waiting afterwards sleeps. A pulse with nobody waiting
// only resets the event.
//
// Each event has a cache line of its own, so that a Set that finds it
// signalled reads nothing that other threads write.
class alignas(64) Event {
 public:
  enum ResetMode { kAutoReset, kManualReset };

  explicit Event(ResetMode mode, bool signalled = false);
  ~Event();
  Event(const Event &) = delete;
  Event &operator=(const Event &) = delete;

  void Set();
  // Auto-reset only: Set for a caller that holds a lock of its own which
  // orders the data this setting announces, and whose woken thread takes that
  // lock before it looks at the data. A setting still pending then makes this
  // one redundant, at the cost of a plain read.
  void SetUnderCallerLock();
  void Reset();
  void Pulse();

  // Waits at most timeoutMs milliseconds (INFINITE: without limit). Returns
  // true when the event released the caller, false on time-out. A time-out of
  // 0 only tests the event.
  bool Wait(DWORD timeoutMs);

  // Manual-reset events only. Generation() counts the Set and Pulse calls;
  // WaitSince(g, ...) returns at once when one came after Generation() gave g.
  // A caller that reads the generation while it still holds the lock under
  // which it found nothing to do therefore cannot miss a pulse that comes
  // between unlocking and starting to wait.
  uint64_t Generation();
  bool WaitSince(uint64_t generation, DWORD timeoutMs);

  // Threads inside Wait right now; lets tests release waiters that really wait.
  uint32_t WaitingForTesting();

 private:
  // The event sits on the pthread mutex and condition variable that
  // std::mutex and std::condition_variable wrap: their timed waits are
  // function templates that unoptimised builds would export from the library.
  bool WaitLocked(DWORD timeoutMs, uint64_t generation);

  // An auto-reset waiter that no setting has released yet; it lives on the
  // waiting thread's stack.
  struct Waiter {
    Waiter *prev;
    Waiter *next;
    bool released;
  };
  void Enqueue(Waiter *waiter);
  void Unlink(Waiter *waiter);
  bool ReleaseOldestWaiter();

  pthread_mutex_t mu_;
  pthread_cond_t cv_;  // waits on the monotonic clock
  const ResetMode mode_;
  // Written under mu_; auto-reset Set and Reset also read it without the lock.
  std::atomic<bool> signalled_;
  uint64_t generation_ = 0;  // manual-reset: Set and Pulse calls so far
  uint32_t waiters_ = 0;     // threads inside Wait
  // Auto-reset: the unreleased waiters, oldest first. A setting is handed to
  // one of them, so a thread that starts waiting later cannot take it over.
  Waiter *firstWaiter_ = nullptr;
  Waiter *lastWaiter_ = nullptr;
};

// A condition variable on a Mutex, on the monotonic clock: lets one thread be
// woken alone where an event would wake every sleeper.
class Condition {
 public:
  Condition();
  ~Condition();
  Condition(const Condition &) = delete;
  Condition &operator=(const Condition &) = delete;

  // Called with mu held; releases it while asleep and holds it again on return.
  // Returns after a Signal, at the latest after timeoutMs milliseconds
  // (INFINITE: no limit), or spuriously: callers test their own state.
  void Wait(Mutex *mu, DWORD timeoutMs);
  void Signal();

 private:
  pthread_cond_t cv_;
};

// What a thread runs: its argument in, its result out.
typedef DWORD (*ThreadRoutine)(void *arg);

// A joinable thread.
class Thread {
 public:
  Thread() = default;
  // Joins a thread that was started and not joined, so none is left behind.
  ~Thread();
  Thread(const Thread &) = delete;
  Thread &operator=(const Thread &) = delete;

  // Starts routine(arg) on a new thread with the default stack size, named
  // name (at most 15 characters) when one is given, so that the thread can be
  // told from others in the process. Returns false, without running the
  // routine, when the system cannot start it or when this object already holds
  // a thread.
  bool Start(ThreadRoutine routine, void *arg, const char *name = nullptr);

  // Waits without limit for the thread to end and returns the routine's
  // result; 0 when no thread was started.
  DWORD Join();

  bool started() const { return started_; }
  pthread_t id() const { return thread_; }

 private:
  pthread_t thread_{};
  bool started_ = false;
};

// Milliseconds of a monotonic clock, truncated to 32 bits: it wraps after
// about 49.7 days, so differences must be taken as 32-bit unsigned numbers.
DWORD GetTickCount();

// Milliseconds from tick count start to now, right across a wrap of the counter.
inline DWORD TicksSince(DWORD start, DWORD now) {
  return now - start;
}

// Takes elapsed milliseconds off a time-out, never below 0; INFINITE stays.
inline DWORD ReduceTimeout(DWORD timeout, DWORD elapsed) {
  if (timeout == INFINITE) return timeout;
  return elapsed >= timeout ? 0 : timeout - elapsed;
}

// Sleeps for the given number of milliseconds; signals do not cut it short.
void ThreadSleep(DWORD milliseconds);

// Tests move the tick counter near its wrap with this offset, added to every
// reading.
void SetTickCountOffsetForTesting(DWORD offset);

}  // namespace zavrin

#endif  // ZAVRIN_PORT_THREAD_H
