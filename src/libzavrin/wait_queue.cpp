// The wait queue for replies: an array of held messages under a mutex, a
// manual-reset event pulsed by every Put, and a housekeeper thread that
// drops what nobody collects.
#include <zavrin/message.h>
#include <zavrin/platform.h>
#include <zavrin/utils.h>

#include <stdlib.h>
#include <string.h>

#include <new>

#include "port/thread.h"

// The housekeeper thread and the start record it was given; both live until
// the queue has joined the thread.
struct MsgWaitQueueHousekeeper {
  zavrin::Thread thread;
  THREAD_START_RECORD start;
};

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

}  // namespace

MsgWaitQueue::MsgWaitQueue() : holdTime(30000), elementCount(0), elements(nullptr) {
  mutex = new (std::nothrow) zavrin::Mutex;
  stopEvent = new (std::nothrow) zavrin::Event(zavrin::Event::kAutoReset);
  newMessageEvent = new (std::nothrow) zavrin::Event(zavrin::Event::kManualReset);
  housekeeper = nullptr;
  if (mutex == nullptr || stopEvent == nullptr || newMessageEvent == nullptr) {
    // Without its handles the queue holds nothing: puts destroy their
    // message and waits return null.
    delete mutex;
    delete stopEvent;
    delete newMessageEvent;
    mutex = nullptr;
    stopEvent = nullptr;
    newMessageEvent = nullptr;
    return;
  }
  housekeeper = new (std::nothrow) MsgWaitQueueHousekeeper;
  if (housekeeper == nullptr) return;
  housekeeper->start.routine = MWQThreadStarter;
  housekeeper->start.arg = this;
  if (!housekeeper->thread.Start(SEHThreadStarter, &housekeeper->start)) {
    // The queue works on without expiry.
    delete housekeeper;
    housekeeper = nullptr;
  }
}

MsgWaitQueue::~MsgWaitQueue() {
  if (mutex == nullptr) return;
  stopEvent->Set();
  if (housekeeper != nullptr) {
    housekeeper->thread.Join();
    delete housekeeper;
  }
  Clear();
  free(elements);
  delete mutex;
  delete stopEvent;
  delete newMessageEvent;
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
  }
  Unlock();
  if (!stored) {
    DestroyMessage(element);
    return;
  }
  // After unlocking, so that the released waiters find the mutex free.
  newMessageEvent->Pulse();
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
  DWORD remaining = timeout;
  for (;;) {
    Lock();
    for (DWORD i = 0; i < elementCount; i++) {
      if (elements[i].id == id && elements[i].code == code && elements[i].isRaw == isRaw) {
        void *message = elements[i].message;
        elementCount--;
        memmove(&elements[i], &elements[i + 1], (elementCount - i) * sizeof(WAIT_QUEUE_ELEMENT));
        Unlock();
        return message;
      }
    }
    // Taken before unlocking: a Put that comes after this scan pulses after
    // this point, and the wait below returns at once instead of sleeping
    // through its slice.
    uint64_t generation = newMessageEvent->Generation();
    Unlock();

    INT64 start = GetCurrentTimeMs();
    newMessageEvent->WaitSince(generation, remaining < kWaitSlice ? remaining : kWaitSlice);
    // Wall-clock time as a 32-bit difference: a step of the clock larger than
    // what is left, either way, ends the wait.
    DWORD elapsed = static_cast<DWORD>(GetCurrentTimeMs() - start);
    if (elapsed >= remaining) return nullptr;
    remaining -= elapsed;
  }
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

void MsgWaitQueue::HousekeeperThread() {
  while (!stopEvent->Wait(kHousekeeperPeriod)) {
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
}

DWORD MsgWaitQueue::MWQThreadStarter(void *arg) {
  static_cast<MsgWaitQueue *>(arg)->HousekeeperThread();
  return 0;
}
