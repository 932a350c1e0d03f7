// port/: the Linux layer under everything else: events, threads, time and text
// conversion, so that the rest of the library reads like portable code.
//
// Events on a pthread mutex and condition variable, threads on pthreads, the
// monotonic tick counter and sleeping.
#include "port/thread.h"

#include <errno.h>
#include <time.h>

#include <new>

namespace zavrin {

namespace {

// Holds a pthread mutex for the lifetime of a scope.
class PthreadLock {
 public:
  explicit PthreadLock(pthread_mutex_t *mu) : mu_(mu) { pthread_mutex_lock(mu_); }
  ~PthreadLock() { pthread_mutex_unlock(mu_); }
  PthreadLock(const PthreadLock &) = delete;
  PthreadLock &operator=(const PthreadLock &) = delete;

 private:
  pthread_mutex_t *const mu_;
};

// The monotonic time timeoutMs milliseconds from now.
struct timespec DeadlineAfter(DWORD timeoutMs) {
  struct timespec deadline;
  clock_gettime(CLOCK_MONOTONIC, &deadline);
  deadline.tv_sec += timeoutMs / 1000;
  deadline.tv_nsec += static_cast<long>(timeoutMs % 1000) * 1000000;
  if (deadline.tv_nsec >= 1000000000) {
    deadline.tv_sec++;
    deadline.tv_nsec -= 1000000000;
  }
  return deadline;
}

}  // namespace

Event::Event(ResetMode mode, bool signalled) : mode_(mode), signalled_(signalled) {
  pthread_mutex_init(&mu_, nullptr);
  pthread_condattr_t attr;
  pthread_condattr_init(&attr);
  pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
  pthread_cond_init(&cv_, &attr);
  pthread_condattr_destroy(&attr);
}

Event::~Event() {
  pthread_cond_destroy(&cv_);
  pthread_mutex_destroy(&mu_);
}

void Event::Set() {
  // A signalled auto-reset event has nobody waiting (a Wait takes the setting
  // instead of sleeping), so setting it again changes nothing and needs no
  // lock. The exchange, unlike a plain read, still orders what the caller wrote
  // before the Set ahead of the Wait that takes the setting.
  bool expected = true;
  if (mode_ == kAutoReset && signalled_.compare_exchange_strong(expected, true)) return;
  PthreadLock lock(&mu_);
  if (mode_ == kManualReset) {
    signalled_ = true;
    // Counting the Set too releases the present waiters even when a Reset
    // follows before they get to run.
    generation_++;
    pthread_cond_broadcast(&cv_);
  } else if (!ReleaseOldestWaiter()) {
    // Nobody waits: the setting stays for the next Wait. One that finds a
    // waiter is handed to it directly, so that a second Set right after it
    // releases a second waiter instead of merging with the first.
    signalled_ = true;
  }
}

void Event::SetUnderCallerLock() {
  if (!signalled_.load(std::memory_order_relaxed)) Set();
}

void Event::Reset() {
  // Resetting an event that is not signalled changes nothing; the setting it
  // would race with may as well come right after it.
  if (!signalled_.load(std::memory_order_acquire)) return;
  PthreadLock lock(&mu_);
  signalled_ = false;
}

void Event::Pulse() {
  PthreadLock lock(&mu_);
  signalled_ = false;
  if (mode_ == kManualReset) {
    generation_++;
    pthread_cond_broadcast(&cv_);
  } else {
    ReleaseOldestWaiter();
  }
}

bool Event::Wait(DWORD timeoutMs) {
  PthreadLock lock(&mu_);
  return WaitLocked(timeoutMs, generation_);
}

uint32_t Event::WaitingForTesting() {
  PthreadLock lock(&mu_);
  return waiters_;
}

uint64_t Event::Generation() {
  PthreadLock lock(&mu_);
  return generation_;
}

bool Event::WaitSince(uint64_t generation, DWORD timeoutMs) {
  PthreadLock lock(&mu_);
  return WaitLocked(timeoutMs, generation);
}

bool Event::WaitLocked(DWORD timeoutMs, uint64_t generation) {
  bool manual = mode_ == kManualReset;
  if (manual && (signalled_ || generation_ != generation)) return true;
  if (!manual && signalled_.exchange(false)) return true;
  if (timeoutMs == 0) return false;

  Waiter self = {nullptr, nullptr, false};
  if (!manual) Enqueue(&self);
  auto released = [&] { return manual ? signalled_ || generation_ != generation : self.released; };
  waiters_++;
  struct timespec deadline = DeadlineAfter(timeoutMs == INFINITE ? 0 : timeoutMs);
  while (!released()) {
    if (timeoutMs == INFINITE) {
      pthread_cond_wait(&cv_, &mu_);
    } else if (pthread_cond_timedwait(&cv_, &mu_, &deadline) == ETIMEDOUT) {
      break;
    }
  }
  waiters_--;
  // A release handed over while the time-out was running out still counts:
  // the setter found this thread waiting and gave its setting to it.
  if (!manual && !self.released) Unlink(&self);
  return released();
}

void Event::Enqueue(Waiter *waiter) {
  waiter->prev = lastWaiter_;
  waiter->next = nullptr;
  if (lastWaiter_ != nullptr) {
    lastWaiter_->next = waiter;
  } else {
    firstWaiter_ = waiter;
  }
  lastWaiter_ = waiter;
}

void Event::Unlink(Waiter *waiter) {
  if (waiter->prev != nullptr) {
    waiter->prev->next = waiter->next;
  } else {
    firstWaiter_ = waiter->next;
  }
  if (waiter->next != nullptr) {
    waiter->next->prev = waiter->prev;
  } else {
    lastWaiter_ = waiter->prev;
  }
}

// Releases the thread that has waited longest; false when nobody waits. All
// sleepers wake and look at their own flag, since a signal could reach
// another one than the released thread.
bool Event::ReleaseOldestWaiter() {
  Waiter *oldest = firstWaiter_;
  if (oldest == nullptr) return false;
  Unlink(oldest);
  oldest->released = true;
  pthread_cond_broadcast(&cv_);
  return true;
}

Condition::Condition() {
  pthread_condattr_t attr;
  pthread_condattr_init(&attr);
  pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
  pthread_cond_init(&cv_, &attr);
  pthread_condattr_destroy(&attr);
}

Condition::~Condition() {
  pthread_cond_destroy(&cv_);
}

void Condition::Wait(Mutex *mu, DWORD timeoutMs) {
  pthread_mutex_t *native = mu->mu_.native_handle();
  if (timeoutMs == INFINITE) {
    pthread_cond_wait(&cv_, native);
  } else {
    struct timespec deadline = DeadlineAfter(timeoutMs);
    pthread_cond_timedwait(&cv_, native, &deadline);
  }
}

void Condition::Signal() {
  pthread_cond_signal(&cv_);
}

namespace {

struct ThreadStart {
  ThreadRoutine routine;
  void *arg;
};

void *ThreadEntry(void *param) {
  ThreadStart start = *static_cast<ThreadStart *>(param);
  delete static_cast<ThreadStart *>(param);
  return reinterpret_cast<void *>(static_cast<uintptr_t>(start.routine(start.arg)));
}

// Read and written with atomic builtins; std::atomic's helpers would be exported.
DWORD tickOffset = 0;

}  // namespace

Thread::~Thread() {
  Join();
}

bool Thread::Start(ThreadRoutine routine, void *arg, const char *name) {
  if (started_) return false;
  ThreadStart *start = new (std::nothrow) ThreadStart{routine, arg};
  if (start == nullptr) return false;
  if (pthread_create(&thread_, nullptr, ThreadEntry, start) != 0) {
    delete start;
    return false;
  }
  // Named before Start returns: whoever counts the threads by name sees it.
  if (name != nullptr) pthread_setname_np(thread_, name);
  started_ = true;
  return true;
}

DWORD Thread::Join() {
  if (!started_) return 0;
  void *result = nullptr;
  pthread_join(thread_, &result);
  started_ = false;
  return static_cast<DWORD>(reinterpret_cast<uintptr_t>(result));
}

DWORD GetTickCount() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  uint64_t ms =
      static_cast<uint64_t>(now.tv_sec) * 1000 + static_cast<uint64_t>(now.tv_nsec) / 1000000;
  return static_cast<DWORD>(ms) + __atomic_load_n(&tickOffset, __ATOMIC_RELAXED);
}

void SetTickCountOffsetForTesting(DWORD offset) {
  __atomic_store_n(&tickOffset, offset, __ATOMIC_RELAXED);
}

void ThreadSleep(DWORD milliseconds) {
  struct timespec rest;
  rest.tv_sec = milliseconds / 1000;
  rest.tv_nsec = static_cast<long>(milliseconds % 1000) * 1000000;
  while (nanosleep(&rest, &rest) != 0 && errno == EINTR) {
  }
}

}  // namespace zavrin
