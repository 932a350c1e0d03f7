// The record behind a read/write lock handle.
#ifndef ZAVRIN_RWLOCK_H
#define ZAVRIN_RWLOCK_H

#include <zavrin/containers.h>

#include "port/thread.h"

struct __rwlock_data {
  zavrin::Mutex mutex;  // guards the three counters
  // The gate of waiting readers: set to release all of them, reset by every
  // write acquisition.
  zavrin::Event readEvent{zavrin::Event::kManualReset};
  // Each setting wakes one waiting writer.
  zavrin::Event writeEvent{zavrin::Event::kAutoReset};
  DWORD waitingReaders = 0;
  DWORD waitingWriters = 0;
  int lockCount = 0;  // 0 free, n > 0 held by n readers, -1 held by a writer
};

#endif  // ZAVRIN_RWLOCK_H
