// The record of a thread asleep in a MsgWaitQueue wait.
#ifndef ZAVRIN_WAIT_QUEUE_WAITER_H
#define ZAVRIN_WAIT_QUEUE_WAITER_H

#include <zavrin/types.h>

#include "port/thread.h"

// A thread asleep in a wait; it lives on that thread's stack and is linked into
// the queue's list only while the thread sleeps, under the queue's mutex. A Put
// signals the waiters whose code, id and kind match its message and no others:
// waking every waiter on every Put made the hand-off cost grow with their number.
struct MsgWaitQueueWaiter {
  WORD isRaw;
  WORD code;
  DWORD id;
  zavrin::Condition wake;
  MsgWaitQueueWaiter *prev;
  MsgWaitQueueWaiter *next;
};

#endif  // ZAVRIN_WAIT_QUEUE_WAITER_H
