// The read/write lock: a hold count under a mutex, a manual-reset gate for
// readers and an auto-reset event for writers, with a lock-free way in and
// out while nobody waits.
#include "containers/rwlock.h"

#include <new>

using zavrin::GetTickCount;
using zavrin::ReduceTimeout;
using zavrin::TicksSince;

namespace {

constexpr uint64_t kWriteHeld = 0xFFFFFFFFu;
// Words below this one have no flag and a count of 0 or more readers that
// one more reader cannot overflow.
constexpr uint64_t kReadable = 0x7FFFFFFFu;

// Takes the mutex and the mutex path: from here on no thread changes the word
// without the mutex, so the count read afterwards stays as read.
void EnterMutexPath(RWLOCK hLock) {
  hLock->mutex.Lock();
  hLock->state.fetch_or(__rwlock_data::kMutexPath, std::memory_order_acq_rel);
}

// Releases the mutex; the lock-free way opens again once nobody waits.
void LeaveMutexPath(RWLOCK hLock) {
  if (hLock->waitingReaders == 0 && hLock->waitingWriters == 0) {
    hLock->state.fetch_and(~__rwlock_data::kMutexPath, std::memory_order_release);
  }
  hLock->mutex.Unlock();
}

// Sleeps on event for at most *timeout with the mutex released, then takes
// the elapsed time off *timeout. The tick difference is taken in 32 bits, so
// a wrap of the counter in between does no harm.
bool SleepOn(RWLOCK hLock, zavrin::Event *event, DWORD *timeout) {
  hLock->mutex.Unlock();
  DWORD start = GetTickCount();
  bool signalled = event->Wait(*timeout);
  *timeout = ReduceTimeout(*timeout, TicksSince(start, GetTickCount()));
  hLock->mutex.Lock();
  return signalled;
}

}  // namespace

RWLOCK RWLockCreate() {
  return new (std::nothrow) __rwlock_data;
}

void RWLockDestroy(RWLOCK hLock) {
  if (hLock == nullptr) return;
  EnterMutexPath(hLock);
  // A waiter may be about to wake on the events, so a lock with waiters is
  // not free even when no one holds it.
  bool unused = hLock->LockCount() == 0 && hLock->waitingReaders == 0 && hLock->waitingWriters == 0;
  LeaveMutexPath(hLock);
  if (unused) delete hLock;
}

int RWLockReadLock(RWLOCK hLock, DWORD timeout) {
  if (hLock == nullptr) return 0;
  uint64_t word = hLock->state.load(std::memory_order_relaxed);
  while (word < kReadable) {
    if (hLock->state.compare_exchange_weak(word, word + 1, std::memory_order_acquire)) return 1;
  }
  EnterMutexPath(hLock);
  while (hLock->LockCount() == -1 || hLock->waitingWriters > 0) {
    // A writer that came in without the mutex left the gate as the last
    // release of readers left it; this reader must not pass it now.
    hLock->readEvent.Reset();
    hLock->waitingReaders++;
    bool signalled = SleepOn(hLock, &hLock->readEvent, &timeout);
    hLock->waitingReaders--;
    if (!signalled) {
      LeaveMutexPath(hLock);
      return 0;
    }
  }
  hLock->SetLockCount(hLock->LockCount() + 1);
  LeaveMutexPath(hLock);
  return 1;
}

int RWLockWriteLock(RWLOCK hLock, DWORD timeout) {
  if (hLock == nullptr) return 0;
  uint64_t word = 0;
  if (hLock->state.compare_exchange_strong(word, kWriteHeld, std::memory_order_acquire)) return 1;
  EnterMutexPath(hLock);
  hLock->readEvent.Reset();
  while (hLock->LockCount() != 0) {
    hLock->waitingWriters++;
    bool signalled = SleepOn(hLock, &hLock->writeEvent, &timeout);
    hLock->waitingWriters--;
    if (!signalled) {
      // An unlock that came while this wait was running out gave the free
      // lock to this writer alone. Readers held back for it would then sleep
      // on a free lock with no unlock left to wake them.
      if (hLock->waitingWriters == 0 && hLock->LockCount() == 0 && hLock->waitingReaders > 0) {
        hLock->readEvent.Set();
      }
      LeaveMutexPath(hLock);
      return 0;
    }
  }
  hLock->SetLockCount(-1);
  LeaveMutexPath(hLock);
  return 1;
}

void RWLockUnlock(RWLOCK hLock) {
  if (hLock == nullptr) return;
  uint64_t word = hLock->state.load(std::memory_order_relaxed);
  while (word < __rwlock_data::kMutexPath) {
    if (word == 0) return;  // a free lock stays free
    uint64_t left = word == kWriteHeld ? 0 : word - 1;
    if (hLock->state.compare_exchange_weak(word, left, std::memory_order_release)) return;
  }
  EnterMutexPath(hLock);
  int count = hLock->LockCount();
  if (count > 0) {
    count--;
  } else if (count == -1) {
    count = 0;
  }
  hLock->SetLockCount(count);
  if (hLock->waitingWriters > 0) {
    if (count == 0) hLock->writeEvent.Set();
  } else if (hLock->waitingReaders > 0) {
    hLock->readEvent.Set();
  }
  LeaveMutexPath(hLock);
}
