// containers/: thread-safe building blocks and containers: the pointer queue,
// the read/write lock, String, StringMap and Table.
//
// The thread-safe pointer queue: a ring of slots under one mutex, with an
// auto-reset event on which consumers sleep.
#include <zavrin/containers.h>

#include <stdlib.h>
#include <string.h>

#include <new>

#include "port/thread.h"

Queue::Queue() : capacity(256), growBy(32) {
  CommonInit();
}

Queue::Queue(DWORD initialSize, DWORD increment)
    : capacity(initialSize), growBy(increment > 0 ? increment : 1) {
  CommonInit();
}

void Queue::CommonInit() {
  mutex = new (std::nothrow) zavrin::Mutex;
  wakeEvent = new (std::nothrow) zavrin::Event(zavrin::Event::kAutoReset);
  count = 0;
  head = 0;
  tail = 0;
  shutdown = FALSE;
  slots = capacity > 0 ? static_cast<void **>(malloc(capacity * sizeof(void *))) : nullptr;
  // Without a ring the queue starts empty and grows on the first Put.
  if (slots == nullptr) capacity = 0;
  // Without its handles the queue cannot be used at all; it then behaves as
  // shut down, so that consumers leave their loops instead of crashing.
  if (mutex == nullptr || wakeEvent == nullptr) shutdown = TRUE;
}

Queue::~Queue() {
  delete mutex;
  delete wakeEvent;
  free(slots);
}

void Queue::Lock() {
  mutex->Lock();
}

void Queue::Unlock() {
  mutex->Unlock();
}

// Adds growBy slots to a full ring. The run from head to the old end moves to
// the new end, so the free slots open up at tail and the order stays.
bool Queue::Grow() {
  DWORD newCapacity = capacity + growBy;
  if (newCapacity < capacity) return false;
  void **grown = static_cast<void **>(realloc(slots, newCapacity * sizeof(void *)));
  if (grown == nullptr) return false;
  slots = grown;
  if (count > 0) memmove(slots + head + growBy, slots + head, (capacity - head) * sizeof(void *));
  // An empty ring (capacity 0) has nothing to move; head and tail stay at 0.
  if (count > 0) head += growBy;
  capacity = newCapacity;
  return true;
}

void Queue::Put(void *element) {
  if (mutex == nullptr || wakeEvent == nullptr) return;
  Lock();
  if (count < capacity || Grow()) {
    slots[tail] = element;
    tail++;
    if (tail == capacity) tail = 0;
    count++;
    wakeEvent->SetUnderCallerLock();
  }
  Unlock();
}

void Queue::Insert(void *element) {
  if (mutex == nullptr || wakeEvent == nullptr) return;
  Lock();
  if (count < capacity || Grow()) {
    head = head == 0 ? capacity - 1 : head - 1;
    slots[head] = element;
    count++;
    wakeEvent->SetUnderCallerLock();
  }
  Unlock();
}

void *Queue::Get() {
  if (mutex == nullptr || wakeEvent == nullptr) return QUEUE_SHUTDOWN_MARKER;
  Lock();
  void *element = nullptr;
  if (shutdown) {
    element = QUEUE_SHUTDOWN_MARKER;
  } else if (count > 0) {
    element = slots[head];
    head++;
    if (head == capacity) head = 0;
    count--;
  }
  Unlock();
  return element;
}

void *Queue::GetOrBlock() {
  void *element = Get();
  if (element != nullptr) return element;
  while (element == nullptr) {
    wakeEvent->Wait(INFINITE);
    element = Get();
  }
  // The event is auto-reset and settings that meet merge into one, so several
  // Puts can wake a single sleeper. A consumer that was woken passes the wake on
  // while elements are left, or the queue is shut down: otherwise the other
  // sleepers would sleep on beside elements (or a shutdown) meant for them. A
  // Put that comes after the look at the size sets the event itself.
  if (element == QUEUE_SHUTDOWN_MARKER || Size() > 0) wakeEvent->Set();
  return element;
}

void Queue::Clear() {
  if (mutex == nullptr || wakeEvent == nullptr) return;
  Lock();
  count = 0;
  head = 0;
  tail = 0;
  Unlock();
}

void Queue::SetShutdownMode() {
  if (mutex == nullptr || wakeEvent == nullptr) return;
  Lock();
  shutdown = TRUE;
  wakeEvent->Set();
  Unlock();
}

DWORD Queue::Size() {
  if (mutex == nullptr || wakeEvent == nullptr) return 0;
  // Under the mutex: an unlocked read races with the writers.
  Lock();
  DWORD result = count;
  Unlock();
  return result;
}
