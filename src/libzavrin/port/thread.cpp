// Events on std::mutex and std::condition_variable, threads on pthreads, the
// monotonic tick counter and sleeping.
#include "port/thread.h"

#include <errno.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <new>

namespace zavrin {

Event::Event(ResetMode mode, bool signalled) : mode_(mode), signalled_(signalled) {}

void Event::Set() {
  std::lock_guard<std::mutex> lock(mu_);
  if (mode_ == kManualReset) {
    signalled_ = true;
    // Counting the Set too releases the present waiters even when a Reset
    // follows before they get to run.
    generation_++;
    cv_.notify_all();
  } else if (waiters_ > releases_) {
    // Hand the setting to one waiter directly: a second Set right after it
    // must release a second waiter, not merge with the first.
    releases_++;
    cv_.notify_one();
  } else {
    signalled_ = true;
  }
}

void Event::Reset() {
  std::lock_guard<std::mutex> lock(mu_);
  signalled_ = false;
}

void Event::Pulse() {
  std::lock_guard<std::mutex> lock(mu_);
  signalled_ = false;
  if (mode_ == kManualReset) {
    generation_++;
    cv_.notify_all();
  } else if (waiters_ > releases_) {
    releases_++;
    cv_.notify_one();
  }
}

bool Event::Wait(DWORD timeoutMs) {
  std::unique_lock<std::mutex> lock(mu_);
  return WaitLocked(lock, timeoutMs, generation_);
}

uint32_t Event::WaitingForTesting() {
  std::lock_guard<std::mutex> lock(mu_);
  return waiters_;
}

uint64_t Event::Generation() {
  std::lock_guard<std::mutex> lock(mu_);
  return generation_;
}

bool Event::WaitSince(uint64_t generation, DWORD timeoutMs) {
  std::unique_lock<std::mutex> lock(mu_);
  return WaitLocked(lock, timeoutMs, generation);
}

bool Event::WaitLocked(std::unique_lock<std::mutex> &lock, DWORD timeoutMs, uint64_t generation) {
  if (mode_ == kManualReset) {
    auto released = [&] { return signalled_ || generation_ != generation; };
    if (released()) return true;
    if (timeoutMs == 0) return false;
    waiters_++;
    bool result = true;
    if (timeoutMs == INFINITE) {
      cv_.wait(lock, released);
    } else {
      result = cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs), released);
    }
    waiters_--;
    return result;
  }

  if (signalled_) {
    signalled_ = false;
    return true;
  }
  if (timeoutMs == 0) return false;
  waiters_++;
  auto released = [&] { return releases_ > 0; };
  if (timeoutMs == INFINITE) {
    cv_.wait(lock, released);
  } else {
    cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs), released);
  }
  waiters_--;
  // A release granted while the time-out was running out still counts: the
  // setter saw this thread waiting and handed its setting to it.
  if (releases_ == 0) return false;
  releases_--;
  return true;
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

std::atomic<DWORD> tickOffset{0};

}  // namespace

Thread::~Thread() {
  Join();
}

bool Thread::Start(ThreadRoutine routine, void *arg) {
  if (started_) return false;
  ThreadStart *start = new (std::nothrow) ThreadStart{routine, arg};
  if (start == nullptr) return false;
  if (pthread_create(&thread_, nullptr, ThreadEntry, start) != 0) {
    delete start;
    return false;
  }
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
  return static_cast<DWORD>(ms) + tickOffset.load(std::memory_order_relaxed);
}

void SetTickCountOffsetForTesting(DWORD offset) {
  tickOffset.store(offset, std::memory_order_relaxed);
}

void ThreadSleep(DWORD milliseconds) {
  struct timespec rest;
  rest.tv_sec = milliseconds / 1000;
  rest.tv_nsec = static_cast<long>(milliseconds % 1000) * 1000000;
  while (nanosleep(&rest, &rest) != 0 && errno == EINTR) {
  }
}

}  // namespace zavrin
