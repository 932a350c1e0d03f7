// The record behind a read/write lock handle.
#ifndef ZAVRIN_RWLOCK_H
#define ZAVRIN_RWLOCK_H

#include <zavrin/containers.h>

#include <atomic>
#include <cstdint>

#include "port/thread.h"

// The hold count and a flag share one atomic word, so that a thread that finds
// no one waiting can take or leave the lock with a single compare-and-swap.
// The low 32 bits are the count: 0 free, n > 0 held by n readers, -1 (all
// bits set) held by a writer. kMutexPath, set by every thread that takes the
// mutex, sends everyone else through the mutex too and stays set while
// anyone waits; while it is set the word changes only under the mutex, and
// the lock works exactly as three counters under a mutex.
struct __rwlock_data {
  static constexpr uint64_t kMutexPath = uint64_t{1} << 32;

  zavrin::Mutex mutex;  // guards the waiting counters and the mutex path
  // The gate of waiting readers: set to release all of them, reset by every
  // write acquisition that has to take the mutex and by every reader that
  // goes to sleep.
  zavrin::Event readEvent{zavrin::Event::kManualReset};
  // Each setting wakes one waiting writer.
  zavrin::Event writeEvent{zavrin::Event::kAutoReset};
  DWORD waitingReaders = 0;
  DWORD waitingWriters = 0;
  std::atomic<uint64_t> state{0};

  int LockCount() const { return static_cast<int32_t>(state.load(std::memory_order_acquire)); }
  // With the mutex held and the mutex path taken.
  void SetLockCount(int count) {
    state.store(kMutexPath | static_cast<uint32_t>(count), std::memory_order_release);
  }
};

#endif  // ZAVRIN_RWLOCK_H
