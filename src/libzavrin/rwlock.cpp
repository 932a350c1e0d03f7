// The read/write lock: three counters under a mutex, a manual-reset gate for
// readers and an auto-reset event for writers.
#include "rwlock.h"

#include <new>

using zavrin::GetTickCount;
using zavrin::ReduceTimeout;
using zavrin::TicksSince;

RWLOCK RWLockCreate() {
  return new (std::nothrow) __rwlock_data;
}

void RWLockDestroy(RWLOCK hLock) {
  if (hLock == nullptr) return;
  hLock->mutex.Lock();
  // A waiter may be about to wake on the events, so a lock with waiters is
  // not free even when no one holds it.
  bool unused = hLock->lockCount == 0 && hLock->waitingReaders == 0 && hLock->waitingWriters == 0;
  hLock->mutex.Unlock();
  if (unused) delete hLock;
}

// Sleeps on event for at most *timeout with the mutex released, then takes
// the elapsed time off *timeout. The tick difference is taken in 32 bits, so
// a wrap of the counter in between does no harm.
static bool SleepOn(RWLOCK hLock, zavrin::Event *event, DWORD *timeout) {
  hLock->mutex.Unlock();
  DWORD start = GetTickCount();
  bool signalled = event->Wait(*timeout);
  *timeout = ReduceTimeout(*timeout, TicksSince(start, GetTickCount()));
  hLock->mutex.Lock();
  return signalled;
}

int RWLockReadLock(RWLOCK hLock, DWORD timeout) {
  if (hLock == nullptr) return 0;
  hLock->mutex.Lock();
  while (hLock->lockCount == -1 || hLock->waitingWriters > 0) {
    hLock->waitingReaders++;
    bool signalled = SleepOn(hLock, &hLock->readEvent, &timeout);
    hLock->waitingReaders--;
    if (!signalled) {
      hLock->mutex.Unlock();
      return 0;
    }
  }
  hLock->lockCount++;
  hLock->mutex.Unlock();
  return 1;
}

int RWLockWriteLock(RWLOCK hLock, DWORD timeout) {
  if (hLock == nullptr) return 0;
  hLock->mutex.Lock();
  hLock->readEvent.Reset();
  while (hLock->lockCount != 0) {
    hLock->waitingWriters++;
    bool signalled = SleepOn(hLock, &hLock->writeEvent, &timeout);
    hLock->waitingWriters--;
    if (!signalled) {
      // An unlock that came while this wait was running out gave the free
      // lock to this writer alone. Readers held back for it would then sleep
      // on a free lock with no unlock left to wake them.
      if (hLock->waitingWriters == 0 && hLock->lockCount == 0 && hLock->waitingReaders > 0) {
        hLock->readEvent.Set();
      }
      hLock->mutex.Unlock();
      return 0;
    }
  }
  hLock->lockCount = -1;
  hLock->mutex.Unlock();
  return 1;
}

void RWLockUnlock(RWLOCK hLock) {
  if (hLock == nullptr) return;
  hLock->mutex.Lock();
  if (hLock->lockCount > 0) {
    hLock->lockCount--;
  } else if (hLock->lockCount == -1) {
    hLock->lockCount = 0;
  }
  if (hLock->waitingWriters > 0) {
    if (hLock->lockCount == 0) hLock->writeEvent.Set();
  } else if (hLock->waitingReaders > 0) {
    hLock->readEvent.Set();
  }
  hLock->mutex.Unlock();
}
