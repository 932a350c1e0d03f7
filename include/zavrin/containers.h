// Thread-safe building blocks and containers: Queue, read/write lock, String.
#ifndef ZAVRIN_CONTAINERS_H
#define ZAVRIN_CONTAINERS_H

#include <zavrin/types.h>

// ---- Queue ----

namespace zavrin {
class Mutex;
class Event;
}  // namespace zavrin

// What Get and GetOrBlock return once the queue is shut down: all bits set.
#define QUEUE_SHUTDOWN_MARKER ((void *)~(uintptr_t)0)

// A thread-safe first-in, first-out queue of untyped pointers in a ring of
// slots that grows by a fixed increment when full. The queue never looks at
// or frees the elements. Callers do not put null: Get could not tell it from
// an empty queue.
class ZAVRIN_EXPORT Queue {
 public:
  // A ring of 256 slots that grows by 32.
  Queue();
  // A ring of initialSize slots (may be 0) that grows by increment slots (an
  // increment of 0 is taken as 1).
  Queue(DWORD initialSize, DWORD increment);
  // Frees the ring; the elements are left alone.
  ~Queue();
  Queue(const Queue &) = delete;
  Queue &operator=(const Queue &) = delete;

  // Appends at the back. When the ring is full and cannot grow (out of
  // memory), the element is not stored.
  void Put(void *element);
  // Puts at the front, so that the element is the next one taken.
  void Insert(void *element);
  // The oldest element, null when empty, QUEUE_SHUTDOWN_MARKER once shut
  // down. Never waits for an element.
  void *Get();
  // Like Get, but sleeps while the queue is empty: never returns null.
  void *GetOrBlock();
  // Forgets every element (without freeing it); the ring keeps its size.
  void Clear();
  // Makes every later take return QUEUE_SHUTDOWN_MARKER and wakes one
  // sleeping consumer. There is no way back.
  void SetShutdownMode();
  // Number of elements held.
  DWORD Size();

 private:
  void CommonInit();
  void Lock();
  void Unlock();
  __attribute__((visibility("hidden"))) bool Grow();
  friend struct QueueInspector;  // the tests look into the ring

  zavrin::Mutex *mutex;
  zavrin::Event *wakeEvent;
  void **slots;
  DWORD count;
  DWORD capacity;
  DWORD head;
  DWORD tail;
  DWORD growBy;
  BOOL shutdown;
};

// ---- Read/write lock ----

// Any number of readers or one writer. Writers go first: while a writer holds
// or waits, new readers wait too, and a freed lock goes to a waiting writer
// before waiting readers. Not re-entrant. Time-outs are in milliseconds;
// INFINITE waits without limit. Every function accepts a null lock.
struct __rwlock_data;
typedef struct __rwlock_data *RWLOCK;

// A new, free lock; null when it cannot be allocated.
ZAVRIN_EXPORT RWLOCK RWLockCreate();
// Frees the lock if it is free and nobody waits for it; otherwise does
// nothing, and the caller destroys it again once it is free.
ZAVRIN_EXPORT void RWLockDestroy(RWLOCK hLock);
// 1 when the lock was acquired for reading, 0 on time-out.
ZAVRIN_EXPORT int RWLockReadLock(RWLOCK hLock, DWORD timeout);
// 1 when the lock was acquired for writing, 0 on time-out.
ZAVRIN_EXPORT int RWLockWriteLock(RWLOCK hLock, DWORD timeout);
// Releases one hold of either kind; a free lock stays free.
ZAVRIN_EXPORT void RWLockUnlock(RWLOCK hLock);

// ---- String ----

#endif  // ZAVRIN_CONTAINERS_H
