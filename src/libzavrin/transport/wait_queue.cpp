// The wait queue for replies: an array of held messages under a mutex, the
// list of sleeping waiters with what each waits for, and a housekeeper that
// drops what nobody collects: a thread of the queue's own, or one thread that
// keeps every queue of the process that shares it.
#include <zavrin/message.h>
#include <zavrin/platform.h>
#include <zavrin/utils.h>

#include <stdlib.h>
#include <string.h>

#include <new>

#include "port/thread.h"
#include "transport/wait_queue_waiter.h"

namespace {

// The longest a waiter sleeps between two scans, and the housekeeper's period.
const DWORD kWaitSlice = 100;
const DWORD kHousekeeperPeriod = 200;

void DestroyMessage(const WAIT_QUEUE_ELEMENT &element) {
  if (element.isRaw) {
    free(element.message);
  } else {
    delete static_cast<CSCPMessage *>(element.message);
  }
}

// Whether queues constructed from now on share the one housekeeper.
bool shareHousekeeper = false;

// The thread that keeps the queues that share one, with its start record.
struct SharedThread {
  zavrin::Thread thread;
  THREAD_START_RECORD start;
  zavrin::Event stop{zavrin::Event::kAutoReset};
  bool stopping = false;  // under the list's mutex: the last queue has left
};

}  // namespace

// A queue's housekeeping: a thread of its own with the start record it was
// given (both live until the queue has joined the thread), or its link in the
// list of queues that the shared thread keeps.
struct MsgWaitQueueHousekeeper {
  zavrin::Thread thread;
  THREAD_START_RECORD start;
  bool shared = false;
  MsgWaitQueue *queue = nullptr;
  MsgWaitQueueHousekeeper *prev = nullptr;
  MsgWaitQueueHousekeeper *next = nullptr;

  bool StartOwn(MsgWaitQueue *owner);
  bool JoinShared(MsgWaitQueue *owner);
  void LeaveShared();
  static DWORD SharedLoop(void *arg);
};

namespace {

// The queues that share the housekeeper and the thread that keeps them, which
// runs while the list is not empty. Never destroyed: a queue may be destroyed
// during the process's exit, after static objects.
struct SharedList {
  zavrin::Mutex mutex;
  MsgWaitQueueHousekeeper *first = nullptr;
  SharedThread *keeper = nullptr;
};

SharedList &Shared() {
  static SharedList *list = new SharedList;
  return *list;
}

}  // namespace

bool MsgWaitQueueHousekeeper::StartOwn(MsgWaitQueue *owner) {
  start.routine = MsgWaitQueue::MWQThreadStarter;
  start.arg = owner;
  return thread.Start(SEHThreadStarter, &start, MSG_WAIT_QUEUE_THREAD_NAME);
}

// Passes over every shared queue each period; the list's mutex is held during
// a pass, so a queue that leaves waits for the pass to end.
DWORD MsgWaitQueueHousekeeper::SharedLoop(void *arg) {
  SharedThread *self = static_cast<SharedThread *>(arg);
  SharedList &list = Shared();
  while (!self->stop.Wait(kHousekeeperPeriod)) {
    zavrin::MutexLock lock(&list.mutex);
    if (self->stopping) break;
    for (MsgWaitQueueHousekeeper *q = list.first; q != nullptr; q = q->next) q->queue->Expire();
  }
  return 0;
}

bool MsgWaitQueueHousekeeper::JoinShared(MsgWaitQueue *owner) {
  SharedList &list = Shared();
  zavrin::MutexLock lock(&list.mutex);
  if (list.keeper == nullptr) {
    SharedThread *keeper = new (std::nothrow) SharedThread;
    if (keeper == nullptr) return false;
    keeper->start.routine = SharedLoop;
    keeper->start.arg = keeper;
    if (!keeper->thread.Start(SEHThreadStarter, &keeper->start, MSG_WAIT_QUEUE_THREAD_NAME)) {
      delete keeper;
      return false;
    }
    list.keeper = keeper;
  }
  shared = true;
  queue = owner;
  next = list.first;
  if (next != nullptr) next->prev = this;
  list.first = this;
  return true;
}

void MsgWaitQueueHousekeeper::LeaveShared() {
  SharedList &list = Shared();
  SharedThread *ending = nullptr;
  {
    zavrin::MutexLock lock(&list.mutex);
    if (prev != nullptr) {
      prev->next = next;
    } else {
      list.first = next;
    }
    if (next != nullptr) next->prev = prev;
    if (list.first == nullptr) {
      // The last queue ends the thread; a queue made meanwhile starts another.
      ending = list.keeper;
      list.keeper = nullptr;
      ending->stopping = true;
      ending->stop.Set();
    }
  }
  if (ending != nullptr) {
    ending->thread.Join();
    delete ending;
  }
}

void MsgWaitQueue::ShareHousekeeper(BOOL shared) {
  __atomic_store_n(&shareHousekeeper, shared != FALSE, __ATOMIC_RELAXED);
}

MsgWaitQueue::MsgWaitQueue()
    : waiters(nullptr), holdTime(30000), elementCount(0), elements(nullptr) {
  mutex = new (std::nothrow) zavrin::Mutex;
  stopEvent = new (std::nothrow) zavrin::Event(zavrin::Event::kAutoReset);
  housekeeper = nullptr;
  if (mutex == nullptr || stopEvent == nullptr) {
    // Without its handles the queue holds nothing: puts destroy their
    // message and waits return null.
    delete mutex;
    delete stopEvent;
    mutex = nullptr;
    stopEvent = nullptr;
    return;
  }
  housekeeper = new (std::nothrow) MsgWaitQueueHousekeeper;
  if (housekeeper == nullptr) return;
  bool kept = __atomic_load_n(&shareHousekeeper, __ATOMIC_RELAXED) ? housekeeper->JoinShared(this)
                                                                   : housekeeper->StartOwn(this);
  if (!kept) {
    // The queue works on without expiry.
    delete housekeeper;
    housekeeper = nullptr;
  }
}

MsgWaitQueue::~MsgWaitQueue() {
  if (mutex == nullptr) return;
  stopEvent->Set();
  if (housekeeper != nullptr) {
    if (housekeeper->shared) {
      housekeeper->LeaveShared();
    } else {
      housekeeper->thread.Join();
    }
    delete housekeeper;
  }
  Clear();
  free(elements);
  delete mutex;
  delete stopEvent;
}

void MsgWaitQueue::Lock() {
  mutex->Lock();
}

void MsgWaitQueue::Unlock() {
  mutex->Unlock();
}

void MsgWaitQueue::SetHoldTime(DWORD time) {
  // A single store without the lock; atomic so that a concurrent Put reads
  // either the old or the new value.
  __atomic_store_n(&holdTime, time, __ATOMIC_RELAXED);
}

void MsgWaitQueue::Append(WORD isRaw, WORD code, DWORD id, void *message) {
  WAIT_QUEUE_ELEMENT element = {code, isRaw, id, __atomic_load_n(&holdTime, __ATOMIC_RELAXED),
                                message};
  if (mutex == nullptr) {
    DestroyMessage(element);
    return;
  }
  Lock();
  WAIT_QUEUE_ELEMENT *grown = static_cast<WAIT_QUEUE_ELEMENT *>(
      realloc(elements, (static_cast<size_t>(elementCount) + 1) * sizeof(WAIT_QUEUE_ELEMENT)));
  bool stored = grown != nullptr;
  if (stored) {
    elements = grown;
    elements[elementCount++] = element;
    // Every waiter for this message wakes: the first to scan takes it, the
    // others sleep on. A waiter may leave once the mutex is released, so it is
    // signalled before; it wakes into the mutex a moment later.
    for (MsgWaitQueueWaiter *w = waiters; w != nullptr; w = w->next) {
      if (w->id == id && w->code == code && w->isRaw == isRaw) w->wake.Signal();
    }
  }
  Unlock();
  if (!stored) DestroyMessage(element);
}

// A null message carries no code or id to wait for; there is nothing to hold.
void MsgWaitQueue::Put(CSCPMessage *msg) {
  if (msg != nullptr) Append(0, msg->GetCode(), msg->GetId(), msg);
}

void MsgWaitQueue::Put(CSCP_MESSAGE *msg) {
  if (msg != nullptr) Append(1, msg->code, msg->id, msg);
}

void *MsgWaitQueue::WaitForMessageInternal(WORD isRaw, WORD code, DWORD id, DWORD timeout) {
  if (mutex == nullptr) return nullptr;
  MsgWaitQueueWaiter self;
  self.isRaw = isRaw;
  self.code = code;
  self.id = id;
  DWORD remaining = timeout;
  void *message = nullptr;
  Lock();
  for (;;) {
    DWORD i = 0;
    while (i < elementCount &&
           !(elements[i].id == id && elements[i].code == code && elements[i].isRaw == isRaw))
      i++;
    if (i < elementCount) {
      message = elements[i].message;
      elementCount--;
      memmove(&elements[i], &elements[i + 1], (elementCount - i) * sizeof(WAIT_QUEUE_ELEMENT));
      break;
    }

    // Registered under the mutex that Put holds while it looks for waiters: a
    // Put that comes after this scan finds this thread and wakes it.
    INT64 start = GetCurrentTimeMs();
    DWORD slice = remaining < kWaitSlice ? remaining : kWaitSlice;
    if (slice > 0) {
      self.prev = nullptr;
      self.next = waiters;
      if (waiters != nullptr) waiters->prev = &self;
      waiters = &self;
      self.wake.Wait(mutex, slice);
      if (self.prev != nullptr) {
        self.prev->next = self.next;
      } else {
        waiters = self.next;
      }
      if (self.next != nullptr) self.next->prev = self.prev;
    }
    // Wall-clock time as a 32-bit difference: a step of the clock larger than
    // what is left, either way, ends the wait.
    DWORD elapsed = static_cast<DWORD>(GetCurrentTimeMs() - start);
    if (elapsed >= remaining) break;
    remaining -= elapsed;
  }
  Unlock();
  return message;
}

void MsgWaitQueue::Clear() {
  if (mutex == nullptr) return;
  Lock();
  for (DWORD i = 0; i < elementCount; i++) {
    if (elements[i].message != nullptr) DestroyMessage(elements[i]);
  }
  elementCount = 0;
  Unlock();
}

void MsgWaitQueue::Expire() {
  Lock();
  DWORD i = 0;
  while (i < elementCount) {
    if (elements[i].ttl > kHousekeeperPeriod) {
      elements[i].ttl -= kHousekeeperPeriod;
      i++;
      continue;
    }
    if (elements[i].message != nullptr) DestroyMessage(elements[i]);
    elementCount--;
    memmove(&elements[i], &elements[i + 1], (elementCount - i) * sizeof(WAIT_QUEUE_ELEMENT));
  }
  Unlock();
}

void MsgWaitQueue::HousekeeperThread() {
  while (!stopEvent->Wait(kHousekeeperPeriod)) Expire();
}

DWORD MsgWaitQueue::MWQThreadStarter(void *arg) {
  static_cast<MsgWaitQueue *>(arg)->HousekeeperThread();
  return 0;
}
